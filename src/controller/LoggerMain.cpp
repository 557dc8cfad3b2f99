#include "controller/LoggerMain.h"

#include <fmt/format.h>

#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <strings.h>

#include "alarms/SSLEmail.h"
#include "audio/AudioDevices.h"
#include "audio/engine/Engine.h"
#include "controller/CleanupPass.h"
#include "controller/EmailAlarms.h"
#include "controller/EnginePlugins.h"
#include "controller/HTTPAlarms.h"
#include "controller/InputWatch.h"
#include "controller/SilenceAlarm.h"
#include "shell/IniFile.h"
#include "shell/VantorelGlobals.h"
#include "slot/SlotInfo.h"

namespace {
const char* const kGeneral = "General";
const char* const kWebserver = "Webserver";

constexpr size_t kWebServerLogLines = 1000;
// Retries of a web server that failed to start at first show (milliseconds).
constexpr uint64_t kWebServerFirstRetry = 10000;
constexpr uint64_t kWebServerLastRetry = 600000;

std::string AnonymousAccessText(const std::string& iStored) {
  if (iStored == "Admin" || iStored == "ReadOnly") return iStored;
  return "none";
}

void PrintLine(const std::string& iLine) {
  std::fwrite(iLine.data(), 1, iLine.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
}  // namespace

TLoggerMain::TLoggerMain(TIniFile& iIniFile, const TStartupValues& iStartupValues, TLoggerMainOptions iOptions)
    : fIniFile(iIniFile),
      fStartupValues(iStartupValues),
      fOptions(std::move(iOptions)),
      fMainThread(std::this_thread::get_id()),
      fMessageLog(999) {
  fContext = std::make_unique<QObject>();
  {
    std::lock_guard<std::mutex> lock(fPostLock);
    fPostTarget = fContext.get();
  }
  fMessageLog.SetPoster([this](TMessageLog::TTask iTask) { PostToMainThread(std::move(iTask)); });
  if (fOptions.LogToStdout) fMessageLog.SetLineSink(&PrintLine);
  fMessageLog.SetOnLinesAdded([this] { LogLinesAdded(); });
  for (const auto& line : fOptions.StartupMessages) LogMessage(nullptr, line);

  fFullSlotCount = std::clamp(fStartupValues.FullSlotCount, 0, kMaxSlotCount);
  fAlarmSlotCount = std::clamp(fStartupValues.AlarmSlotCount, 0, kMaxSlotCount);
  if (fFullSlotCount + fAlarmSlotCount < 1) fFullSlotCount = 1;
  fSlotCount = fFullSlotCount + fAlarmSlotCount;

  if (fOptions.InitializeEngine) {
    // Device 0 is the engine's no-sound device; it only provides the timing
    // base. Failures show up in the slots' own errors.
    BASS_Init(0, 44100, 0, nullptr, nullptr);
    BASS_Start();
    LoadEnginePlugins(fOptions.PluginFolder.empty() ? DefaultEnginePluginFolder() : fOptions.PluginFolder,
                      [this](const std::string& iText) { LogMessage(this, iText); });
  }

  CreateSlots();
  ReadGlobalConfig();
  try {
    fASIOChannelBundles = AudioDevices().ChannelBundles();
  } catch (const std::logic_error&) {
    // no device catalogue in this process: no ASIO pages
  }

  if (!fOptions.QueueHTTPAlarm) {
    fHTTPAlarms = std::make_unique<THTTPAlarms>([this](const std::string& iText) { LogMessage(this, iText); },
                                                [this](std::function<void()> iTask) { PostToMainThread(std::move(iTask)); });
  }

  fInputWatch = std::make_unique<TInputWatch>([this](std::function<void()> iTask) { PostToMainThread(std::move(iTask)); },
                                              [this](const TInputScan& iScan) { InputsScanned(iScan); });
  fEmailAlarms = std::make_unique<TEmailAlarms>([this](const std::string& iText) { LogMessage(this, iText); },
                                                [this](std::function<void()> iTask) { PostToMainThread(std::move(iTask)); });

  auto makeTimer = [this](int iInterval, void (TLoggerMain::*iHandler)()) {
    auto* timer = new QTimer(fContext.get());  // owned by the context
    timer->setInterval(iInterval);
    timer->callOnTimeout(fContext.get(), [this, iHandler] { (this->*iHandler)(); });
    return timer;
  };
  timTimer = makeTimer(100, &TLoggerMain::timTimerTimer);
  timSilenceDetection = makeTimer(100, &TLoggerMain::timSilenceDetectionTimer);
  timCleanup = makeTimer(1000, &TLoggerMain::timCleanupTimer);
  timStreamTitle = makeTimer(1000, &TLoggerMain::timStreamTitleTimer);
  timStreamTitle->start();
  timTimer->start();
  timSilenceDetection->start();
}

TLoggerMain::~TLoggerMain() {
  // A window that showed the controller may be gone already.
  fOnLogChanged = nullptr;
  fOnSlotStateChanged = nullptr;
  fOnTimerTick = nullptr;
  fWriteWindowPosition = nullptr;
  timTimer->stop();
  timSilenceDetection->stop();
  timCleanup->stop();
  timStreamTitle->stop();
  fHTTPAlarms.reset();
  fEmailAlarms.reset();  // bounded: a stalled mail server is given up on
  fInputWatch.reset();
  {
    // The event loop no longer runs: threads that log while their slot shuts
    // down take their own lines.
    TMessageLog::TBlockedScope blocked(fMessageLog);
    fMessageLog.Close();
    TIniUpdate batch(fIniFile);  // every slot's section in one write of the file
    // Every file ends first, so that the encoders finish side by side; each
    // slot then only waits for its own, long finished, to enter its row.
    for (auto& slot : fSlotInfo) {
      try {
        if (slot) slot->CloseRecording(false);
      } catch (const std::exception& e) {
        LogMessage(this, e.what());
      }
    }
    for (auto& slot : fSlotInfo) {
      try {
        slot.reset();
      } catch (const std::exception& e) {
        LogMessage(this, e.what());
      }
    }
    try {
      batch.Commit();
    } catch (const std::exception& e) {
      LogMessage(this, e.what());
    }
  }
  {
    std::lock_guard<std::mutex> lock(fPostLock);
    fPostTarget = nullptr;
  }
  fContext.reset();
}

void TLoggerMain::CreateSlots() {
  TMessageLog::TBlockedScope blocked(fMessageLog);
  fSlotInfo.reserve(fSlotCount);
  for (int i = 0; i < fSlotCount; ++i) {
    const bool alarmOnly = i >= fFullSlotCount;
    std::unique_ptr<TSlotInfo> slot = fOptions.CreateSlot ? fOptions.CreateSlot(fIniFile, alarmOnly, i)
                                                          : std::make_unique<TSlotInfo>(fIniFile, alarmOnly, i);
    slot->SetOnLogMessage([this](const void* iSender, const std::string& iMessage) { LogMessage(iSender, iMessage); });
    TSlotInfo& s = *slot;
    fSlotInfo.push_back(std::move(slot));
    try {
      s.Initialize();
      s.StartRecording();
    } catch (const std::exception& e) {
      LogMessage(this, fmt::format("{}: {}", s.Name(), e.what()));
    }
  }
}

void TLoggerMain::ReadGlobalConfig() {
  const TIniFile& ini = fIniFile;
  fColumnCount = ini.ReadInteger(kGeneral, "ColumnCount", 1);
  fVerticalAutoSize = ini.ReadBool(kGeneral, "VerticalAutoSize", false);
  fWebServerSettings.Port = ini.ReadString(kWebserver, "Port", "5252");
  fWebServerSettings.AdminUser = ini.ReadString(kWebserver, "AdminUser", "");
  fWebServerSettings.AdminPasswordHash = ini.ReadString(kWebserver, "AdminPassword", "");
  fWebServerSettings.ReadOnlyUser = ini.ReadString(kWebserver, "ReadOnlyUser", "");
  fWebServerSettings.ReadOnlyPasswordHash = ini.ReadString(kWebserver, "ReadOnlyPassword", "");
  fWebServerSettings.AnonymousAccess = AnonymousAccessText(ini.ReadString(kWebserver, "AnonymousAccess", ""));
  fEmailSettings = ReadEmailSettings(ini);
}

int TLoggerMain::SlotCount() const { return fSlotCount; }

TSlotInfo& TLoggerMain::Slot(int iIndex) {
  if (static_cast<unsigned>(iIndex) >= fSlotInfo.size()) throw std::out_of_range(fmt::format("No slot {}", iIndex));
  return *fSlotInfo[iIndex];
}

const TSlotInfo& TLoggerMain::Slot(int iIndex) const {
  if (static_cast<unsigned>(iIndex) >= fSlotInfo.size()) throw std::out_of_range(fmt::format("No slot {}", iIndex));
  return *fSlotInfo[iIndex];
}

void TLoggerMain::PostToMainThread(std::function<void()> iTask) {
  std::lock_guard<std::mutex> lock(fPostLock);
  if (!fPostTarget) return;  // shutting down: nobody would run it
  QMetaObject::invokeMethod(fPostTarget, std::move(iTask), Qt::QueuedConnection);
}

void TLoggerMain::PostStartSlot(int iIndex) {
  PostToMainThread([this, iIndex] { SetSlotEnabled(iIndex, true); });
}

void TLoggerMain::PostStopSlot(int iIndex) {
  PostToMainThread([this, iIndex] { SetSlotEnabled(iIndex, false); });
}

void TLoggerMain::SetSlotEnabled(int iIndex, bool iEnabled) {
  if (static_cast<unsigned>(iIndex) >= static_cast<unsigned>(fSlotInfo.size())) return;
  {
    TMessageLog::TBlockedScope blocked(fMessageLog);
    try {
      fSlotInfo[iIndex]->SetEnabled(iEnabled);
    } catch (const std::exception& e) {
      LogMessage(this, fmt::format("{}: {}", fSlotInfo[iIndex]->Name(), e.what()));
    }
  }
  if (fOnSlotStateChanged) fOnSlotStateChanged(iIndex);
}

void TLoggerMain::LogMessage(const void* Sender, const std::string& iMessage) { fMessageLog.Add(iMessage); }

void TLoggerMain::LogWebServerMessage(const std::string& iMessage) {
  std::string line = FormatLogLine(std::time(nullptr), iMessage);
  if (fOptions.LogToStdout) PrintLine(line);
  fWebServerLog.push_back(std::move(line));
  while (fWebServerLog.size() > kWebServerLogLines) fWebServerLog.pop_front();
  LogLinesAdded();
}

void TLoggerMain::LogLinesAdded() {
  if (fOnLogChanged) fOnLogChanged();
}

bool TLoggerMain::WaitServingLog(const std::function<bool()>& iDone, int iTimeoutMs) {
  return fMessageLog.WaitServing(iDone, iTimeoutMs);
}

std::function<bool(const std::function<bool()>&, int)> TLoggerMain::MainThreadWaitHook() {
  return [this](const std::function<bool()>& iDone, int iTimeoutMs) { return WaitServingLog(iDone, iTimeoutMs); };
}

std::vector<std::string> TLoggerMain::MessageLogLines() const { return fMessageLog.Lines(); }

std::vector<std::string> TLoggerMain::WebServerLogLines() const { return {fWebServerLog.begin(), fWebServerLog.end()}; }

void TLoggerMain::SetOnLogChanged(std::function<void()> iTask) { fOnLogChanged = std::move(iTask); }
void TLoggerMain::SetOnSlotStateChanged(std::function<void(int)> iTask) { fOnSlotStateChanged = std::move(iTask); }
void TLoggerMain::SetOnTimerTick(std::function<void()> iTask) { fOnTimerTick = std::move(iTask); }

// ---------------------------------------------------------------- timers

void TLoggerMain::timTimerTimer() {
  if (fOnTimerTick) fOnTimerTick();
  TMessageLog::TBlockedScope blocked(fMessageLog);
  for (auto& slot : fSlotInfo) {
    try {
      // QTimer::start restarts a running timer: a slot that rotates on every
      // tick (not aligned and writing no file) would keep it from ever firing.
      if (slot->RotationCheck() && !timCleanup->isActive()) timCleanup->start();
    } catch (const std::exception& e) {
      LogMessage(this, fmt::format("{}: {}", slot->Name(), e.what()));
    }
  }
  // Last in the tick: whatever hangs in it (a slot, a lock, the log) stops the
  // watchdog pings, and systemd restarts the program.
  const uint64_t now = TickCount64();
  fServiceNotifier.Tick(now);
  if (now - fServiceStatusTick >= TServiceNotifier::kPingMilliseconds) {
    fServiceStatusTick = now;
    fServiceNotifier.Status(ServiceStatus());
  }
}

std::string TLoggerMain::ServiceStatus() const {
  int recording = 0, inError = 0;
  for (const auto& slot : fSlotInfo) {
    recording += slot->Recording() ? 1 : 0;
    inError += slot->ErrorMessage().empty() ? 0 : 1;
  }
  return ServiceStatusText(recording, inError);
}

void TLoggerMain::NotifyServiceReady() { fServiceNotifier.Ready(ServiceStatus()); }

void TLoggerMain::timSilenceDetectionTimer() {
  std::vector<TSlotSilenceView> views;
  views.reserve(fSlotInfo.size());
  for (auto& slot : fSlotInfo) views.emplace_back(*slot);
  std::vector<ISilenceSlotView*> list;
  list.reserve(views.size());
  for (auto& view : views) list.push_back(&view);
  TSilenceAlarmActions actions;
  actions.LogMessage = [this](const std::string& iText) { LogMessage(this, iText); };
  actions.QueueHTTPAlarm = [this](const std::string& iURL) { QueueHTTPAlarm(iURL); };
  actions.SendAlarmEmail = [this](const std::string& iSubject) { SendAlarmEmail(iSubject); };
  ::timSilenceDetectionTimer(list, actions);
}

void TLoggerMain::QueueHTTPAlarm(const std::string& iURL) {
  if (fOptions.QueueHTTPAlarm) {
    if (!iURL.empty()) fOptions.QueueHTTPAlarm(iURL);
  } else if (fHTTPAlarms) {
    fHTTPAlarms->QueueHTTPAlarm(iURL);
  }
}

void TLoggerMain::SendAlarmEmail(const std::string& iSubject) {
  if (fOptions.SendAlarmEmail) {
    fOptions.SendAlarmEmail(iSubject);
    return;
  }
  // Never on this thread: a server that accepts and does not answer would hold
  // every slot's rotation for the whole SMTP time-out.
  fEmailAlarms->SendAlarmEmail(fEmailSettings, iSubject);
}

void TLoggerMain::SendTestEmail(const TEmailSettings& iSettings, std::function<void(bool, const std::string&)> iDone) {
  fEmailAlarms->SendTestEmail(iSettings, std::move(iDone));
}

void TLoggerMain::timCleanupTimer() {
  TMessageLog::TBlockedScope blocked(fMessageLog);
  TCleanupTargets targets;
  targets.Count = static_cast<int>(fSlotInfo.size());
  targets.Name = [this](int i) { return fSlotInfo[i]->Name(); };
  targets.CleanUpByAge = [this](int i) { return fSlotInfo[i]->CleanUpByAge(); };
  targets.CleanupBySpace = [this](int i) { return fSlotInfo[i]->CleanupBySpace(); };
  const bool again = RunCleanupPass(targets, [this](const std::string& iText) { LogMessage(this, iText); });
  if (!again) timCleanup->stop();
}

bool TLoggerMain::CleanupTimerActive() const { return timCleanup->isActive(); }

// Slots whose sound-card input is missing, or would not start, wait for it for
// the whole run: about once a second, while any slot waits, the inputs are
// looked for again off this thread (InputsScanned gets the result).
void TLoggerMain::CheckWaitingInputs() {
  if (!AudioDevicesBuilt()) return;  // no catalogue in this process
  bool waiting = false;
  bool asio = false;
  for (auto& slot : fSlotInfo) {
    const std::string id = slot->WaitingForInput();
    if (id.empty()) continue;
    waiting = true;
    asio = asio || strncasecmp(id.c_str(), "ASIO:", 5) == 0;
  }
  if (waiting) fInputWatch->Request(asio);
}

void TLoggerMain::InputsScanned(const TInputScan& iScan) {
  if (!AudioDevicesBuilt()) return;
  TMessageLog::TBlockedScope blocked(fMessageLog);
  TAudioDevices& devices = AudioDevices();
  for (const std::string& id : devices.AddNewInputs(iScan.fInputs)) LogMessage(this, "Input found: " + id);
  if (iScan.fASIOReachable && devices.ASIODevices().empty()) {
    for (const std::string& id : devices.AddASIODrivers(&fIniFile)) LogMessage(this, "Input found: " + id);
    // No driver before, so the settings page had nothing to change.
    fASIOChannelBundles = devices.ChannelBundles();
  }
  for (auto& slot : fSlotInfo) {
    const std::string id = slot->WaitingForInput();
    if (id.empty() || !iScan.Ready(id)) continue;
    try {
      slot->StartRecording();
    } catch (const std::exception& e) {
      LogMessage(this, fmt::format("{}: {}", slot->Name(), e.what()));
    }
  }
}

void TLoggerMain::timStreamTitleTimer() {
  RetryWebServerStart(TickCount64());
  CheckWaitingInputs();
  TMessageLog::TBlockedScope blocked(fMessageLog);
  for (auto& slot : fSlotInfo) {
    try {
      slot->UpdateOutgoingStreamTitle();
    } catch (const std::exception& e) {
      LogMessage(this, fmt::format("{}: {}", slot->Name(), e.what()));
    }
  }
}

// ---------------------------------------------------------------- web server

void TLoggerMain::SetWebServerHooks(TWebServerHooks iHooks) { fWebServer = std::move(iHooks); }

bool TLoggerMain::WebServerRunning() const { return fWebServer.IsRunning && fWebServer.IsRunning(); }

bool TLoggerMain::StartWebServer() {
  if (!fWebServer.Start) return false;
  fWebServerStartFailed = false;
  try {
    fWebServer.Start(fWebServerSettings);
  } catch (const std::exception&) {
    return false;  // the server has logged why
  }
  try {
    FlushGlobalConfig();
  } catch (const std::exception& e) {
    LogMessage(this, e.what());
  }
  return true;
}

void TLoggerMain::StopWebServer() {
  fWebServerStartFailed = false;
  if (!fWebServer.Stop || !WebServerRunning()) return;
  fWebServer.Stop();
  try {
    FlushGlobalConfig();
  } catch (const std::exception& e) {
    LogMessage(this, e.what());
  }
}

void TLoggerMain::AutoStartWebServer() {
  if (fIniFile.ReadString(kWebserver, "Enabled", "off") != "on") return;
  // A server that could not start now (its port still taken, say) must not
  // be switched off for good by the flushes of this run: on a headless
  // machine nobody could switch it on again.
  if (!StartWebServer() && fWebServer.Start) {
    fWebServerStartFailed = true;
    fWebServerRetryInterval = kWebServerFirstRetry;
    fWebServerRetryTick = TickCount64() + fWebServerRetryInterval;
  }
}

void TLoggerMain::RetryWebServerStart(uint64_t iTickCount) {
  if (!fWebServerStartFailed || iTickCount < fWebServerRetryTick) return;
  if (StartWebServer()) return;  // the server logs its start, or why it failed
  fWebServerStartFailed = true;
  fWebServerRetryInterval = std::min(fWebServerRetryInterval * 2, kWebServerLastRetry);
  fWebServerRetryTick = iTickCount + fWebServerRetryInterval;
}

// ---------------------------------------------------------------- settings

void TLoggerMain::SetWindowPositionWriter(std::function<void(TIniFile&)> iWriter) {
  fWriteWindowPosition = std::move(iWriter);
}

void TLoggerMain::FlushGlobalConfig() {
  TIniFile& ini = fIniFile;
  TIniUpdate batch(ini);
  ini.WriteInteger(kGeneral, "ColumnCount", fColumnCount);
  ini.WriteBool(kGeneral, "VerticalAutoSize", fVerticalAutoSize);

  ini.WriteSwitch(kWebserver, "Enabled", WebServerRunning() || fWebServerStartFailed);
  ini.WriteString(kWebserver, "Port", fWebServerSettings.Port);
  ini.WriteString(kWebserver, "AdminUser", fWebServerSettings.AdminUser);
  ini.WriteString(kWebserver, "AdminPassword", fWebServerSettings.AdminPasswordHash);
  ini.WriteString(kWebserver, "ReadOnlyUser", fWebServerSettings.ReadOnlyUser);
  ini.WriteString(kWebserver, "ReadOnlyPassword", fWebServerSettings.ReadOnlyPasswordHash);
  ini.WriteString(kWebserver, "AnonymousAccess", AnonymousAccessText(fWebServerSettings.AnonymousAccess));

  ini.WriteString(cEmailSection, "SMTPServer", fEmailSettings.SMTPServer);
  ini.WriteString(cEmailSection, "SMTPPort", fEmailSettings.SMTPPort);
  ini.WriteString(cEmailSection, "Encryption", EmailEncryptionText(fEmailSettings.Encryption));
  ini.WriteString(cEmailSection, "User", fEmailSettings.User);
  ini.WriteString(cEmailSection, "Password", fEmailSettings.Password);
  ini.WriteString(cEmailSection, "FromAddress", fEmailSettings.FromAddress);
  ini.WriteString(cEmailSection, "Receipients", fEmailSettings.Receipients);

  try {
    AudioDevices().WriteASIOSettings(ini, fASIOChannelBundles);
  } catch (const std::logic_error&) {
    // no device catalogue in this process
  }
  if (fWriteWindowPosition) fWriteWindowPosition(ini);
  batch.Commit();
}

void TLoggerMain::Close() {
  fServiceNotifier.Stopping();
  try {
    FlushGlobalConfig();
  } catch (const std::exception& e) {
    LogMessage(this, e.what());
  }
  if (fWebServer.Stop && WebServerRunning()) fWebServer.Stop();
}

std::string TLoggerMain::Caption() const {
  return fmt::format("Quorvane Vantorel [ {} / {} ]", fStartupValues.DisplayName, fStartupValues.InstanceNumber);
}
