#include "audio/AudioDevices.h"

#include <fmt/format.h>

#include <stdexcept>
#include <strings.h>

#include "shell/IniFile.h"

TDeviceInfo* TDeviceList::Find(std::string_view iId) const {
  for (const auto& [id, device] : fItems)
    if (id.size() == iId.size() && strncasecmp(id.data(), iId.data(), id.size()) == 0) return device;
  return nullptr;
}

TAudioDevices::TAudioDevices(const TIniFile* iIni) : fDeviceList(std::make_unique<TDeviceList>()) {
  EnumerateWDMDevices();
  EnumerateASIODevices(iIni);
  EnumerateWASAPIDevices();
}

TAudioDevices::~TAudioDevices() {
  fDeviceList.reset();
  fWDMDevices.clear();
  fASIODevices.clear();
  fWASAPIDevices.clear();
}

void TAudioDevices::EnumerateWDMDevices() {
  BASS_DEVICEINFO info;
  for (DWORD n = 0; BASS_RecordGetDeviceInfo(n, &info); ++n) {
    auto device = std::make_unique<TWDMDeviceInfo>(static_cast<int>(n), fmt::format("WDM: {}", info.name));
    fDeviceList->Add(fmt::format("WDM:{}", n), device.get());
    fWDMDevices.push_back(std::move(device));
  }
}

void TAudioDevices::EnumerateASIODevices(const TIniFile* iIni) {
  BASS_ASIO_DEVICEINFO device;
  for (DWORD n = 0; BASS_ASIO_GetDeviceInfo(n, &device); ++n) {
    // A driver that does not initialise is left out without a message.
    if (!BASS_ASIO_Init(static_cast<int>(n), 0)) continue;
    BASS_ASIO_INFO info;
    if (BASS_ASIO_GetInfo(&info))
      fASIODevices.push_back(std::make_unique<TASIODeviceInfo>(static_cast<int>(n), device, info, iIni, *fDeviceList));
    BASS_ASIO_Free();
  }
}

void TAudioDevices::EnumerateWASAPIDevices() {
  BASS_WASAPI_DEVICEINFO info;
  for (DWORD n = 0; BASS_WASAPI_GetDeviceInfo(n, &info); ++n) {
    const DWORD wanted = BASS_DEVICE_INPUT | BASS_DEVICE_ENABLED;
    if ((info.flags & wanted) != wanted) continue;
    auto device = std::make_unique<TWASAPIDeviceInfo>(static_cast<int>(n), fmt::format("WASAPI: {}", info.name));
    fDeviceList->Add(fmt::format("WASAPI:{}", info.id), device.get());
    fWASAPIDevices.push_back(std::move(device));
  }
}

std::vector<std::vector<int>> TAudioDevices::ChannelBundles() const {
  std::vector<std::vector<int>> result;
  for (const auto& driver : fASIODevices) {
    std::vector<int> bundles;
    for (int c = 0; c < driver->ChannelCount(); ++c) bundles.push_back(driver->GetChannelBundle(c));
    result.push_back(std::move(bundles));
  }
  return result;
}

void TAudioDevices::WriteASIOSettings(TIniFile& iIni, const std::vector<std::vector<int>>& iChannelBundles) const {
  for (size_t i = 0; i < fASIODevices.size(); ++i)
    fASIODevices[i]->WriteSettings(iIni, i < iChannelBundles.size() ? iChannelBundles[i] : std::vector<int>{});
}

std::mutex& DeviceControlLock() {
  static std::mutex sLock;
  return sLock;
}

namespace {
std::unique_ptr<TAudioDevices>& Catalogue() {
  static std::unique_ptr<TAudioDevices> sCatalogue;
  return sCatalogue;
}
}  // namespace

void InitAudioDevices(const TIniFile* iIni) {
  if (!Catalogue()) Catalogue() = std::make_unique<TAudioDevices>(iIni);
}

void FreeAudioDevices() { Catalogue().reset(); }

TAudioDevices& AudioDevices() {
  if (!Catalogue()) throw std::logic_error("The device catalogue has not been built");
  return *Catalogue();
}
