#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "slot/SlotLevels.h"

namespace {

// Interleaved stereo float frames, as the mixer hands them to the callback.
struct TStereoBlock {
  std::vector<float> fSamples;
  explicit TStereoBlock(std::size_t iFrames) : fSamples(2 * iFrames, 0.0f) {}
  TStereoBlock& Set(std::size_t iFrame, float iLeft, float iRight) {
    fSamples[2 * iFrame] = iLeft;
    fSamples[2 * iFrame + 1] = iRight;
    return *this;
  }
  uint32_t Bytes() const { return static_cast<uint32_t>(fSamples.size() * sizeof(float)); }
};

class SlotLevelsTest : public ::testing::Test {
 protected:
  void Feed(const TStereoBlock& iBlock) { fLevels.DoLevelDSP(iBlock.fSamples.data(), iBlock.Bytes()); }

  std::atomic<uint64_t> fNow{10000};
  TSlotLevels fLevels{[this] { return fNow.load(); }};
};

TEST(SlotLevelsThreshold, LinearValueOfTheThreshold) {
  const struct {
    int32_t fDecibel;
    float fLinear;
  } cases[] = {{0, 1.0f},       {-30, 0.0316228f}, {-50, 0.00316228f}, {-60, 0.001f},
               {-100, 0.00001f}, {-199, 1.12202e-10f}, {-200, 0.0f},      {-250, 0.0f}};
  TSlotLevels levels;
  for (const auto& c : cases) {
    levels.SetSilenceThreshold(c.fDecibel);
    EXPECT_EQ(levels.GetSilenceThreshold(), c.fDecibel);
    if (c.fLinear == 0.0f)
      EXPECT_EQ(levels.GetSilenceThresholdLinear(), 0.0f) << c.fDecibel;
    else
      EXPECT_NEAR(levels.GetSilenceThresholdLinear() / c.fLinear, 1.0, 1e-5) << c.fDecibel;
  }
}

TEST_F(SlotLevelsTest, PeaksAreTheLargestMagnitudePerChannelUnclipped) {
  TStereoBlock block(16);
  block.Set(3, 0.5f, 0.1f).Set(7, -0.25f, -0.75f).Set(12, 0.125f, 0.2f);
  Feed(block);
  EXPECT_FLOAT_EQ(fLevels.LevelLeft(), 0.5f);
  EXPECT_FLOAT_EQ(fLevels.LevelRight(), 0.75f);

  // Each block stands alone, and over-full-scale values are kept.
  Feed(TStereoBlock(4).Set(0, -1.5f, 0.0f));
  EXPECT_FLOAT_EQ(fLevels.LevelLeft(), 1.5f);
  EXPECT_FLOAT_EQ(fLevels.LevelRight(), 0.0f);

  fLevels.ResetLevels();
  EXPECT_EQ(fLevels.LevelLeft(), 0.0f);
  EXPECT_EQ(fLevels.LevelRight(), 0.0f);
}

// The loudest frame counts wherever it lies in blocks of any length, also in
// the frames left over after the wide steps; NaN samples count as nothing.
TEST_F(SlotLevelsTest, PeaksAreFoundAtEveryPositionAndNaNIsPassedOver) {
  for (const std::size_t frames : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 31u}) {
    for (std::size_t at = 0; at < frames; ++at) {
      TStereoBlock block(frames);
      for (std::size_t f = 0; f < frames; ++f) block.Set(f, 0.01f * f, -0.02f * f);
      block.Set(at, -0.9f, 0.8f);
      Feed(block);
      EXPECT_FLOAT_EQ(fLevels.LevelLeft(), 0.9f) << frames << " frames, loudest at " << at;
      EXPECT_FLOAT_EQ(fLevels.LevelRight(), 0.8f) << frames << " frames, loudest at " << at;
      block.Set(at, std::nanf(""), std::nanf(""));
      Feed(block);
      const float rest = frames == 1 ? 0.0f : float(at == frames - 1 ? frames - 2 : frames - 1);
      EXPECT_FLOAT_EQ(fLevels.LevelLeft(), 0.01f * rest) << frames << " frames, NaN at " << at;
      EXPECT_FLOAT_EQ(fLevels.LevelRight(), 0.02f * rest) << frames << " frames, NaN at " << at;
    }
  }
}

