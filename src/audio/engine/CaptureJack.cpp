// ASIO drivers: one per reachable JACK server (the default server). The
// driver's client registers one port of its own per physical capture port and
// connects the two, so the recorder reads what the physical port delivers and
// any other client can feed the same port too. Connections made to our ports
// by others survive a stop and start of the driver.
#include <jack/jack.h>
#include <jack/thread.h>
#include <pthread.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/engine/CaptureText.h"
#include "audio/engine/Engine.h"
#include "audio/engine/EngineObject.h"

using namespace vt::engine;

namespace {

constexpr jack_nframes_t kChunkFrames = 4096;  // largest block handed to a callback at once

void Quiet(const char*) {}

void SilenceJack() {
  static std::once_flag sOnce;
  // The probe for a server prints to stderr when none runs; no server is a
  // normal case here and needs no message.
  std::call_once(sOnce, [] {
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
  });
}

std::string ServerName() {
  const char* name = std::getenv("JACK_DEFAULT_SERVER");
  return name && *name ? name : "default";
}

void CopyName(char* oTarget, size_t iSize, const std::string& iText) {
  std::strncpy(oTarget, iText.c_str(), iSize - 1);
  oTarget[iSize - 1] = 0;
}

size_t SampleBytes(DWORD iFormat) { return iFormat == BASS_ASIO_FORMAT_16BIT ? 2 : 4; }

struct TChannelSetting {
  ASIOPROC* fProc = nullptr;
  void* fUser = nullptr;
  DWORD fFormat = BASS_ASIO_FORMAT_FLOAT;
  int fJoinedTo = -1;
};

// One callback of a running driver: a channel with the channels joined to it.
struct TRunHead {
  BOOL fInput;
  DWORD fChannel;
  ASIOPROC* fProc;
  void* fUser;
  DWORD fFormat;
  std::vector<jack_port_t*> fPorts;
  std::vector<char> fBuffer;      // kChunkFrames interleaved frames
  std::vector<float*> fCycleBuffers;  // the ports' buffers of the current cycle
};

// What the process thread works with while the driver runs. Built before the
// client is activated and never changed afterwards.
//
// The thread count of BASS_ASIO_Start is the number of threads that serve the
// channels' callbacks: with more than one, the callbacks of one cycle are
// shared out between JACK's process thread and helper threads (at the
// client's real-time priority), so the bundles of a busy driver are handled in
// parallel; the cycle ends when every callback has returned.
class TRun {
public:
  TRun() { sem_init(&fDone, 0, 0); }
  ~TRun() {
    fQuit.store(true);
    for (auto& helper : fHelpers) sem_post(&helper->fGo);
    for (auto& helper : fHelpers) pthread_join(helper->fThread, nullptr);
    for (auto& helper : fHelpers) sem_destroy(&helper->fGo);
    sem_destroy(&fDone);
  }
  TRun(const TRun&) = delete;
  TRun& operator=(const TRun&) = delete;

  std::vector<TRunHead> fHeads;
  std::vector<jack_port_t*> fIdleOutputs;  // output ports nobody feeds: silence

  // Helper threads for a thread count of iThreads (no more than there are
  // callbacks to share). A helper that cannot get real-time scheduling runs
  // without it; when the system refuses threads altogether, the driver runs
  // with the threads it has rather than not at all.
  void StartHelpers(jack_client_t* iClient, DWORD iThreads) {
    const size_t wanted = std::min<size_t>({iThreads, fHeads.size(), kMaxThreads});
    while (fHelpers.size() + 1 < wanted) {
      auto helper = std::make_unique<THelper>();
      helper->fRun = this;
      sem_init(&helper->fGo, 0, 0);
      const int realtime = jack_is_realtime(iClient);
      if (jack_client_create_thread(iClient, &helper->fThread, jack_client_real_time_priority(iClient), realtime,
                                    &TRun::HelperEntry, helper.get()) != 0 &&
          (!realtime ||
           jack_client_create_thread(iClient, &helper->fThread, 0, 0, &TRun::HelperEntry, helper.get()) != 0)) {
        sem_destroy(&helper->fGo);
        return;
      }
      fHelpers.push_back(std::move(helper));
    }
  }

