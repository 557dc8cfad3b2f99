// The command text of /execute and /ws/execute, and the Host, Origin and
// Referer headers that decide whether a command is taken.
#include <cstdlib>
#include <optional>
#include <string>

#include "FuzzInput.h"
#include "web/CommandOrigin.h"
#include "web/SlotAPI.h"

namespace {
class TCountingHost final : public IWebHost {
public:
  int Posted = 0;
  int SlotCount() const override { return 4; }
  TWebSlotSnapshot Slot(int) const override { return {}; }
  void PostStartSlot(int) override { ++Posted; }
  void PostStopSlot(int) override { ++Posted; }
  void LogMessage(const std::string&) override {}
  void LogWebServerMessage(const std::string&) override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  const auto parts = FuzzParts(iData, iSize, 4);
  TCountingHost host;
  ExecuteCommand(host, parts[0]);
  if (host.Posted > 1) std::abort();
  if (host.Posted == 1 && parts[0].compare(0, 5, "SLOT ") != 0) std::abort();
  const auto part = [&](size_t i) { return i < parts.size() ? std::optional<std::string>(parts[i]) : std::nullopt; };
  (void)IsSameSiteRequest(parts.size() > 1 ? parts[1] : std::string(), part(2), part(3));
  return 0;
}
