#pragma once
// One recording slot: its configuration (section [Slot<n>] of the settings
// file), its audio graph in the engine, the file it writes and the state that
// the controller, the views, the silence check and the web server read.
//
// Threads. The controller's thread creates the slot, calls Initialize and
// StartRecording, runs RotationCheck every 100 ms, the cleanups, the dialog's
// setters and FlushConfig, and destroys the slot. The thread that pulls the
// mixer (the pull thread or the engine's output thread) runs the DSP callbacks
// and feeds the encoders; it never takes the slot lock, allocates or logs.
// Every other thread reads through the getters below: numbers are atomics,
// texts are copies taken under their own leaf locks (TSharedText).
//
// Implementation files: SlotConfig.cpp (creation, FlushConfig, setters),
// SlotPipeline.cpp (graph, source, clock, destruction, log), SlotRotation.cpp
// (rotation check), SlotEncoder.cpp (CycleEncoder, CloseRecording, command
// lines), SlotDataLinks.cpp (database, cleanup, levels), SlotErrorReport.cpp
// (failures shown and logged), SlotStreamSource.cpp (incoming stream),
// SlotStreaming.cpp (outgoing stream) and SlotPlugin.cpp (DSP plug-in).
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/engine/Engine.h"
#include "slot/SlotCleanup.h"
#include "slot/SlotClock.h"
#include "slot/SlotErrorReport.h"
#include "slot/SlotFileHook.h"
#include "slot/SlotLevels.h"
#include "slot/SlotLoudness.h"
#include "slot/SlotLoudnessBackfill.h"
#include "slot/SlotRepeatedLines.h"
#include "slot/SlotRowWriter.h"
#include "slot/SlotSharedText.h"
#include "slot/SlotTimeline.h"
#include "slot/SlotTypes.h"
#include "support/DateTime.h"

class TIniFile;
class TSimpleThread;
class TDeviceInfoWithClients;
class ISQLConnection;

// Log callback; every slot line arrives as "<slot name>: <message>".
using TLogMessageEvent = std::function<void(const void* Sender, const std::string& iMessage)>;

// An encoder command line and the engine flags that go with it.
struct TEncoderCommand {
  std::string fCommand;
  DWORD fFlags = 0;
};

class TSlotInfo {
public:
  // Reads the configuration of section "Slot<iIndex>"; starts nothing.
  // iClock: the clocks to use; empty means the system's.
  TSlotInfo(TIniFile& iIniFile, bool iAlarmOnly, int iIndex, std::shared_ptr<ISlotClock> iClock = nullptr);
  // Stops the file (storing its duration), the source, the threads and the
  // mixer, then writes the configuration back (FlushConfig).
  virtual ~TSlotInfo();
  TSlotInfo(const TSlotInfo&) = delete;
  TSlotInfo& operator=(const TSlotInfo&) = delete;

  // ------------------------------------------------------------ operations
  // Builds the mixer, its effects and callbacks, the clock and the streaming thread.
  void Initialize();
  // (Re)attaches the configured source. Errors are logged and kept in ErrorMessage.
  void StartRecording();
  // Detaches the source; an open file goes on recording the mixer's silence.
  void StopRecording();

  // The controller's 100 ms tick: starts a new file at a time-slot boundary,
  // and replaces a file whose encoder died. True when CycleEncoder ran, so the
  // controller switches its cleanup timer on.
  bool RotationCheck();
  // Closes the current file and, when the slot is active, opens the next one.
  void CycleEncoder();
  // Bookkeeping of the current file's end; without iKeepEncoder the encoder stops.
  void CloseRecording(bool iKeepEncoder);
  // The encoder command for the target file ("-" = standard output).
  // Throws std::runtime_error("Invalid format") for sfNone.
  TEncoderCommand GetEncoderCommandLine(const std::string& iTarget) const;

  // Writes the first key table to section "Slot<n>" in one batch and flushes the file.
  void FlushConfig();

  // Database and retention (controller's thread).
  std::shared_ptr<ISQLConnection> GetDatabaseConnection();
  bool CleanUpByAge();
  bool CleanupBySpace();
  bool DeleteRecording(ISQLConnection& iConnection, int32_t iID, const std::string& iPath);

