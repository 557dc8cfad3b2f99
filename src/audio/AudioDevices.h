#pragma once
// The catalogue of sound-card inputs (recording devices, ASIO channel bundles,
// WASAPI endpoints) and the fan-out of one running input to several slots.
//
// Threads: AddClient, RemoveClient, RunControlPanel and the ASIO settings run
// on the controller's thread, serialised by DeviceControlLock(). HandleInput
// runs on the capture threads and takes no lock: it reads an immutable client
// list that the controller side replaces as a whole and frees once no capture
// thread can still see it.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/engine/Engine.h"

class TIniFile;
class TASIODeviceInfo;
class TDeviceList;

class TDeviceInfo {
public:
  TDeviceInfo(int iIndex, std::string iName) : fIndex(iIndex), fName(std::move(iName)) {}
  virtual ~TDeviceInfo() = default;
  TDeviceInfo(const TDeviceInfo&) = delete;
  TDeviceInfo& operator=(const TDeviceInfo&) = delete;

  int Index() const { return fIndex; }
  const std::string& Name() const { return fName; }  // display name; fixed after construction

  virtual bool HasControlPanel() { return false; }
  virtual void RunControlPanel() {}

protected:
  int fIndex;
  std::string fName;
};

// An input that can feed clients. An input freed while it still runs stops
// first: its capture thread must not call into a freed input.
class TDeviceInfoWithClients : public TDeviceInfo {
public:
  using TDeviceInfo::TDeviceInfo;
  ~TDeviceInfoWithClients() override;

  // Adds a client push stream and returns its handle, starting the input first
  // when it has no clients. The running input's rate and format win over the
  // request. Throws the input's start error; returns 0 (with the engine's
  // error code) when the engine refuses the stream.
  DWORD AddClient(int iSampleRate, bool i16bit, bool iASIOWorkaround);
  // Takes the client out (the caller frees the stream afterwards) and stops the
  // input after its last client. When it returns, no capture thread puts data
  // into that stream any more. Unknown handles change nothing.
  void RemoveClient(DWORD iClient);
  // Capture threads: the same bytes to every client.
  void HandleInput(const void* iBuffer, DWORD iLength) noexcept;

  std::vector<DWORD> Clients() const { return fClients; }  // controller's thread
  int ChannelCount() const { return fChannelCount; }
  bool Running() const { return !fClients.empty(); }

  virtual void StartDevice(int iSampleRate, bool& i16bit, bool iASIOWorkaround) = 0;
  virtual void StopDevice() = 0;
  virtual int GetSampleRate() = 0;

protected:
  DWORD fChannel = 0;
  std::vector<DWORD> fClients;
  int fChannelCount = 2;

private:
  struct TClientList {
    std::vector<DWORD> fHandles;
  };
  void PublishClients();

  bool fRunning16Bit = false;  // the format settled by the client that started the input
  std::atomic<const TClientList*> fLive{nullptr};
  std::atomic<int> fReaders{0};
  std::unique_ptr<const TClientList> fLiveOwned;
  std::vector<std::unique_ptr<const TClientList>> fDeadWood;  // lists a stuck reader might still hold
};

// A recording device (ALSA capture PCM).
class TWDMDeviceInfo : public TDeviceInfoWithClients {
public:
  using TDeviceInfoWithClients::TDeviceInfoWithClients;
  ~TWDMDeviceInfo() override;
  void StartDevice(int iSampleRate, bool& i16bit, bool iASIOWorkaround) override;
  void StopDevice() override;
  int GetSampleRate() override { return fLastSampleRate; }

private:
  int fLastSampleRate = 0;
};

// A WASAPI input endpoint (PulseAudio source); always delivers floating point.
class TWASAPIDeviceInfo : public TDeviceInfoWithClients {
public:
  using TDeviceInfoWithClients::TDeviceInfoWithClients;
  ~TWASAPIDeviceInfo() override;
  void StartDevice(int iSampleRate, bool& i16bit, bool iASIOWorkaround) override;
  void StopDevice() override;
  int GetSampleRate() override;
};

// One channel bundle of an ASIO driver.
class TASIOSubDeviceInfo : public TDeviceInfoWithClients {
public:
  TASIOSubDeviceInfo(TASIODeviceInfo* iParent, int iIndex, int iChannelCount, std::string iName);
  ~TASIOSubDeviceInfo() override;
  bool HasControlPanel() override { return true; }
  void RunControlPanel() override;
  void StartDevice(int iSampleRate, bool& i16bit, bool iASIOWorkaround) override;
  void StopDevice() override;
  int GetSampleRate() override;
  TASIODeviceInfo* Parent() const { return fParent; }

private:
  TASIODeviceInfo* fParent;
};

// An ASIO driver (a JACK server) with its bundles. Settings come from the
// section "ASIODevice<n>" of the settings file.
class TASIODeviceInfo : public TDeviceInfo {
public:
  // Called while the driver is initialised; adds the bundles to iList.
  TASIODeviceInfo(int iIndex, const BASS_ASIO_DEVICEINFO& iDevice, const BASS_ASIO_INFO& iInfo,
                  const TIniFile* iIni, TDeviceList& iList);
  ~TASIODeviceInfo() override;
  void RunControlPanel() override;

  void AddChannel(TASIOSubDeviceInfo& iDeviceInfo, int iSampleRate, bool i16bit, bool iASIOWorkaround);
  void RemoveChannel(TASIOSubDeviceInfo& iDeviceInfo);

