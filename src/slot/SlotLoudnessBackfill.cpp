#include "slot/SlotLoudnessBackfill.h"

#include <ebur128.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>
#include <vector>

#include "shell/SpawnHandles.h"
#include "slot/SlotDatabase.h"
#include "support/SimpleSQLInterface.h"

extern char** environ;

namespace {
constexpr int kRate = 48000;  // what every file is decoded to; the values do not depend on it

std::string WithSeparator(const std::string& iFolder) {
  return !iFolder.empty() && iFolder.back() != '/' ? iFolder + "/" : iFolder;
}

bool IsRegularFile(const std::string& iPath) {
  std::error_code ec;
  return std::filesystem::is_regular_file(iPath, ec);
}
}  // namespace

bool MeasureFileLoudness(const std::string& iPath, TLoudnessValues& oValues, const std::atomic<bool>& iStop,
                         std::atomic<pid_t>& ioChild) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  TFileActions actions;
  posix_spawn_file_actions_addopen(&actions.fActions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions.fActions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions.fActions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error", "-i", iPath, "-vn", "-ac", "2",
                                   "-ar", std::to_string(kRate), "-f", "f32le", "-acodec", "pcm_f32le", "-"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "ffmpeg", &actions.fActions, nullptr, argv.data(), environ);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return false;
  }
  ioChild = pid;
  std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> state(
      ebur128_init(2, kRate, EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK),
      [](ebur128_state* p) { ebur128_destroy(&p); });
  std::vector<char> buffer(kRate * 8 / 5);
  size_t have = 0;
  while (!iStop.load()) {
    const ssize_t n = ::read(fds[0], buffer.data() + have, buffer.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
    const size_t frames = have / 8;
    ebur128_add_frames_float(state.get(), reinterpret_cast<const float*>(buffer.data()), frames);
    const size_t rest = have - frames * 8;
    std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(frames * 8),
              buffer.begin() + static_cast<std::ptrdiff_t>(have), buffer.begin());
    have = rest;
  }
  ::close(fds[0]);
  if (iStop.load()) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ioChild = 0;
  if (iStop.load() || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  ebur128_loudness_global(state.get(), &oValues.fIntegrated);
  ebur128_loudness_range(state.get(), &oValues.fRange);
  double peak = 0;
  for (unsigned channel = 0; channel < 2; ++channel) {
    double p = 0;
    if (ebur128_true_peak(state.get(), channel, &p) == EBUR128_SUCCESS) peak = std::max(peak, p);
  }
  oValues.fTruePeak = peak > 0 ? 20.0 * std::log10(peak) : -HUGE_VAL;
  return true;
}

TSlotLoudnessBackfill::TSlotLoudnessBackfill(std::string iDatabasePath, std::string iFolder,
                                             std::string iSecondaryFolder, std::function<int32_t()> iSkipID)
    : fDatabasePath(std::move(iDatabasePath)), fFolder(std::move(iFolder)),
      fSecondaryFolder(std::move(iSecondaryFolder)), fSkipID(std::move(iSkipID)) {
  fThread = std::thread([this] { Run(); });
}

TSlotLoudnessBackfill::~TSlotLoudnessBackfill() {
  fStop = true;
  if (const pid_t child = fChild.load()) ::kill(child, SIGKILL);
  fThread.join();
}

void TSlotLoudnessBackfill::Run() {
  // The recorder comes first: this thread (and the decoder it starts, which
  // inherits it) only takes CPU time nobody else wants.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
  std::set<int32_t> tried;  // measured, or not measurable (missing, silent, broken)
  try {
    while (!fStop.load()) {
      int32_t id = 0;
      std::string name;
      {
        auto connection = GetSlotDatabaseConnection(fDatabasePath);
        auto rows = connection
                        ->PrepareStatement(
                            "SELECT id, filename FROM recordings WHERE loudness IS NULL AND duration IS NOT NULL "
                            "ORDER BY id DESC")
                        ->ExecuteQueryPrepared();
        const int32_t skip = fSkipID ? fSkipID() : 0;
        while (rows->Next()) {
          const int32_t candidate = rows->GetInt(1);
          if (candidate == skip || tried.count(candidate)) continue;
          id = candidate;
          name = rows->GetString(2);
          break;
        }
      }
      if (id == 0) break;
      tried.insert(id);
      std::string path = WithSeparator(fFolder) + name;
      if (!IsRegularFile(path) && !fSecondaryFolder.empty()) path = WithSeparator(fSecondaryFolder) + name;
      TLoudnessValues values;
      if (!IsRegularFile(path) || !MeasureFileLoudness(path, values, fStop, fChild)) continue;
      StoreRecordingLoudness(*GetSlotDatabaseConnection(fDatabasePath), id, values);
    }
  } catch (const std::exception&) {
    // a database that cannot be read now: tried again at the next start
  }
  fDone = true;
}
