// The slot's database, retention cleanup and level measurement, delegated to
// their own units.
#include <fmt/format.h>

#include "slot/SlotCleanup.h"
#include "slot/SlotDatabase.h"
#include "slot/SlotInfo.h"
#include "support/SimpleSQLInterface.h"

std::string TSlotInfo::DatabasePath() const {
  return SlotDatabasePath(fDatabaseFile.Get(), fDatabaseFolder.Get(), fFolder.Get(), fIndex);
}

std::shared_ptr<ISQLConnection> TSlotInfo::GetDatabaseConnection() {
  std::shared_ptr<ISQLConnection> connection;
  std::string path;
  try {
    {
      std::lock_guard<std::recursive_mutex> lock(fCS);
      path = DatabasePath();
      connection = OpenSlotDatabase(path);
    }
    // Outside the slot lock: the table statement may wait for another user of the file.
    CreateRecordingsTable(*connection);
  } catch (const std::exception& e) {
    // Every file start and every cleanup pass comes here: the failure is
    // logged when it begins, not each time.
    const std::string error = fmt::format("Cannot open database {}: {}", path, e.what());
    ReportError(ekDatabase, error);
    throw TSlotReportedError(error);
  }
  ReportError(ekDatabase, "");
  return connection;
}

TSlotCleanupContext TSlotInfo::CleanupContext() {
  // A file that cannot be deleted is tried again every second; its error is
  // logged once an hour.
  return TSlotCleanupContext{fFolder.Get(), [this] { return GetDatabaseConnection(); },
                             [this](const std::string& m) {
                               if (fCleanupLines.Pass(m, Clock().TickCount())) DoLogMessage(m);
                             },
                             {}, fCurrentFilename.Get()};
}

// A database that cannot be opened is the slot's reported error; the cleanup
// tries again after the next file and says nothing more about it.
bool TSlotInfo::CleanUpByAge() {
  std::lock_guard<std::recursive_mutex> lock(fCS);
  try {
    return ::CleanUpByAge(CleanupContext(), fCleanupDaysEnabled, fCleanupDays);
  } catch (const TSlotReportedError&) {
    return false;
  }
}

bool TSlotInfo::CleanupBySpace() {
  std::lock_guard<std::recursive_mutex> lock(fCS);
  try {
    return ::CleanupBySpace(CleanupContext(), fCleanupSpaceEnabled, fCleanupSpace);
  } catch (const TSlotReportedError&) {
    return false;
  }
}

bool TSlotInfo::DeleteRecording(ISQLConnection& iConnection, int32_t iID, const std::string& iPath) {
  std::lock_guard<std::recursive_mutex> lock(fCS);
  return ::DeleteRecording(iConnection, iID, iPath, fFolder.Get(), [this](const std::string& m) { DoLogMessage(m); });
}

void TSlotInfo::LevelDSPProc(HDSP, DWORD, void* iBuffer, DWORD iLength, void* iUser) {
  static_cast<TSlotInfo*>(iUser)->fLevels.DoLevelDSP(iBuffer, iLength);
}

void TSlotInfo::CounterDSPProc(HDSP, DWORD, void*, DWORD iLength, void* iUser) {
  static_cast<TSlotInfo*>(iUser)->DoCounterDSP(iLength);
}