  // "<name>: <message>" to OnLogMessage; any thread except the audio thread.
  void DoLogMessage(const std::string& iMessage);

  // ------------------------------------------------------------ setters that act
  void SetEnabled(bool iValue);                       // slot lock; cycles the file when changed
  void SetRecordChannels(TRecordChannels iValue);     // applied to the mixer at once
  void SetSilenceThreshold(int32_t iDecibel);         // level lock

  // ------------------------------------------------------------ getters of running state
  uint64_t GetRecordStartTickCount() const { return fRecordStartTickCount.load(); }
  uint64_t GetLastMetadataTickCount() const { return fLastMetadataTickCount.load(); }
  uint64_t GetLastOverSilenceTickCount() const { return fLevels.GetLastOverSilenceTickCount(); }
  int64_t GetCurrentSilenceDurationMilliseconds() const { return fLevels.GetCurrentSilenceDurationMilliseconds(); }
  std::string GetStreamStatus() const { return fStreamStatus.Get(); }
  void SetStreamStatus(const std::string& iStatus) { fStreamStatus.Set(iStatus); }
  // Seconds of audio written into the current file (meaningful while one is open).
  float GetCurrentRecordingDuration() const;
  // Bytes that passed the mixer since it was created.
  uint64_t GetStreamPosition() const { return fStreamPosition.load(std::memory_order_relaxed); }
  // True while a file is open (the web API's "Recording").
  bool Recording() const { return fEncoder.load() != 0; }

  int32_t Index() const { return fIndex; }
  bool AlarmOnly() const { return fAlarmOnly; }
  float LevelLeft() const { return fLevels.LevelLeft(); }
  float LevelRight() const { return fLevels.LevelRight(); }
  DWORD Channel() const { return fChannel.load(); }
  DWORD Encoder() const { return fEncoder.load(); }
  DWORD StreamChannel() const { return fStreamChannel.load(); }
  DWORD WinampPluginHandle() const { return fWinampPluginHandle.load(); }
  std::string CurrentFilename() const { return fCurrentFilename.Get(); }
  int32_t CurrentRecordingID() const { return fCurrentRecordingID.load(); }
  // Loudness of the file being written (LUFS, -HUGE_VAL while unknown); any thread.
  double LoudnessMomentary() const;
  double LoudnessShortTerm() const;
  // The catalogue entry the slot records from, or nullptr. Catalogue entries
  // live for the whole run; use CurrentDeviceName for the display name.
  TDeviceInfoWithClients* CurrentDeviceInfo() const { return fCurrentDeviceInfo.load(); }
  std::string CurrentDeviceName() const { return fCurrentDeviceName.Get(); }  // empty: none
  std::string CurrentStreamURL() const { return fCurrentStreamURL.Get(); }
  std::string CurrentStreamTitle() const { return fCurrentStreamTitle.Get(); }
  std::string ErrorMessage() const { return fErrorMessage.Get(); }
  // The sound-card input the slot waits for because the catalogue does not
  // hold it (yet); empty when it waits for none. StartRecording begins once
  // the input is there.
  std::string WaitingForInput() const { return fWaitingForInput.Get(); }
  TStreamingStatus StreamingStatus() const { return fStreamingStatus.load(); }
  std::string StreamingMessage() const { return fStreamingMessage.Get(); }
  int64_t StreamingActiveSince() const { return fStreamingActiveSince.load(); }

