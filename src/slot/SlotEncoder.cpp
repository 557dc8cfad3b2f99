// Opening and closing the slot's files: CycleEncoder, CloseRecording and the
// encoder command line.
#include <fmt/format.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <system_error>

#include "audio/basserrors.h"
#include "slot/SlotDatabase.h"
#include "slot/SlotEncoderCommand.h"
#include "slot/SlotFileNames.h"
#include "slot/SlotInfo.h"
#include "slot/SlotPeaks.h"
#include "support/SimpleSQLInterface.h"

namespace {
// How long a slot that goes away waits for its last file's encoder to finish,
// so that the row gets the length of what reached the file. One that takes
// longer leaves the row to be measured at the next start.
constexpr std::chrono::milliseconds kShutdownRowWait{5000};

// Stops the previous file's encoder once the new one is attached, or when
// CycleEncoder leaves early, whichever way: the two files overlap and none of
// the audio at the cut is lost. The overlap lasts from the start of the new
// encoder to Stop, so nothing slow (the database, the waveform file) may come
// between them.
class TStopEncoderOnExit {
public:
  explicit TStopEncoderOnExit(DWORD iEncoder) : fEncoder(iEncoder) {}
  ~TStopEncoderOnExit() { Stop(); }
  void Stop() {
    if (fEncoder) BASS_Encode_Stop(fEncoder);
    fEncoder = 0;
  }
  TStopEncoderOnExit(const TStopEncoderOnExit&) = delete;
  TStopEncoderOnExit& operator=(const TStopEncoderOnExit&) = delete;

private:
  DWORD fEncoder;
};

// The waveform file beside a new recording. Without it the web server
// computes the waveform from the file itself, so a failure only costs a log line.
std::unique_ptr<TPeaksWriter> CreatePeaksWriter(const std::string& iRecording,
                                                const std::function<void(const std::string&)>& iLog) {
  try {
    return std::make_unique<TPeaksWriter>(iRecording);
  } catch (const std::exception& e) {
    iLog(fmt::format("Waveform not written: {}", e.what()));
    return nullptr;
  }
}

bool FileExists(const std::string& iPath) {
  std::error_code ec;
  return std::filesystem::exists(iPath, ec);
}
}  // namespace

std::mutex& TSlotInfo::EncoderStartLock() {
  static std::mutex lock;
  return lock;
}

TEncoderCommand TSlotInfo::GetEncoderCommandLine(const std::string& iTarget) const {
  TEncoderSettings settings;
  settings.fFormat = fAudioFormat;
  settings.fMode = fMode;
  settings.fSampleRate = fEffectiveSamplerate;
  settings.fBitrate = fBitrate;
  settings.fEncoderOptions = fEncoderOptions.Get();
  settings.fEncoderFilename = fEncoderFilename.Get();
  return BuildEncoderCommandLine(settings, iTarget);
}

float TSlotInfo::GetCurrentRecordingDuration() const {
  const uint64_t bytes = GetStreamPosition() - fRecordStartPos.load();
  return static_cast<float>(static_cast<double>(bytes) / (static_cast<double>(fEffectiveSamplerate) * 2 * 4));
}

bool TSlotInfo::SlotInactive() const {
  const TRecordSource source = fRecordSource;
  return !fEnabled || fStreamingOnly || fAudioFormat == sfNone || source == rsDisabled ||
         (source == rsSoundcard && fCurrentDeviceInfo.load() == nullptr);
}

void TSlotInfo::CycleEncoder() {
  std::lock_guard<std::recursive_mutex> lock(fCS);
  if (!fRowRepair && !fAlarmOnly) StartRowRepair();
  const DWORD old = fEncoder;
  const bool inactive = SlotInactive();
  CloseRecording(!inactive);
  if (fAlarmOnly) fAudioFormat = sfNone;
  if (inactive) {
    fRestartPending = false;
    WithdrawError(ekFile);  // a slot that is not to record has no file to fail
    if (old) BASS_Encode_Stop(old);
    return;
  }

  TStopEncoderOnExit stopOld(old);
  TSlotFileNaming naming;
  naming.fFormat = fAudioFormat;
  naming.fFileExtension = fFileExtension.Get();
  naming.fCustomFilename = fCustomFilename.Get();
  naming.fFlatFilenames = fFlatFilenames;
  naming.fFilenamePrefix = fFilenamePrefix.Get();
  const std::string folder = fFolder.Get();
  const std::string previous = fCurrentFilename.Get();
  // Never write over a recording: a pattern without placeholders, or two files
  // in the same second, get a numbered name instead.
  const std::string relative =
      UniqueRelativeFileName(BuildRelativeFileName(naming, Clock().Now()), [&](const std::string& iRelative) {
        const std::string full = BuildFullFileName(folder, iRelative);
        return full == previous || FileExists(full) || FileExists(full + ".cue");
      });
  const std::string full = BuildFullFileName(folder, relative);
  const std::string folderError = MakeRecordingFolder(full);  // the reason when the encoder cannot start

  const TEncoderCommand command = GetEncoderCommandLine(full);
  // 32-bit WAV keeps the mixer's float samples; every other format gets 16-bit.
  const DWORD conversion = fAudioFormat == sfWAV32 ? 0 : BASS_ENCODE_FP_16BIT;
  DWORD encoder = 0;
  int error = 0;
  {
    std::lock_guard<std::mutex> startLock(EncoderStartLock());
    BASS_SetConfig(BASS_CONFIG_ENCODE_PRIORITY, static_cast<DWORD>(-1000));
    BASS_SetConfig(BASS_CONFIG_ENCODE_QUEUE, static_cast<DWORD>(fEncoderQueueLength.load()));
    encoder = BASS_Encode_Start(fMixer, command.fCommand.c_str(),
                                command.fFlags | BASS_UNICODE | conversion | BASS_ENCODE_QUEUE, nullptr, nullptr);
    if (!encoder) error = BASS_ErrorGetCode();
  }
  stopOld.Stop();
  fEncoder = encoder;
  fEncoderOutcome = encoder ? VT_Encode_GetOutcome(encoder) : nullptr;
  if (!encoder) {
    fLevels.Peaks().Replace(nullptr, 0);  // the previous file's waveform ends with it
    ReportError(ekFile, FileStartError(folderError, error, command.fCommand, command.fFlags & BASS_ENCODE_PCM));
    fCurrentFilename.Set("");
    fCurrentRelativeName.clear();
    fCurrentRecordingID = 0;
    // Tried again by the rotation check within seconds, not only at the next
    // boundary: a full disk or a missing mount that comes back must not cost
    // the rest of the hour.
    fRestartPending = true;
    return;
  }
  fLevels.Peaks().Replace(CreatePeaksWriter(full, [this](const std::string& m) { DoLogMessage(m); }),
                          fEffectiveSamplerate);
  fRecordStartTickCount = Clock().TickCount();
  fRecordStartPos = GetStreamPosition();
  fLastQueueDropped = 0;
  fQueueOverrun = false;
  fQueueFullSince = 0;
  DoLogMessage(fmt::format("Encoding to file {}", full));
  ReportError(ekFile, "");
  fCurrentFilename.Set(full);
  fCurrentRelativeName = relative;
  EnterCurrentRecording(relative);
  MarkLoudnessBegin();
  AddCueSheetFileLine(full);
}

