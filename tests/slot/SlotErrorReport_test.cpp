// What a slot tells a station that watches only its log and /ws/slots: each
// failure once when it begins and once when it clears, while the slot retries;
// and the settings a slot cannot use as they stand.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "audio/engine/EngineTestHook.h"
#include "shell/IniFile.h"
#include "slot/SlotErrorReport.h"
#include "slot/SlotInfo.h"
#include "slot/SlotRotation.h"
#include "SlotRunSupport.h"
#include "SlotTestSupport.h"

namespace {

TEST(SlotErrorReport, LinesOnlyWhenAFailureBeginsChangesOrClears) {
  TSlotErrorReport report;
  struct TStep {
    TSlotErrorKind fKind;
    std::string fError, fBeginLine;
    std::string fLine, fText;  // expected
  } steps[] = {
      {ekFile, "Cannot create folder /r: Not a directory", "", "Cannot create folder /r: Not a directory",
       "Cannot create folder /r: Not a directory"},
      {ekFile, "Cannot create folder /r: Not a directory", "", "", "Cannot create folder /r: Not a directory"},  // a retry
      {ekStream, "Cannot open the stream: x", "", "Cannot open the stream: x",
       "Cannot open the stream: x; Cannot create folder /r: Not a directory"},
      {ekFile, "", "", "Recording again after: Cannot create folder /r: Not a directory", "Cannot open the stream: x"},
      {ekFile, "", "", "", "Cannot open the stream: x"},
      {ekStream, "Stream lost, reconnecting", "", "Stream lost, reconnecting", "Stream lost, reconnecting"},
      {ekStream, "", "", "Stream playing again after: Stream lost, reconnecting", ""},
      {ekDatabase, "Cannot open database /d: file is not a database", "",
       "Cannot open database /d: file is not a database", "Cannot open database /d: file is not a database"},
      {ekDatabase, "", "", "Database usable again after: Cannot open database /d: file is not a database", ""},
      // an input's failure has its own line; "Recording from <input>" tells its end
      {ekInput, "Invalid device", "Recording error: Invalid device", "Recording error: Invalid device", "Invalid device"},
      {ekInput, "", "", "", ""},
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.fError);
    EXPECT_EQ(report.Set(step.fKind, step.fError, step.fBeginLine), step.fLine);
    EXPECT_EQ(report.Text(), step.fText);
  }
  report.Set(ekFile, "gone");
  report.Withdraw(ekFile);
  EXPECT_EQ(report.Text(), "");
  EXPECT_EQ(report.Set(ekFile, ""), "") << "a withdrawn failure has nothing left to clear";
}

TEST(SlotErrorReport, FileStartErrorNamesTheCauseButNotTheFile) {
  const std::string engine = "can't open the file (BASS error 2)";
  EXPECT_EQ(FileStartError("Cannot create folder /r: Permission denied", 2, "\"lame\" -r x", false),
            "Cannot create folder /r: Permission denied");
  EXPECT_EQ(FileStartError("", 2, "\"/opt/my enc/lame\" --flush \"/r/a.mp3\"", false),
            "Cannot start encoder \"/opt/my enc/lame\": " + engine);
  EXPECT_EQ(FileStartError("", 2, "oggenc -r", false), "Cannot start encoder \"oggenc\": " + engine);
  EXPECT_EQ(FileStartError("", 33, "/r/2024-03-05-14-00-00.wav", true),
            "Cannot write WAV file: couldn't create the file (BASS error 33)");
}

// A slot recording a generated stream on a fake clock, with its log.
class SlotErrorTest : public ::testing::Test {
protected:
  void Configure(const std::string& iSlotKeys) {
    fTmp.Write("Vantorel.ini", "[Slot0]\nName=Test\nSource=Stream\nStreamURL=lavfi:anullsrc=r=8000\n" + iSlotKeys);
    fIni = std::make_unique<TIniFile>(fTmp.Path("Vantorel.ini"));
    fClock = std::make_shared<TFakeSlotClock>();
    fClock->Set(EncodeDateTime(2024, 3, 5, 14, 10, 0, 0), 1000);
    fSlot = std::make_unique<TSlotInfo>(*fIni, false, 0, fClock);
    fSlot->SetOnLogMessage([this](const void*, const std::string& iMessage) {
      std::lock_guard<std::mutex> lock(fLock);
      fLines.push_back(iMessage);
    });
    fSlot->Initialize();
    fSlot->StartRecording();
  }
  // The controller's 100 ms tick, for iMilliseconds of the fake clock.
  void Tick(int iMilliseconds) {
    for (int t = 0; t < iMilliseconds; t += 100) {
      fClock->Advance(100);
      fSlot->RotationCheck();
    }
  }
  size_t Count(const std::string& iStart) {
    std::lock_guard<std::mutex> lock(fLock);
    return size_t(std::count_if(fLines.begin(), fLines.end(), [&](const std::string& l) { return l.rfind(iStart, 0) == 0; }));
  }
  std::string Lines() {
    std::lock_guard<std::mutex> lock(fLock);
    std::string all;
    for (const std::string& l : fLines) all += l + "\n";
    return all;
  }

