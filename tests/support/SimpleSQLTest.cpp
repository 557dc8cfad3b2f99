#include "support/SimpleSQL.h"

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "TempFolder.h"

namespace {

using namespace std::chrono_literals;

template <class F>
std::string ErrorOf(F iCall) {
  try {
    iCall();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

// A slot-style database in a temporary folder, with the recordings table.
class SimpleSQL : public testing::Test {
protected:
  void SetUp() override {
    fPath = fFolder.File("Slot0.db");
    fConnection = Open();
    Update("CREATE TABLE recordings (id INTEGER PRIMARY KEY, starttime DATETIME, filename VARCHAR(255), "
           "duration FLOAT, size INTEGER, data BLOB)");
  }
  ISQLConnectionPtr Open(const std::string& iExtra = "") {
    return CreateSQLConnection(SQLiteConnectionString(fPath) + iExtra);
  }
  int Update(const std::string& iSQL, const ISQLConnectionPtr& iConnection = nullptr) {
    return (iConnection ? iConnection : fConnection)->PrepareStatement(iSQL)->ExecuteUpdatePrepared();
  }
  int Count(const ISQLConnectionPtr& iConnection = nullptr) {
    auto rs = (iConnection ? iConnection : fConnection)->PrepareStatement("SELECT COUNT(*) FROM recordings")
                  ->ExecuteQueryPrepared();
    EXPECT_TRUE(rs->First());
    return rs->GetInt(1);
  }

  TTempFolder fFolder;
  std::string fPath;
  ISQLConnectionPtr fConnection;
};

TEST_F(SimpleSQL, NamedAndPositionalParametersRoundTrip) {
  auto insert = fConnection->PrepareStatement(
      "INSERT INTO recordings (starttime, filename, duration, size, data) "
      "VALUES (:starttime, :filename, :duration, :size, :data)");
  const TDateTime start = EncodeDateTime(2024, 3, 5, 7, 0, 0, 0);
  insert->SetTimestampByName("starttime", start);
  insert->SetStringByName("filename", "2024/03/05/07-00 'quoted' \xC3\x84.mp3");
  insert->SetFloatByName("duration", 3599.5);
  insert->SetIntByName("size", 123456);
  insert->SetBinaryStreamByName("data", TSQLBytes{0, 1, 255});
  EXPECT_EQ(insert->ExecuteUpdatePrepared(), 1);

  // the same name twice is one parameter; "?" counts on from there
  auto select = fConnection->PrepareStatement(
      "SELECT id, starttime, filename, duration, size, data FROM recordings "
      "WHERE starttime >= :from AND starttime < :from || 'z' AND size > ?");
  select->SetTimestampByName("from", start);
  select->SetInt(2, 1000);
  auto rs = select->ExecuteQueryPrepared();
  ASSERT_TRUE(rs->Next());
  EXPECT_EQ(rs->GetInt(1), 1);
  EXPECT_EQ(rs->GetTimestamp(2), start);
  EXPECT_EQ(rs->GetString(2), "2024-03-05 07:00:00.000");
  EXPECT_EQ(rs->GetString(3), "2024/03/05/07-00 'quoted' \xC3\x84.mp3");
  EXPECT_EQ(rs->GetFloat(4), 3599.5);
  EXPECT_EQ(rs->GetInt(5), 123456);
  EXPECT_EQ(rs->GetBinaryStream(6), (TSQLBytes{0, 1, 255}));
  EXPECT_FALSE(rs->Next());

  ASSERT_EQ(rs->GetColumnCount(), 6);
  const char* names[] = {"id", "starttime", "filename", "duration", "size", "data"};
  const TFieldType types[] = {ftInteger, ftDateTime, ftWideString, ftFloat, ftInteger, ftBlob};
  for (int c = 1; c <= 6; ++c) {
    EXPECT_EQ(rs->GetColumnName(c), names[c - 1]);
    EXPECT_EQ(rs->GetColumnFieldType(c), types[c - 1]) << names[c - 1];
  }
}

TEST_F(SimpleSQL, ParameterErrors) {
  auto stmt = fConnection->PrepareStatement(
      "SELECT * FROM recordings WHERE filename = ':notaparam' -- :comment\n AND size = :size /* :x */ AND id = ?");
  EXPECT_EQ(ErrorOf([&] { stmt->SetIntByName("starttime", 1); }), "Invalid param: starttime");
  EXPECT_EQ(ErrorOf([&] { stmt->SetStringByName("notaparam", ""); }), "Invalid param: notaparam");
  EXPECT_EQ(ErrorOf([&] { stmt->SetNullByName("comment", ftString); }), "Invalid param: comment");
  EXPECT_EQ(ErrorOf([&] { stmt->SetFloatByName("x", 1); }), "Invalid param: x");
  EXPECT_EQ(ErrorOf([&] { stmt->SetTimestampByName(":size", 1); }), "Invalid param: :size");
  for (int index : {0, 3, -1}) {
    SCOPED_TRACE(index);
    EXPECT_THROW(stmt->SetInt(index, 1), std::out_of_range);
  }
  stmt->SetIntByName("size", 1);
  stmt->SetInt(2, 1);
  EXPECT_FALSE(stmt->ExecuteQueryPrepared()->Next());
}

TEST_F(SimpleSQL, NullsReadAsEmptyValues) {
  auto insert = fConnection->PrepareStatement(
      "INSERT INTO recordings (starttime, filename, duration, size, data) VALUES (?, ?, :duration, :size, ?)");
  insert->SetNull(1, ftDateTime);
  insert->SetNull(2, ftString);
  insert->SetNullByName("duration", ftFloat);
  insert->SetValueByName("size", std::monostate{});
  // the blob parameter is left unset: it is null too
  insert->ExecuteUpdatePrepared();
  auto rs = fConnection->PrepareStatement("SELECT starttime, filename, duration, size, data FROM recordings")
                ->ExecuteQueryPrepared();
  ASSERT_TRUE(rs->First());
  for (int c = 1; c <= 5; ++c) {
    SCOPED_TRACE(c);
    EXPECT_TRUE(rs->IsNull(c));
    EXPECT_EQ(rs->GetString(c), "");
    EXPECT_EQ(rs->GetInt(c), 0);
    EXPECT_EQ(rs->GetFloat(c), 0);
    EXPECT_EQ(rs->GetTimestamp(c), 0);
    EXPECT_TRUE(rs->GetBinaryStream(c).empty());
    EXPECT_EQ(rs->GetValue(c).index(), 0u);
  }
}

TEST_F(SimpleSQL, DatesAreStoredAsSortableText) {
  const TDateTime stamp = EncodeDateTime(2024, 3, 5, 7, 8, 9, 10);
  auto insert = fConnection->PrepareStatement("INSERT INTO recordings (starttime, filename) VALUES (?, ?)");
  insert->SetTimestamp(1, stamp);
  insert->SetString(2, "stamp");
  insert->ExecuteUpdatePrepared();
  insert->SetDate(1, stamp);
  insert->SetString(2, "date");
  insert->ExecuteUpdatePrepared();
  insert->SetTime(1, stamp);
  insert->SetString(2, "time");
  insert->ExecuteUpdatePrepared();

  auto rs = fConnection
                ->PrepareStatement("SELECT starttime, typeof(starttime), julianday(starttime), filename "
                                   "FROM recordings ORDER BY id")
                ->ExecuteQueryPrepared();
  struct TRow {
    const char *fText, *fName;
    TDateTime fValue;
  };
  const TRow rows[] = {{"2024-03-05 07:08:09.010", "stamp", stamp},
                       {"2024-03-05", "date", EncodeDateTime(2024, 3, 5, 0, 0, 0, 0)},
                       {"07:08:09.010", "time", stamp - EncodeDateTime(2024, 3, 5, 0, 0, 0, 0)}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fName);
    ASSERT_TRUE(rs->Next());
    EXPECT_EQ(rs->GetString(1), row.fText);
    EXPECT_EQ(rs->GetString(2), "text");
    EXPECT_FALSE(rs->IsNull(3));  // SQLite's date functions read the text
    EXPECT_NEAR(rs->GetTimestamp(1), row.fValue, 1e-9);
  }
  rs->First();
  EXPECT_NEAR(rs->GetDate(1), EncodeDateTime(2024, 3, 5, 0, 0, 0, 0), 1e-9);
  EXPECT_NEAR(rs->GetTime(1), rows[2].fValue, 1e-9);

  // range conditions on the text compare in time order
  auto range = fConnection->PrepareStatement(
      "SELECT COUNT(*) FROM recordings WHERE filename = 'stamp' AND starttime >= :from AND starttime < :to");
  struct TRange {
    TDateTime fFrom, fTo;
    int fCount;
  };
  const TRange ranges[] = {{stamp, stamp + 1.0 / 86400000, 1},
                           {stamp - 1.0 / 86400, stamp, 0},
                           {stamp + 1.0 / 86400000, stamp + 1, 0},
                           {EncodeDateTime(2024, 3, 1, 0, 0, 0, 0), EncodeDateTime(2024, 4, 1, 0, 0, 0, 0), 1}};
  for (const auto& r : ranges) {
    range->SetTimestampByName("from", r.fFrom);
    range->SetTimestampByName("to", r.fTo);
    auto count = range->ExecuteQueryPrepared();
    ASSERT_TRUE(count->First());
    EXPECT_EQ(count->GetInt(1), r.fCount) << DateTimeToSQLText(r.fFrom) << " .. " << DateTimeToSQLText(r.fTo);
  }

  Update("UPDATE recordings SET starttime = 'garbage' WHERE filename = 'stamp'");
  rs = fConnection->PrepareStatement("SELECT starttime FROM recordings WHERE filename = 'stamp'")->ExecuteQueryPrepared();
  ASSERT_TRUE(rs->First());
  EXPECT_EQ(ErrorOf([&] { rs->GetTimestamp(1); }), "Invalid date-time value: garbage");
}

TEST_F(SimpleSQL, StatementRunsAgainWithNewAndKeptValues) {
  auto insert = fConnection->PrepareStatement("INSERT INTO recordings (filename, size) VALUES (:filename, :size)");
  insert->SetStringByName("filename", "a");
  insert->SetIntByName("size", 1);
  insert->ExecuteUpdatePrepared();
  insert->SetStringByName("filename", "b");  // size stays bound
  insert->ExecuteUpdatePrepared();
  insert->SetIntByName("size", 7);
  insert->ExecuteUpdatePrepared();

  auto select = fConnection->PrepareStatement("SELECT filename, size FROM recordings WHERE size >= ? ORDER BY id");
  std::string seen;
  for (int minimum : {0, 5}) {
    select->SetInt(1, minimum);
    auto rs = select->ExecuteQueryPrepared();
    while (rs->Next()) seen += rs->GetString(1) + std::to_string(rs->GetInt(2)) + " ";
    seen += "| ";
  }
  EXPECT_EQ(seen, "a1 b1 b7 | b7 | ");

  auto update = fConnection->PrepareStatement("UPDATE recordings SET duration = :d WHERE size = :s");
  update->SetFloatByName("d", 1.5);
  update->SetIntByName("s", 1);
  EXPECT_EQ(update->ExecuteUpdatePrepared(), 2);
  update->SetIntByName("s", 99);
  EXPECT_EQ(update->ExecuteUpdatePrepared(), 0);
}

TEST_F(SimpleSQL, EmptyResult) {
  auto rs = fConnection->PrepareStatement("SELECT id FROM recordings")->ExecuteQueryPrepared();
  EXPECT_FALSE(rs->Next());
  EXPECT_FALSE(rs->First());
  EXPECT_EQ(rs->GetColumnCount(), 1);
  EXPECT_THROW(rs->GetInt(1), std::out_of_range);  // no row to read
}

TEST_F(SimpleSQL, ResultOutlivesStatementAndConnection) {
  Update("INSERT INTO recordings (filename) VALUES ('one'), ('two')");
  ISQLResultSetPtr rs;
  {
    auto connection = Open();
    rs = connection->PrepareStatement("SELECT filename FROM recordings ORDER BY id")->ExecuteQueryPrepared();
  }
  fConnection.reset();
  ASSERT_TRUE(rs->Next());
  EXPECT_EQ(rs->GetString(1), "one");
  ASSERT_TRUE(rs->Next());
  EXPECT_EQ(rs->GetString(1), "two");
  EXPECT_FALSE(rs->Next());
  ASSERT_TRUE(rs->First());
  EXPECT_EQ(rs->GetString(1), "one");
}

TEST_F(SimpleSQL, StatementKeepsItsConnectionOpen) {
  auto stmt = Open()->PrepareStatement("INSERT INTO recordings (filename) VALUES ('kept')");
  EXPECT_EQ(stmt->ExecuteUpdatePrepared(), 1);
  EXPECT_EQ(Count(), 1);
}

TEST_F(SimpleSQL, SQLiteErrorsAtExecution) {
  // the text is compiled only when it runs, so it may name a table created later
  auto early = fConnection->PrepareStatement("INSERT INTO later (x) VALUES (1)");
  Update("CREATE TABLE later (x INTEGER UNIQUE)");
  EXPECT_EQ(early->ExecuteUpdatePrepared(), 1);

  auto bad = fConnection->PrepareStatement("SELEKT nonsense");
  EXPECT_NE(ErrorOf([&] { bad->ExecuteQueryPrepared(); }).find("syntax error"), std::string::npos);
  EXPECT_NE(ErrorOf([&] { early->ExecuteUpdatePrepared(); }).find("UNIQUE constraint failed"), std::string::npos);
  Update("DELETE FROM later");
  EXPECT_EQ(early->ExecuteUpdatePrepared(), 1);  // usable again after the failure
  EXPECT_NE(ErrorOf([&] { Update("DELETE FROM later; DROP TABLE recordings"); }).find("Only one SQL statement"),
            std::string::npos);
  EXPECT_EQ(Count(), 0);
}

TEST_F(SimpleSQL, Transactions) {
  fConnection->BeginTransaction();
  Update("INSERT INTO recordings (filename) VALUES ('undone')");
  fConnection->RollbackTransaction();
  EXPECT_EQ(Count(), 0);

  fConnection->SetIsolationLevel(static_cast<TSQLIsolationLevel>(42));  // ignored
  fConnection->SetIsolationLevel(ilReadCommitted);
  fConnection->BeginTransaction();
  Update("INSERT INTO recordings (filename) VALUES ('kept')");
  fConnection->CommitTransaction();
  EXPECT_EQ(Count(Open()), 1);

  {
    auto dropped = Open();
    dropped->BeginTransaction();
    Update("INSERT INTO recordings (filename) VALUES ('lost')", dropped);
  }
  EXPECT_EQ(Count(), 1);
  EXPECT_TRUE(fConnection->PingServer());
}

TEST_F(SimpleSQL, SecondConnectionWaitsForABusyWriter) {
  fConnection->BeginTransaction();  // serializable: holds the write lock from here
  Update("INSERT INTO recordings (filename) VALUES ('writer')");

  std::atomic<bool> finished{false};
  auto other = std::async(std::launch::async, [&] {
    auto connection = Open();  // default busy timeout: waits
    Update("INSERT INTO recordings (filename) VALUES ('waiter')", connection);
    finished = true;
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(finished);  // still held by the open transaction
  fConnection->CommitTransaction();
  ASSERT_EQ(other.wait_for(20s), std::future_status::ready);
  EXPECT_NO_THROW(other.get());
  EXPECT_EQ(Count(), 2);

  // a lock held longer than the connection's timeout fails with SQLite's message
  fConnection->BeginTransaction();
  auto impatient = Open("BusyTimeout=50;");
  EXPECT_EQ(ErrorOf([&] { Update("INSERT INTO recordings (filename) VALUES ('late')", impatient); }),
            "database is locked");
  fConnection->CommitTransaction();
  EXPECT_EQ(Update("INSERT INTO recordings (filename) VALUES ('late')", impatient), 1);
}

TEST(SimpleSQLConnectionString, TemplateAndQuotedPaths) {
  EXPECT_EQ(SQLiteConnectionString("/srv/rec/Slot0.db"),
            "DriverID=SQLite;Database=\"/srv/rec/Slot0.db\";Synchronous=ON;OpenMode=CreateUTF8;SharedCache=False;"
            "LockingMode=Normal;StringFormat=Unicode;DateTimeFormat=String;");
  TTempFolder folder;
  // a path with a semicolon, an equals sign and a quotation mark in it
  const std::string path = folder.File("odd;name=\"x\".db");
  auto connection = CreateSQLConnection(SQLiteConnectionString(path));
  connection->PrepareStatement("CREATE TABLE t (x)")->ExecuteUpdatePrepared();
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(SimpleSQLConnectionString, Rejected) {
  TTempFolder folder;
  const std::string db = "Database=\"" + folder.File("x.db") + "\";";
  struct TCase {
    std::string fText, fError;
  };
  const TCase cases[] = {
      {"DriverID=MySQL;" + db, "Unsupported database driver: MySQL"},
      {"DriverID=SQLite;", "No database given in the connection string"},
      {db + "OpenMode=Sideways;", "Invalid connection string value: OpenMode=sideways"},
      {db + "BusyTimeout=soon;", "Invalid connection string value: BusyTimeout=soon"},
      {db + "SharedCache=maybe;", "Invalid connection string value: SharedCache=maybe"},
      {"Database=\"unterminated", "Invalid connection string: Database=\"unterminated"},
      {db + "OpenMode=ReadWrite;Database=\"" + folder.File("missing.db") + "\"", "unable to open database file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fText);
    EXPECT_EQ(ErrorOf([&] { CreateSQLConnection(c.fText); }).substr(0, c.fError.size()), c.fError);
  }
}

}  // namespace
