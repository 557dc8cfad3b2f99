// The mixer path with known signals: pass-through, resampling, channel maps,
// the delay effect, chain order, source removal and the real-time rules.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "EngineAllocationGuard.h"
#include "EngineTestSupport.h"
#include "audio/engine/Engine.h"
#include "audio/engine/EngineTestHook.h"

using namespace vt::engine::testing;

namespace {

constexpr DWORD kDecodeMixer = BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE;

struct TMixerFixture : ::testing::Test {
  void SetUp() override { BASS_SetConfig(BASS_CONFIG_FLOATDSP, 1); }
  void TearDown() override {
    for (DWORD h : fHandles) BASS_StreamFree(h);
  }
  DWORD Keep(DWORD iHandle) {
    EXPECT_NE(iHandle, 0u) << "engine error " << BASS_ErrorGetCode();
    fHandles.push_back(iHandle);
    return iHandle;
  }
  std::vector<DWORD> fHandles;
};

std::vector<float> Ramp(size_t iSamples, unsigned iSeed) {
  std::mt19937 random(iSeed);
  std::uniform_real_distribution<float> dist(-0.9f, 0.9f);
  std::vector<float> v(iSamples);
  for (auto& s : v) s = dist(random);
  return v;
}

}  // namespace

// Equal rates: what is pushed comes out unchanged, across any block split of
// puller and producer.
TEST_F(TMixerFixture, PassThroughIsSampleExactForAnyBlockSplit) {
  for (DWORD pushBlock : {1u, 441u, 5000u}) {
    for (DWORD pullBlock : {7u, 1024u, 9000u}) {
      const DWORD mixer = Keep(BASS_Mixer_StreamCreate(44100, 2, kDecodeMixer));
      const DWORD push = Keep(BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT, STREAMPROC_PUSH, nullptr));
      ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, push, 0));
      const auto input = Ramp(2 * 20000, pushBlock);
      std::vector<float> output;
      size_t pushed = 0;
      while (output.size() < input.size()) {
        if (pushed < input.size()) {
          const size_t n = std::min<size_t>(2 * pushBlock, input.size() - pushed);
          BASS_StreamPutData(push, input.data() + pushed, DWORD(n * 4));
          pushed += n;
        }
        // Only pull what is there, so no silence is inserted.
        const size_t ready = std::min<size_t>(pushed - output.size(), 2 * pullBlock);
        auto got = PullFloat(mixer, ready / 2);
        output.insert(output.end(), got.begin(), got.end());
      }
      ASSERT_EQ(output, input) << "push " << pushBlock << " pull " << pullBlock;
    }
  }
}

// 16-bit and mono sources: mono goes to both sides, more channels give the first two.
TEST_F(TMixerFixture, SourceChannelsAndFormatsAreConverted) {
  struct TCase {
    DWORD fChans;
    bool fFloat;
  } cases[] = {{1, false}, {1, true}, {2, false}, {4, true}};
  for (const auto& c : cases) {
    const DWORD mixer = Keep(BASS_Mixer_StreamCreate(48000, 2, kDecodeMixer));
    const DWORD push = Keep(BASS_StreamCreate(48000, c.fChans, BASS_STREAM_DECODE | (c.fFloat ? BASS_SAMPLE_FLOAT : 0),
                                              STREAMPROC_PUSH, nullptr));
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, push, 0));
    const DWORD frames = 100;
    std::vector<float> expectL, expectR;
    std::vector<float> f32;
    std::vector<int16_t> i16;
    for (DWORD f = 0; f < frames; ++f)
      for (DWORD ch = 0; ch < c.fChans; ++ch) {
        const int16_t v = int16_t((f * 37 + ch * 1000) % 20000 - 10000);
        i16.push_back(v);
        f32.push_back(v / 32768.0f);
        if (ch == 0) expectL.push_back(v / 32768.0f);
        if (ch == (c.fChans == 1 ? 0u : 1u)) expectR.push_back(v / 32768.0f);
      }
    if (c.fFloat)
      BASS_StreamPutData(push, f32.data(), DWORD(f32.size() * 4));
    else
      BASS_StreamPutData(push, i16.data(), DWORD(i16.size() * 2));
    const auto out = PullFloat(mixer, frames);
    ASSERT_EQ(out.size(), 2u * frames);
    for (DWORD f = 0; f < frames; ++f) {
      EXPECT_FLOAT_EQ(out[2 * f], expectL[f]) << c.fChans << " channels, frame " << f;
      EXPECT_FLOAT_EQ(out[2 * f + 1], expectR[f]) << c.fChans << " channels, frame " << f;
    }
  }
}

