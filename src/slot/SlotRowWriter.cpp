#include "slot/SlotRowWriter.h"

#include <fmt/format.h>

#include <filesystem>
#include <system_error>
#include <thread>

#include "slot/SlotDatabase.h"
#include "slot/SlotErrorReport.h"
#include "slot/SlotFileLength.h"
#include "slot/SlotPeaksFormat.h"
#include "support/SimpleSQLInterface.h"

namespace {

// The count is final once the encoder has finished, or once it died by
// itself (nothing reaches its file after that).
bool Finished(const TEndedFile& iFile) {
  return !iFile.fOutcome || iFile.fOutcome->finished.load() || iFile.fOutcome->died.load();
}

bool Ready(const TEndedFile& iFile, uint64_t iTick) {
  return Finished(iFile) || iTick - iFile.fEndTick >= TSlotRowWriter::kFinishWaitMilliseconds;
}

void RemoveIfThere(const std::string& iPath) {
  std::error_code ignored;
  std::filesystem::remove(iPath, ignored);
}

}  // namespace

void TSlotRowWriter::Failed(const std::exception& iError, uint64_t iTick, const TSlotLogSink& iLog) {
  fLastFailureTick = iTick ? iTick : 1;
  fHasError = true;
  const std::string text = iError.what();
  if (text == fLastError) return;
  fLastError = text;
  if (dynamic_cast<const TSlotReportedError*>(&iError)) return;
  if (iLog) iLog(fmt::format("Error updating database: {}", text));
}

bool TSlotRowWriter::Write(TEndedFile& ioFile, ISQLConnection& iConnection, const TSlotLogSink&) {
  if (ioFile.fOutcome && Finished(ioFile) && ioFile.fOutcome->accepted.load() == 0) {
    // Nothing reached the file (an encoder that died at once): no row, no
    // waveform, and the file itself only when it holds no audio indeed.
    if (ioFile.fID != 0) DeleteRecordingRow(iConnection, ioFile.fID);
    ioFile.fID = 0;
    RemoveIfThere(ioFile.fFullName + kPeaksSuffix);
    if (HoldsNoAudio(ioFile.fFullName)) RemoveIfThere(ioFile.fFullName);
    return true;
  }
  const double seconds = ioFile.fOutcome ? static_cast<double>(ioFile.fOutcome->accepted.load()) / ioFile.fBytesPerSecond
                                         : ioFile.fFedSeconds;
  // A file whose row could not be entered when it began gets it now: without
  // one it would never be listed in the archive nor found by the cleanup. The
  // id is kept at once, so a failing update does not enter it twice.
  if (ioFile.fID == 0) ioFile.fID = InsertRecordingRow(iConnection, ioFile.fStartTime, ioFile.fRelativeName);
  UpdateRecordingDuration(iConnection, ioFile.fID, seconds);
  if (fOnRowWritten) fOnRowWritten(ioFile, seconds);
  return true;
}

void TSlotRowWriter::Process(uint64_t iTick, const TConnect& iConnect, const TSlotLogSink& iLog) {
  if (fFiles.empty() || !RetryDue(iTick)) return;
  bool any = false;
  for (const TEndedFile& f : fFiles) any = any || Ready(f, iTick);
  if (!any) return;
  try {
    std::shared_ptr<ISQLConnection> connection = iConnect();
    for (auto it = fFiles.begin(); it != fFiles.end();) {
      if (Ready(*it, iTick) && Write(*it, *connection, iLog))
        it = fFiles.erase(it);
      else
        ++it;
    }
    fLastFailureTick = 0;
    Succeeded();
  } catch (const std::exception& e) {
    Failed(e, iTick, iLog);
  }
}

void TSlotRowWriter::Drain(std::chrono::milliseconds iLimit, uint64_t iTick, const TConnect& iConnect,
                           const TSlotLogSink& iLog) {
  const auto end = std::chrono::steady_clock::now() + iLimit;
  auto allFinished = [this] {
    for (const TEndedFile& f : fFiles)
      if (!Finished(f)) return false;
    return true;
  };
  while (!fFiles.empty() && !allFinished() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  fLastFailureTick = 0;
  Process(iTick, iConnect, iLog);
  // An encoder still busy (a child that does not finish): its row is entered
  // without a length, which the next start measures from the file.
  for (TEndedFile& f : fFiles) {
    if (f.fID != 0) continue;
    try {
      f.fID = InsertRecordingRow(*iConnect(), f.fStartTime, f.fRelativeName);
    } catch (const std::exception& e) {
      Failed(e, iTick, iLog);
    }
  }
  fFiles.clear();
}
