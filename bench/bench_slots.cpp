// N slots recording 48 kHz stereo from a JACK dummy server into WAV files, in
// the real program: CPU per slot (user+sys over wall time), resident memory per
// slot, and the audio dropped (log lines of overruns and full queues, and the
// frames the files hold against the time they ran). Goal: 64 slots under 25 %
// of one core and under 8 MB per slot, nothing dropped.
//
// Usage: bench_slots [seconds per run, default 20] [slot counts..., default 1 16 64]
//
// Side by side with the peers:
//   bench_slots --peers [--seconds S] [--runs R] [--vantorel PROGRAM] [--only-vantorel] [counts..., default 8 64 255]
// records N stereo channels with vantorel (one process, N slots), rotter (one
// process per channel, 16-bit WAV) and liquidsoap (one process, N input.jack to
// output.file WAV), each on its own private dummy JACK server whose recorder
// ports are all fed a 1 kHz tone. The recorders take turns (interleaved runs,
// medians of R, default 3) and the figures cover the recorder processes only:
// CPU % of one core per channel, private memory (smaps Private_*) per channel,
// xruns the server reported in the window, and the frames the files grew by
// against the wall time (the writers buffer, so short windows read a little
// low or high). Also the time vantorel takes from SIGTERM to its exit. The
// machine's load average is printed beside each run: on a shared machine,
// compare within a run, not across runs. rotter and liquidsoap come from
// scripts/setup --bench.
#include <jack/jack.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <regex>
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

// ---- side by side with rotter and liquidsoap ------------------------------

long PrivateKiB(pid_t iPid) {
  std::istringstream rollup(ReadFileText("/proc/" + std::to_string(iPid) + "/smaps_rollup"));
  std::string line;
  long kib = 0;
  while (std::getline(rollup, line))
    if (line.rfind("Private_", 0) == 0) kib += std::stol(line.substr(line.find(':') + 1));
  return kib;
}

std::string LoadAverage() {
  const std::string text = ReadFileText("/proc/loadavg");
  return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

// Bytes of every .wav file below iFolder.
uint64_t WavBytes(const std::string& iFolder) {
  uint64_t bytes = 0;
  if (!std::filesystem::exists(iFolder)) return 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(iFolder))
    if (e.is_regular_file() && e.path().extension() == ".wav") bytes += e.file_size();
  return bytes;
}

