#pragma once
// The program's message log: lines from any thread, kept in memory (the newest
// ones only) in their order of arrival.
//
// A caller returns only once its line has been taken into the log. Lines are
// taken by the owner thread (the controller's), which gets a drain request
// posted. While the owner thread is busy in work that may wait for other
// threads (slot start, stop, destruction), it declares itself blocked with a
// TBlockedScope; callers then take their own lines, so a worker that logs can
// never hold up an owner thread that waits for that worker, and vice versa.
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// "yyyy-mm-dd hh:nn:ss: <message>" in local time.
std::string FormatLogLine(std::time_t iTime, const std::string& iMessage);

class TMessageLog {
public:
  using TTask = std::function<void()>;
  using TPoster = std::function<void(TTask)>;  // runs a task on the owner thread later
  using TLineSink = std::function<void(const std::string& iLine)>;

  // The constructing thread is the owner thread.
  explicit TMessageLog(size_t iCapacity = 999);
  ~TMessageLog();
  TMessageLog(const TMessageLog&) = delete;
  TMessageLog& operator=(const TMessageLog&) = delete;

  // Set before other threads log. Without a poster every caller takes its own line.
  void SetPoster(TPoster iPoster);
  // Gets every line as it is taken, in order, under the log's lock (keep it short:
  // standard output of a headless run).
  void SetLineSink(TLineSink iSink);
  // Owner thread, after lines were added (a view refreshes from Lines()).
  void SetOnLinesAdded(TTask iTask);

  // Any thread; returns once the line is in the log.
  void Add(const std::string& iMessage);
  // Owner thread: takes every pending line. Posted by Add; harmless when nothing waits.
  void Drain();

  std::vector<std::string> Lines() const;
  size_t Capacity() const { return fCapacity; }

  // Owner thread: waits until iDone() holds, taking the lines that other threads
  // log meanwhile. False when iTimeoutMs (if >= 0) passed first.
  bool WaitServing(const std::function<bool()>& iDone, int iTimeoutMs = -1);

  // From now on every caller takes its own line (the owner thread no longer
  // serves the log, e.g. after its event loop ended).
  void Close();

  class TBlockedScope {
  public:
    explicit TBlockedScope(TMessageLog& iLog);
    ~TBlockedScope();
    TBlockedScope(const TBlockedScope&) = delete;
    TBlockedScope& operator=(const TBlockedScope&) = delete;

  private:
    TMessageLog& fLog;
  };

private:
  bool OnOwnerThread() const { return std::this_thread::get_id() == fOwner; }
  void TakeLocked(const std::string& iMessage);
  void TakePendingLocked();
  void NotifyLinesAdded();  // owner thread now or posted

  const size_t fCapacity;
  const std::thread::id fOwner;
  TPoster fPoster;
  TLineSink fLineSink;
  TTask fOnLinesAdded;

  mutable std::mutex fLock;
  std::condition_variable fTaken;    // a line was taken, or callers must take their own
  std::condition_variable fArrived;  // a line waits for the owner thread
  std::deque<std::string> fPending;
  std::deque<std::string> fLines;
  uint64_t fQueuedCount = 0;  // lines ever queued for the owner thread
  uint64_t fTakenCount = 0;   // of those, lines taken
  int fBlocked = 0;
  bool fClosed = false;
  bool fDrainPosted = false;
  bool fAddedUnseen = false;  // lines taken by callers that the view has not seen
};