  // ------------------------------------------------------------ configuration properties
  // Plain stores; the controller decides what a change restarts (source or file).
  bool Enabled() const { return fEnabled.load(); }
  std::string Name() const { return fName.Get(); }
  void SetName(const std::string& v) { fName.Set(v); }
  std::string Description() const { return fDescription.Get(); }
  void SetDescription(const std::string& v) { fDescription.Set(v); }
  std::string Folder() const { return fFolder.Get(); }
  void SetFolder(const std::string& v) { fFolder.Set(v); }
  std::string SecondaryFolder() const { return fSecondaryFolder.Get(); }
  void SetSecondaryFolder(const std::string& v) { fSecondaryFolder.Set(v); }
  std::string DatabaseFile() const { return fDatabaseFile.Get(); }
  void SetDatabaseFile(const std::string& v) { fDatabaseFile.Set(v); }
  // Where the slot's database is, by the location rules (any thread).
  std::string DatabasePath() const;
  bool FlatFilenames() const { return fFlatFilenames.load(); }
  void SetFlatFilenames(bool v) { fFlatFilenames = v; }
  std::string FilenamePrefix() const { return fFilenamePrefix.Get(); }
  void SetFilenamePrefix(const std::string& v) { fFilenamePrefix.Set(v); }
  std::string CustomFilename() const { return fCustomFilename.Get(); }
  void SetCustomFilename(const std::string& v) { fCustomFilename.Set(v); }
  bool CueSheet() const { return fCueSheet.load(); }
  void SetCueSheet(bool v) { fCueSheet = v; }
  bool NoAutoRotate() const { return fNoAutoRotate.load(); }
  void SetNoAutoRotate(bool v) { fNoAutoRotate = v; }
  int32_t TimeSlotLength() const { return fTimeSlotLength.load(); }
  void SetTimeSlotLength(int32_t v) { fTimeSlotLength = v; }
  bool TimeSlotAlign() const { return fTimeSlotAlign.load(); }
  void SetTimeSlotAlign(bool v) { fTimeSlotAlign = v; }
  int32_t TimeSlotOffset() const { return fTimeSlotOffset.load(); }
  void SetTimeSlotOffset(int32_t v) { fTimeSlotOffset = v; }
  // Stored and written; the mixer keeps EffectiveSamplerate until the next start.
  int32_t Samplerate() const { return fSampleRate.load(); }
  void SetSamplerate(int32_t v) { fSampleRate = v; }
  int32_t EffectiveSamplerate() const { return fEffectiveSamplerate; }
  TRecordSource RecordSource() const { return fRecordSource.load(); }
  void SetRecordSource(TRecordSource v) { fRecordSource = v; }
  int32_t RecordDelay() const { return fRecordDelay.load(); }
  void SetRecordDelay(int32_t v) { fRecordDelay = v; }
  int32_t ExtraSleep() const { return fExtraSleep.load(); }
  void SetExtraSleep(int32_t v) { fExtraSleep = v; }
  std::string Device() const { return fDevice.Get(); }
  void SetDevice(const std::string& v) { fDevice.Set(v); }
  TRecordChannels RecordChannels() const { return fRecordChannels.load(); }
  bool Record16bit() const { return fRecord16Bit.load(); }
  void SetRecord16bit(bool v) { fRecord16Bit = v; }
  int16_t NominalLevel() const { return fNominalLevel.load(); }
  void SetNominalLevel(int16_t v) { fNominalLevel = v; }
  std::string StreamURL() const { return fStreamURL.Get(); }
  void SetStreamURL(const std::string& v) { fStreamURL.Set(v); }
  TBassStreamingFormat AudioFormat() const { return fAudioFormat.load(); }
  void SetAudioFormat(TBassStreamingFormat v) { fAudioFormat = fAlarmOnly ? sfNone : v; }
  std::string FileExtension() const { return fFileExtension.Get(); }
  void SetFileExtension(const std::string& v) { fFileExtension.Set(v); }
  int32_t Bitrate() const { return fBitrate.load(); }
  void SetBitrate(int32_t v) { fBitrate = v; }
  TBassStreamingMode Mode() const { return fMode.load(); }
  void SetMode(TBassStreamingMode v) { fMode = v; }
  std::string EncoderOptions() const { return fEncoderOptions.Get(); }
  void SetEncoderOptions(const std::string& v) { fEncoderOptions.Set(v); }
  std::string EncoderFilename() const { return fEncoderFilename.Get(); }
  void SetEncoderFilename(const std::string& v) { fEncoderFilename.Set(v); }
  TDateTime LastTimeSlot() const { return fLastTimeSlot.load(); }
  void SetLastTimeSlot(TDateTime v) { fLastTimeSlot = v; }
  float CurrentLevelLeft() const { return fCurrentLevelLeft.load(); }
  void SetCurrentLevelLeft(float v) { fCurrentLevelLeft = v; }
  float CurrentLevelRight() const { return fCurrentLevelRight.load(); }
  void SetCurrentLevelRight(float v) { fCurrentLevelRight = v; }
  std::string WinampPlugin() const { return fWinampPlugin.Get(); }
  void SetWinampPlugin(const std::string& v) { fWinampPlugin.Set(v); }
  bool WinampPluginStreamOnly() const { return fWinampPluginStreamOnly.load(); }
  void SetWinampPluginStreamOnly(bool v) { fWinampPluginStreamOnly = v; }
  // Control values set by the user, "symbol=value;symbol=value" (a symbol or a port index).
  std::string WinampPluginParameters() const { return fWinampPluginParameters.Get(); }
  void SetWinampPluginParameters(const std::string& v) { fWinampPluginParameters.Set(v); }
  bool StreamDownloadEnded() const { return fStreamDownloadEnded.load(); }
  void SetStreamDownloadEnded(bool v) { fStreamDownloadEnded = v; }
  int32_t CleanupDays() const { return fCleanupDays.load(); }
  void SetCleanupDays(int32_t v) { fCleanupDays = v; }
  bool CleanupDaysEnabled() const { return fCleanupDaysEnabled.load(); }
  void SetCleanupDaysEnabled(bool v) { fCleanupDaysEnabled = v; }
  int32_t CleanupSpace() const { return fCleanupSpace.load(); }
  void SetCleanupSpace(int32_t v) { fCleanupSpace = v; }
  bool CleanupSpaceEnabled() const { return fCleanupSpaceEnabled.load(); }
  void SetCleanupSpaceEnabled(bool v) { fCleanupSpaceEnabled = v; }
  int32_t SilenceThreshold() const { return fLevels.GetSilenceThreshold(); }
  int32_t SilenceDetection() const { return fSilenceDection.load(); }
  void SetSilenceDetection(int32_t v) { fSilenceDection = v; }
  bool SilenceDetectionIfInactive() const { return fSilenceDetectionIfInactive.load(); }
  void SetSilenceDetectionIfInactive(bool v) { fSilenceDetectionIfInactive = v; }
  bool SilenceDetected() const { return fSilenceDetected.load(); }
  void SetSilenceDetected(bool v) { fSilenceDetected = v; }
  bool SendEmailSilenceDetected() const { return fSendEmailSilenceDetected.load(); }
  void SetSendEmailSilenceDetected(bool v) { fSendEmailSilenceDetected = v; }
  bool SendEmailSilenceOK() const { return fSendEmailSilenceOK.load(); }
  void SetSendEmailSilenceOK(bool v) { fSendEmailSilenceOK = v; }
  std::string HTTPAlarmSilenceDetected() const { return fHTTPAlarmSilenceDetected.Get(); }
  void SetHTTPAlarmSilenceDetected(const std::string& v) { fHTTPAlarmSilenceDetected.Set(v); }
  std::string HTTPAlarmSilenceOK() const { return fHTTPAlarmSilenceOK.Get(); }
  void SetHTTPAlarmSilenceOK(const std::string& v) { fHTTPAlarmSilenceOK.Set(v); }
  bool StreamingEnabled() const { return fStreamingEnabled.load(); }
  void SetStreamingEnabled(bool v) { fStreamingEnabled = v; }
  bool StreamingOnly() const { return fStreamingOnly.load(); }
  void SetStreamingOnly(bool v) { fStreamingOnly = v; }
  std::string StreamingHost() const { return fStreamingHost.Get(); }
  void SetStreamingHost(const std::string& v) { fStreamingHost.Set(v); }
  bool StreamingServerMode() const { return fStreamingServerMode.load(); }
  void SetStreamingServerMode(bool v) { fStreamingServerMode = v; }
  int32_t StreamingPort() const { return fStreamingPort.load(); }
  void SetStreamingPort(int32_t v) { fStreamingPort = v; }
  std::string StreamingMountPoint() const { return fStreamingMountPoint.Get(); }
  void SetStreamingMountPoint(const std::string& v) { fStreamingMountPoint.Set(v); }
  std::string StreamingStreamID() const { return fStreamingStreamID.Get(); }
  void SetStreamingStreamID(const std::string& v) { fStreamingStreamID.Set(v); }
  std::string StreamingPassword() const { return fStreamingPassword.Get(); }
  void SetStreamingPassword(const std::string& v) { fStreamingPassword.Set(v); }
  std::string StreamingMimeType() const { return fStreamingMimeType.Get(); }
  void SetStreamingMimeType(const std::string& v) { fStreamingMimeType.Set(v); }
  std::string StreamingTitle() const { return fStreamingTitle.Get(); }
  void SetStreamingTitle(const std::string& v) { fStreamingTitle.Set(v); }
  std::string StreamingURL() const { return fStreamingURL.Get(); }
  void SetStreamingURL(const std::string& v) { fStreamingURL.Set(v); }
  std::string StreamingGenre() const { return fStreamingGenre.Get(); }
  void SetStreamingGenre(const std::string& v) { fStreamingGenre.Set(v); }
  std::string StreamingAIM() const { return fStreamingAIM.Get(); }
  void SetStreamingAIM(const std::string& v) { fStreamingAIM.Set(v); }
  std::string StreamingIRC() const { return fStreamingIRC.Get(); }
  void SetStreamingIRC(const std::string& v) { fStreamingIRC.Set(v); }
  std::string StreamingICQ() const { return fStreamingICQ.Get(); }
  void SetStreamingICQ(const std::string& v) { fStreamingICQ.Set(v); }
  std::string StreamingDescription() const { return fStreamingDescription.Get(); }
  void SetStreamingDescription(const std::string& v) { fStreamingDescription.Set(v); }
  bool StreamingPublic() const { return fStreamingPublic.load(); }
  void SetStreamingPublic(bool v) { fStreamingPublic = v; }
  bool StreamingForwardMetadata() const { return fStreamingForwardMetadata.load(); }
  void SetStreamingForwardMetadata(bool v) { fStreamingForwardMetadata = v; }
  // The command run on every finished file, and how long it may take (seconds).
  std::string OnFileClosed() const { return fOnFileClosed.Get(); }
  void SetOnFileClosed(const std::string& v) { fOnFileClosed.Set(v); }
  int32_t OnFileClosedTimeout() const { return fOnFileClosedTimeout.load(); }