// A JACK client with one output port that plays a 1 kHz tone at -12 dBFS into
// every recorder port, and counts the server's xruns.
class TToneClient {
public:
  explicit TToneClient(const std::string& iServer) {
    jack_status_t status;
    fClient = jack_client_open("vtbench_tone", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                               &status, iServer.c_str());
    if (!fClient) throw std::runtime_error("the tone client cannot open the server");
    fPort = jack_port_register(fClient, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    fRate = jack_get_sample_rate(fClient);
    jack_set_process_callback(fClient, &TToneClient::Process, this);
    jack_set_xrun_callback(fClient, &TToneClient::Xrun, this);
    jack_activate(fClient);
  }
  ~TToneClient() { jack_client_close(fClient); }
  TToneClient(const TToneClient&) = delete;
  TToneClient& operator=(const TToneClient&) = delete;

  // Input ports whose full name matches iPattern.
  int CountInputs(const std::string& iPattern) {
    const char** ports = jack_get_ports(fClient, iPattern.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput);
    int n = 0;
    for (; ports && ports[n]; ++n) {
    }
    jack_free(ports);
    return n;
  }
  void FeedInputs(const std::string& iPattern) {
    const char** ports = jack_get_ports(fClient, iPattern.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput);
    for (int i = 0; ports && ports[i]; ++i) jack_connect(fClient, jack_port_name(fPort), ports[i]);
    jack_free(ports);
  }
  int Xruns() const { return fXruns.load(); }

private:
  static int Process(jack_nframes_t iFrames, void* iSelf) {
    auto* self = static_cast<TToneClient*>(iSelf);
    auto* out = static_cast<float*>(jack_port_get_buffer(self->fPort, iFrames));
    for (jack_nframes_t i = 0; i < iFrames; ++i) {
      out[i] = 0.25f * std::sin(self->fPhase);
      self->fPhase += 2.0f * static_cast<float>(M_PI) * 1000.0f / static_cast<float>(self->fRate);
      if (self->fPhase > 2.0f * static_cast<float>(M_PI)) self->fPhase -= 2.0f * static_cast<float>(M_PI);
    }
    return 0;
  }
  static int Xrun(void* iSelf) {
    static_cast<TToneClient*>(iSelf)->fXruns.fetch_add(1);
    return 0;
  }
  jack_client_t* fClient = nullptr;
  jack_port_t* fPort = nullptr;
  jack_nframes_t fRate = 48000;
  float fPhase = 0;
  std::atomic<int> fXruns{0};
};

struct TFigures {
  bool Ok = false;
  double CpuPerChannel = 0;      // % of one core
  double PrivatePerChannel = 0;  // MiB
  int Xruns = 0;
  double WrittenPercent = 0;     // frames written in the window against wall time
  double ExitSeconds = -1;       // vantorel: SIGTERM to exit
  int DropIncidents = 0;         // vantorel: log lines of dropped audio
  std::string Load;
};

enum class ERecorder { Vantorel, Rotter, Liquidsoap };
const char* RecorderName(ERecorder iR) {
  return iR == ERecorder::Vantorel ? "vantorel" : iR == ERecorder::Rotter ? "rotter" : "liquidsoap";
}

std::string gVantorel = VT_VANTOREL_EXE;

TFigures RunPeer(ERecorder iRecorder, int iChannels, int iSeconds) {
  TFigures figures;
  TE2ETempFolder run;
  const std::string server = "vtpeer" + std::to_string(getpid()) + "_" + std::to_string(iChannels);
  const std::map<std::string, std::optional<std::string>> env = {
      {"JACK_DEFAULT_SERVER", server}, {"JACK_NO_START_SERVER", "1"}, {"DISPLAY", std::nullopt}};
  TChildProcess jack({"jackd", "-n", server, "--no-realtime", "-p", "4096", "-d", "dummy", "-r", "48000", "-p", "1024",
                      "-C", std::to_string(2 * iChannels), "-P", "2"},
                     run / "jackd.out", env);
  if (!WaitUntil([&] { return TChildProcess({"jack_lsp"}, run / "lsp.out", env).WaitExit(5000) == std::optional<int>(0); },
                 15000)) {
    std::printf("jackd did not start\n");
    return figures;
  }
  std::optional<TToneClient> tone;
  try {
    tone.emplace(server);
  } catch (const std::exception& e) {
    std::printf("%s\n", e.what());
    return figures;
  }
  const std::string root = run / "root";
  std::filesystem::create_directories(root);
  std::vector<std::unique_ptr<TChildProcess>> processes;
  std::string pattern;
  if (iRecorder == ERecorder::Vantorel) {
    std::string ini = "[General]\nInstanceNumber=" + std::to_string(800000 + getpid() % 50000 * 4 + iChannels % 4) +
                      "\nFullSlotCount=" + std::to_string(iChannels) + "\n";
    for (int i = 0; i < iChannels; ++i)
      ini += "[Slot" + std::to_string(i) + "]\nSource=Soundcard\nDevice=ASIO:0:" + std::to_string(2 * i) +
             ":2\nFormat=wav16\nSamplerate=48000\nTimeSlotLength=60\nCleanupDaysEnabled=off\n"
             "CleanupSpaceEnabled=off\nFolder=" + root + "/rec" + std::to_string(i) + "\n";
    WriteFileText(root + "/Vantorel.ini", ini);
    processes.push_back(std::make_unique<TChildProcess>(
        std::vector<std::string>{gVantorel, "-rootfolder", root}, root + "/out.txt", env));
    pattern = "^vantorel[^:]*:in_";
  } else if (iRecorder == ERecorder::Rotter) {
    for (int i = 0; i < iChannels; ++i) {
      const std::string folder = root + "/rec" + std::to_string(i);
      std::filesystem::create_directories(folder);
      processes.push_back(std::make_unique<TChildProcess>(
          std::vector<std::string>{"rotter", "-f", "wav", "-c", "2", "-n", "vtrot" + std::to_string(i), "-j", "-q",
                                   "-L", "flat", folder},
          root + "/rotter.out", env));
    }
    pattern = "^vtrot[0-9]+:";
  } else {
    std::string script = "settings.init.allow_root.set(true)\nsettings.log.stdout.set(false)\n"
                         "settings.log.file.set(false)\nsettings.frame.audio.samplerate.set(48000)\n";
    for (int i = 0; i < iChannels; ++i) {
      const std::string n = std::to_string(i);
      script += "s" + n + " = input.jack(id=\"vtls" + n + "\", server=\"" + server + "\")\n" +
                "output.file(%wav(stereo=true, samplesize=16), \"" + root + "/rec" + n + ".wav\", fallible=true, s" +
                n + ")\n";
    }
    WriteFileText(root + "/record.liq", script);
    processes.push_back(std::make_unique<TChildProcess>(std::vector<std::string>{"liquidsoap", root + "/record.liq"},
                                                        root + "/liquidsoap.out", env));
    pattern = "^vtls[0-9]+:";
  }
  const auto anyDead = [&] {
    return std::any_of(processes.begin(), processes.end(), [](auto& p) { return !p->Running(); });
  };
  bool ready = WaitUntil([&] { return tone->CountInputs(pattern) >= 2 * iChannels || anyDead(); }, 180000);
  if (ready && iRecorder == ERecorder::Vantorel)
    ready = WaitUntil([&] { return Count(ReadFileText(root + "/out.txt"), "Encoding to file") >= iChannels || anyDead(); },
                      180000);
  if (!ready || anyDead()) {
    std::printf("%s N=%d: did not start (see %s)\n", RecorderName(iRecorder), iChannels, root.c_str());
    std::printf("%s\n", ReadFileText(root + "/out.txt").substr(0, 2000).c_str());
    return figures;
  }
  tone->FeedInputs(pattern);
  std::this_thread::sleep_for(std::chrono::seconds(3));  // past the start and the first writes

  const auto cpu = [&] {
    double s = 0;
    for (auto& p : processes) s += ProcessCpuSeconds(p->Pid());
    return s;
  };
  const uint64_t bytes0 = WavBytes(root);
  const int xruns0 = tone->Xruns();
  const double cpu0 = cpu();
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(iSeconds));
  const double cpu1 = cpu();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const int xruns1 = tone->Xruns();
  const uint64_t bytes1 = WavBytes(root);
  long privateKiB = 0;
  for (auto& p : processes) privateKiB += PrivateKiB(p->Pid());
  figures.Load = LoadAverage();

