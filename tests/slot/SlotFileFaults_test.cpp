// Files and rows when things go wrong: an encoder that stops reading, one
// that cannot start or dies at once, a disk that fills under the file or under
// the database, and rows that a crash left without a length.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "audio/engine/EngineTestHook.h"
#include "slot/SlotDatabase.h"
#include "slot/SlotFileLength.h"
#include "support/FileSizeLimit.h"
#include "support/SimpleSQLInterface.h"
#include "SlotPipelineFixture.h"

namespace {

using namespace std::chrono_literals;

struct TRow {
  int32_t fID = 0;
  std::optional<double> fDuration;
  std::string fFilename;
};

std::vector<TRow> Rows(const std::string& iDatabase) {
  std::vector<TRow> rows;
  ISQLConnectionPtr connection = GetSlotDatabaseConnection(iDatabase);
  ISQLResultSetPtr r =
      connection->PrepareStatement("SELECT id, duration, filename FROM recordings ORDER BY id")->ExecuteQueryPrepared();
  while (r->Next()) rows.push_back({r->GetInt(1), r->IsNull(2) ? std::nullopt : std::optional<double>(r->GetFloat(2)), r->GetString(3)});
  return rows;
}

std::vector<std::string> FilesBelow(const std::string& iFolder) {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(iFolder, ec); !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file()) files.push_back(it->path().string());
  return files;
}

// What ffprobe says a file lasts.
double ProbedSeconds(const std::string& iPath) {
  std::FILE* p = ::popen(("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + iPath + "'").c_str(), "r");
  if (!p) return -1;
  char text[64] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, p);
  ::pclose(p);
  return n ? std::atof(text) : -1;
}

uint64_t SizeOf(const std::string& iPath) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(iPath, ec);
  return ec ? 0 : size;
}

class SlotFileFaults : public SlotPipelineTest {
protected:
  // Ticks (with 100 ms of audio each) until iDone holds, at most iLimitMs of slot time.
  bool TickUntil(const std::function<bool()>& iDone, uint64_t iLimitMs = 20000) {
    for (uint64_t t = 0; t < iLimitMs; t += 100) {
      fSlot->RotationCheck();
      if (iDone()) return true;
      Run(100);
    }
    return false;
  }
};

// An encoder process that stops reading (here stopped with SIGSTOP, as a write
// stuck on a dead network share would) is killed within seconds of its queue
// filling, its file is closed with the length of what it took, and the next
// file starts at once instead of at the next boundary.
TEST_F(SlotFileFaults, HungEncoderIsKilledAndReplaced) {
  Configure("Format=customraw\nFileExtension=raw\nEncoderFilename=dd\nEncoderOptions=bs=512 status=none of=$FILENAME\n"
            "EncoderQueueLength=2000\nDatabaseFile=" + fTmp.Path("slot.db") + "\n", EncodeDateTime(2024, 3, 5, 13, 10, 0, 0));
  ASSERT_TRUE(fSlot->RotationCheck());
  const DWORD first = fSlot->Encoder();
  const std::string firstFile = fSlot->CurrentFilename();
  ASSERT_NE(first, 0u) << fSlot->ErrorMessage();
  const pid_t pid = vt::engine::test::EncoderProcessId(first);
  ASSERT_GT(pid, 0);
  Run(1000);
  ASSERT_TRUE(WaitUntil([&] { return SizeOf(firstFile) >= 16000; }));
  ::kill(pid, SIGSTOP);
  // The pipe holds 2 s of this audio and the queue 2 s; then blocks drop.
  const bool replaced = TickUntil([&] { return fSlot->Encoder() != first; }, 15000);
  if (!replaced) ::kill(pid, SIGKILL);
  ASSERT_TRUE(replaced) << "no new file while the encoder does not read";
  // (Slot time runs faster than the encoder's thread drains: under load the
  // queue may overflow for a moment before the pipe is full, a first incident.)
  EXPECT_GE(fLog.Count("Encoder queue full: audio dropped from " + firstFile), 1u);
  EXPECT_EQ(fLog.Count("Encoder not taking audio, stopped and file closed: " + firstFile), 1u);
  ASSERT_NE(fSlot->Encoder(), 0u);
  EXPECT_NE(fSlot->CurrentFilename(), firstFile);
  EXPECT_TRUE(WaitUntil([&] { return ::kill(pid, 0) == -1 && errno == ESRCH; }, 5s)) << "the stopped child is still there";
  // The row holds what the file holds: dd wrote every block it read, but the
  // last one it read when it was stopped.
  ASSERT_TRUE(TickUntil([&] { return !Rows(fTmp.Path("slot.db")).empty() && Rows(fTmp.Path("slot.db"))[0].fDuration; }));
  const TRow row = Rows(fTmp.Path("slot.db"))[0];
  EXPECT_NEAR(*row.fDuration, static_cast<double>(SizeOf(firstFile)) / 32000, 512.0 / 32000 + 1e-6);
  // At least what the file held when the child was stopped (a busy machine
  // may stop it soon after the first half second).
  EXPECT_GE(*row.fDuration, 16000.0 / 32000);
}

