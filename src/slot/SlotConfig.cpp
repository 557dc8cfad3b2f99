// Creation of a slot from its settings-file section, and writing it back.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "shell/IniFile.h"
#include "shell/StartupValues.h"
#include "shell/VantorelGlobals.h"
#include "slot/SlotDatabase.h"
#include "slot/SlotInfo.h"
#include "slot/SlotRotation.h"
#include "support/SimpleThread.h"

namespace {
const char* const kGeneral = "General";
constexpr int32_t kDefaultSampleRate = 44100;

void InitializeSlotUnitOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Every processing callback sees 32-bit float samples; playlist URLs are
    // followed to their first entry. AAC is decoded by the engine itself.
    BASS_SetConfig(BASS_CONFIG_FLOATDSP, 1);
    BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 1);
  });
}
}  // namespace

TSlotInfo::TSlotInfo(TIniFile& iIniFile, bool iAlarmOnly, int iIndex, std::shared_ptr<ISlotClock> iClock)
    : fIniFile(iIniFile),
      fIndex(iIndex),
      fAlarmOnly(iAlarmOnly),
      fClock(iClock ? std::move(iClock) : SystemSlotClock()),
      fLevels([clock = fClock.get()] { return clock->TickCount(); }) {
  InitializeSlotUnitOnce();
  ReadConfig();
  fFileHook = std::make_unique<TSlotFileHook>([this](const std::string& m) { DoLogMessage(m); });
  fRowWriter.SetOnRowWritten([this](const TEndedFile& iFile, double iSeconds) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(iFile.fFullName, ec);
    if (!ec) fBytesWritten.fetch_add(size);
    fFilesWritten.fetch_add(1);
    const std::string command = fOnFileClosed.Get();
    if (command.empty()) return;
    fFileHook->Run(command, TClosedFile{iFile.fFullName, iSeconds, fName.Get(), iFile.fID},
                   std::chrono::seconds(std::max(1, fOnFileClosedTimeout.load())));
  });
}

