#include "web/ArchiveAPI.h"

#include <httplib.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include <filesystem>
#include <mutex>
#include <optional>
#include <map>
#include <regex>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

#include "support/PersistentStorage.h"
#include "support/SimpleSQLInterface.h"
#include "web/ArchiveReaders.h"
#include "slot/SlotDatabase.h"  // the table's one definition (header-only constant)
#include "slot/SlotRecordingColumns.h"
#include "web/ClipRoute.h"
#include "web/FileReply.h"
#include "web/ISO8601.h"
#include "web/PeaksRoute.h"

namespace {

// path digits to a number; too many digits fail with iMessage
int PathNumber(const std::string& iDigits, const char* iMessage) {
  const size_t first = iDigits.find_first_not_of('0');
  const std::string significant = first == std::string::npos ? "0" : iDigits.substr(first);
  if (significant.size() > 9) throw std::invalid_argument(iMessage);
  return std::stoi(significant);
}

std::string NamePart(const std::string& iFileName) {
  const auto sep = iFileName.find_last_of("/\\");
  return sep == std::string::npos ? iFileName : iFileName.substr(sep + 1);
}

std::string WithSeparator(const std::string& iFolder) {
  return !iFolder.empty() && iFolder.back() != '/' ? iFolder + "/" : iFolder;
}

// A stored name that climbs out of the slot's folders ("../") is no
// recording of this slot, whatever the database says.
bool StaysInFolder(const std::string& iFileName) {
  size_t start = 0;
  while (start <= iFileName.size()) {
    const auto sep = iFileName.find_first_of("/\\", start);
    const auto part = iFileName.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
    if (part == "..") return false;
    if (sep == std::string::npos) break;
    start = sep + 1;
  }
  return true;
}

bool IsRegularFile(const std::string& iPath) {
  std::error_code ec;
  return std::filesystem::is_regular_file(iPath, ec);
}
}  // namespace

namespace {
// The table, and an index of start times that the window queries use (without
// it every calendar request reads the whole year). Created once per database
// and process; the index only where the database lets us write now (a
// recorder busy with it is no reason to fail a read).
void EnsureArchiveSchema(ISQLConnection& iConnection, const std::string& iDatabasePath) {
  static std::mutex mutex;
  static std::map<std::string, unsigned long long> ready;  // path -> the file found ready
  // by file, not by name: a database deleted or replaced meanwhile is a new
  // file without the table
  const unsigned long long file = DatabaseFileID(iDatabasePath);
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = ready.find(iDatabasePath);
    if (it != ready.end() && it->second == file) return;
  }
  iConnection.PrepareStatement(kSQLCreateRecordings)->ExecuteUpdatePrepared();
  try {
    EnsureRecordingColumns(iConnection);
    iConnection.PrepareStatement("CREATE INDEX IF NOT EXISTS recordings_starttime ON recordings (starttime)")
        ->ExecuteUpdatePrepared();
  } catch (const std::exception&) {
    return;  // tried again by the next request
  }
  std::lock_guard<std::mutex> lock(mutex);
  ready[iDatabasePath] = file;
}

// "yyyy-mm-ddThh:nn:ss.zzzZ" without a formatting library: it is written
// twice for each of hundreds of events per reply.
void AppendUTCEventDate(std::string& ioText, TDateTime iUTC) {
  int y, m, d, h, n, s, ms;
  DecodeDateTime(iUTC, y, m, d, h, n, s, ms);
  char text[32];
  const auto two = [](char* p, int v) {
    p[0] = static_cast<char>('0' + v / 10 % 10);
    p[1] = static_cast<char>('0' + v % 10);
  };
  if (y < 0 || y > 9999) {
    ioText += fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", y, m, d, h, n, s, ms);
    return;
  }
  two(text, y / 100);
  two(text + 2, y % 100);
  text[4] = '-';
  two(text + 5, m);
  text[7] = '-';
  two(text + 8, d);
  text[10] = 'T';
  two(text + 11, h);
  text[13] = ':';
  two(text + 14, n);
  text[16] = ':';
  two(text + 17, s);
  text[19] = '.';
  text[20] = static_cast<char>('0' + ms / 100 % 10);
  two(text + 21, ms % 100);
  text[23] = 'Z';
  ioText.append(text, 24);
}
}  // namespace

std::shared_ptr<ISQLConnection> OpenArchiveDatabase(const std::string& iDatabasePath) {
  const auto folder = std::filesystem::path(iDatabasePath).parent_path();
  std::error_code ec;
  if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) std::filesystem::create_directories(folder);
  auto connection = CreateSQLConnection(SQLiteConnectionString(iDatabasePath));
  EnsureArchiveSchema(*connection, iDatabasePath);
  return connection;
}

