#pragma once
// When a slot starts a new file: at each boundary of its time-slot grid
// (aligned), or when its file has run for the slot length (not aligned).
#include <cstdint>

#include "support/DateTime.h"

// The longest file a slot cuts: a year (of 365 days), in minutes.
inline constexpr int32_t kMaxTimeSlotLength = 525600;

// Lengths below one minute would give no grid at all; they count as one minute.
// Lengths above a year count as a year: a slot longer than the time since the
// grid's origin (1899) would stay in slot 0, the identity a slot has before its
// first file, and never start one.
int32_t EffectiveTimeSlotLength(int32_t iLengthMinutes);

// Identity of the time slot that holds iNow: the grid counts whole lengths
// from 1899-12-30 00:00 local time, moved later by iOffsetSeconds. Computed in
// whole milliseconds, so a tick at exactly a boundary belongs to the new slot.
TDateTime TimeSlotIdentity(TDateTime iNow, int32_t iLengthMinutes, int32_t iOffsetSeconds);

struct TRotationInput {
  bool fNoAutoRotate = false;
  bool fAlign = true;
  int32_t fLengthMinutes = 60;
  int32_t fOffsetSeconds = 0;
  TDateTime fNow = 0;               // local time now
  TDateTime fLastTimeSlot = 0;      // identity of the current file's slot, 0 at start-up
  uint64_t fTickCount = 0;          // monotonic ms now
  uint64_t fRecordStartTickCount = 0;  // tick at which the last file started, 0 = none yet
};

struct TRotationResult {
  bool fCycle = false;       // start a new file now
  TDateTime fIdentity = 0;   // aligned: the identity to remember after cycling
};

TRotationResult DecideRotation(const TRotationInput& iInput);