void TSlotInfo::ReadConfig() {
  const std::string s = SlotSectionName(fIndex);
  TIniFile& ini = fIniFile;

  fClockSource.Set(ini.ReadString(s, "ClockSource", ini.ReadString(kGeneral, "DefaultClockSource", "")));
  fSampleRate = ini.ReadInteger(s, "Samplerate", kDefaultSampleRate);
  // A rate of 0 or less can build no mixer, and a slot that records nothing
  // is worse than one at the usual rate: it records at the default, and says
  // so. The key keeps its value, so the warning comes at every start until
  // someone corrects it.
  fEffectiveSamplerate = fSampleRate > 0 ? fSampleRate.load() : kDefaultSampleRate;
  if (fSampleRate <= 0)
    fConfigWarnings.push_back(
        fmt::format("Invalid sample rate {}: recording at {} Hz", fSampleRate.load(), kDefaultSampleRate));

  const std::string name = ini.ReadString(s, "Name", fmt::format("Slot {}", fIndex + 1));
  fName.Set(name);
  fDescription.Set(ini.ReadString(s, "Description", ""));
  fEnabled = ini.ReadSwitch(s, "Enabled", true);
  fRecordSource = TextToRecordSource(ini.ReadString(s, "Source", ""));
  fRecordChannels = TextToRecordChannels(ini.ReadString(s, "Channels", ""));
  fDevice.Set(ini.ReadString(s, "Device", ""));
  fRecord16Bit = ini.ReadSwitch(s, "16bit", false);
  fASIOWorkaround = ini.ReadSwitch(s, "ASIOWorkaround", false);
  fNominalLevel = static_cast<int16_t>(ini.ReadInteger(s, "NominalLevel", 0));
  fStreamURL.Set(ini.ReadString(s, "StreamURL", ""));
  fRecordDelay = ini.ReadInteger(s, "RecordDelay", 0);
  fExtraSleep = ini.ReadInteger(s, "ExtraSleep", 0);

  // An alarm-only slot never records, whatever its section says.
  fAudioFormat = fAlarmOnly ? sfNone : TextToAudioFormat(ini.ReadString(s, "Format", "mp3"));

  fFileExtension.Set(ini.ReadString(s, "FileExtension", ""));
  const std::string folder =
      ini.ReadString(s, "Folder", GetSpecialFolder(spfMyMusic) + "/" + fmt::format("Vantorel/{}", name));
  fFolder.Set(folder);
  fSecondaryFolder.Set(ini.ReadString(s, "SecondaryFolder", ""));
  fDatabaseFile.Set(ini.ReadString(s, "DatabaseFile", ""));
  fDatabaseFolder.Set(ini.ReadString(kGeneral, "DatabaseFolder", ""));
  fFilenamePrefix.Set(ini.ReadString(s, "FilenamePrefix", ""));
  fCustomFilename.Set(ini.ReadString(s, "CustomFilename", ""));
  fFlatFilenames = ini.ReadSwitch(s, "FlatFilenames", false);
  fNoAutoRotate = ini.ReadSwitch(s, "NoAutoRotate", false);

  fTimeSlotLength = ini.ReadInteger(s, "TimeSlotLength", ini.ReadInteger(kGeneral, "TimeSlotLength", 60));
  if (const int32_t used = EffectiveTimeSlotLength(fTimeSlotLength); used != fTimeSlotLength)
    fConfigWarnings.push_back(fmt::format("Invalid time slot length {} minutes: files are cut every {} minute{}",
                                          fTimeSlotLength.load(), used, used == 1 ? "" : "s"));
  fTimeSlotAlign = ini.ReadSwitch(s, "TimeSlotAlign", true);
  fTimeSlotOffset = ini.ReadInteger(s, "TimeSlotOffset", ini.ReadInteger(kGeneral, "TimeSlotOffset", 0));
  fCueSheet = ini.ReadSwitch(s, "CueSheet", false);
  fBitrate = ini.ReadInteger(s, "Bitrate", 128);
  fMode = TextToMode(ini.ReadString(s, "Mode", "stereo"));
  fEncoderOptions.Set(ini.ReadString(s, "EncoderOptions", ""));
  fEncoderFilename.Set(ini.ReadString(s, "EncoderFilename", ""));
  fEncoderQueueLength = ini.ReadInteger(s, "EncoderQueueLength", 6000);

  fCleanupDaysEnabled = ini.ReadSwitch(s, "CleanupDaysEnabled", true);
  fCleanupDays = ini.ReadInteger(s, "CleanupDays", 365);
  fCleanupSpaceEnabled = ini.ReadSwitch(s, "CleanupSpaceEnabled", true);
  fCleanupSpace = ini.ReadInteger(s, "CleanupSpace", 5);
  SetSilenceThreshold(ini.ReadInteger(s, "SilenceThreshold", -30));
  fSilenceDection = ini.ReadInteger(s, "SilenceDetection", 0);
  fSilenceDetectionIfInactive = ini.ReadSwitch(s, "SilenceDetectionIfInactive", false);

  fStreamingEnabled = ini.ReadSwitch(s, "StreamingEnabled", false);
  fStreamingOnly = ini.ReadSwitch(s, "StreamingOnly", false);
  fStreamingHost.Set(ini.ReadString(s, "StreamingHost", ""));
  fStreamingServerMode = ini.ReadSwitch(s, "StreamingServerMode", false);
  fStreamingPort = ini.ReadInteger(s, "StreamingPort", 8000);
  fStreamingMountPoint.Set(ini.ReadString(s, "StreamingMountPoint", ""));
  fStreamingStreamID.Set(ini.ReadString(s, "StreamingStreamID", ""));
  fStreamingPassword.Set(ini.ReadString(s, "StreamingPassword", ""));
  fStreamingMimeType.Set(ini.ReadString(s, "StreamingMimeType", ""));
  fStreamingTitle.Set(ini.ReadString(s, "StreamingTitle", ""));
  fStreamingURL.Set(ini.ReadString(s, "StreamingURL", ""));
  fStreamingGenre.Set(ini.ReadString(s, "StreamingGenre", ""));
  fStreamingAIM.Set(ini.ReadString(s, "StreamingAIM", ""));
  fStreamingIRC.Set(ini.ReadString(s, "StreamingIRC", ""));
  fStreamingICQ.Set(ini.ReadString(s, "StreamingICQ", ""));
  fStreamingDescription.Set(ini.ReadString(s, "StreamingDescription", ""));
  fStreamingPublic = ini.ReadSwitch(s, "StreamingPublic", false);
  fStreamingForwardMetadata = ini.ReadSwitch(s, "StreamingForwardMetadata", false);
  fStreamingCurrentTitleFilename.Set(
      ini.ReadString(s, "StreamingTitleFilename", SlotFolderWithSeparator(folder) + "streamtitle.txt"));
  fStreamingConnectDelay =
      ini.ReadInteger(s, "StreamingConnectDelay", ini.ReadInteger(kGeneral, "StreamingConnectDelay", 0));

  fSendEmailSilenceDetected = ini.ReadSwitch(s, "SendEmailSilenceDetected", false);
  fSendEmailSilenceOK = ini.ReadSwitch(s, "SendEmailSilenceOK", false);
  fHTTPAlarmSilenceDetected.Set(ini.ReadString(s, "HTTPAlarmSilenceDetected", ""));
  fHTTPAlarmSilenceOK.Set(ini.ReadString(s, "HTTPAlarmSilenceOK", ""));
  fWinampPlugin.Set(ini.ReadString(s, "WinampPlugin", ""));
  fWinampPluginStreamOnly = ini.ReadSwitch(s, "WinampPluginStreamOnly", false);
  fWinampPluginParameters.Set(ini.ReadString(s, "WinampPluginParameters", ""));
  fOnFileClosed.Set(ini.ReadString(s, "OnFileClosed", ""));
  fOnFileClosedTimeout = ini.ReadInteger(s, "OnFileClosedTimeout", 600);
}

