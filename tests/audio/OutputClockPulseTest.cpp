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
  void TearDown() override {
    if (fMixer) BASS_StreamFree(fMixer);
    fPulse.reset();
  }

  // The card opened and a mixer playing on it at iVolume (0: muted, as a slot
  // clocked by the card has it) that pulls the slot mixer fMixer.
  void StartClock(float iVolume) {
    ASSERT_TRUE(BASS_Init(int(fDevice), 48000, BASS_DEVICE_LATENCY, nullptr, nullptr)) << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_Start());
    fMixer = BASS_Mixer_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
    fPlaying = BASS_Mixer_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT);
    ASSERT_NE(fPlaying, 0u) << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelSetAttribute(fPlaying, BASS_ATTRIB_VOL, iVolume));
    ASSERT_TRUE(BASS_Mixer_StreamAddChannel(fPlaying, fMixer, 0));
    ASSERT_TRUE(BASS_ChannelPlay(fPlaying, FALSE));
  }
  QWORD Frames() const { return BASS_ChannelGetPosition(fMixer, BASS_POS_BYTE) / 8; }
  // Frames a second that the slot mixer is pulled at, over two seconds.
  double PullRate() const {
    const QWORD before = Frames();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(2s);
    return double(Frames() - before) / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  // Freeing the playing mixer and the card does not wait on the card.
  void ExpectPromptFree() {
    const auto f0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(BASS_StreamFree(fPlaying));
    EXPECT_TRUE(BASS_Free());
    EXPECT_LT(std::chrono::steady_clock::now() - f0, 2s);
  }

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
  DWORD fMixer = 0, fPlaying = 0;
};

}  // namespace

TEST_F(OutputClockPulse, PullsTheSlotMixerAtTheCardsPaceAndPlaysItMuted) {
  ASSERT_NO_FATAL_FAILURE(StartClock(1.0f));
  const DWORD tone = vt::engine::test::CreateToneStream(48000, 2, 1000.0, 0.5f);
  ASSERT_TRUE(BASS_Mixer_StreamAddChannel(fMixer, tone, 0));

  // Heard at full volume first: the samples do reach the card.
  EXPECT_NEAR(SinkPeak(1.0), 0.5, 0.05);

  // Muted, as a slot clocked by the card runs it: the card plays silence
  // (after what it had buffered) while the mixer goes on being pulled.
  ASSERT_TRUE(BASS_ChannelSetAttribute(fPlaying, BASS_ATTRIB_VOL, 0.0f));
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(SinkPeak(1.0), 0.0);

  // The pace is the card's: 48000 frames a second, give or take what the
  // device buffers, not as fast as the thread can pull.
  const double rate = PullRate();
  EXPECT_GT(rate, 48000 * 0.75) << "the card stopped pulling";
  EXPECT_LT(rate, 48000 * 1.2) << "pulled faster than the card's clock";

  ExpectPromptFree();
  const QWORD stopped = Frames();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Frames(), stopped) << "still pulled after the device was freed";
  BASS_StreamFree(tone);
}

// A card that goes away while it clocks a slot (here: its sound server ends)
// must neither stop the slot's recording nor run it faster than real time,
// and freeing must still be prompt.
TEST_F(OutputClockPulse, ACardThatGoesAwayKeepsThePaceAndFreesPromptly) {
  ASSERT_NO_FATAL_FAILURE(StartClock(0.0f));
  ASSERT_TRUE(WaitFor([&] { return Frames() > 24000; }, 10s));

  fPulse.reset();  // the server ends; the card's writes now fail
  std::this_thread::sleep_for(500ms);
  const double rate = PullRate();
  EXPECT_GT(rate, 48000 * 0.75) << "the slot mixer stopped being pulled";
  EXPECT_LT(rate, 48000 * 1.2) << "pulled faster than real time";

  ExpectPromptFree();
}

// A card that stops taking samples without failing (its server hangs) holds
// neither the slot's recording nor the stop.
TEST_F(OutputClockPulse, AStalledCardKeepsThePaceAndFreesPromptly) {
  ASSERT_NO_FATAL_FAILURE(StartClock(0.0f));
  ASSERT_TRUE(WaitFor([&] { return Frames() > 24000; }, 10s));

  ASSERT_TRUE(fPulse->Suspend(true));
  std::this_thread::sleep_for(1s);
  const double rate = PullRate();
  EXPECT_GT(rate, 48000 * 0.75) << "the slot mixer stopped being pulled";
  EXPECT_LT(rate, 48000 * 1.2) << "pulled faster than real time";

  ExpectPromptFree();
  fPulse->Suspend(false);
}