  void Process(jack_nframes_t iFrames) noexcept {
    for (auto* port : fIdleOutputs)
      std::memset(jack_port_get_buffer(port, iFrames), 0, iFrames * sizeof(float));
    for (auto& head : fHeads)
      for (size_t k = 0; k < head.fCycleBuffers.size(); ++k)
        head.fCycleBuffers[k] = static_cast<float*>(jack_port_get_buffer(head.fPorts[k], iFrames));
    fFrames = iFrames;
    fNext.store(0, std::memory_order_relaxed);
    // sem_post/sem_wait order the cycle's data between the threads.
    for (auto& helper : fHelpers) sem_post(&helper->fGo);
    TakeHeads();
    for (size_t i = 0; i < fHelpers.size(); ++i)
      while (sem_wait(&fDone) != 0 && errno == EINTR) {
      }
  }

private:
  static constexpr size_t kMaxThreads = 16;
  struct THelper {
    TRun* fRun = nullptr;
    jack_native_thread_t fThread{};
    sem_t fGo;
  };

  static void* HelperEntry(void* iArg) {
    auto* helper = static_cast<THelper*>(iArg);
    TRun& run = *helper->fRun;
    for (;;) {
      while (sem_wait(&helper->fGo) != 0 && errno == EINTR) {
      }
      if (run.fQuit.load()) return nullptr;
      run.TakeHeads();
      sem_post(&run.fDone);
    }
  }

  void TakeHeads() noexcept {
    for (size_t i; (i = fNext.fetch_add(1, std::memory_order_relaxed)) < fHeads.size();) RunHead(fHeads[i], fFrames);
  }

  static void RunHead(TRunHead& head, jack_nframes_t iFrames) noexcept {
    const size_t used = head.fCycleBuffers.size();
    float* const* buffers = head.fCycleBuffers.data();
    for (jack_nframes_t done = 0; done < iFrames;) {
      const jack_nframes_t n = std::min(iFrames - done, kChunkFrames);
      const DWORD bytes = static_cast<DWORD>(n * used * SampleBytes(head.fFormat));
      if (head.fInput) {
        Interleave(head, buffers, used, done, n);
        head.fProc(TRUE, head.fChannel, head.fBuffer.data(), bytes, head.fUser);
      } else {
        head.fProc(FALSE, head.fChannel, head.fBuffer.data(), bytes, head.fUser);
        Deinterleave(head, buffers, used, done, n);
      }
      done += n;
    }
  }

  std::vector<std::unique_ptr<THelper>> fHelpers;
  sem_t fDone;
  jack_nframes_t fFrames = 0;
  std::atomic<size_t> fNext{0};
  std::atomic<bool> fQuit{false};

public:
  static void Interleave(TRunHead& iHead, float* const* iPorts, size_t iChannels, jack_nframes_t iOffset,
                         jack_nframes_t iFrames) noexcept {
    char* out = iHead.fBuffer.data();
    for (jack_nframes_t f = 0; f < iFrames; ++f)
      for (size_t k = 0; k < iChannels; ++k) {
        const float x = iPorts[k][iOffset + f];
        const size_t i = f * iChannels + k;
        switch (iHead.fFormat) {
          case BASS_ASIO_FORMAT_16BIT:
            reinterpret_cast<int16_t*>(out)[i] =
                static_cast<int16_t>(std::lrintf(std::clamp(x, -1.0f, 1.0f) * 32767.0f));
            break;
          case BASS_ASIO_FORMAT_32BIT:
            reinterpret_cast<int32_t*>(out)[i] =
                static_cast<int32_t>(std::llrint(std::clamp(x, -1.0f, 1.0f) * 2147483647.0));
            break;
          default:
            reinterpret_cast<float*>(out)[i] = x;
        }
      }
  }

