#include "web/ArchiveReaders.h"

#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "support/SimpleSQL.h"
#include "web/ArchiveAPI.h"

namespace {
using TClock = std::chrono::steady_clock;
// as many as clients that ask one slot at once, roughly
constexpr size_t kKeptPerDatabase = 8;
// a calendar page polls far more often than this
constexpr auto kIdleClose = std::chrono::seconds(30);

struct TIdleReader {
  std::unique_ptr<TArchiveReader> Reader;
  TClock::time_point Since;
};
struct TDatabaseReaders {
  unsigned long long FileID = 0;
  std::vector<TIdleReader> Idle;
};

std::mutex gMutex;
std::map<std::string, TDatabaseReaders>& Pool() {
  static auto* pool = new std::map<std::string, TDatabaseReaders>;  // outlives serving threads at exit
  return *pool;
}

}  // namespace

unsigned long long DatabaseFileID(const std::string& iPath) {
  // The inode alone is no name for a file: a deleted one's number is soon
  // given to the next new file. Its birth time tells them apart (or, where
  // the file system keeps none, the time of its last change).
  struct statx s {};
  if (::statx(AT_FDCWD, iPath.c_str(), 0, STATX_INO | STATX_BTIME | STATX_CTIME, &s) != 0) return 0;
  const auto& t = (s.stx_mask & STATX_BTIME) ? s.stx_btime : s.stx_ctime;
  unsigned long long id = (static_cast<unsigned long long>(s.stx_dev_major) << 52) ^
                          (static_cast<unsigned long long>(s.stx_dev_minor) << 40) ^ s.stx_ino;
  id = id * 1000003ULL ^ static_cast<unsigned long long>(t.tv_sec) * 1000000000ULL ^ t.tv_nsec;
  return id != 0 ? id : 1;
}

TArchiveReader::TArchiveReader(const std::string& iDatabasePath)
    : fDatabase(std::make_unique<TSQLiteDatabase>(SQLiteConnectionString(iDatabasePath))) {}

TArchiveReader::~TArchiveReader() { sqlite3_finalize(fStatement); }

sqlite3_stmt* TArchiveReader::Statement(const char* iSQL) {
  if (fSQL != iSQL) {
    sqlite3_finalize(fStatement);
    fStatement = nullptr;
    fSQL = nullptr;
    if (sqlite3_prepare_v2(fDatabase->Handle(), iSQL, -1, &fStatement, nullptr) != SQLITE_OK) Fail();
    fSQL = iSQL;
  }
  sqlite3_reset(fStatement);
  sqlite3_clear_bindings(fStatement);
  return fStatement;
}

void TArchiveReader::Finish() {
  if (fStatement) sqlite3_reset(fStatement);
}

void TArchiveReader::Fail() const { fDatabase->Fail(); }

TArchiveReaderLease::TArchiveReaderLease(const std::string& iDatabasePath) : fPath(iDatabasePath) {
  fFileID = DatabaseFileID(fPath);
  if (fFileID != 0) {
    std::vector<TIdleReader> stale;  // closed outside the lock
    std::lock_guard<std::mutex> lock(gMutex);
    auto& readers = Pool()[fPath];
    if (readers.FileID != fFileID) {
      stale.swap(readers.Idle);
      readers.FileID = fFileID;
    }
    if (!readers.Idle.empty()) {
      fReader = std::move(readers.Idle.back().Reader);
      readers.Idle.pop_back();
      return;
    }
  }
  // the folder, the table and its index as for any archive request
  OpenArchiveDatabase(fPath);
  fFileID = DatabaseFileID(fPath);
  fReader = std::make_unique<TArchiveReader>(fPath);
}

TArchiveReaderLease::~TArchiveReaderLease() {
  // a statement left mid-way would hold its read transaction, and with it
  // the recorder's next write
  fReader->Finish();
  std::vector<TIdleReader> closing;  // closed outside the lock
  const auto now = TClock::now();
  std::lock_guard<std::mutex> lock(gMutex);
  for (auto& [path, readers] : Pool()) {
    auto& idle = readers.Idle;
    for (auto it = idle.begin(); it != idle.end();) {
      if (now - it->Since < kIdleClose) {
        ++it;
        continue;
      }
      closing.push_back(std::move(*it));
      it = idle.erase(it);
    }
  }
  auto& readers = Pool()[fPath];
  if (readers.FileID == fFileID && readers.Idle.size() < kKeptPerDatabase)
    readers.Idle.push_back({std::move(fReader), now});
}
