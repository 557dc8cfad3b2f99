#include "audio/engine/EngineSampleFormat.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vt::engine {

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
      for (size_t i = 0; i < iCount; ++i) {
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
      for (size_t i = 0; i < iCount; ++i) {
        // Round half away from zero; written so the loop vectorises (the hot path
        // of every 16-bit encoder).
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
