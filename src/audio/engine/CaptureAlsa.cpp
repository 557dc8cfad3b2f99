// Recording devices: ALSA capture PCMs. "default" comes first, whether or not it
// can capture at the moment (its sound server may come up later), then every
// card's capture devices as "plughw:CARD=<id>,DEV=<device>":
// through the plug layer, since most interfaces take neither 16-bit nor two
// channels nor every rate directly, and by the card's id rather than its
// number, which a USB interface plugged in again may not get back.
//
// A PCM that fails for good while recording (a USB interface unplugged, the
// sound server behind it restarted) is closed, and its capture thread opens
// the same PCM with the same format again about once a second until it works
// or the recording is freed. Meanwhile nothing is delivered.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
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

struct TAlsaDevice {
  std::string fPcm;   // ALSA PCM name
  const char* fName;  // as ALSA describes it
  bool fPresent = true;  // found by the latest enumeration (for "default": it can capture)
};

// alsa/error.h declares snd_lib_error_set_local after its extern "C" block
// has closed, so C++ would look for a mangled name; bind the C symbol itself.
extern "C" snd_local_error_handler_t SetLocalAlsaErrorHandler(snd_local_error_handler_t iHandler) __asm__(
    "snd_lib_error_set_local");

void QuietAlsa(const char*, int, const char*, int, const char*, va_list) {}

// Probing PCMs that cannot open is normal here (no card, no sound server, a
// device being looked for again): ALSA's complaints would only fill the log.
// The handler is ALSA's per-thread one, so a quiet scope on one thread never
// silences (or un-silences) another.
class TQuietAlsa {
public:
  TQuietAlsa() : fPrevious(SetLocalAlsaErrorHandler(QuietAlsa)) {}
  ~TQuietAlsa() { SetLocalAlsaErrorHandler(fPrevious); }
  TQuietAlsa(const TQuietAlsa&) = delete;
  TQuietAlsa& operator=(const TQuietAlsa&) = delete;

private:
  snd_local_error_handler_t fPrevious;
};

// What a recording asked for, kept to open its PCM again.
struct TCaptureFormat {
  std::string fPcm;
  DWORD fFreq = 48000;
  DWORD fChans = 2;
  bool fFloat = false;
  size_t FrameBytes() const { return fChans * (fFloat ? 4 : 2); }
};

struct TOpenedPcm {
  snd_pcm_t* fPcm = nullptr;
  snd_pcm_uframes_t fPeriod = 0;
  int fError = BASS_OK;  // BASS_ERROR_DRIVER or BASS_ERROR_FORMAT when fPcm is null
};

