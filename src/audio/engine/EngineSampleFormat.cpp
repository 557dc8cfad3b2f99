#include "audio/engine/EngineSampleFormat.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vt::engine {
namespace {

// The 16-bit conversions run on every block of every source and 16-bit
// encoder; the compiler does not vectorise them at -O2, so on x86-64 they take
// eight samples a step with SSE2 (same results as the scalar tail).
size_t Int16ToFloatWide(const uint8_t* iSource, float* oTarget, size_t iCount) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128 scale = _mm_set1_ps(1.0f / 32768.0f);
  for (; i + 8 <= iCount; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iSource + 2 * i));
    const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
    const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
    _mm_storeu_ps(oTarget + i, _mm_mul_ps(_mm_cvtepi32_ps(lo), scale));
    _mm_storeu_ps(oTarget + i + 4, _mm_mul_ps(_mm_cvtepi32_ps(hi), scale));
  }
#endif
  return i;
}

size_t FloatToInt16Wide(const float* iSource, uint8_t* oTarget, size_t iCount) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128 scale = _mm_set1_ps(32768.0f), low = _mm_set1_ps(-32768.0f), high = _mm_set1_ps(32767.0f);
  const __m128 half = _mm_set1_ps(0.5f), sign = _mm_set1_ps(-0.0f);
  auto convert = [&](const float* p) {
    // max/min return the bound for NaN, so NaN ends up as -32768.
    const __m128 s = _mm_min_ps(_mm_max_ps(_mm_mul_ps(_mm_loadu_ps(p), scale), low), high);
    // Round half away from zero: add +-0.5 with the sample's sign, then truncate.
    return _mm_cvttps_epi32(_mm_add_ps(s, _mm_or_ps(half, _mm_and_ps(s, sign))));
  };
  for (; i + 8 <= iCount; i += 8) {
    const __m128i packed = _mm_packs_epi32(convert(iSource + i), convert(iSource + i + 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(oTarget + 2 * i), packed);
  }
#endif
  return i;
}

}  // namespace

size_t BytesPerSample(TSampleFormat iFormat) {
  switch (iFormat) {
    case TSampleFormat::sfFloat32: return 4;
    case TSampleFormat::sfInt16: return 2;
    case TSampleFormat::sfInt24: return 3;
    case TSampleFormat::sfInt32: return 4;
    case TSampleFormat::sfInt8: return 1;
  }
  return 4;
}

void ToFloat(TSampleFormat iFormat, const void* iSource, float* oTarget, size_t iCount) {
  const auto* bytes = static_cast<const uint8_t*>(iSource);
  switch (iFormat) {
    case TSampleFormat::sfFloat32:
      std::memcpy(oTarget, iSource, iCount * 4);
      return;
    case TSampleFormat::sfInt16:
      for (size_t i = Int16ToFloatWide(bytes, oTarget, iCount); i < iCount; ++i) {
        int16_t v;
        std::memcpy(&v, bytes + 2 * i, 2);
        oTarget[i] = v * (1.0f / 32768.0f);
      }
      return;
    case TSampleFormat::sfInt24:
      for (size_t i = 0; i < iCount; ++i) {
        const uint8_t* p = bytes + 3 * i;
        int32_t v = static_cast<int32_t>((uint32_t(p[0]) << 8) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 24)) >> 8;
        oTarget[i] = v * (1.0f / 8388608.0f);
      }
      return;
    case TSampleFormat::sfInt32:
      for (size_t i = 0; i < iCount; ++i) {
        int32_t v;
        std::memcpy(&v, bytes + 4 * i, 4);
        oTarget[i] = static_cast<float>(v * (1.0 / 2147483648.0));
      }
      return;
    case TSampleFormat::sfInt8:  // unsigned, as in WAV files
      for (size_t i = 0; i < iCount; ++i) oTarget[i] = (int(bytes[i]) - 128) * (1.0f / 128.0f);
      return;
  }
}

void FromFloat(TSampleFormat iFormat, const float* iSource, void* oTarget, size_t iCount) {
  auto* bytes = static_cast<uint8_t*>(oTarget);
  switch (iFormat) {
    case TSampleFormat::sfFloat32:
      std::memcpy(oTarget, iSource, iCount * 4);
      return;
    case TSampleFormat::sfInt16:
      for (size_t i = FloatToInt16Wide(iSource, bytes, iCount); i < iCount; ++i) {
        // Round half away from zero.
        const float s = std::min(std::max(iSource[i] * 32768.0f, -32768.0f), 32767.0f);
        const int16_t v = static_cast<int16_t>(static_cast<int>(s + (s >= 0.0f ? 0.5f : -0.5f)));
        std::memcpy(bytes + 2 * i, &v, 2);
      }
      return;
    case TSampleFormat::sfInt24:
      for (size_t i = 0; i < iCount; ++i) {
        const float s = std::clamp(iSource[i] * 8388608.0f, -8388608.0f, 8388607.0f);
        const int32_t v = static_cast<int32_t>(std::lrint(s));
        uint8_t* p = bytes + 3 * i;
        p[0] = uint8_t(v);
        p[1] = uint8_t(v >> 8);
        p[2] = uint8_t(v >> 16);
      }
      return;
    case TSampleFormat::sfInt32:
      for (size_t i = 0; i < iCount; ++i) {
        const double s = std::clamp(double(iSource[i]) * 2147483648.0, -2147483648.0, 2147483647.0);
        const int32_t v = static_cast<int32_t>(std::llrint(s));
        std::memcpy(bytes + 4 * i, &v, 4);
      }
      return;
    case TSampleFormat::sfInt8:
      for (size_t i = 0; i < iCount; ++i) {
        const float s = std::clamp(iSource[i] * 128.0f, -128.0f, 127.0f);
        bytes[i] = static_cast<uint8_t>(int(std::lrint(s)) + 128);
      }
      return;
  }
}

}  // namespace vt::engine
