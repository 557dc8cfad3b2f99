#pragma once
// The SQL access interfaces: a connection that prepares statements and runs
// transactions, a prepared statement with parameters set by position (from 1)
// or by name (":name" in the SQL text, given here without the colon), and a
// result set that holds every row of a query in memory, so it outlives its
// statement and connection. Each object lives while a shared_ptr refers to it;
// a statement keeps its connection open.
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>
#include "support/DateTime.h"

enum TFieldType {
  ftUnknown,
  ftString,
  ftWideString,
  ftMemo,
  ftWideMemo,
  ftInteger,
  ftLargeint,
  ftFloat,
  ftDate,
  ftTime,
  ftDateTime,
  ftBlob,
};

enum TSQLIsolationLevel {
  ilUnspecified,
  ilDirtyRead,
  ilReadCommitted,
  ilRepeatableRead,
  ilSnapshot,
  ilSerializable,
};

using TSQLBytes = std::vector<std::uint8_t>;
// A value that may be null (std::monostate). Dates travel as their text form.
using TSQLVariant = std::variant<std::monostate, std::int64_t, double, std::string, TSQLBytes>;

class ISQLResultSet {
public:
  virtual ~ISQLResultSet() = default;
  virtual bool First() = 0;  // to the first row; false when there is none
  virtual bool Next() = 0;   // one row on (the first row after creation); false past the end
  // Columns are numbered from 1. A column or row outside the result throws std::out_of_range.
  virtual bool IsNull(int iColumn) = 0;
  virtual TSQLVariant GetValue(int iColumn) = 0;
  virtual std::string GetString(int iColumn) = 0;  // "" for null
  virtual std::string GetMemo(int iColumn) = 0;    // "" for null
  virtual std::int32_t GetInt(int iColumn) = 0;    // 0 for null
  virtual double GetFloat(int iColumn) = 0;        // 0 for null
  // 0 for null; text that is no date-time throws "Invalid date-time value: %s"
  virtual TDateTime GetDate(int iColumn) = 0;
  virtual TDateTime GetTime(int iColumn) = 0;
  virtual TDateTime GetTimestamp(int iColumn) = 0;
  virtual TSQLBytes GetBinaryStream(int iColumn) = 0;  // empty for null
  virtual int GetColumnCount() = 0;
  virtual std::string GetColumnName(int iColumn) = 0;
  virtual TFieldType GetColumnFieldType(int iColumn) = 0;
};
using ISQLResultSetPtr = std::shared_ptr<ISQLResultSet>;

class ISQLPreparedStatement {
public:
  virtual ~ISQLPreparedStatement() = default;
  // Parameters by number (from 1): a number outside the statement's list throws
  // std::out_of_range. By name: a name the SQL text lacks throws
  // "Invalid param: %s". A value stays bound until set again, across executions.
  virtual void SetFieldType(int iIndex, TFieldType iType) = 0;
  virtual void SetFieldTypeByName(const std::string& iName, TFieldType iType) = 0;
  virtual void SetValue(int iIndex, const TSQLVariant& iValue) = 0;
  virtual void SetInt(int iIndex, std::int32_t iValue) = 0;
  virtual void SetString(int iIndex, const std::string& iValue) = 0;
  virtual void SetMemo(int iIndex, const std::string& iValue) = 0;
  virtual void SetDate(int iIndex, TDateTime iValue) = 0;       // "yyyy-mm-dd"
  virtual void SetTime(int iIndex, TDateTime iValue) = 0;       // "hh:nn:ss.zzz"
  virtual void SetTimestamp(int iIndex, TDateTime iValue) = 0;  // "yyyy-mm-dd hh:nn:ss.zzz"
  virtual void SetFloat(int iIndex, double iValue) = 0;
  virtual void SetBinaryStream(int iIndex, const TSQLBytes& iValue) = 0;
  virtual void SetValueByName(const std::string& iName, const TSQLVariant& iValue) = 0;
  virtual void SetIntByName(const std::string& iName, std::int32_t iValue) = 0;
  virtual void SetStringByName(const std::string& iName, const std::string& iValue) = 0;
  virtual void SetMemoByName(const std::string& iName, const std::string& iValue) = 0;
  virtual void SetDateByName(const std::string& iName, TDateTime iValue) = 0;
  virtual void SetTimeByName(const std::string& iName, TDateTime iValue) = 0;
  virtual void SetTimestampByName(const std::string& iName, TDateTime iValue) = 0;
  virtual void SetFloatByName(const std::string& iName, double iValue) = 0;
  virtual void SetBinaryStreamByName(const std::string& iName, const TSQLBytes& iValue) = 0;
  virtual void SetNull(int iIndex, TFieldType iFieldType) = 0;
  virtual void SetNullByName(const std::string& iName, TFieldType iFieldType) = 0;
  virtual void SetParamSize(int iIndex, int iSize) = 0;
  virtual void SetParamSizeByName(const std::string& iName, int iSize) = 0;
  // The SQL text is compiled at the first execution; SQLite's errors (malformed
  // SQL, a locked file, constraint violations) are thrown with its message.
  virtual ISQLResultSetPtr ExecuteQueryPrepared() = 0;
  virtual int ExecuteUpdatePrepared() = 0;  // number of rows changed
};
using ISQLPreparedStatementPtr = std::shared_ptr<ISQLPreparedStatement>;

class ISQLConnection {
public:
  virtual ~ISQLConnection() = default;
  virtual ISQLPreparedStatementPtr PrepareStatement(const std::string& iSQL) = 0;
  virtual bool PingServer() = 0;
  virtual void SetIsolationLevel(TSQLIsolationLevel iLevel) = 0;
  // Without BeginTransaction every statement commits on its own.
  virtual void BeginTransaction() = 0;
  virtual void CommitTransaction() = 0;
  virtual void RollbackTransaction() = 0;
};
using ISQLConnectionPtr = std::shared_ptr<ISQLConnection>;

// Opens (and with OpenMode=CreateUTF8 creates) the database named by a
// connection string of key=value pairs separated by semicolons, values
// optionally in quotation marks ("" inside them stands for one):
//   DriverID=SQLite;Database="<path>";Synchronous=ON;OpenMode=CreateUTF8;
//   SharedCache=False;LockingMode=Normal;StringFormat=Unicode;DateTimeFormat=String;
// BusyTimeout=<ms> (default 5000) is how long a statement waits for a lock
// another connection holds before it fails with "database is locked".
ISQLConnectionPtr CreateSQLConnection(const std::string& iConnectionString);

// The connection string for one database file.
std::string SQLiteConnectionString(const std::string& iDatabasePath);
