#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "slot/SlotCleanup.h"
#include "slot/SlotDatabase.h"
#include "slot/SlotInfo.h"
#include "shell/IniFile.h"
#include "SlotTestSupport.h"
#include "support/DateTime.h"
#include "support/SimpleSQLInterface.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

constexpr int64_t kGiB = 1024LL * 1024 * 1024;

// A slot folder in a temporary tree, its database, and rows whose age is set
// through SQLite's own clock, as the age rule measures it.
class SlotCleanupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vt-cleanup-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    fRoot = pattern;
    fSlotFolder = (fRoot / "Rec" / "Slot 1").string();
    fs::create_directories(fSlotFolder);
    UseDatabase(SlotDatabasePath("", "", fSlotFolder, 0));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(fRoot, ignored);
  }

  void UseDatabase(const std::string& iPath) {
    fDatabasePath = iPath;
    fConnection = GetSlotDatabaseConnection(fDatabasePath);
  }

  std::string FullName(const std::string& iRelative) const { return fSlotFolder + "/" + iRelative; }

  // A row iAgeDays old; with iCreateFile also its file.
  int32_t AddRecording(const std::string& iRelative, int iAgeDays, bool iCreateFile = true) {
    const int32_t id = InsertRecordingRow(*fConnection, Now(), iRelative);
    ISQLPreparedStatementPtr age = fConnection->PrepareStatement(
        "UPDATE recordings SET starttime=strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime', :age) WHERE id=:id");
    age->SetStringByName("age", "-" + std::to_string(iAgeDays) + " days");
    age->SetIntByName("id", id);
    age->ExecuteUpdatePrepared();
    if (iCreateFile) WriteFile(FullName(iRelative));
    return id;
  }

  static void WriteFile(const fs::path& iPath) {
    fs::create_directories(iPath.parent_path());
    std::ofstream(iPath) << "audio";
  }

  std::vector<int32_t> RowIDs() const {
    std::vector<int32_t> ids;
    ISQLResultSetPtr rows = fConnection->PrepareStatement("SELECT id FROM recordings ORDER BY id")->ExecuteQueryPrepared();
    while (rows->Next()) ids.push_back(rows->GetInt(1));
    return ids;
  }

  TSlotCleanupContext Context() {
    TSlotCleanupContext context;
    context.fFolder = fSlotFolder;
    context.fGetDatabaseConnection = [this] { return GetSlotDatabaseConnection(fDatabasePath); };
    context.fLog = [this](const std::string& iMessage) { fLines.push_back(iMessage); };
    context.fFreeSpace = [this](const std::string& iFolder) {
      fFreeSpaceAskedFor = iFolder;
      return fFreeSpace;
    };
    return context;
  }

  bool Delete(int32_t iID, const std::string& iRelative) {
    return DeleteRecording(*fConnection, iID, FullName(iRelative), fSlotFolder,
                           [this](const std::string& iMessage) { fLines.push_back(iMessage); });
  }

  fs::path fRoot;
  std::string fSlotFolder;
  std::string fDatabasePath;
  ISQLConnectionPtr fConnection;
  std::vector<std::string> fLines;
  int64_t fFreeSpace = 100 * kGiB;
  std::string fFreeSpaceAskedFor;
};

TEST_F(SlotCleanupTest, AgeRuleDeletesExpiredRecordingsAndKeepsYoungerOnes) {
  AddRecording("2024/03/05/a.mp3", 366);
  const int32_t young = AddRecording("2024/03/06/b.mp3", 364);
  AddRecording("2023/01/01/moved.mp3", 400, false);  // moved away by hand

  EXPECT_TRUE(CleanUpByAge(Context(), true, 365));
  EXPECT_THAT(fLines, UnorderedElementsAre("Deleted " + FullName("2024/03/05/a.mp3"),
                                           "Warning: File was missing, deleted from database: " +
                                               FullName("2023/01/01/moved.mp3")));
  EXPECT_THAT(RowIDs(), ElementsAre(young));
  EXPECT_FALSE(fs::exists(FullName("2024/03/05")));
  EXPECT_TRUE(fs::exists(FullName("2024/03/06/b.mp3")));

  // Nothing left to do: the controller may switch its timer off.
  fLines.clear();
  EXPECT_FALSE(CleanUpByAge(Context(), true, 365));
  EXPECT_THAT(fLines, IsEmpty());
}

TEST_F(SlotCleanupTest, DisabledRulesTouchNothing) {
  AddRecording("2024/03/05/a.mp3", 1000);
  fFreeSpace = 0;
  EXPECT_FALSE(CleanUpByAge(Context(), false, 365));
  EXPECT_FALSE(CleanupBySpace(Context(), false, 5));
  EXPECT_EQ(RowIDs().size(), 1u);
  EXPECT_TRUE(fs::exists(FullName("2024/03/05/a.mp3")));
  EXPECT_THAT(fLines, IsEmpty());
}

