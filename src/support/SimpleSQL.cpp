#include "support/SimpleSQL.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <stdexcept>

#include <fmt/format.h>

namespace {

constexpr int cDefaultBusyTimeoutMS = 5000;

std::string Lower(std::string iText) {
  std::transform(iText.begin(), iText.end(), iText.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return iText;
}

std::string Trim(const std::string& iText) {
  size_t first = iText.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return iText.substr(first, iText.find_last_not_of(" \t") - first + 1);
}

// key=value;key="value with ; or "" inside";... Keys are matched without regard to case.
std::map<std::string, std::string> ParseConnectionString(const std::string& iText) {
  std::map<std::string, std::string> result;
  size_t pos = 0;
  while (pos < iText.size()) {
    size_t eq = iText.find('=', pos);
    size_t semi = iText.find(';', pos);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      if (!Trim(iText.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos)).empty())
        throw std::runtime_error(fmt::format("Invalid connection string: {}", iText));
      if (semi == std::string::npos) break;
      pos = semi + 1;
      continue;
    }
    std::string key = Lower(Trim(iText.substr(pos, eq - pos)));
    pos = eq + 1;
    while (pos < iText.size() && iText[pos] == ' ') ++pos;
    std::string value;
    if (pos < iText.size() && iText[pos] == '"') {
      ++pos;
      for (;;) {
        if (pos >= iText.size())
          throw std::runtime_error(fmt::format("Invalid connection string: {}", iText));
        if (iText[pos] == '"') {
          if (pos + 1 < iText.size() && iText[pos + 1] == '"') {
            value += '"';
            pos += 2;
            continue;
          }
          ++pos;
          break;
        }
        value += iText[pos++];
      }
      semi = iText.find(';', pos);
      if (!Trim(iText.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos)).empty())
        throw std::runtime_error(fmt::format("Invalid connection string: {}", iText));
    } else {
      semi = iText.find(';', pos);
      value = Trim(iText.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos));
    }
    result[key] = value;
    pos = semi == std::string::npos ? iText.size() : semi + 1;
  }
  return result;
}

[[noreturn]] void InvalidValue(const std::string& iKey, const std::string& iValue) {
  throw std::runtime_error(fmt::format("Invalid connection string value: {}={}", iKey, iValue));
}

bool ParseBool(const std::string& iKey, const std::string& iValue) {
  const std::string v = Lower(iValue);
  if (v == "true" || v == "yes" || v == "on" || v == "1") return true;
  if (v == "false" || v == "no" || v == "off" || v == "0") return false;
  InvalidValue(iKey, iValue);
}

// One parameter of the SQL text, as the text names it.
struct TParam {
  std::string fName;  // empty for "?"
  TFieldType fType = ftUnknown;
  int fSize = 0;
  TSQLVariant fValue;
};

// Finds the parameters of an SQL text the way SQLite numbers them: each "?" is
// a new one, a ":name" is new at its first appearance. Literals, quoted names
// and comments are skipped.
std::vector<TParam> ScanParams(const std::string& iSQL) {
  std::vector<TParam> params;
  size_t i = 0;
  const size_t n = iSQL.size();
  auto skipQuoted = [&](char iClose) {
    ++i;
    while (i < n) {
      if (iSQL[i] == iClose) {
        if (iClose != ']' && i + 1 < n && iSQL[i + 1] == iClose) {
          i += 2;
          continue;
        }
        ++i;
        return;
      }
      ++i;
    }
  };
  while (i < n) {
    const char c = iSQL[i];
    if (c == '\'' || c == '"' || c == '`') {
      skipQuoted(c);
    } else if (c == '[') {
      skipQuoted(']');
    } else if (c == '-' && i + 1 < n && iSQL[i + 1] == '-') {
      i = iSQL.find('\n', i);
      if (i == std::string::npos) i = n;
    } else if (c == '/' && i + 1 < n && iSQL[i + 1] == '*') {
      i = iSQL.find("*/", i + 2);
      i = i == std::string::npos ? n : i + 2;
    } else if (c == '?') {
      params.push_back({});
      ++i;
    } else if (c == ':' && i + 1 < n &&
               (std::isalpha(static_cast<unsigned char>(iSQL[i + 1])) || iSQL[i + 1] == '_')) {
      size_t start = ++i;
      while (i < n && (std::isalnum(static_cast<unsigned char>(iSQL[i])) || iSQL[i] == '_')) ++i;
      std::string name = iSQL.substr(start, i - start);
      bool known = std::any_of(params.begin(), params.end(),
                               [&](const TParam& p) { return p.fName == name; });
      if (!known) {
        TParam param;
        param.fName = name;
        params.push_back(std::move(param));
      }
    } else {
      ++i;
    }
  }
  return params;
}

