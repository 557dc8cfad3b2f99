// The slot's audio graph: mixer, effects and callbacks, the source, the clock
// that pulls the mixer, destruction, and the slot's log.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <regex>
#include <stdexcept>
#include <thread>

#include "audio/AudioDevices.h"
#include "audio/basserrors.h"
#include "slot/SlotInfo.h"
#include "slot/SlotPullPacing.h"
#include "support/SimpleThread.h"

namespace {
// The catalogue entry for a device id, or nullptr. Only inputs that feed
// clients count; an ASIO driver itself is not one.
TDeviceInfoWithClients* FindInput(const std::string& iDeviceID) {
  try {
    return dynamic_cast<TDeviceInfoWithClients*>(AudioDevices().DeviceList().Find(iDeviceID));
  } catch (const std::logic_error&) {
    return nullptr;  // no catalogue in this process
  }
}

// "BASS" or "BASS:<n>" as the whole text: the output device that clocks the
// slot (1 when no number is given); 0 for the software clock.
int OutputClockDevice(const std::string& iClockSource) {
  static const std::regex pattern("^BASS(:(\\d+))?$");
  std::smatch match;
  if (!std::regex_match(iClockSource, match, pattern)) return 0;
  if (!match[2].matched) return 1;
  try {
    return std::stoi(match[2].str());
  } catch (const std::exception&) {
    return 0;
  }
}

// How far the pull may fall behind the clock while the live source is late,
// and what it leaves in the source for a rate converter's look-ahead.
constexpr double kLateSourceMarginSeconds = 0.5;
constexpr double kConverterGuardSeconds = 0.01;

// Bytes of mixer output the live source holds right now, or nullopt when there
// is none (or it was freed meanwhile).
std::optional<uint64_t> LiveSourceAvailable(DWORD iMixer, DWORD iSource) {
  if (!iSource) return std::nullopt;
  const DWORD available = BASS_ChannelGetData(iSource, nullptr, BASS_DATA_AVAILABLE);
  if (available == DWORD(-1)) return std::nullopt;
  const double seconds = BASS_ChannelBytes2Seconds(iSource, available);
  if (!(seconds >= 0.0)) return std::nullopt;
  return BASS_ChannelSeconds2Bytes(iMixer, seconds);
}
}  // namespace

std::mutex& TSlotInfo::StreamOpenLock() {
  static std::mutex lock;
  return lock;
}

std::mutex& TSlotInfo::CastConnectLock() {
  static std::mutex lock;
  return lock;
}

void TSlotInfo::DoLogMessage(const std::string& iMessage) {
  const TLogMessageEvent event = OnLogMessage();
  if (event) event(this, fmt::format("{}: {}", fName.Get(), iMessage));
}

