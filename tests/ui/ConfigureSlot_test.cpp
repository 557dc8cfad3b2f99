// The slot dialog on real slots: what opening shows, the input rules, the
// storage estimate, the two change flags, the refusals, every field written
// back, and the controller's follow-up when the dialog runs through the
// window's entry (the file that starts, the settings file, Cancel).
#include "ui/ConfigureSlot/ConfigureSlot.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>

#include <functional>
#include <memory>

#include "ModalTestSupport.h"
#include "audio/AudioDevices.h"
#include "controller/LoggerMain.h"
#include "shell/IniFile.h"
#include "slot/SlotInfo.h"
#include "slot/SlotTestSupport.h"
#include "ui/ConfigureSlot/ExecuteConfigureSlot.h"
#include "ui/ConfigureSlot/UpDownEdit.h"

namespace {

// Types into an edit as a user does: select all, then the keys.
void Type(QLineEdit* iEdit, const QString& iText) {
  iEdit->setFocus();
  iEdit->selectAll();
  if (iText.isEmpty())
    QTest::keyClick(iEdit, Qt::Key_Delete);
  else
    QTest::keyClicks(iEdit, iText);
}
void Type(TUpDownEdit* iUpDown, const QString& iText) { Type(iUpDown->Edit(), iText); }
void Type(QComboBox* iCombo, const QString& iText) { Type(iCombo->lineEdit(), iText); }

class ConfigureSlotTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    Fresh();
  }
  // A new slot from the original section (a freed slot writes its own back).
  void Fresh() {
    fSlot.reset();
    fTmp.Write("Vantorel.ini", "[Slot0]\nName=Morning\nSource=Soundcard\nDevice=WDM:1\nFormat=mp3\nBitrate=128\n"
                               "Folder=" + fTmp.Path("rec") + "\nDatabaseFile=" + fTmp.Path("slot.db") + "\n");
    fIni = std::make_unique<TIniFile>(fTmp.Path("Vantorel.ini"));
  }
  TSlotInfo& Slot(bool iAlarmOnly = false, int iIndex = 0) {
    if (!fSlot) fSlot = std::make_unique<TSlotInfo>(*fIni, iAlarmOnly, iIndex);
    return *fSlot;
  }
  std::unique_ptr<TConfigureSlotForm> Open(const TDeviceList* iDevices = nullptr) {
    return std::make_unique<TConfigureSlotForm>(nullptr, Slot(), iDevices);
  }

  TSlotTempFolder fTmp;
  std::unique_ptr<TIniFile> fIni;
  std::unique_ptr<TSlotInfo> fSlot;
};

// b × 128 × 86400 × d div 2^30 in 64 bits: 320 kbit/s for 365 days would
// overflow 32 bits many times over.
TEST_F(ConfigureSlotTest, StorageEstimateBesideTheDays) {
  struct TCase {
    int fFormat;
    const char* fBitrate;
    const char* fDays;
    const char* fLabel;
  };
  for (const TCase& c : {TCase{sfMP3, "128", "30", "days (~39 GB)"}, TCase{sfMP3, "320", "365", "days (~1203 GB)"},
                         TCase{sfOggVorbis, "64", "1", "days (~0 GB)"}, TCase{sfCustomWAV, "128", "30", "days"},
                         TCase{sfCustomRaw, "320", "365", "days"}, TCase{sfMP3, "", "30", "days"},
                         TCase{sfMP2, "fast", "30", "days"}, TCase{sfMP3, "128", "", "days (~0 GB)"}}) {
    SCOPED_TRACE(std::string(c.fBitrate) + " kbit/s, " + c.fDays + " days, format " + std::to_string(c.fFormat));
    auto form = Open();
    form->cbFormat->setCurrentIndex(c.fFormat);
    Type(form->cbBitrate, c.fBitrate);
    Type(form->udCleanupDays, c.fDays);
    EXPECT_EQ(form->lblCleanupDays->text().toStdString(), c.fLabel);
  }
  // The WAV formats empty the bit rate, so they show the days alone.
  auto form = Open();
  Type(form->udCleanupDays, "30");
  form->cbFormat->setCurrentIndex(sfWAV16);
  EXPECT_EQ(form->lblCleanupDays->text().toStdString(), "days");
}

