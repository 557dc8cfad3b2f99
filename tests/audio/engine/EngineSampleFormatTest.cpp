// Conversions between float and 16-bit samples: the wide (vector) part and the
// scalar tail must agree on rounding and clipping.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "audio/engine/EngineSampleFormat.h"

using vt::engine::FromFloat;
using vt::engine::ToFloat;
using vt::engine::TSampleFormat;

TEST(EngineSampleFormat, FloatTo16BitRoundsHalfAwayFromZeroAndClips) {
  const float inf = std::numeric_limits<float>::infinity();
  struct TCase {
    float fIn;
    int16_t fOut;
  } cases[] = {{0.0f, 0},        {-0.0f, 0},         {1.0f, 32767},         {-1.0f, -32768},
               {2.5f, 32767},    {-2.5f, -32768},    {inf, 32767},          {-inf, -32768},
               {0.5f / 32768, 1}, {-0.5f / 32768, -1}, {1.49f / 32768, 1},   {-1.5f / 32768, -2},
               {100.4f / 32768, 100}, {0.25f, 8192}, {-0.25f, -8192}};
  // 8 + 3 samples: every value goes through the wide part and the tail.
  for (const auto& c : cases) {
    const std::vector<float> in(11, c.fIn);
    std::vector<int16_t> out(11, 12345);
    FromFloat(TSampleFormat::sfInt16, in.data(), out.data(), in.size());
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], c.fOut) << c.fIn << " at " << i;
  }
}

TEST(EngineSampleFormat, SixteenBitToFloatIsExactAndRoundTrips) {
  std::vector<int16_t> in;
  for (int v : {-32768, -32767, -1, 0, 1, 255, -256, 32767}) in.push_back(int16_t(v));
  for (int i = 0; i < 13; ++i) in.push_back(int16_t(i * 4999 - 30000));  // a tail past the wide part
  std::vector<float> floats(in.size());
  ToFloat(TSampleFormat::sfInt16, in.data(), floats.data(), in.size());
  for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(floats[i], in[i] / 32768.0f) << i;
  std::vector<int16_t> back(in.size());
  FromFloat(TSampleFormat::sfInt16, floats.data(), back.data(), floats.size());
  EXPECT_EQ(back, in);
}