void TSlotInfo::Initialize() {
  const uint64_t now = Clock().TickCount();
  fLevels.ResetSilence();
  fLastMetadataTickCount = now;

  const DWORD mixer =
      BASS_Mixer_StreamCreate(fEffectiveSamplerate, 2, BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
  fMixer = mixer;
  if (!mixer) {
    const std::string text = BassErrorText(BASS_ErrorGetCode());
    ReportError(ekMixer, text, fmt::format("Error creating mixer: {}", text));
  }
  BASS_FX_GetVersion();
  fDownmixFX = BASS_ChannelSetFX(mixer, BASS_FX_BFX_MIX, 1);
  ApplyRecordChannels();
  BASS_ChannelSetDSP(mixer, &TSlotInfo::LevelDSPProc, this, 0);
  BASS_ChannelSetDSP(mixer, &TSlotInfo::CounterDSPProc, this, 0);
  AttachLoudness(mixer);
  if (fRecordDelay > 0) {
    const HFX delay = BASS_ChannelSetFX(mixer, BASS_FX_BFX_ECHO3, 100);
    const BASS_BFX_ECHO3 parameters{0.0f, 1.0f, static_cast<float>(fRecordDelay.load()), BASS_BFX_CHANALL};
    BASS_FXSetParameters(delay, &parameters);
  }
  ReloadWinampPlugin();

  const int device = OutputClockDevice(fClockSource.Get());
  if (device > 0) {
    BASS_Init(device, fEffectiveSamplerate, BASS_DEVICE_LATENCY, nullptr, nullptr);  // may already be open
    BASS_SetDevice(device);
    BASS_Start();
    const DWORD pullMixer = BASS_Mixer_StreamCreate(fEffectiveSamplerate, 2, BASS_SAMPLE_FLOAT);
    if (pullMixer) {
      BASS_ChannelSetAttribute(pullMixer, BASS_ATTRIB_VOL, 0.0f);
      BASS_Mixer_StreamAddChannel(pullMixer, mixer, 0);
      BASS_ChannelPlay(pullMixer, FALSE);
      fPullMixer = pullMixer;
    } else {
      // A clock that never ticks would record nothing at all; the software
      // clock keeps the slot recording.
      DoLogMessage(fmt::format("Clock device {} cannot be used ({}), using the software clock", device,
                               BassErrorText(BASS_ErrorGetCode())));
    }
    BASS_SetDevice(0);
  }
  if (!fPullMixer) {
    const QWORD chunk = BASS_ChannelSeconds2Bytes(mixer, 2.0);
    fPullBuffer.assign(static_cast<size_t>(chunk / sizeof(float)) + 2, 0.0f);
    // The mixer's time runs from here, however late the thread gets going.
    fPullStartTick = Clock().TickCount();
    fPullThread = std::make_unique<TSimpleThread>([this] { PullThreadExecute(); },
                                                  fmt::format("PullThread Slot {}", fIndex));
    fPullThread->SetPriority(tpTimeCritical);
    fPullThread->Start();
  }
  fStreamingThread = std::make_unique<TSimpleThread>([this] { StreamingThreadExecute(); },
                                                     fmt::format("StreamingThread Slot {}", fIndex));
  fStreamingThread->Start();
}

void TSlotInfo::PullThreadExecute() {
  // Everything is prepared before the loop: pulling allocates nothing.
  TSimpleThread* self = TSimpleThread::Current();
  const DWORD mixer = fMixer;
  void* buffer = fPullBuffer.data();
  const QWORD chunk = std::min<QWORD>(BASS_ChannelSeconds2Bytes(mixer, 2.0), fPullBuffer.size() * sizeof(float));
  TPullPacing pacing(BASS_ChannelSeconds2Bytes(mixer, kLateSourceMarginSeconds),
                     BASS_ChannelSeconds2Bytes(mixer, kConverterGuardSeconds));
  const uint64_t start = fPullStartTick;
  while (self && !self->Terminated()) {
    const uint64_t elapsed = Clock().TickCount() - start;
    const QWORD target = BASS_ChannelSeconds2Bytes(mixer, static_cast<double>(elapsed) / 1000.0);
    const QWORD position = BASS_ChannelGetPosition(mixer, BASS_POS_BYTE);
    if (mixer && position != static_cast<QWORD>(-1) && target > position) {
      DWORD source = fChannel;
      if (!source) source = fStreamChannel;
      const QWORD wanted = std::min<QWORD>(pacing.Step(target - position, source, LiveSourceAvailable(mixer, source)), chunk);
      try {
        if (wanted > 0) BASS_ChannelGetData(mixer, buffer, static_cast<DWORD>(wanted));
      } catch (...) {
        // the chain's work is done inside the pull; the next step goes on
      }
    }
    self->WaitForEvent(50);  // nobody signals it; destruction ends the wait at once
  }
}

void TSlotInfo::ApplyRecordChannels() {
  static const int kStereo[2] = {BASS_BFX_CHAN1, BASS_BFX_CHAN2};
  static const int kLeft[2] = {BASS_BFX_CHAN1, BASS_BFX_CHAN1};
  static const int kRight[2] = {BASS_BFX_CHAN2, BASS_BFX_CHAN2};
  const TRecordChannels channels = fRecordChannels;
  const BASS_BFX_MIX map{channels == rcLeft ? kLeft : channels == rcRight ? kRight : kStereo};
  const DWORD fx = fDownmixFX;
  if (fx) BASS_FXSetParameters(fx, &map);
}

void TSlotInfo::StartRecording() {
  {
    std::lock_guard<std::recursive_mutex> lock(fCS);
    switch (fRecordSource.load()) {
      case rsDisabled:
        WithdrawError(ekInput);
        fWaitingForInput.Set("");
        StopRecording();
        break;
      case rsSoundcard: {
        TDeviceInfoWithClients* input = nullptr;
        const std::string device = fDevice.Get();
        try {
          if (device.empty()) throw std::runtime_error("No device selected");
          if (device == fCurrentDeviceID.Get()) return;  // already recording from it
          input = FindInput(device);
          if (!input) {
            // Not there (yet): a sound server or an interface that comes up
            // after the recorder. The controller looks for new inputs about
            // once a second and starts the slot again once its input is there.
            StopRecording();
            fWaitingForInput.Set(device);
            // Logged when the waiting begins, not at every look.
            ReportError(ekInput, fmt::format("Waiting for input {}", device));
            break;
          }
          const bool waited = fWaitingForInput.Get() == device;
          fWaitingForInput.Set("");
          StopRecording();
          const DWORD channel = input->AddClient(fEffectiveSamplerate, fRecord16Bit, fASIOWorkaround);
          if (!channel) throw std::runtime_error(fmt::format("AddClient: BASS Error {}", BASS_ErrorGetCode()));
          fChannel = channel;
          if (fExtraSleep > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fExtraSleep.load()));
          BASS_Mixer_StreamAddChannel(fMixer, channel, 0);
          fCurrentStreamTitle.Set("");
          fCurrentDeviceName.Set(input->Name());
          fCurrentDeviceInfo = input;
          fCurrentDeviceID.Set(device);
          ReportError(ekInput, "");
          if (waited) DoLogMessage(fmt::format("Input {} is available, recording starts", device));
          DoLogMessage(fmt::format("Recording from {}", input->Name()));
          // The file starts now, not at the next time-slot boundary.
          if (waited) CycleEncoder();
        } catch (const std::exception& e) {
          // Whatever was attached before goes too: the slot must not go on
          // recording a source it is no longer set to while it shows the error.
          StopRecording();
          // An input that would not start (its sound server not up yet) is
          // tried again once the controller finds it ready; the error is
          // logged when it begins or changes, not at every try.
          fWaitingForInput.Set(input ? device : "");
          ReportError(ekInput, e.what(), input ? fmt::format("Error recording from \"{}\": {}", input->Name(), e.what())
                                               : fmt::format("Recording error: {}", e.what()));
        }
        break;
      }
      case rsStream:
        WithdrawError(ekInput);
        fWaitingForInput.Set("");
        StopRecording();
        fCurrentStreamTitle.Set("");
        StartStreamSource();
        break;
    }
  }
  if (fStreamingThread) fStreamingThread->SignalEvent();
}

