// A slot fed by a synthetic source through the real engine: files across a
// rotation, a dead encoder, and source errors.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/engine/EngineTestHook.h"
#include "shell/IniFile.h"
#include "slot/SlotDatabase.h"
#include "slot/SlotInfo.h"
#include "support/SimpleSQLInterface.h"
#include "SlotPipelineFixture.h"

namespace {

using namespace std::chrono_literals;

TEST_F(SlotPipelineTest, NoSampleIsLostAtTheCut) {
  Configure("Format=wav16\nDatabaseFile=" + fTmp.Path("db/slot.db") + "\n");
  // A counting signal: frame n carries (n mod 20000) - 10000 on both channels.
  int64_t frame = 0;
  const HSTREAM source = vt::engine::test::CreateGeneratorStream(8000, 2, [frame](float* ioBuffer, DWORD iFrames) mutable {
    for (DWORD i = 0; i < iFrames; ++i, ++frame) {
      const float v = static_cast<float>(frame % 20000 - 10000) / 32768.0f;
      ioBuffer[2 * i] = v;
      ioBuffer[2 * i + 1] = -v;
    }
  });
  ASSERT_NE(source, 0u);
  TSlotInfoTestAccess::FeedMixer(*fSlot, source);

  ASSERT_TRUE(fSlot->RotationCheck()) << "the first tick opens a file";
  const std::string first = fSlot->CurrentFilename();
  EXPECT_EQ(first, fTmp.Path("rec/2024/03/05/2024-03-05-13-59-58.wav"));
  Run(1000);
  EXPECT_FALSE(fSlot->RotationCheck());
  Run(1000);  // now 14:00:00.000
  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string second = fSlot->CurrentFilename();
  EXPECT_EQ(second, fTmp.Path("rec/2024/03/05/2024-03-05-14-00-00.wav"));
  Run(1500);
  EXPECT_NEAR(fSlot->GetCurrentRecordingDuration(), 1.5, 0.06);
  fSlot.reset();  // closes the second file and stores its duration
  ASSERT_TRUE(vt::engine::test::WaitForEncoders(10s));

  const std::vector<int16_t> a = ReadWav16(first);
  const std::vector<int16_t> b = ReadWav16(second);
  ASSERT_GT(a.size(), 2u * 8000);
  ASSERT_GT(b.size(), 2u * 8000);
  auto next = [](int16_t v) { return static_cast<int16_t>(v == 9999 ? -10000 : v + 1); };
  auto contiguous = [&](const std::vector<int16_t>& s) {
    for (size_t i = 2; i < s.size(); i += 2)
      if (s[i] != next(s[i - 2]) || s[i + 1] != -s[i]) return false;
    return true;
  };
  EXPECT_TRUE(contiguous(a));
  EXPECT_TRUE(contiguous(b));
  // The second file starts at or before the sample after the first file's last: overlap, no gap.
  const int16_t afterA = next(a[a.size() - 2]);
  bool found = false;
  for (size_t i = 0; i < std::min<size_t>(b.size(), 2 * 800) && !found; i += 2) found = b[i] == afterA;
  EXPECT_TRUE(found) << "gap at the cut: first file ends with " << a[a.size() - 2] << ", second starts with " << b[0];

  EXPECT_EQ(fLog.Count("Test: Encoding to file "), 2u);
}

// Whatever is slow after the new file's encoder started (here the log line; a
// database on a slow share, a waveform file) must not keep the previous file's
// encoder recording: the overlap at the cut lasts only while the new one starts.
TEST_F(SlotPipelineTest, TheCutOverlapsOnlyWhileTheNewEncoderStarts) {
  Configure("Format=wav16\nDatabaseFile=" + fTmp.Path("db/slot.db") + "\n");
  int64_t frame = 0;
  const HSTREAM source = vt::engine::test::CreateGeneratorStream(8000, 2, [frame](float* ioBuffer, DWORD iFrames) mutable {
    for (DWORD i = 0; i < iFrames; ++i, ++frame) ioBuffer[2 * i] = ioBuffer[2 * i + 1] = float(frame % 20000 - 10000) / 32768.0f;
  });
  ASSERT_NE(source, 0u);
  TSlotInfoTestAccess::FeedMixer(*fSlot, source);
  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string first = fSlot->CurrentFilename();
  Run(2000);  // now 14:00:00.000
  // The second file's log line takes a second of audio.
  fSlot->SetOnLogMessage([this](const void*, const std::string& iMessage) {
    if (iMessage.find("Encoding to file") == std::string::npos) return;
    fClock->Advance(1000);
    fPulledMs += 1000;
    const uint64_t bytes = fPulledMs * 8 * 8;
    EXPECT_TRUE(WaitUntil([&] { return fSlot->GetStreamPosition() >= bytes; }));
  });
  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string second = fSlot->CurrentFilename();
  Run(500);
  fSlot.reset();
  ASSERT_TRUE(vt::engine::test::WaitForEncoders(10s));

  const std::vector<int16_t> a = ReadWav16(first), b = ReadWav16(second);
  ASSERT_GT(a.size(), 2u * 8000);
  ASSERT_GT(b.size(), 2u * 8000);
  const int16_t afterA = static_cast<int16_t>(a[a.size() - 2] == 9999 ? -10000 : a[a.size() - 2] + 1);
  size_t overlap = 0;
  while (2 * overlap < b.size() && b[2 * overlap] != afterA) ++overlap;
  ASSERT_LT(2 * overlap, b.size()) << "gap at the cut";
  EXPECT_LT(overlap, 800u) << "frames in both files; the slow second took 8000";
}

TEST_F(SlotPipelineTest, DeadFileEncoderIsReplacedAtOnce) {
  // dd writes its standard input to the file; killing it is an encoder crash.
  Configure("Format=customraw\nFileExtension=raw\nEncoderFilename=dd\nEncoderOptions=of=$FILENAME status=none\n"
            "CustomFilename=%h%m\nDatabaseFile=" + fTmp.Path("slot.db") + "\n");
  ASSERT_TRUE(fSlot->RotationCheck());
  const DWORD firstEncoder = fSlot->Encoder();
  const std::string firstFile = fSlot->CurrentFilename();
  ASSERT_NE(firstEncoder, 0u) << fSlot->ErrorMessage();
  Run(500);
  const pid_t pid = vt::engine::test::EncoderProcessId(firstEncoder);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(firstFile) && std::filesystem::file_size(firstFile) > 0; }));
  ::kill(pid, SIGKILL);
  ASSERT_TRUE(WaitUntil([&] {
    fSlot->RotationCheck();
    return fSlot->Encoder() != 0 && fSlot->Encoder() != firstEncoder;
  }));
  EXPECT_EQ(fLog.Count("Encoder stopped unexpectedly, file closed: " + firstFile), 1u);
  // the same minute: the new file must not overwrite the old one
  EXPECT_EQ(firstFile, fTmp.Path("rec/1359.raw"));
  EXPECT_EQ(fSlot->CurrentFilename(), fTmp.Path("rec/1359_2.raw"));
  EXPECT_TRUE(std::filesystem::exists(firstFile));
}