  // ------------------------------------------------------------ counters of the run (any thread)
  uint64_t FilesWritten() const { return fFilesWritten.load(); }     // files whose row has its length
  uint64_t BytesWritten() const { return fBytesWritten.load(); }     // their sizes on disk
  uint64_t CaptureDroppedFrames() const { return fCaptureDroppedFrames.load(); }  // input ring overruns
  uint64_t QueueDroppedFrames() const { return fQueueDroppedFrames.load(); }      // full file encoder queue
  int32_t StreamListeners() const { return std::max(0, fStreamListeners.load()); }
  bool DatabaseFailing() const { return fRowWriter.HasError(); }
  void SetOnFileClosedTimeout(int32_t v) { fOnFileClosedTimeout = v; }
  // Set by the controller before Initialize; may be replaced later.
  TLogMessageEvent OnLogMessage() const;
  void SetOnLogMessage(TLogMessageEvent iEvent);

  // Outgoing title from the title file; the controller's 1 s title timer.
  void UpdateOutgoingStreamTitle();
  // (Re)loads the configured DSP plug-in onto the mixer; Initialize and the
  // dialog's Reload button.
  void ReloadWinampPlugin();
  // Sets a control of the loaded plug-in and keeps the value for the next load;
  // false (and a log line) when there is no plug-in, no such control, or the
  // value is outside its range.
  bool SetWinampPluginParameter(const std::string& iControl, float iValue);

