// A clip of the archive across two cuts, cut by the web server from the files
// a slot recorded through the real engine: the joins carry on the recorded
// signal without a gap or a repeated sample, although each new file's start
// time was read 300 ms after its first sample (as a slow start makes it).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "audio/engine/EngineTestHook.h"
#include "web/ClipDecoder.h"
#include "web/WebTestServer.h"
#include "SlotPipelineFixture.h"

namespace {

using namespace std::chrono_literals;

// Frame n of the ramp carries (n mod 20000) - 10000 left and its negative right.
int16_t NextRamp(int16_t iValue) { return static_cast<int16_t>(iValue == 9999 ? -10000 : iValue + 1); }

std::vector<int16_t> WavBodySamples(const std::string& iBody) {
  std::vector<int16_t> samples((iBody.size() - 44) / 2);
  std::memcpy(samples.data(), iBody.data() + 44, samples.size() * 2);
  return samples;
}

// First frame at which the ramp breaks, or the frame count when it never does.
size_t FirstBreak(const std::vector<int16_t>& iSamples) {
  for (size_t i = 2; i + 1 < iSamples.size(); i += 2)
    if (iSamples[i] != NextRamp(iSamples[i - 2]) || iSamples[i + 1] != -iSamples[i]) return i / 2;
  return iSamples.size() / 2;
}

class SlotClipExportTest : public SlotPipelineTest {
protected:
  // Three files of a minute from 14:00:00, and 30 s of a fourth.
  void RecordThreeMinutes() {
    Configure("Format=wav16\nTimeSlotLength=1\nDatabaseFile=" + fTmp.Path("db/slot.db") + "\n",
              EncodeDateTime(2024, 3, 5, 14, 0, 0, 0));
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
    ASSERT_TRUE(fSlot->RotationCheck());
    fFiles.push_back(fSlot->CurrentFilename());
    // From the second file on, 300 ms of audio pass between the new file's
    // first sample and the moment its start time is read.
    fSlot->SetOnLogMessage([this](const void*, const std::string& iMessage) {
      if (iMessage.find("Encoding to file") == std::string::npos) return;
      fClock->Advance(300);
      fPulledMs += 300;
      const uint64_t bytes = fPulledMs * 8 * 8;
      EXPECT_TRUE(WaitUntil([&] { return fSlot->GetStreamPosition() >= bytes; }));
    });
    for (int minute = 0; minute < 3; ++minute) {
      for (int step = 0; step < 60; ++step) {
        if (fClock->Now() >= EncodeDateTime(2024, 3, 5, 14, minute + 1, 0, 0)) break;
        Run(1000);
        fSlot->RotationCheck();  // also stores the place of the file just begun
      }
      ASSERT_TRUE(fSlot->RotationCheck() || fFiles.back() != fSlot->CurrentFilename());
      fFiles.push_back(fSlot->CurrentFilename());
    }
    Run(1000);
    fSlot->RotationCheck();
    fSlot.reset();  // closes the last file and stores its length
    ASSERT_TRUE(vt::engine::test::WaitForEncoders(10s));
  }

  void StartServer() {
    TWebSlotSnapshot slot;
    slot.Name = "Studio A";
    slot.Folder = fTmp.Path("rec");
    slot.DatabasePath = fTmp.Path("db/slot.db");
    fServer.Host.Slots = {slot};
    fServer.Start(TWebTestServer::Config(alReadOnly));
  }

  httplib::Result Clip(const std::string& iStart, const std::string& iEnd, const std::string& iFormat = "wav") {
    // local times: a date-time with an offset of its own would need the zone
    return fServer.Client()->Get("/ws/slots/0/clip?start=" + LocalISO(iStart) + "&end=" + LocalISO(iEnd) +
                                 "&format=" + iFormat);
  }
  // "hh:nn:ss" of 2024-03-05 local time as an ISO 8601 instant with the zone's offset
  static std::string LocalISO(const std::string& iTime) {
    const int h = std::stoi(iTime.substr(0, 2)), n = std::stoi(iTime.substr(3, 2)), s = std::stoi(iTime.substr(6, 2));
    TDateTime utc = 0;
    EXPECT_TRUE(LocalToUTC(EncodeDateTime(2024, 3, 5, h, n, s, 0), utc));
    int y, m, d, hh, nn, ss, ms;
    DecodeDateTime(utc, y, m, d, hh, nn, ss, ms);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", y, m, d, hh, nn, ss, ms);
    return text;
  }