  const auto stop0 = std::chrono::steady_clock::now();
  for (auto& p : processes) p->Signal(SIGTERM);
  bool exited = true;
  for (auto& p : processes) exited = p->WaitExit(15000).has_value() && exited;
  if (iRecorder == ERecorder::Vantorel) {
    figures.ExitSeconds =
        exited ? std::chrono::duration<double>(std::chrono::steady_clock::now() - stop0).count() : 99.0;
    const std::string log = ReadFileText(root + "/out.txt");
    figures.DropIncidents = Count(log, "audio was dropped") + Count(log, "audio dropped");
  }
  processes.clear();
  tone.reset();
  jack.Stop();

  figures.Ok = true;
  figures.CpuPerChannel = 100.0 * (cpu1 - cpu0) / wall / iChannels;
  figures.PrivatePerChannel = privateKiB / 1024.0 / iChannels;
  figures.Xruns = xruns1 - xruns0;
  figures.WrittenPercent = 100.0 * static_cast<double>(bytes1 - bytes0) / 4.0 / (wall * 48000.0 * iChannels);
  std::printf("  %-10s N=%3d  CPU %.3f %%/ch  private %.2f MiB/ch  xruns %d  written %.1f %%", RecorderName(iRecorder),
              iChannels, figures.CpuPerChannel, figures.PrivatePerChannel, figures.Xruns, figures.WrittenPercent);
  if (iRecorder == ERecorder::Vantorel)
    std::printf("  drops %d  SIGTERM->exit %.2f s", figures.DropIncidents, figures.ExitSeconds);
  std::printf("  (load %s)\n", figures.Load.c_str());
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // jackd's shared memory goes away
  return figures;
}