TEST_F(TMixerFixture, ResampledToneKeepsFrequencyAndLevel) {
  const DWORD mixer = Keep(BASS_Mixer_StreamCreate(44100, 2, kDecodeMixer));
  const DWORD tone = Keep(vt::engine::test::CreateToneStream(48000, 2, 1000.0, 0.5f));
  ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, tone, 0));
  PullFloat(mixer, 4410);  // past the resampler's start-up
  const auto out = PullFloat(mixer, 44100);
  ASSERT_EQ(out.size(), 2u * 44100);
  for (DWORD ch = 0; ch < 2; ++ch) {
    EXPECT_NEAR(ToneAmplitude(out, 2, ch, 1000.0, 44100), 0.5, 0.01);
    EXPECT_LT(ToneAmplitude(out, 2, ch, 1088.4, 44100), 0.005);  // not left at the source's rate
  }
  // One second at 1 kHz crosses zero upwards 1000 times.
  int crossings = 0;
  for (size_t i = 1; i < out.size() / 2; ++i) crossings += out[2 * (i - 1)] < 0 && out[2 * i] >= 0;
  EXPECT_NEAR(crossings, 1000, 1);
}

namespace {
// Channel c of the stream carries a sine of iBaseHz + 100 * c at 0.2.
DWORD ChannelTones(DWORD iFreq, DWORD iChans, double iBaseHz) {
  return vt::engine::test::CreateGeneratorStream(iFreq, iChans, [=, n = uint64_t(0)](float* o, DWORD frames) mutable {
    for (DWORD i = 0; i < frames; ++i, ++n)
      for (DWORD c = 0; c < iChans; ++c)
        o[i * iChans + c] = 0.2f * float(std::sin(2.0 * M_PI * (iBaseHz + 100.0 * c) * double(n) / iFreq));
  });
}

double Mean(const std::vector<float>& iSignal, DWORD iChannel, size_t iFrom, size_t iFrames) {
  double sum = 0;
  for (size_t f = iFrom; f < iFrom + iFrames; ++f) sum += iSignal[2 * f + iChannel];
  return sum / double(iFrames);
}
}  // namespace

// Sources of every layout and rate land in the right channels and add up; the
// first source is written in place, so where it runs dry the others must add
// to silence, not to what the buffer held.
TEST_F(TMixerFixture, ResampledSourcesKeepTheirChannelsAndSum) {
  const DWORD mixer = Keep(BASS_Mixer_StreamCreate(44100, 2, kDecodeMixer));
  const DWORD first = Keep(BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT, STREAMPROC_PUSH, nullptr));
  const DWORD mono = Keep(vt::engine::test::CreateToneStream(48000, 1, 1000.0, 0.3f));
  const DWORD stereo = Keep(ChannelTones(22050, 2, 500.0));  // 500 Hz left, 600 Hz right
  const DWORD quad = Keep(ChannelTones(32000, 4, 2000.0));   // 2000, 2100 kept; 2200, 2300 dropped
  const DWORD later = Keep(BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT, STREAMPROC_PUSH, nullptr));
  for (DWORD source : {first, mono, stereo, quad, later}) ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, source, 0));
  PullFloat(mixer, 4410);  // past the resamplers' start-up, with both push sources empty
  const std::vector<float> dcFirst(2 * 2000, 0.25f), dcLater(2 * 1000, -0.125f);
  BASS_StreamPutData(first, dcFirst.data(), DWORD(dcFirst.size() * 4));
  BASS_StreamPutData(later, dcLater.data(), DWORD(dcLater.size() * 4));
  std::vector<float> out(2 * 44100, 7.0f);  // what was in the buffer must not show
  ASSERT_EQ(BASS_ChannelGetData(mixer, out.data(), DWORD(out.size() * 4)), out.size() * 4);

  struct TTone {
    DWORD fChannel;
    double fHz, fAmplitude;
  } tones[] = {{0, 1000, 0.3}, {1, 1000, 0.3}, {0, 500, 0.2}, {1, 600, 0.2}, {0, 2000, 0.2}, {1, 2100, 0.2},
               {0, 600, 0}, {1, 500, 0}, {0, 2100, 0}, {1, 2000, 0}, {0, 2200, 0}, {1, 2300, 0}};
  for (const auto& t : tones)
    EXPECT_NEAR(ToneAmplitude(out, 2, t.fChannel, t.fHz, 44100), t.fAmplitude, 0.005)
        << t.fHz << " Hz in channel " << t.fChannel;
  // 441 frames hold whole cycles of every tone, so their mean is the DC alone.
  for (DWORD ch = 0; ch < 2; ++ch) {
    EXPECT_NEAR(Mean(out, ch, 0, 441), 0.125, 0.002) << ch;
    EXPECT_NEAR(Mean(out, ch, 1100, 441), 0.25, 0.002) << ch;
    EXPECT_NEAR(Mean(out, ch, 2100, 441), 0.0, 0.002) << ch;
  }
}