std::string StatsDateText(TDateTime iLocal) {
  int y, m, d, h, n, s, ms;
  DecodeDateTime(iLocal, y, m, d, h, n, s, ms);
  return fmt::format("{:02}/{:02}/{:04} {:02}:{:02}:{:02}", m, d, y, h, n, s);
}

std::string UTCEventDateText(TDateTime iUTC) {
  std::string text;
  AppendUTCEventDate(text, iUTC);
  return text;
}

std::string DayListTimeText(TDateTime iLocal) {
  int y, m, d, h, n, s, ms;
  DecodeDateTime(iLocal, y, m, d, h, n, s, ms);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", y, m, d, h, n, s);
}

std::string ArchiveStatsJSON(const TWebSlotSnapshot& iSlot) {
  auto connection = OpenArchiveDatabase(iSlot.DatabasePath);
  auto rows = connection->PrepareStatement("SELECT COUNT(*), MIN(starttime), MAX(starttime) FROM recordings")
                  ->ExecuteQueryPrepared();
  auto result = NewPersistentObject();
  if (rows->First()) {
    result->SetNumber("count", rows->GetInt(1));
    if (!rows->IsNull(2)) result->SetString("oldest", StatsDateText(rows->GetTimestamp(2)));
    if (!rows->IsNull(3)) result->SetString("newest", StatsDateText(rows->GetTimestamp(3)));
  }
  return result->AsJSon(true, true);
}

namespace {
// A column read as the archive's result sets read it (ISQLResultSet's
// GetInt, GetFloat, GetString, GetTimestamp), straight from the statement:
// the calendar reads hundreds of rows per reply.
double ColumnFloat(sqlite3_stmt* iRow, int iColumn) {
  switch (sqlite3_column_type(iRow, iColumn)) {
    case SQLITE_INTEGER: return static_cast<double>(sqlite3_column_int64(iRow, iColumn));
    case SQLITE_FLOAT: return sqlite3_column_double(iRow, iColumn);
    case SQLITE_TEXT: return std::strtod(reinterpret_cast<const char*>(sqlite3_column_text(iRow, iColumn)), nullptr);
  }
  return 0;
}

int32_t ColumnInt(sqlite3_stmt* iRow, int iColumn) {
  if (sqlite3_column_type(iRow, iColumn) == SQLITE_INTEGER)
    return static_cast<int32_t>(sqlite3_column_int64(iRow, iColumn));
  const double v = ColumnFloat(iRow, iColumn);
  if (std::isnan(v)) return 0;
  return static_cast<int32_t>(std::clamp(std::round(v), -2147483648.0, 2147483647.0));
}

std::string_view ColumnText(sqlite3_stmt* iRow, int iColumn, std::string& oScratch) {
  switch (sqlite3_column_type(iRow, iColumn)) {
    case SQLITE_INTEGER: return oScratch = std::to_string(sqlite3_column_int64(iRow, iColumn));
    case SQLITE_FLOAT: return oScratch = fmt::format("{}", sqlite3_column_double(iRow, iColumn));
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const auto* text = static_cast<const char*>(sqlite3_column_blob(iRow, iColumn));
      return {text ? text : "", static_cast<size_t>(sqlite3_column_bytes(iRow, iColumn))};
    }
  }
  return {};
}

// false for text that is no date-time
bool ColumnTimestamp(sqlite3_stmt* iRow, int iColumn, TDateTime& oValue, std::string& ioScratch) {
  switch (sqlite3_column_type(iRow, iColumn)) {
    case SQLITE_NULL: oValue = 0; return true;
    case SQLITE_TEXT:
      ioScratch.assign(reinterpret_cast<const char*>(sqlite3_column_text(iRow, iColumn)),
                       static_cast<size_t>(sqlite3_column_bytes(iRow, iColumn)));
      return SQLTextToDateTime(ioScratch, oValue);
  }
  oValue = ColumnFloat(iRow, iColumn);  // a number is taken as the day count itself
  return true;
}

std::string_view NamePartOf(std::string_view iFileName) {
  const auto sep = iFileName.find_last_of("/\\");
  return sep == std::string_view::npos ? iFileName : iFileName.substr(sep + 1);
}

void BindText(TArchiveReader& iReader, sqlite3_stmt* iStatement, int iIndex, const std::string& iText) {
  if (sqlite3_bind_text(iStatement, iIndex, iText.data(), static_cast<int>(iText.size()), SQLITE_TRANSIENT) != SQLITE_OK)
    iReader.Fail();
}
}  // namespace

