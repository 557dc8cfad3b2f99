#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "slot/SlotDatabase.h"
#include "support/DateTime.h"
#include "support/SimpleSQLInterface.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

// A fresh folder per test, removed afterwards.
class SlotDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vt-slotdb-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    fRoot = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(fRoot, ignored);
  }

  TSlotLogSink Sink() {
    return [this](const std::string& iMessage) { fLines.push_back(iMessage); };
  }

  fs::path fRoot;
  std::vector<std::string> fLines;
};

struct TLocationCase {
  const char* fDatabaseFile;
  const char* fDatabaseFolder;
  const char* fFolder;
  int32_t fIndex;
  const char* fExpected;
};

TEST(SlotDatabaseLocation, FollowsFileThenCommonFolderThenSlotFolder) {
  const TLocationCase cases[] = {
      {"", "", "/rec/Slot 1", 0, "/rec/Slot 1/Vantorel.db"},
      {"", "", "/rec/Slot 1/", 0, "/rec/Slot 1/Vantorel.db"},
      {"", "/db", "/rec/Slot 3", 2, "/db/Vantorel_2.db"},
      {"", "/db/", "/rec/Slot 1", 0, "/db/Vantorel_0.db"},
      {"/data/news.sqlite", "/db", "/rec/Slot 1", 5, "/data/news.sqlite"},
  };
  for (const TLocationCase& c : cases) {
    EXPECT_EQ(SlotDatabasePath(c.fDatabaseFile, c.fDatabaseFolder, c.fFolder, c.fIndex), c.fExpected)
        << "file '" << c.fDatabaseFile << "' folder '" << c.fDatabaseFolder << "' slot folder '" << c.fFolder << "'";
  }
}

TEST_F(SlotDatabaseTest, FirstConnectionCreatesFoldersFileAndTableEvenForAReadOnlyUse) {
  const std::string path = SlotDatabasePath("", "", (fRoot / "Rec" / "Slot 1").string(), 0);
  ISQLConnectionPtr connection = GetSlotDatabaseConnection(path);
  EXPECT_TRUE(fs::is_regular_file(path));
  ISQLResultSetPtr rows = connection->PrepareStatement("SELECT COUNT(*) FROM recordings")->ExecuteQueryPrepared();
  ASSERT_TRUE(rows->First());
  EXPECT_EQ(rows->GetInt(1), 0);
  // Asking again on an existing table is harmless.
  EXPECT_NO_THROW(GetSlotDatabaseConnection(path));
}

TEST_F(SlotDatabaseTest, RowIsOpenWhileWrittenAndHoldsDurationAfterClose) {
  ISQLConnectionPtr connection = GetSlotDatabaseConnection((fRoot / "Vantorel.db").string());
  const TDateTime start = EncodeDateTime(2024, 3, 5, 14, 0, 0, 250);
  const int32_t first = EnterRecording(*connection, start, "2024/03/05/news-2024-03-05-14-00-00.mp3", Sink());
  EXPECT_EQ(first, 1);

  auto readRow = [&](int32_t iID) {
    ISQLPreparedStatementPtr select =
        connection->PrepareStatement("SELECT starttime, duration, filename FROM recordings WHERE id=:id");
    select->SetIntByName("id", iID);
    ISQLResultSetPtr rows = select->ExecuteQueryPrepared();
    EXPECT_TRUE(rows->First());
    return rows;
  };
  {
    ISQLResultSetPtr row = readRow(first);
    EXPECT_EQ(row->GetString(1), "2024-03-05 14:00:00.250");
    EXPECT_TRUE(row->IsNull(2));
    EXPECT_EQ(row->GetString(3), "2024/03/05/news-2024-03-05-14-00-00.mp3");
  }

  // Rotation: the next file gets its own row, then the old one is closed.
  const int32_t second =
      EnterRecording(*connection, EncodeDateTime(2024, 3, 5, 15, 0, 0, 0), "2024/03/05/news-2024-03-05-15-00-00.mp3",
                     Sink());
  EXPECT_EQ(second, 2);
  StoreRecordingDuration(*connection, first, 3600.05, Sink());
  EXPECT_DOUBLE_EQ(readRow(first)->GetFloat(2), 3600.05);
  EXPECT_TRUE(readRow(second)->IsNull(2));
  EXPECT_TRUE(fLines.empty());

  // Ids are never reused, even for the highest row deleted.
  DeleteRecordingRow(*connection, second);
  EXPECT_EQ(EnterRecording(*connection, start, "x.mp3", Sink()), 3);
}

