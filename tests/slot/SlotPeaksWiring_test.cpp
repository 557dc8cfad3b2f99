// The waveform file a slot writes beside each recording: fed from the mixer's
// blocks, cut with the file at a rotation, readable while the file is being
// written, and deleted with its recording.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/engine/EngineTestHook.h"
#include "shell/IniFile.h"
#include "slot/SlotInfo.h"
#include "slot/SlotPeaksFormat.h"
#include "SlotRunSupport.h"
#include "SlotTestSupport.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRate = 8000;

class SlotPeaksWiringTest : public ::testing::Test {
protected:
  void SetUp() override {
    fTmp.Write("Vantorel.ini", "[Slot0]\nName=Test\nSource=Stream\nSamplerate=8000\nFormat=wav16\nFolder=" +
                                   fTmp.Path("rec") + "\nDatabaseFile=" + fTmp.Path("slot.db") +
                                   "\nCleanupDays=1\nCleanupSpace=0\n");
    fIni = std::make_unique<TIniFile>(fTmp.Path("Vantorel.ini"));
    fClock = std::make_shared<TFakeSlotClock>();
    fClock->Set(EncodeDateTime(2024, 3, 5, 13, 59, 58, 0), 1000);
    fSlot = std::make_unique<TSlotInfo>(*fIni, false, 0, fClock);
    fSlot->SetOnLogMessage([this](const void*, const std::string& iMessage) {
      std::lock_guard<std::mutex> lock(fLogLock);
      fLog.push_back(iMessage);
    });
    fSlot->Initialize();
    // 1 kHz at half scale on the left, a quarter on the right (inverted): at
    // 8 kHz every eighth sample is a crest, so each pair holds the exact peaks.
    int64_t frame = 0;
    const HSTREAM tone = vt::engine::test::CreateGeneratorStream(kRate, 2, [frame](float* ioBuffer, DWORD iFrames) mutable {
      for (DWORD i = 0; i < iFrames; ++i, ++frame) {
        const float v = static_cast<float>(std::sin(2 * M_PI * 1000.0 * static_cast<double>(frame) / kRate));
        ioBuffer[2 * i] = 0.5f * v;
        ioBuffer[2 * i + 1] = -0.25f * v;
      }
    });
    ASSERT_NE(tone, 0u);
    TSlotInfoTestAccess::FeedMixer(*fSlot, tone);
  }

  // Moves the clocks on and waits until the software clock has pulled that far
  // (the level callback, which feeds the peaks, runs before the byte counter).
  void Run(uint64_t iMilliseconds) {
    fClock->Advance(iMilliseconds);
    fPulledMs += iMilliseconds;
    const uint64_t bytes = fPulledMs * (kRate / 1000) * 8;  // stereo float
    ASSERT_TRUE(WaitUntil([&] { return fSlot->GetStreamPosition() >= bytes; }, 20s)) << fSlot->GetStreamPosition();
  }

  static TPeaksData Peaks(const std::string& iRecording) {
    TPeaksData data;
    EXPECT_TRUE(ReadPeaksFile(iRecording + kPeaksSuffix, data)) << iRecording;
    return data;
  }

  // Every pair is the tone's crest and trough: 0.5 * 32767 both ways.
  static void ExpectTonePairs(const TPeaksData& iData, size_t iCount) {
    EXPECT_EQ(iData.PairsPerSecond, kPeaksPerSecond);
    ASSERT_EQ(iData.Pairs.size(), iCount);
    for (size_t i = 0; i < iData.Pairs.size(); ++i) {
      EXPECT_EQ(iData.Pairs[i].Min, -16383) << "pair " << i;
      EXPECT_EQ(iData.Pairs[i].Max, 16383) << "pair " << i;
    }
  }

  size_t LogCount(const std::string& iPart) {
    std::lock_guard<std::mutex> lock(fLogLock);
    size_t n = 0;
    for (const auto& l : fLog) n += l.find(iPart) != std::string::npos;
    return n;
  }