TEST_F(SlotCleanupTest, EmptiedFoldersAreRemovedUpToTheSlotFolder) {
  const int32_t a = AddRecording("2024/03/05/a.mp3", 10);
  const int32_t b = AddRecording("2024/03/05/b.mp3", 10);
  const int32_t c = AddRecording("2024/04/01/c.mp3", 10);

  EXPECT_TRUE(Delete(a, "2024/03/05/a.mp3"));
  EXPECT_TRUE(fs::exists(FullName("2024/03/05")));  // b still lives there

  EXPECT_TRUE(Delete(b, "2024/03/05/b.mp3"));
  EXPECT_FALSE(fs::exists(FullName("2024/03")));
  EXPECT_TRUE(fs::exists(FullName("2024/04/01")));

  EXPECT_TRUE(Delete(c, "2024/04/01/c.mp3"));
  EXPECT_FALSE(fs::exists(FullName("2024")));
  EXPECT_TRUE(fs::exists(fDatabasePath));
  EXPECT_THAT(RowIDs(), IsEmpty());
}

TEST_F(SlotCleanupTest, SlotFolderStaysWhenTheDatabaseLiesElsewhere) {
  fSlotFolder = (fRoot / "Rec" / "Slot 2").string();
  UseDatabase(SlotDatabasePath("", (fRoot / "db").string(), fSlotFolder, 0));
  const int32_t id = AddRecording("2024/03/05/a.mp3", 10);
  EXPECT_TRUE(Delete(id, "2024/03/05/a.mp3"));
  EXPECT_FALSE(fs::exists(FullName("2024")));
  EXPECT_TRUE(fs::is_directory(fSlotFolder));
  EXPECT_TRUE(fs::is_empty(fSlotFolder));
}

// The waveform goes with its recording; the cue sheet, the list of what was
// played, stays for music reporting and keeps its day folder.
TEST_F(SlotCleanupTest, PeaksGoWithTheirRecordingButCueSheetsAndForeignFilesStay) {
  const int32_t a = AddRecording("2024/03/05/a.mp3", 10);
  WriteFile(FullName("2024/03/05/a.mp3.peaks"));
  WriteFile(FullName("2024/03/05/a.mp3.cue"));
  const int32_t moved = AddRecording("2024/03/06/b.mp3", 10, false);
  WriteFile(FullName("2024/03/06/b.mp3.peaks"));
  const int32_t c = AddRecording("2024/03/07/c.mp3", 10);
  WriteFile(FullName("2024/03/07/notes.txt"));

  EXPECT_TRUE(Delete(a, "2024/03/05/a.mp3"));
  EXPECT_FALSE(fs::exists(FullName("2024/03/05/a.mp3")));
  EXPECT_FALSE(fs::exists(FullName("2024/03/05/a.mp3.peaks")));
  EXPECT_TRUE(fs::exists(FullName("2024/03/05/a.mp3.cue")));
  EXPECT_TRUE(Delete(moved, "2024/03/06/b.mp3"));
  EXPECT_FALSE(fs::exists(FullName("2024/03/06")));
  EXPECT_TRUE(Delete(c, "2024/03/07/c.mp3"));
  EXPECT_TRUE(fs::exists(FullName("2024/03/07/notes.txt")));

  EXPECT_THAT(fLines, ElementsAre("Deleted " + FullName("2024/03/05/a.mp3"),
                                  "Warning: File was missing, deleted from database: " + FullName("2024/03/06/b.mp3"),
                                  "Deleted " + FullName("2024/03/07/c.mp3")));
}

TEST_F(SlotCleanupTest, RecordingThatCannotBeDeletedKeepsItsRowAndTheAgeRuleRetries) {
  // A folder where the recording should be: unlink refuses it with EISDIR,
  // whoever runs the test, and it must not be removed as if it were a file.
  const int32_t id = AddRecording("2024/03/05/a.mp3", 400, false);
  fs::create_directories(FullName("2024/03/05/a.mp3"));

  EXPECT_FALSE(Delete(id, "2024/03/05/a.mp3"));
  EXPECT_TRUE(CleanUpByAge(Context(), true, 365));
  const std::string error = "Error deleting " + FullName("2024/03/05/a.mp3") + ": Error code " + std::to_string(EISDIR);
  EXPECT_THAT(fLines, ElementsAre(error, error));
  EXPECT_THAT(RowIDs(), ElementsAre(id));
  EXPECT_TRUE(fs::is_directory(FullName("2024/03/05/a.mp3")));
}

