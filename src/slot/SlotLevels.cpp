#include "slot/SlotLevels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "shell/VantorelGlobals.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

TSlotLevels::TSlotLevels(TTickFunction iTick) : fTick(std::move(iTick)) {
  fLastOverSilenceTickCount = Tick();
}

uint64_t TSlotLevels::Tick() const { return fTick ? fTick() : TickCount64(); }

void TSlotLevels::DoLevelDSP(const void* iBuffer, uint32_t iLength) noexcept {
  const std::size_t frames = iBuffer ? iLength / (2 * sizeof(float)) : 0;
  const float* samples = static_cast<const float*>(iBuffer);
  float peakLeft = 0.0f;
  float peakRight = 0.0f;
  std::size_t i = 0;
#if defined(__SSE2__)
  // Two frames a vector (left in the even lanes), two vectors a round;
  // magnitudes by clearing the sign. maxps keeps its second operand where the
  // first is NaN, so NaN samples are passed over as in the plain loop below.
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  __m128 peaks = _mm_setzero_ps(), more = _mm_setzero_ps();
  for (; i + 4 <= frames; i += 4) {
    peaks = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(samples + 2 * i), magnitude), peaks);
    more = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(samples + 2 * i + 4), magnitude), more);
  }
  peaks = _mm_max_ps(more, peaks);
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, peaks);
  peakLeft = std::max(lanes[0], lanes[2]);
  peakRight = std::max(lanes[1], lanes[3]);
#endif
  for (; i < frames; ++i) {
    const float left = std::fabs(samples[2 * i]);
    const float right = std::fabs(samples[2 * i + 1]);
    if (left > peakLeft) peakLeft = left;
    if (right > peakRight) peakRight = right;
  }
  fLevelLeft.store(peakLeft, std::memory_order_relaxed);
  fLevelRight.store(peakRight, std::memory_order_relaxed);
  fPeaks.AddBlock(samples, frames, 2);

  std::lock_guard<std::mutex> lock(fLevelCS);
  if (peakLeft >= fSilenceThresholdLinear || peakRight >= fSilenceThresholdLinear) fLastOverSilenceTickCount = Tick();
}

void TSlotLevels::SetSilenceThreshold(int32_t iDecibel) {
  const float linear =
      iDecibel > -200 ? static_cast<float>(std::exp(iDecibel * std::log(10.0) / 20.0)) : 0.0f;
  std::lock_guard<std::mutex> lock(fLevelCS);
  fSilenceThreshold = iDecibel;
  fSilenceThresholdLinear = linear;
}

int32_t TSlotLevels::GetSilenceThreshold() const {
  std::lock_guard<std::mutex> lock(fLevelCS);
  return fSilenceThreshold;
}

float TSlotLevels::GetSilenceThresholdLinear() const {
  std::lock_guard<std::mutex> lock(fLevelCS);
  return fSilenceThresholdLinear;
}

uint64_t TSlotLevels::GetLastOverSilenceTickCount() const {
  std::lock_guard<std::mutex> lock(fLevelCS);
  return fLastOverSilenceTickCount;
}

int64_t TSlotLevels::GetCurrentSilenceDurationMilliseconds() const {
  // The clock is read under the lock: a tick stored by the audio thread is then
  // never later than "now", so the duration cannot come out negative.
  std::lock_guard<std::mutex> lock(fLevelCS);
  return static_cast<int64_t>(Tick() - fLastOverSilenceTickCount);
}

void TSlotLevels::ResetSilence() {
  std::lock_guard<std::mutex> lock(fLevelCS);
  fLastOverSilenceTickCount = Tick();
}

void TSlotLevels::ResetLevels() noexcept {
  fLevelLeft.store(0.0f, std::memory_order_relaxed);
  fLevelRight.store(0.0f, std::memory_order_relaxed);
}