// A whole number moves the up-down, limited to its range; other text leaves
// it; OK stores the position.
TEST_F(ConfigureSlotTest, NumbersWithAnUpDownStoreTheirPosition) {
  struct TCase {
    const char* fField;
    std::function<TUpDownEdit*(TConfigureSlotForm&)> fUpDown;
    const char* fTyped;
    std::function<int(TSlotInfo&)> fStored;
    int fExpected;
  };
  const auto alarm = [](TConfigureSlotForm& f) { return f.udSilenceDetection; };
  const auto alarmStored = [](TSlotInfo& s) { return s.SilenceDetection(); };
  for (const TCase& c : {
           TCase{"alarm after", alarm, "5000", alarmStored, 3600},
           TCase{"alarm after", alarm, "abc", alarmStored, 45},
           TCase{"alarm after", alarm, "99999999999", alarmStored, 3600},
           TCase{"alarm after", alarm, "-3", alarmStored, 0},
           TCase{"threshold", [](TConfigureSlotForm& f) { return f.udSilenceThreshold; }, "-250",
                 [](TSlotInfo& s) { return s.SilenceThreshold(); }, -100},
           TCase{"nominal level", [](TConfigureSlotForm& f) { return f.udNominalLevel; }, "-12",
                 [](TSlotInfo& s) { return int(s.NominalLevel()); }, -12},
           TCase{"record delay", [](TConfigureSlotForm& f) { return f.udRecordDelay; }, "7200",
                 [](TSlotInfo& s) { return s.RecordDelay(); }, 3600},
           TCase{"cleanup days", [](TConfigureSlotForm& f) { return f.udCleanupDays; }, "0",
                 [](TSlotInfo& s) { return s.CleanupDays(); }, 1},
           TCase{"cleanup space", [](TConfigureSlotForm& f) { return f.udCleanupSpace; }, "40000",
                 [](TSlotInfo& s) { return s.CleanupSpace(); }, 32767},
       }) {
    SCOPED_TRACE(std::string(c.fField) + " typed " + c.fTyped);
    Slot().SetSilenceDetection(45);
    auto form = Open();
    Type(c.fUpDown(*form), c.fTyped);
    form->btnOK->click();
    ASSERT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(c.fStored(Slot()), c.fExpected);
  }
}

// Edits without an up-down: a whole number is stored, other text keeps the
// slot's value (a bit rate gives 0).
TEST_F(ConfigureSlotTest, PlainNumberFieldsKeepTheValueForText) {
  Slot().SetTimeSlotOffset(30);
  Slot().SetStreamingPort(8123);
  auto form = Open();
  Type(form->edTimeSlotLength, "15min");
  Type(form->edTimeSlotOffset, "x");
  Type(form->edStreamingPort, "");
  Type(form->cbSampleRate, "fast");
  Type(form->cbBitrate, "high");
  form->btnOK->click();
  ASSERT_EQ(form->result(), QDialog::Accepted);
  EXPECT_EQ(Slot().TimeSlotLength(), 60);
  EXPECT_EQ(Slot().TimeSlotOffset(), 30);
  EXPECT_EQ(Slot().StreamingPort(), 8123);
  EXPECT_EQ(Slot().Samplerate(), 44100);
  EXPECT_EQ(Slot().Bitrate(), 0);
}

// Which edits restart the source (input flag) and which start a new file
// (output flag); everything else is neither.
TEST_F(ConfigureSlotTest, ChangeFlagsFollowWhatWasEdited) {
  struct TCase {
    const char* fEdit;
    std::function<void(TConfigureSlotForm&)> fDo;
    bool fInput, fOutput;
  };
  const TCase cases[] = {
      {"nothing", [](TConfigureSlotForm&) {}, false, false},
      {"name only", [](TConfigureSlotForm& f) { Type(f.edName, "Evening"); }, false, false},
      {"description, threshold, retention, streaming, alarms",
       [](TConfigureSlotForm& f) {
         Type(f.edDescription, "news");
         Type(f.udSilenceThreshold, "-40");
         Type(f.udCleanupDays, "10");
         f.cbStreamingEnabled->setChecked(true);
         Type(f.edHTTPAlarmSilenceOK, "http://x/ok");
         Type(f.edTimeSlotLength, "30");
         Type(f.cbSampleRate, "48000");
       },
       false, false},
      // Typing a URL checks "Stream URL:"; the user goes back to the sound card.
      {"stream URL only, sound card kept",
       [](TConfigureSlotForm& f) {
         Type(f.edStreamURL, "http://radio.example/live");
         EXPECT_TRUE(f.rbStream->isChecked());
         f.rbSoundcard->click();
       },
       true, false},
      {"source", [](TConfigureSlotForm& f) { f.rbDisabled->click(); }, true, false},
      {"folder", [](TConfigureSlotForm& f) { Type(f.edFolder, "/tmp/elsewhere"); }, false, true},
      {"flat names", [](TConfigureSlotForm& f) { f.cbFlatFilenames->click(); }, false, true},
      {"format", [](TConfigureSlotForm& f) { f.cbFormat->setCurrentIndex(sfOggVorbis); }, false, true},
      {"bit rate", [](TConfigureSlotForm& f) { Type(f.cbBitrate, "192"); }, false, true},
      {"mode", [](TConfigureSlotForm& f) { f.cbMode->setCurrentIndex(smMono); }, false, true},
      {"encoder options", [](TConfigureSlotForm& f) { Type(f.edEncoderOptions, "-q 2"); }, false, true},
      {"encoder file", [](TConfigureSlotForm& f) { Type(f.edEncoderFilename, "/usr/bin/lame"); }, false, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.fEdit);
    Fresh();
    auto form = Open();
    c.fDo(*form);
    form->btnOK->click();
    ASSERT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(form->InputOptionsChanged(), c.fInput);
    EXPECT_EQ(form->OutputOptionsChanged(), c.fOutput);
  }
  EXPECT_EQ(Slot().RecordSource(), rsSoundcard) << "the last case left the source alone";
  EXPECT_EQ(Slot().EncoderFilename(), "/usr/bin/lame");

  // A WAV slot has no bit rate: the list and the field are emptied when the
  // dialog opens, and an unchanged OK must not start a new file for that.
  for (const TBassStreamingFormat format : {sfWAV16, sfWAV32, sfCustomWAV, sfCustomRaw}) {
    SCOPED_TRACE("format " + std::to_string(format));
    Fresh();
    Slot().SetAudioFormat(format);
    auto form = Open();
    form->btnOK->click();
    EXPECT_FALSE(form->OutputOptionsChanged());
  }
}

