// The stream source of a slot: title parsing and cue-sheet arithmetic, then
// a slot recording from a private icecast2 (titles, cue sheet, reconnection),
// a refused URL, and switching sources while titles arrive.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "../audio/engine/IcyTestServer.h"
#include "../audio/engine/UrlStreamTestServices.h"
#include "audio/basserrors.h"
#include "shell/IniFile.h"
#include "slot/SlotInfo.h"
#include "slot/SlotStreamSource.h"
#include "SlotTestSupport.h"

namespace {

using namespace std::chrono_literals;
using vt::streamtest::WaitFor;

TEST(SlotStreamTitle, ParsesTheTitleField) {
  struct TCase {
    std::string fMetadata;
    std::optional<std::string> fTitle;
  } cases[] = {
      {"StreamTitle='Artist - Song';StreamUrl='';", "Artist - Song"},
      {"StreamTitle='';", ""},
      {"StreamTitle='Rock';n';Roll';", "Rock"},
      {"StreamUrl='x';StreamTitle='It's \"Here\"';", "It's \"Here\""},
      {"StreamUrl='http://x/';", std::nullopt},
      {"StreamTitle='unterminated", std::nullopt},
      {"", std::nullopt},
      {"StreamTitle='StreamTitle='x';", "StreamTitle='x"},
      // far beyond what a server should send, and still no crash
      {"StreamTitle='" + std::string(200000, 'a') + "';", std::string(200000, 'a')},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseStreamTitle(c.fMetadata), c.fTitle) << c.fMetadata.substr(0, 40);
}

TEST(SlotStreamTitle, DecodesUtf8Or8BitText) {
  EXPECT_EQ(DecodeStreamMetadata("Zo\xC3\xAB \xE2\x80\x93 Caf\xC3\xA9"), "Zo\xC3\xAB \xE2\x80\x93 Caf\xC3\xA9");
  // Not UTF-8: Windows-1252, including its 0x80..0x9F letters.
  EXPECT_EQ(DecodeStreamMetadata("Zo\xEB \x96 Caf\xE9 \x80"), "Zo\xC3\xAB \xE2\x80\x93 Caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(DecodeStreamMetadata("plain"), "plain");
}

TEST(SlotStreamTitle, CueSheetTrackLines) {
  struct TCase {
    int32_t fTrack;
    uint64_t fElapsedMs;
    std::string fTrackLine, fIndexLine;
  } cases[] = {
      {1, (3600 + 2 * 60 + 3) * 1000 + 500, "  TRACK 01 AUDIO", "    INDEX 01 62:03:37"},
      {9, 0, "  TRACK 09 AUDIO", "    INDEX 01 00:00:00"},
      {99, 59999, "  TRACK 99 AUDIO", "    INDEX 01 00:59:74"},
      {100, 61013, "  TRACK 100 AUDIO", "    INDEX 01 01:01:00"},
  };
  for (const auto& c : cases) {
    const auto lines = CueSheetTrackLines(c.fTrack, "A \"quoted\" title", c.fElapsedMs);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], c.fTrackLine);
    EXPECT_EQ(lines[1], "    TITLE \"A \"quoted\" title\"");
    EXPECT_EQ(lines[2], c.fIndexLine);
  }
  EXPECT_EQ(CueSheetText({"FILE \"a.mp3\" MP3", "  TRACK 01 AUDIO"}), "FILE \"a.mp3\" MP3\r\n  TRACK 01 AUDIO\r\n");
}

