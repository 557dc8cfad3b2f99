#pragma once
// The one kind of background thread the system creates itself: it runs one
// procedure of its owner, which loops "while (!Terminated()) { work; WaitForEvent(ms); }".
// Threads are created held so the owner can store its pointer before the
// procedure runs; Start() releases them. Destruction asks the procedure to end,
// wakes it and waits until it has returned, so owners destroy their threads
// before freeing what the procedures use.
// An owner that keeps the thread in a unique_ptr and reads it from the
// procedure (fThread->Terminated()) ends it with Terminate() and WaitFor()
// before reset(), or lets the member's own destructor run: reset() clears the
// pointer before it destroys the thread, so the procedure would read null.
// TSimpleThread::Current() gives the procedure its thread without the owner.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

using TThreadProc = std::function<void()>;

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TSimpleThread {
public:
  // iName (if not empty) names the thread for debuggers, top -H and crash
  // reports; the kernel keeps its first 15 bytes.
  TSimpleThread(bool CreateSuspended, TThreadProc iProc, const std::string& iName);
  // Same, created held: call Start() once the owner has stored the thread.
  TSimpleThread(TThreadProc iProc, const std::string& iName);
  ~TSimpleThread();
  TSimpleThread(const TSimpleThread&) = delete;
  TSimpleThread& operator=(const TSimpleThread&) = delete;

  void Start();  // releases a held thread; does nothing when already started

  // Called by the procedure on its own thread: returns at once once the thread
  // was told to end, else waits up to iTimeout ms for a SignalEvent given while
  // it waits. A signal given while the procedure is busy does not shorten the
  // next wait.
  void WaitForEvent(std::uint32_t iTimeout);
  void SignalEvent();  // any thread

  void Terminate();         // tells the procedure to end and wakes it
  bool Terminated() const;  // read by the procedure's loop
  void WaitFor();           // blocks until the procedure has returned (not from itself)
  bool Finished() const;    // the procedure has returned

  // Applied at once when running, else when started. tpTimeCritical and
  // tpHighest ask for real-time scheduling; false when the system refuses it
  // (no rights), the thread then runs at normal priority.
  bool SetPriority(TThreadPriority iPriority);
  TThreadPriority Priority() const;

  const std::string& Name() const { return fName; }
  std::thread::id ThreadID() const;
  // The message of an exception that escaped the procedure, else empty.
  std::string FatalError() const;

  // The TSimpleThread whose procedure runs on the calling thread, else nullptr.
  static TSimpleThread* Current();

private:
  void Execute();
  bool ApplyPriority(std::thread::native_handle_type iThread);

  TThreadProc fProc;
  // the event: manual reset, not signalled at creation
  mutable std::mutex fEventLock;
  std::condition_variable fEvent;
  bool fSignalled = false;

  std::atomic<bool> fTerminated{false};
  std::atomic<bool> fFinished{false};
  std::mutex fDoneLock;
  std::condition_variable fDone;
  std::atomic<TThreadPriority> fPriority{tpNormal};
  std::string fName;
  mutable std::mutex fStateLock;  // fThread, fFatalError
  std::thread fThread;
  std::string fFatalError;
};
