#include "audio/engine/EngineEncoderProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "shell/CmdLineHelper.h"
#include "shell/SpawnHandles.h"

extern char** environ;

namespace vt::engine {
namespace {

void CloseFd(int& ioFd) {
  if (ioFd >= 0) ::close(ioFd);
  ioFd = -1;
}

}  // namespace

std::vector<std::string> SplitEncoderCommand(const std::string& iCommand) { return CmdLineSplit(iCommand); }

std::unique_ptr<TEncoderProcess> TEncoderProcess::Spawn(const std::vector<std::string>& iArgs, TOutput iOutput) {
  if (iArgs.empty() || iArgs[0].empty()) {
    errno = ENOENT;
    return nullptr;
  }
  int input[2], output[2] = {-1, -1};
  if (::pipe2(input, O_CLOEXEC) != 0) return nullptr;
  if (iOutput && ::pipe2(output, O_CLOEXEC) != 0) {
    ::close(input[0]);
    ::close(input[1]);
    return nullptr;
  }

  TFileActions actions;
  posix_spawn_file_actions_adddup2(&actions.fActions, input[0], 0);
  if (iOutput)
    posix_spawn_file_actions_adddup2(&actions.fActions, output[1], 1);
  else
    posix_spawn_file_actions_addopen(&actions.fActions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions.fActions, 2, "/dev/null", O_WRONLY, 0);
  // Nothing else of the recorder (sockets, files, other encoders' pipes)
  // reaches the child, even where a library forgot O_CLOEXEC.
  posix_spawn_file_actions_addclosefrom_np(&actions.fActions, 3);

  TSpawnAttributes attributes;
  sigset_t defaults, mask;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);  // the recorder ignores it; the child should not
  sigemptyset(&mask);
  posix_spawnattr_setsigdefault(&attributes.fAttributes, &defaults);
  posix_spawnattr_setsigmask(&attributes.fAttributes, &mask);
  // Its own process group: a Ctrl-C meant for the recorder does not cut the
  // encoder short; it finishes its file when its input closes.
  posix_spawnattr_setpgroup(&attributes.fAttributes, 0);
  posix_spawnattr_setflags(&attributes.fAttributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> argv;
  for (const auto& arg : iArgs) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  std::unique_ptr<TEncoderProcess> process(new TEncoderProcess());
  const int error = posix_spawnp(&process->fPid, argv[0], &actions.fActions, &attributes.fAttributes, argv.data(), environ);
  ::close(input[0]);
  if (output[1] >= 0) ::close(output[1]);
  if (error != 0) {
    ::close(input[1]);
    if (output[0] >= 0) ::close(output[0]);
    process->fPid = -1;
    errno = error;
    return nullptr;
  }
  process->fInput = input[1];
  ::fcntl(process->fInput, F_SETFL, ::fcntl(process->fInput, F_GETFL) | O_NONBLOCK);
  process->fOutput = output[0];
  process->fOnOutput = std::move(iOutput);
  return process;
}

void TEncoderProcess::Begin() {
  fWatcher = std::thread([this] { Watch(); });
  if (fOutput >= 0) fReader = std::thread([this] { ReadOutput(); });
}

TEncoderProcess::~TEncoderProcess() {
  Finish();
}

void TEncoderProcess::Watch() {
  // Waited for without reaping first: the child is reaped under the lock, so
  // Kill, which holds it too, never signals a process id that was freed.
  siginfo_t info;
  while (::waitid(P_PID, id_t(fPid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard lock(fExitLock);
    int status = 0;
    while (::waitpid(fPid, &status, 0) < 0 && errno == EINTR) {
    }
    fExited.store(true, std::memory_order_release);
  }
  fExitSignal.notify_all();
  if (!fFinishing.load(std::memory_order_acquire) && fOnDeath) fOnDeath();
}

void TEncoderProcess::ReadOutput() {
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fOutput, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    fOnOutput(buffer, size_t(n));
  }
}

bool TEncoderProcess::Write(const void* iData, size_t iLength) {
  const auto* p = static_cast<const char*>(iData);
  while (iLength > 0) {
    if (fInput < 0 || Exited()) return false;
    const ssize_t n = ::write(fInput, p, iLength);
    if (n > 0) {
      fWritten += uint64_t(n);
      p += n;
      iLength -= size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The pipe is full: wait for the child, but look up now and then so a
      // child that died (or a stop) is noticed.
      pollfd pfd{fInput, POLLOUT, 0};
      ::poll(&pfd, 1, 200);
      if (pfd.revents & (POLLERR | POLLHUP)) fReaderGone = true;
      if (fReaderGone || GivenUp()) return false;
      continue;
    }
    fReaderGone = true;  // EPIPE: the child closed its input
    return false;
  }
  return true;
}

bool TEncoderProcess::WaitExited(std::chrono::steady_clock::duration iTimeout) {
  std::unique_lock lock(fExitLock);
  return fExitSignal.wait_for(lock, iTimeout, [this] { return Exited(); });
}

uint64_t TEncoderProcess::BytesInPipe() const {
  int bytes = 0;
  if (fInput < 0 || ::ioctl(fInput, FIONREAD, &bytes) != 0 || bytes < 0) return 0;
  return uint64_t(bytes);
}

uint64_t TEncoderProcess::Accepted() const {
  if (fCounted.load(std::memory_order_acquire)) return fAccepted.load(std::memory_order_acquire);
  return fWritten - std::min(BytesInPipe(), fWritten);
}

void TEncoderProcess::Kill() {
  fKilled.store(true, std::memory_order_release);
  std::lock_guard lock(fExitLock);
  if (fPid > 0 && !Exited()) ::kill(fPid, SIGKILL);
}

void TEncoderProcess::Finish() {
  fFinishing.store(true, std::memory_order_release);
  // What the child read is what went into the pipe less what is still in it.
  // That is exact once the child is gone; a child that is still there reads
  // the rest after its input closes, unless it has to be killed.
  if (fKilled.load(std::memory_order_acquire) && fWatcher.joinable()) WaitExited(std::chrono::seconds(5));
  // No reader any more (the child closed its input or is exiting): what is in
  // the pipe stays unread.
  const bool exited = Exited() || fReaderGone;
  const uint64_t left = fInput >= 0 ? BytesInPipe() : 0;
  const bool hadInput = fInput >= 0;
  CloseFd(fInput);
  bool killed = false;
  if (fPid > 0 && fWatcher.joinable() && !WaitExited(kFinishTimeout)) {
    std::lock_guard lock(fExitLock);
    if (!Exited()) {
      ::kill(fPid, SIGTERM);
      killed = true;
    }
  }
  if (killed && !WaitExited(std::chrono::seconds(5))) {
    std::lock_guard lock(fExitLock);
    if (!Exited()) ::kill(fPid, SIGKILL);
  }
  if (hadInput) {
    fAccepted.store(fWritten - ((exited || killed) ? std::min(left, fWritten) : 0), std::memory_order_release);
    fCounted.store(true, std::memory_order_release);
  }
  if (fWatcher.joinable()) {
    fWatcher.join();
  } else if (fPid > 0) {  // never begun: reap it here
    ::kill(fPid, SIGKILL);
    int status;
    while (::waitpid(fPid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  {
    std::lock_guard lock(fExitLock);
    fPid = -1;
  }
  if (fReader.joinable()) fReader.join();
  CloseFd(fOutput);
}

}  // namespace vt::engine