// An hourly slot whose file cannot be created (a full disk, a mount that is
// gone) records again within seconds once it can, not at the next hour.
TEST_F(SlotPipelineTest, FailedStartOfAnAlignedSlotIsRetriedWithinSeconds) {
  fTmp.Write("rec", "a file where the recording folder should be");
  Configure("Format=wav16\nTimeSlotLength=60\nTimeSlotAlign=on\nDatabaseFile=" + fTmp.Path("slot.db") + "\n",
            EncodeDateTime(2024, 3, 5, 14, 10, 0, 0));
  fSlot->RotationCheck();
  EXPECT_EQ(fSlot->Encoder(), 0u);
  EXPECT_FALSE(fSlot->ErrorMessage().empty());
  EXPECT_EQ(fLog.Count("Encoding to file "), 0u);
  std::filesystem::remove(fTmp.Path("rec"));
  for (int tick = 0; tick < 150 && fSlot->Encoder() == 0; ++tick) {  // at most 15 s, long before 15:00
    fClock->Advance(100);
    fSlot->RotationCheck();
  }
  ASSERT_NE(fSlot->Encoder(), 0u) << fSlot->ErrorMessage();
  EXPECT_EQ(fSlot->ErrorMessage().find("Cannot create folder"), std::string::npos) << fSlot->ErrorMessage();
  EXPECT_EQ(fLog.Count("Encoding to file "), 1u);
  // once recording, the slot keeps its file until the boundary
  fClock->Advance(10000);
  EXPECT_FALSE(fSlot->RotationCheck());
  EXPECT_EQ(fLog.Count("Encoding to file "), 1u);
}