TEST_F(SlotDatabaseTest, StartTimeTextComparesWithTimestampBounds) {
  ISQLConnectionPtr connection = GetSlotDatabaseConnection((fRoot / "Vantorel.db").string());
  const TDateTime start = EncodeDateTime(2024, 3, 5, 14, 0, 0, 250);
  const int32_t id = EnterRecording(*connection, start, "a.mp3", Sink());
  ASSERT_NE(id, 0);

  struct TBounds {
    TDateTime fStart, fEnd;
    bool fFound;
  };
  const TBounds cases[] = {
      {EncodeDateTime(2024, 3, 5, 0, 0, 0, 0), EncodeDateTime(2024, 3, 6, 0, 0, 0, 0), true},
      {start, EncodeDateTime(2024, 3, 5, 14, 0, 0, 251), true},
      {EncodeDateTime(2024, 3, 5, 14, 0, 0, 251), EncodeDateTime(2024, 3, 6, 0, 0, 0, 0), false},
      {EncodeDateTime(2024, 3, 4, 0, 0, 0, 0), start, false},
  };
  ISQLPreparedStatementPtr select = connection->PrepareStatement(
      "SELECT id, starttime, duration FROM recordings WHERE starttime >= :start AND starttime < :end");
  for (const TBounds& c : cases) {
    select->SetTimestampByName("start", c.fStart);
    select->SetTimestampByName("end", c.fEnd);
    ISQLResultSetPtr rows = select->ExecuteQueryPrepared();
    EXPECT_EQ(rows->First(), c.fFound) << DateTimeToSQLText(c.fStart) << " .. " << DateTimeToSQLText(c.fEnd);
  }
}

TEST_F(SlotDatabaseTest, StatementErrorsAreLoggedAndRecordingGoesOn) {
  // A connection without the table: every statement of the slot fails in SQLite.
  ISQLConnectionPtr connection = OpenSlotDatabase((fRoot / "Vantorel.db").string());
  EXPECT_EQ(EnterRecording(*connection, Now(), "a.mp3", Sink()), 0);
  StoreRecordingDuration(*connection, 1, 12.0, Sink());
  ASSERT_EQ(fLines.size(), 2u);
  for (const std::string& line : fLines) {
    EXPECT_THAT(line, StartsWith("Error updating database: "));
    EXPECT_THAT(line, HasSubstr("no such table"));
  }
}

TEST_F(SlotDatabaseTest, DatabaseThatCannotBeOpenedRaisesToTheCaller) {
  const fs::path directory = fRoot / "adirectory";
  fs::create_directories(directory);
  const fs::path notADatabase = fRoot / "notes.db";
  std::ofstream(notADatabase) << "these are plain notes, long enough to fill a database header of one hundred bytes "
                                 "and some more, so SQLite sees garbage where its header should be";
  const fs::path blocker = fRoot / "blocker";
  std::ofstream(blocker) << "x";

  // The SQL layer passes SQLite's own message on.
  const struct {
    const char* fWhat;
    std::string fPath;
    const char* fText;
  } cases[] = {
      {"a folder in place of the file", directory.string(), "unable to open database file"},
      {"a file that is no database", notADatabase.string(), "file is not a database"},
      {"a folder that cannot be created", (blocker / "sub" / "Vantorel.db").string(), "unable to open database file"},
  };
  for (const auto& c : cases) {
    try {
      GetSlotDatabaseConnection(c.fPath);
      ADD_FAILURE() << c.fWhat << ": no error";
    } catch (const std::exception& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.fText)) << c.fWhat;
    }
  }
  EXPECT_TRUE(fLines.empty());
}

}  // namespace