// Opens a capture PCM in the recording's format with a 200 ms buffer (ALSA
// makes its periods about a quarter of that); ALSA's plug layer converts rate
// and format.
TOpenedPcm OpenCapture(const TCaptureFormat& iFormat) {
  TOpenedPcm result;
  if (snd_pcm_open(&result.fPcm, iFormat.fPcm.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
    result.fPcm = nullptr;
    result.fError = BASS_ERROR_DRIVER;
    return result;
  }
  if (snd_pcm_set_params(result.fPcm, iFormat.fFloat ? SND_PCM_FORMAT_FLOAT_LE : SND_PCM_FORMAT_S16_LE,
                         SND_PCM_ACCESS_RW_INTERLEAVED, iFormat.fChans, iFormat.fFreq, 1, 200000) < 0) {
    snd_pcm_close(result.fPcm);
    result.fPcm = nullptr;
    result.fError = BASS_ERROR_FORMAT;
    return result;
  }
  snd_pcm_uframes_t bufferSize = 0;
  if (snd_pcm_get_params(result.fPcm, &bufferSize, &result.fPeriod) < 0 || result.fPeriod == 0)
    result.fPeriod = iFormat.fFreq / 50;
  return result;
}

// The state a capture thread works on. The thread holds it too, so that a
// thread which ALSA keeps waiting (a hung sound server answers an open or a
// close only after its own time-out) can be let go by Stop and end later on
// its own without touching anything freed.
class TAlsaCapture {
public:
  TAlsaCapture(const TCaptureFormat& iFormat, TOpenedPcm iPcm, RECORDPROC* iProc, void* iUser)
      : fFormat(iFormat), fPcm(iPcm.fPcm), fFrames(iPcm.fPeriod), fProc(iProc), fUser(iUser),
        fBuffer(iPcm.fPeriod * iFormat.FrameBytes()) {}
  ~TAlsaCapture() { Close(); }
  TAlsaCapture(const TAlsaCapture&) = delete;
  TAlsaCapture& operator=(const TAlsaCapture&) = delete;

  // The capture thread: wait for a period, read it, hand it over; when the
  // PCM is lost, look for it again. The buffer was allocated before the
  // thread started, and a PCM opened again is read into it as it is.
  void Run(HRECORD iHandle) {
    if (fPcm) snd_pcm_start(fPcm);
    int failures = 0;  // in a row, without a period read in between
    while (!Stopping()) {
      if (!fPcm) {
        if (WaitToRetry()) Reopen();
        continue;
      }
      const int ready = snd_pcm_wait(fPcm, 100);
      if (ready == 0) continue;
      snd_pcm_sframes_t got = ready < 0 ? ready : snd_pcm_readi(fPcm, fBuffer.data(), fFrames);
      if (got == -EAGAIN || got == 0) continue;
      if (got < 0) {
        // An overrun (-EPIPE) or a suspend resumes; anything else, or errors
        // that keep coming back, mean the device is gone.
        if (++failures > kMaxFailures || snd_pcm_recover(fPcm, static_cast<int>(got), 1) < 0) {
          Close();
          failures = 0;
        } else {
          snd_pcm_start(fPcm);
        }
        continue;
      }
      failures = 0;
      if (!Deliver(iHandle, static_cast<DWORD>(got * fFormat.FrameBytes()))) break;
    }
    Close();
    std::lock_guard lock(fLock);
    fEnded = true;
    fWake.notify_all();
  }

  // Asks the thread to end and waits until it has, or at most iWait. Either
  // way the caller's procedure is not called again once this returns.
  bool Stop(std::chrono::milliseconds iWait) {
    {
      std::lock_guard lock(fLock);
      fStop.store(true, std::memory_order_seq_cst);
      fWake.notify_all();
    }
    // A period being handed over right now finishes first.
    while (fInProc.load(std::memory_order_seq_cst)) std::this_thread::yield();
    std::unique_lock lock(fLock);
    return fWake.wait_for(lock, iWait, [this] { return fEnded; });
  }
  // For a stop from the capture thread itself (freed from its own procedure).
  void StopFromProc() { fStop.store(true, std::memory_order_seq_cst); }

private:
  static constexpr int kMaxFailures = 8;
  static constexpr std::chrono::seconds kRetryInterval{1};

  bool Stopping() const { return fStop.load(std::memory_order_acquire); }

  // The procedure runs only while no stop has been asked for; Stop waits for
  // a call in progress (both sides sequentially consistent, so one of them
  // always sees the other's flag).
  bool Deliver(HRECORD iHandle, DWORD iBytes) {
    fInProc.store(true, std::memory_order_seq_cst);
    const bool keep = !fStop.load(std::memory_order_seq_cst) && fProc(iHandle, fBuffer.data(), iBytes, fUser);
    fInProc.store(false, std::memory_order_seq_cst);
    return keep;
  }

  // Between two attempts to open the PCM again; false when stopped meanwhile.
  bool WaitToRetry() {
    std::unique_lock lock(fLock);
    return !fWake.wait_for(lock, kRetryInterval, [this] { return Stopping(); });
  }

  void Reopen() {
    TQuietAlsa quiet;
    TOpenedPcm opened = OpenCapture(fFormat);
    if (!opened.fPcm) return;
    fPcm = opened.fPcm;
    // The buffer keeps its size: a longer period is read in parts.
    fFrames = std::min<snd_pcm_uframes_t>(opened.fPeriod, fBuffer.size() / fFormat.FrameBytes());
    snd_pcm_start(fPcm);
  }

  void Close() {
    if (!fPcm) return;
    TQuietAlsa quiet;
    snd_pcm_drop(fPcm);
    snd_pcm_close(fPcm);
    fPcm = nullptr;
  }

  const TCaptureFormat fFormat;
  snd_pcm_t* fPcm;              // capture thread only once it runs
  snd_pcm_uframes_t fFrames;    // read at most this many frames at a time
  RECORDPROC* const fProc;
  void* const fUser;
  std::vector<char> fBuffer;
  std::atomic<bool> fStop{false};
  std::atomic<bool> fInProc{false};
  std::mutex fLock;
  std::condition_variable fWake;  // a stop, or the thread's end
  bool fEnded = false;            // under fLock
};

// One running capture: its thread and the state the thread works on.
class TAlsaRecordChannel final : public TEngineObject {
public:
  explicit TAlsaRecordChannel(std::shared_ptr<TAlsaCapture> iCapture) : fCapture(std::move(iCapture)) {}
  ~TAlsaRecordChannel() override { Stop(); }

  void Start(HRECORD iHandle) {
    fThread = std::thread([capture = fCapture, iHandle] { capture->Run(iHandle); });
  }
  void Free() override { Stop(); }

  void Stop() {
    if (!fThread.joinable()) return;
    if (fThread.get_id() == std::this_thread::get_id()) {
      fCapture->StopFromProc();
      fThread.detach();  // freed from its own callback: the loop ends on its own
    } else if (fCapture->Stop(kStopWait)) {
      fThread.join();
    } else {
      fThread.detach();  // held in ALSA by a hung device: it ends on its own
    }
  }

private:
  static constexpr std::chrono::milliseconds kStopWait{500};

  std::shared_ptr<TAlsaCapture> fCapture;
  std::thread fThread;
};

struct TAlsaInitDevice {
  HRECORD fChannel = 0;
};

struct TAlsaState {
  std::mutex fMutex;
  std::vector<TAlsaDevice> fDevices;
  std::map<int, TAlsaInitDevice> fInit;  // initialised devices
};

TAlsaState& State() {
  static TAlsaState sState;
  return sState;
}

thread_local int tCurrent = -1;

bool CanCapture(const std::string& iPcm) {
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, iPcm.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) return false;
  snd_pcm_close(pcm);
  return true;
}