TEST_F(ConfigureSlotTest, AlarmOnlySlotShowsNoRecordingAndKeepsIt) {
  fTmp.Write("Vantorel.ini", "[Slot3]\nFormat=mp3\nFolder=" + fTmp.Path("rec") + "\n");
  fIni = std::make_unique<TIniFile>(fTmp.Path("Vantorel.ini"));
  TSlotInfo slot(*fIni, true, 3);
  TConfigureSlotForm form(nullptr, slot, nullptr);
  EXPECT_EQ(form.windowTitle().toStdString(), "Configure Slot 4 (Alarm only)");
  EXPECT_FALSE(form.cbFormat->isEnabled());
  EXPECT_EQ(form.cbFormat->currentText().toStdString(), "No recording");
  form.btnOK->click();
  EXPECT_EQ(slot.AudioFormat(), sfNone);
  auto full = Open();
  EXPECT_EQ(full->windowTitle().toStdString(), "Configure Slot 1");
  std::vector<std::string> tabs;
  for (int i = 0; i < full->pcSettings->count(); ++i) tabs.push_back(full->pcSettings->tabText(i).remove('&').toStdString());
  EXPECT_EQ(tabs, (std::vector<std::string>{"General", "Input", "Output", "Cleanup", "Streaming", "Silence Detection"}));
}

// The format rule: the bit-rate list for MP3 and Ogg Vorbis (the typed rate
// stays), none for WAV and custom, untouched for MP2; the extension field for
// the custom formats only.
TEST_F(ConfigureSlotTest, FormatRuleSetsBitrateListAndExtensionField) {
  auto form = Open();
  form->show();
  form->pcSettings->setCurrentWidget(form->tsOutput);
  EXPECT_EQ(form->cbBitrate->count(), 14);
  EXPECT_EQ(form->cbBitrate->currentText().toStdString(), "128");
  EXPECT_FALSE(form->edFileExtension->isVisibleTo(form.get()));
  form->cbFormat->setCurrentIndex(sfWAV16);
  EXPECT_EQ(form->cbBitrate->count(), 0);
  EXPECT_EQ(form->cbBitrate->currentText().toStdString(), "");
  form->cbFormat->setCurrentIndex(sfMP2);
  EXPECT_EQ(form->cbBitrate->count(), 0);
  form->cbFormat->setCurrentIndex(sfCustomRaw);
  EXPECT_TRUE(form->edFileExtension->isVisibleTo(form.get()));
  Type(form->cbBitrate, "96");
  form->cbFormat->setCurrentIndex(sfOggVorbis);
  EXPECT_EQ(form->cbBitrate->count(), 14);
  EXPECT_EQ(form->cbBitrate->currentText().toStdString(), "96");
  EXPECT_FALSE(form->edFileExtension->isVisibleTo(form.get()));
}

// The refused values: the message, the tab that holds the field, the dialog
// still open and the slot untouched.
TEST_F(ConfigureSlotTest, EmptyFolderAndShortRecordingLengthAreRefused) {
  struct TCase {
    std::function<void(TConfigureSlotForm&)> fDo;
    const char* fMessage;
  };
  for (const TCase& c : {TCase{[](TConfigureSlotForm& f) { Type(f.edFolder, ""); }, "Output folder must not be empty."},
                         TCase{[](TConfigureSlotForm& f) { Type(f.edTimeSlotLength, "0"); },
                               "Recording length must be at least 1 minute."},
                         TCase{[](TConfigureSlotForm& f) { Type(f.edTimeSlotLength, "-5"); },
                               "Recording length must be at least 1 minute."}}) {
    SCOPED_TRACE(c.fMessage);
    Fresh();
    auto form = Open();
    form->show();
    Type(form->edName, "Changed");
    c.fDo(*form);
    form->pcSettings->setCurrentWidget(form->tsGeneral);
    std::string message;
    AnswerNextMessageBox(message);
    form->btnOK->click();
    EXPECT_EQ(message, c.fMessage);
    EXPECT_EQ(form->pcSettings->currentWidget(), form->tsOutput);
    EXPECT_TRUE(form->isVisible());
    EXPECT_NE(form->result(), QDialog::Accepted);
    EXPECT_EQ(Slot().Name(), "Morning");
    EXPECT_EQ(Slot().TimeSlotLength(), 60);
  }
}

class TTestInput : public TDeviceInfo {
public:
  TTestInput(int iIndex, std::string iName, bool iPanel) : TDeviceInfo(iIndex, std::move(iName)), fPanel(iPanel) {}
  bool HasControlPanel() override { return fPanel; }
  void RunControlPanel() override { ++fPanelRuns; }
  bool fPanel;
  int fPanelRuns = 0;
};