TFieldType FieldTypeOfDecl(const char* iDecl) {
  if (!iDecl) return ftUnknown;
  const std::string d = Lower(iDecl);
  if (d.find("int") != std::string::npos) return d.find("big") != std::string::npos ? ftLargeint : ftInteger;
  if (d.find("timestamp") != std::string::npos || d.find("datetime") != std::string::npos) return ftDateTime;
  if (d.find("date") != std::string::npos) return ftDate;
  if (d.find("time") != std::string::npos) return ftTime;
  if (d.find("char") != std::string::npos || d.find("string") != std::string::npos) return ftWideString;
  if (d.find("text") != std::string::npos || d.find("clob") != std::string::npos || d.find("memo") != std::string::npos)
    return ftWideMemo;
  if (d.find("real") != std::string::npos || d.find("floa") != std::string::npos ||
      d.find("doub") != std::string::npos || d.find("num") != std::string::npos ||
      d.find("dec") != std::string::npos)
    return ftFloat;
  if (d.find("blob") != std::string::npos) return ftBlob;
  return ftUnknown;
}

TFieldType FieldTypeOfValue(const TSQLVariant& iValue) {
  switch (iValue.index()) {
    case 1: return ftLargeint;
    case 2: return ftFloat;
    case 3: return ftWideMemo;
    case 4: return ftBlob;
  }
  return ftUnknown;
}

// --- result set

class TSQLResultSet final : public ISQLResultSet {
public:
  struct TColumn {
    std::string fName;
    TFieldType fType;
  };
  using TTable = std::vector<std::vector<TSQLVariant>>;

  TSQLResultSet(std::vector<TColumn> iColumns, std::unique_ptr<TTable> iTable)
      : fColumns(std::move(iColumns)), fTable(std::move(iTable)), fCount(static_cast<std::int32_t>(fTable->size())) {}

