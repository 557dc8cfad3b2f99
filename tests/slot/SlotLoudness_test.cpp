// The loudness of each file, measured on the slot's own thread from the audio
// the file receives, as it lands in the recordings table: the EBU test
// signals give the values the standard expects, and the same as libebur128
// run on the recorded file.
#include <gtest/gtest.h>
#include <ebur128.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "audio/engine/EngineTestHook.h"
#include "shell/IniFile.h"
#include "slot/SlotDatabase.h"
#include "slot/SlotInfo.h"
#include "slot/SlotLoudnessBackfill.h"
#include "support/SimpleSQLInterface.h"
#include "SlotRunSupport.h"
#include "SlotTestSupport.h"

namespace {

using namespace std::chrono_literals;
constexpr int kRate = 48000;

struct TTone {
  double fDBFS;
  double fSeconds;
};

struct TLoudnessRow {
  bool fNull = true;
  double fIntegrated = 0, fRange = 0, fTruePeak = 0;
};

struct TReference {
  double fIntegrated = 0, fRange = 0, fTruePeak = 0;
};

// libebur128 on the file's 16-bit samples.
TReference MeasureFile(const std::string& iPath) {
  const std::vector<int16_t> samples = ReadWav16(iPath);
  std::vector<float> frames(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) frames[i] = samples[i] / 32768.0f;
  ebur128_state* state =
      ebur128_init(2, kRate, EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
  ebur128_add_frames_float(state, frames.data(), frames.size() / 2);
  TReference r;
  ebur128_loudness_global(state, &r.fIntegrated);
  ebur128_loudness_range(state, &r.fRange);
  double left = 0, right = 0;
  ebur128_true_peak(state, 0, &left);
  ebur128_true_peak(state, 1, &right);
  r.fTruePeak = 20 * std::log10(std::max(left, right));
  ebur128_destroy(&state);
  return r;
}

class SlotLoudnessTest : public ::testing::Test {
protected:
  // Records iTones (1 kHz, stereo) into one WAV file and closes it.
  void Record(const std::vector<TTone>& iTones) {
    fTmp.Write("Vantorel.ini", "[Slot0]\nName=Test\nSource=Stream\nSamplerate=48000\nFormat=wav16\nFolder=" +
                                   fTmp.Path("rec") + "\nDatabaseFile=" + fTmp.Path("db/slot.db") + "\n");
    fIni = std::make_unique<TIniFile>(fTmp.Path("Vantorel.ini"));
    fClock = std::make_shared<TFakeSlotClock>();
    fClock->Set(EncodeDateTime(2024, 3, 5, 14, 0, 0, 0), 1000);
    auto slot = std::make_unique<TSlotInfo>(*fIni, false, 0, fClock);
    slot->Initialize();
    slot->StartRecording();
    int64_t frame = 0;
    const HSTREAM source =
        vt::engine::test::CreateGeneratorStream(kRate, 2, [frame, iTones](float* ioBuffer, DWORD iFrames) mutable {
          for (DWORD i = 0; i < iFrames; ++i, ++frame) {
            // the tone of this moment; silence after the last
            double at = static_cast<double>(frame) / kRate, amplitude = 0;
            for (const auto& t : iTones) {
              if (at < t.fSeconds) {
                amplitude = std::pow(10.0, t.fDBFS / 20);
                break;
              }
              at -= t.fSeconds;
            }
            const float v = static_cast<float>(amplitude * std::sin(2 * M_PI * 1000.0 * frame / kRate));
            ioBuffer[2 * i] = ioBuffer[2 * i + 1] = v;
          }
        });
    ASSERT_NE(source, 0u);
    TSlotInfoTestAccess::FeedMixer(*slot, source);
    ASSERT_TRUE(slot->RotationCheck());
    fFile = slot->CurrentFilename();
    double total = 0;
    for (const auto& t : iTones) total += t.fSeconds;
    const uint64_t ms = static_cast<uint64_t>(total * 1000);
    for (uint64_t done = 0; done < ms;) {
      const uint64_t step = std::min<uint64_t>(1000, ms - done);
      fClock->Advance(step);
      done += step;
      const uint64_t bytes = done * kRate / 1000 * 8;
      ASSERT_TRUE(WaitUntil([&] { return slot->GetStreamPosition() >= bytes; })) << slot->GetStreamPosition();
    }
    slot.reset();  // closes the file; its loudness is measured up to its end
    ASSERT_TRUE(vt::engine::test::WaitForEncoders(10s));
  }

  TLoudnessRow Row() {
    auto connection = GetSlotDatabaseConnection(fTmp.Path("db/slot.db"));
    auto rows = connection->PrepareStatement("SELECT loudness, loudnessrange, truepeak FROM recordings ORDER BY id DESC")
                    ->ExecuteQueryPrepared();
    TLoudnessRow row;
    if (!rows->First() || rows->IsNull(1)) return row;
    row.fNull = false;
    row.fIntegrated = rows->GetFloat(1);
    row.fRange = rows->GetFloat(2);
    row.fTruePeak = rows->GetFloat(3);
    return row;
  }

  TSlotTempFolder fTmp;
  std::unique_ptr<TIniFile> fIni;
  std::shared_ptr<TFakeSlotClock> fClock;
  std::string fFile;
};

TEST_F(SlotLoudnessTest, EbuTestSignalsThroughTheRecorder) {
  struct TCase {
    const char* fName;
    std::vector<TTone> fTones;
    double fExpectedIntegrated;  // NAN: only against libebur128 on the file
    double fExpectedRange;
  } cases[] = {
      {"-23 dBFS, 20 s", {{-23, 20}}, -23.0, NAN},
      {"-33 dBFS, 20 s", {{-33, 20}}, -33.0, NAN},
      // both levels pass the relative gate: their mean power, and a range of their difference
      {"-23 then -33 dBFS, 20 s each", {{-23, 20}, {-33, 20}}, -23 + 10 * std::log10(1.1 / 2), 10.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fName);
    Record(c.fTones);
    const TLoudnessRow row = Row();
    ASSERT_FALSE(row.fNull) << "no loudness in the row";
    const TReference reference = MeasureFile(fFile);
    EXPECT_NEAR(row.fIntegrated, reference.fIntegrated, 0.1);
    EXPECT_NEAR(row.fRange, reference.fRange, 0.1);
    EXPECT_NEAR(row.fTruePeak, reference.fTruePeak, 0.1);
    EXPECT_NEAR(row.fIntegrated, c.fExpectedIntegrated, 0.1);
    if (!std::isnan(c.fExpectedRange)) {
      EXPECT_NEAR(row.fRange, c.fExpectedRange, 1.0);
    }
    EXPECT_NEAR(row.fTruePeak, c.fTones.front().fDBFS, 0.2) << "a 1 kHz sine peaks at its level";
  }
}

TEST(SlotLoudnessColumns, AreAddedToAnOldDatabaseWithItsRowsLeftNull) {
  TSlotTempFolder tmp;
  const std::string path = tmp.Path("old.db");
  {
    auto old = OpenSlotDatabase(path);
    old->PrepareStatement(kSQLCreateRecordings)->ExecuteUpdatePrepared();
    InsertRecordingRow(*old, EncodeDateTime(2024, 3, 5, 14, 0, 0, 0), "a.mp3");
  }
  auto connection = GetSlotDatabaseConnection(path);
  auto rows = connection->PrepareStatement("SELECT loudness, loudnessrange, truepeak, startsample FROM recordings")
                  ->ExecuteQueryPrepared();
  ASSERT_TRUE(rows->First());
  for (int column = 1; column <= 4; ++column) EXPECT_TRUE(rows->IsNull(column)) << column;
  GetSlotDatabaseConnection(path);  // a second opening finds them there
}

// A recording of the old days (no loudness in its row), and one whose file
// is gone: the pass measures the first from its file and leaves the second.
TEST(SlotLoudnessBackfill, MeasuresOldRecordingsFromTheirFiles) {
  TSlotTempFolder tmp;
  std::filesystem::create_directories(tmp.Path("rec"));
  {
    // 10 s of 1 kHz at -23 dBFS, 16-bit stereo
    std::vector<int16_t> samples(2 * 10 * kRate);
    for (size_t i = 0; i < samples.size() / 2; ++i)
      samples[2 * i] = samples[2 * i + 1] =
          static_cast<int16_t>(std::lround(32767 * std::pow(10.0, -23 / 20.0) * std::sin(2 * M_PI * 1000.0 * i / kRate)));
    const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    std::ofstream out(tmp.Path("rec/old.wav"), std::ios::binary);
    const auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out << "RIFF";
    u32(36 + data);
    out << "WAVEfmt ";
    u32(16), u16(1), u16(2), u32(kRate), u32(kRate * 4), u16(4), u16(16);
    out << "data";
    u32(data);
    out.write(reinterpret_cast<const char*>(samples.data()), data);
  }
  const std::string database = tmp.Path("db/slot.db");
  {
    auto db = GetSlotDatabaseConnection(database);
    for (const char* name : {"old.wav", "gone.wav"}) {
      const int32_t id = InsertRecordingRow(*db, EncodeDateTime(2024, 3, 5, 14, 0, 0, 0), name);
      UpdateRecordingDuration(*db, id, 10.0);
    }
  }
  TSlotLoudnessBackfill backfill(database, tmp.Path("rec"), "", nullptr);
  ASSERT_TRUE(WaitUntil([&] { return backfill.Done(); }, std::chrono::seconds(60)));
  auto rows = GetSlotDatabaseConnection(database)
                  ->PrepareStatement("SELECT filename, loudness, truepeak FROM recordings ORDER BY id")
                  ->ExecuteQueryPrepared();
  ASSERT_TRUE(rows->Next());
  ASSERT_FALSE(rows->IsNull(2)) << "old.wav not measured";
  const TReference reference = MeasureFile(tmp.Path("rec/old.wav"));
  EXPECT_NEAR(rows->GetFloat(2), reference.fIntegrated, 0.1);
  EXPECT_NEAR(rows->GetFloat(2), -23.0, 0.1);
  EXPECT_NEAR(rows->GetFloat(3), reference.fTruePeak, 0.2);
  ASSERT_TRUE(rows->Next());
  EXPECT_TRUE(rows->IsNull(2)) << "gone.wav has no file to measure";
}

}  // namespace