std::string FirstLine(const char* iText) {
  std::string text = iText ? iText : "";
  auto end = text.find('\n');
  return end == std::string::npos ? text : text.substr(0, end);
}

std::string DefaultDescription() {
  std::string result = "Default";
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0) return result;
  for (void** h = hints; *h; ++h) {
    char* name = snd_device_name_get_hint(*h, "NAME");
    if (name && std::string(name) == "default") {
      char* desc = snd_device_name_get_hint(*h, "DESC");
      if (desc && *desc) result = FirstLine(desc);
      free(desc);
    }
    free(name);
  }
  snd_device_name_free_hint(hints);
  return result;
}

std::vector<TAlsaDevice> Enumerate() {
  TQuietAlsa quiet;
  std::vector<TAlsaDevice> devices;
  // Always number 0: a slot set to a card keeps its number whether or not the
  // sound server behind "default" was up when the list was made.
  devices.push_back({"default", KeepText(DefaultDescription()), CanCapture("default")});
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, ("hw:" + std::to_string(card)).c_str(), 0) < 0) continue;
    snd_ctl_card_info_t* cardInfo;
    snd_ctl_card_info_alloca(&cardInfo);
    std::string cardName = "card " + std::to_string(card);
    std::string cardId = std::to_string(card);
    if (snd_ctl_card_info(ctl, cardInfo) == 0) {
      cardName = snd_ctl_card_info_get_name(cardInfo);
      if (const char* id = snd_ctl_card_info_get_id(cardInfo); id && *id) cardId = id;
    }
    int device = -1;
    while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
      snd_pcm_info_t* pcmInfo;
      snd_pcm_info_alloca(&pcmInfo);
      snd_pcm_info_set_device(pcmInfo, device);
      snd_pcm_info_set_subdevice(pcmInfo, 0);
      snd_pcm_info_set_stream(pcmInfo, SND_PCM_STREAM_CAPTURE);
      if (snd_ctl_pcm_info(ctl, pcmInfo) < 0) continue;  // no capture on this device
      std::string pcm = "plughw:CARD=" + cardId + ",DEV=" + std::to_string(device);
      devices.push_back({pcm, KeepText(cardName + ", " + snd_pcm_info_get_name(pcmInfo))});
    }
    snd_ctl_close(ctl);
  }
  return devices;
}

// A device keeps its number for the whole run, so that an input found by a
// later enumeration never moves one that is in use: devices seen before stay
// where they are (those gone now are marked so), new ones go at the end.
void MergeDevices(std::vector<TAlsaDevice>& ioDevices, const std::vector<TAlsaDevice>& iFresh) {
  for (TAlsaDevice& d : ioDevices) d.fPresent = false;
  for (const TAlsaDevice& f : iFresh) {
    auto known = std::find_if(ioDevices.begin(), ioDevices.end(), [&](const TAlsaDevice& d) { return d.fPcm == f.fPcm; });
    if (known == ioDevices.end()) {
      ioDevices.push_back(f);
    } else {
      known->fName = f.fName;
      known->fPresent = f.fPresent;
    }
  }
}

}  // namespace

