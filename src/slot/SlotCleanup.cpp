#include "slot/SlotCleanup.h"

#include <fmt/format.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <system_error>

#include "slot/SlotDatabase.h"
#include "support/SimpleSQLInterface.h"

namespace fs = std::filesystem;

namespace {

// Files that belong to a recording and mean nothing without it. Not the cue
// sheet: the list of what was played outlives the audio.
constexpr const char* kSidecarSuffixes[] = {".peaks"};

bool IsMissingError(int iError) { return iError == ENOENT || iError == ENOTDIR; }

void Log(const TSlotLogSink& iLog, const std::string& iMessage) {
  if (iLog) iLog(iMessage);
}

// True when iPath lies strictly below iRoot, judged on the names alone.
bool IsStrictlyBelow(const fs::path& iPath, const fs::path& iRoot) {
  if (iRoot.empty()) return false;
  const fs::path rel = iPath.lexically_normal().lexically_relative(iRoot.lexically_normal());
  if (rel.empty() || rel == ".") return false;
  return *rel.begin() != "..";
}

void DeleteSidecars(const std::string& iPath, const TSlotLogSink& iLog) {
  for (const char* suffix : kSidecarSuffixes) {
    const std::string sidecar = iPath + suffix;
    if (::unlink(sidecar.c_str()) != 0 && !IsMissingError(errno))
      Log(iLog, fmt::format("Error deleting {}: Error code {}", sidecar, errno));
  }
}

// Removes the folders that the deletion left empty, from the file's own folder
// upwards. The slot folder and everything above it stay: the slot recreates its
// day folders, but a folder above it may be a mount point or belong to the user.
void RemoveEmptiedFolders(const std::string& iPath, const std::string& iSlotFolder) {
  const fs::path root(iSlotFolder);
  fs::path folder = fs::path(iPath).lexically_normal().parent_path();
  while (IsStrictlyBelow(folder, root) && ::rmdir(folder.c_str()) == 0) folder = folder.parent_path();
}

bool IsCurrentFile(const std::string& iPath, const TSlotCleanupContext& iContext) {
  return !iContext.fCurrentFilename.empty() &&
         fs::path(iPath).lexically_normal() == fs::path(iContext.fCurrentFilename).lexically_normal();
}

}  // namespace

int64_t FreeDiskSpace(const std::string& iFolder) {
  if (iFolder.empty()) return -1;
  std::error_code ec;
  fs::path folder = fs::absolute(iFolder, ec);
  if (ec) return -1;
  folder = folder.lexically_normal();
  // The slot folder may not exist yet (before the first file); its nearest
  // existing parent lies on the file system the folder will be created on.
  for (;;) {
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) == 0) {
      const unsigned long long bytes =
          static_cast<unsigned long long>(info.f_bavail) * static_cast<unsigned long long>(info.f_frsize);
      constexpr auto kMax = static_cast<unsigned long long>(std::numeric_limits<int64_t>::max());
      return static_cast<int64_t>(bytes > kMax ? kMax : bytes);
    }
    if (!IsMissingError(errno)) return -1;
    const fs::path parent = folder.parent_path();
    if (parent.empty() || parent == folder) return -1;
    folder = parent;
  }
}

bool DeleteRecording(ISQLConnection& iConnection, int32_t iID, const std::string& iPath,
                     const std::string& iSlotFolder, const TSlotLogSink& iLog) {
  // unlink, not a generic remove: a row must never make us delete a folder.
  if (::unlink(iPath.c_str()) == 0) {
    Log(iLog, fmt::format("Deleted {}", iPath));
  } else if (const int error = errno; IsMissingError(error)) {
    Log(iLog, fmt::format("Warning: File was missing, deleted from database: {}", iPath));
  } else {
    Log(iLog, fmt::format("Error deleting {}: Error code {}", iPath, error));
    return false;
  }
  DeleteSidecars(iPath, iLog);
  RemoveEmptiedFolders(iPath, iSlotFolder);
  DeleteRecordingRow(iConnection, iID);
  return true;
}

bool CleanUpByAge(const TSlotCleanupContext& iContext, bool iEnabled, int32_t iDays) {
  if (!iEnabled) return false;
  ISQLConnectionPtr connection = iContext.fGetDatabaseConnection();
  const std::string folder = SlotFolderWithSeparator(iContext.fFolder);
  bool found = false;
  for (const TRecordingRef& row : SelectExpiredRecordings(*connection, iDays)) {
    const std::string path = folder + row.fFilename;
    // A file that outlived the retention while still being written (a slot that
    // never rotates) stays until it is closed.
    if (IsCurrentFile(path, iContext)) continue;
    DeleteRecording(*connection, row.fID, path, iContext.fFolder, iContext.fLog);
    found = true;
  }
  return found;
}

bool CleanupBySpace(const TSlotCleanupContext& iContext, bool iEnabled, int32_t iSpaceGiB) {
  if (!iEnabled) return false;
  const int64_t free = iContext.fFreeSpace ? iContext.fFreeSpace(iContext.fFolder) : FreeDiskSpace(iContext.fFolder);
  if (free < 0) return false;
  // In 64 bits: 2 GiB and more do not fit a 32-bit product.
  const int64_t floor = static_cast<int64_t>(iSpaceGiB) * 1024 * 1024 * 1024;
  if (free >= floor) return false;
  ISQLConnectionPtr connection = iContext.fGetDatabaseConnection();
  const std::string folder = SlotFolderWithSeparator(iContext.fFolder);
  for (const TRecordingRef& row : SelectRecordingsOldestFirst(*connection)) {
    const std::string path = folder + row.fFilename;
    // Unlinking the file being written frees nothing while the encoder holds it
    // open, and loses the recording.
    if (IsCurrentFile(path, iContext)) continue;
    if (DeleteRecording(*connection, row.fID, path, iContext.fFolder, iContext.fLog)) return true;
  }
  return false;
}
