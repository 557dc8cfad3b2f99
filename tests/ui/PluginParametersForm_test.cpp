// The plug-in settings window on a recording slot with a LADSPA gain plug-in,
// opened as the user does (the slot dialog's "Configure...", which goes
// through the engine's configuration call): the row of the gain control, the
// recorded level following a change within a block, and the value in the
// settings file after the end.
#include "ui/ConfigureSlot/PluginParametersForm.h"

#include <gtest/gtest.h>

#include <QDoubleSpinBox>
#include <QPushButton>

#include <algorithm>
#include <cmath>
#include <memory>

#include "ModalTestSupport.h"
#include "controller/LoggerMain.h"
#include "shell/IniFile.h"
#include "slot/SlotInfo.h"
#include "slot/SlotTestSupport.h"
#include "ui/ConfigureSlot/ConfigureSlot.h"
#include "ui/ConfigureSlot/ExecuteConfigureSlot.h"

namespace {

constexpr int kRate = 44100;
constexpr int kWindow = kRate / 100;  // 10 ms
constexpr int kBlock = kRate / 20;    // what the slot pulls at a time
constexpr float kToneLevel = 0.125f;  // the lavfi sine's amplitude

// Peak of each 10 ms window of a stereo 16-bit recording, left channel.
std::vector<float> WindowPeaks(const std::vector<int16_t>& iSamples) {
  std::vector<float> peaks;
  for (size_t start = 0; start + 2 * kWindow <= iSamples.size(); start += 2 * kWindow) {
    float peak = 0;
    for (size_t i = start; i < start + 2 * kWindow; i += 2) peak = std::max(peak, std::abs(iSamples[i] / 32768.0f));
    peaks.push_back(peak);
  }
  return peaks;
}

TEST(PluginParametersFormTest, GainChangedWhileRecordingReachesTheFileAndTheSettingsFile) {
  App();
  TSlotTempFolder tmp;
  const std::string iniPath = tmp.Path("Vantorel.ini");
  tmp.Write("Vantorel.ini", "[Slot0]\nName=Plug\nSource=Stream\nStreamURL=lavfi:sine=frequency=1000:sample_rate=44100\n"
                            "Format=wav16\nSamplerate=44100\nTimeSlotLength=1440\nFolder=" + tmp.Path("rec") +
                                "\nWinampPlugin=/usr/lib/ladspa/amp_1181.so#amp\nWinampPluginParameters=amps_gain_db=0\n");
  std::string file;
  float before = 0, after = 0;  // seconds into the file around the change
  bool rowFound = false;
  {
    TIniFile ini(iniPath);
    TStartupValues values;
    values.FullSlotCount = 1;
    TLoggerMainOptions options;
    options.PluginFolder = tmp.Path("plugins/");
    TLoggerMain controller(ini, values, std::move(options));
    TSlotInfo& slot = controller.Slot(0);
    ASSERT_NE(slot.WinampPluginHandle(), 0u);
    ASSERT_TRUE(RunUntil([&] { return slot.Recording() && slot.LevelLeft() > 0.1f; }))
        << slot.Recording() << " " << slot.LevelLeft() << " " << slot.GetStreamStatus() << "\n"
        << ::testing::PrintToString(controller.MessageLogLines());
    RunUntil([&] { return slot.GetCurrentRecordingDuration() > 1.0f; });
    file = slot.CurrentFilename();

    WhenModal<TConfigureSlotForm>([](TConfigureSlotForm& iForm) {
      ASSERT_TRUE(iForm.btnWinampPluginConfigure->isEnabled());
      iForm.btnWinampPluginConfigure->click();  // returns once the plug-in window is closed
      iForm.btnOK->click();
    });
    WhenModal<TPluginParametersForm>([&](TPluginParametersForm& iForm) {
      const TPluginParametersForm::TRow* gain = iForm.Row("amps_gain_db");
      rowFound = gain && gain->fNumber && gain->fSlider;
      if (rowFound) {
        EXPECT_FLOAT_EQ(float(gain->fNumber->value()), 0.0f);
        before = slot.GetCurrentRecordingDuration();
        gain->fNumber->setValue(-6.0);
        after = slot.GetCurrentRecordingDuration();
      }
      iForm.reject();
    });
    ASSERT_TRUE(ExecuteConfigureSlot(controller, 0, nullptr));
    ASSERT_TRUE(rowFound) << "the window has a slider and a number for the gain";
    RunUntil([&] { return slot.GetCurrentRecordingDuration() > after + 1.0f; });
    EXPECT_EQ(slot.CurrentFilename(), file) << "a plug-in setting starts no new file";
  }

  const std::vector<float> peaks = WindowPeaks(ReadWav16(file));
  const auto loud = std::find_if(peaks.begin(), peaks.end(), [](float p) { return p > 0.1f; });
  ASSERT_NE(loud, peaks.end());
  const auto halved = std::find_if(loud, peaks.end(), [](float p) { return p < 0.09f; });
  ASSERT_NE(halved, peaks.end()) << "the level never followed";
  const int changeFrame = int(halved - peaks.begin()) * kWindow;
  EXPECT_GE(changeFrame, int(before * kRate) - kBlock);
  EXPECT_LE(changeFrame, int(after * kRate) + kBlock + kWindow) << "more than a block late";
  for (auto p = halved + 1; p != peaks.end(); ++p) ASSERT_NEAR(*p, kToneLevel * 0.501f, 0.01) << "window " << (p - peaks.begin());

  EXPECT_EQ(TIniFile(iniPath).ReadString("Slot0", "WinampPluginParameters", ""), "amps_gain_db=-6");
}

}  // namespace