  bool First() override {
    fCurrentRow = 0;
    return fCount > 0;
  }
  bool Next() override {
    if (fCurrentRow < fCount) ++fCurrentRow;
    return fCurrentRow < fCount;
  }
  bool IsNull(int iColumn) override { return Cell(iColumn).index() == 0; }
  TSQLVariant GetValue(int iColumn) override { return Cell(iColumn); }
  std::string GetString(int iColumn) override {
    const TSQLVariant& v = Cell(iColumn);
    switch (v.index()) {
      case 1: return std::to_string(std::get<1>(v));
      case 2: return fmt::format("{}", std::get<2>(v));
      case 3: return std::get<3>(v);
      case 4: return std::string(std::get<4>(v).begin(), std::get<4>(v).end());
    }
    return {};
  }
  std::string GetMemo(int iColumn) override { return GetString(iColumn); }
  std::int32_t GetInt(int iColumn) override {
    double v = GetFloat(iColumn);
    if (const auto* i = std::get_if<std::int64_t>(&Cell(iColumn))) return static_cast<std::int32_t>(*i);
    if (std::isnan(v)) return 0;
    return static_cast<std::int32_t>(std::clamp(std::round(v), -2147483648.0, 2147483647.0));
  }
  double GetFloat(int iColumn) override {
    const TSQLVariant& v = Cell(iColumn);
    switch (v.index()) {
      case 1: return static_cast<double>(std::get<1>(v));
      case 2: return std::get<2>(v);
      case 3: return std::strtod(std::get<3>(v).c_str(), nullptr);  // SQLite's own cast rule
    }
    return 0;
  }
  TDateTime GetTimestamp(int iColumn) override {
    const TSQLVariant& v = Cell(iColumn);
    if (v.index() == 0) return 0;
    if (const auto* text = std::get_if<std::string>(&v)) {
      TDateTime result;
      if (!SQLTextToDateTime(*text, result))
        throw std::runtime_error(fmt::format("Invalid date-time value: {}", *text));
      return result;
    }
    return GetFloat(iColumn);  // a number is taken as the day count itself
  }
  TDateTime GetDate(int iColumn) override { return std::trunc(GetTimestamp(iColumn)); }
  TDateTime GetTime(int iColumn) override {
    TDateTime value = GetTimestamp(iColumn);
    return std::fabs(value - std::trunc(value));
  }
  TSQLBytes GetBinaryStream(int iColumn) override {
    const TSQLVariant& v = Cell(iColumn);
    if (const auto* bytes = std::get_if<TSQLBytes>(&v)) return *bytes;
    if (v.index() == 0) return {};
    std::string text = GetString(iColumn);
    return TSQLBytes(text.begin(), text.end());
  }
  int GetColumnCount() override { return static_cast<int>(fColumns.size()); }
  std::string GetColumnName(int iColumn) override { return Column(iColumn).fName; }
  TFieldType GetColumnFieldType(int iColumn) override { return Column(iColumn).fType; }

private:
  const TColumn& Column(int iColumn) const {
    if (iColumn < 1 || iColumn > static_cast<int>(fColumns.size()))
      throw std::out_of_range(fmt::format("Column index out of range: {}", iColumn));
    return fColumns[static_cast<size_t>(iColumn - 1)];
  }
  const TSQLVariant& Cell(int iColumn) const {
    Column(iColumn);
    if (fCurrentRow < 0 || fCurrentRow >= fCount)
      throw std::out_of_range(fmt::format("No current row (row {} of {})", fCurrentRow, fCount));
    return (*fTable)[static_cast<size_t>(fCurrentRow)][static_cast<size_t>(iColumn - 1)];
  }

  std::vector<TColumn> fColumns;
  std::unique_ptr<TTable> fTable;
  std::int32_t fCount;
  std::int32_t fCurrentRow = -1;
};

// --- prepared statement

// The compiled statement; finalized with its owner.
struct TStatementHandle {
  sqlite3_stmt* fHandle = nullptr;
  ~TStatementHandle() { sqlite3_finalize(fHandle); }
};

// Resets the statement when an execution ends, however it ends, so the file
// lock it holds is released and it can run again.
struct TResetGuard {
  sqlite3_stmt* fHandle;
  ~TResetGuard() { sqlite3_reset(fHandle); }
};

class TSQLPreparedStatement final : public ISQLPreparedStatement {
public:
  TSQLPreparedStatement(std::shared_ptr<TSQLiteDatabase> iDatabase, const std::string& iSQL)
      : fCommand{std::move(iDatabase), iSQL, ScanParams(iSQL), {}} {}