// A non-stop mixer delivers full blocks of silence while its source is empty,
// and a freed source leaves it.
TEST_F(TMixerFixture, NonStopMixerPlaysSilenceAndForgetsFreedSources) {
  const DWORD mixer = Keep(BASS_Mixer_StreamCreate(44100, 2, kDecodeMixer));
  const DWORD push = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT, STREAMPROC_PUSH, nullptr);
  ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, push, 0));
  EXPECT_EQ(BASS_Mixer_ChannelGetMixer(push), mixer);
  std::vector<float> ones(2 * 10, 1.0f);
  BASS_StreamPutData(push, ones.data(), DWORD(ones.size() * 4));
  auto out = PullFloat(mixer, 30);
  ASSERT_EQ(out.size(), 60u);
  EXPECT_EQ(std::accumulate(out.begin(), out.end(), 0.0f), 20.0f);
  ASSERT_TRUE(BASS_StreamFree(push));
  EXPECT_EQ(BASS_StreamPutData(push, ones.data(), 8), DWORD(-1));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
  out = PullFloat(mixer, 30);
  ASSERT_EQ(out.size(), 60u);
  EXPECT_EQ(std::accumulate(out.begin(), out.end(), 0.0f), 0.0f);
  EXPECT_EQ(BASS_ChannelGetPosition(mixer, BASS_POS_BYTE), 60u * 2 * 4);
}

TEST_F(TMixerFixture, ChannelMapSelectsChannels) {
  struct TCase {
    int fLeft, fRight;
    float fExpectL, fExpectR;
  } cases[] = {{BASS_BFX_CHAN1, BASS_BFX_CHAN2, 0.25f, -0.5f},
               {BASS_BFX_CHAN1, BASS_BFX_CHAN1, 0.25f, 0.25f},
               {BASS_BFX_CHAN2, BASS_BFX_CHAN2, -0.5f, -0.5f}};
  for (const auto& c : cases) {
    const DWORD mixer = Keep(BASS_Mixer_StreamCreate(44100, 2, kDecodeMixer));
    const DWORD push = Keep(BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT, STREAMPROC_PUSH, nullptr));
    BASS_Mixer_StreamAddChannel(mixer, push, 0);
    const HFX fx = BASS_ChannelSetFX(mixer, BASS_FX_BFX_MIX, 1);
    ASSERT_NE(fx, 0u);
    const int map[2] = {c.fLeft, c.fRight};
    BASS_BFX_MIX params{map};
    ASSERT_TRUE(BASS_FXSetParameters(fx, &params));
    std::vector<float> frames;
    for (int i = 0; i < 16; ++i) frames.insert(frames.end(), {0.25f, -0.5f});
    BASS_StreamPutData(push, frames.data(), DWORD(frames.size() * 4));
    const auto out = PullFloat(mixer, 16);
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(out[2 * i], c.fExpectL);
      EXPECT_EQ(out[2 * i + 1], c.fExpectR);
    }
  }
}

