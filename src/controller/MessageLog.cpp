#include "controller/MessageLog.h"

#include <fmt/format.h>

#include <chrono>

std::string FormatLogLine(std::time_t iTime, const std::string& iMessage) {
  std::tm local{};
  localtime_r(&iTime, &local);
  return fmt::format("{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}: {}", local.tm_year + 1900, local.tm_mon + 1,
                     local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, iMessage);
}

TMessageLog::TMessageLog(size_t iCapacity) : fCapacity(iCapacity), fOwner(std::this_thread::get_id()) {}

TMessageLog::~TMessageLog() { Close(); }

void TMessageLog::SetPoster(TPoster iPoster) {
  std::lock_guard<std::mutex> lock(fLock);
  fPoster = std::move(iPoster);
}

void TMessageLog::SetLineSink(TLineSink iSink) {
  std::lock_guard<std::mutex> lock(fLock);
  fLineSink = std::move(iSink);
}

void TMessageLog::SetOnLinesAdded(TTask iTask) { fOnLinesAdded = std::move(iTask); }

void TMessageLog::TakeLocked(const std::string& iMessage) {
  std::string line = FormatLogLine(std::time(nullptr), iMessage);
  if (fLineSink) fLineSink(line);
  fLines.push_back(std::move(line));
  while (fLines.size() > fCapacity) fLines.pop_front();
}

void TMessageLog::TakePendingLocked() {
  while (!fPending.empty()) {
    TakeLocked(fPending.front());
    fPending.pop_front();
    ++fTakenCount;
  }
  fTaken.notify_all();
}

void TMessageLog::Add(const std::string& iMessage) {
  std::unique_lock<std::mutex> lock(fLock);
  if (OnOwnerThread() || fBlocked > 0 || fClosed || !fPoster) {
    // Earlier lines of other threads first, so the order of arrival holds.
    TakePendingLocked();
    TakeLocked(iMessage);
    const bool onOwner = OnOwnerThread();
    if (!onOwner) fAddedUnseen = true;
    lock.unlock();
    if (onOwner) {
      if (fOnLinesAdded) fOnLinesAdded();
    } else {
      NotifyLinesAdded();
    }
    return;
  }
  fPending.push_back(iMessage);
  const uint64_t mine = ++fQueuedCount;
  fArrived.notify_all();
  const bool post = !fDrainPosted;
  fDrainPosted = true;
  TPoster poster = fPoster;
  if (post) {
    lock.unlock();
    poster([this] { Drain(); });
    lock.lock();
  }
  fTaken.wait(lock, [&] { return fTakenCount >= mine || fBlocked > 0 || fClosed; });
  // The owner thread stopped serving before it came to our line: take it ourselves.
  if (fTakenCount < mine) {
    TakePendingLocked();
    fAddedUnseen = true;
    lock.unlock();
    NotifyLinesAdded();
  }
}

void TMessageLog::NotifyLinesAdded() {
  TPoster poster;
  {
    std::lock_guard<std::mutex> lock(fLock);
    if (fClosed) return;
    poster = fPoster;
  }
  if (poster) poster([this] { Drain(); });
}

void TMessageLog::Drain() {
  bool added;
  {
    std::lock_guard<std::mutex> lock(fLock);
    fDrainPosted = false;
    added = !fPending.empty() || fAddedUnseen;
    fAddedUnseen = false;
    TakePendingLocked();
  }
  if (added && fOnLinesAdded) fOnLinesAdded();
}

std::vector<std::string> TMessageLog::Lines() const {
  std::lock_guard<std::mutex> lock(fLock);
  return {fLines.begin(), fLines.end()};
}

bool TMessageLog::WaitServing(const std::function<bool()>& iDone, int iTimeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs < 0 ? 0 : iTimeoutMs);
  for (;;) {
    Drain();
    if (iDone()) return true;
    if (iTimeoutMs >= 0 && Clock::now() >= deadline) return false;
    // The predicate may turn true without a line arriving, so look again soon.
    std::unique_lock<std::mutex> lock(fLock);
    fArrived.wait_for(lock, std::chrono::milliseconds(5), [&] { return !fPending.empty(); });
  }
}

void TMessageLog::Close() {
  std::lock_guard<std::mutex> lock(fLock);
  fClosed = true;
  fTaken.notify_all();
}

TMessageLog::TBlockedScope::TBlockedScope(TMessageLog& iLog) : fLog(iLog) {
  std::lock_guard<std::mutex> lock(fLog.fLock);
  ++fLog.fBlocked;
  // Lines already waiting are taken now; their callers go on at once.
  fLog.TakePendingLocked();
  fLog.fAddedUnseen = true;
}

TMessageLog::TBlockedScope::~TBlockedScope() {
  {
    std::lock_guard<std::mutex> lock(fLog.fLock);
    --fLog.fBlocked;
  }
  fLog.Drain();
}
