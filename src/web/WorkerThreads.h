#pragma once
// The threads that serve complete requests, never more than the cap. A thread
// whose request is done waits a while for the next one: starting a thread
// costs more than answering a status request, and it would be paid on the
// accepting thread.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class TWorkerThreads {
public:
  explicit TWorkerThreads(int iCap);
  ~TWorkerThreads();  // Shutdown()
  TWorkerThreads(const TWorkerThreads&) = delete;
  TWorkerThreads& operator=(const TWorkerThreads&) = delete;

  // Runs iWork on a thread of its own; false when the cap is reached (or no
  // thread can be started), and iWork is dropped.
  bool TryRun(std::function<void()> iWork);
  // Waits until every piece of work has ended; idle threads end too.
  // iWaitActive, when given, does the waiting for the running work (the
  // caller may need to serve its own events meanwhile); it gets a test that
  // turns true once they have ended.
  void Shutdown(const std::function<void(const std::function<bool()>&)>& iWaitActive = nullptr);

  int Active() const;
  int Threads() const;

private:
  struct TState {
    mutable std::mutex Mutex;
    std::condition_variable WorkArrived;
    std::condition_variable Ended;  // a piece of work or a thread ended
    std::deque<std::function<void()>> Pending;
    size_t Idle = 0;  // threads waiting for work
    int Active = 0;   // work handed over and not yet done
    int Threads = 0;
    bool ShuttingDown = false;
  };
  static void Serve(std::shared_ptr<TState> iState, std::function<void()> iWork);

  std::shared_ptr<TState> fState;
  const int fCap;
};
