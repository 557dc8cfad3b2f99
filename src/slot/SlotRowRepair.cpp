#include "slot/SlotRowRepair.h"

#include <fmt/format.h>

#include <filesystem>
#include <system_error>

#include "slot/SlotFileLength.h"
#include "slot/SlotInfo.h"
#include "support/SimpleSQLInterface.h"
#include "support/SimpleThread.h"

namespace {

// How long a failing database is left alone before the next try.
constexpr uint32_t kRetryMilliseconds = 5000;

bool IsFile(const std::string& iPath) {
  std::error_code ec;
  return !iPath.empty() && std::filesystem::is_regular_file(iPath, ec);
}

}  // namespace

std::vector<TRecordingRef> TSlotRowRepair::OpenRows(const std::string& iDatabasePath) {
  std::error_code ec;
  if (!std::filesystem::exists(iDatabasePath, ec)) return {};
  ISQLConnectionPtr connection = GetSlotDatabaseConnection(iDatabasePath);
  ISQLResultSetPtr rows = connection->PrepareStatement(kSQLSelectOpenRecordings)->ExecuteQueryPrepared();
  std::vector<TRecordingRef> refs;
  while (rows->Next()) refs.push_back({rows->GetInt(1), rows->GetString(2)});
  return refs;
}

TSlotRowRepair::TSlotRowRepair(std::vector<TRecordingRef> iRows, std::string iDatabasePath, std::string iFolder,
                               std::string iSecondaryFolder, TSlotLogSink iLog, const std::string& iThreadName)
    : fRows(std::move(iRows)), fDatabasePath(std::move(iDatabasePath)), fFolder(std::move(iFolder)),
      fSecondaryFolder(std::move(iSecondaryFolder)), fLog(std::move(iLog)) {
  fThread = std::make_unique<TSimpleThread>([this] { Run(); }, iThreadName);
  fThread->Start();
}

TSlotRowRepair::~TSlotRowRepair() { fThread.reset(); }

bool TSlotRowRepair::Finished() const { return fThread->Finished(); }

void TSlotRowRepair::Run() {
  TSimpleThread* self = TSimpleThread::Current();
  const auto stop = [self] { return self->Terminated(); };
  std::string lastError;
  for (const TRecordingRef& row : fRows) {
    std::string path = fFolder + row.fFilename;
    if (!IsFile(path) && !fSecondaryFolder.empty()) path = fSecondaryFolder + row.fFilename;
    if (!IsFile(path)) continue;  // gone: the cleanup removes its row
    double seconds = 0;
    try {
      seconds = RecordingFileSeconds(path, stop);
    } catch (const std::exception& e) {
      if (stop()) return;
      if (fLog) fLog(fmt::format("Length of {} unknown: {}", path, e.what()));
      continue;
    }
    // A WAV file's header may lag its data; players trust the header.
    CompleteWavHeader(path);
    while (!stop()) {
      try {
        ISQLConnectionPtr connection = GetSlotDatabaseConnection(fDatabasePath);
        ISQLPreparedStatementPtr update = connection->PrepareStatement(kSQLRepairDuration);
        update->SetFloatByName("duration", seconds);
        update->SetIntByName("id", row.fID);
        update->ExecuteUpdatePrepared();
        if (fLog) fLog(fmt::format("Length of {} measured: {:.1f} s (the program ended without closing it)", path, seconds));
        break;
      } catch (const std::exception& e) {
        if (fLog && e.what() != lastError) fLog(fmt::format("Error updating database: {}", e.what()));
        lastError = e.what();
        self->WaitForEvent(kRetryMilliseconds);
      }
    }
    if (stop()) return;
  }
}

void TSlotInfo::StartRowRepair() {
  // Once per run, before the run enters a row of its own.
  if (fRowRepair) return;
  const std::string database = DatabasePath();
  std::vector<TRecordingRef> rows;
  try {
    rows = TSlotRowRepair::OpenRows(database);
  } catch (const std::exception&) {
    // A database out of reach now: its rows are measured at the next start.
  }
  const std::string secondary = fSecondaryFolder.Get();
  fRowRepair = std::make_shared<TSlotRowRepair>(std::move(rows), database, SlotFolderWithSeparator(fFolder.Get()),
                                                SlotFolderWithSeparator(secondary),
                                                [this](const std::string& m) { DoLogMessage(m); },
                                                fmt::format("RowRepair Slot {}", fIndex));
}
