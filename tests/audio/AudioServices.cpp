#include "AudioServices.h"

#include <chrono>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace vt::test {

bool WaitFor(const std::function<bool()>& iDone, std::chrono::milliseconds iTimeout) {
  const auto deadline = std::chrono::steady_clock::now() + iTimeout;
  while (!iDone()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// ---------------------------------------------------------------- child processes

TChildProcess::TChildProcess(const std::vector<std::string>& iArgs, bool iQuiet) {
  std::vector<char*> argv;
  for (const auto& a : iArgs) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (iQuiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) fPid = pid;
  posix_spawn_file_actions_destroy(&actions);
}

int TChildProcess::Wait(std::chrono::milliseconds iTimeout) {
  if (fPid <= 0) return -1;
  int status = 0;
  bool ended = WaitFor([&] { return waitpid(fPid, &status, WNOHANG) == fPid; }, iTimeout);
  if (!ended) return -1;
  fPid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void TChildProcess::Stop() {
  if (fPid <= 0) return;
  kill(fPid, SIGTERM);
  if (Wait(std::chrono::seconds(5)) == -1 && fPid > 0) {
    kill(fPid, SIGKILL);
    waitpid(fPid, nullptr, 0);
    fPid = -1;
  }
}

void TChildProcess::Kill() {
  if (fPid <= 0) return;
  kill(fPid, SIGKILL);
  waitpid(fPid, nullptr, 0);
  fPid = -1;
}

int RunProgram(const std::vector<std::string>& iArgs, std::chrono::milliseconds iTimeout) {
  TChildProcess child(iArgs);
  return child.Wait(iTimeout);
}

TTempFolder::TTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vt-devices-XXXXXX").string();
  if (mkdtemp(pattern.data())) fPath = pattern;
}

TTempFolder::~TTempFolder() {
  std::error_code ec;
  if (!fPath.empty()) std::filesystem::remove_all(fPath, ec);
}

// ---------------------------------------------------------------- JACK

namespace {
void Quiet(const char*) {}

std::string UniqueName(const char* iPrefix) {
  static std::atomic<int> sCounter{0};
  return std::string(iPrefix) + std::to_string(getpid()) + "-" + std::to_string(++sCounter);
}
}  // namespace

TJackServerLock::TJackServerLock() : fFd(::open("/tmp/vantorel-test-jackd.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
  if (fFd >= 0) ::flock(fFd, LOCK_EX);  // without the file: run unserialised
}

TJackServerLock::~TJackServerLock() {
  if (fFd >= 0) ::close(fFd);  // releases the lock
}

TJackServer::TJackServer(int iCapturePorts, int iRate, int iPeriod)
    : fName(UniqueName("vt-devices-")), fCapturePorts(iCapturePorts), fRate(iRate), fPeriod(iPeriod) {
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
  setenv("JACK_DEFAULT_SERVER", fName.c_str(), 1);
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  fReady = Launch();
}

bool TJackServer::Launch() {
  fProcess = TChildProcess({"jackd", "--no-realtime", "-n", fName, "-d", "dummy", "-r", std::to_string(fRate), "-p",
                            std::to_string(fPeriod), "-C", std::to_string(fCapturePorts), "-P", "2"});
  // Asked from another process: a client of this process opened on a new
  // server while a client of the killed one is still open leaves libjack's
  // process-wide state broken for the old one (its close crashes).
  return fProcess.Running() &&
         WaitFor([&] { return RunProgram({"jack_lsp", "-s", fName}) == 0; }, std::chrono::seconds(10));
}

TJackServer::~TJackServer() {
  fProcess.Stop();
  unsetenv("JACK_DEFAULT_SERVER");
}

bool TJackServer::Crash() {
  if (!fProcess.Running()) return false;
  fProcess.Kill();
  fReady = false;
  return true;
}

bool TJackServer::Restart(int iRate) {
  fProcess.Stop();
  if (iRate > 0) fRate = iRate;
  // A server started at once after the last one ended now and then fails to
  // come up; the recipe is a short pause.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  fReady = Launch();
  return fReady;
}

TJackTone::TJackTone(int iPorts) {
  jack_status_t status;
  fClient = jack_client_open("vt-tone", JackNoStartServer, &status);
  if (!fClient) return;
  for (int k = 0; k < iPorts; ++k)
    fPorts.push_back(jack_port_register(fClient, ("out_" + std::to_string(k + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                        JackPortIsOutput, 0));
  jack_set_process_callback(fClient, &TJackTone::Process, this);
  if (jack_activate(fClient) != 0) {
    jack_client_close(fClient);
    fClient = nullptr;
  }
}

TJackTone::~TJackTone() {
  // Closing deactivates first; one call into a client whose server may have
  // been killed is one chance less for libjack to trip over it.
  if (fClient) jack_client_close(fClient);
}

bool TJackTone::Connect(int iPort, const std::string& iInput) {
  return fClient && jack_connect(fClient, jack_port_name(fPorts[iPort]), iInput.c_str()) == 0;
}

int TJackTone::Process(jack_nframes_t iFrames, void* iArg) {
  auto* self = static_cast<TJackTone*>(iArg);
  for (size_t k = 0; k < self->fPorts.size(); ++k) {
    auto* out = static_cast<float*>(jack_port_get_buffer(self->fPorts[k], iFrames));
    for (jack_nframes_t f = 0; f < iFrames; ++f) out[f] = Value(static_cast<int>(k), self->fFrame + f);
  }
  self->fFrame += iFrames;
  self->fCycles.fetch_add(1, std::memory_order_release);
  return 0;
}

bool TJackTone::WaitCycles(uint64_t iCycles) {
  const uint64_t until = fCycles.load(std::memory_order_acquire) + iCycles;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (fCycles.load(std::memory_order_acquire) < until) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// ---------------------------------------------------------------- PulseAudio

TPulseServer::TPulseServer() {
  if (Folder().empty()) return;
  const std::string xdg = Folder() + "/xdg";
  mkdir(xdg.c_str(), 0700);
  setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
  setenv("PULSE_SERVER", ("unix:" + Folder() + "/pulse.sock").c_str(), 1);
  fReady = Launch();
}

bool TPulseServer::Launch() {
  const std::string xdg = Folder() + "/xdg";
  fDaemon = -1;
  std::remove((xdg + "/pulse/pid").c_str());
  const int started = RunProgram({"pulseaudio", "-D", "--exit-idle-time=-1", "--disallow-exit", "-n",
                                  "--disable-shm=yes", "--log-target=file:" + Folder() + "/pa.log",
                                  "--load=module-null-sink sink_name=logtest rate=48000 channels=2",
                                  "--load=module-native-protocol-unix auth-anonymous=1 socket=" + Folder() +
                                      "/pulse.sock"});
  if (started != 0) return false;
  WaitFor(
      [&] {
        std::ifstream pidFile(xdg + "/pulse/pid");
        return static_cast<bool>(pidFile >> fDaemon);
      },
      std::chrono::seconds(5));
  if (fDaemon <= 0) return false;
  if (!WaitFor([] { return RunProgram({"pactl", "info"}) == 0; }, std::chrono::seconds(10))) return false;
  // An idle null sink runs at a latency of seconds; a low-latency reader keeps
  // it prompt for every capture of the test.
  fReader = TChildProcess({"pacat", "--record", "--latency-msec=20", "-d", "logtest.monitor"});
  return fReader.Running();
}

void TPulseServer::End(int iSignal) {
  fReader.Stop();
  if (fDaemon > 0) {
    kill(fDaemon, SIGCONT);
    kill(fDaemon, iSignal);
    if (!WaitFor([&] { return kill(fDaemon, 0) != 0; }, std::chrono::seconds(5))) kill(fDaemon, SIGKILL);
    WaitFor([&] { return kill(fDaemon, 0) != 0; }, std::chrono::seconds(5));
  }
  fDaemon = -1;
}

TPulseServer::~TPulseServer() {
  End(SIGTERM);
  unsetenv("PULSE_SERVER");
}

bool TPulseServer::Crash() {
  if (fDaemon <= 0) return false;
  End(SIGKILL);
  fReady = false;
  return true;
}

bool TPulseServer::Restart() {
  End(SIGTERM);
  std::remove((Folder() + "/pulse.sock").c_str());
  fReady = Launch();
  return fReady;
}

bool TPulseServer::Suspend(bool iStop) { return fDaemon > 0 && kill(fDaemon, iStop ? SIGSTOP : SIGCONT) == 0; }

TChildProcess TPulseServer::PlayTone(int iFrequency, double iSeconds, double iVolume) {
  const std::string file = Folder() + "/tone-" + std::to_string(iFrequency) + ".wav";
  RunProgram({"sox", "-n", "-r", "48000", "-c", "2", "-b", "16", file, "synth", std::to_string(iSeconds), "sine",
              std::to_string(iFrequency), "vol", std::to_string(iVolume)});
  return TChildProcess({"paplay", "-d", "logtest", file});
}

}  // namespace vt::test
