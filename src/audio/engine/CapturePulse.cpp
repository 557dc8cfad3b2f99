// WASAPI endpoints: PulseAudio sources (input endpoints) and sinks (output
// endpoints, listed only). An initialised source has a record stream of its
// own with its own main loop, run by the endpoint's capture thread while
// capture is started and by the controller's thread otherwise.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "audio/engine/CaptureText.h"
#include "audio/engine/Engine.h"
#include "audio/engine/EngineObject.h"

using namespace vt::engine;

namespace {

using TClock = std::chrono::steady_clock;
constexpr auto kConnectTimeout = std::chrono::seconds(3);

struct TPulseDevice {
  const char* fName;
  const char* fId;
  DWORD fFlags;
  DWORD fRate;
  DWORD fChannels;
};

// A main loop with a context, connected or failed within a bounded time.
class TPulseConnection {
public:
  TPulseConnection() : fLoop(pa_mainloop_new()) {
    fContext = pa_context_new(pa_mainloop_get_api(fLoop), "Vantorel");
  }
  ~TPulseConnection() {
    if (fContext) {
      pa_context_disconnect(fContext);
      pa_context_unref(fContext);
    }
    pa_mainloop_free(fLoop);
  }
  TPulseConnection(const TPulseConnection&) = delete;
  TPulseConnection& operator=(const TPulseConnection&) = delete;

