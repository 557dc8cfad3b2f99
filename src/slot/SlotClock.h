#pragma once
// The clocks a slot reads: the local wall-clock time (file names, time-slot
// boundaries, database start times) and the monotonic millisecond tick (file
// start ticks, the software clock, silence). Tests hand in their own clock so
// that an hour passes without waiting for it.
#include <cstdint>
#include <memory>

#include "support/DateTime.h"

class ISlotClock {
public:
  virtual ~ISlotClock() = default;
  virtual TDateTime Now() const = 0;         // local date-time
  virtual uint64_t TickCount() const = 0;    // milliseconds, monotonic
};

// Now() and TickCount64() of the system. One shared instance.
std::shared_ptr<ISlotClock> SystemSlotClock();
