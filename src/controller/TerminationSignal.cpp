#include "controller/TerminationSignal.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>

namespace {
int gPipe[2] = {-1, -1};
std::atomic<bool> gRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnSignal(int) {
  gRequested.store(true, std::memory_order_relaxed);
  const int saved = errno;
  const char byte = 1;
  // A full pipe already holds a pending request; losing this byte is harmless.
  [[maybe_unused]] ssize_t n = write(gPipe[1], &byte, 1);
  errno = saved;
}

// SIGHUP too: a terminal or ssh session that closes ends the run in order
// instead of killing it. A hang-up that was ignored when the program started
// (nohup) stays ignored.
bool gHangUpTaken = false;

void Install(void (*iHandler)(int)) {
  struct sigaction action {};
  action.sa_handler = iHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  if (iHandler != SIG_DFL) {
    struct sigaction current {};
    sigaction(SIGHUP, nullptr, &current);
    gHangUpTaken = current.sa_handler != SIG_IGN;
  }
  if (gHangUpTaken) sigaction(SIGHUP, &action, nullptr);
}
}  // namespace

TTerminationSignal::TTerminationSignal(std::function<void()> iOnSignal) : fOnSignal(std::move(iOnSignal)) {
  if (gPipe[0] >= 0) throw std::logic_error("The termination signals are already taken");
  if (pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("Cannot create the signal pipe");
  fNotifier = std::make_unique<QSocketNotifier>(gPipe[0], QSocketNotifier::Read);
  QObject::connect(fNotifier.get(), &QSocketNotifier::activated, fNotifier.get(), [this] {
    char buffer[64];
    while (read(gPipe[0], buffer, sizeof buffer) > 0) {
    }
    if (fOnSignal) fOnSignal();
  });
  Install(&OnSignal);
}

bool TTerminationSignal::Requested() const { return gRequested.load(std::memory_order_relaxed); }

TTerminationSignal::~TTerminationSignal() {
  Install(SIG_DFL);
  fNotifier.reset();
  close(gPipe[0]);
  close(gPipe[1]);
  gPipe[0] = gPipe[1] = -1;
  gRequested.store(false);
}
