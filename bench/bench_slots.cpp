// N slots recording 48 kHz stereo from a JACK dummy server into WAV files, in
// the real program: CPU per slot (user+sys over wall time), resident memory per
// slot, and the audio dropped (log lines of overruns and full queues, and the
// frames the files hold against the time they ran). Goal: 64 slots under 25 %
// of one core and under 8 MB per slot, nothing dropped.
//
// Usage: bench_slots [seconds per run, default 20] [slot counts..., default 1 16 64]
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "../tests/e2e/E2EProcess.h"

namespace {
double ProcessCpuSeconds(pid_t iPid) {
  const std::string stat = ReadFileText("/proc/" + std::to_string(iPid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long RssKiB(pid_t iPid) {
  std::istringstream status(ReadFileText("/proc/" + std::to_string(iPid) + "/status"));
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

int Count(const std::string& iText, const std::string& iWhat) {
  int n = 0;
  for (size_t at = iText.find(iWhat); at != std::string::npos; at = iText.find(iWhat, at + 1)) ++n;
  return n;
}

// Frames in the WAV files below iFolder (data after a 44-byte header).
uint64_t WavFrames(const std::string& iFolder) {
  uint64_t frames = 0;
  if (!std::filesystem::exists(iFolder)) return 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(iFolder))
    if (e.is_regular_file() && e.path().extension() == ".wav" && e.file_size() > 44) frames += (e.file_size() - 44) / 4;
  return frames;
}

void RunOnce(int iSlots, int iSeconds) {
  TE2ETempFolder run;
  const std::string server = "vtbench" + std::to_string(getpid()) + "_" + std::to_string(iSlots);
  const std::map<std::string, std::optional<std::string>> env = {{"JACK_DEFAULT_SERVER", server},
                                                                  {"JACK_NO_START_SERVER", "1"}};
  TChildProcess jack({"jackd", "-n", server, "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "1024"},
                     run / "jackd.out", env);
  if (!WaitUntil([&] { return TChildProcess({"jack_lsp"}, run / "lsp.out", env).WaitExit(5000) == std::optional<int>(0); },
                 15000)) {
    std::printf("jackd did not start\n");
    return;
  }
  const std::string root = run / "root";
  std::filesystem::create_directories(root);
  std::string ini = "[General]\nInstanceNumber=" + std::to_string(700000 + getpid() % 50000 * 4 + iSlots % 4) +
                    "\nFullSlotCount=" + std::to_string(iSlots) + "\n";
  for (int i = 0; i < iSlots; ++i)
    ini += "[Slot" + std::to_string(i) + "]\nSource=Soundcard\nDevice=ASIO:0:0:2\nFormat=wav16\nSamplerate=48000\n"
           "TimeSlotLength=60\nCleanupDaysEnabled=off\nCleanupSpaceEnabled=off\nFolder=" + root + "/rec" +
           std::to_string(i) + "\n";
  WriteFileText(root + "/Vantorel.ini", ini);
  auto program = std::make_unique<TChildProcess>(std::vector<std::string>{VT_VANTOREL_EXE, "-rootfolder", root},
                                                 root + "/out.txt", std::map<std::string, std::optional<std::string>>{
                                                     {"JACK_DEFAULT_SERVER", server}, {"DISPLAY", std::nullopt}});
  const bool started = WaitUntil(
      [&] { return Count(ReadFileText(root + "/out.txt"), "Encoding to file") >= iSlots || !program->Running(); }, 120000);
  if (!started || !program->Running()) {
    std::printf("N=%d: the slots did not start:\n%s\n", iSlots, ReadFileText(root + "/out.txt").c_str());
    return;
  }
  uint64_t framesBefore = 0;
  for (int i = 0; i < iSlots; ++i) framesBefore += WavFrames(root + "/rec" + std::to_string(i));
  const double cpu0 = ProcessCpuSeconds(program->Pid());
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(iSeconds));
  const double cpu1 = ProcessCpuSeconds(program->Pid());
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const long rss = RssKiB(program->Pid());
  uint64_t framesAfter = 0;
  for (int i = 0; i < iSlots; ++i) framesAfter += WavFrames(root + "/rec" + std::to_string(i));
  program->Signal(SIGTERM);
  program->WaitExit(10000);
  const std::string log = ReadFileText(root + "/out.txt");
  const int dropLines = Count(log, "audio was dropped") + Count(log, "audio dropped");
  // The WAV writer flushes in blocks, so the file sizes lag by up to a few seconds.
  const double expected = wall * 48000.0 * iSlots;
  const double written = static_cast<double>(framesAfter - framesBefore);
  std::printf("N=%2d  CPU %.2f %% of one core in total, %.3f %% per slot;  RSS %.1f MB, %.2f MB per slot;  "
              "drop incidents %d;  frames written %.0f of %.0f in the window (%.1f %%)\n",
              iSlots, 100.0 * (cpu1 - cpu0) / wall, 100.0 * (cpu1 - cpu0) / wall / iSlots, rss / 1024.0,
              rss / 1024.0 / iSlots, dropLines, written, expected, 100.0 * written / expected);
  std::fflush(stdout);
  program.reset();
  jack.Stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // jackd's shared memory goes away
}
}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  std::vector<int> counts;
  for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1, 16, 64};
  for (int n : counts) RunOnce(n, seconds);
  return 0;
}
