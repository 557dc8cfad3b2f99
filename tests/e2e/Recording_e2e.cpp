#include <iostream>
// Recording a real input through the whole program: files rotate every minute
// without losing a sample at the cuts, every file has its row with its length,
// and a dead encoder is replaced at once.
#include <gtest/gtest.h>

#include <algorithm>

#include "E2EServices.h"

namespace {
// A ramp that climbs 4 per frame and wraps every 8192 frames: any lost or
// repeated frame shows as a jump in its position.
int16_t Ramp(int64_t n) { return static_cast<int16_t>(4 * (n % 8192) - 16384); }
int64_t RampPosition(int16_t v) { return (static_cast<int64_t>(std::lround((v + 16384) / 4.0)) % 8192 + 8192) % 8192; }
// Frames missing (positive) or repeated (negative) between two neighbours.
int64_t RampStep(int16_t a, int16_t b) {
  int64_t d = (RampPosition(b) - RampPosition(a) - 1) % 8192;
  if (d < 0) d += 8192;
  return d > 4096 ? d - 8192 : d;
}

std::vector<std::string> FilesWithExtension(const std::string& iFolder, const std::string& iExtension) {
  std::vector<std::string> files;
  if (!std::filesystem::exists(iFolder)) return files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(iFolder))
    if (e.is_regular_file() && e.path().extension() == iExtension) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

// Every file has a row with a stored duration close to the decoded length.
void ExpectRowsMatchFiles(const std::string& iFolder, const std::string& iExtension, const std::string& iScratch) {
  const auto rows = ReadRecordings(iFolder + "/Vantorel.db");
  const auto files = FilesWithExtension(iFolder, iExtension);
  ASSERT_EQ(rows.size(), files.size());
  for (const TRecordingRow& row : rows) {
    SCOPED_TRACE(row.FileName);
    const std::string file = iFolder + "/" + row.FileName;
    ASSERT_TRUE(std::filesystem::exists(file));
    ASSERT_TRUE(row.HasDuration) << "row left open";
    const double decoded = DecodedSeconds(file, iScratch);
    ASSERT_GT(decoded, 0) << "does not decode";
    EXPECT_NEAR(row.Duration, decoded, 0.5);
  }
}
}  // namespace

