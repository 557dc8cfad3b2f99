// WASAPI endpoints: PulseAudio sources (input endpoints) and sinks (output
// endpoints, listed only). An initialised source has a record stream of its
// own with its own main loop, run by the endpoint's capture thread while
// capture is started and by the controller's thread otherwise.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
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
  bool Connect() {
    if (!fContext || pa_context_connect(fContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    return RunUntil([this] {
      auto s = pa_context_get_state(fContext);
      return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    }) && pa_context_get_state(fContext) == PA_CONTEXT_READY;
  }

  // Runs the loop until the condition holds or the time is up.
  template <class F>
  bool RunUntil(F iDone) {
    const auto deadline = TClock::now() + kConnectTimeout;
    while (!iDone()) {
      if (TClock::now() >= deadline) return false;
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

// One initialised input endpoint.
class TPulseCapture {
public:
  TPulseCapture(WASAPIPROC* iProc, void* iUser) : fProc(iProc), fUser(iUser), fSilence(64 * 1024, 0) {}
  ~TPulseCapture() {
    Stop(true);
    if (fStream) {
      pa_stream_disconnect(fStream);
      pa_stream_unref(fStream);
    }
  }

  // 0 on success, else the engine error.
  int Open(const TPulseDevice& iDevice, DWORD iRate, DWORD iChannels, float iBuffer, float iPeriod) {
    if (!fConnection.Connect()) return BASS_ERROR_DRIVER;
    fSpec.format = PA_SAMPLE_FLOAT32LE;
    fSpec.rate = iRate ? iRate : iDevice.fRate;
    fSpec.channels = static_cast<uint8_t>(iChannels ? iChannels : iDevice.fChannels);
    if (!pa_sample_spec_valid(&fSpec)) return BASS_ERROR_FORMAT;
    fStream = pa_stream_new(fConnection.Context(), "Vantorel capture", &fSpec, nullptr);
    if (!fStream) return BASS_ERROR_FORMAT;
    pa_buffer_attr attr{};
    const size_t frame = pa_frame_size(&fSpec);
    attr.maxlength = static_cast<uint32_t>(std::max(0.1f, iBuffer) * fSpec.rate) * frame;
    attr.fragsize = static_cast<uint32_t>((iPeriod > 0 ? iPeriod : 0.02f) * fSpec.rate) * frame;
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    fBufferBytes = attr.maxlength;
    pa_stream_set_read_callback(fStream, &TPulseCapture::ReadEntry, this);
    if (pa_stream_connect_record(fStream, iDevice.fId, &attr,
                                 static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED)) < 0)
      return BASS_ERROR_DRIVER;
    if (!fConnection.RunUntil([this] {
          auto s = pa_stream_get_state(fStream);
          return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
        }) ||
        pa_stream_get_state(fStream) != PA_STREAM_READY)
      return BASS_ERROR_DRIVER;
    if (const pa_sample_spec* actual = pa_stream_get_sample_spec(fStream)) fSpec = *actual;
    return 0;
  }

  bool Start() {
    if (fThread.joinable()) return true;
    if (!fConnection.Wait(pa_stream_cork(fStream, 0, nullptr, nullptr))) return false;
    fStop.store(false);
    fThread = std::thread([this] {
      while (!fStop.load(std::memory_order_acquire))
        if (pa_mainloop_iterate(fConnection.Loop(), 1, nullptr) < 0) break;
    });
    return true;
  }

  void Stop(bool iReset) {
    if (!fThread.joinable()) return;
    fStop.store(true, std::memory_order_release);
    pa_mainloop_wakeup(fConnection.Loop());
    fThread.join();
    if (fStream && PA_STREAM_IS_GOOD(pa_stream_get_state(fStream))) {
      fConnection.Wait(pa_stream_cork(fStream, 1, nullptr, nullptr));
      if (iReset) fConnection.Wait(pa_stream_flush(fStream, nullptr, nullptr));
    }
  }

  bool Started() const { return fThread.joinable(); }
  const pa_sample_spec& Spec() const { return fSpec; }
  DWORD BufferBytes() const { return fBufferBytes; }

private:
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

  WASAPIPROC* fProc;
  void* fUser;
  std::vector<char> fSilence;
  TPulseConnection fConnection;
  pa_stream* fStream = nullptr;
  pa_sample_spec fSpec{};
  DWORD fBufferBytes = 0;
  std::atomic<bool> fStop{false};
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

}  // namespace

BOOL BASS_WASAPI_GetDeviceInfo(DWORD device, BASS_WASAPI_DEVICEINFO* info) {
  auto& state = State();
  // Device 0 starts an enumeration, so a caller walking the list sees the
  // endpoints as they are now.
  std::vector<TPulseDevice> fresh;
  if (device == 0) fresh = Enumerate();
  std::lock_guard lock(state.fMutex);
  if (device == 0) {
    state.fDevices = std::move(fresh);
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