  void SetFieldType(int iIndex, TFieldType iType) override { Param(iIndex).fType = iType; }
  void SetFieldTypeByName(const std::string& iName, TFieldType iType) override { Param(iName).fType = iType; }
  void SetValue(int iIndex, const TSQLVariant& iValue) override { Param(iIndex).fValue = iValue; }
  void SetInt(int iIndex, std::int32_t iValue) override { Set(Param(iIndex), std::int64_t{iValue}, ftInteger); }
  void SetString(int iIndex, const std::string& iValue) override { Set(Param(iIndex), iValue, ftWideString); }
  void SetMemo(int iIndex, const std::string& iValue) override { Set(Param(iIndex), iValue, ftWideMemo); }
  void SetDate(int iIndex, TDateTime iValue) override { Set(Param(iIndex), DateToSQLText(iValue), ftDate); }
  void SetTime(int iIndex, TDateTime iValue) override { Set(Param(iIndex), TimeToSQLText(iValue), ftTime); }
  void SetTimestamp(int iIndex, TDateTime iValue) override {
    Set(Param(iIndex), DateTimeToSQLText(iValue), ftDateTime);
  }
  void SetFloat(int iIndex, double iValue) override { Set(Param(iIndex), iValue, ftFloat); }
  void SetBinaryStream(int iIndex, const TSQLBytes& iValue) override { Set(Param(iIndex), iValue, ftBlob); }
  void SetValueByName(const std::string& iName, const TSQLVariant& iValue) override { Param(iName).fValue = iValue; }
  void SetIntByName(const std::string& iName, std::int32_t iValue) override {
    Set(Param(iName), std::int64_t{iValue}, ftInteger);
  }
  void SetStringByName(const std::string& iName, const std::string& iValue) override {
    Set(Param(iName), iValue, ftWideString);
  }
  void SetMemoByName(const std::string& iName, const std::string& iValue) override {
    Set(Param(iName), iValue, ftWideMemo);
  }
  void SetDateByName(const std::string& iName, TDateTime iValue) override {
    Set(Param(iName), DateToSQLText(iValue), ftDate);
  }
  void SetTimeByName(const std::string& iName, TDateTime iValue) override {
    Set(Param(iName), TimeToSQLText(iValue), ftTime);
  }
  void SetTimestampByName(const std::string& iName, TDateTime iValue) override {
    Set(Param(iName), DateTimeToSQLText(iValue), ftDateTime);
  }
  void SetFloatByName(const std::string& iName, double iValue) override { Set(Param(iName), iValue, ftFloat); }
  void SetBinaryStreamByName(const std::string& iName, const TSQLBytes& iValue) override {
    Set(Param(iName), iValue, ftBlob);
  }
  void SetNull(int iIndex, TFieldType iFieldType) override { Set(Param(iIndex), std::monostate{}, WideType(iFieldType)); }
  void SetNullByName(const std::string& iName, TFieldType iFieldType) override {
    Set(Param(iName), std::monostate{}, WideType(iFieldType));
  }
  void SetParamSize(int iIndex, int iSize) override { Param(iIndex).fSize = iSize; }
  void SetParamSizeByName(const std::string& iName, int iSize) override { Param(iName).fSize = iSize; }

  ISQLResultSetPtr ExecuteQueryPrepared() override {
    sqlite3_stmt* stmt = Bind();
    TResetGuard reset{stmt};
    const int columnCount = sqlite3_column_count(stmt);
    std::vector<TSQLResultSet::TColumn> columns;
    for (int c = 0; c < columnCount; ++c) {
      const char* name = sqlite3_column_name(stmt, c);
      columns.push_back({name ? name : "", FieldTypeOfDecl(sqlite3_column_decltype(stmt, c))});
    }
    auto table = std::make_unique<TSQLResultSet::TTable>();
    for (;;) {
      const int rc = sqlite3_step(stmt);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) fCommand.fDatabase->Fail();
      std::vector<TSQLVariant> row;
      row.reserve(static_cast<size_t>(columnCount));
      for (int c = 0; c < columnCount; ++c) row.push_back(ColumnValue(stmt, c));
      table->push_back(std::move(row));
    }
    for (int c = 0; c < columnCount; ++c) {
      // without a declared type (expressions), the first non-null value tells
      if (columns[static_cast<size_t>(c)].fType != ftUnknown) continue;
      for (const auto& row : *table) {
        if (row[static_cast<size_t>(c)].index() == 0) continue;
        columns[static_cast<size_t>(c)].fType = FieldTypeOfValue(row[static_cast<size_t>(c)]);
        break;
      }
    }
    return std::make_shared<TSQLResultSet>(std::move(columns), std::move(table));
  }

  int ExecuteUpdatePrepared() override {
    sqlite3_stmt* stmt = Bind();
    TResetGuard reset{stmt};
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) fCommand.fDatabase->Fail();
    return sqlite3_changes(fCommand.fDatabase->Handle());
  }