  int ChannelCount() const { return fChannelCount; }
  int GetChannelBundle(int iChannel) const;
  std::string GetChannelName(int iChannel) const;
  int ActiveChannels() const { return fActiveChannels; }
  const std::vector<std::unique_ptr<TASIOSubDeviceInfo>>& SubDevices() const { return fSubDevices; }

  // Values of the settings page; used at the driver's next start.
  int SampleRate() const { return fSampleRate; }
  int ThreadCount() const { return fThreadCount; }
  int BufferSize() const { return fBufferSize; }
  void SetSampleRate(int iValue) { fSampleRate = iValue; }
  void SetThreadCount(int iValue) { fThreadCount = iValue; }
  void SetBufferSize(int iValue) { fBufferSize = iValue; }

  // Writes the driver's section: its three values, then one bundle key per
  // bundle start of iChannelBundles (the page's copy), deleting the keys of
  // the channels inside each bundle.
  void WriteSettings(TIniFile& iIni, const std::vector<int>& iChannelBundles) const;

private:
  std::vector<std::unique_ptr<TASIOSubDeviceInfo>> fSubDevices;
  int fActiveChannels = 0;
  int fChannelCount = 0;
  std::vector<std::string> fChannelNames;
  std::vector<int> fChannelBundles;
  int fSampleRate = 0;
  int fThreadCount = 1;
  int fBufferSize = 0;
};

// One input as the engine lists it: what the catalogue needs to add it.
struct TListedInput {
  enum TKind { ikWDM, ikWASAPI };
  TKind fKind = ikWDM;
  int fIndex = 0;     // the engine's number of the device
  std::string fId;    // "WDM:<n>" or "WASAPI:<endpoint id>"
  std::string fName;  // display name
  bool fReady = false;  // the engine reports it enabled: it may start now
};

// The recording devices, or the WASAPI input endpoints, as the engine reports
// them now. The back-end is asked again, which may take seconds (a sound server
// that does not answer): any thread, best not the controller's.
std::vector<TListedInput> ListWDMInputs();
std::vector<TListedInput> ListWASAPIInputs();
// Both, recording devices first.
std::vector<TListedInput> ListInputs();
// Whether the ASIO driver (a JACK server) answers now. May take a moment.
bool ASIODriverReachable();

// Ordered (id, input) pairs; ids are looked up without regard to case. Does
// not own the inputs.
class TDeviceList {
public:
  void Add(std::string iId, TDeviceInfo* iDevice) { fItems.emplace_back(std::move(iId), iDevice); }
  TDeviceInfo* Find(std::string_view iId) const;  // nullptr when unknown
  size_t Count() const { return fItems.size(); }
  const std::string& Id(size_t i) const { return fItems[i].first; }
  TDeviceInfo* Device(size_t i) const { return fItems[i].second; }

private:
  std::vector<std::pair<std::string, TDeviceInfo*>> fItems;
};

// The whole catalogue, built at start: recording devices, then ASIO bundles
// (driver by driver), then WASAPI input endpoints. Inputs that appear later
// are added at the end by AddNewInputs; nothing is ever taken out or
// renumbered, so an id keeps its input for the whole run.
class TAudioDevices {
public:
  explicit TAudioDevices(const TIniFile* iIni);
  ~TAudioDevices();
  TAudioDevices(const TAudioDevices&) = delete;
  TAudioDevices& operator=(const TAudioDevices&) = delete;

  TDeviceList& DeviceList() { return *fDeviceList; }
  const std::vector<std::unique_ptr<TWDMDeviceInfo>>& WDMDevices() const { return fWDMDevices; }
  const std::vector<std::unique_ptr<TASIODeviceInfo>>& ASIODevices() const { return fASIODevices; }
  const std::vector<std::unique_ptr<TWASAPIDeviceInfo>>& WASAPIDevices() const { return fWASAPIDevices; }

  // Adds the inputs of iListing whose ids the catalogue does not hold yet, at the
  // end, and returns those ids. Controller's thread (where the slots look ids up).
  std::vector<std::string> AddNewInputs(const std::vector<TListedInput>& iListing);
  // When the catalogue holds no ASIO driver: adds the drivers that initialise
  // now with their bundles, at the end, and returns the bundles' ids.
  // Controller's thread; opens the driver for a moment.
  std::vector<std::string> AddASIODrivers(const TIniFile* iIni);

  // The page's bundle copy, one array per driver in ASIODevices() order.
  std::vector<std::vector<int>> ChannelBundles() const;
  // The ASIO part of saving the global settings.
  void WriteASIOSettings(TIniFile& iIni, const std::vector<std::vector<int>>& iChannelBundles) const;

private:
  void EnumerateASIODevices(const TIniFile* iIni);
  void AddInput(const TListedInput& iInput);

  std::unique_ptr<TDeviceList> fDeviceList;
  std::vector<std::unique_ptr<TWDMDeviceInfo>> fWDMDevices;
  std::vector<std::unique_ptr<TASIODeviceInfo>> fASIODevices;
  std::vector<std::unique_ptr<TWASAPIDeviceInfo>> fWASAPIDevices;
};

// The controller side's lock of every input: starts, stops and client changes.
std::mutex& DeviceControlLock();

// The process-wide catalogue: built at start-up (without waiting for inputs
// that are not there yet: the slots wait for theirs), freed at program end.
void InitAudioDevices(const TIniFile* iIni);
void FreeAudioDevices();
TAudioDevices& AudioDevices();  // throws std::logic_error before InitAudioDevices
bool AudioDevicesBuilt();
