// The start-up's wait for the inputs the slots record from: which ids the
// settings name, and the catalogue taking up a JACK server that comes up late.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "ClientStream.h"
#include "audio/AudioDevices.h"
#include "audio/ConfiguredInputs.h"
#include "shell/IniFile.h"

using namespace vt::test;
using namespace std::chrono_literals;

namespace {

TEST(ConfiguredInputs, EnabledSoundcardSlotsOnlyEachIdOnce) {
  TTempFolder folder;
  TIniFile ini(folder.Path() + "/Vantorel.ini");
  ini.WriteInteger("General", "FullSlotCount", 5);
  ini.WriteInteger("General", "AlarmSlotCount", 1);
  struct TSlot {
    const char* fSource;
    const char* fDevice;
    bool fEnabled;
  } slots[] = {
      {"Soundcard", "ASIO:0:0:2", true},
      {"Stream", "WDM:0", true},           // a stream slot records no input
      {"Soundcard", "WDM:1", false},       // a disabled slot neither
      {"soundcard", "WDM:2", true},        // the source word is read as it is spelt
      {"Soundcard", "asio:0:0:2", true},   // ids are one without regard to case
      {"Soundcard", "WASAPI:mic", true},   // the alarm-only slot counts too
  };
  for (int i = 0; i < 6; ++i) {
    const std::string section = "Slot" + std::to_string(i);
    ini.WriteString(section, "Source", slots[i].fSource);
    ini.WriteString(section, "Device", slots[i].fDevice);
    ini.WriteSwitch(section, "Enabled", slots[i].fEnabled);
  }
  ini.WriteString("Slot6", "Source", "Soundcard");  // beyond the slot counts
  ini.WriteString("Slot6", "Device", "WDM:6");
  EXPECT_EQ(ConfiguredInputs(ini), (std::vector<std::string>{"ASIO:0:0:2", "WASAPI:mic"}));
}

class InputWait : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("PULSE_SERVER", "unix:/nonexistent/pulse.sock", 1);
    fIni.WriteInteger("General", "FullSlotCount", 1);
    fIni.WriteString("Slot0", "Source", "Soundcard");
  }
  void TearDown() override {
    FreeAudioDevices();
    unsetenv("PULSE_SERVER");
  }
  TInputWait Wait(std::chrono::milliseconds iLimit) {
    TInputWait wait;
    wait.fLimit = iLimit;
    wait.fLog = [this](const std::string& iLine) { fLog.push_back(iLine); };
    return wait;
  }

  TTempFolder fFolder;
  TIniFile fIni{fFolder.Path() + "/Vantorel.ini"};
  std::vector<std::string> fLog;
};

TEST_F(InputWait, AJackServerThatComesUpDuringTheWaitIsInTheCatalogue) {
  TJackServer server;
  ASSERT_TRUE(server.Ready());
  ASSERT_TRUE(server.Crash());  // down at the start, as at boot before jackd
  fIni.WriteString("Slot0", "Device", "ASIO:0:0:2");
  auto later = std::async(std::launch::async, [&] { return server.Restart(); });
  InitAudioDevices(&fIni, Wait(30s));
  ASSERT_TRUE(later.get());
  EXPECT_NE(AudioDevices().DeviceList().Find("ASIO:0:0:2"), nullptr);
  ASSERT_EQ(fLog.size(), 2u);
  EXPECT_EQ(fLog[0], "Waiting up to 30 s for inputs: ASIO:0:0:2");
  EXPECT_EQ(fLog[1].rfind("Inputs found after waiting ", 0), 0u) << fLog[1];
}

TEST_F(InputWait, AnInputThatNeverComesEndsTheWaitAtItsLimitOrWhenCancelled) {
  fIni.WriteString("Slot0", "Device", "WASAPI:nowhere");
  auto start = std::chrono::steady_clock::now();
  InitAudioDevices(&fIni, Wait(1500ms));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 1500ms);
  EXPECT_LT(waited, 5s);
  EXPECT_EQ(AudioDevices().DeviceList().Find("WASAPI:nowhere"), nullptr);
  ASSERT_EQ(fLog.size(), 2u);
  EXPECT_EQ(fLog[0], "Waiting up to 1 s for inputs: WASAPI:nowhere");
  EXPECT_EQ(fLog[1].rfind("Inputs not found after waiting ", 0), 0u) << fLog[1];
  EXPECT_NE(fLog[1].find(" s: WASAPI:nowhere"), std::string::npos) << fLog[1];

  FreeAudioDevices();
  fLog.clear();
  TInputWait cancelled = Wait(30s);
  start = std::chrono::steady_clock::now();
  cancelled.fCancelled = [&] { return std::chrono::steady_clock::now() - start > 300ms; };
  InitAudioDevices(&fIni, cancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(fLog.size(), 2u);
}

TEST_F(InputWait, NothingIsWaitedForWhenNoSlotRecordsAnInput) {
  fIni.WriteString("Slot0", "Source", "Stream");
  fIni.WriteString("Slot0", "Device", "WASAPI:nowhere");
  const auto start = std::chrono::steady_clock::now();
  InitAudioDevices(&fIni, Wait(30s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(fLog.empty());
}

}  // namespace
