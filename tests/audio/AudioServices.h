#pragma once
// Real sound services for the device tests: a private JACK server with a tone
// client, a private PulseAudio server with a null sink, and a child process
// helper. Everything is started under a unique name, stopped by its PID, and
// waited for with a bounded time.
#include <jack/jack.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vt::test {

// Waits until iDone holds or the time is up; true when it held.
bool WaitFor(const std::function<bool()>& iDone, std::chrono::milliseconds iTimeout);

// A child process; stopped (TERM, then KILL) when the object goes.
class TChildProcess {
public:
  TChildProcess() = default;
  explicit TChildProcess(const std::vector<std::string>& iArgs, bool iQuiet = true);
  ~TChildProcess() { Stop(); }
  TChildProcess(TChildProcess&& iOther) noexcept : fPid(iOther.fPid) { iOther.fPid = -1; }
  TChildProcess& operator=(TChildProcess&& iOther) noexcept {
    if (this != &iOther) {
      Stop();
      fPid = iOther.fPid;
      iOther.fPid = -1;
    }
    return *this;
  }

  bool Running() const { return fPid > 0; }
  // Waits for the exit; -1 when it did not end in time.
  int Wait(std::chrono::milliseconds iTimeout);
  void Stop();
  // Ends it at once (SIGKILL), as a crash.
  void Kill();

private:
  pid_t fPid = -1;
};

// Runs a program to its end; its exit status, or -1.
int RunProgram(const std::vector<std::string>& iArgs, std::chrono::milliseconds iTimeout = std::chrono::seconds(10));

// A private temporary folder, removed with its content.
class TTempFolder {
public:
  TTempFolder();
  ~TTempFolder();
  const std::string& Path() const { return fPath; }

private:
  std::string fPath;
};

// jackd with the dummy driver; JACK_DEFAULT_SERVER names it for this process.
// Held by one JACK server of the test suite at a time on this machine: with
// two servers of different names running at once, libjack now and then fails
// to connect a client to either (status 0x21, "server failed"), which parallel
// test runs would show as a missing driver. A station runs one server.
class TJackServerLock {
public:
  TJackServerLock();
  ~TJackServerLock();
  TJackServerLock(const TJackServerLock&) = delete;
  TJackServerLock& operator=(const TJackServerLock&) = delete;

private:
  int fFd = -1;
};

class TJackServer {
public:
  explicit TJackServer(int iCapturePorts = 2, int iRate = 48000, int iPeriod = 1024);
  ~TJackServer();
  bool Ready() const { return fReady; }
  const std::string& Name() const { return fName; }
  // Kills jackd (SIGKILL), as a crashed server; its clients are left dead.
  bool Crash();
  // Starts jackd again under the same name (ending the running one first,
  // if any), at iRate or, with 0, the rate it had.
  bool Restart(int iRate = 0);

private:
  bool Launch();

  std::string fName;
  int fCapturePorts, fRate, fPeriod;
  TJackServerLock fLock;  // before the process: released only once it ended
  TChildProcess fProcess;
  bool fReady = false;
};

// A JACK client writing a known signal on iPorts outputs: frame counter n
// gives port k the value k * 0.125 + (n % 1024) / 8192, so the channel and the
// continuity of every frame can be read back from a capture.
class TJackTone {
public:
  explicit TJackTone(int iPorts);
  ~TJackTone();
  bool Ready() const { return fClient != nullptr; }
  // Connects output k (from 0) to the named input port.
  bool Connect(int iPort, const std::string& iInput);
  // Waits for iCycles more process cycles. A connection carries the tone from
  // the next cycle on, and a cycle that was under way while connecting reaches
  // the reader up to two cycles later: after four, everything read since is
  // the tone.
  bool WaitCycles(uint64_t iCycles = 4);

  static float Value(int iPort, uint64_t iFrame) {
    return static_cast<float>(iPort) * 0.125f + static_cast<float>(iFrame % 1024) / 8192.0f;
  }

private:
  static int Process(jack_nframes_t iFrames, void* iArg);
  jack_client_t* fClient = nullptr;
  std::vector<jack_port_t*> fPorts;
  uint64_t fFrame = 0;  // process thread only
  std::atomic<uint64_t> fCycles{0};
};

// pulseaudio with the null sink "logtest" and a low-latency reader on its
// monitor; PULSE_SERVER and XDG_RUNTIME_DIR point this process at it.
class TPulseServer {
public:
  TPulseServer();
  ~TPulseServer();
  bool Ready() const { return fReady; }
  const std::string& Folder() const { return fFolder.Path(); }
  // Plays a stereo sine into the sink (in the background).
  TChildProcess PlayTone(int iFrequency, double iSeconds, double iVolume);
  // Stops (SIGSTOP) or continues the daemon, as a hung sound server.
  bool Suspend(bool iStop);
  // Kills the daemon (SIGKILL), as a crashed sound server.
  bool Crash();
  // Starts a fresh daemon on the same socket, as a restarted sound server
  // (ending the running one first, if any).
  bool Restart();

private:
  bool Launch();
  void End(int iSignal);

  TTempFolder fFolder;
  pid_t fDaemon = -1;
  TChildProcess fReader;
  bool fReady = false;
};

}  // namespace vt::test
