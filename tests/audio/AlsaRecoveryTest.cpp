// A recording from an ALSA PCM whose device goes away while it records: here
// ALSA's pulse PCM (the default device of a private ALSA configuration) on a
// private PulseAudio server that crashes, hangs and is started again. When the
// server dies the plugin's wait reports -EIO, which no recovery mends, and
// opening it again is refused until a server listens on the socket again.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "AudioServices.h"
#include "audio/engine/Engine.h"

using namespace vt::test;
using namespace std::chrono_literals;

namespace {

// What the recording procedure saw, kept without allocating: the number of
// calls and the loudest 16-bit sample since the last Reset.
struct TReceived {
  std::atomic<uint64_t> fCalls{0};
  std::atomic<int> fPeak{0};

  void Reset() { fPeak.store(0); }
  double Peak() const { return fPeak.load() / 32768.0; }

  static BOOL Proc(HRECORD, const void* iBuffer, DWORD iLength, void* iUser) {
    auto* self = static_cast<TReceived*>(iUser);
    int peak = self->fPeak.load(std::memory_order_relaxed);
    for (DWORD i = 0; i + 1 < iLength; i += 2) {
      int16_t v;
      std::memcpy(&v, static_cast<const char*>(iBuffer) + i, 2);
      peak = std::max(peak, std::abs(int(v)));
    }
    self->fPeak.store(peak, std::memory_order_relaxed);
    self->fCalls.fetch_add(1);
    return TRUE;
  }
};

class AlsaRecovery : public ::testing::Test {
protected:
  void SetUp() override {
    fPulse = std::make_unique<TPulseServer>();
    ASSERT_TRUE(fPulse->Ready()) << "pulseaudio did not come up";
    // ALSA's default PCM for this test: the sink's monitor through the
    // sound server (libasound2-plugins' pulse PCM).
    std::filesystem::create_directories(fConfig.Path() + "/alsa");
    std::ofstream(fConfig.Path() + "/alsa/asoundrc")
        << "pcm.!default { type pulse device \"logtest.monitor\" }\nctl.!default { type pulse }\n";
    setenv("XDG_CONFIG_HOME", fConfig.Path().c_str(), 1);
    snd_config_update_free_global();
  }
  void TearDown() override {
    if (fRecording) BASS_RecordFree();
    fPulse.reset();
    unsetenv("XDG_CONFIG_HOME");
    snd_config_update_free_global();
  }

  void StartRecording() {
    BASS_DEVICEINFO info;
    DWORD device = 0;
    for (; BASS_RecordGetDeviceInfo(device, &info); ++device)
      if (std::string(info.driver) == "default") break;
    ASSERT_TRUE(BASS_RecordGetDeviceInfo(device, &info)) << "no default recording device";
    ASSERT_TRUE(BASS_RecordInit(int(device))) << BASS_ErrorGetCode();
    fRecording = true;
    ASSERT_NE(BASS_RecordStart(48000, 2, 0, &TReceived::Proc, &fReceived), 0u) << BASS_ErrorGetCode();
  }

  // Plays a tone into the sink until the recording hears it at its volume.
  bool HearsTone(std::chrono::seconds iWithin) {
    fReceived.Reset();
    const auto deadline = std::chrono::steady_clock::now() + iWithin;
    while (std::chrono::steady_clock::now() < deadline) {
      auto tone = fPulse->PlayTone(1000, 2, 0.5);
      if (WaitFor([&] { return fReceived.Peak() > 0.4; }, 3s)) return fReceived.Peak() < 0.6;
    }
    return false;
  }

  // Whether the procedure is called no more: no call during iQuiet.
  bool Silent(std::chrono::milliseconds iQuiet) {
    const uint64_t calls = fReceived.fCalls.load();
    std::this_thread::sleep_for(iQuiet);
    return fReceived.fCalls.load() == calls;
  }

  // Frees the recording, and reports how long that took.
  std::chrono::steady_clock::duration FreeRecording() {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(BASS_RecordFree());
    fRecording = false;
    return std::chrono::steady_clock::now() - t0;
  }

  std::unique_ptr<TPulseServer> fPulse;
  TTempFolder fConfig;
  TReceived fReceived;
  bool fRecording = false;
};

}  // namespace

TEST_F(AlsaRecovery, TheSameRecordingHearsTheToneAgainOnceTheServerIsBack) {
  ASSERT_NO_FATAL_FAILURE(StartRecording());
  ASSERT_TRUE(HearsTone(15s)) << "no tone before the crash";

  ASSERT_TRUE(fPulse->Crash());
  // While the device is gone nothing is delivered (the slot fills the gap),
  // and the thread keeps looking for it: several attempts fail meanwhile.
  EXPECT_TRUE(WaitFor([&] { return Silent(1s); }, 10s)) << "still delivering with no server";
  std::this_thread::sleep_for(2s);

  ASSERT_TRUE(fPulse->Restart());
  EXPECT_TRUE(HearsTone(20s)) << "the recording did not come back with the server";

  // And again: a second loss is mended the same way.
  ASSERT_TRUE(fPulse->Crash());
  ASSERT_TRUE(fPulse->Restart());
  EXPECT_TRUE(HearsTone(20s)) << "the recording did not come back a second time";

  EXPECT_LT(FreeRecording(), 2s);
  EXPECT_TRUE(Silent(300ms)) << "called after the recording was freed";
}

// Freeing must not wait on a device that is not there: neither on one whose
// server is gone (the thread is between attempts to open it again) nor on one
// whose server hangs (ALSA would hold the thread for the server's time-out of
// ~30 s). In both cases the procedure is not called once the free returned.
TEST_F(AlsaRecovery, FreeingWhileTheDeviceIsGoneOrHangsIsPrompt) {
  struct TCase {
    const char* fName;
    bool fHang;
  };
  for (const TCase& c : {TCase{"server gone", false}, TCase{"server hangs", true}}) {
    SCOPED_TRACE(c.fName);
    fReceived.fCalls.store(0);
    ASSERT_NO_FATAL_FAILURE(StartRecording());
    ASSERT_TRUE(WaitFor([&] { return fReceived.fCalls.load() > 5; }, 15s)) << "nothing recorded";

    ASSERT_TRUE(c.fHang ? fPulse->Suspend(true) : fPulse->Crash());
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(FreeRecording(), 2s);
    EXPECT_TRUE(Silent(300ms)) << "called after the recording was freed";
    if (c.fHang) fPulse->Suspend(false);
    ASSERT_TRUE(fPulse->Restart());
  }
}
