#include "slot/SlotClock.h"

#include "shell/VantorelGlobals.h"

namespace {
class TSystemSlotClock final : public ISlotClock {
public:
  TDateTime Now() const override { return ::Now(); }
  uint64_t TickCount() const override { return TickCount64(); }
};
}  // namespace

std::shared_ptr<ISlotClock> SystemSlotClock() {
  static const std::shared_ptr<ISlotClock> clock = std::make_shared<TSystemSlotClock>();
  return clock;
}
