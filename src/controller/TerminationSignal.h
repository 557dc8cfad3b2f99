#pragma once
// SIGTERM, SIGINT and SIGHUP (unless ignored from the start, as under nohup) as
// an event of the Qt event loop: the handler only writes one byte into a pipe,
// and a socket notifier on the other end runs the callback on the loop's
// thread, where shutting down is safe.
#include <functional>
#include <memory>

class QSocketNotifier;

class TTerminationSignal {
public:
  // One object per process; the handlers stay installed until it is destroyed.
  explicit TTerminationSignal(std::function<void()> iOnSignal);
  ~TTerminationSignal();
  TTerminationSignal(const TTerminationSignal&) = delete;
  TTerminationSignal& operator=(const TTerminationSignal&) = delete;

  // A signal has come, also before the event loop runs (work done ahead of
  // the loop can end early; the callback still runs once the loop is there).
  bool Requested() const;

private:
  std::function<void()> fOnSignal;
  std::unique_ptr<QSocketNotifier> fNotifier;
};