// A slot whose encoder cannot start, or starts and dies at once, tries again
// every 10 s (not at every 100 ms tick), and leaves no rows, waveform files or
// empty files behind.
TEST_F(SlotFileFaults, FailingEncodersArePacedAndLeaveNoJunk) {
  const struct {
    const char* fWhat;
    const char* fEncoder;
  } cases[] = {{"cannot start", "/no/such/encoder"}, {"dies at once", "false"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fWhat);
    const std::string db = fTmp.Path(std::string("db-") + c.fEncoder[0] + ".db");
    Configure(std::string("Format=customraw\nFileExtension=raw\nEncoderFilename=") + c.fEncoder +
              "\nEncoderOptions=$FILENAME\nTimeSlotAlign=off\nTimeSlotLength=60\nDatabaseFile=" + db + "\n");
    int starts = 0;
    for (int tick = 0; tick < 300; ++tick) {  // 30 s
      starts += fSlot->RotationCheck();
      // Slot time runs faster than the child: the slot takes up its death
      // before the clock moves on.
      if (fSlot->Encoder())
        ASSERT_TRUE(WaitUntil([&] {
          starts += fSlot->RotationCheck();
          return fSlot->Encoder() == 0;
        }));
      fClock->Advance(100);
    }
    EXPECT_LE(starts, 4) << "ten starts a second";
    EXPECT_GE(starts, 3);
    // Rows of ended files are settled once their encoders have finished.
    EXPECT_TRUE(WaitUntil([&] {
      fSlot->RotationCheck();
      return Rows(db).empty() && FilesBelow(fTmp.Path("rec")).empty();
    })) << Rows(db).size() << " rows, " << FilesBelow(fTmp.Path("rec")).size() << " files";
    fSlot.reset();
    fPulledMs = 0;
  }
}

