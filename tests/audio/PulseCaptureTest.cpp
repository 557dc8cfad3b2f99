// WASAPI endpoints and recording devices against a private PulseAudio server
// with a null sink: a tone played into the sink comes back through its
// monitor source.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <memory>
#include <thread>

#include "ClientStream.h"
#include "audio/AudioDevices.h"

using namespace vt::test;

namespace {

struct TToneMeasure {
  bool fFound = false;
  double fPeak = 0;
  double fFrequency = 0;
};

// Finds the tone in the first channel of interleaved stereo samples and
// measures peak and frequency over half a second from its start.
template <class T>
TToneMeasure MeasureTone(const std::vector<T>& iSamples, int iRate, double iScale) {
  TToneMeasure m;
  const size_t frames = iSamples.size() / 2, window = static_cast<size_t>(iRate / 2);
  size_t start = 0;
  while (start < frames && std::abs(iSamples[start * 2] / iScale) < 0.2) ++start;
  start += static_cast<size_t>(iRate / 20);  // past the fade-in of the first blocks
  if (start + window > frames) return m;
  int crossings = 0;
  for (size_t f = start; f < start + window; ++f) {
    const double x = iSamples[f * 2] / iScale, prev = iSamples[(f - 1) * 2] / iScale;
    m.fPeak = std::max(m.fPeak, std::abs(x));
    if ((prev < 0) != (x < 0)) ++crossings;
  }
  m.fFound = true;
  m.fFrequency = crossings / 2.0 / (static_cast<double>(window) / iRate);
  return m;
}

class PulseCapture : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("JACK_DEFAULT_SERVER", "vt-devices-no-jack-here", 1);
    fPulse = std::make_unique<TPulseServer>();
    ASSERT_TRUE(fPulse->Ready()) << "pulseaudio did not come up";
  }
  void TearDown() override {
    fDevices.reset();
    fPulse.reset();
    unsetenv("JACK_DEFAULT_SERVER");
    unsetenv("PULSE_SOURCE");
  }
  void Build() { fDevices = std::make_unique<TAudioDevices>(nullptr); }
  TDeviceInfoWithClients* Input(const std::string& iId) {
    return dynamic_cast<TDeviceInfoWithClients*>(fDevices->DeviceList().Find(iId));
  }

  std::unique_ptr<TPulseServer> fPulse;
  std::unique_ptr<TAudioDevices> fDevices;
};

}  // namespace

TEST_F(PulseCapture, SourcesAreListedAndSinksAreNot) {
  Build();
  auto* monitor = fDevices->DeviceList().Find("WASAPI:logtest.monitor");
  ASSERT_NE(monitor, nullptr);
  EXPECT_EQ(monitor->Name(), "WASAPI: Monitor of Null Output");
  EXPECT_FALSE(monitor->HasControlPanel());
  EXPECT_EQ(fDevices->DeviceList().Find("WASAPI:logtest"), nullptr);
  EXPECT_EQ(fDevices->WASAPIDevices().size(), 1u);

  // the engine does report the sink, as an output endpoint that cannot be recorded
  bool sawSink = false;
  BASS_WASAPI_DEVICEINFO info;
  for (DWORD n = 0; BASS_WASAPI_GetDeviceInfo(n, &info); ++n)
    if (std::string(info.id) == "logtest") {
      sawSink = true;
      EXPECT_EQ(info.flags & BASS_DEVICE_INPUT, 0u);
      EXPECT_FALSE(BASS_WASAPI_Init(static_cast<int>(n), 48000, 2, 0, 1, 0, [](void*, DWORD l, void*) { return l; }, nullptr));
    }
  EXPECT_TRUE(sawSink);
}

TEST_F(PulseCapture, AToneComesThroughTheMonitorAsFloatAtTheRequestedRate) {
  Build();
  auto* input = Input("WASAPI:logtest.monitor");
  ASSERT_NE(input, nullptr);
  DWORD client = input->AddClient(44100, true, false);  // asks 16-bit, gets float
  ASSERT_NE(client, 0u);
  const auto info = StreamInfo(client);
  EXPECT_EQ(info.freq, 44100u);
  EXPECT_NE(info.flags & BASS_SAMPLE_FLOAT, 0u);
  EXPECT_EQ(input->GetSampleRate(), 44100);

  auto tone = fPulse->PlayTone(1000, 3, 0.5);
  auto got = ReadSamples<float>(client, 2 * 44100 * 2);
  auto m = MeasureTone(got, 44100, 1.0);
  ASSERT_TRUE(m.fFound) << "no tone in " << got.size() / 2 << " frames";
  EXPECT_NEAR(m.fPeak, 0.5, 0.05);
  EXPECT_NEAR(m.fFrequency, 1000, 20);
  input->RemoveClient(client);
  BASS_StreamFree(client);
  EXPECT_FALSE(input->Running());
  tone.Wait(std::chrono::seconds(10));
}

