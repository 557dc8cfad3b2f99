#include "controller/CleanupPass.h"

#include <fmt/format.h>

#include <exception>

bool RunCleanupPass(const TCleanupTargets& iTargets, const std::function<void(const std::string&)>& iLog) {
  bool again = false;
  for (int i = 0; i < iTargets.Count; ++i) {
    try {
      if (iTargets.CleanUpByAge(i)) again = true;
      if (iTargets.CleanupBySpace(i)) again = true;
    } catch (const std::exception& e) {
      iLog(fmt::format("Cleanup error in {}: {}", iTargets.Name(i), e.what()));
      again = false;
    }
  }
  return again;
}
