#include "web/ControllerWebHost.h"

#include <algorithm>

#include "controller/LoggerMain.h"
#include "shell/VantorelGlobals.h"
#include "slot/SlotInfo.h"

namespace {
TWebRecordSource WebRecordSource(TRecordSource iSource) {
  switch (iSource) {
    case rsSoundcard: return wrsSoundcard;
    case rsStream: return wrsStream;
    default: return wrsDisabled;
  }
}

TWebStreamingStatus WebStreamingStatus(TStreamingStatus iStatus) {
  switch (iStatus) {
    case ssConnecting: return wssConnecting;
    case ssConnected: return wssConnected;
    case ssError: return wssError;
    default: return wssDisabled;
  }
}
}  // namespace

TControllerWebHost::TControllerWebHost(TLoggerMain& iController)
    : fController(iController), fControllerThread(std::this_thread::get_id()) {}

int TControllerWebHost::SlotCount() const { return fController.SlotCount(); }

TWebSlotSnapshot TControllerWebHost::Slot(int iIndex) const {
  const TSlotInfo& slot = fController.Slot(iIndex);  // throws std::out_of_range
  TWebSlotSnapshot s;
  s.Index = iIndex;
  s.Name = slot.Name();
  s.Description = slot.Description();
  s.Enabled = slot.Enabled();
  s.AlarmOnly = slot.AlarmOnly();
  s.RecordSource = WebRecordSource(slot.RecordSource());
  s.InputDeviceName = slot.CurrentDeviceName();
  s.HasInputDevice = slot.CurrentDeviceInfo() != nullptr;
  s.StreamURL = slot.StreamURL();
  s.Recording = slot.Recording();
  s.ErrorMessage = slot.ErrorMessage();
  s.StreamingMessage = slot.StreamingMessage();
  s.LevelLeft = slot.LevelLeft();
  s.LevelRight = slot.LevelRight();
  s.CurrentStreamTitle = slot.CurrentStreamTitle();
  s.StreamingEnabled = slot.StreamingEnabled();
  s.StreamingStatus = WebStreamingStatus(slot.StreamingStatus());
  s.StreamingActiveSince = slot.StreamingActiveSince();
  s.Folder = slot.Folder();
  s.SecondaryFolder = slot.SecondaryFolder();
  s.DatabasePath = slot.DatabasePath();
  s.CurrentRecordingID = slot.CurrentRecordingID();
  s.CurrentRecordingDuration = s.CurrentRecordingID != 0 ? slot.GetCurrentRecordingDuration() : 0.0f;
  s.RecordingSeconds = s.Recording ? slot.GetCurrentRecordingDuration() : 0.0;
  s.LastOverSilenceTickCount = slot.GetLastOverSilenceTickCount();
  s.LastMetadataTickCount = slot.GetLastMetadataTickCount();
  s.SilenceDetected = slot.SilenceDetected();
  s.StreamListeners = slot.StreamListeners();
  if (const DWORD encoder = slot.Encoder()) {
    const QWORD queued = BASS_Encode_GetCount(encoder, BASS_ENCODE_COUNT_QUEUE);
    const QWORD limit = BASS_Encode_GetCount(encoder, BASS_ENCODE_COUNT_QUEUE_LIMIT);
    if (queued != static_cast<QWORD>(-1) && limit != static_cast<QWORD>(-1) && limit > 0)
      s.EncoderQueueFill = std::min(1.0, static_cast<double>(queued) / static_cast<double>(limit));
  }
  s.CaptureDroppedFrames = slot.CaptureDroppedFrames();
  s.QueueDroppedFrames = slot.QueueDroppedFrames();
  s.FilesWritten = slot.FilesWritten();
  s.BytesWritten = slot.BytesWritten();
  s.DatabaseFailing = slot.DatabaseFailing();
  s.LoudnessMomentary = slot.LoudnessMomentary();
  s.LoudnessShortTerm = slot.LoudnessShortTerm();
  // The clock last: read before the slot's values it could be earlier than
  // one of them, and the unsigned difference would wrap.
  s.NowTickCount = TickCount64();
  return s;
}

void TControllerWebHost::PostStartSlot(int iIndex) { fController.PostStartSlot(iIndex); }

void TControllerWebHost::PostStopSlot(int iIndex) { fController.PostStopSlot(iIndex); }

void TControllerWebHost::LogMessage(const std::string& iMessage) { fController.LogMessage(this, iMessage); }

void TControllerWebHost::LogWebServerMessage(const std::string& iMessage) {
  if (std::this_thread::get_id() == fControllerThread) {
    fController.LogWebServerMessage(iMessage);
    return;
  }
  TLoggerMain* controller = &fController;
  fController.PostToMainThread([controller, iMessage] { controller->LogWebServerMessage(iMessage); });
}

TWebServerConfig WebServerConfigFromSettings(const TWebServerSettings& iSettings) {
  TWebServerConfig config;
  config.Port = iSettings.Port;
  config.AdminUser = iSettings.AdminUser;
  config.AdminPasswordHash = iSettings.AdminPasswordHash;
  config.ReadOnlyUser = iSettings.ReadOnlyUser;
  config.ReadOnlyPasswordHash = iSettings.ReadOnlyPasswordHash;
  config.AnonymousAccess = AccessLevelFromSettingText(iSettings.AnonymousAccess);
  return config;
}

TControllerWebServer::TControllerWebServer(TLoggerMain& iController)
    : fController(iController),
      fHost(std::make_unique<TControllerWebHost>(iController)),
      fServer(std::make_unique<TWebServer>(*fHost)) {
  fServer->SetStopWait(fController.MainThreadWaitHook());
  TWebServer* server = fServer.get();
  TWebServerHooks hooks;
  hooks.Start = [server](const TWebServerSettings& iSettings) { server->Start(WebServerConfigFromSettings(iSettings)); };
  hooks.Stop = [server] { server->Stop(); };
  hooks.IsRunning = [server] { return server->IsRunning(); };
  fController.SetWebServerHooks(std::move(hooks));
}

TControllerWebServer::~TControllerWebServer() {
  fServer->Stop();
  fController.SetWebServerHooks({});
}
