#include "support/SimpleThread.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <exception>

namespace {
thread_local TSimpleThread* tCurrent = nullptr;
}

TSimpleThread::TSimpleThread(bool CreateSuspended, TThreadProc iProc, const std::string& iName)
    : fProc(std::move(iProc)), fName(iName) {
  if (!CreateSuspended) Start();
}

TSimpleThread::TSimpleThread(TThreadProc iProc, const std::string& iName)
    : TSimpleThread(true, std::move(iProc), iName) {}

TSimpleThread::~TSimpleThread() {
  Terminate();
  std::thread thread;
  {
    std::lock_guard lock(fStateLock);
    thread = std::move(fThread);
  }
  if (!thread.joinable()) return;  // never started: the procedure never runs
  if (thread.get_id() == std::this_thread::get_id())
    thread.detach();  // the procedure destroys its own thread; it ends when it returns
  else
    thread.join();
}

void TSimpleThread::Start() {
  std::lock_guard lock(fStateLock);
  if (fThread.joinable() || fFinished) return;
  fThread = std::thread([this] { Execute(); });
}

void TSimpleThread::Execute() {
  tCurrent = this;
  if (!fName.empty()) {
    // the kernel refuses names longer than 15 bytes, so keep the start
    pthread_setname_np(pthread_self(), fName.substr(0, 15).c_str());
  }
  if (fPriority != tpNormal) ApplyPriority(pthread_self());
  try {
    if (fProc) fProc();
  } catch (const std::exception& e) {
    std::lock_guard lock(fStateLock);
    fFatalError = e.what();
  } catch (...) {
    std::lock_guard lock(fStateLock);
    fFatalError = "unknown exception";
  }
  tCurrent = nullptr;
  std::lock_guard lock(fDoneLock);
  fFinished = true;
  fDone.notify_all();
}

void TSimpleThread::WaitForEvent(std::uint32_t iTimeout) {
  if (fTerminated) return;
  std::unique_lock lock(fEventLock);
  fSignalled = false;
  // Terminated is part of the condition: a destructor that sets it just before
  // the reset above must still end this wait at once.
  fEvent.wait_for(lock, std::chrono::milliseconds(iTimeout),
                  [this] { return fSignalled || fTerminated.load(); });
  fSignalled = false;
}

void TSimpleThread::SignalEvent() {
  std::lock_guard lock(fEventLock);
  fSignalled = true;
  fEvent.notify_all();
}

void TSimpleThread::Terminate() {
  fTerminated = true;
  std::lock_guard lock(fEventLock);  // orders the flag before a waiter's next check
  fEvent.notify_all();
}

bool TSimpleThread::Terminated() const { return fTerminated; }

bool TSimpleThread::Finished() const { return fFinished; }

void TSimpleThread::WaitFor() {
  {
    std::lock_guard lock(fStateLock);
    if (!fThread.joinable() || fThread.get_id() == std::this_thread::get_id()) return;
  }
  std::unique_lock lock(fDoneLock);
  fDone.wait(lock, [this] { return fFinished.load(); });
}

bool TSimpleThread::SetPriority(TThreadPriority iPriority) {
  fPriority = iPriority;
  std::lock_guard lock(fStateLock);
  if (!fThread.joinable()) return true;  // applied when the thread starts
  return ApplyPriority(fThread.native_handle());
}

bool TSimpleThread::ApplyPriority(std::thread::native_handle_type iThread) {
  const TThreadPriority priority = fPriority;
  sched_param param{};
  int policy = SCHED_OTHER;
  if (priority == tpTimeCritical || priority == tpHighest) {
    // real-time FIFO scheduling, below the top so audio servers (JACK) stay above us
    policy = SCHED_FIFO;
    const int top = sched_get_priority_max(SCHED_FIFO);
    param.sched_priority = priority == tpTimeCritical ? top - 10 : top / 2;
  }
  return pthread_setschedparam(iThread, policy, &param) == 0;
}

TThreadPriority TSimpleThread::Priority() const { return fPriority; }

std::thread::id TSimpleThread::ThreadID() const {
  std::lock_guard lock(fStateLock);
  return fThread.get_id();
}

std::string TSimpleThread::FatalError() const {
  std::lock_guard lock(fStateLock);
  return fFatalError;
}

TSimpleThread* TSimpleThread::Current() { return tCurrent; }
