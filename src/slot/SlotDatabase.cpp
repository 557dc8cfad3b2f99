#include "slot/SlotDatabase.h"

#include <fmt/format.h>

#include <exception>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "slot/SlotRecordingColumns.h"
#include "support/SimpleSQLInterface.h"

std::string SlotFolderWithSeparator(const std::string& iFolder) {
  if (iFolder.empty() || iFolder.back() == '/') return iFolder;
  return iFolder + '/';
}

std::string SlotDatabasePath(const std::string& iDatabaseFile, const std::string& iDatabaseFolder,
                             const std::string& iFolder, int32_t iIndex) {
  if (!iDatabaseFile.empty()) return iDatabaseFile;
  // One common folder may hold the databases of all slots, hence the index.
  if (!iDatabaseFolder.empty()) return SlotFolderWithSeparator(iDatabaseFolder) + fmt::format("Vantorel_{}.db", iIndex);
  return SlotFolderWithSeparator(iFolder) + "Vantorel.db";
}

ISQLConnectionPtr OpenSlotDatabase(const std::string& iPath) {
  const std::filesystem::path folder = std::filesystem::path(iPath).parent_path();
  if (!folder.empty()) {
    // A folder that cannot be created shows up as the open error below, which
    // names the real problem better than the folder error would.
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
  }
  return CreateSQLConnection(SQLiteConnectionString(iPath));
}

void CreateRecordingsTable(ISQLConnection& iConnection) {
  iConnection.PrepareStatement(kSQLCreateRecordings)->ExecuteUpdatePrepared();
  EnsureRecordingColumns(iConnection);
}

ISQLConnectionPtr GetSlotDatabaseConnection(const std::string& iPath) {
  ISQLConnectionPtr connection = OpenSlotDatabase(iPath);
  CreateRecordingsTable(*connection);
  return connection;
}

int32_t InsertRecordingRow(ISQLConnection& iConnection, TDateTime iStartTime, const std::string& iRelativeName) {
  ISQLPreparedStatementPtr insert = iConnection.PrepareStatement(kSQLInsertRecording);
  insert->SetTimestampByName("starttime", iStartTime);
  insert->SetStringByName("filename", iRelativeName);
  insert->ExecuteUpdatePrepared();
  // Same connection, so this is the id of the row just inserted.
  ISQLResultSetPtr rows = iConnection.PrepareStatement(kSQLLastInsertRowID)->ExecuteQueryPrepared();
  if (!rows->First()) throw std::runtime_error("No row id after insert");
  return rows->GetInt(1);
}

void UpdateRecordingDuration(ISQLConnection& iConnection, int32_t iID, double iSeconds) {
  ISQLPreparedStatementPtr update = iConnection.PrepareStatement(kSQLUpdateDuration);
  update->SetFloatByName("duration", iSeconds);
  update->SetIntByName("id", iID);
  update->ExecuteUpdatePrepared();
}

void DeleteRecordingRow(ISQLConnection& iConnection, int32_t iID) {
  ISQLPreparedStatementPtr del = iConnection.PrepareStatement(kSQLDeleteRecording);
  del->SetIntByName("id", iID);
  del->ExecuteUpdatePrepared();
}

namespace {

std::vector<TRecordingRef> ReadRecordingRefs(ISQLResultSet& iRows) {
  std::vector<TRecordingRef> refs;
  while (iRows.Next()) refs.push_back({iRows.GetInt(1), iRows.GetString(2)});
  return refs;
}

}  // namespace

std::vector<TRecordingRef> SelectExpiredRecordings(ISQLConnection& iConnection, int32_t iDays) {
  ISQLPreparedStatementPtr select = iConnection.PrepareStatement(kSQLSelectExpired);
  select->SetInt(1, iDays);
  return ReadRecordingRefs(*select->ExecuteQueryPrepared());
}

std::vector<TRecordingRef> SelectRecordingsOldestFirst(ISQLConnection& iConnection) {
  return ReadRecordingRefs(*iConnection.PrepareStatement(kSQLSelectOldestFirst)->ExecuteQueryPrepared());
}

namespace {

void LogDatabaseError(const TSlotLogSink& iLog, const std::string& iText) {
  if (iLog) iLog(fmt::format("Error updating database: {}", iText));
}

}  // namespace

int32_t EnterRecording(ISQLConnection& iConnection, TDateTime iStartTime, const std::string& iRelativeName,
                       const TSlotLogSink& iLog) {
  try {
    return InsertRecordingRow(iConnection, iStartTime, iRelativeName);
  } catch (const std::exception& e) {
    LogDatabaseError(iLog, e.what());
  } catch (...) {
    LogDatabaseError(iLog, "unknown error");
  }
  return 0;
}

void StoreRecordingDuration(ISQLConnection& iConnection, int32_t iID, double iSeconds, const TSlotLogSink& iLog) {
  try {
    UpdateRecordingDuration(iConnection, iID, iSeconds);
  } catch (const std::exception& e) {
    LogDatabaseError(iLog, e.what());
  } catch (...) {
    LogDatabaseError(iLog, "unknown error");
  }
}
