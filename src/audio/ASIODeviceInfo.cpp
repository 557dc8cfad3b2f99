#include <fmt/format.h>

#include <cstring>
#include <stdexcept>

#include "audio/AudioDevices.h"
#include "audio/basserrors.h"
#include "shell/IniFile.h"

namespace {

DWORD ASIOInputProc(BOOL, DWORD, void* iBuffer, DWORD iLength, void* iUser) {
  static_cast<TASIOSubDeviceInfo*>(iUser)->HandleInput(iBuffer, iLength);
  return iLength;
}

DWORD ASIOSilenceProc(BOOL, DWORD, void* iBuffer, DWORD iLength, void*) {
  std::memset(iBuffer, 0, iLength);
  return iLength;
}

std::string Section(int iDriver) { return fmt::format("ASIODevice{}", iDriver); }
std::string BundleKey(int iChannel) { return fmt::format("ChannelBundle{}", iChannel); }

[[noreturn]] void ThrowInitError() {
  throw std::runtime_error(fmt::format("ASIOInit: {}", BassErrorText(BASS_ErrorGetCode())));
}

}  // namespace

// ---------------------------------------------------------------- bundle

TASIOSubDeviceInfo::TASIOSubDeviceInfo(TASIODeviceInfo* iParent, int iIndex, int iChannelCount, std::string iName)
    : TDeviceInfoWithClients(iIndex, std::move(iName)), fParent(iParent) {
  fChannelCount = iChannelCount;
}

TASIOSubDeviceInfo::~TASIOSubDeviceInfo() {
  if (Running()) StopDevice();
}

void TASIOSubDeviceInfo::RunControlPanel() { fParent->RunControlPanel(); }

void TASIOSubDeviceInfo::StartDevice(int iSampleRate, bool& i16bit, bool iASIOWorkaround) {
  fParent->AddChannel(*this, iSampleRate, i16bit, iASIOWorkaround);
}

void TASIOSubDeviceInfo::StopDevice() { fParent->RemoveChannel(*this); }

int TASIOSubDeviceInfo::GetSampleRate() {
  BASS_ASIO_SetDevice(static_cast<DWORD>(fParent->Index()));
  return static_cast<int>(BASS_ASIO_GetRate());  // fractions dropped
}

// ---------------------------------------------------------------- driver

TASIODeviceInfo::TASIODeviceInfo(int iIndex, const BASS_ASIO_DEVICEINFO& iDevice, const BASS_ASIO_INFO& iInfo,
                                 const TIniFile* iIni, TDeviceList& iList)
    : TDeviceInfo(iIndex, iDevice.name ? iDevice.name : "") {
  const std::string section = Section(iIndex);
  auto readInt = [&](const std::string& iKey, int iDefault) {
    return iIni ? iIni->ReadInteger(section, iKey, iDefault) : iDefault;
  };
  fSampleRate = readInt("Samplerate", 0);
  fBufferSize = readInt("BufferSize", 0);
  fThreadCount = readInt("ThreadCount", 1);
  fChannelCount = static_cast<int>(iInfo.inputs);
  fChannelBundles.assign(fChannelCount, 0);
  fChannelNames.reserve(fChannelCount);

  for (int c = 0; c < fChannelCount;) {
    const int size = std::max(1, readInt(BundleKey(c), 2));
    fChannelBundles[c] = size;
    // A bundle reaching past the last channel keeps its size in its id (so a
    // stored id stays what it was), but carries only the channels that exist:
    // its clients' streams then match what the driver really delivers.
    const int existing = std::min(size, fChannelCount - c);
    std::string names;
    for (int k = 0; k < existing; ++k) {
      BASS_ASIO_CHANNELINFO channel{};
      std::string name;
      if (BASS_ASIO_ChannelGetInfo(TRUE, static_cast<DWORD>(c + k), &channel))
        name.assign(channel.name, strnlen(channel.name, sizeof channel.name));
      fChannelNames.push_back(name);
      if (k) names += ", ";
      names += name;
    }
    auto bundle = std::make_unique<TASIOSubDeviceInfo>(this, c, existing, fmt::format("ASIO: {} - {}", fName, names));
    iList.Add(fmt::format("ASIO:{}:{}:{}", iIndex, c, size), bundle.get());
    fSubDevices.push_back(std::move(bundle));
    c += size;
  }
}

