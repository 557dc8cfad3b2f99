#include "audio/AudioDevices.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <strings.h>

#include "audio/ConfiguredInputs.h"
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
constexpr std::chrono::seconds kInputPollInterval{1};

std::unique_ptr<TAudioDevices>& Catalogue() {
  static std::unique_ptr<TAudioDevices> sCatalogue;
  return sCatalogue;
}
}  // namespace

void InitAudioDevices(const TIniFile* iIni, const TInputWait& iWait) {
  if (Catalogue()) return;
  auto catalogue = std::make_unique<TAudioDevices>(iIni);
  const std::vector<std::string> wanted = iIni ? ConfiguredInputs(*iIni) : std::vector<std::string>{};
  std::vector<std::string> missing = MissingInputs(wanted, catalogue->DeviceList());
  if (!missing.empty() && iWait.fLimit.count() > 0) {
    const std::vector<std::string> awaited = missing;
    if (iWait.fLog)
      iWait.fLog(fmt::format("Waiting up to {} s for inputs: {}",
                             std::chrono::duration_cast<std::chrono::seconds>(iWait.fLimit).count(),
                             fmt::join(awaited, ", ")));
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const auto cancelled = [&] { return iWait.fCancelled && iWait.fCancelled(); };
    const auto deadline = start + iWait.fLimit;
    auto next = start;
    while (!missing.empty() && !cancelled() && clock::now() < deadline) {
      next = std::min(next + kInputPollInterval, deadline);
      while (clock::now() < next && !cancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (cancelled()) break;
      // Nothing uses the catalogue yet: a new look replaces it as a whole.
      catalogue.reset();
      catalogue = std::make_unique<TAudioDevices>(iIni);
      missing = MissingInputs(wanted, catalogue->DeviceList());
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(clock::now() - start).count();
    if (iWait.fLog)
      iWait.fLog(missing.empty() ? fmt::format("Inputs found after waiting {} s: {}", seconds, fmt::join(awaited, ", "))
                                 : fmt::format("Inputs not found after waiting {} s: {}", seconds, fmt::join(missing, ", ")));
  }
  Catalogue() = std::move(catalogue);
}

void FreeAudioDevices() { Catalogue().reset(); }

TAudioDevices& AudioDevices() {
  if (!Catalogue()) throw std::logic_error("The device catalogue has not been built");
  return *Catalogue();
}
