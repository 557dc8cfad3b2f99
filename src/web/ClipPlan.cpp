#include "web/ClipPlan.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace {
constexpr double kSecondsPerDay = 86400.0;

int64_t Frames(double iSeconds, int iRate) { return std::llround(iSeconds * iRate); }

// A file's first sample at iRate.
int64_t TimelineStart(const TClipRecording& iFile, int iRate) {
  if (iFile.fStartSample) {
    if (iFile.fRate == iRate) return *iFile.fStartSample;
    return std::llround(static_cast<double>(*iFile.fStartSample) * iRate / iFile.fRate);
  }
  return Frames(iFile.fStartTime * kSecondsPerDay, iRate);
}
}  // namespace

int64_t TClipPlan::Frames() const {
  int64_t total = 0;
  for (const auto& p : fPieces) total += p.fFrames;
  return total;
}

TClipPlan PlanClip(std::vector<TClipRecording> iRecordings, TDateTime iStart, TDateTime iEnd) {
  TClipPlan plan;
  std::sort(iRecordings.begin(), iRecordings.end(),
            [](const TClipRecording& a, const TClipRecording& b) { return a.fStartTime < b.fStartTime; });
  const auto covers = [&](const TClipRecording& f) {
    return f.fStartTime < iEnd && f.fStartTime + f.fDuration / kSecondsPerDay > iStart && f.fDuration > 0;
  };
  const auto anchor = std::find_if(iRecordings.begin(), iRecordings.end(), covers);
  if (anchor == iRecordings.end()) return plan;
  plan.fRate = anchor->fRate;
  plan.fChannels = anchor->fChannels;
  const int rate = plan.fRate;

  const int64_t clipStart = TimelineStart(*anchor, rate) + Frames((iStart - anchor->fStartTime) * kSecondsPerDay, rate);
  const int64_t clipEnd = clipStart + Frames((iEnd - iStart) * kSecondsPerDay, rate);
  int64_t cursor = clipStart;
  const auto gap = [&](int64_t iFrom, int64_t iTo) {
    plan.fGaps.push_back({static_cast<double>(iFrom - clipStart) / rate, static_cast<double>(iTo - clipStart) / rate});
  };
  std::vector<const TClipRecording*> files;
  for (auto it = anchor; it != iRecordings.end(); ++it)
    if (covers(*it)) files.push_back(&*it);
  std::stable_sort(files.begin(), files.end(), [&](const TClipRecording* a, const TClipRecording* b) {
    return TimelineStart(*a, rate) < TimelineStart(*b, rate);
  });
  for (const TClipRecording* file : files) {
    const int64_t first = TimelineStart(*file, rate);
    const int64_t last = first + Frames(file->fDuration, rate);
    const int64_t from = std::max(first, cursor), to = std::min(last, clipEnd);
    if (to <= from) continue;  // all of it played already (the overlap at a cut) or beyond the end
    if (from > cursor) gap(cursor, from);
    TClipPiece piece;
    piece.fPath = file->fPath;
    piece.fFirstFrame = file->fRate == rate ? from - first : std::llround(double(from - first) * file->fRate / rate);
    piece.fFrames = to - from;
    plan.fPieces.push_back(std::move(piece));
    cursor = to;
    if (cursor >= clipEnd) break;
  }
  if (cursor < clipEnd) gap(cursor, clipEnd);
  return plan;
}

std::string ClipGapsText(const std::vector<TClipGap>& iGaps) {
  std::string text;
  for (const auto& g : iGaps) {
    if (!text.empty()) text += ',';
    text += fmt::format("{:.3f}-{:.3f}", g.fFrom, g.fTo);
  }
  return text;
}