// Through the slot: the rule still retries every second, but a file that
// cannot be deleted has its error logged once an hour, not every second (where
// it would push every other line out of the message log).
TEST_F(SlotCleanupTest, SlotLogsAnUndeletableFileOnceAnHour) {
  AddRecording("2024/03/05/a.mp3", 400, false);
  fs::create_directories(FullName("2024/03/05/a.mp3"));
  TSlotTempFolder settings;
  settings.Write("Vantorel.ini", "[Slot0]\nName=Test\nSource=None\nFolder=" + fSlotFolder + "\n");
  TIniFile ini(settings.Path("Vantorel.ini"));
  auto clock = std::make_shared<TFakeSlotClock>();
  TSlotInfo slot(ini, false, 0, clock);
  std::vector<std::string> lines;
  slot.SetOnLogMessage([&lines](const void*, const std::string& iMessage) { lines.push_back(iMessage); });

  const std::string error = "Error deleting " + FullName("2024/03/05/a.mp3");
  auto errors = [&] { return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(error) != std::string::npos; }); };
  for (int tick = 0; tick < 5; ++tick) {
    EXPECT_TRUE(slot.CleanUpByAge()) << "the rule keeps asking to be run again";
    clock->Advance(1000);
  }
  EXPECT_EQ(errors(), 1);
  clock->Advance(3600 * 1000);
  EXPECT_TRUE(slot.CleanUpByAge());
  EXPECT_EQ(errors(), 2);
  EXPECT_EQ(RowIDs().size(), 1u);
}

TEST_F(SlotCleanupTest, SpaceRuleDeletesOneOldestRecordingPerCallUntilTheFloorIsReached) {
  AddRecording("2024/03/05/a.mp3", 3);
  const int32_t b = AddRecording("2024/03/05/b.mp3", 2);
  const int32_t c = AddRecording("2024/03/05/c.mp3", 1);
  fFreeSpace = 4 * kGiB + kGiB / 2;  // a floor of 5 GiB does not fit 32 bits

  EXPECT_TRUE(CleanupBySpace(Context(), true, 5));
  EXPECT_EQ(fFreeSpaceAskedFor, fSlotFolder);
  EXPECT_THAT(RowIDs(), ElementsAre(b, c));
  EXPECT_TRUE(CleanupBySpace(Context(), true, 5));
  EXPECT_THAT(RowIDs(), ElementsAre(c));

  fFreeSpace = 5 * kGiB;
  EXPECT_FALSE(CleanupBySpace(Context(), true, 5));
  fFreeSpace = -1;  // the query failed
  EXPECT_FALSE(CleanupBySpace(Context(), true, 5));
  EXPECT_THAT(RowIDs(), ElementsAre(c));
  EXPECT_THAT(fLines, ElementsAre("Deleted " + FullName("2024/03/05/a.mp3"), "Deleted " + FullName("2024/03/05/b.mp3")));
}

TEST_F(SlotCleanupTest, SpaceRulePassesOverUndeletableAndCurrentFiles) {
  const int32_t stuck = AddRecording("2024/03/05/stuck.mp3", 3, false);
  fs::create_directories(FullName("2024/03/05/stuck.mp3"));
  const int32_t current = AddRecording("2024/03/05/current.mp3", 2);
  AddRecording("2024/03/05/old.mp3", 1);
  fFreeSpace = 0;
  TSlotCleanupContext context = Context();
  context.fCurrentFilename = FullName("2024/03/05/current.mp3");

  EXPECT_TRUE(CleanupBySpace(context, true, 5));
  EXPECT_THAT(RowIDs(), ElementsAre(stuck, current));
  // Only what cannot or must not go is left: no more work.
  EXPECT_FALSE(CleanupBySpace(context, true, 5));
  EXPECT_THAT(RowIDs(), ElementsAre(stuck, current));
  EXPECT_TRUE(fs::exists(FullName("2024/03/05/current.mp3")));
}

TEST_F(SlotCleanupTest, AgeRuleLeavesTheFileBeingWrittenAlone) {
  AddRecording("forever.mp3", 400);
  TSlotCleanupContext context = Context();
  context.fCurrentFilename = FullName("forever.mp3");
  EXPECT_FALSE(CleanUpByAge(context, true, 365));
  EXPECT_TRUE(fs::exists(FullName("forever.mp3")));
  EXPECT_EQ(RowIDs().size(), 1u);
}

TEST_F(SlotCleanupTest, FreeSpaceComesFromTheNearestExistingFolder) {
  const fs::path file = fRoot / "plain-file";
  WriteFile(file);
  const struct {
    const char* fWhat;
    std::string fFolder;
  } cases[] = {
      {"existing folder", fSlotFolder},
      {"folder not created yet", (fRoot / "new" / "Slot 9").string()},
      {"a file in the way", (file / "Slot 9").string()},
  };
  for (const auto& c : cases) EXPECT_GT(FreeDiskSpace(c.fFolder), 0) << c.fWhat;
  EXPECT_EQ(FreeDiskSpace(""), -1);
}

}  // namespace