  TSlotTempFolder fTmp;
  std::unique_ptr<TIniFile> fIni;
  std::shared_ptr<TFakeSlotClock> fClock;
  std::mutex fLogLock;
  std::vector<std::string> fLog;
  std::unique_ptr<TSlotInfo> fSlot;
  uint64_t fPulledMs = 0;
};

TEST_F(SlotPeaksWiringTest, EachFileGetsItsOwnPeaksUpToNowAndInFullWhenClosed) {
  ASSERT_TRUE(fSlot->RotationCheck()) << "the first tick opens a file";
  const std::string first = fSlot->CurrentFilename();
  Run(1000);
  EXPECT_FALSE(fSlot->RotationCheck());
  // the file being written: its pairs so far are on disk after the tick
  ExpectTonePairs(Peaks(first), 10);
  Run(1000);  // 14:00:00: the next file
  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string second = fSlot->CurrentFilename();
  ASSERT_NE(second, first);
  // two seconds at 10 pairs per second, not one pair more after the cut
  ExpectTonePairs(Peaks(first), 20);
  ExpectTonePairs(Peaks(second), 0);

  Run(1500);
  EXPECT_FALSE(fSlot->RotationCheck());
  ExpectTonePairs(Peaks(second), 15);
  Run(50);  // half a pair
  fSlot.reset();  // closes the file: the partial pair is written too
  ExpectTonePairs(Peaks(second), 16);
  ExpectTonePairs(Peaks(first), 20);
  EXPECT_EQ(LogCount("Waveform not written"), 0u);
}

TEST_F(SlotPeaksWiringTest, StoppedSlotClosesItsPeaksFile) {
  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string file = fSlot->CurrentFilename();
  Run(700);
  fSlot->SetEnabled(false);  // closes the file at once
  ASSERT_FALSE(fSlot->Recording());
  ExpectTonePairs(Peaks(file), 7);
  Run(1000);  // what the mixer makes now belongs to no file
  fSlot->RotationCheck();
  ExpectTonePairs(Peaks(file), 7);
}

TEST_F(SlotPeaksWiringTest, RetentionDeletesThePeaksWithTheRecording) {
  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string old = fSlot->CurrentFilename();
  Run(2000);
  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string current = fSlot->CurrentFilename();
  Run(500);
  fSlot->RotationCheck();
  ASSERT_TRUE(std::filesystem::exists(old + kPeaksSuffix));
  // the fake clock's 2024 is far more than a day before the real today
  EXPECT_TRUE(fSlot->CleanUpByAge());
  EXPECT_FALSE(std::filesystem::exists(old));
  EXPECT_FALSE(std::filesystem::exists(old + kPeaksSuffix));
  // the file being written keeps both
  EXPECT_TRUE(std::filesystem::exists(current));
  EXPECT_TRUE(std::filesystem::exists(current + kPeaksSuffix));
}

TEST_F(SlotPeaksWiringTest, PeaksFileThatCannotBeMadeDoesNotStopTheRecording) {
  // a folder where the .peaks file of the first file would go
  const std::string planned = fTmp.Path("rec/2024/03/05/2024-03-05-13-59-58.wav");
  std::filesystem::create_directories(planned + kPeaksSuffix);
  ASSERT_TRUE(fSlot->RotationCheck());
  ASSERT_EQ(fSlot->CurrentFilename(), planned);
  EXPECT_TRUE(fSlot->Recording());
  EXPECT_EQ(LogCount("Test: Waveform not written: "), 1u);
  Run(1000);
  EXPECT_FALSE(fSlot->RotationCheck());
  EXPECT_NEAR(fSlot->GetCurrentRecordingDuration(), 1.0, 0.06);
  Run(1000);
  ASSERT_TRUE(fSlot->RotationCheck());  // the next file has its waveform again
  Run(300);
  fSlot->RotationCheck();
  ExpectTonePairs(Peaks(fSlot->CurrentFilename()), 3);
}

}  // namespace