private:
  static TFieldType WideType(TFieldType iType) {
    return iType == ftString ? ftWideString : iType == ftMemo ? ftWideMemo : iType;
  }

  static void Set(TParam& ioParam, TSQLVariant iValue, TFieldType iType) {
    ioParam.fValue = std::move(iValue);
    ioParam.fType = iType;
  }

  TParam& Param(int iIndex) {
    if (iIndex < 1 || iIndex > static_cast<int>(fCommand.fParams.size()))
      throw std::out_of_range(fmt::format("Param index out of range: {}", iIndex));
    return fCommand.fParams[static_cast<size_t>(iIndex - 1)];
  }

  TParam& Param(const std::string& iName) {
    for (auto& param : fCommand.fParams)
      if (!param.fName.empty() && param.fName == iName) return param;
    throw std::runtime_error(fmt::format("Invalid param: {}", iName));
  }

  // Compiles the statement at its first execution and binds the current values.
  sqlite3_stmt* Bind() {
    sqlite3* db = fCommand.fDatabase->Handle();
    if (!fIsPrepared) {
      const char* tail = nullptr;
      sqlite3_stmt* handle = nullptr;
      if (sqlite3_prepare_v2(db, fCommand.fSQL.c_str(), static_cast<int>(fCommand.fSQL.size()), &handle, &tail) !=
          SQLITE_OK)
        fCommand.fDatabase->Fail();
      fCommand.fStatement.fHandle = handle;
      if (!handle) throw std::runtime_error("Empty SQL statement");
      if (tail && !Trim(ScanRest(tail)).empty()) {
        throw std::runtime_error(fmt::format("Only one SQL statement per command: {}", fCommand.fSQL));
      }
      if (sqlite3_bind_parameter_count(handle) != static_cast<int>(fCommand.fParams.size()))
        throw std::runtime_error(fmt::format("Unsupported parameters in: {}", fCommand.fSQL));
      for (size_t i = 0; i < fCommand.fParams.size(); ++i) {
        const char* name = sqlite3_bind_parameter_name(handle, static_cast<int>(i + 1));
        const std::string expected = fCommand.fParams[i].fName.empty() ? "" : ":" + fCommand.fParams[i].fName;
        if (expected != (name ? name : ""))
          throw std::runtime_error(fmt::format("Unsupported parameters in: {}", fCommand.fSQL));
      }
      fIsPrepared = true;
    }
    sqlite3_stmt* stmt = fCommand.fStatement.fHandle;
    sqlite3_reset(stmt);
    for (size_t i = 0; i < fCommand.fParams.size(); ++i) {
      const int index = static_cast<int>(i + 1);
      const TSQLVariant& v = fCommand.fParams[i].fValue;
      int rc = SQLITE_OK;
      switch (v.index()) {
        case 0: rc = sqlite3_bind_null(stmt, index); break;
        case 1: rc = sqlite3_bind_int64(stmt, index, std::get<1>(v)); break;
        case 2: rc = sqlite3_bind_double(stmt, index, std::get<2>(v)); break;
        case 3: {
          const auto& text = std::get<3>(v);
          rc = sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
          break;
        }
        case 4: {
          const auto& bytes = std::get<4>(v);
          rc = sqlite3_bind_blob64(stmt, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
          break;
        }
      }
      if (rc != SQLITE_OK) fCommand.fDatabase->Fail();
    }
    return stmt;
  }

  // The text after the first statement without comments, to tell a second statement from none.
  static std::string ScanRest(const char* iTail) {
    std::string rest;
    std::string text(iTail);
    size_t i = 0;
    while (i < text.size()) {
      if (text.compare(i, 2, "--") == 0) {
        i = text.find('\n', i);
        if (i == std::string::npos) break;
      } else if (text.compare(i, 2, "/*") == 0) {
        i = text.find("*/", i + 2);
        if (i == std::string::npos) break;
        i += 2;
      } else {
        if (!std::isspace(static_cast<unsigned char>(text[i])) && text[i] != ';') rest += text[i];
        ++i;
      }
    }
    return rest;
  }

  static TSQLVariant ColumnValue(sqlite3_stmt* iStmt, int iColumn) {
    switch (sqlite3_column_type(iStmt, iColumn)) {
      case SQLITE_INTEGER: return std::int64_t{sqlite3_column_int64(iStmt, iColumn)};
      case SQLITE_FLOAT: return sqlite3_column_double(iStmt, iColumn);
      case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(iStmt, iColumn));
        return std::string(text, static_cast<size_t>(sqlite3_column_bytes(iStmt, iColumn)));
      }
      case SQLITE_BLOB: {
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(iStmt, iColumn));
        return TSQLBytes(data, data + sqlite3_column_bytes(iStmt, iColumn));
      }
    }
    return std::monostate{};
  }

  struct TCommand {
    std::shared_ptr<TSQLiteDatabase> fDatabase;  // declared first: outlives the statement
    std::string fSQL;
    std::vector<TParam> fParams;
    TStatementHandle fStatement;
  } fCommand;
  bool fIsPrepared = false;
};

}  // namespace

