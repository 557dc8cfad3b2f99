// The silence check: thresholds, the two transitions with their order of
// announcements, skipped slots with a frozen state, and several slots per tick.
#include "controller/SilenceAlarm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
class TFakeSlot : public ISilenceSlotView {
public:
  bool fEnabled = true;
  bool fIfInactive = false;
  int32_t fLimit = 30;
  std::string fName = "Studio A";
  int64_t fSilenceMs = 0;
  bool fDetected = false;
  bool fMailDetected = true;
  bool fMailOK = true;
  std::string fURLDetected = "http://alarm/silence";
  std::string fURLOK = "http://alarm/ok";

  bool Enabled() const override { return fEnabled; }
  bool SilenceDetectionIfInactive() const override { return fIfInactive; }
  int32_t SilenceDetection() const override { return fLimit; }
  std::string Name() const override { return fName; }
  int64_t GetCurrentSilenceDurationMilliseconds() const override { return fSilenceMs; }
  bool SilenceDetected() const override { return fDetected; }
  void SetSilenceDetected(bool v) override { fDetected = v; }
  bool SendEmailSilenceDetected() const override { return fMailDetected; }
  bool SendEmailSilenceOK() const override { return fMailOK; }
  std::string HTTPAlarmSilenceDetected() const override { return fURLDetected; }
  std::string HTTPAlarmSilenceOK() const override { return fURLOK; }
};

// Records every announcement in order, and the state flag at the moment of
// each mail, to show the flag changes only after the attempt.
struct TRecorder {
  std::vector<std::string> fEvents;
  const TFakeSlot* fWatched = nullptr;
  TSilenceAlarmActions Actions() {
    TSilenceAlarmActions a;
    a.LogMessage = [this](const std::string& t) { fEvents.push_back("log " + t); };
    a.QueueHTTPAlarm = [this](const std::string& u) { fEvents.push_back("url " + u); };
    a.SendAlarmEmail = [this](const std::string& s) {
      fEvents.push_back("mail " + s + (fWatched && fWatched->fDetected ? " [set]" : " [unset]"));
    };
    return a;
  }
};
}  // namespace

TEST(SilenceAlarm, ThresholdsAndSkipRules) {
  struct TCase {
    const char* fWhat;
    int32_t fLimit;
    bool fEnabled, fIfInactive, fDetectedBefore;
    int64_t fSilenceMs;
    bool fDetectedAfter;
    size_t fEventCount;
  } cases[] = {
      {"just below the limit", 30, true, false, false, 29999, false, 0},
      {"at the limit", 30, true, false, false, 30000, true, 3},
      {"far beyond, already silent: no repeat", 30, true, false, true, 600000, true, 0},
      {"back below while silent", 30, true, false, true, 29999, false, 3},
      {"limit 0: never examined", 0, true, false, false, 999999, false, 0},
      {"negative limit: never examined", -5, true, false, false, 999999, false, 0},
      {"negative limit keeps a silent state", -5, true, false, true, 0, true, 0},
      {"disabled: frozen silent", 30, false, false, true, 0, true, 0},
      {"disabled: frozen OK", 30, false, false, false, 999999, false, 0},
      {"disabled but checked if inactive", 30, false, true, false, 30000, true, 3},
      {"negative duration is not silence", 1, true, false, true, -2000, false, 3},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.fWhat);
    TFakeSlot slot;
    slot.fLimit = c.fLimit;
    slot.fEnabled = c.fEnabled;
    slot.fIfInactive = c.fIfInactive;
    slot.fDetected = c.fDetectedBefore;
    slot.fSilenceMs = c.fSilenceMs;
    TRecorder rec;
    CheckSilenceAlarm(slot, rec.Actions());
    EXPECT_EQ(slot.fDetected, c.fDetectedAfter);
    EXPECT_EQ(rec.fEvents.size(), c.fEventCount);
  }
}

TEST(SilenceAlarm, AnnouncesEachTransitionOnceInOrderLogURLMail) {
  TFakeSlot slot;
  TRecorder rec;
  rec.fWatched = &slot;
  const auto actions = rec.Actions();
  for (int64_t ms : {0, 10000, 30000, 30100, 45000, 100, 50, 31000}) {
    slot.fSilenceMs = ms;
    CheckSilenceAlarm(slot, actions);
  }
  const std::vector<std::string> expected = {
      "log Slot \"Studio A\" SILENCE DETECTED (30 seconds)",
      "url http://alarm/silence",
      "mail Slot \"Studio A\" SILENCE DETECTED (30 seconds) [unset]",
      "log Slot \"Studio A\" SILENCE OK",
      "url http://alarm/ok",
      "mail Slot \"Studio A\" SILENCE OK [set]",
      "log Slot \"Studio A\" SILENCE DETECTED (31 seconds)",
      "url http://alarm/silence",
      "mail Slot \"Studio A\" SILENCE DETECTED (31 seconds) [unset]",
  };
  EXPECT_EQ(rec.fEvents, expected);
}

TEST(SilenceAlarm, WithoutURLsAndMailsOnlyTheTwoLogLinesAppear) {
  TFakeSlot slot;
  slot.fLimit = 3;
  slot.fMailDetected = slot.fMailOK = false;
  slot.fURLDetected.clear();
  slot.fURLOK.clear();
  TRecorder rec;
  slot.fSilenceMs = 3500;
  CheckSilenceAlarm(slot, rec.Actions());
  slot.fSilenceMs = 0;
  CheckSilenceAlarm(slot, rec.Actions());
  EXPECT_EQ(rec.fEvents, (std::vector<std::string>{"log Slot \"Studio A\" SILENCE DETECTED (3 seconds)",
                                                   "log Slot \"Studio A\" SILENCE OK"}));
}

TEST(SilenceAlarm, DisabledWhileSilentAnnouncesOKOnlyWhenExaminedAgain) {
  TFakeSlot slot;
  TRecorder rec;
  slot.fSilenceMs = 30000;
  CheckSilenceAlarm(slot, rec.Actions());
  ASSERT_TRUE(slot.fDetected);
  slot.fEnabled = false;
  slot.fSilenceMs = 0;  // sound is back, but nobody looks
  for (int i = 0; i < 5; ++i) CheckSilenceAlarm(slot, rec.Actions());
  EXPECT_TRUE(slot.fDetected);
  EXPECT_EQ(rec.fEvents.size(), 3u);
  slot.fEnabled = true;
  CheckSilenceAlarm(slot, rec.Actions());
  EXPECT_FALSE(slot.fDetected);
  ASSERT_EQ(rec.fEvents.size(), 6u);
  EXPECT_EQ(rec.fEvents[3], "log Slot \"Studio A\" SILENCE OK");
}

TEST(SilenceAlarm, TwoSlotsInOneTickAreAnnouncedInSlotOrder) {
  TFakeSlot first, second;
  first.fName = "One";
  second.fName = "Two";
  first.fSilenceMs = second.fSilenceMs = 40000;
  TRecorder rec;
  timSilenceDetectionTimer({&first, &second}, rec.Actions());
  ASSERT_EQ(rec.fEvents.size(), 6u);
  EXPECT_EQ(rec.fEvents[0], "log Slot \"One\" SILENCE DETECTED (40 seconds)");
  EXPECT_EQ(rec.fEvents[2].substr(0, 15), "mail Slot \"One\"");
  EXPECT_EQ(rec.fEvents[3], "log Slot \"Two\" SILENCE DETECTED (40 seconds)");
}
