// A slot with a DSP plug-in from Debian's packages, fed with known tones
// through the real chain: what the file, a streaming encoder and the level
// measurement each get, the stored control values, the refusals, and a
// reload while recording.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/engine/EngineTestHook.h"
#include "audio/engine/EngineTestSupport.h"
#include "shell/IniFile.h"
#include "slot/SlotInfo.h"
#include "SlotRunSupport.h"
#include "SlotTestLog.h"
#include "SlotTestSupport.h"

namespace {

using namespace std::chrono_literals;
using vt::engine::testing::ToneAmplitude;

constexpr DWORD kRate = 8000;
constexpr double kLeftHz = 440.0, kRightHz = 1000.0;
constexpr float kAmplitude = 0.8f;

// The slot's mixer, for a test source and a second encoder on its chain.
class TTestSlot : public TSlotInfo {
public:
  using TSlotInfo::TSlotInfo;
  DWORD Mixer() const { return fMixer; }
};

// Samples of a 16-bit WAV file's data chunk, as floats.
std::vector<float> ReadWav(const std::string& iPath) {
  const std::vector<int16_t> samples = ReadWav16(iPath);
  return std::vector<float>(samples.begin(), samples.end());
}

class SlotPluginTest : public ::testing::Test {
protected:
  void TearDown() override {
    fSlot.reset();
    ASSERT_TRUE(vt::engine::test::WaitForEncoders(10s));
  }
  void Configure(const std::string& iSlotKeys) {
    fTmp.Write("Vantorel.ini", "[Slot0]\nName=Test\nSource=Stream\nFormat=wav16\nSamplerate=8000\nFolder=" +
                                   fTmp.Path("rec") + "\nDatabaseFile=" + fTmp.Path("slot.db") + "\n" + iSlotKeys);
    fIni = std::make_unique<TIniFile>(fTmp.Path("Vantorel.ini"));
    fClock = std::make_shared<TFakeSlotClock>();
    fClock->Set(EncodeDateTime(2024, 3, 5, 13, 10, 0, 0), 1000);
    fPulledMs = 0;
    fSlot = std::make_unique<TTestSlot>(*fIni, false, 0, fClock);
    fSlot->SetOnLogMessage(fLog.Event());
    fSlot->Initialize();
    fSlot->StartRecording();
  }
  // Different tones left and right.
  void FeedTones() {
    double phase = 0;
    const HSTREAM tone = vt::engine::test::CreateGeneratorStream(kRate, 2, [phase](float* oBuffer, DWORD iFrames) mutable {
      for (DWORD f = 0; f < iFrames; ++f, ++phase) {
        oBuffer[2 * f] = kAmplitude * float(std::sin(2 * M_PI * kLeftHz * phase / kRate));
        oBuffer[2 * f + 1] = kAmplitude * float(std::sin(2 * M_PI * kRightHz * phase / kRate));
      }
    });
    ASSERT_NE(tone, 0u);
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(fSlot->Mixer(), tone, 0));
  }
  void Run(uint64_t iMilliseconds) {
    fClock->Advance(iMilliseconds);
    fPulledMs += iMilliseconds;
    const uint64_t bytes = fPulledMs * kRate / 1000 * 8;
    ASSERT_TRUE(WaitUntil([&] { return fSlot->GetStreamPosition() >= bytes; })) << fSlot->GetStreamPosition();
  }
  // A second WAV encoder on the slot's mixer, where the streaming encoder sits.
  HENCODE StartStreamEncoder(const std::string& iPath) {
    std::lock_guard<std::mutex> lock(TSlotInfo::EncoderStartLock());
    BASS_SetConfig(BASS_CONFIG_ENCODE_PRIORITY, static_cast<DWORD>(-2000));
    return BASS_Encode_Start(fSlot->Mixer(), iPath.c_str(), BASS_ENCODE_PCM | BASS_ENCODE_FP_16BIT | BASS_ENCODE_QUEUE,
                             nullptr, nullptr);
  }
  // Records iMilliseconds of tones into a file of its own and returns it.
  // iStream: a second encoder, stopped with the file.
  std::vector<float> RecordTones(uint64_t iMilliseconds, HENCODE iStream = 0) {
    EXPECT_TRUE(fSlot->RotationCheck()) << "the first tick opens a file";
    const std::string file = fSlot->CurrentFilename();
    Run(iMilliseconds);
    fSlot->CloseRecording(false);
    if (iStream) BASS_Encode_Stop(iStream);
    EXPECT_TRUE(vt::engine::test::WaitForEncoders(10s));
    return ReadWav(file);
  }
  struct TLevels {
    double fLeft, fRight, fLeak;
  };
  // The tones' amplitudes (as fractions of full scale) after the first 0.1 s.
  static TLevels Measure(const std::vector<float>& iSamples) {
    EXPECT_GT(iSamples.size(), 2u * kRate / 2);
    std::vector<float> part(iSamples.begin() + std::min<size_t>(iSamples.size(), 2 * kRate / 10), iSamples.end());
    for (float& s : part) s /= 32768.0f;
    return {ToneAmplitude(part, 2, 0, kLeftHz, kRate), ToneAmplitude(part, 2, 1, kRightHz, kRate),
            std::max(ToneAmplitude(part, 2, 0, kRightHz, kRate), ToneAmplitude(part, 2, 1, kLeftHz, kRate))};
  }