void TSlotInfo::EnterCurrentRecording(const std::string& iRelativeName) {
  // A database that cannot be opened must not stop the recording, nor leave
  // the rotation half done: the file goes on without a row for now, which the
  // rotation check enters a few seconds later or the file's end does.
  fCurrentStartTime = Clock().Now();
  fCurrentRecordingID = 0;
  const uint64_t tick = Clock().TickCount();
  try {
    std::shared_ptr<ISQLConnection> connection = GetDatabaseConnection();
    fCurrentRecordingID = InsertRecordingRow(*connection, fCurrentStartTime, iRelativeName);
    fRowWriter.Succeeded();
  } catch (const std::exception& e) {
    fRowWriter.Failed(e, tick, [this](const std::string& m) { DoLogMessage(m); });
  }
}

void TSlotInfo::RetryCurrentRecordingRow(uint64_t iTick) {
  if (!fEncoder || fCurrentRecordingID != 0 || fCurrentRelativeName.empty() || !fRowWriter.RetryDue(iTick)) return;
  try {
    std::shared_ptr<ISQLConnection> connection = GetDatabaseConnection();
    fCurrentRecordingID = InsertRecordingRow(*connection, fCurrentStartTime, fCurrentRelativeName);
    fRowWriter.Succeeded();
  } catch (const std::exception& e) {
    fRowWriter.Failed(e, iTick, [this](const std::string& m) { DoLogMessage(m); });
  }
}

void TSlotInfo::AddCueSheetFileLine(const std::string& iFullName) {
  fCueSheetData.push_back(CueSheetFileLine(iFullName));
}

void TSlotInfo::CloseRecording(bool iKeepEncoder) {
  std::lock_guard<std::recursive_mutex> lock(fCS);
  const DWORD encoder = fEncoder;
  const auto log = [this](const std::string& m) { DoLogMessage(m); };
  const auto connect = [this] { return GetDatabaseConnection(); };
  if (encoder) {
    MarkLoudnessEnd();
    TEndedFile ended;
    ended.fID = fCurrentRecordingID;
    ended.fRelativeName = fCurrentRelativeName;
    ended.fFullName = fCurrentFilename.Get();
    ended.fStartTime = fCurrentStartTime;
    ended.fOutcome = fEncoderOutcome;
    // The encoder gets the mixer's two channels, as 16-bit samples except for
    // 32-bit WAV, which keeps the float samples.
    ended.fBytesPerSecond = static_cast<double>(fEffectiveSamplerate) * 2 * (fAudioFormat == sfWAV32 ? 4 : 2);
    ended.fFedSeconds = static_cast<double>(GetStreamPosition() - fRecordStartPos.load()) /
                        (static_cast<double>(fEffectiveSamplerate) * 2 * 4);
    ended.fEndTick = Clock().TickCount();
    if (!iKeepEncoder) {
      BASS_Encode_Stop(encoder);
      fLevels.Peaks().Replace(nullptr, 0);
      fEncoder = 0;
      fCurrentFilename.Set("");
      fCurrentRelativeName.clear();
    }
    fEncoderOutcome.reset();
    // Its length is stored once the encoder has finished the file (at once
    // for one that had died already).
    if (!ended.fRelativeName.empty()) fRowWriter.Close(std::move(ended));
    fCueSheetData.clear();
    fCueSheetTrackCounter = 0;
  }
  fCurrentRecordingID = 0;
  if (fDeleting)
    fRowWriter.Drain(kShutdownRowWait, Clock().TickCount(), connect, log);
  else
    fRowWriter.Process(Clock().TickCount(), connect, log);
}
