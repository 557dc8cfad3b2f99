// Recording devices: ALSA capture PCMs. "default" comes first when it can
// capture, then every card's capture devices as "hw:<card>,<device>".
#include <alsa/asoundlib.h>

#include <atomic>
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
};

// One running capture: the PCM, its thread and the caller's procedure.
class TAlsaRecordChannel final : public TEngineObject {
public:
  TAlsaRecordChannel(snd_pcm_t* iPcm, snd_pcm_uframes_t iPeriod, size_t iFrameBytes, RECORDPROC* iProc,
                     void* iUser)
      : fPcm(iPcm), fPeriod(iPeriod), fFrameBytes(iFrameBytes), fProc(iProc), fUser(iUser),
        fBuffer(iPeriod * iFrameBytes) {}
  ~TAlsaRecordChannel() override { Stop(); }

  void Start(HRECORD iHandle) {
    fHandle = iHandle;
    fThread = std::thread([this] { Run(); });
  }
  void Free() override { Stop(); }

  void Stop() {
    fStop.store(true, std::memory_order_release);
    if (fThread.joinable()) {
      if (fThread.get_id() == std::this_thread::get_id())
        fThread.detach();  // freed from its own callback: the loop ends on its own
      else
        fThread.join();
    }
    if (fPcm) {
      snd_pcm_drop(fPcm);
      snd_pcm_close(fPcm);
      fPcm = nullptr;
    }
  }

private:
  // The capture thread: wait for a period, read it, hand it over. The buffer
  // was allocated before the thread started.
  void Run() {
    snd_pcm_start(fPcm);
    while (!fStop.load(std::memory_order_acquire)) {
      int ready = snd_pcm_wait(fPcm, 100);
      if (ready < 0) {
        if (snd_pcm_recover(fPcm, ready, 1) < 0) break;
        snd_pcm_start(fPcm);
        continue;
      }
      if (ready == 0) continue;
      snd_pcm_sframes_t got = snd_pcm_readi(fPcm, fBuffer.data(), fPeriod);
      if (got == -EAGAIN) continue;
      if (got < 0) {
        // an overrun (-EPIPE) or a suspend: resume and keep recording
        if (snd_pcm_recover(fPcm, static_cast<int>(got), 1) < 0) break;
        snd_pcm_start(fPcm);
        continue;
      }
      if (got == 0) continue;
      if (!fProc(fHandle, fBuffer.data(), static_cast<DWORD>(got * fFrameBytes), fUser)) break;
    }
  }

  snd_pcm_t* fPcm;
  snd_pcm_uframes_t fPeriod;
  size_t fFrameBytes;
  RECORDPROC* fProc;
  void* fUser;
  std::vector<char> fBuffer;
  HRECORD fHandle = 0;
  std::atomic<bool> fStop{false};
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

void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

// Probing PCMs that cannot open is normal here (no card, no sound server):
// ALSA's complaints about them would only fill the log.
class TQuietAlsa {
public:
  TQuietAlsa() { snd_lib_error_set_handler(QuietAlsa); }
  ~TQuietAlsa() { snd_lib_error_set_handler(nullptr); }
};

std::vector<TAlsaDevice> Enumerate() {
  TQuietAlsa quiet;
  std::vector<TAlsaDevice> devices;
  if (CanCapture("default")) devices.push_back({"default", KeepText(DefaultDescription())});
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, ("hw:" + std::to_string(card)).c_str(), 0) < 0) continue;
    snd_ctl_card_info_t* cardInfo;
    snd_ctl_card_info_alloca(&cardInfo);
    std::string cardName = "card " + std::to_string(card);
    if (snd_ctl_card_info(ctl, cardInfo) == 0) cardName = snd_ctl_card_info_get_name(cardInfo);
    int device = -1;
    while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
      snd_pcm_info_t* pcmInfo;
      snd_pcm_info_alloca(&pcmInfo);
      snd_pcm_info_set_device(pcmInfo, device);
      snd_pcm_info_set_subdevice(pcmInfo, 0);
      snd_pcm_info_set_stream(pcmInfo, SND_PCM_STREAM_CAPTURE);
      if (snd_ctl_pcm_info(ctl, pcmInfo) < 0) continue;  // no capture on this device
      std::string pcm = "hw:" + std::to_string(card) + "," + std::to_string(device);
      devices.push_back({pcm, KeepText(cardName + ", " + snd_pcm_info_get_name(pcmInfo))});
    }
    snd_ctl_close(ctl);
  }
  return devices;
}

}  // namespace

BOOL BASS_RecordGetDeviceInfo(DWORD device, BASS_DEVICEINFO* info) {
  auto& state = State();
  // Device 0 starts an enumeration, so a caller walking the list sees the
  // devices as they are now.
  std::vector<TAlsaDevice> fresh;
  if (device == 0) fresh = Enumerate();
  std::lock_guard lock(state.fMutex);
  if (device == 0) state.fDevices = std::move(fresh);
  if (device >= state.fDevices.size()) return Fail(BASS_ERROR_DEVICE);
  if (info) {
    const auto& d = state.fDevices[device];
    info->name = d.fName;
    info->driver = KeepText(d.fPcm);
    info->flags = BASS_DEVICE_ENABLED | BASS_DEVICE_INPUT | (device == 0 && d.fPcm == "default" ? BASS_DEVICE_DEFAULT : 0);
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
  const bool isFloat = (flags & BASS_SAMPLE_FLOAT) != 0;

  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, pcmName.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
    SetError(BASS_ERROR_DRIVER);
    return 0;
  }
  // ~20 ms periods in a 200 ms buffer; ALSA's plug layer converts rate and format.
  if (snd_pcm_set_params(pcm, isFloat ? SND_PCM_FORMAT_FLOAT_LE : SND_PCM_FORMAT_S16_LE,
                         SND_PCM_ACCESS_RW_INTERLEAVED, chans, freq, 1, 200000) < 0) {
    snd_pcm_close(pcm);
    SetError(BASS_ERROR_FORMAT);
    return 0;
  }
  snd_pcm_uframes_t bufferSize = 0, period = 0;
  if (snd_pcm_get_params(pcm, &bufferSize, &period) < 0 || period == 0) period = freq / 50;
  auto channel = std::make_shared<TAlsaRecordChannel>(pcm, period, chans * (isFloat ? 4 : 2), proc, user);
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