// Dry 0, wet 1: the output is the input moved by exactly the delay.
TEST_F(TMixerFixture, EchoWithoutDryIsAnExactDelay) {
  const DWORD mixer = Keep(BASS_Mixer_StreamCreate(8000, 2, kDecodeMixer));
  const DWORD push = Keep(BASS_StreamCreate(8000, 2, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT, STREAMPROC_PUSH, nullptr));
  BASS_Mixer_StreamAddChannel(mixer, push, 0);
  const HFX fx = BASS_ChannelSetFX(mixer, BASS_FX_BFX_ECHO3, 100);
  BASS_BFX_ECHO3 echo{0.0f, 1.0f, 0.25f, BASS_BFX_CHANALL};
  ASSERT_TRUE(BASS_FXSetParameters(fx, &echo));
  const auto input = Ramp(2 * 6000, 3);
  BASS_StreamPutData(push, input.data(), DWORD(input.size() * 4));
  const auto out = PullFloat(mixer, 6000);
  const size_t delay = 2000 * 2;  // 0.25 s at 8 kHz, two channels
  for (size_t i = 0; i < delay; ++i) ASSERT_EQ(out[i], 0.0f) << i;
  for (size_t i = delay; i < out.size(); ++i) ASSERT_EQ(out[i], input[i - delay]) << i;
  BASS_BFX_ECHO3 bad{0.0f, 1.0f, -1.0f, BASS_BFX_CHANALL};
  EXPECT_FALSE(BASS_FXSetParameters(fx, &bad));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
}

namespace {
struct TStep {
  std::vector<int>* fLog;
  int fId;
};
void RecordDsp(HDSP, DWORD, void* buffer, DWORD length, void* user) {
  auto* step = static_cast<TStep*>(user);
  // The first sample tells which steps ran before: each step adds its id.
  auto* samples = static_cast<float*>(buffer);
  step->fLog->push_back(step->fId * 1000 + int(samples[0]));
  for (DWORD i = 0; i < length / 4; ++i) samples[i] += 1.0f;
}
}  // namespace

// Higher priorities first, equal priorities in the order they were set; effects
// and callbacks share one order, and a removed callback no longer runs.
TEST_F(TMixerFixture, ChainRunsInPriorityOrder) {
  const DWORD mixer = Keep(BASS_Mixer_StreamCreate(44100, 2, kDecodeMixer));
  std::vector<int> log;
  log.reserve(64);
  TStep steps[] = {{&log, 1}, {&log, 2}, {&log, 3}, {&log, 4}, {&log, 5}, {&log, 6}, {&log, 7}};
  // set in a shuffled order
  BASS_ChannelSetDSP(mixer, RecordDsp, &steps[5], -1500);
  BASS_ChannelSetDSP(mixer, RecordDsp, &steps[1], 0);  // level
  const HDSP removed = BASS_ChannelSetDSP(mixer, RecordDsp, &steps[6], -3000);
  BASS_ChannelSetDSP(mixer, RecordDsp, &steps[4], -1000);
  BASS_ChannelSetDSP(mixer, RecordDsp, &steps[2], 0);  // counter, after level
  BASS_ChannelSetDSP(mixer, RecordDsp, &steps[0], 200);
  BASS_ChannelSetDSP(mixer, RecordDsp, &steps[3], -500);
  ASSERT_TRUE(BASS_ChannelRemoveDSP(mixer, removed));
  EXPECT_FALSE(BASS_ChannelRemoveDSP(mixer, removed));
  PullFloat(mixer, 64);
  EXPECT_EQ(log, (std::vector<int>{1000, 2001, 3002, 4003, 5004, 6005}));

  // The delay at 100 and the channel map at 1 sit between the callbacks at 200 and 0.
  log.clear();
  const HFX echo = BASS_ChannelSetFX(mixer, BASS_FX_BFX_ECHO3, 100);
  BASS_BFX_ECHO3 params{0.0f, 0.0f, 0.0f, BASS_BFX_CHANALL};  // mutes: shows it ran after step 1
  BASS_FXSetParameters(echo, &params);
  ASSERT_NE(BASS_ChannelSetFX(mixer, BASS_FX_BFX_MIX, 1), 0u);
  PullFloat(mixer, 64);
  EXPECT_EQ(log, (std::vector<int>{1000, 2000, 3001, 4002, 5003, 6004}));
  ASSERT_TRUE(BASS_ChannelRemoveFX(mixer, echo));
  EXPECT_FALSE(BASS_FXSetParameters(echo, &params));
}

