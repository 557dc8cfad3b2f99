// The output clock on a card with a real clock: ALSA's "pulse" PCM against a
// private PulseAudio server. A playing mixer on it pulls the slot mixer at the
// card's pace, writes its samples to the card (silent when muted, as a slot
// has it), and lets go of the card promptly when freed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "AudioServices.h"
#include "audio/engine/Engine.h"
#include "audio/engine/EngineTestHook.h"

using namespace vt::test;
using namespace std::chrono_literals;

namespace {

DWORD FindOutputDevice(const std::string& iDriver) {
  BASS_DEVICEINFO info;
  for (DWORD n = 1; BASS_GetDeviceInfo(n, &info); ++n)
    if (iDriver == info.driver) return n;
  return 0;
}

class OutputClockPulse : public ::testing::Test {
protected:
  void SetUp() override {
    fPulse = std::make_unique<TPulseServer>();
    ASSERT_TRUE(fPulse->Ready()) << "pulseaudio did not come up";
    fDevice = FindOutputDevice("pulse");
    ASSERT_NE(fDevice, 0u) << "ALSA has no pulse PCM (libasound2-plugins)";
    // The first recording from a fresh server comes back empty.
    ASSERT_TRUE(WaitFor([&] { return SinkPeak(0.3) >= 0; }, 10s)) << "the sink's monitor does not record";
  }
  void TearDown() override { fPulse.reset(); }

  // Peak of what the sink plays during iSeconds, read from its monitor, as a
  // fraction of full scale; -1 when nothing could be recorded.
  double SinkPeak(double iSeconds) {
    const std::string file = fPulse->Folder() + "/monitor.raw";
    // parec ends on SIGINT with everything written; timeout sends it.
    const std::string seconds = std::to_string(iSeconds);
    RunProgram({"sh", "-c",
                "exec timeout -s INT " + seconds +
                    " parec -d logtest.monitor --format=s16le --rate=48000 --channels=2 --latency-msec=20 > " + file});
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (bytes.size() < 4800) return -1;  // less than 25 ms
    int peak = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      int16_t v;
      std::memcpy(&v, bytes.data() + i, 2);
      peak = std::max(peak, std::abs(int(v)));
    }
    return peak / 32768.0;
  }

  std::unique_ptr<TPulseServer> fPulse;
  DWORD fDevice = 0;
};

}  // namespace

TEST_F(OutputClockPulse, PullsTheSlotMixerAtTheCardsPaceAndPlaysItMuted) {
  ASSERT_TRUE(BASS_Init(int(fDevice), 48000, BASS_DEVICE_LATENCY, nullptr, nullptr)) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_Start());
  const DWORD mixer = BASS_Mixer_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
  const DWORD tone = vt::engine::test::CreateToneStream(48000, 2, 1000.0, 0.5f);
  ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, tone, 0));
  const DWORD playing = BASS_Mixer_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT);
  ASSERT_NE(playing, 0u) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_Mixer_StreamAddChannel(playing, mixer, 0));
  ASSERT_TRUE(BASS_ChannelPlay(playing, FALSE));

  // Heard at full volume first: the samples do reach the card.
  EXPECT_NEAR(SinkPeak(1.0), 0.5, 0.05);

  // Muted, as a slot clocked by the card runs it: the card plays silence
  // (after what it had buffered) while the mixer goes on being pulled.
  ASSERT_TRUE(BASS_ChannelSetAttribute(playing, BASS_ATTRIB_VOL, 0.0f));
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(SinkPeak(1.0), 0.0);

  // The pace is the card's: 48000 frames a second, give or take what the
  // device buffers, not as fast as the thread can pull.
  const auto frames = [&] { return BASS_ChannelGetPosition(mixer, BASS_POS_BYTE) / 8; };
  const QWORD before = frames();
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(2s);
  const QWORD after = frames();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double rate = double(after - before) / seconds;
  EXPECT_GT(rate, 48000 * 0.75) << "the card stopped pulling";
  EXPECT_LT(rate, 48000 * 1.2) << "pulled faster than the card's clock";

  // Freeing the playing mixer and the device does not wait on the card.
  const auto f0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(BASS_StreamFree(playing));
  EXPECT_TRUE(BASS_Free());
  EXPECT_LT(std::chrono::steady_clock::now() - f0, 2s);
  const QWORD stopped = frames();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(frames(), stopped) << "still pulled after the device was freed";
  BASS_StreamFree(mixer);
  BASS_StreamFree(tone);
}

