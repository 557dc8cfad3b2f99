#pragma once
// The ".peaks" file kept beside a recording: its waveform as min/max pairs at a
// fixed rate, so a browser can draw an hour-long file without decoding it.
// Header-only, so the web server reads and writes it without the slot engine.
//
// File layout (little-endian): the 8 bytes "VTPEAKS1", uint32 pairs per
// second, uint32 reserved (0); then one pair per time step: int16 minimum,
// int16 maximum of all channels' samples in that step (full scale 32767).
// A file that is still being recorded grows by whole pairs.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

inline constexpr char kPeaksMagic[8] = {'V', 'T', 'P', 'E', 'A', 'K', 'S', '1'};
inline constexpr size_t kPeaksHeaderSize = 16;
inline constexpr int kPeaksPerSecond = 10;
inline constexpr const char* kPeaksSuffix = ".peaks";

struct TPeakPair {
  int16_t Min = 0;
  int16_t Max = 0;
};

// The header bytes for a file of iPairsPerSecond.
inline std::array<unsigned char, kPeaksHeaderSize> PeaksFileHeader(int iPairsPerSecond = kPeaksPerSecond) {
  std::array<unsigned char, kPeaksHeaderSize> header{};
  std::memcpy(header.data(), kPeaksMagic, sizeof kPeaksMagic);
  for (int i = 0; i < 4; ++i) header[8 + i] = static_cast<unsigned char>(static_cast<uint32_t>(iPairsPerSecond) >> (8 * i));
  return header;
}

// One pair as its 4 bytes.
inline void PutPeakPair(unsigned char* oBytes, const TPeakPair& iPair) {
  const auto mn = static_cast<uint16_t>(iPair.Min), mx = static_cast<uint16_t>(iPair.Max);
  oBytes[0] = static_cast<unsigned char>(mn);
  oBytes[1] = static_cast<unsigned char>(mn >> 8);
  oBytes[2] = static_cast<unsigned char>(mx);
  oBytes[3] = static_cast<unsigned char>(mx >> 8);
}


// Reduces audio blocks to min/max pairs. Every iFramesPerPair-th frame (at the
// block's sample rate) completes a pair; the caller decides what to do with it.
class TPeaksAccumulator {
public:
  explicit TPeaksAccumulator(int iPairsPerSecond = kPeaksPerSecond) : fPairsPerSecond(iPairsPerSecond) {}
  // Calls iSink(TPeakPair) for every completed pair. No allocation.
  template <typename TSink>
  void AddFloat(const float* iInterleaved, size_t iFrames, int iChannels, int iRate, TSink&& iSink);
  template <typename TSink>
  void AddInt16(const int16_t* iInterleaved, size_t iFrames, int iChannels, int iRate, TSink&& iSink);
  // The pair in progress, if it holds any frame; resets it.
  bool TakePartial(TPeakPair& oPair);

private:
  template <typename TSample, typename TSink>
  void Add(const TSample* iInterleaved, size_t iFrames, int iChannels, int iRate, TSink& iSink);
  int fPairsPerSecond;
  int fMin = 32767;
  int fMax = -32768;
  uint64_t fFrames = 0;  // frames in the pair in progress
};

struct TPeaksData {
  int PairsPerSecond = kPeaksPerSecond;
  std::vector<TPeakPair> Pairs;
};

// Reads a .peaks file (a trailing partial pair is left out). False when the
// file is missing or not of this format.
inline bool ReadPeaksFile(const std::string& iPeaksPath, TPeaksData& oData);
// Writes a complete file atomically (temporary file + rename). Throws on failure.
inline void WritePeaksFile(const std::string& iPeaksPath, const TPeaksData& iData);

// ------------------------------------------------------------------------
namespace peaks_detail {
// Minimum and maximum of iCount samples as 16-bit values: floats are clamped
// to [-1, 1] (NaN counts as -1) and scaled by 32767, truncated. Scaling and
// truncation never reorder values, so the extremes of the floats give the
// extremes of the converted samples. SSE2 does four floats or eight 16-bit
// samples per step: this runs over every recorded sample.
inline void MinMax(const float* iSamples, size_t iCount, int& ioMin, int& ioMax) {
  if (iCount == 0) return;
  float mn = 1.0f, mx = -1.0f;
  size_t i = 0;
#if defined(__SSE2__)
  if (iCount >= 4) {
    const __m128 lo = _mm_set1_ps(-1.0f), hi = _mm_set1_ps(1.0f);
    __m128 vmn = hi, vmx = lo;
    for (; i + 4 <= iCount; i += 4) {
      // maxps returns its second operand when the first is NaN
      const __m128 v = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(iSamples + i), lo), hi);
      vmn = _mm_min_ps(vmn, v);
      vmx = _mm_max_ps(vmx, v);
    }
    alignas(16) float m[4], x[4];
    _mm_store_ps(m, vmn);
    _mm_store_ps(x, vmx);
    for (int k = 0; k < 4; ++k) {
      mn = m[k] < mn ? m[k] : mn;
      mx = x[k] > mx ? x[k] : mx;
    }
  }
#endif
  for (; i < iCount; ++i) {
    float v = iSamples[i];
    if (!(v >= -1.0f)) v = -1.0f;  // also NaN
    if (v > 1.0f) v = 1.0f;
    mn = v < mn ? v : mn;
    mx = v > mx ? v : mx;
  }
  const int smn = static_cast<int>(mn * 32767.0f), smx = static_cast<int>(mx * 32767.0f);
  if (smn < ioMin) ioMin = smn;
  if (smx > ioMax) ioMax = smx;
}

