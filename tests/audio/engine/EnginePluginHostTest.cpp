// The DSP plug-in host with Debian's LADSPA and LV2 plug-ins: known tones
// through a mixer's chain, channel layouts, control values, refusals with
// their reasons, and the real-time rules while plug-ins come and go.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "EngineAllocationGuard.h"
#include "EngineTestSupport.h"
#include "audio/engine/Engine.h"
#include "audio/engine/EngineTestHook.h"

using namespace vt::engine::testing;

namespace {

// The test bundles (plug-ins the host must refuse) beside Debian's, set before
// the host reads the installed bundles at its first LV2 plug-in.
const bool kLv2Path = [] {
  setenv("LV2_PATH", VT_SOURCE_DIR "/tests/audio/engine/lv2:/usr/lib/lv2:/usr/local/lib/lv2", 1);
  return true;
}();

constexpr DWORD kRate = 48000;
constexpr double kLeftHz = 440.0, kRightHz = 1000.0;
constexpr float kAmplitude = 0.8f;

struct TPluginFixture : ::testing::Test {
  void SetUp() override {
    BASS_SetConfig(BASS_CONFIG_FLOATDSP, 1);
    ASSERT_TRUE(BASS_WADSP_Init(nullptr));
  }
  void TearDown() override {
    for (DWORD h : fPlugins) BASS_WADSP_FreeDSP(h);
    for (DWORD h : fStreams) BASS_StreamFree(h);
  }
  // A decoding stereo mixer fed with different tones left and right.
  DWORD ToneMixer(DWORD iFlags = BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE) {
    const DWORD mixer = BASS_Mixer_StreamCreate(kRate, 2, iFlags);
    double phase = 0;
    const HSTREAM tone = vt::engine::test::CreateGeneratorStream(kRate, 2, [phase](float* oBuffer, DWORD iFrames) mutable {
      for (DWORD f = 0; f < iFrames; ++f, ++phase) {
        oBuffer[2 * f] = kAmplitude * float(std::sin(2 * M_PI * kLeftHz * phase / kRate));
        oBuffer[2 * f + 1] = kAmplitude * float(std::sin(2 * M_PI * kRightHz * phase / kRate));
      }
    });
    fStreams.push_back(mixer);
    fStreams.push_back(tone);
    EXPECT_TRUE(BASS_Mixer_StreamAddChannel(mixer, tone, 0));
    return mixer;
  }
  DWORD Load(const std::string& iName) {
    const HDSP plugin = BASS_WADSP_Load(iName.c_str(), 5, 5, 100, 100, nullptr);
    EXPECT_NE(plugin, 0u) << iName << ": " << BASS_ErrorGetCode() << " " << VT_WADSP_ErrorText();
    if (plugin) fPlugins.push_back(plugin);
    return plugin;
  }
  // Amplitude of each tone in its own channel, and of the other tone leaking in.
  struct TLevels {
    double fLeft, fRight, fLeak;
  };
  static TLevels Measure(DWORD iMixer) {
    std::vector<float> out(2 * kRate / 2);
    const DWORD bytes = BASS_ChannelGetData(iMixer, out.data(), DWORD(out.size() * sizeof(float)) | BASS_DATA_FLOAT);
    EXPECT_EQ(bytes, out.size() * sizeof(float));
    return {ToneAmplitude(out, 2, 0, kLeftHz, kRate), ToneAmplitude(out, 2, 1, kRightHz, kRate),
            std::max(ToneAmplitude(out, 2, 0, kRightHz, kRate), ToneAmplitude(out, 2, 1, kLeftHz, kRate))};
  }
  std::vector<DWORD> fPlugins, fStreams;
};

// A gain of -6.02 dB (or 0.5) halves each tone, in its own channel: mono
// plug-ins run once per channel, stereo ones once on the pair, LADSPA and LV2,
// on float chains and on 16-bit ones.
TEST_F(TPluginFixture, GainHalvesEachChannelApart) {
  struct TCase {
    const char* fName;
    const char* fControl;
    float fValue;
    bool f16Bit;
  };
  for (const TCase& c : {TCase{"/usr/lib/ladspa/amp_1181.so", "amps_gain_db", -6.0206f, false},
                         TCase{"amp_1181.so#amp", "0", -6.0206f, false},
                         TCase{"/usr/lib/ladspa/amp.so#amp_stereo", "gain", 0.5f, false},
                         TCase{"/usr/lib/ladspa/amp.so", "gain", 0.5f, true},
                         TCase{"http://plugin.org.uk/swh-plugins/amp", "gain", -6.0206f, false}}) {
    SCOPED_TRACE(c.fName);
    if (c.f16Bit) BASS_SetConfig(BASS_CONFIG_FLOATDSP, 0);
    const DWORD mixer = ToneMixer(c.f16Bit ? BASS_MIXER_NONSTOP | BASS_STREAM_DECODE
                                           : BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
    const HDSP plugin = Load(c.fName);
    ASSERT_TRUE(BASS_WADSP_Start(plugin, 0, mixer)) << VT_WADSP_ErrorText();
    ASSERT_NE(BASS_WADSP_ChannelSetDSP(plugin, mixer, -500), 0u) << VT_WADSP_ErrorText();
    const TLevels before = Measure(mixer);
    EXPECT_NEAR(before.fLeft, kAmplitude, 0.01) << "the default leaves the level alone";
    EXPECT_NEAR(before.fRight, kAmplitude, 0.01);
    ASSERT_TRUE(VT_WADSP_SetControl(plugin, c.fControl, c.fValue)) << VT_WADSP_ErrorText();
    const TLevels after = Measure(mixer);
    EXPECT_NEAR(after.fLeft, kAmplitude / 2, 0.005);
    EXPECT_NEAR(after.fRight, kAmplitude / 2, 0.005);
    EXPECT_LT(after.fLeak, 0.001) << "the channels stay apart";
    BASS_SetConfig(BASS_CONFIG_FLOATDSP, 1);
  }
  // A mono plug-in on a mono channel runs once; on three channels three times.
  for (DWORD chans : {1u, 3u}) {
    SCOPED_TRACE(chans);
    double phase = 0;
    const HSTREAM tone = vt::engine::test::CreateGeneratorStream(kRate, chans, [phase, chans](float* oBuffer, DWORD iFrames) mutable {
      for (DWORD f = 0; f < iFrames; ++f, ++phase)
        for (DWORD c = 0; c < chans; ++c) oBuffer[f * chans + c] = kAmplitude * float(std::sin(2 * M_PI * (kLeftHz + 100 * c) * phase / kRate));
    });
    fStreams.push_back(tone);
    const HDSP plugin = Load("/usr/lib/ladspa/amp_1181.so");
    ASSERT_TRUE(BASS_WADSP_Start(plugin, 0, tone)) << VT_WADSP_ErrorText();
    ASSERT_NE(BASS_WADSP_ChannelSetDSP(plugin, tone, -500), 0u);
    ASSERT_TRUE(VT_WADSP_SetControl(plugin, "amps_gain_db", -6.0206f));
    std::vector<float> out(chans * kRate / 2);
    ASSERT_EQ(BASS_ChannelGetData(tone, out.data(), DWORD(out.size() * sizeof(float))), out.size() * sizeof(float));
    for (DWORD c = 0; c < chans; ++c) EXPECT_NEAR(ToneAmplitude(out, chans, c, kLeftHz + 100 * c, kRate), kAmplitude / 2, 0.005);
  }
}

// The frames a stereo plug-in gets back into the chain are the ones that went
// in, sample for sample and side for side, whatever the block length (the
// copies work in runs of several frames and finish a block's odd rest alone).
// A gain of 0.5 is exact in floating point, so every sample is checked.
TEST_F(TPluginFixture, StereoFramesComeBackInPlaceForAnyBlockLength) {
  const auto sample = [](uint64_t iFrame, DWORD iSide) {
    const float v = float(iFrame % 4096 + 1) / 4096.0f;
    return iSide == 0 ? v : -v / 2;
  };
  uint64_t made = 0;
  const HSTREAM source = vt::engine::test::CreateGeneratorStream(kRate, 2, [&made, sample](float* oBuffer, DWORD iFrames) {
    for (DWORD f = 0; f < iFrames; ++f, ++made) {
      oBuffer[2 * f] = sample(made, 0);
      oBuffer[2 * f + 1] = sample(made, 1);
    }
  });
  fStreams.push_back(source);
  const HDSP plugin = Load("/usr/lib/ladspa/amp.so#amp_stereo");
  ASSERT_TRUE(BASS_WADSP_Start(plugin, 0, source)) << VT_WADSP_ErrorText();
  ASSERT_NE(BASS_WADSP_ChannelSetDSP(plugin, source, -500), 0u);
  ASSERT_TRUE(VT_WADSP_SetControl(plugin, "gain", 0.5f));
  uint64_t frame = 0;
  for (DWORD frames : {1u, 3u, 4u, 7u, 8u, 9u, 15u, 17u, 1023u, 1024u, 1025u, 2049u, 4410u}) {
    SCOPED_TRACE(frames);
    std::vector<float> out(2 * size_t(frames));
    ASSERT_EQ(BASS_ChannelGetData(source, out.data(), DWORD(out.size() * sizeof(float))), out.size() * sizeof(float));
    int wrong = 0;
    for (DWORD f = 0; f < frames; ++f, ++frame)
      for (DWORD side = 0; side < 2; ++side)
        if (out[2 * f + side] != sample(frame, side) / 2 && ++wrong <= 3)
          ADD_FAILURE() << "frame " << f << " side " << side << ": " << out[2 * f + side];
    EXPECT_EQ(wrong, 0);
  }
}

// Every refusal has its code and a reason that names what is wrong.
TEST_F(TPluginFixture, RefusedPluginsSayWhy) {
  struct TCase {
    const char* fName;
    int fCode;
    const char* fReason;
  };
  for (const TCase& c : {
           TCase{"/nonexistent/amp.so", BASS_ERROR_FILEOPEN, "/nonexistent/amp.so: No such file"},
           TCase{"/etc/hostname", BASS_ERROR_FILEFORM, "not a plug-in library"},
           TCase{"/lib/x86_64-linux-gnu/libsoxr.so.0", BASS_ERROR_FILEFORM, "not a LADSPA library"},
           TCase{"/usr/lib/ladspa/amp.so#amp_surround", BASS_ERROR_ILLPARAM, "no plug-in labelled \"amp_surround\""},
           TCase{"/usr/lib/ladspa/analogue_osc_1416.so", BASS_ERROR_FORMAT, "0 audio inputs and 1 output"},
           TCase{"http://plugin.org.uk/swh-plugins/no-such-thing", BASS_ERROR_FILEOPEN, "no LV2 plug-in"},
           TCase{"urn:vantorel:test:needs-worker", BASS_ERROR_NOTAVAIL, "http://lv2plug.in/ns/ext/worker#schedule"},
           TCase{"urn:vantorel:test:needs-option", BASS_ERROR_NOTAVAIL, "option http://lv2plug.in/ns/ext/buf-size#coarseBlockLength"},
           TCase{"urn:vantorel:test:one-in-two-out", BASS_ERROR_FORMAT, "1 audio input and 2 outputs"},
           TCase{"urn:vantorel:test:cv-input", BASS_ERROR_FORMAT, "\"mod\""},
       }) {
    SCOPED_TRACE(c.fName);
    EXPECT_EQ(BASS_WADSP_Load(c.fName, 5, 5, 100, 100, nullptr), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), c.fCode);
    EXPECT_NE(std::string(VT_WADSP_ErrorText()).find(c.fReason), std::string::npos) << VT_WADSP_ErrorText();
  }
  // A stereo plug-in cannot run on a mono channel.
  const DWORD mono = BASS_Mixer_StreamCreate(kRate, 1, BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
  fStreams.push_back(mono);
  const HDSP stereo = Load("/usr/lib/ladspa/amp.so#amp_stereo");
  EXPECT_FALSE(BASS_WADSP_Start(stereo, 0, mono));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FORMAT);
  EXPECT_FALSE(BASS_WADSP_Start(stereo, 7, mono));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
  // Nothing is shown without a dialog hook.
  EXPECT_FALSE(BASS_WADSP_Config(stereo));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_NOTAVAIL);
  // Loading needs the host initialised.
  BASS_WADSP_Free();
  fPlugins.clear();
  EXPECT_EQ(BASS_WADSP_Load("/usr/lib/ladspa/amp.so", 5, 5, 100, 100, nullptr), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
  EXPECT_FALSE(BASS_WADSP_Start(stereo, 0, mono)) << "freed with the host";
}

// Modules: the selected plug-in first, the library's others after it.
// Controls: defaults from the hints, set by symbol or port index, refused
// outside their range or under an unknown name, never applied then.
TEST_F(TPluginFixture, ModulesAndControls) {
  const HDSP library = Load("/usr/lib/ladspa/amp.so#amp_stereo");
  ASSERT_EQ(BASS_WADSP_GetModuleCount(library), 2u);
  EXPECT_STREQ(BASS_WADSP_GetModuleName(library, 0), "Stereo Amplifier");
  EXPECT_STREQ(BASS_WADSP_GetModuleName(library, 1), "Mono Amplifier");
  EXPECT_EQ(BASS_WADSP_GetModuleName(library, 2), nullptr);
  EXPECT_STREQ(BASS_WADSP_GetName(library), "Stereo Amplifier");
  EXPECT_STREQ(BASS_WADSP_GetModuleName(Load("/usr/lib/ladspa/amp.so"), 0), "Mono Amplifier");
  const HDSP lv2 = Load("http://plugin.org.uk/swh-plugins/amp");
  EXPECT_EQ(BASS_WADSP_GetModuleCount(lv2), 1u);
  EXPECT_STREQ(BASS_WADSP_GetName(lv2), "Simple amplifier");

  struct TCase {
    DWORD fPlugin;
    const char* fSymbol;
    DWORD fPort;
    float fDefault;
    float fMin, fMax;
  };
  const HDSP swh = Load("/usr/lib/ladspa/amp_1181.so");
  for (const TCase& c : {TCase{swh, "amps_gain_db", 0, 0.0f, -70.0f, 70.0f}, TCase{lv2, "gain", 0, 0.0f, -70.0f, 70.0f},
                         TCase{library, "gain", 0, 1.0f, 0.0f, 0.0f}}) {
    SCOPED_TRACE(c.fSymbol);
    ASSERT_EQ(VT_WADSP_GetControlCount(c.fPlugin), 1u);
    VT_WADSP_CONTROLINFO info{};
    ASSERT_TRUE(VT_WADSP_GetControlInfo(c.fPlugin, 0, &info));
    EXPECT_STREQ(info.symbol, c.fSymbol);
    EXPECT_EQ(info.port, c.fPort);
    EXPECT_FLOAT_EQ(info.def, c.fDefault);
    float value = -1;
    ASSERT_TRUE(VT_WADSP_GetControl(c.fPlugin, c.fSymbol, &value));
    EXPECT_FLOAT_EQ(value, c.fDefault);
    EXPECT_TRUE(VT_WADSP_SetControl(c.fPlugin, "0", 3.0f));
    ASSERT_TRUE(VT_WADSP_GetControl(c.fPlugin, c.fSymbol, &value));
    EXPECT_FLOAT_EQ(value, 3.0f);
    EXPECT_FALSE(VT_WADSP_SetControl(c.fPlugin, "threshold", 1.0f));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    EXPECT_NE(std::string(VT_WADSP_ErrorText()).find("no control input \"threshold\""), std::string::npos);
    EXPECT_FALSE(VT_WADSP_SetControl(c.fPlugin, "1", 1.0f)) << "port 1 is audio";
    EXPECT_FALSE(VT_WADSP_SetControl(c.fPlugin, c.fSymbol, c.fMax > c.fMin ? c.fMax + 1 : c.fMin - 1));
    EXPECT_NE(std::string(VT_WADSP_ErrorText()).find("outside the range"), std::string::npos);
    EXPECT_FALSE(VT_WADSP_SetControl(c.fPlugin, c.fSymbol, std::nanf("")));
    ASSERT_TRUE(VT_WADSP_GetControl(c.fPlugin, c.fSymbol, &value));
    EXPECT_FLOAT_EQ(value, 3.0f) << "refused values are not applied";
  }
}

// Placed before it is started the plug-in passes audio unprocessed; it
// processes from its start and stops processing when stopped or taken off.
TEST_F(TPluginFixture, PlacementStartAndRemoval) {
  const DWORD mixer = ToneMixer();
  const HDSP plugin = Load("/usr/lib/ladspa/amp_1181.so");
  ASSERT_TRUE(VT_WADSP_SetControl(plugin, "amps_gain_db", -6.0206f));
  ASSERT_NE(BASS_WADSP_ChannelSetDSP(plugin, mixer, -500), 0u);
  EXPECT_EQ(BASS_WADSP_ChannelSetDSP(plugin, mixer, -500), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
  EXPECT_NEAR(Measure(mixer).fLeft, kAmplitude, 0.01);
  ASSERT_TRUE(BASS_WADSP_Start(plugin, 0, mixer));
  EXPECT_NEAR(Measure(mixer).fLeft, kAmplitude / 2, 0.005) << "the value set before the start holds";
  ASSERT_TRUE(BASS_WADSP_Stop(plugin));
  EXPECT_NEAR(Measure(mixer).fLeft, kAmplitude, 0.01);
  ASSERT_TRUE(BASS_WADSP_Start(plugin, 0, mixer));
  ASSERT_TRUE(BASS_WADSP_ChannelRemoveDSP(plugin));
  EXPECT_NEAR(Measure(mixer).fLeft, kAmplitude, 0.01);
  EXPECT_FALSE(BASS_WADSP_ChannelRemoveDSP(plugin));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
  // Freeing the channel under a placed plug-in leaves nothing dangling.
  const DWORD other = ToneMixer();
  ASSERT_TRUE(BASS_WADSP_Start(plugin, 0, other));
  ASSERT_NE(BASS_WADSP_ChannelSetDSP(plugin, other, -500), 0u);
  BASS_StreamFree(other);
  EXPECT_TRUE(BASS_WADSP_ChannelRemoveDSP(plugin));
}

// The configuration dialog opens only through the desktop's hook.
TEST_F(TPluginFixture, ConfigGoesThroughTheHook) {
  const HDSP plugin = Load("/usr/lib/ladspa/amp_1181.so");
  static HDSP sAsked = 0;
  VT_WADSP_SetConfigProc([](HDSP iPlugin, void*) -> BOOL { sAsked = iPlugin; return TRUE; }, nullptr);
  EXPECT_TRUE(BASS_WADSP_Config(plugin));
  EXPECT_EQ(sAsked, plugin);
  VT_WADSP_SetConfigProc(nullptr, nullptr);
  EXPECT_FALSE(BASS_WADSP_Config(plugin));
}

// The pull allocates nothing with plug-ins in the chain, while controls change.
TEST_F(TPluginFixture, PullWithPluginsDoesNotAllocate) {
  const DWORD mixer = ToneMixer();
  const HDSP ladspa = Load("/usr/lib/ladspa/amp_1181.so");
  const HDSP lv2 = Load("http://plugin.org.uk/swh-plugins/amp");
  const HDSP stereo = Load("/usr/lib/ladspa/amp.so#amp_stereo");
  for (HDSP p : {ladspa, lv2, stereo}) {
    ASSERT_TRUE(BASS_WADSP_Start(p, 0, mixer));
    ASSERT_NE(BASS_WADSP_ChannelSetDSP(p, mixer, -500), 0u);
  }
  std::vector<float> out(2 * 1000);
  TAllocationGuard guard;
  for (int i = 0; i < 200; ++i) {
    VT_WADSP_SetControl(ladspa, "amps_gain_db", float(i % 10));
    BASS_ChannelGetData(mixer, out.data(), DWORD(out.size() * sizeof(float)));
  }
  EXPECT_EQ(guard.RealtimeAllocations(), 0);
}

// Plug-ins are started, placed, reloaded and freed while another thread pulls
// the mixer without a pause: nothing may crash or race (the sanitizer builds
// run this), and the puller never sees a half-replaced plug-in.
TEST_F(TPluginFixture, ReloadWhilePulling) {
  const DWORD mixer = ToneMixer();
  std::atomic<bool> stop{false};
  std::atomic<long> blocks{0};
  std::thread puller([&] {
    std::vector<float> out(2 * 256);
    while (!stop) {
      BASS_ChannelGetData(mixer, out.data(), DWORD(out.size() * sizeof(float)));
      ++blocks;
    }
  });
  struct TJoin {
    std::atomic<bool>& fStop;
    std::thread& fThread;
    ~TJoin() {
      fStop = true;
      fThread.join();
    }
  } join{stop, puller};
  for (int round = 0; round < 20; ++round) {
    const char* name = round % 2 ? "http://plugin.org.uk/swh-plugins/amp" : "/usr/lib/ladspa/amp_1181.so";
    const HDSP plugin = BASS_WADSP_Load(name, 5, 5, 100, 100, nullptr);
    ASSERT_NE(plugin, 0u);
    ASSERT_TRUE(BASS_WADSP_Start(plugin, 0, mixer));
    ASSERT_NE(BASS_WADSP_ChannelSetDSP(plugin, mixer, round % 3 ? -500 : -1500), 0u);
    const long seen = blocks;
    while (blocks < seen + 3) std::this_thread::yield();
    VT_WADSP_SetControl(plugin, "0", -3.0f);
    ASSERT_TRUE(BASS_WADSP_Start(plugin, 0, mixer)) << "a restart while placed";
    if (round % 2) {
      ASSERT_TRUE(BASS_WADSP_ChannelRemoveDSP(plugin));
    }
    ASSERT_TRUE(BASS_WADSP_FreeDSP(plugin));
  }
}

}  // namespace
