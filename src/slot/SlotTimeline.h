#pragma once
// The slot's sample timeline: every file's first sample as a frame number
// that consecutive files of one mixer share, so a clip joins them to the
// sample. The mixer counts its frames from 0; the first file of a mixer ties
// that count to its start time (frames since 1899-12-30 local time), and the
// files after it follow the mixer's count, not the wall clock.
#include <cstdint>

#include "audio/engine/Engine.h"
#include "support/DateTime.h"

class TSlotTimeline {
public:
  // iFirstFrame: the mixer's position at the file's first sample.
  int64_t StartSample(DWORD iMixer, int64_t iFirstFrame, TDateTime iStartTime, int iRate);

private:
  DWORD fMixer = 0;
  int64_t fOffset = 0;
};