std::string CalendarEventsJSON(const TWebSlotSnapshot& iSlot, TDateTime iStartLocal, TDateTime iEndLocal) {
  static constexpr char kQuery[] =
      "SELECT id, starttime, duration, filename, loudness, loudnessrange, truepeak FROM recordings WHERE "
      "starttime >= ?1 AND starttime < ?2";
  static constexpr char kQueryWithoutLoudness[] =
      "SELECT id, starttime, duration, filename FROM recordings WHERE starttime >= ?1 AND starttime < ?2";
  TArchiveReaderLease reader(iSlot.DatabasePath);
  // An old database that could not be given the loudness columns (a
  // read-only archive) still has its calendar.
  sqlite3_stmt* row = nullptr;
  bool loudness = true;
  try {
    row = reader->Statement(kQuery);
  } catch (const std::exception&) {
    loudness = false;
    row = reader->Statement(kQueryWithoutLoudness);
  }
  BindText(*reader, row, 1, DateTimeToSQLText(iStartLocal));
  BindText(*reader, row, 2, DateTimeToSQLText(iEndLocal));
  // The loudness members are there for files that have been measured only.
  // Written directly in the form of AsJSon(true, true) of an array of objects
  // (members in name order: end, filename, id, loudness, loudnessrange, start,
  // title, truepeak), without building the document: hundreds of events make
  // building it most of the reply's cost.
  const std::string title = JSONEscape(iSlot.Name, true);
  std::string json;
  json.reserve(64 * 1024);
  TZoneOffsetMemo zoneOffsets;  // rows share most of the instants asked
  std::string scratch;
  bool first = true;
  for (;;) {
    const int rc = sqlite3_step(row);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) reader->Fail();
    const int32_t id = ColumnInt(row, 0);
    float duration = 0;
    if (sqlite3_column_type(row, 2) == SQLITE_NULL) {
      if (id != iSlot.CurrentRecordingID) continue;  // never closed: its length is unknown
      duration = iSlot.CurrentRecordingDuration;
    } else {
      duration = static_cast<float>(ColumnFloat(row, 2));
    }
    TDateTime startLocal = 0;
    TDateTime startUTC = 0;
    try {
      if (!ColumnTimestamp(row, 1, startLocal, scratch)) continue;  // not a date-time
      if (!LocalToUTC(startLocal, startUTC, &zoneOffsets)) continue;  // inside the skipped hour
    } catch (const std::exception&) {
      continue;  // not a date-time
    }
    json += first ? "[\r\n {\r\n  \"end\": \"" : ",{\r\n  \"end\": \"";
    first = false;
    AppendUTCEventDate(json, startUTC + static_cast<double>(duration) / 86400.0);
    json += "\",\r\n  \"filename\": \"";
    json += JSONEscape(std::string(NamePartOf(ColumnText(row, 3, scratch))), true);
    json += "\",\r\n  \"id\": ";
    json += std::to_string(id);  // what JSONNumberText gives for any int32, without its formatting library
    if (loudness && sqlite3_column_type(row, 4) != SQLITE_NULL)
      json += ",\r\n  \"loudness\": " + JSONNumberText(ColumnFloat(row, 4));
    if (loudness && sqlite3_column_type(row, 5) != SQLITE_NULL)
      json += ",\r\n  \"loudnessrange\": " + JSONNumberText(ColumnFloat(row, 5));
    json += ",\r\n  \"start\": \"";
    AppendUTCEventDate(json, startUTC);
    json += "\",\r\n  \"title\": \"";
    json += title;
    json += '"';
    if (loudness && sqlite3_column_type(row, 6) != SQLITE_NULL)
      json += ",\r\n  \"truepeak\": " + JSONNumberText(ColumnFloat(row, 6));
    json += "\r\n }";
  }
  json += first ? "[]" : "]";
  return json;
}

std::string DayListJSON(const TWebSlotSnapshot& iSlot, int iYear, int iMonth, int iDay) {
  const TDateTime day = EncodeDateTime(iYear, iMonth, iDay, 0, 0, 0, 0);
  auto connection = OpenArchiveDatabase(iSlot.DatabasePath);
  auto statement = connection->PrepareStatement(
      "SELECT id, starttime, duration FROM recordings WHERE starttime >= :start AND starttime < :end");
  statement->SetTimestampByName("start", day);
  statement->SetTimestampByName("end", day + 1.0);
  auto rows = statement->ExecuteQueryPrepared();
  auto list = NewPersistentArray();
  while (rows->Next()) {
    const int32_t id = rows->GetInt(1);
    auto item = list->AddObject();
    item->SetNumber("ID", id)->SetString("Time", DayListTimeText(rows->GetTimestamp(2)));
    if (!rows->IsNull(3))
      item->SetNumber("Duration", rows->GetFloat(3));
    else if (id == iSlot.CurrentRecordingID)
      item->SetNumber("Duration", iSlot.CurrentRecordingDuration);
    else
      item->SetNull("Duration");
  }
  return list->AsJSon(true, true);
}

