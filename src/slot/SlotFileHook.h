#pragma once
// The command a station runs on every finished recording (a copy to the
// archive server, a loudness report, a transcript): started once the file's
// row has its length, with the file's path, length, slot name and row id in
// its arguments. It runs on this unit's own threads, never on the
// controller's: a hook that hangs must not delay the next rotation. A few
// run at once per slot; the rest wait their turn. One that fails is logged
// once, with its exit status and the first lines of its error output; one
// that runs longer than the time-out is killed (with its children).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "slot/SlotLogSink.h"

struct TClosedFile {
  std::string fFullName;
  double fSeconds = 0;
  std::string fSlotName;
  int32_t fID = 0;
};

// The arguments of iCommand (split like an encoder's command line) with %f,
// %d, %s and %i replaced by the file's values and %% by a single %. The
// values are put in after the split, so a path with spaces or quotes stays
// one argument.
std::vector<std::string> FileHookArguments(const std::string& iCommand, const TClosedFile& iFile);

class TSlotFileHook {
public:
  static constexpr int kMaxRunning = 3;
  // Hooks that wait beyond this many are not run (and say so): a hook that
  // always hangs must not pile up work without end.
  static constexpr size_t kMaxWaiting = 100;
  // On shutdown, running and waiting hooks get this long before they are killed.
  static constexpr std::chrono::milliseconds kShutdownWait{5000};
  static constexpr int kErrorLines = 3;

  explicit TSlotFileHook(TSlotLogSink iLog) : fLog(std::move(iLog)) {}
  ~TSlotFileHook();
  TSlotFileHook(const TSlotFileHook&) = delete;
  TSlotFileHook& operator=(const TSlotFileHook&) = delete;

  // Any thread; returns at once. An empty command runs nothing.
  void Run(const std::string& iCommand, const TClosedFile& iFile, std::chrono::milliseconds iTimeout);

private:
  struct TJob {
    std::vector<std::string> fArgs;
    std::string fFullName;
    std::chrono::milliseconds fTimeout;
  };
  void Worker();
  void Execute(const TJob& iJob);

  const TSlotLogSink fLog;
  std::mutex fLock;
  std::condition_variable fWake;
  std::deque<TJob> fJobs;
  std::vector<std::thread> fThreads;
  int fIdle = 0;
  bool fStopping = false;
  std::chrono::steady_clock::time_point fShutdownDeadline = std::chrono::steady_clock::time_point::max();
};
