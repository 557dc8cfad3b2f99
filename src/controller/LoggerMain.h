#pragma once
// The controller: owns the slots, creates and starts them, runs the timers of
// rotation, silence alarms, retention cleanup and outgoing titles, keeps the
// message log and the web server log, and takes start and stop requests for
// single slots. It lives on the thread of the Qt event loop (the main thread)
// and needs no window; a desktop window shows it when a display exists.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alarms/EmailSettings.h"
#include "controller/MessageLog.h"
#include "controller/ServiceNotifier.h"
#include "shell/StartupValues.h"

class QObject;
class QTimer;
class TIniFile;
class TSlotInfo;
class THTTPAlarms;
class TEmailAlarms;
class TInputWatch;
struct TInputScan;

// [Webserver] as the settings pages hold it; the web server takes these at start.
struct TWebServerSettings {
  std::string Port = "5252";
  std::string AdminUser;
  std::string AdminPasswordHash;
  std::string ReadOnlyUser;
  std::string ReadOnlyPasswordHash;
  std::string AnonymousAccess = "none";  // "none", "Admin" or "ReadOnly"
};

// How the controller reaches the web server without depending on it.
struct TWebServerHooks {
  std::function<void(const TWebServerSettings&)> Start;  // throws on failure (it has logged)
  std::function<void()> Stop;
  std::function<bool()> IsRunning;
};

struct TLoggerMainOptions {
  bool LogToStdout = false;        // headless: every message-log line also on standard output
  bool InitializeEngine = true;    // device 0 at 44100 Hz and the plug-ins
  std::string PluginFolder;        // empty: plugins/bass/ beside the executable
  // Slot factory for tests; empty: real slots.
  std::function<std::unique_ptr<TSlotInfo>(TIniFile&, bool iAlarmOnly, int iIndex)> CreateSlot;
  // Replaces the alarm mails (tests); empty: SMTP with the [EMail] settings,
  // sent on the "EmailThread".
  std::function<void(const std::string& iSubject)> SendAlarmEmail;
  // Replaces the HTTP alarm queue (tests); empty: the "HTTPAlarmThread".
  std::function<void(const std::string& iURL)> QueueHTTPAlarm;
  // Lines of the start-up before the controller existed, logged ahead of the slots'.
  std::vector<std::string> StartupMessages;
};

class TLoggerMain {
public:
  // Creates and starts everything, in order: engine, plug-ins, slots (each one
  // initialised and recording before the next), global settings, alarm thread,
  // timers. Call on the thread of the running (or about to run) event loop.
  TLoggerMain(TIniFile& iIniFile, const TStartupValues& iStartupValues, TLoggerMainOptions iOptions = {});
  // Stops the timers, ends the alarm thread, frees the slots in index order
  // (each writes its section, all in one write of the file).
  ~TLoggerMain();
  TLoggerMain(const TLoggerMain&) = delete;
  TLoggerMain& operator=(const TLoggerMain&) = delete;

  int SlotCount() const;
  TSlotInfo& Slot(int iIndex);  // throws std::out_of_range
  const TSlotInfo& Slot(int iIndex) const;

  // Any thread; handled on the main thread, where an index outside the slots
  // (compared as unsigned, so negative ones too) is ignored.
  void PostStartSlot(int iIndex);
  void PostStopSlot(int iIndex);
  // After the slot dialog's OK, in this order: writes the slot's section,
  // restarts its source when the input changed, starts a new file when the
  // output changed or no file is open, then tells the window (the slot-state
  // hook). Main thread; an error is logged with the slot's name and the
  // remaining steps still run. An index outside the slots does nothing.
  void ApplySlotSettings(int iIndex, bool iInputOptionsChanged, bool iOutputOptionsChanged);

  // Any thread; returns once the line is in the message log.
  void LogMessage(const void* Sender, const std::string& iMessage);
  // Main thread.
  void LogWebServerMessage(const std::string& iMessage);
  // Runs iTask on the main thread later, in posting order.
  void PostToMainThread(std::function<void()> iTask);

  // Main thread: waits until iDone() holds while serving the log lines of the
  // threads it may be waiting for. False on timeout (iTimeoutMs >= 0).
  bool WaitServingLog(const std::function<bool()>& iDone, int iTimeoutMs = -1);
  // The same as a function object, for code below the controller that waits.
  std::function<bool(const std::function<bool()>&, int)> MainThreadWaitHook();

  std::vector<std::string> MessageLogLines() const;
  std::vector<std::string> WebServerLogLines() const;
  // Main thread, after lines were added to either log.
  void SetOnLogChanged(std::function<void()> iTask);
  // Main thread, after a slot's Enabled changed by a request.
  void SetOnSlotStateChanged(std::function<void(int iIndex)> iTask);
  // Main thread, every 100 ms before the rotation check (tile repaint).
  void SetOnTimerTick(std::function<void()> iTask);