void TSlotInfo::FlushConfig() {
  const std::string s = SlotSectionName(fIndex);
  TIniFile& ini = fIniFile;
  // One batch, so the file is rewritten once and never seen half written.
  TIniUpdate update(ini);
  ini.WriteSwitch(s, "Enabled", fEnabled);
  ini.WriteString(s, "Name", fName.Get());
  ini.WriteString(s, "Description", fDescription.Get());
  ini.WriteString(s, "Folder", fFolder.Get());
  ini.WriteString(s, "SecondaryFolder", fSecondaryFolder.Get());
  ini.WriteSwitch(s, "FlatFilenames", fFlatFilenames);
  ini.WriteSwitch(s, "NoAutoRotate", fNoAutoRotate);
  ini.WriteInteger(s, "TimeSlotLength", fTimeSlotLength);
  ini.WriteSwitch(s, "TimeSlotAlign", fTimeSlotAlign);
  ini.WriteInteger(s, "TimeSlotOffset", fTimeSlotOffset);
  ini.WriteSwitch(s, "CueSheet", fCueSheet);
  ini.WriteString(s, "Source", RecordSourceToText(fRecordSource));
  ini.WriteString(s, "Channels", RecordChannelsToText(fRecordChannels));
  ini.WriteString(s, "Device", fDevice.Get());
  ini.WriteSwitch(s, "16bit", fRecord16Bit);
  ini.WriteInteger(s, "NominalLevel", fNominalLevel);
  ini.WriteString(s, "StreamURL", fStreamURL.Get());
  ini.WriteInteger(s, "RecordDelay", fRecordDelay);
  ini.WriteString(s, "Format", AudioFormatToText(fAudioFormat));
  ini.WriteString(s, "DatabaseFile", fDatabaseFile.Get());
  ini.WriteString(s, "FilenamePrefix", fFilenamePrefix.Get());
  ini.WriteString(s, "CustomFilename", fCustomFilename.Get());
  ini.WriteString(s, "FileExtension", fFileExtension.Get());
  ini.WriteInteger(s, "Bitrate", fBitrate);
  ini.WriteInteger(s, "Samplerate", fSampleRate);
  ini.WriteString(s, "Mode", ModeToText(fMode));
  ini.WriteString(s, "EncoderOptions", fEncoderOptions.Get());
  ini.WriteString(s, "EncoderFilename", fEncoderFilename.Get());
  ini.WriteSwitch(s, "CleanupDaysEnabled", fCleanupDaysEnabled);
  ini.WriteSwitch(s, "CleanupSpaceEnabled", fCleanupSpaceEnabled);
  ini.WriteInteger(s, "CleanupDays", fCleanupDays);
  ini.WriteInteger(s, "CleanupSpace", fCleanupSpace);
  ini.WriteInteger(s, "SilenceThreshold", fLevels.GetSilenceThreshold());
  ini.WriteInteger(s, "SilenceDetection", fSilenceDection);
  ini.WriteSwitch(s, "SilenceDetectionIfInactive", fSilenceDetectionIfInactive);
  ini.WriteSwitch(s, "StreamingEnabled", fStreamingEnabled);
  ini.WriteSwitch(s, "StreamingOnly", fStreamingOnly);
  ini.WriteString(s, "StreamingHost", fStreamingHost.Get());
  ini.WriteSwitch(s, "StreamingServerMode", fStreamingServerMode);
  ini.WriteInteger(s, "StreamingPort", fStreamingPort);
  ini.WriteString(s, "StreamingMountPoint", fStreamingMountPoint.Get());
  ini.WriteString(s, "StreamingStreamID", fStreamingStreamID.Get());
  ini.WriteString(s, "StreamingPassword", fStreamingPassword.Get());
  ini.WriteString(s, "StreamingMimeType", fStreamingMimeType.Get());
  ini.WriteString(s, "StreamingTitle", fStreamingTitle.Get());
  ini.WriteString(s, "StreamingURL", fStreamingURL.Get());
  ini.WriteString(s, "StreamingGenre", fStreamingGenre.Get());
  ini.WriteString(s, "StreamingAIM", fStreamingAIM.Get());
  ini.WriteString(s, "StreamingIRC", fStreamingIRC.Get());
  ini.WriteString(s, "StreamingICQ", fStreamingICQ.Get());
  ini.WriteString(s, "StreamingDescription", fStreamingDescription.Get());
  ini.WriteSwitch(s, "StreamingPublic", fStreamingPublic);
  ini.WriteSwitch(s, "StreamingForwardMetadata", fStreamingForwardMetadata);
  ini.WriteSwitch(s, "SendEmailSilenceDetected", fSendEmailSilenceDetected);
  ini.WriteSwitch(s, "SendEmailSilenceOK", fSendEmailSilenceOK);
  ini.WriteString(s, "HTTPAlarmSilenceDetected", fHTTPAlarmSilenceDetected.Get());
  ini.WriteString(s, "HTTPAlarmSilenceOK", fHTTPAlarmSilenceOK.Get());
  ini.WriteString(s, "WinampPlugin", fWinampPlugin.Get());
  ini.WriteSwitch(s, "WinampPluginStreamOnly", fWinampPluginStreamOnly);
  ini.WriteString(s, "WinampPluginParameters", fWinampPluginParameters.Get());
  // The file-closed command is written only where a slot has one, so the
  // sections of slots without it stay as they were.
  if (const std::string command = fOnFileClosed.Get(); !command.empty())
    ini.WriteString(s, "OnFileClosed", command);
  else
    ini.DeleteKey(s, "OnFileClosed");
  update.Commit();  // on disk now, or with the enclosing batch
}

void TSlotInfo::SetEnabled(bool iValue) {
  std::lock_guard<std::recursive_mutex> lock(fCS);
  if (fEnabled == iValue) return;
  fEnabled = iValue;
  CycleEncoder();
}

void TSlotInfo::SetRecordChannels(TRecordChannels iValue) {
  fRecordChannels = iValue;
  ApplyRecordChannels();
}

void TSlotInfo::SetSilenceThreshold(int32_t iDecibel) { fLevels.SetSilenceThreshold(iDecibel); }

TLogMessageEvent TSlotInfo::OnLogMessage() const {
  std::lock_guard<std::mutex> lock(fLogLock);
  return fOnLogMessage;
}

void TSlotInfo::SetOnLogMessage(TLogMessageEvent iEvent) {
  // What creation refused is told to the first listener: the settings are
  // read before anyone listens.
  std::vector<std::string> warnings;
  {
    std::lock_guard<std::mutex> lock(fLogLock);
    fOnLogMessage = std::move(iEvent);
    if (fOnLogMessage) warnings.swap(fConfigWarnings);
  }
  for (const std::string& warning : warnings) DoLogMessage(warning);
}