// --- database

TSQLiteDatabase::TSQLiteDatabase(const std::string& iConnectionString) {
  const auto settings = ParseConnectionString(iConnectionString);
  auto get = [&](const std::string& iKey, const std::string& iDefault) {
    auto it = settings.find(Lower(iKey));
    return it == settings.end() ? iDefault : it->second;
  };
  const std::string driver = get("DriverID", "SQLite");
  if (Lower(driver) != "sqlite") throw std::runtime_error(fmt::format("Unsupported database driver: {}", driver));
  const std::string path = get("Database", "");
  if (path.empty()) throw std::runtime_error("No database given in the connection string");

  int flags = SQLITE_OPEN_FULLMUTEX;
  const std::string openMode = Lower(get("OpenMode", "CreateUTF8"));
  if (openMode == "createutf8" || openMode == "createutf16")
    flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  else if (openMode == "readwrite")
    flags |= SQLITE_OPEN_READWRITE;
  else if (openMode == "readonly")
    flags |= SQLITE_OPEN_READONLY;
  else
    InvalidValue("OpenMode", openMode);
  flags |= ParseBool("SharedCache", get("SharedCache", "False")) ? SQLITE_OPEN_SHAREDCACHE : SQLITE_OPEN_PRIVATECACHE;

  const std::string timeoutText = get("BusyTimeout", std::to_string(cDefaultBusyTimeoutMS));
  char* end = nullptr;
  const long timeout = std::strtol(timeoutText.c_str(), &end, 10);
  if (timeoutText.empty() || *end || timeout < 0) InvalidValue("BusyTimeout", timeoutText);

  const std::string locking = Lower(get("LockingMode", "Normal"));
  if (locking != "normal" && locking != "exclusive") InvalidValue("LockingMode", locking);
  const std::string synchronous = Lower(get("Synchronous", "Full"));
  static const std::map<std::string, std::string> cSynchronous = {
      {"on", "NORMAL"}, {"normal", "NORMAL"}, {"full", "FULL"}, {"off", "OFF"}, {"extra", "EXTRA"}};
  auto sync = cSynchronous.find(synchronous);
  if (sync == cSynchronous.end()) InvalidValue("Synchronous", synchronous);

  if (sqlite3_open_v2(path.c_str(), &fHandle, flags, nullptr) != SQLITE_OK) {
    const std::string message = fHandle ? sqlite3_errmsg(fHandle) : "out of memory";
    sqlite3_close(fHandle);
    fHandle = nullptr;
    throw std::runtime_error(fmt::format("{}: {}", message, path));
  }
  try {
    sqlite3_extended_result_codes(fHandle, 0);
    // Concurrent connections (the controller and the web requests) wait for
    // each other's locks instead of failing at once.
    sqlite3_busy_timeout(fHandle, static_cast<int>(timeout));
    if (openMode == "createutf16") Exec("PRAGMA encoding = 'UTF-16'");
    Exec(fmt::format("PRAGMA locking_mode = {}", locking == "exclusive" ? "EXCLUSIVE" : "NORMAL"));
    Exec(fmt::format("PRAGMA synchronous = {}", sync->second));
  } catch (...) {
    sqlite3_close(fHandle);
    throw;
  }
}