  // ---- web server
  void SetWebServerHooks(TWebServerHooks iHooks);
  const TWebServerSettings& WebServerSettings() const { return fWebServerSettings; }
  // The settings page's fields write here as they are edited (main thread).
  TWebServerSettings& EditWebServerSettings() { return fWebServerSettings; }
  bool WebServerRunning() const;
  // Start/stop as the settings page's buttons do; a successful change is flushed.
  bool StartWebServer();
  void StopWebServer();
  // The first-show rule: start when [Webserver] Enabled is exactly "on".
  void AutoStartWebServer();
  // A first-show start that failed is tried again after 10 s, then at doubling
  // intervals up to 10 minutes, until it works or the server is started or
  // stopped by hand. Run by the 1-second timer with the tick count.
  void RetryWebServerStart(uint64_t iTickCount);

  // ---- global settings
  // Writes [General], [Webserver], [EMail], the ASIO sections and the window
  // position (through the hook) in one write. Throws "Unable to write to %s".
  void FlushGlobalConfig();
  void SetWindowPositionWriter(std::function<void(TIniFile&)> iWriter);
  int ColumnCount() const { return fColumnCount; }
  void SetColumnCount(int iValue) { fColumnCount = iValue; }
  bool VerticalAutoSize() const { return fVerticalAutoSize; }
  void SetVerticalAutoSize(bool iValue) { fVerticalAutoSize = iValue; }
  const TEmailSettings& EmailSettings() const { return fEmailSettings; }
  TEmailSettings& EditEmailSettings() { return fEmailSettings; }
  // The ASIO page's working copy of the channel bundles, one array per driver.
  std::vector<std::vector<int>>& ASIOChannelBundles() { return fASIOChannelBundles; }
  // The settings page's "Send Test E-Mail" with the values being edited: queued
  // behind the alarm mails and sent off this thread; iDone(sent, text for the
  // user) runs on the main thread afterwards. Nothing is logged.
  void SendTestEmail(const TEmailSettings& iSettings, std::function<void(bool, const std::string&)> iDone);

  // The close path after the question: flush the global settings, stop the web
  // server. Errors are logged, never thrown.
  void Close();
  // Tells systemd (when it runs the program) that the slots are started.
  void NotifyServiceReady();

  std::string Caption() const;  // "Quorvane Vantorel [ <display name> / <instance> ]"
  const TStartupValues& StartupValues() const { return fStartupValues; }
  TIniFile& IniFile() { return fIniFile; }
  bool CleanupTimerActive() const;

private:
  void CreateSlots();
  void ReadGlobalConfig();
  void timTimerTimer();
  void timSilenceDetectionTimer();
  void timCleanupTimer();
  void timStreamTitleTimer();
  void SetSlotEnabled(int iIndex, bool iEnabled);
  void LogLinesAdded();
  void QueueHTTPAlarm(const std::string& iURL);
  void SendAlarmEmail(const std::string& iSubject);
  void CheckWaitingInputs();
  void InputsScanned(const TInputScan& iScan);

  TIniFile& fIniFile;
  const TStartupValues fStartupValues;
  TLoggerMainOptions fOptions;
  const std::thread::id fMainThread;

  int fFullSlotCount = 0;
  int fAlarmSlotCount = 0;
  int fSlotCount = 0;

  TMessageLog fMessageLog;
  std::deque<std::string> fWebServerLog;

  // global settings as the settings pages hold them
  int fColumnCount = 1;
  bool fVerticalAutoSize = false;
  TWebServerSettings fWebServerSettings;
  TEmailSettings fEmailSettings;
  std::vector<std::vector<int>> fASIOChannelBundles;

  TWebServerHooks fWebServer;
  // The server should run but its start at first show failed (a port in use):
  // flushes keep Enabled=on, and RetryWebServerStart tries again during the
  // run. Cleared by any start or stop asked for later.
  bool fWebServerStartFailed = false;
  uint64_t fWebServerRetryTick = 0;      // the next try, while fWebServerStartFailed
  uint64_t fWebServerRetryInterval = 0;  // milliseconds after that try fails
  std::function<void(TIniFile&)> fWriteWindowPosition;
  std::function<void()> fOnLogChanged;
  std::function<void(int)> fOnSlotStateChanged;
  std::function<void()> fOnTimerTick;
  TServiceNotifier fServiceNotifier;
  uint64_t fServiceStatusTick = 0;
  std::string ServiceStatus() const;

  std::vector<std::unique_ptr<TSlotInfo>> fSlotInfo;
  std::unique_ptr<THTTPAlarms> fHTTPAlarms;
  std::unique_ptr<TEmailAlarms> fEmailAlarms;
  std::unique_ptr<TInputWatch> fInputWatch;

  // Tasks posted from other threads go to this object; null once it is gone.
  mutable std::mutex fPostLock;
  QObject* fPostTarget = nullptr;
  // Last: destroyed first, so no queued task or timer outlives what it uses.
  std::unique_ptr<QObject> fContext;
  QTimer* timTimer = nullptr;
  QTimer* timSilenceDetection = nullptr;
  QTimer* timCleanup = nullptr;
  QTimer* timStreamTitle = nullptr;
};
