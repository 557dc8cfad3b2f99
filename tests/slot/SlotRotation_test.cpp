#include <gtest/gtest.h>

#include "slot/SlotRotation.h"

namespace {

TDateTime At(int y, int m, int d, int h, int n, int s, int ms = 0) { return EncodeDateTime(y, m, d, h, n, s, ms); }

struct TAlignedCase {
  const char* fWhat;
  int32_t fLength;
  int32_t fOffset;
  TDateTime fFileStart;  // a tick inside the current file's slot
  TDateTime fNow;
  bool fCycle;
};

TEST(SlotRotation, AlignedBoundaries) {
  const TAlignedCase cases[] = {
      {"just before the hour keeps the file", 60, 0, At(2024, 3, 5, 13, 0, 0), At(2024, 3, 5, 13, 59, 59, 950), false},
      {"exactly on the hour cycles", 60, 0, At(2024, 3, 5, 13, 0, 0), At(2024, 3, 5, 14, 0, 0), true},
      {"a late tick cycles", 60, 0, At(2024, 3, 5, 13, 0, 0), At(2024, 3, 5, 14, 0, 1, 200), true},
      {"offset 30 s moves the cut", 60, 30, At(2024, 3, 5, 13, 0, 31), At(2024, 3, 5, 14, 0, 29, 900), false},
      {"offset 30 s cut", 60, 30, At(2024, 3, 5, 13, 0, 31), At(2024, 3, 5, 14, 0, 30), true},
      {"offset -10 s cuts before the hour", 60, -10, At(2024, 3, 5, 13, 0, 0), At(2024, 3, 5, 13, 59, 50), true},
      {"quarter hours", 15, 0, At(2024, 3, 5, 13, 30, 0), At(2024, 3, 5, 13, 44, 59, 999), false},
      {"quarter hour cut", 15, 0, At(2024, 3, 5, 13, 30, 0), At(2024, 3, 5, 13, 45, 0), true},
      {"below one minute counts as one minute", 0, 0, At(2024, 3, 5, 13, 30, 0), At(2024, 3, 5, 13, 30, 59), false},
      {"below one minute cut", -5, 0, At(2024, 3, 5, 13, 30, 0), At(2024, 3, 5, 13, 31, 0), true},
  };
  for (const TAlignedCase& c : cases) {
    TRotationInput in;
    in.fLengthMinutes = c.fLength;
    in.fOffsetSeconds = c.fOffset;
    in.fLastTimeSlot = TimeSlotIdentity(c.fFileStart, c.fLength, c.fOffset);
    in.fNow = c.fNow;
    EXPECT_EQ(DecideRotation(in).fCycle, c.fCycle) << c.fWhat;
  }
}

TEST(SlotRotation, LengthSevenCountsFromTheEpochNotFromTheHour) {
  // 2024-03-05 00:00 is day 45356; 45356 * 1440 = 65312640 minutes = 9330377 * 7 + 1,
  // so a boundary lies at 23:59 the day before and the next at 00:06.
  const TDateTime midnight = At(2024, 3, 5, 0, 0, 0);
  const TDateTime slot = TimeSlotIdentity(midnight, 7, 0);
  EXPECT_DOUBLE_EQ(slot, At(2024, 3, 4, 23, 59, 0));
  EXPECT_EQ(TimeSlotIdentity(At(2024, 3, 5, 0, 5, 59, 999), 7, 0), slot);
  EXPECT_DOUBLE_EQ(TimeSlotIdentity(At(2024, 3, 5, 0, 6, 0), 7, 0), At(2024, 3, 5, 0, 6, 0));
  // neither the full hour nor midnight is a boundary
  TRotationInput in;
  in.fLengthMinutes = 7;
  in.fLastTimeSlot = TimeSlotIdentity(At(2024, 3, 5, 0, 55, 0), 7, 0);
  in.fNow = At(2024, 3, 5, 1, 0, 0);
  EXPECT_FALSE(DecideRotation(in).fCycle);
}

TEST(SlotRotation, FirstTickAndClockSetBack) {
  TRotationInput in;
  in.fNow = At(2024, 3, 5, 14, 10, 0);
  in.fLastTimeSlot = 0;  // start-up
  TRotationResult first = DecideRotation(in);
  ASSERT_TRUE(first.fCycle);
  in.fLastTimeSlot = first.fIdentity;
  in.fNow = At(2024, 3, 5, 14, 10, 0, 100);
  EXPECT_FALSE(DecideRotation(in).fCycle);
  // the clock set back two hours: one new file at once, then quiet again
  in.fNow = At(2024, 3, 5, 12, 10, 0, 200);
  TRotationResult back = DecideRotation(in);
  ASSERT_TRUE(back.fCycle);
  in.fLastTimeSlot = back.fIdentity;
  in.fNow = At(2024, 3, 5, 12, 10, 0, 300);
  EXPECT_FALSE(DecideRotation(in).fCycle);
}

TEST(SlotRotation, NotAlignedUsesTheTickCounterOnly) {
  TRotationInput in;
  in.fAlign = false;
  in.fLengthMinutes = 1;
  in.fRecordStartTickCount = 0;
  in.fTickCount = 5000;
  EXPECT_TRUE(DecideRotation(in).fCycle) << "a slot without a file starts one at once";
  in.fRecordStartTickCount = 10000;
  const struct {
    uint64_t fTick;
    TDateTime fNow;
    bool fCycle;
  } ticks[] = {
      {70000, At(2024, 3, 5, 14, 0, 0), false},   // exactly 60000 ms: not more
      {70001, At(2024, 3, 5, 14, 0, 0), true},
      {20000, At(2030, 1, 1, 0, 0, 0), false},    // a wall-clock jump changes nothing
  };
  for (const auto& t : ticks) {
    in.fTickCount = t.fTick;
    in.fNow = t.fNow;
    EXPECT_EQ(DecideRotation(in).fCycle, t.fCycle) << t.fTick;
  }
}

TEST(SlotRotation, NoAutoRotateStartsOneFileAndNeverCycles) {
  for (bool align : {true, false}) {
    TRotationInput in;
    in.fNoAutoRotate = true;
    in.fAlign = align;
    in.fNow = At(2024, 3, 5, 14, 0, 0);
    in.fTickCount = 1u << 30;
    EXPECT_TRUE(DecideRotation(in).fCycle) << "no file yet, align " << align;
    in.fRecordStartTickCount = 1000;
    EXPECT_FALSE(DecideRotation(in).fCycle) << "align " << align;
  }
}

}  // namespace