// A card that goes away while it clocks a slot (here: its sound server ends)
// must neither stop the slot's recording nor run it faster than real time,
// and freeing must still be prompt.
TEST_F(OutputClockPulse, ACardThatGoesAwayKeepsThePaceAndFreesPromptly) {
  ASSERT_TRUE(BASS_Init(int(fDevice), 48000, BASS_DEVICE_LATENCY, nullptr, nullptr)) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_Start());
  const DWORD mixer = BASS_Mixer_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
  const DWORD playing = BASS_Mixer_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT);
  ASSERT_TRUE(BASS_ChannelSetAttribute(playing, BASS_ATTRIB_VOL, 0.0f));
  ASSERT_TRUE(BASS_Mixer_StreamAddChannel(playing, mixer, 0));
  ASSERT_TRUE(BASS_ChannelPlay(playing, FALSE));
  const auto frames = [&] { return BASS_ChannelGetPosition(mixer, BASS_POS_BYTE) / 8; };
  ASSERT_TRUE(WaitFor([&] { return frames() > 24000; }, 10s));

  fPulse.reset();  // the server ends; the card's writes now fail
  std::this_thread::sleep_for(500ms);
  const QWORD before = frames();
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(2s);
  const double rate = double(frames() - before) / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GT(rate, 48000 * 0.75) << "the slot mixer stopped being pulled";
  EXPECT_LT(rate, 48000 * 1.2) << "pulled faster than real time";

  const auto f0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(BASS_StreamFree(playing));
  EXPECT_TRUE(BASS_Free());
  EXPECT_LT(std::chrono::steady_clock::now() - f0, 2s);
  BASS_StreamFree(mixer);
}

// A card that stops taking samples without failing (its server hangs) holds
// neither the slot's recording nor the stop.
TEST_F(OutputClockPulse, AStalledCardKeepsThePaceAndFreesPromptly) {
  ASSERT_TRUE(BASS_Init(int(fDevice), 48000, BASS_DEVICE_LATENCY, nullptr, nullptr)) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_Start());
  const DWORD mixer = BASS_Mixer_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
  const DWORD playing = BASS_Mixer_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT);
  ASSERT_TRUE(BASS_ChannelSetAttribute(playing, BASS_ATTRIB_VOL, 0.0f));
  ASSERT_TRUE(BASS_Mixer_StreamAddChannel(playing, mixer, 0));
  ASSERT_TRUE(BASS_ChannelPlay(playing, FALSE));
  const auto frames = [&] { return BASS_ChannelGetPosition(mixer, BASS_POS_BYTE) / 8; };
  ASSERT_TRUE(WaitFor([&] { return frames() > 24000; }, 10s));

  ASSERT_TRUE(fPulse->Suspend(true));
  std::this_thread::sleep_for(1s);
  const QWORD before = frames();
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(2s);
  const double rate = double(frames() - before) / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GT(rate, 48000 * 0.75) << "the slot mixer stopped being pulled";
  EXPECT_LT(rate, 48000 * 1.2) << "pulled faster than real time";

  const auto f0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(BASS_StreamFree(playing));
  EXPECT_TRUE(BASS_Free());
  EXPECT_LT(std::chrono::steady_clock::now() - f0, 2s);
  fPulse->Suspend(false);
  BASS_StreamFree(mixer);
}
