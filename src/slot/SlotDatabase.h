#pragma once
// The recordings database of one slot: where its file lies, how it is opened,
// and the statements the slot runs on its one table `recordings`.
//
// Use from TSlotInfo:
//   GetDatabaseConnection:
//     std::shared_ptr<ISQLConnection> conn;
//     { lock fCS; conn = OpenSlotDatabase(SlotDatabasePath(fDatabaseFile, fDatabaseFolder, fFolder, fIndex)); }
//     CreateRecordingsTable(*conn);       // outside the slot lock
//   CycleEncoder, after the encoder started:
//     fCurrentRecordingID = InsertRecordingRow(*conn, Now(), relativeName);
//   the end of a file, once its encoder finished (TSlotRowWriter):
//     UpdateRecordingDuration(*conn, id, seconds);
// Opening, table creation and the statements throw (the SQL layer's errors
// pass through unchanged); the slot logs "Error updating database: <text>"
// and tries again a few seconds later, so recording goes on. EnterRecording
// and StoreRecordingDuration are the catching forms for one-off callers.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "slot/SlotLogSink.h"
#include "support/DateTime.h"

class ISQLConnection;

inline constexpr const char* kSQLCreateRecordings =
    "CREATE TABLE IF NOT EXISTS recordings (id INTEGER PRIMARY KEY AUTOINCREMENT, starttime TIMESTAMP NOT NULL, "
    "duration REAL DEFAULT NULL, filename VARCHAR NOT NULL)";
inline constexpr const char* kSQLInsertRecording =
    "INSERT INTO recordings (starttime, filename) VALUES (:starttime, :filename)";
inline constexpr const char* kSQLLastInsertRowID = "SELECT last_insert_rowid()";
inline constexpr const char* kSQLUpdateDuration = "UPDATE recordings SET duration=:duration WHERE id=:id";
inline constexpr const char* kSQLDeleteRecording = "DELETE FROM recordings WHERE id=:id";
inline constexpr const char* kSQLSelectExpired =
    "SELECT id, filename FROM recordings WHERE julianday('now') - julianday(starttime) > ?";
inline constexpr const char* kSQLSelectOldestFirst = "SELECT id, filename FROM recordings ORDER BY id";

// iFolder with a "/" appended when it does not end with one (empty stays empty).
std::string SlotFolderWithSeparator(const std::string& iFolder);

// The database file of slot iIndex (0-based): iDatabaseFile when set; else
// iDatabaseFolder + "Vantorel_<index>.db"; else iFolder + "Vantorel.db".
std::string SlotDatabasePath(const std::string& iDatabaseFile, const std::string& iDatabaseFolder,
                             const std::string& iFolder, int32_t iIndex);

// Creates the folder of iPath with all missing parents and opens a new
// connection with the SQL layer's connection string for SQLite (the file is
// created when missing). Does not create the table.
std::shared_ptr<ISQLConnection> OpenSlotDatabase(const std::string& iPath);

// Runs the CREATE TABLE IF NOT EXISTS statement.
void CreateRecordingsTable(ISQLConnection& iConnection);

// OpenSlotDatabase followed by CreateRecordingsTable, for callers that need no
// lock between the two steps.
std::shared_ptr<ISQLConnection> GetSlotDatabaseConnection(const std::string& iPath);

// Statements; each throws what the SQL layer throws.
int32_t InsertRecordingRow(ISQLConnection& iConnection, TDateTime iStartTime, const std::string& iRelativeName);
void UpdateRecordingDuration(ISQLConnection& iConnection, int32_t iID, double iSeconds);
void DeleteRecordingRow(ISQLConnection& iConnection, int32_t iID);

struct TRecordingRef {
  int32_t fID = 0;
  std::string fFilename;  // relative to the slot folder
};
// Rows older than iDays days, in the order SQLite returns them.
std::vector<TRecordingRef> SelectExpiredRecordings(ISQLConnection& iConnection, int32_t iDays);
// All rows, oldest (lowest id) first.
std::vector<TRecordingRef> SelectRecordingsOldestFirst(ISQLConnection& iConnection);

// Inserts the row of a file that has just started and returns its id; on any
// error logs "Error updating database: <text>" and returns 0.
int32_t EnterRecording(ISQLConnection& iConnection, TDateTime iStartTime, const std::string& iRelativeName,
                       const TSlotLogSink& iLog);
// Stores the duration of a file that has ended; errors are logged as above.
void StoreRecordingDuration(ISQLConnection& iConnection, int32_t iID, double iSeconds, const TSlotLogSink& iLog);
