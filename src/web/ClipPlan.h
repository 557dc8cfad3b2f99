#pragma once
// Which parts of which recordings make up a clip of a slot's archive. Files
// are placed on the slot's sample timeline: a file's first sample is the
// frame stored for it by the recorder (consecutive files of one run share
// the mixer's sample clock, so the overlap at a cut is known to the sample);
// a file without one is placed by its start time. The clip's start is found
// in the first file that covers it, by that file's start time, and the rest
// follows from the timeline.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/DateTime.h"

struct TClipRecording {
  std::string fPath;         // existing file
  TDateTime fStartTime = 0;  // local
  double fDuration = 0;      // seconds
  std::optional<int64_t> fStartSample;  // frames of the timeline, at fRate
  int fRate = 0;
  int fChannels = 0;
};

struct TClipPiece {
  std::string fPath;
  int64_t fFirstFrame = 0;  // in the file, at the file's rate
  int64_t fFrames = 0;      // at the clip's rate
};

struct TClipGap {
  double fFrom = 0;  // seconds after the clip's start
  double fTo = 0;
};

struct TClipPlan {
  int fRate = 0;
  int fChannels = 0;
  std::vector<TClipPiece> fPieces;
  std::vector<TClipGap> fGaps;
  int64_t Frames() const;
};

// iRecordings in any order. An empty plan (no pieces) when none covers the span.
TClipPlan PlanClip(std::vector<TClipRecording> iRecordings, TDateTime iStart, TDateTime iEnd);

// "0.000-12.500,300.000-360.000": the missing seconds, for the reply header.
std::string ClipGapsText(const std::vector<TClipGap>& iGaps);
