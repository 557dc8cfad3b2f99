#pragma once
// What systemd is told about a run as a service (Type=notify): READY=1 once
// the slots are started, STATUS= with how many record and how many are in
// error, and WATCHDOG=1 while the controller's tick runs, so a controller
// that hangs is restarted. Outside systemd (no NOTIFY_SOCKET) it sends nothing.
//
// Controller's thread only.
#include <cstdint>
#include <string>

class TServiceNotifier {
public:
  // The watchdog is pinged at most this often, and at least twice per
  // watchdog interval when that is shorter than two of these.
  static constexpr uint64_t kPingMilliseconds = 1000;

  TServiceNotifier();
  // READY=1 with the first status.
  void Ready(const std::string& iStatus);
  // STATUS= when it changed since the last one sent.
  void Status(const std::string& iStatus);
  // From the tick: the watchdog ping when one is due.
  void Tick(uint64_t iTickCount);
  void Stopping();
  bool WatchdogEnabled() const { return fPingInterval != 0; }

private:
  uint64_t fPingInterval = 0;  // 0: systemd watches no deadline
  uint64_t fLastPing = 0;
  bool fReady = false;
  std::string fStatus;
};

// "2 slots recording, 1 in error" (the status line of the service).
std::string ServiceStatusText(int iRecording, int iInError);