// The bundles go first, while the driver they stop is still whole.
TASIODeviceInfo::~TASIODeviceInfo() { fSubDevices.clear(); }

int TASIODeviceInfo::GetChannelBundle(int iChannel) const {
  return iChannel >= 0 && iChannel < static_cast<int>(fChannelBundles.size()) ? fChannelBundles[iChannel] : 0;
}

std::string TASIODeviceInfo::GetChannelName(int iChannel) const {
  return iChannel >= 0 && iChannel < static_cast<int>(fChannelNames.size()) ? fChannelNames[iChannel] : std::string();
}

void TASIODeviceInfo::AddChannel(TASIOSubDeviceInfo& iDeviceInfo, int iSampleRate, bool i16bit, bool iASIOWorkaround) {
  const DWORD driver = static_cast<DWORD>(fIndex);
  if (fActiveChannels > 0) {
    // channels can only be enabled while the driver is stopped
    BASS_ASIO_SetDevice(driver);
    BASS_ASIO_Stop();
  } else {
    if (!BASS_ASIO_Init(fIndex, 0)) ThrowInitError();
    BASS_ASIO_SetDevice(driver);
    BASS_ASIO_SetRate(fSampleRate != 0 ? fSampleRate : iSampleRate);
    if (iASIOWorkaround) BASS_ASIO_ChannelEnable(FALSE, 0, ASIOSilenceProc, nullptr);
  }
  const DWORD first = static_cast<DWORD>(iDeviceInfo.Index());
  BASS_ASIO_ChannelEnable(TRUE, first, ASIOInputProc, &iDeviceInfo);
  BASS_ASIO_ChannelSetFormat(TRUE, first, i16bit ? BASS_ASIO_FORMAT_16BIT : BASS_ASIO_FORMAT_FLOAT);
  for (int k = 1; k < iDeviceInfo.ChannelCount(); ++k) BASS_ASIO_ChannelJoin(TRUE, first + k, static_cast<int>(first));
  BASS_ASIO_Start(static_cast<DWORD>(std::max(0, fBufferSize)), static_cast<DWORD>(std::max(1, fThreadCount)));
  ++fActiveChannels;
}

void TASIODeviceInfo::RemoveChannel(TASIOSubDeviceInfo& iDeviceInfo) {
  BASS_ASIO_SetDevice(static_cast<DWORD>(fIndex));
  BASS_ASIO_Stop();
  BASS_ASIO_ChannelEnable(TRUE, static_cast<DWORD>(iDeviceInfo.Index()), nullptr, nullptr);
  if (--fActiveChannels > 0)
    BASS_ASIO_Start(static_cast<DWORD>(std::max(0, fBufferSize)), static_cast<DWORD>(std::max(1, fThreadCount)));
  else
    BASS_ASIO_Free();
}

void TASIODeviceInfo::RunControlPanel() {
  std::lock_guard lock(DeviceControlLock());
  const bool idle = fActiveChannels == 0;
  if (idle && !BASS_ASIO_Init(fIndex, 0)) ThrowInitError();
  BASS_ASIO_SetDevice(static_cast<DWORD>(fIndex));
  BASS_ASIO_ControlPanel();
  if (idle) BASS_ASIO_Free();
}

void TASIODeviceInfo::WriteSettings(TIniFile& iIni, const std::vector<int>& iChannelBundles) const {
  const std::string section = Section(fIndex);
  iIni.WriteInteger(section, "BufferSize", fBufferSize);
  iIni.WriteInteger(section, "Samplerate", fSampleRate);
  iIni.WriteInteger(section, "ThreadCount", fThreadCount);
  const int count = static_cast<int>(iChannelBundles.size());
  for (int c = 0; c < count;) {
    const int size = std::max(1, iChannelBundles[c]);
    iIni.WriteInteger(section, BundleKey(c), size);
    for (int k = 1; k < size; ++k) iIni.DeleteKey(section, BundleKey(c + k));
    c += size;
  }
}
