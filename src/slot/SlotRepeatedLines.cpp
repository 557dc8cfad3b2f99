#include "slot/SlotRepeatedLines.h"

bool TRepeatedLines::Pass(const std::string& iLine, uint64_t iTickMs) {
  // Lines whose quiet time is over are forgotten, so the table holds only what
  // is failing right now.
  for (auto it = fLogged.begin(); it != fLogged.end();) {
    if (iTickMs - it->second >= fQuietMs)
      it = fLogged.erase(it);
    else
      ++it;
  }
  return fLogged.emplace(iLine, iTickMs).second;
}