// The catalogue in its order; the slot's id found without regard to case;
// "Configure..." only for an input with a control panel; choosing an input
// checks "Sound card:" and stores its id whatever the source.
TEST_F(ConfigureSlotTest, DeviceListFromTheCatalogue) {
  TTestInput mic(0, "Microphone", false), asio(1, "ASIO Card 1/2", true), line(2, "Line In", false);
  TDeviceList devices;
  devices.Add("WDM:0", &mic);
  devices.Add("ASIO:0:0:1", &asio);
  devices.Add("wdm:1", &line);
  auto form = Open(&devices);
  ASSERT_EQ(form->cbDevice->count(), 3);
  EXPECT_EQ(form->cbDevice->itemText(0).toStdString(), "Microphone");
  EXPECT_EQ(form->cbDevice->itemText(1).toStdString(), "ASIO Card 1/2");
  EXPECT_EQ(form->cbDevice->currentIndex(), 2) << "WDM:1 is wdm:1";
  EXPECT_TRUE(form->rbSoundcard->isChecked());
  EXPECT_FALSE(form->btnDeviceConfigure->isEnabled());

  form->rbDisabled->click();
  form->cbDevice->setCurrentIndex(1);
  emit form->cbDevice->activated(1);  // the user's choice
  EXPECT_TRUE(form->rbSoundcard->isChecked());
  ASSERT_TRUE(form->btnDeviceConfigure->isEnabled());
  form->btnDeviceConfigure->click();
  EXPECT_EQ(asio.fPanelRuns, 1);
  form->rbStream->click();
  form->btnOK->click();
  EXPECT_EQ(Slot().Device(), "ASIO:0:0:1");
  EXPECT_EQ(Slot().RecordSource(), rsStream);
  EXPECT_TRUE(form->InputOptionsChanged());

  // An input absent from the catalogue (unplugged) selects nothing; OK keeps
  // its id, so the slot keeps waiting for it and its source is not restarted.
  Slot().SetDevice("WASAPI:gone");
  auto second = Open(&devices);
  EXPECT_EQ(second->cbDevice->currentIndex(), -1);
  second->btnOK->click();
  EXPECT_EQ(Slot().Device(), "WASAPI:gone");
  EXPECT_FALSE(second->InputOptionsChanged());
  // Choosing an input replaces it.
  auto third = Open(&devices);
  third->cbDevice->setCurrentIndex(0);
  emit third->cbDevice->activated(0);
  third->btnOK->click();
  EXPECT_EQ(Slot().Device(), "WDM:0");
  EXPECT_TRUE(third->InputOptionsChanged());
}

TEST_F(ConfigureSlotTest, ShowPasswordShowsItInClear) {
  Slot().SetStreamingPassword("hackme");
  auto form = Open();
  EXPECT_EQ(form->edStreamingPassword->echoMode(), QLineEdit::Password);
  form->cbShowPassword->click();
  EXPECT_EQ(form->edStreamingPassword->echoMode(), QLineEdit::Normal);
  EXPECT_EQ(form->edStreamingPassword->text().toStdString(), "hackme");
}