// Several times round a push stream's ring (5 s): every sample comes out as
// it went in, converted where it lies, whatever the frame size.
TEST_F(TMixerFixture, PushStreamsStayExactWhereTheirRingWraps) {
  struct TCase {
    DWORD fChans, fFlags;
  } cases[] = {{1, 0}, {2, BASS_SAMPLE_8BITS}, {3, 0}, {2, BASS_SAMPLE_FLOAT}};
  for (const auto& c : cases) {
    const DWORD push = Keep(BASS_StreamCreate(8000, c.fChans, BASS_STREAM_DECODE | c.fFlags, STREAMPROC_PUSH, nullptr));
    const size_t block = 1777 * c.fChans;  // no divisor of the ring's size
    size_t at = 0;
    for (int round = 0; round < 70; ++round) {  // 15.5 s in all
      std::vector<float> expect(block);
      std::vector<uint8_t> raw;
      for (size_t i = 0; i < block; ++i, ++at) {
        const int v = int((at * 7919) % 251) - 125;  // fits every format
        if (c.fFlags & BASS_SAMPLE_FLOAT) {
          const float f = v / 128.0f;
          raw.insert(raw.end(), reinterpret_cast<const uint8_t*>(&f), reinterpret_cast<const uint8_t*>(&f) + 4);
          expect[i] = f;
        } else if (c.fFlags & BASS_SAMPLE_8BITS) {
          raw.push_back(uint8_t(v + 128));  // unsigned, as 8-bit WAV data
          expect[i] = v / 128.0f;
        } else {
          const int16_t s16 = int16_t(v * 256);
          raw.insert(raw.end(), reinterpret_cast<const uint8_t*>(&s16), reinterpret_cast<const uint8_t*>(&s16) + 2);
          expect[i] = v / 128.0f;
        }
      }
      ASSERT_NE(BASS_StreamPutData(push, raw.data(), DWORD(raw.size())), DWORD(-1));
      std::vector<float> out(block);
      ASSERT_EQ(BASS_ChannelGetData(push, out.data(), DWORD(block * 4) | BASS_DATA_FLOAT), DWORD(block * 4));
      ASSERT_EQ(out, expect) << c.fChans << " channels, flags " << c.fFlags << ", round " << round;
    }
    EXPECT_EQ(VT_StreamGetDropped(push), 0u);
  }
}

TEST_F(TMixerFixture, PushStreamOverflowDropsNewestAndCounts) {
  const DWORD push = Keep(BASS_StreamCreate(8000, 1, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr));
  std::vector<int16_t> second(8000, 1000);
  for (int i = 0; i < 5; ++i) BASS_StreamPutData(push, second.data(), 16000);
  EXPECT_EQ(VT_StreamGetDropped(push), 0u);
  second.assign(8000, 2000);
  EXPECT_EQ(BASS_StreamPutData(push, second.data(), 16000), 5u * 16000);
  EXPECT_EQ(VT_StreamGetDropped(push), 16000u);
  // what is kept is the older audio
  std::vector<int16_t> out(5 * 8000);
  ASSERT_EQ(BASS_ChannelGetData(push, out.data(), DWORD(out.size() * 2)), 5u * 16000);
  EXPECT_EQ(out.back(), 1000);
  EXPECT_EQ(VT_StreamGetDropped(12345), QWORD(-1));
}

