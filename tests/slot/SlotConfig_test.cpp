#include <gtest/gtest.h>

#include "shell/IniFile.h"
#include "shell/VantorelGlobals.h"
#include "slot/SlotInfo.h"
#include "SlotTestSupport.h"

namespace {

TEST(SlotConfig, MissingSectionGivesTheDefaults) {
  TSlotTempFolder tmp;
  TIniFile ini(tmp.Path("Vantorel.ini"));
  TSlotInfo slot(ini, false, 0);
  EXPECT_EQ(slot.Name(), "Slot 1");
  EXPECT_TRUE(slot.Enabled());
  EXPECT_EQ(slot.RecordSource(), rsDisabled);
  EXPECT_EQ(slot.AudioFormat(), sfMP3);
  EXPECT_EQ(slot.Bitrate(), 128);
  EXPECT_EQ(slot.Mode(), smStereo);
  EXPECT_EQ(slot.Samplerate(), 44100);
  EXPECT_EQ(slot.EffectiveSamplerate(), 44100);
  EXPECT_EQ(slot.TimeSlotLength(), 60);
  EXPECT_TRUE(slot.TimeSlotAlign());
  EXPECT_EQ(slot.TimeSlotOffset(), 0);
  EXPECT_TRUE(slot.CleanupDaysEnabled());
  EXPECT_EQ(slot.CleanupDays(), 365);
  EXPECT_TRUE(slot.CleanupSpaceEnabled());
  EXPECT_EQ(slot.CleanupSpace(), 5);
  EXPECT_EQ(slot.SilenceThreshold(), -30);
  EXPECT_EQ(slot.SilenceDetection(), 0);
  EXPECT_EQ(slot.StreamingPort(), 8000);
  EXPECT_EQ(slot.Folder(), GetSpecialFolder(spfMyMusic) + "/Vantorel/Slot 1");
  TSlotInfo third(ini, false, 2);
  EXPECT_EQ(third.Name(), "Slot 3");
}

TEST(SlotConfig, StoredWordsAreComparedExactly) {
  TSlotTempFolder tmp;
  tmp.Write("Vantorel.ini",
            "[Slot0]\nEnabled=On\nSource=soundcard\nChannels=Left\nFormat=MP3\nMode=Stereo\n"
            "[Slot1]\nEnabled=on\nSource=Soundcard\nChannels=right\nFormat=customraw\nMode=jointstereo\n"
            "Name=News\n");
  TIniFile ini(tmp.Path("Vantorel.ini"));
  {
    TSlotInfo a(ini, false, 0);
    EXPECT_FALSE(a.Enabled());
    EXPECT_EQ(a.RecordSource(), rsDisabled);
    EXPECT_EQ(a.RecordChannels(), rcStereo);
    EXPECT_EQ(a.AudioFormat(), sfMP3);
    EXPECT_EQ(a.Mode(), smMono);  // an unknown mode word is the first mode
    TSlotInfo b(ini, false, 1);
    EXPECT_TRUE(b.Enabled());
    EXPECT_EQ(b.RecordSource(), rsSoundcard);
    EXPECT_EQ(b.RecordChannels(), rcRight);
    EXPECT_EQ(b.AudioFormat(), sfCustomRaw);
    EXPECT_EQ(b.Mode(), smJointStereo);
    EXPECT_EQ(b.Folder(), GetSpecialFolder(spfMyMusic) + "/Vantorel/News");
  }
  // Written back in the words of the file format.
  TIniFile again(tmp.Path("Vantorel.ini"));
  EXPECT_EQ(again.ReadString("Slot0", "Source", ""), "None");
  EXPECT_EQ(again.ReadString("Slot0", "Enabled", ""), "off");
  EXPECT_EQ(again.ReadString("Slot0", "Channels", ""), "stereo");
  EXPECT_EQ(again.ReadString("Slot0", "Mode", ""), "mono");
}

TEST(SlotConfig, AlarmOnlySlotNeverRecords) {
  TSlotTempFolder tmp;
  tmp.Write("Vantorel.ini", "[Slot0]\nFormat=wav16\n");
  TIniFile ini(tmp.Path("Vantorel.ini"));
  {
    TSlotInfo slot(ini, true, 0);
    EXPECT_EQ(slot.AudioFormat(), sfNone);
    slot.SetAudioFormat(sfMP3);
    EXPECT_EQ(slot.AudioFormat(), sfNone);
    EXPECT_FALSE(slot.Recording());
  }
  TIniFile again(tmp.Path("Vantorel.ini"));
  EXPECT_EQ(again.ReadString("Slot0", "Format", ""), "none");
}

TEST(SlotConfig, GeneralDefaultsApplyUntilTheSlotHasItsOwnKey) {
  TSlotTempFolder tmp;
  tmp.Write("Vantorel.ini",
            "[General]\nTimeSlotLength=30\nTimeSlotOffset=-10\nDefaultClockSource=BASS:2\n"
            "StreamingConnectDelay=250\nDatabaseFolder=/db\n[Slot1]\nTimeSlotLength=15\n");
  TIniFile ini(tmp.Path("Vantorel.ini"));
  {
    TSlotInfo a(ini, false, 0);
    EXPECT_EQ(a.TimeSlotLength(), 30);
    EXPECT_EQ(a.TimeSlotOffset(), -10);
    TSlotInfo b(ini, false, 1);
    EXPECT_EQ(b.TimeSlotLength(), 15);
  }
  TIniFile again(tmp.Path("Vantorel.ini"));
  EXPECT_EQ(again.ReadInteger("Slot0", "TimeSlotLength", 0), 30);
  // the expert keys and [General] are never written by a slot
  EXPECT_EQ(again.ReadString("Slot0", "ClockSource", "missing"), "missing");
  EXPECT_EQ(again.ReadString("Slot0", "StreamingConnectDelay", "missing"), "missing");
  EXPECT_EQ(again.ReadInteger("General", "TimeSlotLength", 0), 30);
}

TEST(SlotConfig, FlushConfigRoundTripKeepsUnknownAndExpertKeys) {
  TSlotTempFolder tmp;
  tmp.Write("Vantorel.ini",
            "[Slot0]\nName=Morning Show\nFolder=/rec/morning\nCustomKey=keep me\nExtraSleep=300\n"
            "EncoderQueueLength=9000\nASIOWorkaround=on\n16bit=on\nSilenceThreshold=-45\nSamplerate=48000\n"
            "EncoderOptions=-q 2\nBitrate=0x40\n");
  TIniFile ini(tmp.Path("Vantorel.ini"));
  {
    TSlotInfo slot(ini, false, 0);
    EXPECT_TRUE(slot.Record16bit());
    EXPECT_EQ(slot.Bitrate(), 64);
    slot.SetDescription("Ümlaut text");
    slot.SetMode(smJointStereo);
    slot.SetSamplerate(32000);  // stored, the running rate stays
    EXPECT_EQ(slot.EffectiveSamplerate(), 48000);
    slot.FlushConfig();
  }
  const std::string text = tmp.Read("Vantorel.ini");
  EXPECT_NE(text.find("CustomKey=keep me"), std::string::npos);
  EXPECT_NE(text.find("ExtraSleep=300"), std::string::npos);
  EXPECT_NE(text.find("EncoderQueueLength=9000"), std::string::npos);
  EXPECT_NE(text.find("ASIOWorkaround=on"), std::string::npos);
  TIniFile again(tmp.Path("Vantorel.ini"));
  TSlotInfo reread(again, false, 0);
  EXPECT_EQ(reread.Name(), "Morning Show");
  EXPECT_EQ(reread.Description(), "Ümlaut text");
  EXPECT_EQ(reread.Folder(), "/rec/morning");
  EXPECT_EQ(reread.Mode(), smJointStereo);
  EXPECT_EQ(reread.Samplerate(), 32000);
  EXPECT_EQ(reread.SilenceThreshold(), -45);
  EXPECT_EQ(reread.EncoderOptions(), "-q 2");
  EXPECT_TRUE(reread.Record16bit());
}

// The file-closed command set in the dialog survives a restart; cleared, its
// key goes, and a slot that never had one gets no key at all.
TEST(SlotConfig, FileClosedCommandIsWrittenOnlyWhereASlotHasOne) {
  TSlotTempFolder tmp;
  tmp.Write("Vantorel.ini", "[Slot0]\nName=A\n[Slot1]\nName=B\n");
  TIniFile ini(tmp.Path("Vantorel.ini"));
  {
    TSlotInfo a(ini, false, 0), b(ini, false, 1);
    a.SetOnFileClosed("/usr/local/bin/upload %f");
    a.FlushConfig();
    b.FlushConfig();
  }
  {
    const std::string text = tmp.Read("Vantorel.ini");
    EXPECT_NE(text.find("OnFileClosed=/usr/local/bin/upload %f"), std::string::npos) << text;
    EXPECT_EQ(text.find("OnFileClosed="), text.rfind("OnFileClosed=")) << "slot B got the key too:\n" << text;
    TIniFile again(tmp.Path("Vantorel.ini"));
    TSlotInfo a(again, false, 0);
    EXPECT_EQ(a.OnFileClosed(), "/usr/local/bin/upload %f");
    a.SetOnFileClosed("");
    a.FlushConfig();
  }
  EXPECT_EQ(tmp.Read("Vantorel.ini").find("OnFileClosed"), std::string::npos);
}

TEST(SlotConfig, FreshSectionIsWrittenInTableOrder) {
  TSlotTempFolder tmp;
  {
    TIniFile ini(tmp.Path("Vantorel.ini"));
    TSlotInfo slot(ini, false, 0);
    slot.FlushConfig();
  }
  const std::string text = tmp.Read("Vantorel.ini");
  const char* order[] = {"Enabled=", "Name=", "Description=", "Folder=", "SecondaryFolder=", "FlatFilenames=",
                         "Source=", "16bit=", "Format=", "Samplerate=", "Mode=", "CleanupDays=",
                         "SilenceThreshold=-30", "StreamingEnabled=", "StreamingForwardMetadata=",
                         "HTTPAlarmSilenceOK=", "WinampPluginStreamOnly=off"};
  size_t last = 0;
  for (const char* key : order) {
    const size_t at = text.find(std::string("\n") + key);
    ASSERT_NE(at, std::string::npos) << key;
    EXPECT_GT(at, last) << key;
    last = at;
  }
  EXPECT_EQ(text.find("ClockSource="), std::string::npos);
  EXPECT_EQ(text.find("EncoderQueueLength="), std::string::npos);
}

// A shutdown flushes every slot inside one batch of the settings file: the
// file is rewritten once at the end of the batch, not once per slot.
TEST(SlotConfig, FlushInsideABatchWaitsForTheBatchToEnd) {
  TSlotTempFolder tmp;
  tmp.Write("Vantorel.ini", "[General]\nColumnCount=2\n");
  TIniFile ini(tmp.Path("Vantorel.ini"));
  TSlotInfo first(ini, false, 0);
  TSlotInfo second(ini, false, 1);
  {
    TIniUpdate batch(ini);
    first.FlushConfig();
    second.FlushConfig();
    EXPECT_EQ(tmp.Read("Vantorel.ini"), "[General]\nColumnCount=2\n") << "written before the batch ended";
    batch.Commit();
  }
  const std::string text = tmp.Read("Vantorel.ini");
  EXPECT_NE(text.find("[Slot0]"), std::string::npos);
  EXPECT_NE(text.find("[Slot1]"), std::string::npos);
  // on its own a flush still reaches the file at once
  first.SetDescription("Late news");
  first.FlushConfig();
  EXPECT_NE(tmp.Read("Vantorel.ini").find("Description=Late news"), std::string::npos);
}

}  // namespace