TEST(RecordingE2E, TwoSlotsRotateWithoutGapsAndCloseOnSigterm) {
  TE2ETempFolder run;
  TPulseServer pulse(run / "pulse");
  WriteTestWav(run / "ramp.wav", 240, &Ramp);
  pulse.Play(run / "ramp.wav");

  const std::string root = run / "root";
  std::filesystem::create_directories(root);
  WriteFileText(root + "/Vantorel.ini",
                "[General]\nInstanceNumber=" + std::to_string(RecordingInstanceNumber(0)) + "\nFullSlotCount=2\n" +
                    SoundcardSlotSection(0, "Wave", "wav16", 1, pulse.Device(), root + "/wav") +
                    SoundcardSlotSection(1, "Lame", "mp3", 1, pulse.Device(), root + "/mp3"));
  auto program = StartVantorel(root, pulse.Env());
  // two rotations: three files per slot
  const bool rotated = WaitUntil(
      [&] {
        const std::string log = ReadFileText(root + "/out.txt");
        return (CountOccurrences(log, "Wave: Encoding to file") >= 3 && CountOccurrences(log, "Lame: Encoding to file") >= 3) ||
               !program->Running();
      },
      200000);
  ASSERT_TRUE(rotated) << ReadFileText(root + "/out.txt");
  ASSERT_TRUE(program->Running()) << ReadFileText(root + "/out.txt");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_TRUE(pulse.Playing()) << "the test signal ended too early";
  program->Signal(SIGTERM);
  ASSERT_EQ(program->WaitExit(2000), std::optional<int>(0));
  const std::string log = ReadFileText(root + "/out.txt");

  ExpectRowsMatchFiles(root + "/wav", ".wav", run.Path());
  ExpectRowsMatchFiles(root + "/mp3", ".mp3", run.Path());

  // The WAV files in a row are one unbroken ramp: overlap of a few ms at a cut
  // is allowed, a gap is not, and nothing may be lost inside a file. Runs of
  // zeros (the ramp passes 0 only once per period) are silence put in while
  // the input was late; they are counted apart from lost frames.
  const auto files = FilesWithExtension(root + "/wav", ".wav");
  ASSERT_GE(files.size(), 3u);
  std::vector<int16_t> previous;
  int64_t insertedSilence = 0;
  bool signalSeen = false;  // the silence before the input started is not a fault
  std::ostringstream silenceRuns;
  for (size_t f = 0; f < files.size(); ++f) {
    SCOPED_TRACE(files[f]);
    const std::vector<int16_t> raw = ReadWavLeft(files[f]);
    std::vector<int16_t> samples;
    samples.reserve(raw.size());
    bool wasInRun = false;
    for (size_t i = 0; i < raw.size(); ++i) {
      const bool inZeroRun = raw[i] == 0 && ((i > 0 && raw[i - 1] == 0) || (i + 1 < raw.size() && raw[i + 1] == 0));
      if (!inZeroRun) {
        samples.push_back(raw[i]);
        signalSeen = true;
      } else if (signalSeen) {
        ++insertedSilence;
        if (!wasInRun) silenceRuns << " file " << f << " frame " << i;
      }
      wasInRun = inZeroRun;
    }
    // The first file may end a moment after the start, just before a minute
    // boundary; every later one holds more than a second of the ramp.
    if (f > 0) ASSERT_GT(samples.size(), 48000u);
    int64_t lost = 0;
    for (size_t i = 1; i < samples.size(); ++i)
      if (RampStep(samples[i - 1], samples[i]) != 0) ++lost;
    EXPECT_EQ(lost, 0) << "frames lost or repeated inside the file";
    if (!previous.empty()) {
      const int64_t step = RampStep(previous.back(), samples.front());
      EXPECT_LE(step, 0) << step << " frames lost at the cut";
      EXPECT_GE(step, -480) << "overlap longer than 10 ms at the cut";
    }
    previous = std::move(samples);
  }
  // Capture buffers that arrive late must be waited for, not replaced by
  // silence: a zero run inside the recording is audio the file does not have.
  RecordProperty("InsertedSilenceFrames", static_cast<int>(insertedSilence));
  EXPECT_EQ(insertedSilence, 0) << "frames of silence put into the recording while the input was late; runs start at" << silenceRuns.str();
  EXPECT_EQ(log.find("dropped"), std::string::npos) << log;
}

TEST(RecordingE2E, KilledEncoderIsReplacedWithinASecond) {
  TE2ETempFolder run;
  TPulseServer pulse(run / "pulse");
  WriteTestWav(run / "tone.wav", 60, &Sine1k);
  pulse.Play(run / "tone.wav");

  const std::string root = run / "root";
  std::filesystem::create_directories(root);
  WriteFileText(root + "/Vantorel.ini", "[General]\nInstanceNumber=" + std::to_string(RecordingInstanceNumber(1)) +
                                            "\nFullSlotCount=1\n" +
                                            SoundcardSlotSection(0, "Lame", "mp3", 60, pulse.Device(), root + "/mp3"));
  auto program = StartVantorel(root, pulse.Env());
  std::vector<pid_t> lame;
  ASSERT_TRUE(WaitUntil(
      [&] {
        lame = ChildrenNamed(program->Pid(), "lame");
        return !lame.empty() || !program->Running();
      },
      15000));
  ASSERT_EQ(lame.size(), 1u) << ReadFileText(root + "/out.txt");
  std::this_thread::sleep_for(std::chrono::seconds(2));  // some audio in the first file

  kill(lame[0], SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil(
      [&] { return CountOccurrences(ReadFileText(root + "/out.txt"), "Lame: Encoding to file") >= 2; }, 1000))
      << ReadFileText(root + "/out.txt");
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::milliseconds(1000));

  auto rows = ReadRecordings(root + "/mp3/Vantorel.db");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].HasDuration) << "the killed file's row stays open";
  EXPECT_GT(rows[0].Duration, 1.0);
  EXPECT_FALSE(rows[1].HasDuration);

  std::this_thread::sleep_for(std::chrono::seconds(2));
  program->Signal(SIGTERM);
  ASSERT_EQ(program->WaitExit(2000), std::optional<int>(0));
  rows = ReadRecordings(root + "/mp3/Vantorel.db");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[1].HasDuration);
  EXPECT_GT(DecodedSeconds(root + "/mp3/" + rows[1].FileName, run.Path()), 1.0);
}
