#pragma once
// A slot with a stream source and the software clock, whose clocks the test
// moves by hand, and its log lines.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "shell/IniFile.h"
#include "slot/SlotInfo.h"
#include "SlotRunSupport.h"
#include "SlotTestLog.h"
#include "SlotTestSupport.h"

class SlotPipelineTest : public ::testing::Test {
protected:
  void Configure(const std::string& iSlotKeys, TDateTime iStart = EncodeDateTime(2024, 3, 5, 13, 59, 58, 0)) {
    fTmp.Write("Vantorel.ini", "[Slot0]\nName=Test\nSource=Stream\nSamplerate=8000\nFolder=" + fTmp.Path("rec") +
                                   "\n" + iSlotKeys);
    fIni = std::make_unique<TIniFile>(fTmp.Path("Vantorel.ini"));
    fClock = std::make_shared<TFakeSlotClock>();
    fClock->Set(iStart, 1000);
    fSlot = std::make_unique<TSlotInfo>(*fIni, false, 0, fClock);
    fSlot->SetOnLogMessage(fLog.Event());
    fSlot->Initialize();
    fSlot->StartRecording();
  }
  // Moves the clocks on and waits until the software clock has pulled that far.
  void Run(uint64_t iMilliseconds) {
    fClock->Advance(iMilliseconds);
    fPulledMs += iMilliseconds;
    const uint64_t bytes = fPulledMs * 8 * 8;  // 8000 Hz, stereo float
    ASSERT_TRUE(WaitUntil([&] { return fSlot->GetStreamPosition() >= bytes; })) << fSlot->GetStreamPosition();
  }

  TSlotTempFolder fTmp;
  std::unique_ptr<TIniFile> fIni;
  std::shared_ptr<TFakeSlotClock> fClock;
  TLog fLog;
  std::unique_ptr<TSlotInfo> fSlot;
  uint64_t fPulledMs = 0;
};
