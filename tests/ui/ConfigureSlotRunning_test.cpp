// The slot dialog rewriting every field of a slot whose threads all run: it
// records an Internet stream from a private icecast2 and streams to the same
// server, while the dialog's OK replaces every field twenty times in a row and
// the controller restarts the source and the file each time. Meant for the
// ThreadSanitizer build, where any field read by the pull, stream or
// streaming thread without being safe to replace whole shows up as a race.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "../audio/engine/CastTestSupport.h"
#include "ModalTestSupport.h"
#include "controller/LoggerMain.h"
#include "shell/IniFile.h"
#include "slot/SlotInfo.h"
#include "slot/SlotTestSupport.h"
#include "ui/ConfigureSlot/ConfigureSlot.h"
#include "ui/ConfigureSlot/ExecuteConfigureSlot.h"
#include "ui/ConfigureSlot/UpDownEdit.h"

namespace {

using vt::streamtest::TIcecast;

void Type(QLineEdit* iEdit, const QString& iText) {
  iEdit->selectAll();
  iEdit->del();
  if (!iText.isEmpty()) QTest::keyClicks(iEdit, iText);
}
void Check(QCheckBox* iBox, bool iOn) {
  if (iBox->isChecked() != iOn) iBox->click();
}

class ConfigureSlotRunningTest : public vt::casttest::TIcecastSuite {
protected:
  // Every control of the dialog to one of two working sets of values.
  void EditEverything(TConfigureSlotForm& f, int iRound) {
    const bool odd = iRound % 2;
    const QString n = QString::number(iRound);
    Type(f.edName, "Running " + n);
    Type(f.edDescription, "round " + n);
    f.rbStream->click();
    Type(f.edStreamURL, QString::fromStdString(fServer->Url("/incoming")) + (odd ? "?round=" + n : ""));
    Type(f.udNominalLevel->Edit(), odd ? "-12" : "-9");
    Type(f.udRecordDelay->Edit(), odd ? "60" : "0");
    Check(f.cbRecord16Bit, odd);
    f.cbRecordChannels->setCurrentIndex(odd ? rcLeft : rcStereo);
    Type(f.edWinampPlugin, odd ? "/usr/lib/ladspa/amp_1181.so#amp" : "");
    Check(f.cbWinampPluginStreamOnly, odd);
    Type(f.edFolder, QString::fromStdString(fTmp.Path(odd ? "rec-b" : "rec-a")));
    Type(f.edSecondaryFolder, QString::fromStdString(fTmp.Path(odd ? "old-b" : "old-a")));
    Type(f.edFilenamePrefix, odd ? "b-" : "a-");
    Type(f.edCustomFilename, odd ? "%Y%m%d-%H%M%S-" + n : "");
    Check(f.cbFlatFilenames, odd);
    Check(f.cbCueSheet, odd);
    Check(f.cbNoAutoRotate, false);
    Type(f.edTimeSlotLength, odd ? "30" : "60");
    Check(f.cbTimeSlotAlign, !odd);
    Type(f.edTimeSlotOffset, odd ? "5" : "0");
    f.cbFormat->setCurrentIndex(sfMP3);
    Type(f.edFileExtension, odd ? "mp3x" : "");
    f.cbMode->setCurrentIndex(odd ? smJointStereo : smStereo);
    Type(f.cbBitrate->lineEdit(), odd ? "96" : "128");
    Type(f.cbSampleRate->lineEdit(), odd ? "48000" : "44100");
    Type(f.edEncoderFilename, odd ? QString::fromStdString(fLame) : "");
    Type(f.edEncoderOptions, odd ? "-q 5" : "");
    Check(f.cbCleanupDaysEnabled, odd);
    Type(f.udCleanupDays->Edit(), odd ? "30" : "365");
    Check(f.cbCleanupSpaceEnabled, !odd);
    Type(f.udCleanupSpace->Edit(), odd ? "1" : "2");
    Check(f.cbStreamingEnabled, true);
    Check(f.cbStreamingOnly, false);
    Type(f.edStreamingHost, odd ? "localhost" : "127.0.0.1");
    Type(f.edStreamingPort, QString::number(fServer->Port()));
    Type(f.edStreamingMountPoint, odd ? "/out-b" : "/out-a");
    Type(f.edStreamingStreamID, odd ? "2" : "1");
    Type(f.edStreamingPassword, TIcecast::kPassword);
    Type(f.edStreamingMimeType, odd ? "audio/mpeg" : "");
    Check(f.cbStreamingServerMode, false);
    Type(f.edStreamingTitle, "Title " + n);
    Type(f.edStreamingURL, "http://station.example/" + n);
    Type(f.edStreamingGenre, "Genre " + n);
    Type(f.edStreamingAIM, "aim" + n);
    Type(f.edStreamingIRC, "irc" + n);
    Type(f.edStreamingICQ, "icq" + n);
    Type(f.edStreamingDescription, "Description " + n);
    Check(f.cbStreamingPublic, odd);
    Check(f.cbStreamingForwardMetadata, odd);
    Type(f.udSilenceThreshold->Edit(), odd ? "-40" : "-30");
    Type(f.udSilenceDetection->Edit(), odd ? "3600" : "0");
    Check(f.cbSilenceDetectionIfInactive, odd);
    Check(f.cbSendEmailSilenceDetected, false);
    Check(f.cbSendEmailSilenceOK, false);
    Type(f.edHTTPAlarmSilenceDetected, "http://127.0.0.1:9/detected" + n);
    Type(f.edHTTPAlarmSilenceOK, "http://127.0.0.1:9/ok" + n);
  }