// A stream slot on a fake clock, with its log.
class SlotStreamTest : public ::testing::Test {
protected:
  void TearDown() override { fSlot.reset(); }
  void Configure(const std::string& iUrl, const std::string& iKeys = "") {
    fTmp.Write("Vantorel.ini", "[Slot0]\nName=Test\nSource=Stream\nSamplerate=44100\nFormat=wav16\nFolder=" +
                                   fTmp.Path("rec") + "\nDatabaseFile=" + fTmp.Path("slot.db") + "\nStreamURL=" + iUrl +
                                   "\n" + iKeys);
    fIni = std::make_unique<TIniFile>(fTmp.Path("Vantorel.ini"));
    fClock = std::make_shared<TFakeSlotClock>();
    fClock->Set(EncodeDateTime(2024, 3, 5, 14, 0, 0, 0), 1000);
    fSlot = std::make_unique<TSlotInfo>(*fIni, false, 0, fClock);
    fSlot->SetOnLogMessage([this](const void*, const std::string& iMessage) {
      std::lock_guard<std::mutex> lock(fLogLock);
      fLog.push_back(iMessage);
    });
    fSlot->Initialize();
    fSlot->StartRecording();
  }
  // The slot pulls its mixer by the test's clock: move it on in real time so
  // the network stream and the mixer run at the same pace.
  void Pump(int iMilliseconds) {
    for (int t = 0; t < iMilliseconds; t += 50) {
      fClock->Advance(50);
      std::this_thread::sleep_for(50ms);
    }
  }
  // Log lines that begin with iStart.
  size_t LogCount(const std::string& iStart) {
    std::lock_guard<std::mutex> lock(fLogLock);
    return size_t(std::count_if(fLog.begin(), fLog.end(), [&](const std::string& l) { return l.rfind(iStart, 0) == 0; }));
  }
  std::string ReadCueSheet(const std::string& iRecording) {
    std::ifstream in(iRecording + ".cue", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  TSlotTempFolder fTmp;
  std::unique_ptr<TIniFile> fIni;
  std::shared_ptr<TFakeSlotClock> fClock;
  std::unique_ptr<TSlotInfo> fSlot;
  std::mutex fLogLock;
  std::vector<std::string> fLog;
};

class SlotStreamSourceTest : public SlotStreamTest {
protected:
  static void SetUpTestSuite() { fServer = std::make_unique<vt::streamtest::TIcecast>(); }
  static void TearDownTestSuite() { fServer.reset(); }
  void SetUp() override {
    if (!fServer->Ready()) GTEST_FAIL() << "icecast2 did not start\n" << fServer->Log();
  }
  void TearDown() override {
    fSlot.reset();
    fServer->StopFeeders();
  }
  static std::unique_ptr<vt::streamtest::TIcecast> fServer;
};
std::unique_ptr<vt::streamtest::TIcecast> SlotStreamSourceTest::fServer;

TEST_F(SlotStreamSourceTest, RecordsTitlesCueSheetAndReconnects) {
  ASSERT_TRUE(fServer->FeedAndWait("/live", "mp3"));
  ASSERT_TRUE(fServer->SetTitle("/live", "Before the file"));
  Configure(fServer->Url("/live"), "CueSheet=on\n");
  ASSERT_TRUE(WaitFor([&] { return fSlot->CurrentStreamTitle() == "Before the file"; }, 15s))
      << fSlot->GetStreamStatus();
  EXPECT_EQ(fSlot->GetStreamStatus(), "Connecting...");  // left as it was once the stream plays

  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string file = fSlot->CurrentFilename();
  ASSERT_FALSE(file.empty()) << fSlot->ErrorMessage();
  EXPECT_FALSE(std::filesystem::exists(file + ".cue")) << "no title yet in this file";

  fClock->Advance(3500);
  ASSERT_TRUE(fServer->SetTitle("/live", "Artist - Song"));
  ASSERT_TRUE(WaitFor([&] { return fSlot->CurrentStreamTitle() == "Artist - Song"; }, 10s));
  EXPECT_EQ(fSlot->GetLastMetadataTickCount(), fClock->TickCount());
  fClock->Advance(1000);
  ASSERT_TRUE(fServer->SetTitle("/live", "Zoë; \"Two\""));
  ASSERT_TRUE(WaitFor([&] { return fSlot->CurrentStreamTitle() == "Zoë; \"Two\""; }, 10s));
  // The title is published before the cue sheet is rewritten: wait for the
  // second track to reach the file, then compare it whole.
  const auto readCue = [&] {
    std::ifstream in(file + ".cue", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  std::string cue;
  WaitFor([&] { return (cue = readCue()).find("TRACK 02") != std::string::npos; }, 5s);
  const std::string name = std::filesystem::path(file).filename().string();
  EXPECT_EQ(cue, "FILE \"" + name + "\" WAVE\r\n"
                 "  TRACK 01 AUDIO\r\n    TITLE \"Artist - Song\"\r\n    INDEX 01 00:03:37\r\n"
                 "  TRACK 02 AUDIO\r\n    TITLE \"Zoë; \"Two\"\"\r\n    INDEX 01 00:04:37\r\n");

  // The tone reaches the mixer.
  Pump(1000);
  EXPECT_GT(fSlot->LevelLeft(), 0.05);

  // The source goes away: the slot reconnects until it returns.
  fServer->StopFeeders();
  ASSERT_TRUE(WaitFor([&] { return fSlot->GetStreamStatus() == "Reconnecting..."; }, 15s));
  EXPECT_TRUE(WaitFor([&] { return fSlot->StreamChannel() == 0; }, 5s));
  std::this_thread::sleep_for(1500ms);  // a few failed reopens while the mount is gone
  EXPECT_EQ(fSlot->GetStreamStatus(), "Reconnecting...");
  ASSERT_TRUE(fServer->FeedAndWait("/live", "mp3"));
  ASSERT_TRUE(WaitFor([&] { return fSlot->StreamChannel() != 0; }, 15s));
  EXPECT_TRUE(WaitFor([&] { Pump(100); return fSlot->LevelLeft() > 0.05; }, 15s));
}

TEST_F(SlotStreamSourceTest, RefusedUrlShowsTheEngineErrorAndIsRetried) {
  const std::string url = "http://127.0.0.1:" + std::to_string(vt::streamtest::FreePort()) + "/live";
  Configure(url);
  EXPECT_TRUE(WaitFor([&] { return fSlot->GetStreamStatus() == BassErrorText(BASS_ERROR_NONET); }, 10s))
      << fSlot->GetStreamStatus();
  EXPECT_EQ(fSlot->StreamChannel(), 0u);
  // Retried about once a second: a listener that appears on that port is
  // called within a couple of seconds.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(std::stoi(url.substr(17, url.find('/', 17) - 17))));
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::listen(listener, 4);
  int client = -1;
  EXPECT_TRUE(WaitFor([&] { return (client = ::accept(listener, nullptr, nullptr)) >= 0; }, 3s));
  if (client >= 0) ::close(client);
  ::close(listener);
  EXPECT_EQ(fSlot->CurrentStreamURL(), url);
}

TEST_F(SlotStreamSourceTest, SwitchingSourcesWhileTitlesArrive) {
  ASSERT_TRUE(fServer->FeedAndWait("/switch", "mp3"));
  Configure(fServer->Url("/switch"));
  std::atomic<bool> done{false};
  std::thread titles([&] {
    for (int i = 0; !done; ++i) {
      fServer->SetTitle("/switch", "Title " + std::to_string(i));
      std::this_thread::sleep_for(50ms);
    }
  });
  for (int round = 0; round < 6; ++round) {
    ASSERT_TRUE(WaitFor([&] { return fSlot->StreamChannel() != 0; }, 15s)) << round;
    std::this_thread::sleep_for(200ms);
    fSlot->SetRecordSource(round % 2 ? rsSoundcard : rsDisabled);
    fSlot->StopRecording();  // ends the stream thread under the slot lock
    fSlot->StartRecording();
    EXPECT_EQ(fSlot->StreamChannel(), 0u);
    fSlot->SetRecordSource(rsStream);
    fSlot->StartRecording();
  }
  done = true;
  titles.join();
  EXPECT_TRUE(WaitFor([&] { return fSlot->CurrentStreamTitle().rfind("Title ", 0) == 0; }, 10s));
}

}  // namespace

namespace {

// A station announces the same title again when the same item plays again:
// each announcement is a new track of the cue sheet and renews the time of
// the last title, which monitoring reads as the stream's metadata being alive.
TEST_F(SlotStreamTest, RepeatedTitleMakesANewTrackEachTime) {
  vt::streamtest::TIcyServer server;
  ASSERT_TRUE(server.Ready());
  server.Announce("Jingle");
  Configure(server.Url(), "CueSheet=on\n");
  ASSERT_TRUE(WaitFor([&] { return fSlot->CurrentStreamTitle() == "Jingle"; }, 15s)) << fSlot->GetStreamStatus();
  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string file = fSlot->CurrentFilename();
  ASSERT_FALSE(file.empty()) << fSlot->ErrorMessage();

  fClock->Advance(2000);
  server.Announce("Same");
  ASSERT_TRUE(WaitFor([&] { return ReadCueSheet(file).find("TRACK 01") != std::string::npos; }, 10s));
  EXPECT_EQ(fSlot->GetLastMetadataTickCount(), fClock->TickCount());
  fClock->Advance(3000);
  server.Announce("Same");
  EXPECT_TRUE(WaitFor([&] { return ReadCueSheet(file).find("TRACK 02") != std::string::npos; }, 10s));
  EXPECT_EQ(fSlot->GetLastMetadataTickCount(), fClock->TickCount());
  std::this_thread::sleep_for(500ms);  // the empty blocks that follow make no track
  const std::string name = std::filesystem::path(file).filename().string();
  EXPECT_EQ(ReadCueSheet(file), "FILE \"" + name + "\" WAVE\r\n"
                                "  TRACK 01 AUDIO\r\n    TITLE \"Same\"\r\n    INDEX 01 00:02:00\r\n"
                                "  TRACK 02 AUDIO\r\n    TITLE \"Same\"\r\n    INDEX 01 00:05:00\r\n");
  EXPECT_EQ(fSlot->ErrorMessage(), "");
}

// A stream that cannot be opened, or that drops, is retried about once a
// second; the log says so once when it begins and once when it plays again,
// and the slot shows it meanwhile.
TEST_F(SlotStreamTest, UnreachableAndLostStreamsAreLoggedOnceEach) {
  const int port = vt::streamtest::FreePort();
  Configure("http://127.0.0.1:" + std::to_string(port) + "/live");
  const std::string refused = "Cannot open the stream: " + BassErrorText(BASS_ERROR_NONET);
  ASSERT_TRUE(WaitFor([&] { return fSlot->ErrorMessage() == refused; }, 10s)) << fSlot->ErrorMessage();
  std::this_thread::sleep_for(3500ms);  // three more attempts
  EXPECT_EQ(LogCount("Test: Cannot open the stream: "), 1u);

  {
    vt::streamtest::TIcyServer server(port);
    ASSERT_TRUE(server.Ready());
    ASSERT_TRUE(WaitFor([&] { return fSlot->ErrorMessage().empty(); }, 10s)) << fSlot->ErrorMessage();
    EXPECT_EQ(LogCount("Test: Stream playing again after: " + refused), 1u);
  }  // the server goes away with its listener

  ASSERT_TRUE(WaitFor([&] { return fSlot->ErrorMessage() == "Stream lost, reconnecting"; }, 15s))
      << fSlot->ErrorMessage();
  std::this_thread::sleep_for(2500ms);  // failed reconnections
  EXPECT_EQ(fSlot->ErrorMessage(), "Stream lost, reconnecting");
  EXPECT_EQ(LogCount("Test: Stream lost, reconnecting"), 1u);
  EXPECT_EQ(LogCount("Test: Cannot open the stream: "), 1u);

  vt::streamtest::TIcyServer again(port);
  ASSERT_TRUE(again.Ready());
  ASSERT_TRUE(WaitFor([&] { return fSlot->ErrorMessage().empty(); }, 10s)) << fSlot->ErrorMessage();
  EXPECT_EQ(LogCount("Test: Stream playing again after: Stream lost, reconnecting"), 1u);
  fSlot.reset();  // before the server, whose listener it is
}

}  // namespace
