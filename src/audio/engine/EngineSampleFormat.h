#pragma once
// Sample conversions between the engine's float working format and the integer
// formats of streams and encoders. Out-of-range floats are clipped.
#include <cstddef>
#include <cstdint>

namespace vt::engine {

enum class TSampleFormat { sfFloat32, sfInt16, sfInt24, sfInt32, sfInt8 };

size_t BytesPerSample(TSampleFormat iFormat);

// iCount samples from iSource (in iFormat) to floats.
void ToFloat(TSampleFormat iFormat, const void* iSource, float* oTarget, size_t iCount);
// iCount floats to iFormat (little-endian), clipping to the format's range.
void FromFloat(TSampleFormat iFormat, const float* iSource, void* oTarget, size_t iCount);

}  // namespace vt::engine