  // The server that the environment names; never starts one of its own.
  bool Connect(const std::atomic<bool>* iAbort = nullptr) {
    if (!fContext || pa_context_connect(fContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    return RunUntil(
               [this] {
                 auto s = pa_context_get_state(fContext);
                 return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
               },
               iAbort) &&
           pa_context_get_state(fContext) == PA_CONTEXT_READY;
  }

  bool Ready() const { return fContext && pa_context_get_state(fContext) == PA_CONTEXT_READY; }

  // Runs the loop until the condition holds, the time is up or the abort flag
  // is raised.
  template <class F>
  bool RunUntil(F iDone, const std::atomic<bool>* iAbort = nullptr) {
    const auto deadline = TClock::now() + kConnectTimeout;
    while (!iDone()) {
      if (TClock::now() >= deadline || (iAbort && iAbort->load(std::memory_order_acquire))) return false;
      if (pa_mainloop_prepare(fLoop, 50000) < 0 || pa_mainloop_poll(fLoop) < 0 || pa_mainloop_dispatch(fLoop) < 0)
        return false;
    }
    return true;
  }

  bool Wait(pa_operation* iOperation) {
    if (!iOperation) return false;
    bool done = RunUntil([&] { return pa_operation_get_state(iOperation) != PA_OPERATION_RUNNING; });
    pa_operation_unref(iOperation);
    return done;
  }

  pa_mainloop* Loop() const { return fLoop; }
  pa_context* Context() const { return fContext; }

private:
  pa_mainloop* fLoop;
  pa_context* fContext = nullptr;
};

std::vector<TPulseDevice> Enumerate() {
  std::vector<TPulseDevice> devices;
  TPulseConnection connection;
  if (!connection.Connect()) return devices;
  struct TCollect {
    std::string fDefaultSource, fDefaultSink;
    std::vector<TPulseDevice> fSources, fSinks;
  } collect;
  connection.Wait(pa_context_get_server_info(
      connection.Context(),
      [](pa_context*, const pa_server_info* i, void* u) {
        auto* c = static_cast<TCollect*>(u);
        if (i && i->default_source_name) c->fDefaultSource = i->default_source_name;
        if (i && i->default_sink_name) c->fDefaultSink = i->default_sink_name;
      },
      &collect));
  connection.Wait(pa_context_get_source_info_list(
      connection.Context(),
      [](pa_context*, const pa_source_info* i, int eol, void* u) {
        if (eol || !i) return;
        auto* c = static_cast<TCollect*>(u);
        // a suspended source wakes up when read, so every source is usable
        DWORD flags = BASS_DEVICE_INPUT | BASS_DEVICE_ENABLED;
        if (i->monitor_of_sink != PA_INVALID_INDEX) flags |= BASS_DEVICE_LOOPBACK;
        if (c->fDefaultSource == i->name) flags |= BASS_DEVICE_DEFAULT;
        c->fSources.push_back({KeepText(i->description ? i->description : i->name), KeepText(i->name), flags,
                               i->sample_spec.rate, i->sample_spec.channels});
      },
      &collect));
  connection.Wait(pa_context_get_sink_info_list(
      connection.Context(),
      [](pa_context*, const pa_sink_info* i, int eol, void* u) {
        if (eol || !i) return;
        auto* c = static_cast<TCollect*>(u);
        DWORD flags = BASS_DEVICE_ENABLED;
        if (c->fDefaultSink == i->name) flags |= BASS_DEVICE_DEFAULT;
        c->fSinks.push_back({KeepText(i->description ? i->description : i->name), KeepText(i->name), flags,
                             i->sample_spec.rate, i->sample_spec.channels});
      },
      &collect));
  devices = std::move(collect.fSources);
  devices.insert(devices.end(), collect.fSinks.begin(), collect.fSinks.end());
  return devices;
}

// One initialised input endpoint. When the sound server goes away while
// capturing (a crash, a restart), the capture thread connects again about once
// a second with the same request, so the recording picks up once the server is
// back; meanwhile nothing is delivered and the slot fills the gap.
class TPulseCapture {
public:
  TPulseCapture(WASAPIPROC* iProc, void* iUser) : fProc(iProc), fUser(iUser), fSilence(64 * 1024, 0) {}
  ~TPulseCapture() {
    Stop(true);
    Disconnect();
  }

  // 0 on success, else the engine error.
  int Open(const TPulseDevice& iDevice, DWORD iRate, DWORD iChannels, float iBuffer, float iPeriod) {
    fDeviceId = iDevice.fId;
    fSpec.format = PA_SAMPLE_FLOAT32LE;
    fSpec.rate = iRate ? iRate : iDevice.fRate;
    fSpec.channels = static_cast<uint8_t>(iChannels ? iChannels : iDevice.fChannels);
    if (!pa_sample_spec_valid(&fSpec)) return BASS_ERROR_FORMAT;
    const size_t frame = pa_frame_size(&fSpec);
    fAttr.maxlength = static_cast<uint32_t>(std::max(0.1f, iBuffer) * fSpec.rate) * frame;
    fAttr.fragsize = static_cast<uint32_t>((iPeriod > 0 ? iPeriod : 0.02f) * fSpec.rate) * frame;
    fAttr.tlength = fAttr.prebuf = fAttr.minreq = static_cast<uint32_t>(-1);
    fBufferBytes = fAttr.maxlength;
    auto connection = std::make_unique<TPulseConnection>();
    pa_stream* stream = nullptr;
    const int error = Connect(*connection, stream, true, nullptr);
    if (error) return error;
    if (const pa_sample_spec* actual = pa_stream_get_sample_spec(stream)) fSpec = *actual;
    Adopt(std::move(connection), stream);
    return 0;
  }

  bool Start() {
    if (fThread.joinable()) return true;
    // A stream that died while stopped is connected again by the thread.
    if (Healthy() && !fConnection->Wait(pa_stream_cork(fStream, 0, nullptr, nullptr)) && Healthy()) return false;
    fStop.store(false);
    fThread = std::thread([this] { Run(); });
    return true;
  }

  void Stop(bool iReset) {
    if (!fThread.joinable()) return;
    fStop.store(true, std::memory_order_release);
    {
      std::lock_guard lock(fWakeLock);
      if (fConnection) pa_mainloop_wakeup(fConnection->Loop());
    }
    fWake.notify_all();
    fThread.join();
    if (Healthy()) {
      fConnection->Wait(pa_stream_cork(fStream, 1, nullptr, nullptr));
      if (iReset) fConnection->Wait(pa_stream_flush(fStream, nullptr, nullptr));
    }
  }

  bool Started() const { return fThread.joinable(); }
  const pa_sample_spec& Spec() const { return fSpec; }
  DWORD BufferBytes() const { return fBufferBytes; }

private:
  // The capture thread: runs the stream's loop, and connects again when the
  // server or the stream has failed.
  void Run() {
    while (!fStop.load(std::memory_order_acquire)) {
      if (!Healthy()) {
        Reconnect();
        continue;
      }
      if (pa_mainloop_iterate(fConnection->Loop(), 1, nullptr) < 0) Disconnect();
    }
  }

  void Reconnect() {
    Disconnect();
    while (!fStop.load(std::memory_order_acquire)) {
      auto connection = std::make_unique<TPulseConnection>();
      pa_stream* stream = nullptr;
      if (Connect(*connection, stream, false, &fStop) == 0) {
        Adopt(std::move(connection), stream);
        return;
      }
      FreeStream(stream);
      connection.reset();
      std::unique_lock lock(fWakeLock);
      fWake.wait_for(lock, kRetryInterval, [this] { return fStop.load(std::memory_order_acquire); });
    }
  }

  // A record stream from the endpoint on a fresh connection, in the format
  // asked for at the first open. 0 or the engine error; oStream may be set
  // even on failure.
  int Connect(TPulseConnection& ioConnection, pa_stream*& oStream, bool iCorked, const std::atomic<bool>* iAbort) {
    if (!ioConnection.Connect(iAbort)) return BASS_ERROR_DRIVER;
    oStream = pa_stream_new(ioConnection.Context(), "Vantorel capture", &fSpec, nullptr);
    if (!oStream) return BASS_ERROR_FORMAT;
    pa_stream_set_read_callback(oStream, &TPulseCapture::ReadEntry, this);
    auto flags = PA_STREAM_ADJUST_LATENCY;
    if (iCorked) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_START_CORKED);
    pa_buffer_attr attr = fAttr;
    if (pa_stream_connect_record(oStream, fDeviceId.c_str(), &attr, flags) < 0) return BASS_ERROR_DRIVER;
    if (!ioConnection.RunUntil(
            [oStream] {
              auto s = pa_stream_get_state(oStream);
              return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
            },
            iAbort) ||
        pa_stream_get_state(oStream) != PA_STREAM_READY)
      return BASS_ERROR_DRIVER;
    return 0;
  }

  void Adopt(std::unique_ptr<TPulseConnection> iConnection, pa_stream* iStream) {
    std::lock_guard lock(fWakeLock);  // Stop wakes the loop in use
    fConnection = std::move(iConnection);
    fStream = iStream;
  }

  void Disconnect() {
    std::unique_ptr<TPulseConnection> old;
    pa_stream* stream = nullptr;
    {
      std::lock_guard lock(fWakeLock);
      old = std::move(fConnection);
      stream = std::exchange(fStream, nullptr);
    }
    FreeStream(stream);
  }

  static void FreeStream(pa_stream* iStream) {
    if (!iStream) return;
    pa_stream_set_read_callback(iStream, nullptr, nullptr);
    pa_stream_disconnect(iStream);
    pa_stream_unref(iStream);
  }

  bool Healthy() const {
    return fConnection && fConnection->Ready() && fStream && pa_stream_get_state(fStream) == PA_STREAM_READY;
  }

  // On the capture thread: hand every fragment over as it is; a hole in the
  // stream becomes silence so the recording keeps its length.
  static void ReadEntry(pa_stream* iStream, size_t, void* iUser) {
    auto* self = static_cast<TPulseCapture*>(iUser);
    const void* data;
    size_t bytes;
    while (pa_stream_peek(iStream, &data, &bytes) == 0 && bytes > 0) {
      if (data) {
        self->fProc(const_cast<void*>(data), static_cast<DWORD>(bytes), self->fUser);
      } else {
        for (size_t done = 0; done < bytes;) {
          const size_t n = std::min(bytes - done, self->fSilence.size());
          self->fProc(self->fSilence.data(), static_cast<DWORD>(n), self->fUser);
          done += n;
        }
      }
      pa_stream_drop(iStream);
    }
  }

  static constexpr auto kRetryInterval = std::chrono::seconds(1);

  WASAPIPROC* fProc;
  void* fUser;
  std::vector<char> fSilence;
  std::string fDeviceId;
  pa_buffer_attr fAttr{};
  // Replaced by the capture thread while it runs, else used by the caller;
  // fWakeLock guards the swap against Stop's wake-up.
  std::unique_ptr<TPulseConnection> fConnection;
  pa_stream* fStream = nullptr;
  pa_sample_spec fSpec{};
  DWORD fBufferBytes = 0;
  std::atomic<bool> fStop{false};
  std::mutex fWakeLock;
  std::condition_variable fWake;
  std::thread fThread;
};

struct TPulseState {
  std::mutex fMutex;
  std::vector<TPulseDevice> fDevices;
  bool fEnumerated = false;
  std::map<int, std::unique_ptr<TPulseCapture>> fInit;
};

TPulseState& State() {
  static TPulseState sState;
  return sState;
}

thread_local int tCurrent = -1;

TPulseCapture* Current(TPulseState& iState) {
  auto it = iState.fInit.find(tCurrent);
  if (it == iState.fInit.end()) {
    SetError(BASS_ERROR_INIT);
    return nullptr;
  }
  return it->second.get();
}

// An endpoint keeps its number for the whole run, so that one found by a later
// enumeration never moves one that is in use: endpoints seen before stay where
// they are (those gone now lose BASS_DEVICE_ENABLED), new ones go at the end.
void MergeDevices(std::vector<TPulseDevice>& ioDevices, const std::vector<TPulseDevice>& iFresh) {
  const auto sameKind = [](const TPulseDevice& a, const TPulseDevice& b) {
    return ((a.fFlags ^ b.fFlags) & BASS_DEVICE_INPUT) == 0;
  };
  for (TPulseDevice& d : ioDevices) d.fFlags &= ~static_cast<DWORD>(BASS_DEVICE_ENABLED | BASS_DEVICE_DEFAULT);
  for (const TPulseDevice& f : iFresh) {
    auto known = std::find_if(ioDevices.begin(), ioDevices.end(), [&](const TPulseDevice& d) {
      return sameKind(d, f) && std::string_view(d.fId) == f.fId;
    });
    if (known == ioDevices.end())
      ioDevices.push_back(f);
    else
      *known = f;
  }
}

}  // namespace

BOOL BASS_WASAPI_GetDeviceInfo(DWORD device, BASS_WASAPI_DEVICEINFO* info) {
  auto& state = State();
  // Device 0 starts an enumeration, so a caller walking the list sees the
  // endpoints as they are now.
  std::vector<TPulseDevice> fresh;
  if (device == 0) fresh = Enumerate();
  std::lock_guard lock(state.fMutex);
  if (device == 0) {
    MergeDevices(state.fDevices, fresh);
    state.fEnumerated = true;
  }
  if (device >= state.fDevices.size()) return Fail(BASS_ERROR_DEVICE);
  if (info) {
    const auto& d = state.fDevices[device];
    *info = {};
    info->name = d.fName;
    info->id = d.fId;
    info->type = (d.fFlags & BASS_DEVICE_INPUT) ? BASS_WASAPI_TYPE_LINELEVEL : BASS_WASAPI_TYPE_SPEAKERS;
    info->flags = d.fFlags | (state.fInit.count(static_cast<int>(device)) ? BASS_DEVICE_INIT : 0);
    info->minperiod = 0.002f;
    info->defperiod = 0.02f;
    info->mixfreq = d.fRate;
    info->mixchans = d.fChannels;
  }
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_WASAPI_Init(int device, DWORD freq, DWORD chans, DWORD, float buffer, float period, WASAPIPROC* proc,
                      void* user) {
  auto& state = State();
  bool enumerated;
  {
    std::lock_guard lock(state.fMutex);
    enumerated = state.fEnumerated;
  }
  if (!enumerated) BASS_WASAPI_GetDeviceInfo(0, nullptr);
  std::lock_guard lock(state.fMutex);
  if (device < 0) {
    device = -1;
    for (size_t i = 0; i < state.fDevices.size(); ++i)
      if ((state.fDevices[i].fFlags & (BASS_DEVICE_INPUT | BASS_DEVICE_DEFAULT)) == (BASS_DEVICE_INPUT | BASS_DEVICE_DEFAULT))
        device = static_cast<int>(i);
    if (device < 0) return Fail(BASS_ERROR_DEVICE);
  }
  if (static_cast<size_t>(device) >= state.fDevices.size()) return Fail(BASS_ERROR_DEVICE);
  if (state.fInit.count(device)) return Fail(BASS_ERROR_ALREADY);
  const auto& d = state.fDevices[device];
  if (!(d.fFlags & BASS_DEVICE_INPUT)) return Fail(BASS_ERROR_NOTAVAIL);  // output endpoints are not played to
  if (!proc) return Fail(BASS_ERROR_ILLPARAM);
  auto capture = std::make_unique<TPulseCapture>(proc, user);
  if (int error = capture->Open(d, freq, chans, buffer, period)) return Fail(error);
  state.fInit[device] = std::move(capture);
  tCurrent = device;
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_WASAPI_Free() {
  auto& state = State();
  std::unique_ptr<TPulseCapture> capture;
  {
    std::lock_guard lock(state.fMutex);
    auto it = state.fInit.find(tCurrent);
    if (it == state.fInit.end()) return Fail(BASS_ERROR_INIT);
    capture = std::move(it->second);
    state.fInit.erase(it);
  }
  capture.reset();  // stops its thread first
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_WASAPI_SetDevice(DWORD device) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  if (device >= state.fDevices.size()) return Fail(BASS_ERROR_DEVICE);
  if (!state.fInit.count(static_cast<int>(device))) return Fail(BASS_ERROR_INIT);
  tCurrent = static_cast<int>(device);
  SetError(BASS_OK);
  return TRUE;
}

DWORD BASS_WASAPI_GetDevice() {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  if (!Current(state)) return static_cast<DWORD>(-1);
  return static_cast<DWORD>(tCurrent);
}

BOOL BASS_WASAPI_Start() {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* capture = Current(state);
  if (!capture) return FALSE;
  if (!capture->Start()) return Fail(BASS_ERROR_DRIVER);
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_WASAPI_Stop(BOOL reset) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* capture = Current(state);
  if (!capture) return FALSE;
  capture->Stop(reset != 0);
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_WASAPI_IsStarted() {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* capture = Current(state);
  return capture && capture->Started();
}

BOOL BASS_WASAPI_GetInfo(BASS_WASAPI_INFO* info) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  auto* capture = Current(state);
  if (!capture) return FALSE;
  if (!info) return Fail(BASS_ERROR_ILLPARAM);
  *info = {};
  info->freq = capture->Spec().rate;
  info->chans = capture->Spec().channels;
  info->format = BASS_WASAPI_FORMAT_FLOAT;
  info->buflen = capture->BufferBytes();
  info->volmax = 0;
  info->volmin = 0;
  info->volstep = 0;
  SetError(BASS_OK);
  return TRUE;
}