inline void MinMax(const int16_t* iSamples, size_t iCount, int& ioMin, int& ioMax) {
  if (iCount == 0) return;
  int16_t mn = 32767, mx = -32768;
  size_t i = 0;
#if defined(__SSE2__)
  if (iCount >= 8) {
    __m128i vmn = _mm_set1_epi16(32767), vmx = _mm_set1_epi16(-32768);
    for (; i + 8 <= iCount; i += 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iSamples + i));
      vmn = _mm_min_epi16(vmn, v);
      vmx = _mm_max_epi16(vmx, v);
    }
    alignas(16) int16_t m[8], x[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(m), vmn);
    _mm_store_si128(reinterpret_cast<__m128i*>(x), vmx);
    for (int k = 0; k < 8; ++k) {
      mn = m[k] < mn ? m[k] : mn;
      mx = x[k] > mx ? x[k] : mx;
    }
  }
#endif
  for (; i < iCount; ++i) {
    mn = iSamples[i] < mn ? iSamples[i] : mn;
    mx = iSamples[i] > mx ? iSamples[i] : mx;
  }
  if (mn < ioMin) ioMin = mn;
  if (mx > ioMax) ioMax = mx;
}
}  // namespace peaks_detail

template <typename TSample, typename TSink>
void TPeaksAccumulator::Add(const TSample* iInterleaved, size_t iFrames, int iChannels, int iRate, TSink& iSink) {
  if (iChannels <= 0) return;
  const auto channels = static_cast<size_t>(iChannels);
  // A pair spans the first frame count f with f * pairsPerSecond >= rate;
  // integer arithmetic keeps long recordings free of drift. Without pairs per
  // second no pair ever completes.
  const uint64_t rate = static_cast<uint64_t>(iRate > 0 ? iRate : 1);
  const uint64_t perSecond = static_cast<uint64_t>(fPairsPerSecond > 0 ? fPairsPerSecond : 0);
  const uint64_t span = perSecond ? (rate + perSecond - 1) / perSecond : UINT64_MAX;
  while (iFrames > 0) {
    // a pair that already holds a span (the rate fell) completes with the next frame
    const uint64_t toBoundary = fFrames < span ? span - fFrames : 1;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(toBoundary, iFrames));
    peaks_detail::MinMax(iInterleaved, take * channels, fMin, fMax);
    iInterleaved += take * channels;
    iFrames -= take;
    fFrames += take;
    if (take == toBoundary) {
      iSink(TPeakPair{static_cast<int16_t>(fMin), static_cast<int16_t>(fMax)});
      fMin = 32767;
      fMax = -32768;
      fFrames = 0;
    }
  }
}

template <typename TSink>
void TPeaksAccumulator::AddFloat(const float* iInterleaved, size_t iFrames, int iChannels, int iRate, TSink&& iSink) {
  Add(iInterleaved, iFrames, iChannels, iRate, iSink);
}

template <typename TSink>
void TPeaksAccumulator::AddInt16(const int16_t* iInterleaved, size_t iFrames, int iChannels, int iRate, TSink&& iSink) {
  Add(iInterleaved, iFrames, iChannels, iRate, iSink);
}

inline bool TPeaksAccumulator::TakePartial(TPeakPair& oPair) {
  if (fFrames == 0) return false;
  oPair = TPeakPair{static_cast<int16_t>(fMin), static_cast<int16_t>(fMax)};
  fMin = 32767;
  fMax = -32768;
  fFrames = 0;
  return true;
}

inline bool ReadPeaksFile(const std::string& iPeaksPath, TPeaksData& oData) {
  std::ifstream in(iPeaksPath, std::ios::binary);
  if (!in) return false;
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < kPeaksHeaderSize || std::memcmp(bytes.data(), kPeaksMagic, sizeof kPeaksMagic) != 0) return false;
  uint32_t rate = 0;
  for (int i = 0; i < 4; ++i) rate |= static_cast<uint32_t>(bytes[8 + i]) << (8 * i);
  if (rate == 0 || rate > 1000) return false;
  oData.PairsPerSecond = static_cast<int>(rate);
  const size_t count = (bytes.size() - kPeaksHeaderSize) / 4;
  oData.Pairs.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* p = bytes.data() + kPeaksHeaderSize + 4 * i;
    oData.Pairs[i].Min = static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
    oData.Pairs[i].Max = static_cast<int16_t>(static_cast<uint16_t>(p[2] | (p[3] << 8)));
  }
  return true;
}

inline void WritePeaksFile(const std::string& iPeaksPath, const TPeaksData& iData) {
  // a reader never sees a half-written file: write aside, then rename over
  const std::string temp = iPeaksPath + ".tmp" + std::to_string(reinterpret_cast<uintptr_t>(&iData));
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("Unable to create " + temp);
    const auto header = PeaksFileHeader(iData.PairsPerSecond);
    out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    std::vector<unsigned char> body(iData.Pairs.size() * 4);
    for (size_t i = 0; i < iData.Pairs.size(); ++i) PutPeakPair(body.data() + 4 * i, iData.Pairs[i]);
    out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
    if (!out.flush()) {
      out.close();
      std::remove(temp.c_str());
      throw std::runtime_error("Unable to write " + temp);
    }
  }
  if (std::rename(temp.c_str(), iPeaksPath.c_str()) != 0) {
    std::remove(temp.c_str());
    throw std::runtime_error("Unable to rename " + temp);
  }
}
