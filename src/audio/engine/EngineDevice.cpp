#include "audio/engine/EngineDevice.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/engine/EngineChannel.h"
#include "audio/engine/EnginePublished.h"

namespace vt::engine {
namespace {

constexpr DWORD kPeriodFrames = 1024;

struct TDeviceName {
  std::string fName, fDriver;
};

using TPlayList = std::vector<std::shared_ptr<TChannel>>;

// An initialised output device and its output thread. Device 0 has no card: its
// thread keeps time with the system clock.
class TOutputDevice {
public:
  TOutputDevice(DWORD iNumber, DWORD iFreq, snd_pcm_t* iPcm, bool iFloat)
      : fNumber(iNumber), fFreq(iFreq), fPcm(iPcm), fFloat(iFloat) {}
  ~TOutputDevice() {
    Stop();
    if (!fPcm) return;
    // Closing a card whose server hangs waits for that server's time-out;
    // nothing else uses the PCM now, so it may close on its own thread.
    if (fStalled.load())
      std::thread([pcm = fPcm] { snd_pcm_close(pcm); }).detach();
    else
      snd_pcm_close(fPcm);
  }
  DWORD Freq() const { return fFreq; }

  void Start() {
    std::lock_guard lock(fLock);
    if (fThread.joinable()) return;
    fRunning.store(true);
    fThread = std::thread([this] { Run(); });
  }
  void Stop() {
    std::thread thread;
    {
      std::lock_guard lock(fLock);
      fRunning.store(false);
      thread = std::move(fThread);
    }
    if (thread.joinable()) thread.join();
  }
  void Play(const std::shared_ptr<TChannel>& iChannel) {
    std::lock_guard lock(fLock);
    auto next = std::make_shared<TPlayList>(*fPlaying.Current());
    if (std::find(next->begin(), next->end(), iChannel) == next->end()) next->push_back(iChannel);
    fPlaying.Publish(std::move(next));
    iChannel->fPlaying.store(true);
  }
  void Remove(TChannel& iChannel) {
    std::lock_guard lock(fLock);
    auto next = std::make_shared<TPlayList>(*fPlaying.Current());
    std::erase_if(*next, [&](const auto& c) { return c.get() == &iChannel; });
    fPlaying.Publish(std::move(next));
    iChannel.fPlaying.store(false);
  }

private:
  void Run() {
    const DWORD chans = 2;
    std::vector<float> mix(size_t(kPeriodFrames) * chans), block(size_t(kBlockFrames) * kMaxChannels);
    std::vector<int16_t> out16(size_t(kPeriodFrames) * chans);
    const auto period = std::chrono::nanoseconds(uint64_t(kPeriodFrames) * 1'000'000'000ull / fFreq);
    // Without a card, or while the card fails, the system clock keeps time.
    bool cardClock = fPcm != nullptr;
    auto next = std::chrono::steady_clock::now();
    auto retryAt = next;
    while (fRunning.load()) {
      std::fill(mix.begin(), mix.end(), 0.0f);
      {
        auto playing = fPlaying.Read();
        for (const auto& channel : *playing) {
          // A channel at another rate is still pulled at its own pace (it keeps
          // its clock), but only channels at the device's rate are heard.
          const DWORD frames = DWORD(uint64_t(kPeriodFrames) * channel->Freq() / fFreq);
          const DWORD got = channel->PullBlock(block.data(), frames);
          if (channel->Freq() != fFreq) continue;
          const float volume = channel->fVolume.load(std::memory_order_relaxed);
          if (volume == 0.0f) continue;
          const DWORD cc = channel->Chans();
          for (DWORD f = 0; f < got; ++f)
            for (DWORD c = 0; c < chans; ++c) mix[f * chans + c] += volume * block[f * cc + (cc == 1 ? 0 : std::min(c, cc - 1))];
        }
      }
      if (cardClock) {
        const void* data = mix.data();
        if (!fFloat) {
          FromFloat(TSampleFormat::sfInt16, mix.data(), out16.data(), out16.size());
          data = out16.data();
        }
        const TWriteResult result = WritePeriod(data);
        if (result == wrWritten) {
          next = std::chrono::steady_clock::now();
          continue;
        }
        // Failed or stalled: keep the slots recording at real time, and look
        // for the card again now and then (quietly: no log line per period).
        cardClock = false;
        if (result == wrStalled) fStalled.store(true);
        retryAt = std::chrono::steady_clock::now() + kRetryInterval;
      }
      next += period;
      std::this_thread::sleep_until(next);
      if (fPcm && std::chrono::steady_clock::now() >= retryAt) {
        cardClock = CardBack();
        retryAt = std::chrono::steady_clock::now() + kRetryInterval;
      }
    }
  }

  // Whether a failed or stalled card takes samples again. Only calls that do
  // not wait on the card: a hung sound server answers a prepare only after
  // its own time-out of many seconds, so a stalled card is never prepared.
  bool CardBack() {
    switch (snd_pcm_state(fPcm)) {
      case SND_PCM_STATE_RUNNING:
      case SND_PCM_STATE_PREPARED:
        return snd_pcm_avail_update(fPcm) > 0;
      default:
        return !fStalled.load() && snd_pcm_prepare(fPcm) == 0;
    }
  }

  enum TWriteResult { wrWritten, wrFailed, wrStalled };
  // One period to the card, waiting for room at most kStallTimeout at a time
  // (the PCM is non-blocking, so a stalled card cannot hold the thread and a
  // stop is never kept waiting).
  TWriteResult WritePeriod(const void* iData) {
    const size_t frameBytes = 2 * (fFloat ? sizeof(float) : sizeof(int16_t));
    const auto* bytes = static_cast<const uint8_t*>(iData);
    snd_pcm_uframes_t done = 0;
    int errors = 0;
    while (done < kPeriodFrames && fRunning.load()) {
      const snd_pcm_sframes_t n = snd_pcm_writei(fPcm, bytes + done * frameBytes, kPeriodFrames - done);
      if (n >= 0) {
        done += snd_pcm_uframes_t(n);
      } else if (n == -EAGAIN) {
        // Room, or an underrun that the next write reports; nothing in time
        // means the card stalled.
        if (snd_pcm_wait(fPcm, int(kStallTimeout.count())) == 0) return wrStalled;
      } else if (++errors > 4 || snd_pcm_recover(fPcm, int(n), 1) < 0) {
        return wrFailed;
      }
    }
    fStalled.store(false);
    return wrWritten;
  }

  static constexpr std::chrono::milliseconds kStallTimeout{250};
  static constexpr std::chrono::seconds kRetryInterval{1};

  const DWORD fNumber, fFreq;
  snd_pcm_t* fPcm;
  const bool fFloat;
  std::mutex fLock;
  std::atomic<bool> fRunning{false};
  std::atomic<bool> fStalled{false};  // the card stopped taking samples
  std::thread fThread;
  TPublished<TPlayList> fPlaying;
};

struct TDevices {
  std::mutex fLock;
  std::deque<TDeviceName> fNames;  // only grows, so the texts stay valid
  std::vector<std::unique_ptr<TOutputDevice>> fOpen;  // index = device number
};
TDevices& Devices() {
  static auto* sDevices = new TDevices();
  return *sDevices;
}

thread_local DWORD tCurrentDevice = 0;

// Under the lock: device 0, "default", then every ALSA playback PCM.
void Enumerate(TDevices& ioDevices) {
  if (!ioDevices.fNames.empty()) return;
  ioDevices.fNames.push_back({"No sound", ""});
  ioDevices.fNames.push_back({"Default", "default"});
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) == 0) {
    for (void** h = hints; *h; ++h) {
      char* name = snd_device_name_get_hint(*h, "NAME");
      char* desc = snd_device_name_get_hint(*h, "DESC");
      char* ioid = snd_device_name_get_hint(*h, "IOID");
      if (name && std::string(name) != "default" && (!ioid || std::string(ioid) == "Output")) {
        std::string text = desc ? desc : name;
        text = text.substr(0, text.find('\n'));
        ioDevices.fNames.push_back({text, name});
      }
      free(name);
      free(desc);
      free(ioid);
    }
    snd_device_name_free_hint(hints);
  }
  ioDevices.fOpen.resize(ioDevices.fNames.size());
}

TOutputDevice* Open(DWORD iDevice) {
  auto& devices = Devices();
  return iDevice < devices.fOpen.size() ? devices.fOpen[iDevice].get() : nullptr;
}

}  // namespace