  std::vector<std::string> fFiles;
  TWebTestServer fServer;
};

TEST_F(SlotClipExportTest, ClipAcrossTwoCutsContinuesTheRecordedSignal) {
  RecordThreeMinutes();
  ASSERT_EQ(fFiles.size(), 4u);
  StartServer();

  // 20 s before the first cut to 20 s after the second
  auto wav = Clip("14:00:40", "14:02:20");
  ASSERT_TRUE(wav);
  ASSERT_EQ(wav->status, 200) << wav->body;
  EXPECT_EQ(wav->get_header_value("Content-Disposition"), "attachment; filename=\"Studio A-2024-03-05-14-00-40.wav\"");
  EXPECT_FALSE(wav->has_header("X-Vantorel-Gaps"));
  const std::vector<int16_t> clip = WavBodySamples(wav->body);
  ASSERT_EQ(clip.size(), 2u * 100 * 8000) << "100 s at 8000 Hz, to the sample";
  EXPECT_EQ(FirstBreak(clip), clip.size() / 2) << "the ramp breaks at a cut";
  const std::vector<int16_t> first = ReadWav16(fFiles[0]);
  EXPECT_EQ(clip[0], first[2 * 40 * 8000]) << "the clip begins 40 s into the first file";

  // The same span as MP3. Streamed, it cannot carry the tag that tells a
  // decoder to drop lame's fixed delay (576 + 529 samples), so it decodes to
  // the clip's length, that delay, and at most one frame of padding (576
  // samples at 8 kHz).
  auto mp3 = Clip("14:00:40", "14:02:20", "mp3");
  ASSERT_TRUE(mp3);
  ASSERT_EQ(mp3->status, 200);
  EXPECT_EQ(mp3->get_header_value("Content-Type"), "audio/mpeg");
  const std::string mp3Path = fTmp.Path("clip.mp3");
  std::ofstream(mp3Path, std::ios::binary) << mp3->body;
  TAudioFileInfo info;
  ASSERT_TRUE(ProbeAudioFile(mp3Path, info));
  EXPECT_EQ(info.fRate, 8000);
  TClipDecoder decoder(mp3Path, 0, 8000, 2);
  std::vector<int16_t> block(2 * 8192);
  size_t decoded = 0;
  while (const size_t n = decoder.Read(block.data(), 8192)) decoded += n;
  EXPECT_GE(decoded, 100u * 8000 + 1105);
  EXPECT_LT(decoded, 100u * 8000 + 1105 + 576);

  // Without the middle file, the span has a gap of its minute.
  std::filesystem::remove(fFiles[1]);
  auto gapped = Clip("14:00:40", "14:02:20");
  ASSERT_TRUE(gapped);
  ASSERT_EQ(gapped->status, 200);
  const std::string gaps = gapped->get_header_value("X-Vantorel-Gaps");
  ASSERT_EQ(gaps.size(), std::string("20.000-80.300").size()) << gaps;
  EXPECT_NEAR(std::stod(gaps.substr(0, 6)), 20.0, 0.35) << gaps;
  EXPECT_NEAR(std::stod(gaps.substr(7)), 80.0, 0.35) << gaps;
  const size_t gapFrames = static_cast<size_t>(std::llround((std::stod(gaps.substr(7)) - std::stod(gaps.substr(0, 6))) * 8000));
  EXPECT_EQ(WavBodySamples(gapped->body).size(), 2 * (100u * 8000 - gapFrames));

  // past the last recording: what exists, and the rest as a gap
  auto tail = Clip("14:03:00", "14:05:00");
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->status, 200);
  EXPECT_TRUE(tail->has_header("X-Vantorel-Gaps"));
}

TEST_F(SlotClipExportTest, SpansWithoutRecordingsOrOutOfBoundsAreRefused) {
  RecordThreeMinutes();
  StartServer();
  struct TCase {
    std::string fQuery;
    int fStatus;
  } cases[] = {
      {"start=" + LocalISO("10:00:00") + "&end=" + LocalISO("10:05:00"), 404},
      {"start=" + LocalISO("14:00:10") + "&end=2024-03-06T14:00:11Z", 400},  // over 24 hours
      {"start=" + LocalISO("14:00:10") + "&end=" + LocalISO("14:00:05"), 400},
      {"start=" + LocalISO("14:00:10") + "&end=" + LocalISO("14:00:20") + "&format=flac", 400},
      {"start=yesterday&end=" + LocalISO("14:00:20"), 400},
      {"end=" + LocalISO("14:00:20"), 400},
  };
  for (const auto& c : cases) {
    auto reply = fServer.Client()->Get("/ws/slots/0/clip?" + c.fQuery);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, c.fStatus) << c.fQuery << ": " << reply->body;
  }
}

}  // namespace