  TSlotTempFolder fTmp;
  std::unique_ptr<TIniFile> fIni;
  std::shared_ptr<TFakeSlotClock> fClock;
  std::mutex fLock;
  std::vector<std::string> fLines;  // outlives the slot, which may log as it goes
  std::unique_ptr<TSlotInfo> fSlot;
};

// The recording folder lies below a plain file, so it cannot be created. The
// slot retries every 10 s; the log has the reason once, not once per try.
TEST_F(SlotErrorTest, FolderThatCannotBeCreatedIsLoggedOnceAndItsEndToo) {
  fTmp.Write("blocker", "a file where a folder should be");
  Configure("Format=wav16\nFolder=" + fTmp.Path("blocker/rec") + "\nDatabaseFile=" + fTmp.Path("slot.db") + "\n");
  const std::string error = "Cannot create folder " + fTmp.Path("blocker/rec/2024/03/05") + ": Not a directory";
  Tick(35000);
  EXPECT_EQ(fSlot->Encoder(), 0u);
  EXPECT_EQ(fSlot->ErrorMessage(), error);
  EXPECT_EQ(Count("Test: " + error), 1u) << Lines();

  std::filesystem::remove(fTmp.Path("blocker"));
  Tick(11000);
  ASSERT_NE(fSlot->Encoder(), 0u) << fSlot->ErrorMessage();
  EXPECT_EQ(fSlot->ErrorMessage(), "");
  EXPECT_EQ(Count("Test: Recording again after: " + error), 1u) << Lines();
  EXPECT_EQ(Count("Test: Encoding to file "), 1u);
}

TEST_F(SlotErrorTest, EncoderThatWillNotStartIsLoggedOnce) {
  Configure("Format=customraw\nFileExtension=raw\nEncoderFilename=" + fTmp.Path("no-such-encoder") +
            "\nEncoderOptions=$FILENAME\nTimeSlotAlign=off\nFolder=" + fTmp.Path("rec") + "\nDatabaseFile=" +
            fTmp.Path("slot.db") + "\n");
  Tick(35000);
  EXPECT_EQ(fSlot->Encoder(), 0u);
  const std::string error = "Cannot start encoder \"" + fTmp.Path("no-such-encoder") + "\": ";
  EXPECT_EQ(fSlot->ErrorMessage().rfind(error, 0), 0u) << fSlot->ErrorMessage();
  EXPECT_EQ(Count("Test: " + error), 1u) << Lines();
}

// A database file that is not SQLite: the recording goes on without rows, and
// neither each new file nor each cleanup pass repeats the error.
TEST_F(SlotErrorTest, DatabaseThatIsNotSQLiteIsLoggedOnceAndItsEndToo) {
  fTmp.Write("slot.db", "these are a station engineer's notes, not a database\n" + std::string(4096, 'x'));
  Configure("Format=wav16\nTimeSlotAlign=off\nTimeSlotLength=1\nFolder=" + fTmp.Path("rec") + "\nDatabaseFile=" +
            fTmp.Path("slot.db") + "\n");
  for (int file = 0; file < 3; ++file) {
    Tick(61000);
    EXPECT_FALSE(fSlot->CleanUpByAge());
    EXPECT_FALSE(fSlot->CleanupBySpace());
  }
  EXPECT_NE(fSlot->Encoder(), 0u) << "the recording goes on";
  EXPECT_GE(Count("Test: Encoding to file "), 3u) << Lines();
  const std::string error = "Cannot open database " + fTmp.Path("slot.db") + ": file is not a database";
  EXPECT_EQ(fSlot->ErrorMessage(), error);
  EXPECT_EQ(Count("Test: " + error), 1u) << Lines();
  EXPECT_EQ(Count("Test: Error updating database"), 0u) << Lines();

  std::filesystem::remove(fTmp.Path("slot.db"));
  Tick(61000);
  EXPECT_EQ(fSlot->ErrorMessage(), "");
  EXPECT_EQ(Count("Test: Database usable again after: " + error), 1u) << Lines();
  EXPECT_NE(fSlot->CurrentRecordingID(), 0);
}