TEST_F(PulseCapture, TheDefaultRecordingDeviceCapturesThroughTheSoundServer) {
  // ALSA's default PCM is the sound server's while one runs; reload its
  // configuration now that this one does.
  setenv("PULSE_SOURCE", "logtest.monitor", 1);
  snd_config_update_free_global();
  Build();
  ASSERT_GE(fDevices->WDMDevices().size(), 1u);
  EXPECT_EQ(fDevices->DeviceList().Id(0), "WDM:0");
  EXPECT_EQ(fDevices->DeviceList().Device(0)->Name().rfind("WDM: ", 0), 0u);
  auto* input = Input("WDM:0");
  DWORD client = input->AddClient(48000, true, false);
  ASSERT_NE(client, 0u);
  EXPECT_EQ(StreamInfo(client).freq, 48000u);
  EXPECT_EQ(StreamInfo(client).flags & BASS_SAMPLE_FLOAT, 0u);

  auto tone = fPulse->PlayTone(500, 3, 0.5);
  auto got = ReadSamples<int16_t>(client, 2 * 48000 * 2);
  auto m = MeasureTone(got, 48000, 32768.0);
  ASSERT_TRUE(m.fFound) << "no tone in " << got.size() / 2 << " frames";
  EXPECT_NEAR(m.fPeak, 0.5, 0.05);
  EXPECT_NEAR(m.fFrequency, 500, 15);
  input->RemoveClient(client);
  BASS_StreamFree(client);
  tone.Wait(std::chrono::seconds(10));
}

TEST_F(PulseCapture, CaptureComesBackWhenTheSoundServerIsStartedAgain) {
  Build();
  auto* input = Input("WASAPI:logtest.monitor");
  ASSERT_NE(input, nullptr);
  DWORD client = input->AddClient(48000, true, false);
  ASSERT_NE(client, 0u);
  // Reads a second at a time until a tone of about iFrequency shows up.
  auto hears = [&](int iFrequency, std::chrono::seconds iWithin) {
    return WaitFor(
        [&] {
          const auto m = MeasureTone(ReadSamples<float>(client, 2 * 48000, std::chrono::seconds(3)), 48000, 1.0);
          return m.fFound && std::abs(m.fFrequency - iFrequency) < 20;
        },
        iWithin);
  };
  {
    auto tone = fPulse->PlayTone(1000, 3, 0.5);
    ASSERT_TRUE(hears(1000, std::chrono::seconds(10)));
  }

  ASSERT_TRUE(fPulse->Crash());
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a few reconnection attempts fail
  EXPECT_TRUE(input->Running()) << "the input gave up while its server was gone";
  Drain(client);
  ASSERT_TRUE(fPulse->Restart());
  {
    auto tone = fPulse->PlayTone(700, 10, 0.5);
    EXPECT_TRUE(hears(700, std::chrono::seconds(20))) << "the same client never heard the new server";
  }

  // With the server gone again, removing the last client still ends the
  // capture instead of hanging in its reconnection.
  ASSERT_TRUE(fPulse->Crash());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto removed = std::async(std::launch::async, [&] {
    input->RemoveClient(client);
    BASS_StreamFree(client);
  });
  ASSERT_EQ(removed.wait_for(std::chrono::seconds(15)), std::future_status::ready) << "stopping hung";
  EXPECT_FALSE(input->Running());
}

// A source that appears after the catalogue was built is added at its end,
// and one that goes away keeps its number: an id never moves onto another
// source, so a slot can never end up recording something else.
TEST_F(PulseCapture, SourcesThatComeLaterAreAddedWithoutRenumbering) {
  Build();
  auto* monitor = Input("WASAPI:logtest.monitor");
  ASSERT_NE(monitor, nullptr);
  const int monitorIndex = monitor->Index();
  ASSERT_EQ(RunProgram({"pactl", "load-module", "module-null-sink", "sink_name=late"}), 0);
  EXPECT_EQ(fDevices->AddNewInputs(ListInputs()), std::vector<std::string>{"WASAPI:late.monitor"});
  auto* late = Input("WASAPI:late.monitor");
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(fDevices->DeviceList().Id(fDevices->DeviceList().Count() - 1), "WASAPI:late.monitor");
  DWORD client = late->AddClient(48000, false, false);
  ASSERT_NE(client, 0u);
  late->RemoveClient(client);
  BASS_StreamFree(client);

  // "late" goes, "later" comes: before, the new source took the old one's number.
  ASSERT_EQ(RunProgram({"sh", "-c", "pactl unload-module $(pactl list short modules | awk '/sink_name=late/ {print $1}')"}), 0);
  ASSERT_EQ(RunProgram({"pactl", "load-module", "module-null-sink", "sink_name=later"}), 0);
  EXPECT_EQ(fDevices->AddNewInputs(ListInputs()), std::vector<std::string>{"WASAPI:later.monitor"});
  EXPECT_EQ(monitor->Index(), monitorIndex);
  EXPECT_NE(Input("WASAPI:later.monitor")->Index(), late->Index());
  EXPECT_THROW(late->AddClient(48000, false, false), std::runtime_error);  // gone, not the new one

  client = monitor->AddClient(44100, false, false);
  ASSERT_NE(client, 0u);
  auto tone = fPulse->PlayTone(1000, 3, 0.5);
  auto m = MeasureTone(ReadSamples<float>(client, 2 * 44100 * 2), 44100, 1.0);
  EXPECT_TRUE(m.fFound);
  EXPECT_NEAR(m.fFrequency, 1000, 20);
  monitor->RemoveClient(client);
  BASS_StreamFree(client);
  tone.Wait(std::chrono::seconds(10));
}