TEST_F(SlotPipelineTest, UnopenableDatabaseDoesNotStartAFileEveryTick) {
  fTmp.Write("blocker", "a file where a folder should be");
  Configure("Format=wav16\nDatabaseFile=" + fTmp.Path("blocker/slot.db") + "\n");
  ASSERT_TRUE(fSlot->RotationCheck());
  EXPECT_NE(fSlot->Encoder(), 0u);
  EXPECT_EQ(fSlot->CurrentRecordingID(), 0);
  EXPECT_EQ(fLog.Count("Test: Cannot open database "), 1u);
  fClock->Advance(100);
  EXPECT_FALSE(fSlot->RotationCheck());
  fClock->Advance(100);
  EXPECT_FALSE(fSlot->RotationCheck());
  EXPECT_EQ(fLog.Count("Encoding to file "), 1u);
}

// A file that began while its database was out of reach (a full disk, a folder
// not there) is entered when it ends, with its start time and duration, so
// the archive lists it and the cleanup can find it.
TEST_F(SlotPipelineTest, FileWithoutARowIsEnteredWhenItEnds) {
  fTmp.Write("blocker", "a file where a folder should be");
  Configure("Format=wav16\nDatabaseFile=" + fTmp.Path("blocker/slot.db") + "\n");
  ASSERT_TRUE(fSlot->RotationCheck());
  ASSERT_NE(fSlot->Encoder(), 0u);
  EXPECT_EQ(fSlot->CurrentRecordingID(), 0);
  std::filesystem::remove(fTmp.Path("blocker"));
  Run(2000);  // now 14:00:00: the next file
  ASSERT_TRUE(fSlot->RotationCheck());
  EXPECT_EQ(fLog.Count("Test: Cannot open database "), 1u);
  EXPECT_EQ(fLog.Count("Error updating database: "), 0u) << "reported once, as the database's error";
  EXPECT_NE(fSlot->CurrentRecordingID(), 0);
  Run(500);
  fSlot.reset();

  ISQLConnectionPtr connection = GetSlotDatabaseConnection(fTmp.Path("blocker/slot.db"));
  ISQLResultSetPtr rows =
      connection->PrepareStatement("SELECT starttime, duration, filename FROM recordings ORDER BY starttime")
          ->ExecuteQueryPrepared();
  ASSERT_TRUE(rows->First());
  EXPECT_EQ(rows->GetString(1).substr(0, 19), "2024-03-05 13:59:58");
  EXPECT_NEAR(rows->GetFloat(2), 2.0, 0.1);
  EXPECT_EQ(rows->GetString(3), "2024/03/05/2024-03-05-13-59-58.wav");
  ASSERT_TRUE(rows->Next());
  EXPECT_EQ(rows->GetString(3), "2024/03/05/2024-03-05-14-00-00.wav");
  EXPECT_FALSE(rows->Next());
}

TEST_F(SlotPipelineTest, SourceErrorsAndDisabling) {
  Configure("Format=wav16\nDatabaseFile=" + fTmp.Path("slot.db") + "\nStreamURL=lavfi:anullsrc=r=8000\n");
  ASSERT_TRUE(fSlot->RotationCheck());
  ASSERT_TRUE(fSlot->Recording());
  ASSERT_TRUE(WaitUntil([&] { return fSlot->StreamChannel() != 0; })) << fSlot->GetStreamStatus();
  // A switch to a sound card that fails detaches the stream that was playing.
  fSlot->SetRecordSource(rsSoundcard);
  fSlot->StartRecording();
  EXPECT_EQ(fSlot->ErrorMessage(), "No device selected");
  EXPECT_EQ(fSlot->StreamChannel(), 0u);
  // An input that is not there is waited for, and said so once.
  fSlot->SetDevice("WDM:4711");
  fSlot->StartRecording();
  fSlot->StartRecording();
  EXPECT_EQ(fSlot->ErrorMessage(), "Waiting for input WDM:4711");
  EXPECT_EQ(fSlot->WaitingForInput(), "WDM:4711");
  EXPECT_EQ(fLog.Count("Test: Waiting for input WDM:4711"), 1u);
  EXPECT_EQ(fSlot->CurrentDeviceInfo(), nullptr);
  // Disabling closes the file at once.
  fSlot->SetEnabled(false);
  EXPECT_FALSE(fSlot->Recording());
  EXPECT_EQ(fSlot->CurrentFilename(), "");
  EXPECT_EQ(fSlot->CurrentRecordingID(), 0);
}

}  // namespace
