#pragma once
// Peak levels and silence measurement of one slot.
//
// DoLevelDSP runs on the thread that pulls the slot's mixer, for every block:
// one pass over the samples, no allocation, no I/O; the level lock (fLevelCS)
// is held only for the threshold comparison and the tick store. The peaks are
// published through lock-free atomics; every other thread reads the silence
// values through the locked getters.
//
// Use from TSlotInfo: one TSlotLevels member (it owns fLevelCS), built with the
// slot's tick, e.g. TSlotLevels([clock] { return clock->TickCount(); });
//   the mixer's DSP callback at priority 0 -> DoLevelDSP(buffer, length);
//   SetSilenceThreshold at creation and from the dialog;
//   Initialize -> ResetSilence(); StopRecording -> ResetLevels();
//   LevelLeft/LevelRight, GetLastOverSilenceTickCount,
//   GetCurrentSilenceDurationMilliseconds as the slot's properties;
//   Peaks(): the waveform of the file being written, fed from the same blocks.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "slot/SlotPeaks.h"

class TSlotLevels {
 public:
  using TTickFunction = std::function<uint64_t()>;

  // iTick: the millisecond clock; empty means TickCount64. It is called on the
  // audio thread under the level lock, so it must neither allocate nor block.
  explicit TSlotLevels(TTickFunction iTick = {});

  TSlotLevels(const TSlotLevels&) = delete;
  TSlotLevels& operator=(const TSlotLevels&) = delete;

  // iBuffer holds 32-bit float frames, two channels interleaved, left first;
  // iLength is in bytes (a trailing partial frame is ignored).
  void DoLevelDSP(const void* iBuffer, uint32_t iLength) noexcept;

  // Stores the threshold in dBFS and its linear amplitude (0 at -200 and below).
  void SetSilenceThreshold(int32_t iDecibel);
  int32_t GetSilenceThreshold() const;
  float GetSilenceThresholdLinear() const;

  uint64_t GetLastOverSilenceTickCount() const;
  // Milliseconds since the last block that reached the threshold.
  int64_t GetCurrentSilenceDurationMilliseconds() const;

  // The silence starts counting from now (slot start-up).
  void ResetSilence();
  // Both peaks to 0 (recording stopped).
  void ResetLevels() noexcept;

  float LevelLeft() const noexcept { return fLevelLeft.load(std::memory_order_relaxed); }
  float LevelRight() const noexcept { return fLevelRight.load(std::memory_order_relaxed); }

  // The .peaks writer of the open file (controller thread: Replace, Flush).
  TLivePeaks& Peaks() noexcept { return fPeaks; }

 private:
  uint64_t Tick() const;

  static_assert(std::atomic<float>::is_always_lock_free, "the audio thread publishes peaks without a lock");

  TTickFunction fTick;
  // Written by the audio thread, read by the views and the web server; each
  // value stands alone, so relaxed ordering is enough.
  std::atomic<float> fLevelLeft{0.0f};
  std::atomic<float> fLevelRight{0.0f};

  mutable std::mutex fLevelCS;
  int32_t fSilenceThreshold = 0;         // guarded by fLevelCS
  float fSilenceThresholdLinear = 1.0f;  // guarded by fLevelCS
  uint64_t fLastOverSilenceTickCount = 0;  // guarded by fLevelCS

  TLivePeaks fPeaks;
};