// Every control loads its field and OK writes each one back: values that
// differ from the defaults survive an unchanged OK, and new values typed into
// every control all arrive in the slot.
TEST_F(ConfigureSlotTest, EveryFieldIsLoadedAndWritten) {
  struct TField {
    const char* fName;
    std::function<void(TSlotInfo&)> fSetA;  // on the slot before opening
    std::function<void(TConfigureSlotForm&)> fEditB;
    std::function<std::string(TSlotInfo&)> fGet;
    const char* fA;
    const char* fB;
  };
  using F = TConfigureSlotForm;
  using S = TSlotInfo;
  auto b = [](bool v) { return std::string(v ? "1" : "0"); };
  auto n = [](int v) { return std::to_string(v); };
  const std::vector<TField> fields = {
      {"Name", [](S& s) { s.SetName("A name"); }, [](F& f) { Type(f.edName, "B name"); }, [](S& s) { return s.Name(); }, "A name", "B name"},
      {"Description", [](S& s) { s.SetDescription("A d"); }, [](F& f) { Type(f.edDescription, "B d"); }, [](S& s) { return s.Description(); }, "A d", "B d"},
      {"StreamURL", [](S& s) { s.SetStreamURL("http://a/"); }, [](F& f) { Type(f.edStreamURL, "http://b/"); }, [](S& s) { return s.StreamURL(); }, "http://a/", "http://b/"},
      {"NominalLevel", [](S& s) { s.SetNominalLevel(-9); }, [](F& f) { Type(f.udNominalLevel, "-18"); }, [n](S& s) { return n(s.NominalLevel()); }, "-9", "-18"},
      {"RecordDelay", [](S& s) { s.SetRecordDelay(120); }, [](F& f) { Type(f.udRecordDelay, "60"); }, [n](S& s) { return n(s.RecordDelay()); }, "120", "60"},
      {"Record16bit", [](S& s) { s.SetRecord16bit(true); }, [](F& f) { f.cbRecord16Bit->click(); }, [b](S& s) { return b(s.Record16bit()); }, "1", "0"},
      {"RecordChannels", [](S& s) { s.SetRecordChannels(rcLeft); }, [](F& f) { f.cbRecordChannels->setCurrentIndex(2); }, [n](S& s) { return n(s.RecordChannels()); }, "1", "2"},
      {"WinampPlugin", [](S& s) { s.SetWinampPlugin("/a.so"); }, [](F& f) { Type(f.edWinampPlugin, "/b.so"); }, [](S& s) { return s.WinampPlugin(); }, "/a.so", "/b.so"},
      {"WinampPluginStreamOnly", [](S& s) { s.SetWinampPluginStreamOnly(true); }, [](F& f) { f.cbWinampPluginStreamOnly->click(); }, [b](S& s) { return b(s.WinampPluginStreamOnly()); }, "1", "0"},
      {"Folder", [](S& s) { s.SetFolder("/a"); }, [](F& f) { Type(f.edFolder, "/b"); }, [](S& s) { return s.Folder(); }, "/a", "/b"},
      {"SecondaryFolder", [](S& s) { s.SetSecondaryFolder("/a2"); }, [](F& f) { Type(f.edSecondaryFolder, "/b2"); }, [](S& s) { return s.SecondaryFolder(); }, "/a2", "/b2"},
      {"FilenamePrefix", [](S& s) { s.SetFilenamePrefix("pa"); }, [](F& f) { Type(f.edFilenamePrefix, "pb"); }, [](S& s) { return s.FilenamePrefix(); }, "pa", "pb"},
      {"CustomFilename", [](S& s) { s.SetCustomFilename("%Y"); }, [](F& f) { Type(f.edCustomFilename, "%H"); }, [](S& s) { return s.CustomFilename(); }, "%Y", "%H"},
      {"FlatFilenames", [](S& s) { s.SetFlatFilenames(true); }, [](F& f) { f.cbFlatFilenames->click(); }, [b](S& s) { return b(s.FlatFilenames()); }, "1", "0"},
      {"CueSheet", [](S& s) { s.SetCueSheet(true); }, [](F& f) { f.cbCueSheet->click(); }, [b](S& s) { return b(s.CueSheet()); }, "1", "0"},
      {"NoAutoRotate", [](S& s) { s.SetNoAutoRotate(true); }, [](F& f) { f.cbNoAutoRotate->click(); }, [b](S& s) { return b(s.NoAutoRotate()); }, "1", "0"},
      {"TimeSlotLength", [](S& s) { s.SetTimeSlotLength(15); }, [](F& f) { Type(f.edTimeSlotLength, "1440"); }, [n](S& s) { return n(s.TimeSlotLength()); }, "15", "1440"},
      {"TimeSlotAlign", [](S& s) { s.SetTimeSlotAlign(false); }, [](F& f) { f.cbTimeSlotAlign->click(); }, [b](S& s) { return b(s.TimeSlotAlign()); }, "0", "1"},
      {"TimeSlotOffset", [](S& s) { s.SetTimeSlotOffset(-30); }, [](F& f) { Type(f.edTimeSlotOffset, "90"); }, [n](S& s) { return n(s.TimeSlotOffset()); }, "-30", "90"},
      {"AudioFormat", [](S& s) { s.SetAudioFormat(sfOggVorbis); }, [](F& f) { f.cbFormat->setCurrentIndex(sfMP2); }, [n](S& s) { return n(s.AudioFormat()); }, "2", "1"},
      {"FileExtension", [](S& s) { s.SetFileExtension("flac"); }, [](F& f) { Type(f.edFileExtension, "opus"); }, [](S& s) { return s.FileExtension(); }, "flac", "opus"},
      {"Mode", [](S& s) { s.SetMode(smJointStereo); }, [](F& f) { f.cbMode->setCurrentIndex(smMono); }, [n](S& s) { return n(s.Mode()); }, "2", "0"},
      {"Bitrate", [](S& s) { s.SetBitrate(256); }, [](F& f) { Type(f.cbBitrate, "64"); }, [n](S& s) { return n(s.Bitrate()); }, "256", "64"},
      {"Samplerate", [](S& s) { s.SetSamplerate(48000); }, [](F& f) { Type(f.cbSampleRate, "22050"); }, [n](S& s) { return n(s.Samplerate()); }, "48000", "22050"},
      {"EncoderFilename", [](S& s) { s.SetEncoderFilename("/a/lame"); }, [](F& f) { Type(f.edEncoderFilename, "/b/lame"); }, [](S& s) { return s.EncoderFilename(); }, "/a/lame", "/b/lame"},
      {"OnFileClosed", [](S& s) { s.SetOnFileClosed("/a/upload %f"); }, [](F& f) { Type(f.edOnFileClosed, "/b/upload %f %d"); }, [](S& s) { return s.OnFileClosed(); }, "/a/upload %f", "/b/upload %f %d"},
      {"EncoderOptions", [](S& s) { s.SetEncoderOptions("-a"); }, [](F& f) { Type(f.edEncoderOptions, "-b"); }, [](S& s) { return s.EncoderOptions(); }, "-a", "-b"},
      {"CleanupDaysEnabled", [](S& s) { s.SetCleanupDaysEnabled(false); }, [](F& f) { f.cbCleanupDaysEnabled->click(); }, [b](S& s) { return b(s.CleanupDaysEnabled()); }, "0", "1"},
      {"CleanupDays", [](S& s) { s.SetCleanupDays(90); }, [](F& f) { Type(f.udCleanupDays, "7"); }, [n](S& s) { return n(s.CleanupDays()); }, "90", "7"},
      {"CleanupSpaceEnabled", [](S& s) { s.SetCleanupSpaceEnabled(false); }, [](F& f) { f.cbCleanupSpaceEnabled->click(); }, [b](S& s) { return b(s.CleanupSpaceEnabled()); }, "0", "1"},
      {"CleanupSpace", [](S& s) { s.SetCleanupSpace(20); }, [](F& f) { Type(f.udCleanupSpace, "2"); }, [n](S& s) { return n(s.CleanupSpace()); }, "20", "2"},
      {"StreamingEnabled", [](S& s) { s.SetStreamingEnabled(true); }, [](F& f) { f.cbStreamingEnabled->click(); }, [b](S& s) { return b(s.StreamingEnabled()); }, "1", "0"},
      {"StreamingOnly", [](S& s) { s.SetStreamingOnly(true); }, [](F& f) { f.cbStreamingOnly->click(); }, [b](S& s) { return b(s.StreamingOnly()); }, "1", "0"},
      {"StreamingHost", [](S& s) { s.SetStreamingHost("ha"); }, [](F& f) { Type(f.edStreamingHost, "hb"); }, [](S& s) { return s.StreamingHost(); }, "ha", "hb"},
      {"StreamingPort", [](S& s) { s.SetStreamingPort(8001); }, [](F& f) { Type(f.edStreamingPort, "8002"); }, [n](S& s) { return n(s.StreamingPort()); }, "8001", "8002"},
      {"StreamingMountPoint", [](S& s) { s.SetStreamingMountPoint("/ma"); }, [](F& f) { Type(f.edStreamingMountPoint, "/mb"); }, [](S& s) { return s.StreamingMountPoint(); }, "/ma", "/mb"},
      {"StreamingStreamID", [](S& s) { s.SetStreamingStreamID("1"); }, [](F& f) { Type(f.edStreamingStreamID, "2"); }, [](S& s) { return s.StreamingStreamID(); }, "1", "2"},
      {"StreamingPassword", [](S& s) { s.SetStreamingPassword("pa"); }, [](F& f) { Type(f.edStreamingPassword, "pb"); }, [](S& s) { return s.StreamingPassword(); }, "pa", "pb"},
      {"StreamingMimeType", [](S& s) { s.SetStreamingMimeType("audio/a"); }, [](F& f) { Type(f.edStreamingMimeType, "audio/b"); }, [](S& s) { return s.StreamingMimeType(); }, "audio/a", "audio/b"},
      {"StreamingServerMode", [](S& s) { s.SetStreamingServerMode(true); }, [](F& f) { f.cbStreamingServerMode->click(); }, [b](S& s) { return b(s.StreamingServerMode()); }, "1", "0"},
      {"StreamingTitle", [](S& s) { s.SetStreamingTitle("ta"); }, [](F& f) { Type(f.edStreamingTitle, "tb"); }, [](S& s) { return s.StreamingTitle(); }, "ta", "tb"},
      {"StreamingURL", [](S& s) { s.SetStreamingURL("ua"); }, [](F& f) { Type(f.edStreamingURL, "ub"); }, [](S& s) { return s.StreamingURL(); }, "ua", "ub"},
      {"StreamingGenre", [](S& s) { s.SetStreamingGenre("ga"); }, [](F& f) { Type(f.edStreamingGenre, "gb"); }, [](S& s) { return s.StreamingGenre(); }, "ga", "gb"},
      {"StreamingAIM", [](S& s) { s.SetStreamingAIM("aa"); }, [](F& f) { Type(f.edStreamingAIM, "ab"); }, [](S& s) { return s.StreamingAIM(); }, "aa", "ab"},
      {"StreamingIRC", [](S& s) { s.SetStreamingIRC("ia"); }, [](F& f) { Type(f.edStreamingIRC, "ib"); }, [](S& s) { return s.StreamingIRC(); }, "ia", "ib"},
      {"StreamingICQ", [](S& s) { s.SetStreamingICQ("qa"); }, [](F& f) { Type(f.edStreamingICQ, "qb"); }, [](S& s) { return s.StreamingICQ(); }, "qa", "qb"},
      {"StreamingDescription", [](S& s) { s.SetStreamingDescription("da"); }, [](F& f) { Type(f.edStreamingDescription, "db"); }, [](S& s) { return s.StreamingDescription(); }, "da", "db"},
      {"StreamingPublic", [](S& s) { s.SetStreamingPublic(true); }, [](F& f) { f.cbStreamingPublic->click(); }, [b](S& s) { return b(s.StreamingPublic()); }, "1", "0"},
      {"StreamingForwardMetadata", [](S& s) { s.SetStreamingForwardMetadata(true); }, [](F& f) { f.cbStreamingForwardMetadata->click(); }, [b](S& s) { return b(s.StreamingForwardMetadata()); }, "1", "0"},
      {"SilenceThreshold", [](S& s) { s.SetSilenceThreshold(-45); }, [](F& f) { Type(f.udSilenceThreshold, "-20"); }, [n](S& s) { return n(s.SilenceThreshold()); }, "-45", "-20"},
      {"SilenceDetection", [](S& s) { s.SetSilenceDetection(30); }, [](F& f) { Type(f.udSilenceDetection, "60"); }, [n](S& s) { return n(s.SilenceDetection()); }, "30", "60"},
      {"SilenceDetectionIfInactive", [](S& s) { s.SetSilenceDetectionIfInactive(true); }, [](F& f) { f.cbSilenceDetectionIfInactive->click(); }, [b](S& s) { return b(s.SilenceDetectionIfInactive()); }, "1", "0"},
      {"SendEmailSilenceDetected", [](S& s) { s.SetSendEmailSilenceDetected(true); }, [](F& f) { f.cbSendEmailSilenceDetected->click(); }, [b](S& s) { return b(s.SendEmailSilenceDetected()); }, "1", "0"},
      {"SendEmailSilenceOK", [](S& s) { s.SetSendEmailSilenceOK(true); }, [](F& f) { f.cbSendEmailSilenceOK->click(); }, [b](S& s) { return b(s.SendEmailSilenceOK()); }, "1", "0"},
      {"HTTPAlarmSilenceDetected", [](S& s) { s.SetHTTPAlarmSilenceDetected("http://a/d"); }, [](F& f) { Type(f.edHTTPAlarmSilenceDetected, "http://b/d"); }, [](S& s) { return s.HTTPAlarmSilenceDetected(); }, "http://a/d", "http://b/d"},
      {"HTTPAlarmSilenceOK", [](S& s) { s.SetHTTPAlarmSilenceOK("http://a/o"); }, [](F& f) { Type(f.edHTTPAlarmSilenceOK, "http://b/o"); }, [](S& s) { return s.HTTPAlarmSilenceOK(); }, "http://a/o", "http://b/o"},
  };
  for (const TField& field : fields) field.fSetA(Slot());
  auto unchanged = Open();
  unchanged->btnOK->click();
  ASSERT_EQ(unchanged->result(), QDialog::Accepted);
  for (const TField& field : fields) EXPECT_EQ(field.fGet(Slot()), field.fA) << field.fName << " after an unchanged OK";

  auto edited = Open();
  for (const TField& field : fields) field.fEditB(*edited);
  edited->btnOK->click();
  ASSERT_EQ(edited->result(), QDialog::Accepted);
  for (const TField& field : fields) EXPECT_EQ(field.fGet(Slot()), field.fB) << field.fName << " after editing";
}