TEST_F(TMixerFixture, PullPathDoesNotAllocate) {
  const DWORD mixer = Keep(BASS_Mixer_StreamCreate(44100, 2, kDecodeMixer));
  const DWORD push = Keep(BASS_StreamCreate(48000, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr));
  BASS_Mixer_StreamAddChannel(mixer, push, 0);
  const HFX fx = BASS_ChannelSetFX(mixer, BASS_FX_BFX_MIX, 1);
  const int map[2] = {BASS_BFX_CHAN1, BASS_BFX_CHAN1};
  BASS_BFX_MIX params{map};
  BASS_FXSetParameters(fx, &params);
  const HFX echo = BASS_ChannelSetFX(mixer, BASS_FX_BFX_ECHO3, 100);
  BASS_BFX_ECHO3 delay{0.0f, 1.0f, 0.1f, BASS_BFX_CHANALL};
  BASS_FXSetParameters(echo, &delay);
  BASS_ChannelSetDSP(mixer, [](HDSP, DWORD, void*, DWORD, void*) {}, nullptr, 0);
  const std::string dir = TempDir();
  BASS_SetConfig(BASS_CONFIG_ENCODE_QUEUE, 2000);
  const HENCODE wav = BASS_Encode_Start(mixer, (dir + "/a.wav").c_str(), BASS_ENCODE_PCM | BASS_ENCODE_FP_16BIT, nullptr, nullptr);
  ASSERT_NE(wav, 0u);
  std::vector<int16_t> block(2 * 480, 100);
  std::vector<float> out(2 * 441);
  TAllocationGuard guard;
  for (int i = 0; i < 200; ++i) {
    BASS_StreamPutData(push, block.data(), DWORD(block.size() * 2));
    BASS_ChannelGetData(mixer, out.data(), DWORD(out.size() * 4));
  }
  EXPECT_EQ(guard.RealtimeAllocations(), 0);
  BASS_Encode_Stop(wav);
}

TEST_F(TMixerFixture, ErrorsAndFormatQueries) {
  EXPECT_EQ(BASS_Mixer_StreamCreate(0, 2, kDecodeMixer), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FREQ);
  EXPECT_FALSE(BASS_StreamFree(999999));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
  const DWORD mixer = Keep(BASS_Mixer_StreamCreate(44100, 2, kDecodeMixer));
  const DWORD dummy = Keep(BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT, STREAMPROC_DUMMY, nullptr));
  ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, dummy, 0));
  EXPECT_FALSE(BASS_Mixer_StreamAddChannel(mixer, dummy, 0));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
  EXPECT_FALSE(BASS_Mixer_StreamAddChannel(mixer, mixer, 0));
  EXPECT_EQ(BASS_ChannelSetFX(mixer, 0x12345, 0), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
  BASS_CHANNELINFO info;
  ASSERT_TRUE(BASS_ChannelGetInfo(mixer, &info));
  EXPECT_EQ(info.freq, 44100u);
  EXPECT_EQ(info.chans, 2u);
  EXPECT_EQ(info.ctype, DWORD(BASS_CTYPE_STREAM_MIXER));
  EXPECT_EQ(BASS_ChannelSeconds2Bytes(mixer, 1.5), 66150u * 8);
  EXPECT_DOUBLE_EQ(BASS_ChannelBytes2Seconds(mixer, 44100 * 8), 1.0);
  EXPECT_TRUE(BASS_SetConfig(BASS_CONFIG_ENCODE_PRIORITY, DWORD(-2000)));
  EXPECT_EQ(int(BASS_GetConfig(BASS_CONFIG_ENCODE_PRIORITY)), -2000);
  EXPECT_FALSE(BASS_SetConfig(0x7777, 1));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
  BASS_SetConfig(BASS_CONFIG_ENCODE_PRIORITY, DWORD(-1));
}

TEST(EnginePlugin, LoadsLibrariesAndRejectsOtherFiles) {
  EXPECT_EQ(BASS_PluginLoad("/nonexistent/bass_aac.so", BASS_UNICODE), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
  EXPECT_EQ(BASS_PluginLoad("/etc/hostname", 0), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEFORM);
  const HPLUGIN plugin = BASS_PluginLoad("/lib/x86_64-linux-gnu/libsoxr.so.0", 0);
  ASSERT_NE(plugin, 0u);
  EXPECT_TRUE(BASS_PluginFree(plugin));
}
