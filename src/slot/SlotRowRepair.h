#pragma once
// Rows that a crash left without a length (the program was killed or the
// machine lost power while their file was written): the archive calendar does
// not list them. At the slot's first file of a run, the rows without a length
// are read at once (one query, before the run enters rows of its own); a
// thread of its own then measures each file that is still there and stores
// its length, so that reading long files never holds the controller. Rows of
// files that are gone are left to the cleanup.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "slot/SlotDatabase.h"
#include "slot/SlotLogSink.h"

class TSimpleThread;

inline constexpr const char* kSQLSelectOpenRecordings =
    "SELECT id, filename FROM recordings WHERE duration IS NULL ORDER BY id";
// Never overwrites a length that was stored meanwhile.
inline constexpr const char* kSQLRepairDuration =
    "UPDATE recordings SET duration=:duration WHERE id=:id AND duration IS NULL";

class TSlotRowRepair {
public:
  // The rows of iDatabasePath without a length, or none when there is no
  // database yet (a slot that never recorded gets none made here). Throws what
  // the SQL layer throws.
  static std::vector<TRecordingRef> OpenRows(const std::string& iDatabasePath);

  // Starts measuring iRows at once. iFolder and iSecondaryFolder end with a
  // separator or are empty. iLog: any thread.
  TSlotRowRepair(std::vector<TRecordingRef> iRows, std::string iDatabasePath, std::string iFolder,
                 std::string iSecondaryFolder, TSlotLogSink iLog, const std::string& iThreadName);
  ~TSlotRowRepair();  // stops (a file being read is left at once) and waits
  TSlotRowRepair(const TSlotRowRepair&) = delete;
  TSlotRowRepair& operator=(const TSlotRowRepair&) = delete;

  bool Finished() const;

private:
  void Run();
  std::vector<TRecordingRef> fRows;
  const std::string fDatabasePath, fFolder, fSecondaryFolder;
  const TSlotLogSink fLog;
  std::unique_ptr<TSimpleThread> fThread;
};
