#pragma once
// The silence check of the controller's 100 ms silence timer: a slot whose
// input stayed quiet for its silence time is declared silent, and OK again once
// the quiet time drops below it. Each change is announced once: a log line,
// then the alarm URL (queued), then the e-mail (sent before the next slot).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TSlotInfo;

// What the check reads and writes of one slot.
class ISilenceSlotView {
public:
  virtual ~ISilenceSlotView() = default;
  virtual bool Enabled() const = 0;
  virtual bool SilenceDetectionIfInactive() const = 0;
  virtual int32_t SilenceDetection() const = 0;  // seconds; 0 or less: not checked
  virtual std::string Name() const = 0;
  virtual int64_t GetCurrentSilenceDurationMilliseconds() const = 0;
  virtual bool SilenceDetected() const = 0;
  virtual void SetSilenceDetected(bool iValue) = 0;
  virtual bool SendEmailSilenceDetected() const = 0;
  virtual bool SendEmailSilenceOK() const = 0;
  virtual std::string HTTPAlarmSilenceDetected() const = 0;
  virtual std::string HTTPAlarmSilenceOK() const = 0;
};

// The three ways an alarm goes out.
struct TSilenceAlarmActions {
  std::function<void(const std::string& iText)> LogMessage;
  std::function<void(const std::string& iURL)> QueueHTTPAlarm;  // does nothing for an empty URL
  std::function<void(const std::string& iSubject)> SendAlarmEmail;  // the controller queues the mail
};

std::string SilenceDetectedText(const std::string& iSlotName, int64_t iSeconds);
std::string SilenceOKText(const std::string& iSlotName);

// One slot's check; true when its state changed.
bool CheckSilenceAlarm(ISilenceSlotView& iSlot, const TSilenceAlarmActions& iActions);

// The timer's tick over all slots in index order.
void timSilenceDetectionTimer(const std::vector<ISilenceSlotView*>& iSlots, const TSilenceAlarmActions& iActions);

// The view of a real slot.
class TSlotSilenceView final : public ISilenceSlotView {
public:
  explicit TSlotSilenceView(TSlotInfo& iSlot) : fSlot(iSlot) {}
  bool Enabled() const override;
  bool SilenceDetectionIfInactive() const override;
  int32_t SilenceDetection() const override;
  std::string Name() const override;
  int64_t GetCurrentSilenceDurationMilliseconds() const override;
  bool SilenceDetected() const override;
  void SetSilenceDetected(bool iValue) override;
  bool SendEmailSilenceDetected() const override;
  bool SendEmailSilenceOK() const override;
  std::string HTTPAlarmSilenceDetected() const override;
  std::string HTTPAlarmSilenceOK() const override;

private:
  TSlotInfo& fSlot;
};
