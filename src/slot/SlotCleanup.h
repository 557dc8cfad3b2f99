#pragma once
// Retention cleanup of one slot: recordings are deleted by age and by free disk
// space, always together with their database row.
//
// Use from TSlotInfo (slot lock held for the whole call):
//   TSlotCleanupContext ctx{fFolder, [this] { return GetDatabaseConnection(); }, log, {}, fCurrentFilename};
//   bool work = CleanUpByAge(ctx, fCleanupDaysEnabled, fCleanupDays);
//   bool more = CleanupBySpace(ctx, fCleanupSpaceEnabled, fCleanupSpace);
// fGetDatabaseConnection is called while the caller holds its slot lock, so
// that lock must be recursive. Errors of the database connection are not
// caught here: the controller logs them per slot. Log lines go to the sink without the slot's name.
//
// Beside each recording may lie files that belong to it. The waveform peaks
// "<file>.peaks" mean nothing without it and go with it. The cue sheet
// "<file>.cue" stays: it is the record of what was played, which stations
// keep for music reporting long after the audio expired, so it also keeps its
// day folder. Emptied folders are removed upwards, but never the slot folder
// itself nor anything above it.
// The file being written (fCurrentFilename) is never deleted by either rule.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "slot/SlotLogSink.h"

class ISQLConnection;

// Bytes of free space available to this process's user on the file system
// that holds iFolder, or the nearest existing parent of it; -1 when unknown.
int64_t FreeDiskSpace(const std::string& iFolder);

using TFreeSpaceFunction = std::function<int64_t(const std::string& iFolder)>;

struct TSlotCleanupContext {
  std::string fFolder;  // the slot folder; row file names are relative to it
  std::function<std::shared_ptr<ISQLConnection>()> fGetDatabaseConnection;
  TSlotLogSink fLog;
  TFreeSpaceFunction fFreeSpace;  // empty: FreeDiskSpace
  std::string fCurrentFilename;   // full path of the file being written, empty when none
};

// Deletes every recording older than iDays days. True when at least one expired
// row was found (whatever became of its file), so the caller keeps cleaning.
bool CleanUpByAge(const TSlotCleanupContext& iContext, bool iEnabled, int32_t iDays);

// While less than iSpaceGiB GiB are free, deletes the oldest recording that can
// be deleted; true when one was deleted (or found missing). One per call.
bool CleanupBySpace(const TSlotCleanupContext& iContext, bool iEnabled, int32_t iSpaceGiB);

// Deletes the file iPath of row iID and its sidecar files, removes emptied
// folders up to (not including) iSlotFolder, and deletes the row. Logs
// "Deleted <path>", or "Warning: File was missing, deleted from database: <path>";
// both give true. Any other failure logs "Error deleting <path>: Error code <errno>",
// keeps the row and gives false.
bool DeleteRecording(ISQLConnection& iConnection, int32_t iID, const std::string& iPath,
                     const std::string& iSlotFolder, const TSlotLogSink& iLog);