DWORD CurrentDevice() { return tCurrentDevice; }

bool DeviceInitialized(DWORD iDevice) {
  std::lock_guard lock(Devices().fLock);
  return Open(iDevice) != nullptr;
}

bool StartPlaying(const std::shared_ptr<TChannel>& iChannel) {
  std::lock_guard lock(Devices().fLock);
  TOutputDevice* device = Open(iChannel->Device());
  if (!device) return Fail(BASS_ERROR_INIT);
  device->Play(iChannel);
  device->Start();
  return true;
}

void StopPlaying(TChannel& iChannel) {
  if (iChannel.IsDecode()) return;
  std::lock_guard lock(Devices().fLock);
  if (TOutputDevice* device = Open(iChannel.Device())) device->Remove(iChannel);
}

bool IsPlaying(const TChannel& iChannel) { return iChannel.fPlaying.load(); }

}  // namespace vt::engine

using namespace vt::engine;

BOOL BASS_GetDeviceInfo(DWORD device, BASS_DEVICEINFO* info) {
  auto& devices = Devices();
  std::lock_guard lock(devices.fLock);
  Enumerate(devices);
  if (device >= devices.fNames.size()) return Fail(BASS_ERROR_DEVICE);
  if (!info) return Fail(BASS_ERROR_ILLPARAM);
  info->name = devices.fNames[device].fName.c_str();
  info->driver = devices.fNames[device].fDriver.c_str();
  info->flags = BASS_DEVICE_ENABLED | (device == 1 ? BASS_DEVICE_DEFAULT : 0) | (Open(device) ? BASS_DEVICE_INIT : 0);
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_Init(int device, DWORD freq, DWORD flags, HWND, const void*) {
  auto& devices = Devices();
  std::lock_guard lock(devices.fLock);
  Enumerate(devices);
  if (device == -1) device = 1;
  if (device < 0 || DWORD(device) >= devices.fNames.size()) return Fail(BASS_ERROR_DEVICE);
  if (freq == 0) freq = 44100;
  // The device becomes the thread's current one even when it is open already,
  // so a second slot clocked by the same card puts its mixer on it.
  tCurrentDevice = DWORD(device);
  if (devices.fOpen[device]) return Fail(BASS_ERROR_ALREADY);
  snd_pcm_t* pcm = nullptr;
  bool isFloat = true;
  if (device > 0) {
    const unsigned chans = (flags & BASS_DEVICE_MONO) ? 1 : 2;
    (void)chans;
    if (snd_pcm_open(&pcm, devices.fNames[device].fDriver.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0)
      return Fail(BASS_ERROR_DEVICE);
    if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, freq, 1, 100000) < 0) {
      isFloat = false;
      if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, freq, 1, 100000) < 0) {
        snd_pcm_close(pcm);
        return Fail(BASS_ERROR_FORMAT);
      }
    }
  }
  devices.fOpen[device] = std::make_unique<TOutputDevice>(DWORD(device), freq, pcm, isFloat);
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_SetDevice(DWORD device) {
  auto& devices = Devices();
  std::lock_guard lock(devices.fLock);
  if (!Open(device)) return Fail(device < devices.fNames.size() || device == 0 ? BASS_ERROR_INIT : BASS_ERROR_DEVICE);
  tCurrentDevice = device;
  SetError(BASS_OK);
  return TRUE;
}