  static void Deinterleave(TRunHead& iHead, float* const* iPorts, size_t iChannels, jack_nframes_t iOffset,
                           jack_nframes_t iFrames) noexcept {
    const char* in = iHead.fBuffer.data();
    for (jack_nframes_t f = 0; f < iFrames; ++f)
      for (size_t k = 0; k < iChannels; ++k) {
        const size_t i = f * iChannels + k;
        float x;
        switch (iHead.fFormat) {
          case BASS_ASIO_FORMAT_16BIT: x = reinterpret_cast<const int16_t*>(in)[i] / 32768.0f; break;
          case BASS_ASIO_FORMAT_32BIT:
            x = static_cast<float>(reinterpret_cast<const int32_t*>(in)[i] / 2147483648.0);
            break;
          default: x = reinterpret_cast<const float*>(in)[i];
        }
        iPorts[k][iOffset + f] = x;
      }
  }
};

// The driver's JACK client. A server that goes away (crashed, restarted by its
// service manager, or one that threw the client out) leaves the client dead;
// while the driver is started, a recovery thread of its own opens a new
// client on the same server once a second, registers the same ports, restores
// the connections the ports had and resumes the same channel callbacks, so a
// recording comes back by itself when a server is there again.
//
// Threads: the controller calls every public method (under the ASIO state
// lock). The recovery thread exists only between Start and Stop; while it
// runs, it alone touches the client, the ports and the run, and Stop joins it
// before touching them again. JACK's own threads read fRun and set
// fServerGone, nothing else.
class TJackDriver {
public:
  ~TJackDriver() { Close(); }

  bool Open() {
    SilenceJack();
    fServer = ServerName();
    fClient = OpenClient();
    if (!fClient) return false;
    fRate = jack_get_sample_rate(fClient);
    fPeriod.store(jack_get_buffer_size(fClient));
    fPhysicalIn = PortNames(JackPortIsPhysical | JackPortIsOutput);
    fPhysicalOut = PortNames(JackPortIsPhysical | JackPortIsInput);
    fInPorts.assign(fPhysicalIn.size(), nullptr);
    fOutPorts.assign(fPhysicalOut.size(), nullptr);
    if (!RegisterPorts()) {
      Close();
      return false;
    }
    fIns.assign(fInPorts.size(), {});
    fOuts.assign(fOutPorts.size(), {});
    fSaved.assign(fInPorts.size() + fOutPorts.size(), {});
    return true;
  }

  void Close() {
    if (fStarted) Stop();
    DropClient();
  }

  DWORD Inputs() const { return static_cast<DWORD>(fIns.size()); }
  DWORD Outputs() const { return static_cast<DWORD>(fOuts.size()); }
  // The rate of the server the driver opened on; a server that comes back at
  // another rate is not used (see Revive).
  double Rate() const { return fRate; }
  DWORD Period() const { return fPeriod.load(); }
  bool Started() const { return fStarted; }
  const std::string& Server() const { return fServer; }

  TChannelSetting* Setting(BOOL iInput, DWORD iChannel) {
    auto& list = iInput ? fIns : fOuts;
    return iChannel < list.size() ? &list[iChannel] : nullptr;
  }
  const std::string& PhysicalName(BOOL iInput, DWORD iChannel) const {
    return iInput ? fPhysicalIn[iChannel] : fPhysicalOut[iChannel];
  }

  // A server that is gone at the start is no reason to fail it: the driver
  // starts without a client and the recovery thread brings the channels up
  // once a server is there, as it does for a server lost while running.
  bool Start(DWORD iBufLen, DWORD iThreads) {
    fBufLen = iBufLen;
    fThreads = iThreads;
    if (fServerGone.load()) {
      Revive();
    } else if (!Activate()) {
      return false;
    }
    fStarted = true;
    StartRecovery();
    return true;
  }

  void Stop() {
    if (!fStarted) return;
    EndRecovery();
    const bool alive = fClient && !fServerGone.load();
    if (alive) SaveConnections();
    fRun.store(nullptr);
    WaitProcessIdle();
    // The client stays active with its connections: the channels change by a
    // stop and a start, once for every slot that starts or stops, and
    // deactivating would make every start reconnect every port, which with
    // hundreds of channels takes minutes. Stopped, the process callback only
    // keeps the output ports silent.
    fRunOwned.reset();
    fStarted = false;
  }

private:
  static constexpr auto kRetryInterval = std::chrono::seconds(1);

  jack_client_t* OpenClient() {
    jack_status_t status;
    return jack_client_open("vantorel", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                            fServer.c_str());
  }