double Median(std::vector<double> iValues) {
  if (iValues.empty()) return 0;
  std::sort(iValues.begin(), iValues.end());
  return iValues[iValues.size() / 2];
}

void RunPeers(const std::vector<int>& iCounts, int iSeconds, int iRuns, const std::vector<ERecorder>& recorders) {
  for (int n : iCounts) {
    std::printf("N=%d channels, %d s windows, %d interleaved runs (load before: %s)\n", n, iSeconds, iRuns,
                LoadAverage().c_str());
    std::map<ERecorder, std::vector<TFigures>> all;
    for (int r = 0; r < iRuns; ++r)
      for (ERecorder rec : recorders) {
        TFigures f = RunPeer(rec, n, iSeconds);
        if (f.Ok) all[rec].push_back(f);
      }
    std::printf("N=%d medians:\n", n);
    double rotterCpu = 0, rotterMem = 0;
    for (ERecorder rec : recorders) {
      const auto& v = all[rec];
      if (v.empty()) {
        std::printf("  %-10s no successful run\n", RecorderName(rec));
        continue;
      }
      const auto med = [&](auto field) {
        std::vector<double> values;
        for (const auto& f : v) values.push_back(field(f));
        return Median(values);
      };
      const double cpu = med([](const TFigures& f) { return f.CpuPerChannel; });
      const double mem = med([](const TFigures& f) { return f.PrivatePerChannel; });
      if (rec == ERecorder::Rotter) rotterCpu = cpu, rotterMem = mem;
      std::printf("  %-10s CPU %.3f %%/ch (%.1f %% of a core in all)  private %.2f MiB/ch (%.0f MiB in all)  "
                  "xruns %.0f  written %.1f %%",
                  RecorderName(rec), cpu, cpu * n, mem, mem * n, med([](const TFigures& f) { return double(f.Xruns); }),
                  med([](const TFigures& f) { return f.WrittenPercent; }));
      if (rec == ERecorder::Vantorel)
        std::printf("  drops %.0f  SIGTERM->exit %.2f s", med([](const TFigures& f) { return double(f.DropIncidents); }),
                    med([](const TFigures& f) { return f.ExitSeconds; }));
      std::printf("\n");
    }
    if (rotterCpu > 0 && !all[ERecorder::Vantorel].empty()) {
      std::vector<double> cpu, mem;
      for (const auto& f : all[ERecorder::Vantorel]) cpu.push_back(f.CpuPerChannel), mem.push_back(f.PrivatePerChannel);
      std::printf("  vantorel / rotter: CPU %.2fx  memory %.2fx\n", Median(cpu) / rotterCpu, Median(mem) / rotterMem);
    }
    std::fflush(stdout);
  }
}
}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--peers") {
    int seconds = 30, runs = 3;
    std::vector<int> counts;
    std::vector<ERecorder> recorders = {ERecorder::Vantorel, ERecorder::Rotter, ERecorder::Liquidsoap};
    for (int i = 2; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "--seconds" && i + 1 < argc) seconds = std::atoi(argv[++i]);
      else if (a == "--runs" && i + 1 < argc) runs = std::atoi(argv[++i]);
      else if (a == "--vantorel" && i + 1 < argc) gVantorel = argv[++i];
      else if (a == "--only-vantorel") recorders = {ERecorder::Vantorel};
      else counts.push_back(std::atoi(a.c_str()));
    }
    if (counts.empty()) counts = {8, 64, 255};
    RunPeers(counts, seconds, runs, recorders);
    return 0;
  }
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  std::vector<int> counts;
  for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1, 16, 64};
  for (int n : counts) RunOnce(n, seconds);
  return 0;
}
