#include "audio/AudioDevices.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <strings.h>

#include "shell/IniFile.h"

TDeviceInfo* TDeviceList::Find(std::string_view iId) const {
  for (const auto& [id, device] : fItems)
    if (id.size() == iId.size() && strncasecmp(id.data(), iId.data(), id.size()) == 0) return device;
  return nullptr;
}

TAudioDevices::TAudioDevices(const TIniFile* iIni) : fDeviceList(std::make_unique<TDeviceList>()) {
  for (const TListedInput& input : ListWDMInputs()) AddInput(input);
  EnumerateASIODevices(iIni);
  for (const TListedInput& input : ListWASAPIInputs()) AddInput(input);
}

TAudioDevices::~TAudioDevices() {
  fDeviceList.reset();
  fWDMDevices.clear();
  fASIODevices.clear();
  fWASAPIDevices.clear();
}

std::vector<TListedInput> ListWDMInputs() {
  std::vector<TListedInput> inputs;
  BASS_DEVICEINFO info;
  // Every device that the engine reports, whatever its flags: the numbers are
  // the ids, and the engine keeps them for the whole run.
  for (DWORD n = 0; BASS_RecordGetDeviceInfo(n, &info); ++n)
    inputs.push_back({TListedInput::ikWDM, static_cast<int>(n), fmt::format("WDM:{}", n),
                      fmt::format("WDM: {}", info.name ? info.name : ""), (info.flags & BASS_DEVICE_ENABLED) != 0});
  return inputs;
}

std::vector<TListedInput> ListWASAPIInputs() {
  std::vector<TListedInput> inputs;
  BASS_WASAPI_DEVICEINFO info;
  for (DWORD n = 0; BASS_WASAPI_GetDeviceInfo(n, &info); ++n) {
    const DWORD wanted = BASS_DEVICE_INPUT | BASS_DEVICE_ENABLED;
    if ((info.flags & wanted) != wanted) continue;
    inputs.push_back({TListedInput::ikWASAPI, static_cast<int>(n), fmt::format("WASAPI:{}", info.id ? info.id : ""),
                      fmt::format("WASAPI: {}", info.name ? info.name : ""), true});
  }
  return inputs;
}

std::vector<TListedInput> ListInputs() {
  std::vector<TListedInput> inputs = ListWDMInputs();
  std::vector<TListedInput> endpoints = ListWASAPIInputs();
  inputs.insert(inputs.end(), endpoints.begin(), endpoints.end());
  return inputs;
}

bool ASIODriverReachable() {
  BASS_ASIO_DEVICEINFO device;
  return BASS_ASIO_GetDeviceInfo(0, &device);
}

void TAudioDevices::AddInput(const TListedInput& iInput) {
  if (iInput.fKind == TListedInput::ikWDM) {
    auto device = std::make_unique<TWDMDeviceInfo>(iInput.fIndex, iInput.fName);
    fDeviceList->Add(iInput.fId, device.get());
    fWDMDevices.push_back(std::move(device));
  } else {
    auto device = std::make_unique<TWASAPIDeviceInfo>(iInput.fIndex, iInput.fName);
    fDeviceList->Add(iInput.fId, device.get());
    fWASAPIDevices.push_back(std::move(device));
  }
}

std::vector<std::string> TAudioDevices::AddNewInputs(const std::vector<TListedInput>& iListing) {
  std::vector<std::string> added;
  for (const TListedInput& input : iListing) {
    if (fDeviceList->Find(input.fId)) continue;
    AddInput(input);
    added.push_back(input.fId);
  }
  return added;
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


std::vector<std::string> TAudioDevices::AddASIODrivers(const TIniFile* iIni) {
  std::vector<std::string> added;
  if (!fASIODevices.empty()) return added;
  const size_t before = fDeviceList->Count();
  EnumerateASIODevices(iIni);
  for (size_t i = before; i < fDeviceList->Count(); ++i) added.push_back(fDeviceList->Id(i));
  return added;
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

bool AudioDevicesBuilt() { return Catalogue() != nullptr; }