void TSlotInfo::StopRecording() {
  {
    std::lock_guard<std::recursive_mutex> lock(fCS);
    if (TDeviceInfoWithClients* input = fCurrentDeviceInfo.load()) {
      const DWORD channel = fChannel;
      input->RemoveClient(channel);
      BASS_StreamFree(channel);
      fChannel = 0;
      fCurrentDeviceID.Set("");
      fCurrentDeviceName.Set("");
      fCurrentDeviceInfo = nullptr;
      fLastInputDropped = 0;
      fInputOverrun = false;
    }
    if (fStreamThread) StopStreamSource();
    fLevels.ResetLevels();
  }
  if (fStreamingThread) fStreamingThread->SignalEvent();
}

void TSlotInfo::CheckInputOverrun() {
  // Reported here, on the controller's tick, because the audio thread must not log.
  if (const DWORD channel = fChannel) {
    const QWORD dropped = VT_StreamGetDropped(channel);
    if (dropped != static_cast<QWORD>(-1)) {
      BASS_CHANNELINFO info{};
      if (dropped > fLastInputDropped && BASS_ChannelGetInfo(channel, &info) && info.chans > 0) {
        const QWORD width = (info.flags & BASS_SAMPLE_FLOAT) ? 4 : (info.flags & BASS_SAMPLE_8BITS) ? 1 : 2;
        fCaptureDroppedFrames.fetch_add((dropped - fLastInputDropped) / (info.chans * width));
      }
      if (dropped > fLastInputDropped && !fInputOverrun)
        DoLogMessage("Input overrun: the slot could not keep up and audio was dropped");
      fInputOverrun = dropped > fLastInputDropped;
      fLastInputDropped = dropped;
    }
  }
  if (const DWORD encoder = fEncoder) {
    const QWORD dropped = BASS_Encode_GetCount(encoder, BASS_ENCODE_COUNT_QUEUE_FAIL);
    if (dropped != static_cast<QWORD>(-1)) {
      // The file encoder gets the mixer's two channels, 16-bit but for 32-bit WAV.
      if (dropped > fLastQueueDropped)
        fQueueDroppedFrames.fetch_add((dropped - fLastQueueDropped) / (fAudioFormat == sfWAV32 ? 8 : 4));
      if (dropped > fLastQueueDropped && !fQueueOverrun)
        DoLogMessage(fmt::format("Encoder queue full: audio dropped from {}", fCurrentFilename.Get()));
      fQueueOverrun = dropped > fLastQueueDropped;
      fLastQueueDropped = dropped;
      // How long the queue has stayed full: a tick without a new drop means
      // the encoder took something meanwhile. A queue that never empties
      // means an encoder that is gone for good (RotationCheck).
      if (!fQueueOverrun)
        fQueueFullSince = 0;
      else if (fQueueFullSince == 0)
        fQueueFullSince = Clock().TickCount();
    }
  }
}

TSlotInfo::~TSlotInfo() {
  fDeleting = true;
  try {
    CloseRecording(false);
  } catch (const std::exception& e) {
    DoLogMessage(fmt::format("Error closing recording: {}", e.what()));
  }
  try {
    StopRecording();
  } catch (const std::exception& e) {
    DoLogMessage(fmt::format("Recording error: {}", e.what()));
  }
  FreeWinampPlugin();
  // Ended before the pointer is cleared: the streaming encoder's notification
  // reads it until the thread has let the encoder go.
  if (fStreamingThread) {
    fStreamingThread->Terminate();
    fStreamingThread->WaitFor();
  }
  fStreamingThread.reset();
  fPullThread.reset();
  if (const DWORD pullMixer = fPullMixer.exchange(0)) BASS_StreamFree(pullMixer);
  try {
    FlushConfig();
  } catch (const std::exception& e) {
    DoLogMessage(e.what());
  }
  fCueSheetData.clear();
  if (const DWORD mixer = fMixer.exchange(0)) BASS_StreamFree(mixer);
  fLoudnessBackfill.reset();
  fLoudness.reset();  // measures the last file's end, now that nothing feeds it
}
