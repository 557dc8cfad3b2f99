#pragma once
// Open read connections to the slots' databases, kept between archive
// requests with their statements compiled. Opening a database, setting its
// pragmas and compiling the query cost more than the query itself, and a
// fresh connection starts with an empty page cache; the calendar page asks
// the same window again and again.
//
// A connection is taken for one request and given back afterwards; one that
// stayed unused for a while is closed, and all of a database's connections
// are dropped as soon as its file is another one (deleted, replaced).
#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;
class TSQLiteDatabase;

// Tells one database file from another under the same name (a file
// deleted and created again, or another renamed over it); 0 when there is none.
unsigned long long DatabaseFileID(const std::string& iPath);

class TArchiveReader {
public:
  explicit TArchiveReader(const std::string& iDatabasePath);
  ~TArchiveReader();
  TArchiveReader(const TArchiveReader&) = delete;
  TArchiveReader& operator=(const TArchiveReader&) = delete;

  // The statement for iSQL, compiled at its first use and reset (its
  // parameters cleared) for this one; one statement per reader at a time.
  sqlite3_stmt* Statement(const char* iSQL);
  // Ends the statement's run (and its read transaction); it stays compiled.
  void Finish();
  [[noreturn]] void Fail() const;  // throws std::runtime_error with SQLite's message

private:
  std::unique_ptr<TSQLiteDatabase> fDatabase;
  const char* fSQL = nullptr;
  sqlite3_stmt* fStatement = nullptr;
};

// A reader of one database for the length of a request: back to the pool
// when it ends.
class TArchiveReaderLease {
public:
  explicit TArchiveReaderLease(const std::string& iDatabasePath);  // OpenArchiveDatabase's rules
  ~TArchiveReaderLease();
  TArchiveReaderLease(const TArchiveReaderLease&) = delete;
  TArchiveReaderLease& operator=(const TArchiveReaderLease&) = delete;
  TArchiveReader& operator*() const { return *fReader; }
  TArchiveReader* operator->() const { return fReader.get(); }

private:
  std::string fPath;
  unsigned long long fFileID = 0;  // the file it was taken for
  std::unique_ptr<TArchiveReader> fReader;
};
