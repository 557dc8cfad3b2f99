// The waveform accumulator reduces whole spans at once; these cases hold it
// to the plain one-sample-at-a-time reduction it replaced, for every block
// split, channel count and rate, and for samples out of range.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "slot/SlotPeaksFormat.h"

namespace {

// One sample at a time: clamp, convert, compare, and a pair after every
// frame count f with f * pairsPerSecond >= rate.
class TReferencePeaks {
public:
  explicit TReferencePeaks(int iPairsPerSecond) : fPerSecond(iPairsPerSecond) {}
  void Sample(int iValue, bool iFrameEnd, int iRate, std::vector<TPeakPair>& oPairs) {
    fMin = std::min(fMin, iValue);
    fMax = std::max(fMax, iValue);
    if (!iFrameEnd) return;
    ++fFrames;
    if (fFrames * static_cast<uint64_t>(fPerSecond) >= static_cast<uint64_t>(iRate > 0 ? iRate : 1)) {
      oPairs.push_back({static_cast<int16_t>(fMin), static_cast<int16_t>(fMax)});
      fMin = 32767, fMax = -32768, fFrames = 0;
    }
  }
  void Float(const float* iData, size_t iFrames, int iChannels, int iRate, std::vector<TPeakPair>& oPairs) {
    for (size_t i = 0; i < iFrames * static_cast<size_t>(iChannels); ++i) {
      float v = iData[i];
      if (!(v >= -1.0f)) v = -1.0f;
      if (v > 1.0f) v = 1.0f;
      Sample(static_cast<int>(v * 32767.0f), (i + 1) % static_cast<size_t>(iChannels) == 0, iRate, oPairs);
    }
  }
  void Int16(const int16_t* iData, size_t iFrames, int iChannels, int iRate, std::vector<TPeakPair>& oPairs) {
    for (size_t i = 0; i < iFrames * static_cast<size_t>(iChannels); ++i)
      Sample(iData[i], (i + 1) % static_cast<size_t>(iChannels) == 0, iRate, oPairs);
  }
  bool Partial(TPeakPair& oPair) const {
    oPair = {static_cast<int16_t>(fMin), static_cast<int16_t>(fMax)};
    return fFrames > 0;
  }

private:
  int fPerSecond;
  int fMin = 32767, fMax = -32768;
  uint64_t fFrames = 0;
};

bool operator==(const TPeakPair& a, const TPeakPair& b) { return a.Min == b.Min && a.Max == b.Max; }

struct TCase {
  const char* Name;
  int Channels;
  int PairsPerSecond;
  std::vector<int> Rates;        // the rate changes after each third of the stream
  std::vector<size_t> Blocks;    // block sizes in frames, used in turn
};

// A slow sine with a little noise, so that every pair's extremes sit near its
// edges and a pair that ends one frame early or late shows; the awkward values
// sprinkled in: out of range, NaN, infinities, negative zero, exact full scale.
std::vector<float> Audio(size_t iSamples, unsigned iSeed) {
  std::mt19937 random(iSeed);
  std::uniform_real_distribution<float> noise(-0.01f, 0.01f);
  const float odd[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity(), -0.0f, 1.0f, -1.0f, 1e-9f, -1e-9f, 1.5f, -2.0f};
  std::vector<float> audio(iSamples);
  for (size_t i = 0; i < iSamples; ++i)
    audio[i] = random() % 5000 == 0 ? odd[random() % 10]
                                    : 1.1f * std::sin(static_cast<float>(i) * 0.00011f) + noise(random);
  return audio;
}

}  // namespace

TEST(SlotPeaksAccumulator, MatchesTheSampleBySampleReduction) {
  const TCase cases[] = {
      {"stereo 48 kHz, one pull's blocks", 2, 10, {48000}, {2400}},
      {"mono 8 kHz, blocks of one frame", 1, 10, {8000}, {1}},
      {"six channels, blocks that straddle pairs", 6, 10, {44100}, {4095, 7, 4410, 1}},
      {"three channels, a rate the pairs do not divide", 3, 7, {48000}, {1000, 3}},
      {"stereo, many pairs per block", 2, 1000, {48000}, {4096}},
      {"stereo, the rate falls and rises mid-pair", 2, 10, {48000, 8000, 44100}, {1234, 517}},
      {"stereo, no valid rate", 2, 10, {0}, {333}},
  };
  for (const TCase& c : cases) {
    for (int int16 = 0; int16 < 2; ++int16) {
      SCOPED_TRACE(std::string(c.Name) + (int16 ? ", 16-bit" : ", float"));
      const size_t frames = 3 * 48000 + 77;
      const std::vector<float> audio = Audio(frames * static_cast<size_t>(c.Channels), 7 + c.Channels);
      std::vector<int16_t> audio16(audio.size());
      for (size_t i = 0; i < audio.size(); ++i)
        audio16[i] = static_cast<int16_t>(std::isnan(audio[i]) ? 0 : std::clamp(audio[i], -1.0f, 1.0f) * 32767.0f);

      TReferencePeaks reference(c.PairsPerSecond);
      TPeaksAccumulator accumulator(c.PairsPerSecond);
      std::vector<TPeakPair> expected, got;
      const auto sink = [&](const TPeakPair& p) { got.push_back(p); };
      size_t at = 0;
      for (size_t b = 0; at < frames; ++b) {
        const size_t n = std::min(c.Blocks[b % c.Blocks.size()], frames - at);
        const int rate = c.Rates[std::min(c.Rates.size() - 1, at * c.Rates.size() / frames)];
        const size_t offset = at * static_cast<size_t>(c.Channels);
        if (int16) {
          reference.Int16(audio16.data() + offset, n, c.Channels, rate, expected);
          accumulator.AddInt16(audio16.data() + offset, n, c.Channels, rate, sink);
        } else {
          reference.Float(audio.data() + offset, n, c.Channels, rate, expected);
          accumulator.AddFloat(audio.data() + offset, n, c.Channels, rate, sink);
        }
        at += n;
      }
      ASSERT_EQ(got.size(), expected.size());
      for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(got[i] == expected[i]) << "pair " << i;
      }
      TPeakPair partialExpected, partialGot;
      const bool hasPartial = reference.Partial(partialExpected);
      ASSERT_EQ(accumulator.TakePartial(partialGot), hasPartial);
      if (hasPartial) {
        EXPECT_TRUE(partialGot == partialExpected);
      }
    }
  }
}