// ------------------------------------------------------------------ through the window's entry

class ConfigureSlotEntryTest : public ::testing::Test {
protected:
  void SetUp() override { App(); }
  std::unique_ptr<TLoggerMain> Start(const std::string& iSlot0) {
    fTmp.Write("Vantorel.ini", "[Slot0]\nName=Morning\nFolder=" + fTmp.Path("rec") + "\n" + iSlot0);
    fIni = std::make_unique<TIniFile>(fTmp.Path("Vantorel.ini"));
    TStartupValues values;
    values.FullSlotCount = 1;
    TLoggerMainOptions options;
    options.PluginFolder = fTmp.Path("plugins/");
    auto controller = std::make_unique<TLoggerMain>(*fIni, values, std::move(options));
    controller->SetOnSlotStateChanged([this](int iIndex) { fStateChanged.push_back(iIndex); });
    return controller;
  }
  // Runs the entry; iEdit works on the open dialog and closes it.
  bool Execute(TLoggerMain& iController, std::function<void(TConfigureSlotForm&)> iEdit) {
    WhenModal<TConfigureSlotForm>(iEdit);
    return ExecuteConfigureSlot(iController, 0, nullptr);
  }

  TSlotTempFolder fTmp;
  std::unique_ptr<TIniFile> fIni;
  std::vector<int> fStateChanged;
};

