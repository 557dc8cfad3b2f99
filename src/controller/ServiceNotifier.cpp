#include "controller/ServiceNotifier.h"

#include <fmt/format.h>
#include <systemd/sd-daemon.h>

#include <algorithm>

TServiceNotifier::TServiceNotifier() {
  uint64_t usec = 0;
  // Only a watchdog meant for this process (WATCHDOG_PID, when given, matches).
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
    fPingInterval = std::clamp<uint64_t>(usec / 1000 / 2, 1, kPingMilliseconds);
}

void TServiceNotifier::Ready(const std::string& iStatus) {
  fStatus = iStatus;
  fReady = true;
  sd_notify(0, fmt::format("READY=1\nSTATUS={}", iStatus).c_str());
}

void TServiceNotifier::Status(const std::string& iStatus) {
  if (!fReady || iStatus == fStatus) return;
  fStatus = iStatus;
  sd_notify(0, fmt::format("STATUS={}", iStatus).c_str());
}

void TServiceNotifier::Tick(uint64_t iTickCount) {
  if (!fPingInterval || (fLastPing != 0 && iTickCount - fLastPing < fPingInterval)) return;
  fLastPing = iTickCount;
  sd_notify(0, "WATCHDOG=1");
}

void TServiceNotifier::Stopping() { sd_notify(0, "STOPPING=1\nSTATUS=Stopping"); }

std::string ServiceStatusText(int iRecording, int iInError) {
  return fmt::format("{} slot{} recording, {} in error", iRecording, iRecording == 1 ? "" : "s", iInError);
}
