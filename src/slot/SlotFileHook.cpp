#include "slot/SlotFileHook.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "shell/CmdLineHelper.h"
#include "shell/SpawnHandles.h"

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;

// Enough of the error output for the first few lines; the rest is read and dropped.
constexpr size_t kErrorBytes = 4096;

struct TFd {
  int fFd = -1;
  ~TFd() { Close(); }
  void Close() {
    if (fFd >= 0) ::close(fFd);
    fFd = -1;
  }
};

std::string FirstLines(const std::string& iText, int iCount) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < iText.size() && static_cast<int>(lines.size()) < iCount) {
    size_t end = iText.find('\n', start);
    if (end == std::string::npos) end = iText.size();
    std::string line = iText.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(std::move(line));
    start = end + 1;
  }
  std::string joined;
  for (const std::string& l : lines) joined += (joined.empty() ? "" : " | ") + l;
  return joined;
}

}  // namespace

std::vector<std::string> FileHookArguments(const std::string& iCommand, const TClosedFile& iFile) {
  std::vector<std::string> args = CmdLineSplit(iCommand);
  for (std::string& arg : args) {
    std::string out;
    for (size_t i = 0; i < arg.size(); ++i) {
      if (arg[i] != '%' || i + 1 == arg.size()) {
        out += arg[i];
        continue;
      }
      switch (arg[i + 1]) {
        case 'f': out += iFile.fFullName; break;
        case 'd': out += fmt::format("{:.3f}", iFile.fSeconds); break;
        case 's': out += iFile.fSlotName; break;
        case 'i': out += std::to_string(iFile.fID); break;
        case '%': out += '%'; break;
        default: out += arg.substr(i, 2); break;
      }
      ++i;
    }
    arg = std::move(out);
  }
  return args;
}

TSlotFileHook::~TSlotFileHook() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(fLock);
    fStopping = true;
    fShutdownDeadline = TClock::now() + kShutdownWait;
    threads.swap(fThreads);
  }
  fWake.notify_all();
  for (std::thread& t : threads) t.join();
}

void TSlotFileHook::Run(const std::string& iCommand, const TClosedFile& iFile, std::chrono::milliseconds iTimeout) {
  std::vector<std::string> args = FileHookArguments(iCommand, iFile);
  if (args.empty()) return;
  {
    std::lock_guard<std::mutex> lock(fLock);
    if (fJobs.size() >= kMaxWaiting) {
      if (fLog)
        fLog(fmt::format("OnFileClosed {} not run for {}: {} hooks are waiting", args[0], iFile.fFullName,
                         fJobs.size()));
      return;
    }
    fJobs.push_back(TJob{std::move(args), iFile.fFullName, iTimeout});
    // A thread is added when no free one is left for this job, up to the limit.
    if (static_cast<size_t>(fIdle) < fJobs.size() && static_cast<int>(fThreads.size()) < kMaxRunning)
      fThreads.emplace_back([this] { Worker(); });
  }
  fWake.notify_one();
}

void TSlotFileHook::Worker() {
  std::unique_lock<std::mutex> lock(fLock);
  for (;;) {
    ++fIdle;
    fWake.wait(lock, [this] { return fStopping || !fJobs.empty(); });
    --fIdle;
    if (fJobs.empty()) return;  // stopping, and nothing left
    TJob job = std::move(fJobs.front());
    fJobs.pop_front();
    lock.unlock();
    Execute(job);
    lock.lock();
  }
}

void TSlotFileHook::Execute(const TJob& iJob) {
  const std::string& program = iJob.fArgs[0];
  const TClock::time_point start = TClock::now();
  const TClock::time_point ownDeadline = start + iJob.fTimeout;
  auto deadline = [&] {
    std::lock_guard<std::mutex> lock(fLock);
    return std::min(ownDeadline, fShutdownDeadline);
  };
  auto log = [&](const std::string& iLine) {
    if (fLog) fLog(iLine);
  };

  int errorPipe[2];
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
    log(fmt::format("OnFileClosed {} not started for {}: {}", program, iJob.fFullName, std::strerror(errno)));
    return;
  }
  TFd readEnd{errorPipe[0]}, writeEnd{errorPipe[1]};
  TFileActions actions;
  posix_spawn_file_actions_addopen(&actions.fActions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions.fActions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions.fActions, writeEnd.fFd, 2);
  // Its own process group, so a time-out also ends what it started (a shell's
  // children); default signal handling and an empty mask, whatever this
  // process has set for itself.
  TSpawnAttributes attributes;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setpgroup(&attributes.fAttributes, 0);
  posix_spawnattr_setsigmask(&attributes.fAttributes, &none);
  posix_spawnattr_setsigdefault(&attributes.fAttributes, &all);
  posix_spawnattr_setflags(&attributes.fAttributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (const std::string& a : iJob.fArgs) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, program.c_str(), &actions.fActions, &attributes.fAttributes, argv.data(), environ);
  writeEnd.Close();
  if (rc != 0) {
    log(fmt::format("OnFileClosed {} not started for {}: {}", program, iJob.fFullName, std::strerror(rc)));
    return;
  }

  std::string errors;
  bool timedOut = false;
  int status = 0;
  // The error output until it ends, then the exit; both within the deadline.
  while (readEnd.fFd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline() - TClock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{readEnd.fFd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char buffer[1024];
    const ssize_t n = ::read(readEnd.fFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      readEnd.Close();
      break;
    }
    if (errors.size() < kErrorBytes) errors.append(buffer, std::min<size_t>(n, kErrorBytes - errors.size()));
  }
  bool ended = false;
  while (!timedOut) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      ended = true;
      break;
    }
    if (TClock::now() >= deadline()) {
      timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (timedOut) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    log(fmt::format("OnFileClosed {} for {} killed after {:.0f} s", program, iJob.fFullName,
                    std::chrono::duration<double>(TClock::now() - start).count()));
    return;
  }
  if (!ended) return;
  const std::string lines = FirstLines(errors, kErrorLines);
  const std::string tail = lines.empty() ? "" : ": " + lines;
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    log(fmt::format("OnFileClosed {} for {} ended with exit status {}{}", program, iJob.fFullName,
                    WEXITSTATUS(status), tail));
  else if (WIFSIGNALED(status))
    log(fmt::format("OnFileClosed {} for {} ended by signal {}{}", program, iJob.fFullName, WTERMSIG(status), tail));
}