  // Process-wide locks of the stream source and the outgoing stream: one URL
  // opened at a time, one server connection set up at a time.
  static std::mutex& StreamOpenLock();
  static std::mutex& CastConnectLock();
  // Held from setting BASS_CONFIG_ENCODE_PRIORITY/QUEUE to BASS_Encode_Start,
  // so the file encoder and a streaming encoder of any slot, started at the
  // same moment, each get their own settings.
  static std::mutex& EncoderStartLock();

protected:
  friend struct TSlotInfoTestAccess;

  // ---- stream source (SlotStreamSource.cpp): called by StartRecording and
  // StopRecording with the slot lock held.
  void StartStreamSource();  // fStreamThread with StreamThreadExecute
  void StopStreamSource();   // ends fStreamThread; it frees fStreamChannel
  void StreamThreadExecute();
  void UpdateIncomingStreamTitle();
  // ---- outgoing streaming (SlotStreaming.cpp)
  void StreamingThreadExecute();
  static void EncoderNotifyProc(HENCODE iHandle, DWORD iStatus, void* iUser);
  static BOOL ListenerProc(HENCODE iHandle, BOOL iConnect, const char* iClient, char* iHeaders, void* iUser);
  void EncoderNotify(DWORD iStatus);
  void SetStreamingStatus(TStreamingStatus iStatus, const std::string& iMessage);
  void SendStreamingTitle();
  // ---- DSP plug-in (SlotPlugin.cpp)
  void FreeWinampPlugin();    // destructor
  void ApplyWinampPluginParameters();  // the stored values, to a freshly loaded plug-in