// A disk that fills under the file: the row holds what reached the file, not
// what the slot fed while the encoder was already failing.
TEST_F(SlotFileFaults, LengthIsWhatReachedTheFile) {
  const struct {
    const char* fWhat;
    const char* fKeys;
    uint64_t fHeader;
  } cases[] = {
      {"wav", "Format=wav16\n", 44},
      {"dd", "Format=customraw\nFileExtension=raw\nEncoderFilename=dd\nEncoderOptions=bs=512 status=none of=$FILENAME\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fWhat);
    const std::string db = fTmp.Path(std::string("full-") + c.fWhat + ".db");
    Configure(std::string(c.fKeys) + "EncoderQueueLength=10000\nDatabaseFile=" + db + "\n",
              EncodeDateTime(2024, 3, 5, 13, 10, 0, 0));
    GetSlotDatabaseConnection(db);  // made before the limit
    std::string file;
    {
      TFileSizeLimit full(64000);  // 2 s of audio, inherited by a child started now
      ASSERT_TRUE(fSlot->RotationCheck());
      file = fSlot->CurrentFilename();
      Run(4000);
      ASSERT_TRUE(WaitUntil([&] { return SizeOf(file) >= 64000 - 512; }));
      ASSERT_TRUE(WaitUntil([&] { return BASS_Encode_IsActive(fSlot->Encoder()) == BASS_ACTIVE_STOPPED; }));
    }
    ASSERT_TRUE(TickUntil([&] {
      const auto rows = Rows(db);
      return !rows.empty() && rows[0].fDuration;
    }));
    const double inFile = static_cast<double>(SizeOf(file) - c.fHeader) / 32000;
    EXPECT_NEAR(*Rows(db)[0].fDuration, inFile, 512.0 / 32000 + 1e-6) << "4 s fed, " << inFile << " s in the file";
    fSlot.reset();
    fPulledMs = 0;
  }
}

// A database on a disk that is full: the length of the file that ended and
// the row of the file that began are written once there is room again, a few
// seconds later, with the database error logged once.
TEST_F(SlotFileFaults, RowsAreWrittenOnceTheDatabaseDiskHasRoom) {
  const std::string mount = fTmp.Path("dbdisk");
  std::filesystem::create_directories(mount);
  if (::mount("tmpfs", mount.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs: " << std::strerror(errno);
  struct TUnmount {
    std::string fPath;
    ~TUnmount() { ::umount2(fPath.c_str(), MNT_DETACH); }
  } unmount{mount};
  const std::string db = mount + "/slot.db";
  Configure("Format=wav16\nDatabaseFile=" + db + "\n");
  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string first = fSlot->CurrentFilename();
  ASSERT_NE(fSlot->CurrentRecordingID(), 0);
  {
    std::ofstream filler(mount + "/filler", std::ios::binary);
    const std::vector<char> block(4096, 'x');
    while (filler.write(block.data(), block.size()) && filler.flush()) {
    }
  }
  Run(2000);  // 14:00:00: the first file ends, the second begins
  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string second = fSlot->CurrentFilename();
  ASSERT_NE(second, first);
  EXPECT_EQ(fSlot->CurrentRecordingID(), 0) << "the row went in: the disk was not full";
  TickUntil([] { return false; }, 6000);
  EXPECT_EQ(fLog.Count("Error updating database: "), 1u);
  ASSERT_EQ(Rows(db).size(), 1u);
  EXPECT_FALSE(Rows(db)[0].fDuration);

  std::filesystem::remove(mount + "/filler");
  ASSERT_TRUE(TickUntil([&] {
    const auto rows = Rows(db);
    return rows.size() == 2 && rows[0].fDuration;
  }, 10000));
  const auto rows = Rows(db);
  EXPECT_NEAR(*rows[0].fDuration, 2.0, 0.05);
  EXPECT_EQ(fTmp.Path("rec/") + rows[1].fFilename, second);
  EXPECT_FALSE(rows[1].fDuration) << "still being written";
  EXPECT_EQ(fSlot->CurrentRecordingID(), rows[1].fID);
  fSlot.reset();
}

// Rows that a killed run left without a length get the length of their file
// at the next start, WAV files their full header too; rows of files that are
// gone and rows that have a length stay as they are.
TEST_F(SlotFileFaults, RowsLeftOpenByACrashGetTheirFilesLength) {
  const std::string rec = fTmp.Path("rec"), old = fTmp.Path("rec/old");
  std::filesystem::create_directories(old);
  // A WAV file as the writer leaves it when killed: 3 s of data, a header that
  // still says 2 s.
  {
    std::vector<uint8_t> wav(44 + 3 * 32000, 0);
    const uint32_t rate = 8000, byteRate = 32000, riff = 36 + 2 * 32000, data = 2 * 32000;
    std::memcpy(&wav[0], "RIFF", 4);
    std::memcpy(&wav[4], &riff, 4);
    std::memcpy(&wav[8], "WAVEfmt ", 8);
    const uint32_t fmtSize = 16;
    const uint16_t pcm = 1, channels = 2, align = 4, bits = 16;
    std::memcpy(&wav[16], &fmtSize, 4);
    std::memcpy(&wav[20], &pcm, 2);
    std::memcpy(&wav[22], &channels, 2);
    std::memcpy(&wav[24], &rate, 4);
    std::memcpy(&wav[28], &byteRate, 4);
    std::memcpy(&wav[32], &align, 2);
    std::memcpy(&wav[34], &bits, 2);
    std::memcpy(&wav[36], "data", 4);
    std::memcpy(&wav[40], &data, 4);
    std::ofstream(old + "/a.wav", std::ios::binary).write(reinterpret_cast<const char*>(wav.data()), wav.size());
  }
  const std::string tone = "sine=frequency=440:duration=3:sample_rate=8000";
  ASSERT_EQ(std::system(("ffmpeg -v error -f lavfi -i " + tone + " -ac 2 -y '" + old + "/b.mp3'").c_str()), 0);
  ASSERT_EQ(std::system(("ffmpeg -v error -f lavfi -i " + tone + " -ac 2 -c:a libvorbis -y '" + old + "/c.ogg'").c_str()), 0);
  // An MP3 file cut short whose Info frame still states the whole length.
  std::filesystem::copy_file(old + "/b.mp3", old + "/d.mp3");
  std::filesystem::resize_file(old + "/d.mp3", std::filesystem::file_size(old + "/b.mp3") / 2);
  const std::string db = fTmp.Path("slot.db");
  {
    ISQLConnectionPtr connection = GetSlotDatabaseConnection(db);
    for (const char* name : {"old/a.wav", "old/b.mp3", "old/c.ogg", "old/d.mp3", "old/gone.wav", "old/closed.wav"})
      InsertRecordingRow(*connection, EncodeDateTime(2024, 3, 5, 12, 0, 0, 0), name);
    UpdateRecordingDuration(*connection, 6, 1.5);
  }
  std::filesystem::copy_file(old + "/a.wav", old + "/closed.wav");

  Configure("Format=wav16\nDatabaseFile=" + db + "\n");
  ASSERT_TRUE(fSlot->RotationCheck());
  ASSERT_EQ(fSlot->CurrentRecordingID(), 7);
  ASSERT_TRUE(WaitUntil([&] {
    const auto rows = Rows(db);
    return rows[0].fDuration && rows[1].fDuration && rows[2].fDuration && rows[3].fDuration;
  })) << fLog.Count("Length of");
  const auto rows = Rows(db);
  EXPECT_NEAR(*rows[0].fDuration, 3.0, 1e-6);
  EXPECT_EQ(ReadWavLayout(old + "/a.wav")->fDeclaredBytes, 3u * 32000) << "header not completed";
  EXPECT_NEAR(*rows[1].fDuration, ProbedSeconds(old + "/b.mp3"), 0.01);
  EXPECT_NEAR(*rows[2].fDuration, 3.0, 0.05);
  EXPECT_NEAR(*rows[3].fDuration, 1.5, 0.2) << "the cut file's Info frame was believed";
  EXPECT_FALSE(rows[4].fDuration) << "a file that is gone";
  EXPECT_EQ(rows[5].fDuration, 1.5);
  EXPECT_FALSE(rows[6].fDuration) << "the file being written";
  EXPECT_EQ(fLog.Count("Test: Length of " + old), 4u);
}

}  // namespace
