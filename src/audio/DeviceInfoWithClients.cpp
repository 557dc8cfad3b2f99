#include <algorithm>
#include <chrono>
#include <thread>

#include "audio/AudioDevices.h"
#include "audio/engine/EngineObject.h"

TDeviceInfoWithClients::~TDeviceInfoWithClients() = default;

DWORD TDeviceInfoWithClients::AddClient(int iSampleRate, bool i16bit, bool iASIOWorkaround) {
  std::lock_guard lock(DeviceControlLock());
  bool use16Bit = i16bit;
  const bool starting = fClients.empty();
  if (starting) {
    StartDevice(iSampleRate, use16Bit, iASIOWorkaround);  // an error leaves the list empty
    fRunning16Bit = use16Bit;
  }
  const DWORD flags = BASS_STREAM_DECODE | (fRunning16Bit ? 0 : BASS_SAMPLE_FLOAT);
  const int rate = GetSampleRate();
  HSTREAM client = rate > 0 ? BASS_StreamCreate(static_cast<DWORD>(rate), static_cast<DWORD>(fChannelCount),
                                                flags, STREAMPROC_PUSH, nullptr)
                            : 0;
  if (!client) {
    const int error = rate > 0 ? BASS_ErrorGetCode() : BASS_ERROR_FREQ;
    // Nobody would ever remove this client, so an input started for it alone
    // would keep running for nobody.
    if (starting) StopDevice();
    vt::engine::SetError(error);
    return 0;
  }
  fClients.push_back(client);
  PublishClients();
  return client;
}

void TDeviceInfoWithClients::RemoveClient(DWORD iClient) {
  std::lock_guard lock(DeviceControlLock());
  auto it = std::find(fClients.begin(), fClients.end(), iClient);
  if (it == fClients.end()) return;
  fClients.erase(it);
  PublishClients();
  if (fClients.empty()) StopDevice();
}

// Swaps in a new immutable list and frees the old one once no capture thread
// is inside HandleInput: a reader that got in before the swap may still be
// putting into the removed stream, and the caller frees that stream next.
void TDeviceInfoWithClients::PublishClients() {
  auto next = fClients.empty() ? nullptr : std::make_unique<const TClientList>(TClientList{fClients});
  fLive.store(next.get(), std::memory_order_seq_cst);
  bool quiet = false;
  for (int i = 0; i < 40000 && !(quiet = fReaders.load(std::memory_order_seq_cst) == 0); ++i)
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  if (!quiet && fLiveOwned) fDeadWood.push_back(std::move(fLiveOwned));  // a stuck reader: never free under it
  fLiveOwned = std::move(next);
}

void TDeviceInfoWithClients::HandleInput(const void* iBuffer, DWORD iLength) noexcept {
  fReaders.fetch_add(1, std::memory_order_seq_cst);
  if (const TClientList* list = fLive.load(std::memory_order_seq_cst))
    for (DWORD client : list->fHandles) BASS_StreamPutData(client, iBuffer, iLength);
  fReaders.fetch_sub(1, std::memory_order_seq_cst);
}