  // ---- pipeline helpers (SlotPipeline.cpp)
  void ApplyRecordChannels();
  void PullThreadExecute();
  static void LevelDSPProc(HDSP iHandle, DWORD iChannel, void* iBuffer, DWORD iLength, void* iUser);
  static void CounterDSPProc(HDSP iHandle, DWORD iChannel, void* iBuffer, DWORD iLength, void* iUser);
  static void LoudnessDSPProc(HDSP iHandle, DWORD iChannel, void* iBuffer, DWORD iLength, void* iUser);
  static constexpr int kLoudnessDSPPriority = -999;  // encoders run at -1000
  void AttachLoudness(DWORD iMixer);
  void MarkLoudnessBegin();  // the file just started (controller's thread, slot lock)
  void MarkLoudnessEnd();    // the current file ends
  void DoCounterDSP(DWORD iLength) noexcept { fStreamPosition.fetch_add(iLength, std::memory_order_relaxed); }
  void CheckInputOverrun();  // controller's tick: a full input ring is logged once per incident

  // ---- rotation helpers (SlotRotation.cpp, SlotEncoder.cpp)
  bool EncoderDied();        // the open file's encoder is no longer running
  bool EncoderHung(uint64_t iTick) const;  // its queue has stayed full too long
  bool SlotInactive() const; // no file is to be written now
  void EnterCurrentRecording(const std::string& iRelativeName);
  void RetryCurrentRecordingRow(uint64_t iTick);  // the open file's row, once it failed
  void StoreCurrentStartSample();  // the open file's place on the timeline, once it was fed
  void StartRowRepair();     // rows left without a length by a crash (SlotRowRepair.cpp)
  TSlotCleanupContext CleanupContext();  // slot lock held
  void AddCueSheetFileLine(const std::string& iFullName);

  void ReadConfig();         // SlotConfig.cpp

  // ---- failures (SlotErrorReport.cpp): sets (iError) or clears (empty) one
  // kind of failure, shown by ErrorMessage; logs only when it begins, changes
  // or clears. WithdrawError forgets one that no longer applies, without a line.
  void ReportError(TSlotErrorKind iKind, const std::string& iError, const std::string& iBeginLine = "");
  void WithdrawError(TSlotErrorKind iKind);

  const ISlotClock& Clock() const { return *fClock; }

  // ------------------------------------------------------------ fields
  std::recursive_mutex fCS;  // slot lock
  TIniFile& fIniFile;
  const int32_t fIndex;
  const bool fAlarmOnly;
  const std::shared_ptr<ISlotClock> fClock;
  TSlotLevels fLevels;  // levels, threshold and fLevelCS
  std::atomic<bool> fDeleting{false};