  TSlotTempFolder fTmp;
  std::string fLame = "/usr/bin/lame";
};

TEST_F(ConfigureSlotRunningTest, EveryFieldRewrittenTwentyTimesWhileRecordingAndStreaming) {
  App();
  ASSERT_TRUE(fServer->FeedAndWait("/incoming", "mp3", 1000));
  fTmp.Write("Vantorel.ini", "[Slot0]\nName=Running\nSource=Stream\nStreamURL=" + fServer->Url("/incoming") +
                                 "\nFormat=mp3\nBitrate=128\nFolder=" + fTmp.Path("rec-a") +
                                 "\nStreamingEnabled=on\nStreamingHost=127.0.0.1\nStreamingPort=" +
                                 std::to_string(fServer->Port()) + "\nStreamingMountPoint=/out-a\nStreamingPassword=" +
                                 TIcecast::kPassword + "\n");
  TIniFile ini(fTmp.Path("Vantorel.ini"));
  TStartupValues values;
  values.FullSlotCount = 1;
  TLoggerMainOptions options;
  options.PluginFolder = fTmp.Path("plugins/");
  TLoggerMain controller(ini, values, std::move(options));
  TSlotInfo& slot = controller.Slot(0);
  ASSERT_TRUE(RunUntil([&] { return slot.Recording() && slot.StreamingStatus() == ssConnected && slot.LevelLeft() > 0.05f; },
                       60000))
      << ::testing::PrintToString(controller.MessageLogLines());

  for (int round = 1; round <= 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    WhenModal<TConfigureSlotForm>([&](TConfigureSlotForm& iForm) {
      EditEverything(iForm, round);
      iForm.btnOK->click();
    });
    ASSERT_TRUE(ExecuteConfigureSlot(controller, 0, nullptr));
    EXPECT_EQ(slot.Name(), "Running " + std::to_string(round));
    // The threads go on with the new values for a moment before the next round.
    RunUntil([] { return false; }, 150);
  }
  // The last round left the first set: recording into its folder and streaming.
  EXPECT_TRUE(RunUntil([&] { return slot.Recording() && slot.LevelLeft() > 0.05f; }, 30000)) << slot.ErrorMessage();
  EXPECT_NE(slot.CurrentFilename().find("rec-a"), std::string::npos);
  EXPECT_TRUE(RunUntil([&] { return slot.StreamingStatus() == ssConnected; }, 30000)) << slot.StreamingMessage();
}

}  // namespace
