#pragma once
// The rows of files that have ended. A file's length is stored once its
// encoder has finished, so that it is what reached the file (the samples a
// WAV file got, or what a command-line encoder read before it ended, died or
// was killed), not what the slot fed. A row that cannot be written (a full
// disk, a locked database) is tried again every few seconds until it is; a
// file that ended without any audio gets no row at all.
//
// Controller's thread only (the slot lock is held): Close when a file ends,
// Process on every tick (nothing but an emptiness check while no file is
// waiting), Drain when the slot goes away.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/engine/Engine.h"
#include "slot/SlotLogSink.h"
#include "support/DateTime.h"

class ISQLConnection;

struct TEndedFile {
  int32_t fID = 0;              // 0: its row is still to be entered
  std::string fRelativeName;
  std::string fFullName;
  TDateTime fStartTime = 0;
  std::shared_ptr<const VT_ENCODE_OUTCOME> fOutcome;  // what the encoder delivered
  double fBytesPerSecond = 1;   // of the encoder's samples
  double fFedSeconds = 0;       // what the slot fed, if the encoder never finishes
  uint64_t fEndTick = 0;
};

class TSlotRowWriter {
public:
  using TConnect = std::function<std::shared_ptr<ISQLConnection>()>;
  // A failed row is tried again after this long.
  static constexpr uint64_t kRetryMilliseconds = 5000;
  // An encoder that has not finished after this long (a write stuck on a dead
  // share) is not waited for any more: its row gets what it delivered so far.
  static constexpr uint64_t kFinishWaitMilliseconds = 120000;

  // Called once a file's row has its length (the file-closed hook).
  using TRowWritten = std::function<void(const TEndedFile& iFile, double iSeconds)>;
  void SetOnRowWritten(TRowWritten iEvent) { fOnRowWritten = std::move(iEvent); }

  void Close(TEndedFile iFile) { fFiles.push_back(std::move(iFile)); }
  bool Waiting() const { return !fFiles.empty(); }
  // Writes the rows of files whose encoder finished, unless a failure is
  // less than kRetryMilliseconds old.
  void Process(uint64_t iTick, const TConnect& iConnect, const TSlotLogSink& iLog);
  // Waits up to iLimit for the encoders, then tries each row once more.
  void Drain(std::chrono::milliseconds iLimit, uint64_t iTick, const TConnect& iConnect, const TSlotLogSink& iLog);

  // The database error of an attempt: logged when it is new, not on every
  // retry, and not at all when the slot has reported it already (a database
  // that cannot be opened). Success clears it. Shared with the open file's
  // late row.
  void Failed(const std::exception& iError, uint64_t iTick, const TSlotLogSink& iLog);
  void Succeeded() {
    fLastError.clear();
    fHasError = false;
  }
  // Whether the last attempt failed (any thread: the metrics read it).
  bool HasError() const { return fHasError.load(); }
  bool RetryDue(uint64_t iTick) const { return fLastFailureTick == 0 || iTick - fLastFailureTick >= kRetryMilliseconds; }

private:
  // True when the file is done with (its row written or removed).
  bool Write(TEndedFile& ioFile, ISQLConnection& iConnection, const TSlotLogSink& iLog);
  std::vector<TEndedFile> fFiles;
  TRowWritten fOnRowWritten;
  std::string fLastError;
  std::atomic<bool> fHasError{false};
  uint64_t fLastFailureTick = 0;
};