BOOL BASS_RecordGetDeviceInfo(DWORD device, BASS_DEVICEINFO* info) {
  auto& state = State();
  // Device 0 starts an enumeration, so a caller walking the list sees the
  // devices as they are now.
  std::vector<TAlsaDevice> fresh;
  if (device == 0) fresh = Enumerate();
  std::lock_guard lock(state.fMutex);
  if (device == 0) MergeDevices(state.fDevices, fresh);
  if (device >= state.fDevices.size()) return Fail(BASS_ERROR_DEVICE);
  if (info) {
    const auto& d = state.fDevices[device];
    info->name = d.fName;
    info->driver = KeepText(d.fPcm);
    info->flags = BASS_DEVICE_INPUT | (d.fPresent ? BASS_DEVICE_ENABLED : 0) |
                  (device == 0 && d.fPcm == "default" ? BASS_DEVICE_DEFAULT : 0);
    if (state.fInit.count(static_cast<int>(device))) info->flags |= BASS_DEVICE_INIT;
  }
  return TRUE;
}

BOOL BASS_RecordInit(int device) {
  auto& state = State();
  bool enumerated;
  {
    std::lock_guard lock(state.fMutex);
    enumerated = !state.fDevices.empty();
  }
  if (!enumerated) BASS_RecordGetDeviceInfo(0, nullptr);  // nobody has looked yet
  std::lock_guard lock(state.fMutex);
  if (device == -1) device = 0;
  if (device < 0 || static_cast<size_t>(device) >= state.fDevices.size()) return Fail(BASS_ERROR_DEVICE);
  if (state.fInit.count(device)) return Fail(BASS_ERROR_ALREADY);
  TQuietAlsa quiet;
  if (!CanCapture(state.fDevices[device].fPcm)) return Fail(BASS_ERROR_DRIVER);
  state.fInit[device] = {};
  tCurrent = device;
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_RecordSetDevice(DWORD device) {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  if (device >= state.fDevices.size()) return Fail(BASS_ERROR_DEVICE);
  if (!state.fInit.count(static_cast<int>(device))) return Fail(BASS_ERROR_INIT);
  tCurrent = static_cast<int>(device);
  SetError(BASS_OK);
  return TRUE;
}

DWORD BASS_RecordGetDevice() {
  auto& state = State();
  std::lock_guard lock(state.fMutex);
  if (tCurrent < 0 || !state.fInit.count(tCurrent)) {
    SetError(BASS_ERROR_INIT);
    return static_cast<DWORD>(-1);
  }
  return static_cast<DWORD>(tCurrent);
}

BOOL BASS_RecordFree() {
  auto& state = State();
  HRECORD channel = 0;
  {
    std::lock_guard lock(state.fMutex);
    auto it = state.fInit.find(tCurrent);
    if (it == state.fInit.end()) return Fail(BASS_ERROR_INIT);
    channel = it->second.fChannel;
    state.fInit.erase(it);
  }
  if (channel) UnregisterObject(channel);  // stops its thread and closes the PCM
  SetError(BASS_OK);
  return TRUE;
}

HRECORD BASS_RecordStart(DWORD freq, DWORD chans, DWORD flags, RECORDPROC* proc, void* user) {
  auto& state = State();
  std::string pcmName;
  {
    std::lock_guard lock(state.fMutex);
    auto it = state.fInit.find(tCurrent);
    if (it == state.fInit.end()) { SetError(BASS_ERROR_INIT); return 0; }
    if (it->second.fChannel && LookupObject(it->second.fChannel)) { SetError(BASS_ERROR_ALREADY); return 0; }
    pcmName = state.fDevices[tCurrent].fPcm;
  }
  if (!proc) { SetError(BASS_ERROR_ILLPARAM); return 0; }
  if (freq == 0) freq = 48000;
  if (chans == 0) chans = 2;
  const TCaptureFormat format{pcmName, freq, chans, (flags & BASS_SAMPLE_FLOAT) != 0};
  TOpenedPcm opened = OpenCapture(format);
  if (!opened.fPcm) {
    SetError(opened.fError);
    return 0;
  }
  auto channel = std::make_shared<TAlsaRecordChannel>(std::make_shared<TAlsaCapture>(format, opened, proc, user));
  HRECORD handle = RegisterObject(channel);
  if (!handle) return 0;
  {
    std::lock_guard lock(state.fMutex);
    auto it = state.fInit.find(tCurrent);
    if (it != state.fInit.end()) it->second.fChannel = handle;
  }
  channel->Start(handle);
  SetError(BASS_OK);
  return handle;
}