  // Our own ports, named after their position, and the callbacks. The port
  // lists keep their size for the driver's life; only the entries change.
  bool RegisterPorts() {
    for (size_t i = 0; i < fInPorts.size(); ++i)
      fInPorts[i] = jack_port_register(fClient, ("in_" + std::to_string(i + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                       JackPortIsInput, 0);
    for (size_t i = 0; i < fOutPorts.size(); ++i)
      fOutPorts[i] = jack_port_register(fClient, ("out_" + std::to_string(i + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                        JackPortIsOutput, 0);
    if (std::find(fInPorts.begin(), fInPorts.end(), nullptr) != fInPorts.end() ||
        std::find(fOutPorts.begin(), fOutPorts.end(), nullptr) != fOutPorts.end())
      return false;
    jack_set_process_callback(fClient, &TJackDriver::ProcessEntry, this);
    jack_on_info_shutdown(fClient, &TJackDriver::ShutdownEntry, this);
    return true;
  }

  // Builds the run of the channels' settings and activates the client.
  bool Activate() {
    auto run = BuildRun();
    run->StartHelpers(fClient, fThreads);
    if (fBufLen && fBufLen != jack_get_buffer_size(fClient)) jack_set_buffer_size(fClient, fBufLen);
    fPeriod.store(jack_get_buffer_size(fClient));
    fRunOwned = std::move(run);
    fRun.store(fRunOwned.get());
    if (fActive) {
      ConnectFedOutputs();
      return true;
    }
    if (jack_activate(fClient) != 0) {
      fRun.store(nullptr);
      WaitProcessIdle();
      fRunOwned.reset();
      return false;
    }
    fActive = true;
    Reconnect();
    return true;
  }

  // A start on the client that stayed active: outputs fed for the first time
  // get their physical port, as a first activation gives them.
  void ConnectFedOutputs() {
    for (size_t i = 0; i < fOutPorts.size(); ++i)
      if ((fOuts[i].fProc || fOuts[i].fJoinedTo >= 0) && !jack_port_connected_to(fOutPorts[i], fPhysicalOut[i].c_str()))
        jack_connect(fClient, jack_port_name(fOutPorts[i]), fPhysicalOut[i].c_str());
  }

  // Closes the client (dead or alive) after its process callback has let go
  // of the run.
  void DropClient() {
    fRun.store(nullptr);
    WaitProcessIdle();
    fRunOwned.reset();
    if (fClient) jack_client_close(fClient);
    fClient = nullptr;
    fActive = false;
    std::fill(fInPorts.begin(), fInPorts.end(), nullptr);
    std::fill(fOutPorts.begin(), fOutPorts.end(), nullptr);
  }

  // One attempt to get the channels running on a new client. A server at
  // another rate is left alone: the clients' streams were made at the first
  // rate, and audio at another one would be recorded at the wrong speed;
  // silence is the safe choice until a server at that rate is back.
  bool Revive() {
    DropClient();
    fClient = OpenClient();
    bool ok = fClient && jack_get_sample_rate(fClient) == fRate;
    if (ok) {
      fServerGone.store(false);  // before the callbacks are registered
      ok = RegisterPorts() && Activate();
    }
    if (!ok) {
      DropClient();
      fServerGone.store(true);
    }
    return ok;
  }

  void StartRecovery() {
    fQuit = false;
    fRecovery = std::thread([this] {
      std::unique_lock lock(fWakeMutex);
      while (!fWake.wait_for(lock, kRetryInterval, [this] { return fQuit; })) {
        if (!fServerGone.load()) continue;
        lock.unlock();  // Stop must be able to ask for the end during an attempt
        Revive();
        lock.lock();
      }
    });
  }

  void EndRecovery() {
    if (!fRecovery.joinable()) return;
    {
      std::lock_guard lock(fWakeMutex);
      fQuit = true;
    }
    fWake.notify_all();
    fRecovery.join();
  }

  std::vector<std::string> PortNames(unsigned long iFlags) {
    std::vector<std::string> names;
    const char** ports = jack_get_ports(fClient, nullptr, JACK_DEFAULT_AUDIO_TYPE, iFlags);
    if (ports) {
      for (const char** p = ports; *p; ++p) names.emplace_back(*p);
      jack_free(ports);
    }
    return names;
  }

  std::unique_ptr<TRun> BuildRun() {
    auto run = std::make_unique<TRun>();
    std::vector<bool> fedOutputs(fOutPorts.size(), false);
    auto addHeads = [&](BOOL iInput) {
      auto& list = iInput ? fIns : fOuts;
      auto& ports = iInput ? fInPorts : fOutPorts;
      for (DWORD c = 0; c < list.size(); ++c) {
        if (!list[c].fProc || list[c].fJoinedTo >= 0) continue;
        TRunHead head{iInput, c, list[c].fProc, list[c].fUser, list[c].fFormat, {ports[c]}, {}, {}};
        if (!iInput) fedOutputs[c] = true;
        for (DWORD k = 0; k < list.size(); ++k)
          if (list[k].fJoinedTo == static_cast<int>(c)) {
            head.fPorts.push_back(ports[k]);
            if (!iInput) fedOutputs[k] = true;
          }
        head.fPorts.resize(std::min<size_t>(head.fPorts.size(), 64));
        head.fBuffer.resize(kChunkFrames * head.fPorts.size() * SampleBytes(head.fFormat));
        head.fCycleBuffers.assign(head.fPorts.size(), nullptr);
        run->fHeads.push_back(std::move(head));
      }
    };
    addHeads(TRUE);
    addHeads(FALSE);
    for (size_t k = 0; k < fOutPorts.size(); ++k)
      if (!fedOutputs[k]) run->fIdleOutputs.push_back(fOutPorts[k]);
    return run;
  }

  void SaveConnections() {
    auto save = [&](jack_port_t* iPort, std::vector<std::string>& oList) {
      oList.clear();
      const char** cons = jack_port_get_connections(iPort);
      if (cons) {
        for (const char** p = cons; *p; ++p) oList.emplace_back(*p);
        jack_free(cons);
      }
    };
    for (size_t i = 0; i < fInPorts.size(); ++i) save(fInPorts[i], fSaved[i]);
    for (size_t i = 0; i < fOutPorts.size(); ++i) save(fOutPorts[i], fSaved[fInPorts.size() + i]);
    fHaveSaved = true;
  }

  // The first start connects every input port to its physical port and every
  // fed output port to its physical port; later starts restore whatever was
  // connected when the driver stopped. A new client after a lost server makes
  // the same connections by port name: those whose ports exist on the new
  // server come back, the others stay open.
  void Reconnect() {
    for (size_t i = 0; i < fInPorts.size(); ++i) {
      const std::string own = jack_port_name(fInPorts[i]);
      if (!fHaveSaved) jack_connect(fClient, fPhysicalIn[i].c_str(), own.c_str());
      else
        for (const auto& other : fSaved[i]) jack_connect(fClient, other.c_str(), own.c_str());
    }
    for (size_t i = 0; i < fOutPorts.size(); ++i) {
      const std::string own = jack_port_name(fOutPorts[i]);
      if (fHaveSaved)
        for (const auto& other : fSaved[fInPorts.size() + i]) jack_connect(fClient, own.c_str(), other.c_str());
      if (fOuts[i].fProc || fOuts[i].fJoinedTo >= 0) jack_connect(fClient, own.c_str(), fPhysicalOut[i].c_str());
    }
  }

  void WaitProcessIdle() {
    // The process thread finishes its cycle in a few milliseconds; bounded so
    // a stuck server cannot hang the controller.
    for (int i = 0; i < 20000 && fInProcess.load(); ++i) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }

  static int ProcessEntry(jack_nframes_t iFrames, void* iArg) {
    auto* self = static_cast<TJackDriver*>(iArg);
    self->fInProcess.store(true);
    if (TRun* run = self->fRun.load())
      run->Process(iFrames);
    else
      for (jack_port_t* port : self->fOutPorts)
        std::memset(jack_port_get_buffer(port, iFrames), 0, iFrames * sizeof(float));
    self->fInProcess.store(false);
    return 0;
  }
  // On a JACK thread: no jack_* calls here; the recovery thread looks at the
  // flag within a second.
  static void ShutdownEntry(jack_status_t, const char*, void* iArg) {
    static_cast<TJackDriver*>(iArg)->fServerGone.store(true);
  }

  jack_client_t* fClient = nullptr;
  std::string fServer;
  jack_nframes_t fRate = 0;
  std::atomic<DWORD> fPeriod{0};
  std::vector<std::string> fPhysicalIn, fPhysicalOut;
  std::vector<jack_port_t*> fInPorts, fOutPorts;
  std::vector<TChannelSetting> fIns, fOuts;
  std::vector<std::vector<std::string>> fSaved;
  bool fHaveSaved = false;
  bool fStarted = false;
  bool fActive = false;  // the client is activated (it stays so from its first start until it closes)
  DWORD fBufLen = 0, fThreads = 1;
  std::unique_ptr<TRun> fRunOwned;
  std::atomic<TRun*> fRun{nullptr};
  std::atomic<bool> fInProcess{false};
  std::atomic<bool> fServerGone{false};

  std::thread fRecovery;
  std::mutex fWakeMutex;  // guards fQuit; the recovery thread never holds it during an attempt
  std::condition_variable fWake;
  bool fQuit = false;
};

// The process-wide driver; the ASIO calls are made by the controller's thread.
struct TJackState {
  std::mutex fMutex;
  std::unique_ptr<TJackDriver> fDriver;
};

TJackState& State() {
  static TJackState sState;
  return sState;
}

thread_local int tCurrent = -1;

bool ServerReachable() {
  SilenceJack();
  jack_status_t status;
  jack_client_t* probe = jack_client_open("vantorel-probe", JackNoStartServer, &status);
  if (!probe) return false;
  jack_client_close(probe);
  return true;
}

// The selected, initialised driver, or null with BASS_ERROR_INIT set.
TJackDriver* Current(TJackState& iState) {
  if (tCurrent != 0 || !iState.fDriver) {
    SetError(BASS_ERROR_INIT);
    return nullptr;
  }
  return iState.fDriver.get();
}

}  // namespace

BOOL BASS_ASIO_GetDeviceInfo(DWORD device, BASS_ASIO_DEVICEINFO* info) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  if (device != 0 || (!state.fDriver && !ServerReachable())) return Fail(BASS_ERROR_DEVICE);
  const std::string server = state.fDriver ? state.fDriver->Server() : ServerName();
  if (info) {
    info->name = KeepText("JACK (" + server + ")");
    info->driver = KeepText(server);
  }
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_ASIO_Init(int device, DWORD) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  if (device == -1) device = 0;
  if (device != 0) return Fail(BASS_ERROR_DEVICE);
  if (state.fDriver) return Fail(BASS_ERROR_ALREADY);
  auto driver = std::make_unique<TJackDriver>();
  if (!driver->Open()) return Fail(BASS_ERROR_DEVICE);
  state.fDriver = std::move(driver);
  tCurrent = 0;
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_ASIO_Free() {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  if (!Current(state)) return FALSE;
  state.fDriver.reset();
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_ASIO_SetDevice(DWORD device) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  if (device != 0) return Fail(BASS_ERROR_DEVICE);
  if (!state.fDriver) return Fail(BASS_ERROR_INIT);
  tCurrent = 0;
  SetError(BASS_OK);
  return TRUE;
}

DWORD BASS_ASIO_GetDevice() {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  if (!Current(state)) return static_cast<DWORD>(-1);
  return 0;
}

BOOL BASS_ASIO_GetInfo(BASS_ASIO_INFO* info) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* driver = Current(state);
  if (!driver) return FALSE;
  if (!info) return Fail(BASS_ERROR_ILLPARAM);
  *info = {};
  CopyName(info->name, sizeof info->name, "JACK (" + driver->Server() + ")");
  info->version = 2;
  info->inputs = driver->Inputs();
  info->outputs = driver->Outputs();
  info->bufmin = info->bufmax = info->bufpref = driver->Period();
  info->bufgran = 0;
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_ASIO_ChannelGetInfo(BOOL input, DWORD channel, BASS_ASIO_CHANNELINFO* info) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* driver = Current(state);
  if (!driver) return FALSE;
  auto* setting = driver->Setting(input, channel);
  if (!setting) return Fail(BASS_ERROR_ILLPARAM);
  if (info) {
    *info = {};
    info->format = setting->fFormat;
    CopyName(info->name, sizeof info->name, driver->PhysicalName(input, channel));
  }
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_ASIO_SetRate(double rate) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* driver = Current(state);
  if (!driver) return FALSE;
  // The server owns the clock: only its own rate can be "set".
  if (std::lround(rate) != std::lround(driver->Rate())) return Fail(BASS_ERROR_FORMAT);
  SetError(BASS_OK);
  return TRUE;
}

double BASS_ASIO_GetRate() {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* driver = Current(state);
  if (!driver) return -1;
  SetError(BASS_OK);
  return driver->Rate();
}

BOOL BASS_ASIO_ChannelEnable(BOOL input, DWORD channel, ASIOPROC* proc, void* user) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* driver = Current(state);
  if (!driver) return FALSE;
  if (driver->Started()) return Fail(BASS_ERROR_START);
  auto* setting = driver->Setting(input, channel);
  if (!setting) return Fail(BASS_ERROR_ILLPARAM);
  setting->fProc = proc;
  setting->fUser = user;
  setting->fJoinedTo = -1;
  if (!proc) {
    // a disabled channel takes its joined channels with it
    for (DWORD k = 0; auto* other = driver->Setting(input, k); ++k)
      if (other->fJoinedTo == static_cast<int>(channel)) other->fJoinedTo = -1;
  }
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_ASIO_ChannelSetFormat(BOOL input, DWORD channel, DWORD format) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* driver = Current(state);
  if (!driver) return FALSE;
  if (driver->Started()) return Fail(BASS_ERROR_START);
  auto* setting = driver->Setting(input, channel);
  if (!setting) return Fail(BASS_ERROR_ILLPARAM);
  if (format != BASS_ASIO_FORMAT_16BIT && format != BASS_ASIO_FORMAT_32BIT && format != BASS_ASIO_FORMAT_FLOAT)
    return Fail(BASS_ERROR_FORMAT);
  setting->fFormat = format;
  SetError(BASS_OK);
  return TRUE;
}

DWORD BASS_ASIO_ChannelGetFormat(BOOL input, DWORD channel) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* driver = Current(state);
  if (!driver) return static_cast<DWORD>(-1);
  auto* setting = driver->Setting(input, channel);
  if (!setting) {
    SetError(BASS_ERROR_ILLPARAM);
    return static_cast<DWORD>(-1);
  }
  SetError(BASS_OK);
  return setting->fFormat;
}

BOOL BASS_ASIO_ChannelJoin(BOOL input, DWORD channel, int channel2) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* driver = Current(state);
  if (!driver) return FALSE;
  if (driver->Started()) return Fail(BASS_ERROR_START);
  auto* setting = driver->Setting(input, channel);
  if (!setting || channel2 == static_cast<int>(channel)) return Fail(BASS_ERROR_ILLPARAM);
  if (channel2 >= 0) {
    auto* target = driver->Setting(input, static_cast<DWORD>(channel2));
    if (!target || target->fJoinedTo >= 0) return Fail(BASS_ERROR_ILLPARAM);
  }
  setting->fJoinedTo = channel2 < 0 ? -1 : channel2;
  SetError(BASS_OK);
  return TRUE;
}