namespace {
struct TRecordingFile {
  std::string Path;      // empty when in neither folder
  std::string FileName;  // stored relative name
  bool Closed = false;   // its duration has been stored
};

// nullopt: no such row
std::optional<TRecordingFile> FindRecordingFile(const TWebSlotSnapshot& iSlot, int iID) {
  auto connection = OpenArchiveDatabase(iSlot.DatabasePath);
  auto statement = connection->PrepareStatement("SELECT filename, duration FROM recordings WHERE id=:id");
  statement->SetIntByName("id", iID);
  auto rows = statement->ExecuteQueryPrepared();
  if (!rows->First()) return std::nullopt;
  TRecordingFile file;
  file.FileName = rows->GetString(1);
  file.Closed = !rows->IsNull(2);
  if (!StaysInFolder(file.FileName)) return file;  // no path: not found
  std::string path = WithSeparator(iSlot.Folder) + file.FileName;
  if (!IsRegularFile(path) && !iSlot.SecondaryFolder.empty()) path = WithSeparator(iSlot.SecondaryFolder) + file.FileName;
  if (IsRegularFile(path)) file.Path = path;
  return file;
}
}  // namespace

bool HandleArchiveRoutes(TWebContext& iContext, const std::string& iPath) {
  static const std::regex kStats("^/ws/slots/(\\d+)/stats");
  static const std::regex kEvents("^/ws/slots/(\\d+)/calendarevents");
  static const std::regex kList("^/ws/slots/(\\d+)/list/(\\d+)/(\\d+)/(\\d+)");
  static const std::regex kGetFile("^/ws/slots/(\\d+)/getfile/(\\d+)");
  static const std::regex kPeaks("^/ws/slots/(\\d+)/peaks/(\\d+)");
  static const std::regex kClip("^/ws/slots/(\\d+)/clip");
  std::smatch m;
  const auto matches = [&](const std::regex& iPattern) {
    return std::regex_search(iPath, m, iPattern, std::regex_constants::match_continuous);
  };
  if (matches(kStats)) {
    const auto slot = iContext.Host.Slot(SlotIndexFromText(iContext.Host, m[1].str()));
    SendJSONReply(iContext, ArchiveStatsJSON(slot));
    return true;
  }
  if (matches(kEvents)) {
    const auto slot = iContext.Host.Slot(SlotIndexFromText(iContext.Host, m[1].str()));
    TDateTime start = 0, end = 0;
    try {
      if (!iContext.HasParam("start") || !iContext.HasParam("end")) throw std::invalid_argument("missing");
      start = ParseISO8601Date(iContext.Param("start"));
      end = ParseISO8601Date(iContext.Param("end"));
    } catch (const std::exception&) {
      throw std::runtime_error("Date parse error");
    }
    SendJSONReply(iContext, CalendarEventsJSON(slot, start, end));
    return true;
  }
  if (matches(kList)) {
    const auto slot = iContext.Host.Slot(SlotIndexFromText(iContext.Host, m[1].str()));
    constexpr const char* kDateError = "Invalid argument to date encode";
    SendJSONReply(iContext, DayListJSON(slot, PathNumber(m[2].str(), kDateError), PathNumber(m[3].str(), kDateError),
                                        PathNumber(m[4].str(), kDateError)));
    return true;
  }
  if (matches(kClip)) {
    HandleClipRoute(iContext, iContext.Host.Slot(SlotIndexFromText(iContext.Host, m[1].str())));
    return true;
  }
  const bool getFile = matches(kGetFile);
  if (getFile || matches(kPeaks)) {
    const auto slot = iContext.Host.Slot(SlotIndexFromText(iContext.Host, m[1].str()));
    const int id = PathNumber(m[2].str(), "Invalid recording id");
    const auto file = FindRecordingFile(slot, id);
    if (!file || file->Path.empty()) {
      SendNotFound(iContext);
      return true;
    }
    if (getFile) {
      if (!SendRangedFile(iContext, file->Path, NamePart(file->FileName))) SendNotFound(iContext);
    } else {
      SendRecordingPeaks(iContext, file->Path, file->Closed);
    }
    return true;
  }
  return false;
}
