#include "slot/SlotLoudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "slot/SlotDatabase.h"
#include "slot/SlotRecordingColumns.h"
#include "support/SimpleSQLInterface.h"

namespace {
constexpr size_t kFrameBytes = 2 * sizeof(float);
// Enough for the measuring thread to be late by seconds on a loaded machine.
constexpr int kRingSeconds = 8;
constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr int kMode = EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK;
}  // namespace

void TSlotLoudness::TStateFree::operator()(ebur128_state* p) const { ebur128_destroy(&p); }

TSlotLoudness::TSlotLoudness(int iRate)
    : fRate(iRate), fRing(static_cast<size_t>(iRate) * kRingSeconds * kFrameBytes),
      fMomentary(-HUGE_VAL), fShortTerm(-HUGE_VAL) {
  fThread = std::thread([this] { Run(); });
}

TSlotLoudness::~TSlotLoudness() {
  {
    std::lock_guard<std::mutex> lock(fMutex);
    fStop = true;
  }
  fWake.notify_all();
  fThread.join();
}

void TSlotLoudness::Write(const float* iFrames, size_t iCount) noexcept {
  if (!fRing.Write(iFrames, iCount * kFrameBytes)) fDropped.fetch_add(iCount, std::memory_order_relaxed);
}

void TSlotLoudness::BeginFile(int64_t iFrame, int32_t iID, const std::string& iDatabasePath) {
  {
    std::lock_guard<std::mutex> lock(fMutex);
    fMarks.push_back({iFrame, true, iID, iDatabasePath});
  }
  fWake.notify_all();
}

void TSlotLoudness::EndFile(int64_t iFrame) {
  {
    std::lock_guard<std::mutex> lock(fMutex);
    fMarks.push_back({iFrame, false, 0, {}});
  }
  fWake.notify_all();
}

void TSlotLoudness::Run() {
  std::vector<float> block(static_cast<size_t>(fRate) / 10 * 2 + 2);
  for (;;) {
    bool stopping = false;
    {
      std::unique_lock<std::mutex> lock(fMutex);
      fWake.wait_for(lock, kPollInterval, [this] { return fStop; });
      stopping = fStop;
    }
    // Everything copied so far, cut at the marks that lie in it.
    for (;;) {
      const size_t bytes = fRing.Read(block.data(), block.size() * sizeof(float)) / kFrameBytes * kFrameBytes;
      const size_t frames = bytes / kFrameBytes;
      size_t done = 0;
      for (;;) {
        TMark mark;
        {
          std::lock_guard<std::mutex> lock(fMutex);
          if (fMarks.empty() || fMarks.front().fFrame > fPosition + static_cast<int64_t>(frames - done)) break;
          mark = std::move(fMarks.front());
          fMarks.pop_front();
        }
        const size_t upTo = static_cast<size_t>(std::max<int64_t>(0, mark.fFrame - fPosition));
        Measure(block.data() + 2 * done, upTo);
        done += upTo;
        fPosition += static_cast<int64_t>(upTo);
        Apply(mark);
      }
      Measure(block.data() + 2 * done, frames - done);
      fPosition += static_cast<int64_t>(frames - done);
      if (frames == 0) break;
    }
    if (stopping) {
      // marks beyond what was ever copied: the file ended with the audio there is
      std::lock_guard<std::mutex> lock(fMutex);
      for (const auto& mark : fMarks)
        if (!mark.fBegin) {
          Finish();
          break;
        }
      return;
    }
  }
}

void TSlotLoudness::Measure(const float* iFrames, size_t iCount) {
  if (!fState || iCount == 0) return;
  ebur128_add_frames_float(fState.get(), iFrames, iCount);
  double value = 0;
  if (ebur128_loudness_momentary(fState.get(), &value) == EBUR128_SUCCESS) fMomentary.store(value, std::memory_order_relaxed);
  if (ebur128_loudness_shortterm(fState.get(), &value) == EBUR128_SUCCESS) fShortTerm.store(value, std::memory_order_relaxed);
}

void TSlotLoudness::Apply(const TMark& iMark) {
  Finish();
  if (!iMark.fBegin) return;
  fState.reset(ebur128_init(2, static_cast<unsigned long>(fRate), kMode));
  fID = iMark.fID;
  fDatabasePath = iMark.fDatabasePath;
}

void TSlotLoudness::Finish() {
  if (!fState) return;
  auto state = std::move(fState);
  fMomentary.store(-HUGE_VAL, std::memory_order_relaxed);
  fShortTerm.store(-HUGE_VAL, std::memory_order_relaxed);
  if (fID == 0) return;
  TLoudnessValues values;
  ebur128_loudness_global(state.get(), &values.fIntegrated);
  ebur128_loudness_range(state.get(), &values.fRange);
  double peak = 0;
  for (unsigned channel = 0; channel < 2; ++channel) {
    double p = 0;
    if (ebur128_true_peak(state.get(), channel, &p) == EBUR128_SUCCESS) peak = std::max(peak, p);
  }
  values.fTruePeak = peak > 0 ? 20.0 * std::log10(peak) : -HUGE_VAL;
  try {
    StoreRecordingLoudness(*GetSlotDatabaseConnection(fDatabasePath), fID, values);
  } catch (const std::exception&) {
    // Not logged: a log line waits for the controller's thread, which may be
    // waiting for this one. The row stays NULL and the pass over rows
    // without loudness measures it from its file.
  }
}
