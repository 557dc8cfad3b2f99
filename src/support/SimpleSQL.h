#pragma once
// SQLite implementation of the SQL access interfaces.
#include "support/SimpleSQLInterface.h"

struct sqlite3;

// The open SQLite connection, shared by the connection object and its
// statements so that statements keep it alive.
class TSQLiteDatabase {
public:
  explicit TSQLiteDatabase(const std::string& iConnectionString);
  ~TSQLiteDatabase();
  TSQLiteDatabase(const TSQLiteDatabase&) = delete;
  TSQLiteDatabase& operator=(const TSQLiteDatabase&) = delete;
  sqlite3* Handle() const { return fHandle; }
  // runs a statement without parameters or results
  void Exec(const std::string& iSQL);
  [[noreturn]] void Fail() const;  // throws std::runtime_error with SQLite's message

private:
  sqlite3* fHandle = nullptr;
};

class TSQLConnection final : public ISQLConnection {
public:
  explicit TSQLConnection(const std::string& iConnectionString);
  ~TSQLConnection() override;
  ISQLPreparedStatementPtr PrepareStatement(const std::string& iSQL) override;
  bool PingServer() override;
  void SetIsolationLevel(TSQLIsolationLevel iLevel) override;
  void BeginTransaction() override;
  void CommitTransaction() override;
  void RollbackTransaction() override;

private:
  std::shared_ptr<TSQLiteDatabase> fInternalConnection;
  struct TTransaction {
    TSQLIsolationLevel fIsolation = ilSerializable;
    bool fActive = false;
  } fTransaction;
};