// A stream slot records (the mixer's silence until the stream answers); when
// its file is closed, a name-only change raises no flag, yet the controller
// opens a file again because none is open, and the settings file has the name.
TEST_F(ConfigureSlotEntryTest, NameOnlyChangeStoresAndStartsAFileWhenNoneIsOpen) {
  auto controller = Start("Source=Stream\nStreamURL=http://127.0.0.1:9/none\nFormat=wav16\n");
  TSlotInfo& slot = controller->Slot(0);
  ASSERT_TRUE(RunUntil([&] { return slot.Recording(); })) << slot.ErrorMessage();
  slot.CloseRecording(false);
  ASSERT_FALSE(slot.Recording());
  const std::string url = slot.CurrentStreamURL();
  EXPECT_TRUE(Execute(*controller, [](TConfigureSlotForm& f) {
    Type(f.edName, "Evening");
    f.btnOK->click();
  }));
  EXPECT_TRUE(slot.Recording()) << "a file is open again";
  EXPECT_EQ(slot.CurrentStreamURL(), url);
  EXPECT_EQ(fStateChanged, std::vector<int>{0});
  EXPECT_EQ(TIniFile(fTmp.Path("Vantorel.ini")).ReadString("Slot0", "Name", ""), "Evening");
}

// Cancel after edits on every tab: the slot and the settings file stay as
// they were, and the controller does nothing.
TEST_F(ConfigureSlotEntryTest, CancelAfterEditsChangesNothing) {
  auto controller = Start("Source=None\nFormat=mp3\n");
  controller->FlushGlobalConfig();
  TSlotInfo& slot = controller->Slot(0);
  slot.FlushConfig();
  const std::string before = fTmp.Read("Vantorel.ini");
  EXPECT_FALSE(Execute(*controller, [](TConfigureSlotForm& f) {
    Type(f.edName, "Evening");
    f.rbStream->click();
    Type(f.edStreamURL, "http://radio.example/");
    f.cbFormat->setCurrentIndex(sfWAV16);
    Type(f.udCleanupDays, "3");
    f.cbStreamingEnabled->click();
    Type(f.udSilenceThreshold, "-60");
    f.cbRecordChannels->setCurrentIndex(rcLeft);
    f.btnCancel->click();
  }));
  EXPECT_EQ(slot.Name(), "Morning");
  EXPECT_EQ(slot.RecordSource(), rsDisabled);
  EXPECT_EQ(slot.AudioFormat(), sfMP3);
  EXPECT_EQ(slot.CleanupDays(), 365);
  EXPECT_FALSE(slot.StreamingEnabled());
  EXPECT_EQ(slot.SilenceThreshold(), -30);
  EXPECT_EQ(slot.RecordChannels(), rcStereo);
  EXPECT_TRUE(fStateChanged.empty());
  EXPECT_EQ(fTmp.Read("Vantorel.ini"), before);
}

