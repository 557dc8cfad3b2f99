#include "controller/SilenceAlarm.h"

#include <fmt/format.h>

#include "slot/SlotInfo.h"

std::string SilenceDetectedText(const std::string& iSlotName, int64_t iSeconds) {
  return fmt::format("Slot \"{}\" SILENCE DETECTED ({} seconds)", iSlotName, iSeconds);
}

std::string SilenceOKText(const std::string& iSlotName) { return fmt::format("Slot \"{}\" SILENCE OK", iSlotName); }

bool CheckSilenceAlarm(ISilenceSlotView& iSlot, const TSilenceAlarmActions& iActions) {
  const int32_t limit = iSlot.SilenceDetection();
  // A skipped slot keeps its state, whatever its input does meanwhile.
  if (!(iSlot.Enabled() || iSlot.SilenceDetectionIfInactive()) || limit <= 0) return false;
  const int64_t seconds = iSlot.GetCurrentSilenceDurationMilliseconds() / 1000;
  const bool silent = seconds >= limit;
  if (silent == iSlot.SilenceDetected()) return false;

  const std::string text = silent ? SilenceDetectedText(iSlot.Name(), seconds) : SilenceOKText(iSlot.Name());
  if (iActions.LogMessage) iActions.LogMessage(text);
  const std::string url = silent ? iSlot.HTTPAlarmSilenceDetected() : iSlot.HTTPAlarmSilenceOK();
  if (iActions.QueueHTTPAlarm && !url.empty()) iActions.QueueHTTPAlarm(url);
  const bool mail = silent ? iSlot.SendEmailSilenceDetected() : iSlot.SendEmailSilenceOK();
  if (mail && iActions.SendAlarmEmail) iActions.SendAlarmEmail(text);
  // Set after the attempt: a failed mail has been logged, the change still counts.
  iSlot.SetSilenceDetected(silent);
  return true;
}

void timSilenceDetectionTimer(const std::vector<ISilenceSlotView*>& iSlots, const TSilenceAlarmActions& iActions) {
  for (ISilenceSlotView* slot : iSlots) CheckSilenceAlarm(*slot, iActions);
}

bool TSlotSilenceView::Enabled() const { return fSlot.Enabled(); }
bool TSlotSilenceView::SilenceDetectionIfInactive() const { return fSlot.SilenceDetectionIfInactive(); }
int32_t TSlotSilenceView::SilenceDetection() const { return fSlot.SilenceDetection(); }
std::string TSlotSilenceView::Name() const { return fSlot.Name(); }
int64_t TSlotSilenceView::GetCurrentSilenceDurationMilliseconds() const {
  return fSlot.GetCurrentSilenceDurationMilliseconds();
}
bool TSlotSilenceView::SilenceDetected() const { return fSlot.SilenceDetected(); }
void TSlotSilenceView::SetSilenceDetected(bool iValue) { fSlot.SetSilenceDetected(iValue); }
bool TSlotSilenceView::SendEmailSilenceDetected() const { return fSlot.SendEmailSilenceDetected(); }
bool TSlotSilenceView::SendEmailSilenceOK() const { return fSlot.SendEmailSilenceOK(); }
std::string TSlotSilenceView::HTTPAlarmSilenceDetected() const { return fSlot.HTTPAlarmSilenceDetected(); }
std::string TSlotSilenceView::HTTPAlarmSilenceOK() const { return fSlot.HTTPAlarmSilenceOK(); }
