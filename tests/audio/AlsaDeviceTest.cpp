// Recording devices and the default device's number, with ALSA configured per test
// through the user's configuration folder.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ClientStream.h"
#include "audio/AudioDevices.h"

using namespace vt::test;

namespace {

class AlsaDevices : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("JACK_DEFAULT_SERVER", "vt-devices-no-jack-here", 1);
    setenv("PULSE_SERVER", "unix:/nonexistent/pulse.sock", 1);
    setenv("XDG_CONFIG_HOME", fConfig.Path().c_str(), 1);
    snd_config_update_free_global();
  }
  void TearDown() override {
    fDevices.reset();
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("PULSE_SERVER");
    unsetenv("JACK_DEFAULT_SERVER");
    snd_config_update_free_global();
  }
  // ALSA's default PCM for this test: the null PCM, which captures zeros.
  void DefaultIsNull() {
    std::filesystem::create_directories(fConfig.Path() + "/alsa");
    std::ofstream(fConfig.Path() + "/alsa/asoundrc") << "pcm.!default { type null }\n";
    snd_config_update_free_global();
  }
  void Build() { fDevices = std::make_unique<TAudioDevices>(nullptr); }
  std::string StartError(TDeviceInfoWithClients& iInput, int iRate) {
    try {
      DWORD h = iInput.AddClient(iRate, false, false);
      iInput.RemoveClient(h);
      BASS_StreamFree(h);
      return "";
    } catch (const std::runtime_error& e) {
      return e.what();
    }
  }

  TTempFolder fConfig;
  std::unique_ptr<TAudioDevices> fDevices;
};

}  // namespace

// "default" is WDM:0 whether or not its sound server is up when the list is
// made (here it leads to a PulseAudio server that is not there), so a sound
// server that comes up late never shifts a card onto another slot's id. Once
// it can capture, a new look finds it at the same number, ready.
TEST_F(AlsaDevices, TheDefaultDeviceIsNumberZeroEvenWhileItCannotOpen) {
  Build();
  ASSERT_GE(fDevices->WDMDevices().size(), 1u);
  EXPECT_EQ(fDevices->DeviceList().Id(0), "WDM:0");
  EXPECT_TRUE(fDevices->ASIODevices().empty());
  EXPECT_TRUE(fDevices->WASAPIDevices().empty());
  BASS_DEVICEINFO info;
  ASSERT_TRUE(BASS_RecordGetDeviceInfo(0, &info));
  EXPECT_STREQ(info.driver, "default");
  EXPECT_EQ(info.flags & BASS_DEVICE_ENABLED, 0u);
  EXPECT_EQ(StartError(*fDevices->WDMDevices()[0], 48000).rfind("Init: ", 0), 0u);

  DefaultIsNull();
  const std::vector<TListedInput> listed = ListWDMInputs();
  ASSERT_GE(listed.size(), 1u);
  EXPECT_EQ(listed[0].fId, "WDM:0");
  EXPECT_TRUE(listed[0].fReady);
  EXPECT_TRUE(fDevices->AddNewInputs(listed).empty());  // nothing new: the same number
  EXPECT_EQ(StartError(*fDevices->WDMDevices()[0], 48000), "");
}

TEST_F(AlsaDevices, AMissingDeviceGivesTheInitErrorEveryTime) {
  Build();
  TWDMDeviceInfo gone(7, "WDM: gone");
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(StartError(gone, 48000), "Init: illegal device number (BASS error 23)");
    EXPECT_TRUE(gone.Clients().empty());
  }
}

TEST_F(AlsaDevices, TheDefaultDeviceStartsStopsAndStartsAgain) {
  DefaultIsNull();
  Build();
  ASSERT_EQ(fDevices->WDMDevices().size(), 1u);
  EXPECT_EQ(fDevices->DeviceList().Id(0), "WDM:0");
  EXPECT_EQ(fDevices->DeviceList().Device(0)->Name(), "WDM: Default");
  auto& input = *fDevices->WDMDevices()[0];

  for (bool use16 : {false, true}) {
    DWORD client = input.AddClient(48000, use16, false);
    ASSERT_NE(client, 0u);
    EXPECT_EQ((StreamInfo(client).flags & BASS_SAMPLE_FLOAT) == 0, use16);
    auto got = ReadSamples<char>(client, 4800 * 4);
    EXPECT_EQ(got.size(), 4800u * 4);
    EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](char c) { return c == 0; }));
    input.RemoveClient(client);
    BASS_StreamFree(client);
    BASS_DEVICEINFO info;
    ASSERT_TRUE(BASS_RecordGetDeviceInfo(0, &info));
    EXPECT_EQ(info.flags & BASS_DEVICE_INIT, 0u) << "the device stays initialised after its last client";
    EXPECT_STREQ(info.driver, "default");
  }
}

// Freeing the catalogue while an input still runs stops the input first, so
// its capture thread never calls into freed memory.
TEST_F(AlsaDevices, FreeingARunningInputStopsItsCapture) {
  DefaultIsNull();
  Build();
  ASSERT_EQ(fDevices->WDMDevices().size(), 1u);
  DWORD client = fDevices->WDMDevices()[0]->AddClient(48000, false, false);
  ASSERT_NE(client, 0u);
  fDevices.reset();
  Drain(client);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(BASS_ChannelGetData(client, nullptr, BASS_DATA_AVAILABLE), 0u);
  BASS_DEVICEINFO info;
  ASSERT_TRUE(BASS_RecordGetDeviceInfo(0, &info));
  EXPECT_EQ(info.flags & BASS_DEVICE_INIT, 0u);
  BASS_StreamFree(client);
}