// A sample rate of 0 or less can make no mixer. A logger that then recorded
// nothing would lose the station's audio for a typing error: the slot records
// at the default rate and says so once.
TEST_F(SlotErrorTest, SampleRateOfZeroOrLessRecordsAtTheDefault) {
  for (const std::string rate : {"0", "-44100"}) {
    SCOPED_TRACE(rate);
    fLines.clear();
    Configure("Samplerate=" + rate + "\nFormat=wav16\nFolder=" + fTmp.Path("rec" + rate) + "\nDatabaseFile=" +
              fTmp.Path("slot" + rate + ".db") + "\n");
    EXPECT_EQ(fSlot->EffectiveSamplerate(), 44100);
    EXPECT_EQ(fSlot->Samplerate(), std::stoi(rate)) << "the key keeps what was written";
    EXPECT_EQ(Count("Test: Invalid sample rate " + rate + ": recording at 44100 Hz"), 1u) << Lines();
    ASSERT_TRUE(fSlot->RotationCheck());
    ASSERT_NE(fSlot->Encoder(), 0u) << fSlot->ErrorMessage();
    const std::string file = fSlot->CurrentFilename();
    Tick(1000);
    ASSERT_TRUE(WaitUntil([&] { return fSlot->GetCurrentRecordingDuration() >= 0.99f; })) << Lines();
    fSlot.reset();
    ASSERT_TRUE(vt::engine::test::WaitForEncoders(std::chrono::seconds(10)));
    EXPECT_EQ(Count("Test: "), 2u) << "the warning, the file and nothing else:\n" << Lines();
    EXPECT_GT(std::filesystem::file_size(file), 44100u * 2 * 2 / 2);
  }
}

// A length far beyond any time since the grid's origin would keep an aligned
// slot in slot 0, the identity it has before its first file: it never started
// one. Lengths above a year count as a year.
TEST_F(SlotErrorTest, TimeSlotLengthBeyondAYearIsCutToAYear) {
  EXPECT_EQ(EffectiveTimeSlotLength(kMaxTimeSlotLength), kMaxTimeSlotLength);
  EXPECT_EQ(EffectiveTimeSlotLength(kMaxTimeSlotLength + 1), kMaxTimeSlotLength);
  EXPECT_EQ(EffectiveTimeSlotLength(2147483647), kMaxTimeSlotLength);
  EXPECT_NE(TimeSlotIdentity(EncodeDateTime(2024, 3, 5, 14, 10, 0, 0), 2147483647, 0), 0.0);

  Configure("TimeSlotLength=2147483647\nFormat=wav16\nFolder=" + fTmp.Path("rec") + "\nDatabaseFile=" +
            fTmp.Path("slot.db") + "\n");
  EXPECT_EQ(Count("Test: Invalid time slot length 2147483647 minutes: files are cut every 525600 minutes"), 1u)
      << Lines();
  EXPECT_TRUE(fSlot->RotationCheck()) << "the first tick starts a file";
  EXPECT_NE(fSlot->Encoder(), 0u) << fSlot->ErrorMessage();
  Tick(60000);
  EXPECT_EQ(Count("Test: Encoding to file "), 1u);
  fSlot->SetTimeSlotLength(1000000);
  EXPECT_FALSE(fSlot->RotationCheck()) << "the same year-long slot";

  fSlot.reset();
  fLines.clear();
  Configure("TimeSlotLength=0\nFormat=wav16\nFolder=" + fTmp.Path("rec") + "\nDatabaseFile=" + fTmp.Path("slot.db") + "\n");
  EXPECT_EQ(Count("Test: Invalid time slot length 0 minutes: files are cut every 1 minute"), 1u) << Lines();
}

}  // namespace