  TSlotTempFolder fTmp;
  std::unique_ptr<TIniFile> fIni;
  std::shared_ptr<TFakeSlotClock> fClock;
  TLog fLog;
  std::unique_ptr<TTestSlot> fSlot;
  uint64_t fPulledMs = 0;
};

// A mono gain plug-in at -6.02 dB on a stereo slot halves each tone in its own
// channel. It sits before the file encoder, or with stream only between the
// file encoder and the streaming encoder; the level measurement sees the
// unprocessed audio either way. LADSPA and LV2 alike.
TEST_F(SlotPluginTest, ChainPositionsWithAGainPlugin) {
  struct TCase {
    const char* fPlugin;
    const char* fParameters;
    bool fStreamOnly;
  };
  for (const TCase& c : {TCase{"/usr/lib/ladspa/amp_1181.so#amp", "amps_gain_db=-6.0206", false},
                         TCase{"/usr/lib/ladspa/amp_1181.so#amp", "amps_gain_db=-6.0206", true},
                         TCase{"http://plugin.org.uk/swh-plugins/amp", "gain=-6.0206", false},
                         TCase{"http://plugin.org.uk/swh-plugins/amp", "gain=-6.0206", true}}) {
    SCOPED_TRACE(std::string(c.fPlugin) + (c.fStreamOnly ? " stream only" : ""));
    Configure(fmt::format("WinampPlugin={}\nWinampPluginParameters={}\nWinampPluginStreamOnly={}\n", c.fPlugin,
                          c.fParameters, c.fStreamOnly ? "on" : "off"));
    ASSERT_NE(fSlot->WinampPluginHandle(), 0u) << fLog.Matching("BASS").size();
    FeedTones();
    const std::string streamFile = fTmp.Path("stream.wav");
    const HENCODE stream = StartStreamEncoder(streamFile);
    ASSERT_NE(stream, 0u);
    const std::vector<float> file = RecordTones(1000, stream);
    EXPECT_GT(fSlot->LevelLeft(), 0.7f) << "levels are measured before the plug-in";
    EXPECT_GT(fSlot->LevelRight(), 0.7f);

    const TLevels recorded = Measure(file), streamed = Measure(ReadWav(streamFile));
    const double fileLevel = c.fStreamOnly ? kAmplitude : kAmplitude / 2;
    EXPECT_NEAR(recorded.fLeft, fileLevel, 0.01);
    EXPECT_NEAR(recorded.fRight, fileLevel, 0.01);
    EXPECT_NEAR(streamed.fLeft, kAmplitude / 2, 0.01);
    EXPECT_NEAR(streamed.fRight, kAmplitude / 2, 0.01);
    EXPECT_LT(recorded.fLeak, 0.002) << "the channels stay apart";
    EXPECT_LT(streamed.fLeak, 0.002);
    EXPECT_TRUE(fLog.Matching("BASS Error").empty()) << fLog.Matching("BASS Error")[0];
    fSlot.reset();
  }
}

// Each unusable plug-in leaves the slot recording unprocessed audio, with one
// log line that says what is wrong.
TEST_F(SlotPluginTest, UnusablePluginsRecordUnprocessedAudio) {
  struct TCase {
    std::string fPlugin;
    std::string fLine;
  };
  fTmp.Write("not-a-plugin.so", "text");
  for (const TCase& c : {TCase{fTmp.Path("missing.so"), "BASS_WADSP_Load: BASS Error 2 (" + fTmp.Path("missing.so")},
                         TCase{fTmp.Path("not-a-plugin.so"), "BASS_WADSP_Load: BASS Error 41 ("},
                         TCase{"/usr/lib/ladspa/amp_1181.so#compressor", "BASS_WADSP_Load: BASS Error 20 ("},
                         TCase{"http://plugin.org.uk/swh-plugins/nothing", "BASS_WADSP_Load: BASS Error 2 (no LV2 plug-in"},
                         TCase{"/usr/lib/ladspa/analogue_osc_1416.so", "BASS_WADSP_Load: BASS Error 6 ("}}) {
    SCOPED_TRACE(c.fPlugin);
    fLog.fLines.clear();
    Configure("WinampPlugin=" + c.fPlugin + "\nWinampPluginParameters=amps_gain_db=-6\n");
    EXPECT_EQ(fSlot->WinampPluginHandle(), 0u);
    FeedTones();
    const TLevels recorded = Measure(RecordTones(600));
    EXPECT_NEAR(recorded.fLeft, kAmplitude, 0.01);
    EXPECT_NEAR(recorded.fRight, kAmplitude, 0.01);
    const auto lines = fLog.Matching("BASS_WADSP");  // the fixture's stream has its own error line
    ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0].rfind("Test: " + c.fLine, 0), 0u) << lines[0];
    EXPECT_TRUE(fLog.Matching("Plug-in parameter").empty()) << "no plug-in, nothing to apply";
    fSlot.reset();
  }
}