TSQLiteDatabase::~TSQLiteDatabase() { sqlite3_close(fHandle); }

void TSQLiteDatabase::Exec(const std::string& iSQL) {
  if (sqlite3_exec(fHandle, iSQL.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail();
}

void TSQLiteDatabase::Fail() const { throw std::runtime_error(sqlite3_errmsg(fHandle)); }

// --- connection

TSQLConnection::TSQLConnection(const std::string& iConnectionString)
    : fInternalConnection(std::make_shared<TSQLiteDatabase>(iConnectionString)) {
  fTransaction.fIsolation = ilSerializable;
}

TSQLConnection::~TSQLConnection() {
  // an open transaction ends with its connection, its changes undone
  if (fTransaction.fActive) {
    try {
      fInternalConnection->Exec("ROLLBACK");
    } catch (...) {
    }
  }
}

ISQLPreparedStatementPtr TSQLConnection::PrepareStatement(const std::string& iSQL) {
  return std::make_shared<TSQLPreparedStatement>(fInternalConnection, iSQL);
}

bool TSQLConnection::PingServer() {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(fInternalConnection->Handle(), "SELECT 1", -1, &stmt, nullptr) != SQLITE_OK) return false;
  const bool ok = sqlite3_step(stmt) == SQLITE_ROW;
  sqlite3_finalize(stmt);
  return ok;
}

void TSQLConnection::SetIsolationLevel(TSQLIsolationLevel iLevel) {
  if (iLevel < ilUnspecified || iLevel > ilSerializable) return;
  fTransaction.fIsolation = iLevel;
}

void TSQLConnection::BeginTransaction() {
  // The stricter levels take the write lock at once: a deferred transaction that
  // later needs to write can fail without waiting when another writer is active.
  const bool immediate = fTransaction.fIsolation == ilRepeatableRead || fTransaction.fIsolation == ilSnapshot ||
                         fTransaction.fIsolation == ilSerializable;
  fInternalConnection->Exec(immediate ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED");
  fTransaction.fActive = true;
}

void TSQLConnection::CommitTransaction() {
  fInternalConnection->Exec("COMMIT");
  fTransaction.fActive = false;
}

void TSQLConnection::RollbackTransaction() {
  fTransaction.fActive = false;
  fInternalConnection->Exec("ROLLBACK");
}

ISQLConnectionPtr CreateSQLConnection(const std::string& iConnectionString) {
  return std::make_shared<TSQLConnection>(iConnectionString);
}

std::string SQLiteConnectionString(const std::string& iDatabasePath) {
  std::string quoted;
  for (char c : iDatabasePath) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return fmt::format(
      "DriverID=SQLite;Database=\"{}\";Synchronous=ON;OpenMode=CreateUTF8;SharedCache=False;"
      "LockingMode=Normal;StringFormat=Unicode;DateTimeFormat=String;",
      quoted);
}