  TSharedText fClockSource;
  std::atomic<bool> fEnabled{true};
  TSharedText fName;
  TSharedText fDescription;
  TSharedText fFolder;
  TSharedText fSecondaryFolder;
  TSharedText fDatabaseFile;
  TSharedText fDatabaseFolder;
  std::atomic<bool> fFlatFilenames{false};
  TSharedText fFilenamePrefix;
  TSharedText fCustomFilename;
  std::atomic<bool> fCueSheet{false};
  std::atomic<bool> fNoAutoRotate{false};
  std::atomic<int32_t> fTimeSlotLength{60};
  std::atomic<bool> fTimeSlotAlign{true};
  std::atomic<int32_t> fTimeSlotOffset{0};
  std::atomic<int32_t> fSampleRate{44100};
  int32_t fEffectiveSamplerate = 44100;  // fixed at creation
  std::atomic<TRecordSource> fRecordSource{rsDisabled};
  std::atomic<int32_t> fRecordDelay{0};
  std::atomic<int32_t> fExtraSleep{0};
  TSharedText fDevice;
  std::atomic<TRecordChannels> fRecordChannels{rcStereo};
  std::atomic<bool> fRecord16Bit{false};
  std::atomic<bool> fASIOWorkaround{false};
  std::atomic<int16_t> fNominalLevel{0};
  TSharedText fStreamURL;
  std::atomic<TBassStreamingFormat> fAudioFormat{sfMP3};
  TSharedText fFileExtension;
  std::atomic<int32_t> fBitrate{128};
  std::atomic<TBassStreamingMode> fMode{smStereo};
  TSharedText fEncoderOptions;
  TSharedText fEncoderFilename;
  std::atomic<int32_t> fEncoderQueueLength{6000};
  std::atomic<TDateTime> fLastTimeSlot{0.0};
  std::atomic<uint64_t> fRecordStartTickCount{0};
  std::atomic<uint64_t> fRecordStartPos{0};
  std::atomic<float> fCurrentLevelLeft{0.0f};
  std::atomic<float> fCurrentLevelRight{0.0f};
  std::atomic<TDeviceInfoWithClients*> fCurrentDeviceInfo{nullptr};
  TSharedText fCurrentDeviceName;
  TSharedText fCurrentDeviceID;
  TSharedText fCurrentStreamURL;
  TSharedText fCurrentStreamTitle;
  TSharedText fWinampPlugin;
  std::atomic<bool> fWinampPluginStreamOnly{false};
  std::atomic<DWORD> fWinampPluginHandle{0};
  std::atomic<DWORD> fWinampPluginDSP{0};
  TSharedText fWinampPluginParameters;
  std::atomic<DWORD> fMixer{0};
  std::atomic<DWORD> fChannel{0};
  std::atomic<DWORD> fEncoder{0};
  std::atomic<DWORD> fDownmixFX{0};
  TSharedText fCurrentFilename;
  std::atomic<int32_t> fCurrentRecordingID{0};
  TSharedText fErrorMessage;
  TSharedText fWaitingForInput;
  mutable std::mutex fLogLock;  // fOnLogMessage
  TLogMessageEvent fOnLogMessage;
  std::atomic<DWORD> fStreamChannel{0};
  std::atomic<uint64_t> fStreamPosition{0};
  std::unique_ptr<TSimpleThread> fStreamThread;
  TSharedText fStreamStatus;
  std::atomic<bool> fStreamDownloadEnded{false};
  std::unique_ptr<TSimpleThread> fPullThread;
  std::atomic<DWORD> fPullMixer{0};
  std::atomic<int32_t> fCleanupDays{365};
  std::atomic<bool> fCleanupDaysEnabled{true};
  std::atomic<int32_t> fCleanupSpace{5};
  std::atomic<bool> fCleanupSpaceEnabled{true};
  std::atomic<int32_t> fSilenceDection{0};
  std::atomic<bool> fSilenceDetectionIfInactive{false};
  std::atomic<uint64_t> fLastMetadataTickCount{0};
  std::atomic<bool> fSilenceDetected{false};
  std::atomic<bool> fSendEmailSilenceDetected{false};
  std::atomic<bool> fSendEmailSilenceOK{false};
  TSharedText fHTTPAlarmSilenceDetected;
  TSharedText fHTTPAlarmSilenceOK;
  std::vector<std::string> fCueSheetData;  // slot lock
  int32_t fCueSheetTrackCounter = 0;       // slot lock
  std::atomic<bool> fStreamingEnabled{false};
  std::atomic<bool> fStreamingOnly{false};
  TSharedText fStreamingHost;
  std::atomic<bool> fStreamingServerMode{false};
  std::atomic<int32_t> fStreamingPort{8000};
  TSharedText fStreamingMountPoint;
  TSharedText fStreamingStreamID;
  TSharedText fStreamingPassword;
  TSharedText fStreamingMimeType;
  TSharedText fStreamingTitle;
  TSharedText fStreamingURL;
  TSharedText fStreamingGenre;
  TSharedText fStreamingAIM;
  TSharedText fStreamingIRC;
  TSharedText fStreamingICQ;
  TSharedText fStreamingDescription;
  std::atomic<bool> fStreamingPublic{false};
  std::atomic<bool> fStreamingForwardMetadata{false};
  std::atomic<TStreamingStatus> fStreamingStatus{ssDisabled};
  TSharedText fStreamingMessage;
  std::atomic<int64_t> fStreamingActiveSince{-1};
  std::unique_ptr<TSimpleThread> fStreamingThread;
  std::atomic<DWORD> fStreamingEncoder{0};
  TSharedText fStreamingCurrentTitle;
  TSharedText fStreamingCurrentTitleFilename;
  std::atomic<TDateTime> fStreamingCurrentTitleFileAge{0.0};
  std::atomic<int32_t> fStreamingConnectDelay{0};