// Stored values: read at load, each one that does not fit is logged once and
// left out (the others apply), values set by the user are written back.
TEST_F(SlotPluginTest, StoredParameters) {
  Configure("WinampPlugin=/usr/lib/ladspa/amp.so#amp_stereo\n"
            "WinampPluginParameters=gain=0.5; volume=2;gain=-1;junk;0=0.25\n");
  const DWORD plugin = fSlot->WinampPluginHandle();
  ASSERT_NE(plugin, 0u);
  float gain = 0;
  ASSERT_TRUE(VT_WADSP_GetControl(plugin, "gain", &gain));
  EXPECT_FLOAT_EQ(gain, 0.25f) << "by symbol, then by port index";
  EXPECT_EQ(fLog.Matching("Plug-in parameter").size(), 3u);
  EXPECT_EQ(fLog.Matching("Test: Plug-in parameter \"volume=2\" ignored: Stereo Amplifier has no control input \"volume\"").size(), 1u);
  EXPECT_EQ(fLog.Matching("Test: Plug-in parameter \"gain=-1\" ignored: -1 is outside the range of \"gain\"").size(), 1u);
  EXPECT_EQ(fLog.Matching("Test: Plug-in parameter \"junk\" ignored").size(), 1u);

  EXPECT_TRUE(fSlot->SetWinampPluginParameter("gain", 0.75f));
  EXPECT_FALSE(fSlot->SetWinampPluginParameter("gain", -3.0f));
  EXPECT_FALSE(fSlot->SetWinampPluginParameter("treble", 1.0f));
  ASSERT_TRUE(VT_WADSP_GetControl(plugin, "gain", &gain));
  EXPECT_FLOAT_EQ(gain, 0.75f);
  fSlot->FlushConfig();
  TIniFile reread(fTmp.Path("Vantorel.ini"));
  EXPECT_EQ(reread.ReadString("Slot0", "WinampPluginParameters", ""), "gain=0.75;volume=2;junk");
}

// The configuration dialog's Reload while the slot records: every sample
// reaches the file exactly once, processed or not. An empty plug-in name at a
// reload unloads the plug-in.
TEST_F(SlotPluginTest, ReloadWhileRecordingKeepsEverySampleOnce) {
  Configure("WinampPlugin=/usr/lib/ladspa/inv_1429.so\n");
  ASSERT_NE(fSlot->WinampPluginHandle(), 0u);
  // A positive counting signal: the inverter's output is told apart by its sign.
  int64_t frame = 0;
  const HSTREAM source = vt::engine::test::CreateGeneratorStream(kRate, 2, [frame](float* oBuffer, DWORD iFrames) mutable {
    for (DWORD i = 0; i < iFrames; ++i, ++frame) {
      const float v = static_cast<float>(frame % 30000 + 1) / 32768.0f;
      oBuffer[2 * i] = v;
      oBuffer[2 * i + 1] = v;
    }
  });
  ASSERT_TRUE(BASS_Mixer_StreamAddChannel(fSlot->Mixer(), source, 0));
  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string file = fSlot->CurrentFilename();

  // The clock runs on in small steps while the plug-in is reloaded again and again.
  std::atomic<bool> stop{false};
  std::thread clock([&] {
    while (!stop) {
      fClock->Advance(5);
      std::this_thread::sleep_for(1ms);
    }
  });
  for (int i = 0; i < 30; ++i) {
    fSlot->ReloadWinampPlugin();
    std::this_thread::sleep_for(5ms);
  }
  fSlot->SetWinampPlugin("");
  fSlot->ReloadWinampPlugin();
  EXPECT_EQ(fSlot->WinampPluginHandle(), 0u);
  const uint64_t unloadedAt = fSlot->GetStreamPosition();
  ASSERT_TRUE(WaitUntil([&] { return fSlot->GetStreamPosition() > unloadedAt + kRate * 8; }));
  stop = true;
  clock.join();
  fSlot->CloseRecording(false);
  ASSERT_TRUE(vt::engine::test::WaitForEncoders(10s));

  const std::vector<float> s = ReadWav(file);
  ASSERT_GT(s.size(), 2u * kRate);
  size_t processed = 0, lost = 0;
  for (size_t i = 0; i < s.size(); i += 2) {
    EXPECT_EQ(s[i], s[i + 1]);
    processed += s[i] < 0;
    if (i > 0) {
      const float previous = std::abs(s[i - 2]), current = std::abs(s[i]);
      lost += current != (previous == 30000 ? 1 : previous + 1);
    }
  }
  EXPECT_EQ(lost, 0u) << "a sample was lost or repeated";
  EXPECT_GT(processed, 0u);
  EXPECT_LT(processed, s.size() / 2) << "after the unload the audio is unprocessed";
  EXPECT_GT(s[s.size() - 2], 0.0f);
  EXPECT_TRUE(fLog.Matching("BASS Error").empty());
}

}  // namespace