DWORD BASS_ASIO_ChannelIsActive(BOOL input, DWORD channel) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* driver = Current(state);
  if (!driver) return BASS_ASIO_ACTIVE_DISABLED;
  auto* setting = driver->Setting(input, channel);
  if (!setting || (!setting->fProc && setting->fJoinedTo < 0)) return BASS_ASIO_ACTIVE_DISABLED;
  return BASS_ASIO_ACTIVE_ENABLED;
}

BOOL BASS_ASIO_Start(DWORD buflen, DWORD threads) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* driver = Current(state);
  if (!driver) return FALSE;
  if (driver->Started()) return Fail(BASS_ERROR_ALREADY);
  if (!driver->Start(buflen, threads)) return Fail(BASS_ERROR_DRIVER);
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_ASIO_Stop() {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* driver = Current(state);
  if (!driver) return FALSE;
  if (!driver->Started()) return Fail(BASS_ERROR_START);
  driver->Stop();
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_ASIO_IsStarted() {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  return state.fDriver && state.fDriver->Started();
}

BOOL BASS_ASIO_ControlPanel() {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  if (!Current(state)) return FALSE;
  return Fail(BASS_ERROR_NOTAVAIL);
}

int BASS_ASIO_ErrorGetCode() { return BASS_ErrorGetCode(); }