  // Bookkeeping of this implementation (controller's thread only).
  std::string fCurrentRelativeName;   // relative name of the open file
  TRepeatedLines fCleanupLines{3600 * 1000};  // cleanup lines logged within the last hour (slot lock)
  TDateTime fCurrentStartTime = 0;    // its start time, for a row entered only at its end
  uint64_t fLastInputDropped = 0;     // bytes the input ring had dropped at the last tick
  bool fInputOverrun = false;         // an overrun incident is being reported
  uint64_t fLastQueueDropped = 0;     // bytes the file encoder's queue had dropped
  bool fQueueOverrun = false;
  uint64_t fQueueFullSince = 0;       // tick at which the file encoder's queue began to drop, 0 = not
  uint64_t fLastRestartTick = 0;      // when a file was last restarted after a failure
  bool fRestartPending = false;       // the encoder died or failed to start: a file waits for its restart
  std::vector<float> fPullBuffer;     // the software clock's buffer, made before the thread starts
  uint64_t fPullStartTick = 0;        // the software clock's origin, set before the thread starts
  std::mutex fErrorsLock;             // fErrors and the fErrorMessage made from them
  TSlotErrorReport fErrors;
  std::vector<std::string> fConfigWarnings;  // settings refused at creation, logged once the log is set (fLogLock)
  std::shared_ptr<const VT_ENCODE_OUTCOME> fEncoderOutcome;  // what the open file's encoder delivered
  TSlotRowWriter fRowWriter;          // rows of ended files (slot lock)
  TSlotTimeline fTimeline;            // (slot lock)
  int32_t fStartSampleStoredFor = 0;  // row whose start sample is stored (slot lock)
  std::unique_ptr<TSlotLoudness> fLoudness;  // from Initialize until the mixer is freed
  std::unique_ptr<TSlotLoudnessBackfill> fLoudnessBackfill;  // from the first file with a row (slot lock)
  std::shared_ptr<class TSlotRowRepair> fRowRepair;  // measures rows a crash left open
  TSharedText fOnFileClosed;
  std::atomic<uint64_t> fFilesWritten{0};
  std::atomic<uint64_t> fBytesWritten{0};
  std::atomic<uint64_t> fCaptureDroppedFrames{0};
  std::atomic<uint64_t> fQueueDroppedFrames{0};
  std::atomic<int32_t> fStreamListeners{0};
  std::atomic<int32_t> fOnFileClosedTimeout{600};
  // Last, so it is gone first: its threads log through the slot until they end.
  std::unique_ptr<TSlotFileHook> fFileHook;
};