DWORD BASS_GetDevice() {
  if (!DeviceInitialized(tCurrentDevice)) return Fail(BASS_ERROR_INIT), DWORD(-1);
  SetError(BASS_OK);
  return tCurrentDevice;
}

BOOL BASS_GetInfo(BASS_INFO* info) {
  std::lock_guard lock(Devices().fLock);
  TOutputDevice* device = Open(tCurrentDevice);
  if (!device) return Fail(BASS_ERROR_INIT);
  if (!info) return Fail(BASS_ERROR_ILLPARAM);
  *info = BASS_INFO{};
  info->freq = device->Freq();
  info->minrate = 8000;
  info->maxrate = 192000;
  info->latency = 100;
  info->speakers = 2;
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_Start() {
  std::lock_guard lock(Devices().fLock);
  TOutputDevice* device = Open(tCurrentDevice);
  if (!device) return Fail(BASS_ERROR_INIT);
  device->Start();
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_Stop() {
  std::lock_guard lock(Devices().fLock);
  TOutputDevice* device = Open(tCurrentDevice);
  if (!device) return Fail(BASS_ERROR_INIT);
  device->Stop();
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_Free() {
  std::unique_ptr<TOutputDevice> closing;
  {
    std::lock_guard lock(Devices().fLock);
    if (!Open(tCurrentDevice)) return Fail(BASS_ERROR_INIT);
    closing = std::move(Devices().fOpen[tCurrentDevice]);
  }
  closing.reset();
  SetError(BASS_OK);
  return TRUE;
}