TEST_F(SlotLevelsTest, OnlyWholeFramesAreMeasured) {
  // Two whole frames and half of a third one, whose left sample is loud.
  std::vector<float> samples = {0.1f, 0.2f, 0.3f, 0.4f, 0.9f, 0.0f};
  fLevels.DoLevelDSP(samples.data(), 5 * sizeof(float));
  EXPECT_FLOAT_EQ(fLevels.LevelLeft(), 0.3f);
  EXPECT_FLOAT_EQ(fLevels.LevelRight(), 0.4f);

  fLevels.DoLevelDSP(samples.data(), 0);
  EXPECT_EQ(fLevels.LevelLeft(), 0.0f);
  fLevels.DoLevelDSP(nullptr, 64);
  EXPECT_EQ(fLevels.LevelRight(), 0.0f);
}

TEST_F(SlotLevelsTest, BlocksThatReachTheThresholdRenewTheLastLoudTick) {
  const float minus30 = [] {
    TSlotLevels probe;
    probe.SetSilenceThreshold(-30);
    return probe.GetSilenceThresholdLinear();
  }();
  const float below30 = minus30 * 0.999f;
  const struct {
    const char* fWhat;
    int32_t fThreshold;
    float fLeft, fRight;
    bool fRenews;
  } cases[] = {
      {"digital silence", -30, 0.0f, 0.0f, false},
      {"left loud, right silent", -30, 0.5f, 0.0f, true},
      {"right loud, negative samples", -30, 0.0f, -0.5f, true},
      {"just below on both channels", -30, below30, -below30, false},
      {"exactly at the threshold", -30, minus30, 0.0f, true},
      {"0 dBFS: below full scale", 0, 0.999f, -0.999f, false},
      {"0 dBFS: full scale", 0, 0.0f, -1.0f, true},
      {"-200 dBFS: even digital silence", -200, 0.0f, 0.0f, true},
  };
  for (const auto& c : cases) {
    fLevels.SetSilenceThreshold(c.fThreshold);
    fLevels.ResetSilence();
    const uint64_t before = fLevels.GetLastOverSilenceTickCount();
    fNow += 500;
    Feed(TStereoBlock(8).Set(5, c.fLeft, c.fRight));
    EXPECT_EQ(fLevels.GetLastOverSilenceTickCount(), c.fRenews ? fNow.load() : before) << c.fWhat;
    EXPECT_EQ(fLevels.GetCurrentSilenceDurationMilliseconds(), c.fRenews ? 0 : 500) << c.fWhat;
  }
}

TEST_F(SlotLevelsTest, SilenceDurationGrowsFromTheLastLoudBlock) {
  fLevels.SetSilenceThreshold(-30);
  EXPECT_EQ(fLevels.GetCurrentSilenceDurationMilliseconds(), 0);  // a new slot starts without silence

  Feed(TStereoBlock(8).Set(0, 0.5f, 0.5f));
  const uint64_t loud = fNow;
  for (int i = 0; i < 250; ++i) {  // 12.5 s of 50 ms silent blocks
    fNow += 50;
    Feed(TStereoBlock(8));
  }
  EXPECT_EQ(fLevels.GetLastOverSilenceTickCount(), loud);
  EXPECT_EQ(fLevels.GetCurrentSilenceDurationMilliseconds(), 12500);

  // Without blocks (a dead clock) the silence keeps growing.
  fNow += 1000;
  EXPECT_EQ(fLevels.GetCurrentSilenceDurationMilliseconds(), 13500);

  fLevels.ResetSilence();
  EXPECT_EQ(fLevels.GetCurrentSilenceDurationMilliseconds(), 0);
}

TEST_F(SlotLevelsTest, AudioThreadAndReadersShareTheLevelsWithoutRaces) {
  // Run under ThreadSanitizer: the audio thread measures while the views, the
  // alarm check and the dialog read and change the silence values.
  std::atomic<bool> stop{false};
  std::thread audio([&] {
    TStereoBlock loud(64);
    loud.Set(10, 0.5f, -0.25f);
    const TStereoBlock silent(64);
    for (int i = 0; i < 20000; ++i) {
      fNow.fetch_add(1);
      Feed(i % 2 ? loud : silent);
    }
    stop = true;
  });
  int64_t longest = 0;
  for (int32_t db = -60; !stop; db = db == -10 ? -60 : db + 1) {
    fLevels.SetSilenceThreshold(db);
    longest = std::max(longest, fLevels.GetCurrentSilenceDurationMilliseconds());
    (void)fLevels.GetLastOverSilenceTickCount();
    (void)fLevels.LevelLeft();
    (void)fLevels.LevelRight();
  }
  audio.join();
  EXPECT_GE(longest, 0);
  EXPECT_FLOAT_EQ(fLevels.LevelLeft(), 0.5f);  // the last block was loud
  EXPECT_FLOAT_EQ(fLevels.LevelRight(), 0.25f);
}

}  // namespace