// A changed stream URL restarts the source with the new URL; a changed format
// starts a new file in that format at once.
TEST_F(ConfigureSlotEntryTest, InputAndOutputChangesTakeEffectAtOnce) {
  auto controller = Start("Source=Stream\nStreamURL=http://127.0.0.1:9/a\nFormat=wav16\n");
  TSlotInfo& slot = controller->Slot(0);
  ASSERT_TRUE(RunUntil([&] { return slot.Recording() && slot.CurrentStreamURL() == "http://127.0.0.1:9/a"; }));
  const std::string firstFile = slot.CurrentFilename();
  EXPECT_TRUE(Execute(*controller, [](TConfigureSlotForm& f) {
    Type(f.edStreamURL, "http://127.0.0.1:9/b");
    f.btnOK->click();
  }));
  EXPECT_TRUE(RunUntil([&] { return slot.CurrentStreamURL() == "http://127.0.0.1:9/b"; })) << slot.CurrentStreamURL();
  const std::string secondFile = slot.CurrentFilename();

  EXPECT_TRUE(Execute(*controller, [](TConfigureSlotForm& f) {
    f.cbFormat->setCurrentIndex(sfWAV32);
    f.btnOK->click();
  }));
  EXPECT_TRUE(slot.Recording());
  EXPECT_NE(slot.CurrentFilename(), secondFile);
  EXPECT_EQ(TIniFile(fTmp.Path("Vantorel.ini")).ReadString("Slot0", "Format", ""), "wav32");
}

}  // namespace

namespace {

// "Reload" reloads the plug-in the slot holds at once, whatever the field
// says; "Configure..." is there only while a plug-in is loaded.
TEST_F(ConfigureSlotEntryTest, ReloadUsesTheSlotsPluginAndConfigureNeedsALoadedOne) {
  auto controller = Start("Source=None\nWinampPlugin=/usr/lib/ladspa/amp_1181.so#amp\n");
  TSlotInfo& slot = controller->Slot(0);
  const DWORD first = slot.WinampPluginHandle();
  ASSERT_NE(first, 0u);
  EXPECT_FALSE(Execute(*controller, [&](TConfigureSlotForm& f) {
    EXPECT_TRUE(f.btnWinampPluginConfigure->isEnabled());
    Type(f.edWinampPlugin, "");
    f.btnWinampPluginReload->click();
    f.btnCancel->click();
  }));
  EXPECT_NE(slot.WinampPluginHandle(), 0u) << "reloaded from the slot's path, not the emptied field";
  EXPECT_NE(slot.WinampPluginHandle(), first) << "a new load";
  EXPECT_EQ(slot.WinampPlugin(), "/usr/lib/ladspa/amp_1181.so#amp");

  // OK stores the empty path; the next Reload unloads, and the dialog then
  // offers no Configure.
  EXPECT_TRUE(Execute(*controller, [](TConfigureSlotForm& f) {
    Type(f.edWinampPlugin, "");
    f.btnOK->click();
  }));
  EXPECT_NE(slot.WinampPluginHandle(), 0u) << "a stored path takes effect at the next Reload";
  EXPECT_FALSE(Execute(*controller, [](TConfigureSlotForm& f) {
    f.btnWinampPluginReload->click();
    f.btnCancel->click();
  }));
  EXPECT_EQ(slot.WinampPluginHandle(), 0u);
  EXPECT_FALSE(Execute(*controller, [](TConfigureSlotForm& f) {
    EXPECT_FALSE(f.btnWinampPluginConfigure->isEnabled());
    f.btnCancel->click();
  }));
}

}  // namespace
