// The outgoing stream of a slot: the address table and title-file rules, then
// slots streaming a known tone to a private icecast2 (Icecast mount, Shoutcast
// port, Ogg Vorbis), titles from the title file and forwarded from the stream
// source, refusals and their retries, a server that dies and returns while the
// file goes on, a server that never reads, and the slot's own listener server.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "../audio/engine/CastTestSupport.h"
#include "../audio/engine/EngineTestSupport.h"
#include "../audio/engine/UrlStreamTestServices.h"
#include "audio/basserrors.h"
#include "audio/engine/EngineTestHook.h"
#include "shell/IniFile.h"
#include "slot/SlotInfo.h"
#include "slot/SlotStreaming.h"
#include "slot/SlotTitleFile.h"
#include "SlotTestSupport.h"

namespace {

using namespace std::chrono_literals;
using vt::casttest::TListener;
using vt::casttest::ToneAt;
using vt::casttest::TScriptedServer;
using vt::streamtest::WaitFor;

constexpr const char* kTone = "lavfi:sine=frequency=1000:sample_rate=44100";

TEST(SlotStreamingAddress, FollowsTheModeMountPointAndStreamId) {
  struct TCase {
    std::string fHost;
    bool fServerMode;
    std::string fMount, fStreamID, fAddress;
  } cases[] = {
      {"H", false, "live", "", "H:8000/live"},
      {"H", false, "/live", "", "H:8000/live"},
      {"H", false, "", "2", "H:8000,2"},
      {"H", false, "live", "2", "H:8000/live"},  // the mount point wins
      {"H", false, "", "", "H:8000"},
      {"", true, "live", "2", ":8000"},  // the server mode uses neither
      {"10.0.0.1", true, "", "", "10.0.0.1:8000"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(StreamingServerAddress(c.fHost, 8000, c.fServerMode, c.fMount, c.fStreamID), c.fAddress) << c.fAddress;
}

TEST(SlotStreamingTitleFile, FirstLineByByteOrderMark) {
  struct TCase {
    std::string fBytes, fTitle;
  } cases[] = {
      {"Artist - Song\r\nnext line\r\n", "Artist - Song"},
      {"only line", "only line"},
      {"", ""},
      {"\r\nsecond", ""},
      {"\xEF\xBB\xBFZo\xC3\xAB\n", "Zo\xC3\xAB"},
      {std::string("\xFF\xFEZ\0o\0\xEB\0\r\0\n\0x\0", 14), "Zo\xC3\xAB"},
      {std::string("\xFE\xFF\0Z\0o\0\xEB\0\n", 11), "Zo\xC3\xAB"},
      {std::string("\xFF\xFE\x3D\xD8\xB5\xDC", 6), "\xF0\x9F\x92\xB5"},  // a surrogate pair
  };
  for (const auto& c : cases) EXPECT_EQ(TitleFromFileBytes(c.fBytes), c.fTitle) << c.fTitle;
}

// A slot whose source is a generated 1 kHz tone, pulled in real time by a
// clock that the fixture moves on.
class TStreamingSlot {
public:
  TStreamingSlot(const TSlotTempFolder& iTmp, const std::string& iKeys, const std::string& iSection = "Slot0") {
    const std::string ini = iTmp.Path(iSection + ".ini");
    // The given keys first: the first of a repeated key counts.
    std::ofstream(ini) << "[Slot0]\n" << iKeys << "Name=Test\nSource=Stream\nSamplerate=44100\nStreamURL=" << kTone
                       << "\nFolder=" << iTmp.Path(iSection + "-rec") << "\nDatabaseFile=" << iTmp.Path(iSection + ".db")
                       << "\nStreamingTitleFilename=" << iTmp.Path(iSection + "-title.txt") << "\n";
    fIni = std::make_unique<TIniFile>(ini);
    fClock = std::make_shared<TFakeSlotClock>();
    fClock->Set(EncodeDateTime(2024, 3, 5, 14, 0, 0, 0), 1000);
    fSlot = std::make_unique<TSlotInfo>(*fIni, false, 0, fClock);
    fSlot->SetOnLogMessage([this](const void*, const std::string& iMessage) {
      std::lock_guard lock(fLogLock);
      fLog.emplace_back(std::chrono::steady_clock::now(), iMessage);
    });
    fSlot->Initialize();
    fSlot->StartRecording();
    fPump = std::thread([this] {
      while (!fStop) {
        fClock->Advance(50);
        std::this_thread::sleep_for(50ms);
      }
    });
  }
  ~TStreamingSlot() {
    fStop = true;
    fPump.join();
    fSlot.reset();
  }
  TSlotInfo& Slot() { return *fSlot; }
  // Log lines that contain iText, with the moments they came.
  std::vector<std::chrono::steady_clock::time_point> LogTimes(const std::string& iText) const {
    std::lock_guard lock(fLogLock);
    std::vector<std::chrono::steady_clock::time_point> times;
    for (const auto& [when, line] : fLog)
      if (line.find(iText) != std::string::npos) times.push_back(when);
    return times;
  }
  std::string Log() const {
    std::lock_guard lock(fLogLock);
    std::string text;
    for (const auto& [when, line] : fLog) text += line + "\n";
    return text;
  }

private:
  std::unique_ptr<TIniFile> fIni;
  std::shared_ptr<TFakeSlotClock> fClock;
  std::unique_ptr<TSlotInfo> fSlot;
  mutable std::mutex fLogLock;
  std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> fLog;
  std::atomic<bool> fStop{false};
  std::thread fPump;
};


void WriteTitle(const std::string& iPath, const std::string& iText) {
  const std::string partial = iPath + ".part";
  std::ofstream(partial, std::ios::binary) << iText;
  std::filesystem::rename(partial, iPath);
}

class SlotStreamingTest : public vt::casttest::TIcecastSuite {
protected:
  static std::string Keys(int iPort, const std::string& iMount, const std::string& iExtra = "") {
    return iExtra + "Format=mp3\nBitrate=128\nStreamingEnabled=on\nStreamingHost=127.0.0.1\nStreamingPort=" +
           std::to_string(iPort) + "\nStreamingMountPoint=" + iMount + "\nStreamingPassword=" +
           vt::streamtest::TIcecast::kPassword +
           "\nStreamingTitle=Slot Station\nStreamingGenre=Talk\nStreamingDescription=Logged and streamed\n";
  }
  TSlotTempFolder fTmp;
};

TEST_F(SlotStreamingTest, Mp3MountWithStationValuesTitleFileAndSwitchOff) {
  TStreamingSlot rig(fTmp, Keys(fServer->Port(), "live"));
  TSlotInfo& slot = rig.Slot();
  const std::string address = "127.0.0.1:" + std::to_string(fServer->Port()) + "/live";
  ASSERT_TRUE(WaitFor([&] { return slot.StreamingStatus() == ssConnected; }, 15s))
      << slot.StreamingMessage() << "\n" << rig.Log();
  EXPECT_EQ(slot.StreamingMessage(), address);
  EXPECT_GE(slot.StreamingActiveSince(), 1000);
  EXPECT_EQ(rig.LogTimes("Encoder connected to " + address).size(), 1u) << rig.Log();
  ASSERT_TRUE(WaitFor([&] { return fServer->MountLive("/live"); }, 10s));
  const std::string status = fServer->Status();
  for (const char* value : {"\"server_name\":\"Slot Station\"", "\"genre\":\"Talk\"",
                            "\"server_description\":\"Logged and streamed\"", "\"bitrate\":128"})
    EXPECT_NE(status.find(value), std::string::npos) << value << " in " << status;
  EXPECT_NEAR(ToneAt(fServer->Url("/live"), 1000.0), 0.125, 0.04);  // the generator's level

  // The title file, as the controller's title timer reads it.
  TListener listener(fServer->Port(), "/live", true);
  ASSERT_TRUE(WaitFor([&] { return listener.AudioBytes() > 0; }, 5s));
  const std::string titleFile = fTmp.Path("Slot0-title.txt");
  WriteTitle(titleFile, "Song One\r\nwhatever follows\r\n");
  slot.UpdateOutgoingStreamTitle();
  EXPECT_TRUE(WaitFor([&] { return listener.HasTitle("Song One"); }, 2s));
  // Rewritten with the same first line: nothing is sent.
  std::this_thread::sleep_for(20ms);
  WriteTitle(titleFile, "Song One\r\nsomething else\r\n");
  slot.UpdateOutgoingStreamTitle();
  WriteTitle(titleFile, "Song Two\n");
  std::filesystem::last_write_time(titleFile, std::filesystem::last_write_time(titleFile) - 1h);
  slot.UpdateOutgoingStreamTitle();
  EXPECT_TRUE(WaitFor([&] { return listener.HasTitle("Song Two"); }, 2s));
  // A file whose modification time stayed the same is not read again.
  const auto age = std::filesystem::last_write_time(titleFile);
  WriteTitle(titleFile, "Song Three\n");
  std::filesystem::last_write_time(titleFile, age);
  slot.UpdateOutgoingStreamTitle();
  std::this_thread::sleep_for(1500ms);
  const auto titles = listener.Titles();
  EXPECT_EQ(std::count(titles.begin(), titles.end(), "Song One"), 1) << titles.size();
  EXPECT_FALSE(listener.HasTitle("Song Three"));

  // Switched off: disconnected within a second or so, without a wake-up.
  const auto off = std::chrono::steady_clock::now();
  slot.SetStreamingEnabled(false);
  ASSERT_TRUE(WaitFor([&] { return !rig.LogTimes("Encoder disconnected").empty(); }, 3s)) << rig.Log();
  EXPECT_LT(rig.LogTimes("Encoder disconnected")[0] - off, 1500ms);
  EXPECT_EQ(slot.StreamingStatus(), ssDisabled);
  EXPECT_EQ(slot.StreamingMessage(), "");
  EXPECT_EQ(slot.StreamingActiveSince(), -1);
  EXPECT_TRUE(WaitFor([&] { return !fServer->MountLive("/live"); }, 5s));
}

TEST_F(SlotStreamingTest, OggVorbisAndShoutcastSlots) {
  // The connect delay lets the Ogg header pages go out before the cast exists.
  TStreamingSlot ogg(fTmp, Keys(fServer->Port(), "/ogg", "Format=ogg\nStreamingConnectDelay=3000\n"), "ogg");
  TStreamingSlot shout(fTmp, Keys(fServer->Port(), "", "StreamingOnly=on\n"), "shout");
  ASSERT_TRUE(WaitFor([&] { return ogg.Slot().StreamingStatus() == ssConnected; }, 15s)) << ogg.Log();
  ASSERT_TRUE(WaitFor([&] { return shout.Slot().StreamingStatus() == ssConnected; }, 15s)) << shout.Log();
  EXPECT_EQ(shout.Slot().StreamingMessage(), "127.0.0.1:" + std::to_string(fServer->Port()));
  ASSERT_TRUE(WaitFor([&] { return fServer->MountLive("/ogg") && fServer->MountLive("/sc"); }, 10s));
  EXPECT_NEAR(ToneAt(fServer->Url("/ogg"), 1000.0), 0.125, 0.04);
  EXPECT_NEAR(ToneAt(fServer->Url("/sc"), 1000.0), 0.125, 0.04);
  EXPECT_NE(fServer->Status().find("\"server_type\":\"audio/ogg\""), std::string::npos);
  // Streaming only: no file, yet the stream goes on.
  shout.Slot().RotationCheck();
  EXPECT_EQ(shout.Slot().CurrentFilename(), "");
  EXPECT_TRUE(ogg.Slot().RotationCheck());
  EXPECT_NE(ogg.Slot().CurrentFilename(), "");
}

TEST_F(SlotStreamingTest, RefusalsAreRetriedEveryFiveSeconds) {
  ASSERT_TRUE(fServer->FeedAndWait("/taken", "mp3"));
  struct TCase {
    std::string fName, fKeys, fMessage;
  } cases[] = {
      {"password", Keys(fServer->Port(), "live-pw", "StreamingPassword=wrong\n"), BassErrorText(BASS_ERROR_CAST_DENIED)},
      {"taken", Keys(fServer->Port(), "taken"), BassErrorText(BASS_ERROR_ALREADY)},
      {"none", Keys(fServer->Port(), "none", "Format=none\n"), "Invalid format"},
      {"wav", Keys(fServer->Port(), "wav", "Format=wav16\n"), "WAV formats cannot be streamed; choose an encoded format"},
  };
  std::vector<std::unique_ptr<TStreamingSlot>> slots;
  for (const auto& c : cases) slots.push_back(std::make_unique<TStreamingSlot>(fTmp, c.fKeys, c.fName));
  for (size_t i = 0; i < slots.size(); ++i) {
    const std::string line = "Encoder connection error: " + cases[i].fMessage;
    // The first wait may be cut short by the recording's start, which wakes the thread.
    EXPECT_TRUE(WaitFor([&] { return slots[i]->LogTimes(line).size() >= 3; }, 20s)) << slots[i]->Log();
    const auto times = slots[i]->LogTimes(line);
    if (times.size() >= 3) {
      EXPECT_GT(times[2] - times[1], 4500ms) << cases[i].fName << "\n" << slots[i]->Log();
      EXPECT_LT(times[2] - times[1], 7000ms) << cases[i].fName;
    }
    EXPECT_EQ(slots[i]->Slot().StreamingStatus(), ssError) << cases[i].fName;
    EXPECT_EQ(slots[i]->Slot().StreamingMessage(), cases[i].fMessage);
  }
}

TEST_F(SlotStreamingTest, ForwardedIncomingTitlesReachListeners) {
  ASSERT_TRUE(fServer->FeedAndWait("/incoming", "mp3"));
  TStreamingSlot rig(fTmp, Keys(fServer->Port(), "forwarded", "StreamURL=" + fServer->Url("/incoming") +
                                                                  "\nStreamingForwardMetadata=on\n"));
  ASSERT_TRUE(WaitFor([&] { return rig.Slot().StreamingStatus() == ssConnected; }, 15s)) << rig.Log();
  ASSERT_TRUE(WaitFor([&] { return fServer->MountLive("/forwarded"); }, 10s));
  TListener listener(fServer->Port(), "/forwarded", true);
  ASSERT_TRUE(WaitFor([&] { return listener.AudioBytes() > 0; }, 5s));
  // The title file is not used while titles are forwarded.
  WriteTitle(fTmp.Path("Slot0-title.txt"), "From the file\n");
  rig.Slot().UpdateOutgoingStreamTitle();
  ASSERT_TRUE(fServer->SetTitle("/incoming", "Incoming Artist - Song"));
  ASSERT_TRUE(WaitFor([&] { return rig.Slot().CurrentStreamTitle() == "Incoming Artist - Song"; }, 10s));
  EXPECT_TRUE(WaitFor([&] { return listener.HasTitle("Incoming Artist - Song"); }, 2s));
  EXPECT_FALSE(listener.HasTitle("From the file"));
}

// A server that dies and comes back: the stream reconnects, the file goes on.
TEST(SlotStreamingServer, KilledServerIsReconnectedWhileTheFileGoesOn) {
  vt::streamtest::TIcecast server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  TSlotTempFolder tmp;
  TStreamingSlot rig(tmp, "Format=mp3\nBitrate=128\nStreamingEnabled=on\nStreamingHost=127.0.0.1\nStreamingPort=" +
                              std::to_string(server.Port()) + "\nStreamingMountPoint=live\nStreamingPassword=" +
                              vt::streamtest::TIcecast::kPassword + "\n");
  TSlotInfo& slot = rig.Slot();
  ASSERT_TRUE(slot.RotationCheck());
  const std::string file = slot.CurrentFilename();
  ASSERT_FALSE(file.empty()) << slot.ErrorMessage();
  ASSERT_TRUE(WaitFor([&] { return slot.StreamingStatus() == ssConnected; }, 15s)) << rig.Log();

  server.Kill();
  ASSERT_TRUE(WaitFor([&] { return !rig.LogTimes("Encoder lost connection").empty(); }, 10s)) << rig.Log();
  std::this_thread::sleep_for(2s);
  EXPECT_NE(slot.StreamingStatus(), ssConnected);
  ASSERT_TRUE(server.Restart()) << server.Log();
  const auto back = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([&] { return rig.LogTimes("Encoder connected to").size() >= 2; }, 10s)) << rig.Log();
  EXPECT_LT(rig.LogTimes("Encoder connected to")[1] - back, 6s);
  EXPECT_TRUE(WaitFor([&] { return server.MountLive("/live"); }, 5s));

  // The recording: as long as the time it covers, and the tone throughout.
  const float seconds = slot.GetCurrentRecordingDuration();
  slot.SetEnabled(false);  // closes the file
  ASSERT_TRUE(WaitFor([&] { return slot.CurrentFilename().empty(); }, 5s));
  vt::engine::test::WaitForEncoders(20s);
  const std::string pcm = vt::streamtest::Capture("ffmpeg -nostdin -loglevel error -i '" + file + "' -f f32le -ac 1 -ar 44100 -");
  std::vector<float> samples(pcm.size() / sizeof(float));
  std::memcpy(samples.data(), pcm.data(), samples.size() * sizeof(float));
  EXPECT_NEAR(double(samples.size()) / 44100.0, seconds, 0.5);
  // Every 100 ms window (after the encoder's start) carries the tone.
  size_t quiet = 0;
  for (size_t at = 4410; at + 4410 <= samples.size(); at += 4410) {
    const std::vector<float> window(samples.begin() + std::ptrdiff_t(at), samples.begin() + std::ptrdiff_t(at + 4410));
    if (vt::engine::testing::ToneAmplitude(window, 1, 0, 1000.0, 44100) < 0.1) ++quiet;
  }
  EXPECT_EQ(quiet, 0u) << samples.size();
}

TEST(SlotStreamingServer, ServerThatNeverReadsHoldsUpNothing) {
  const int port = vt::streamtest::FreePort();
  TScriptedServer server(port, {"HTTP/1.1 100 Continue\r\n\r\n"}, TScriptedServer::saNeverRead);
  TSlotTempFolder tmp;
  TStreamingSlot rig(tmp, "Format=mp3\nBitrate=320\nStreamingEnabled=on\nStreamingHost=127.0.0.1\nStreamingPort=" +
                              std::to_string(port) + "\nStreamingMountPoint=live\nStreamingPassword=x\n");
  TSlotInfo& slot = rig.Slot();
  ASSERT_TRUE(slot.RotationCheck());
  ASSERT_TRUE(WaitFor([&] { return slot.StreamingStatus() == ssConnected; }, 15s)) << rig.Log();
  const std::string file = slot.CurrentFilename();
  // The controller's calls return at once while the server sits on its data.
  for (int i = 0; i < 20; ++i) {
    WriteTitle(tmp.Path("Slot0-title.txt"), "Title " + std::to_string(i) + "\n");
    const auto start = std::chrono::steady_clock::now();
    slot.UpdateOutgoingStreamTitle();
    slot.RotationCheck();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
    std::this_thread::sleep_for(250ms);
  }
  // The file grew all along.
  std::error_code ec;
  EXPECT_GT(std::filesystem::file_size(file, ec), 4u * 40000u);
  EXPECT_EQ(slot.CurrentFilename(), file);
}

TEST(SlotStreamingServer, OwnListenerServerWithThreeListeners) {
  const int port = vt::streamtest::FreePort();
  TSlotTempFolder tmp;
  TStreamingSlot rig(tmp, "Format=mp3\nBitrate=320\nStreamingEnabled=on\nStreamingServerMode=on\nStreamingPort=" +
                              std::to_string(port) + "\nStreamingMountPoint=ignored\nStreamingPassword=ignored\n"
                              "StreamingConnectDelay=60000\n");
  TSlotInfo& slot = rig.Slot();
  ASSERT_TRUE(slot.RotationCheck());
  const std::string file = slot.CurrentFilename();
  ASSERT_TRUE(WaitFor([&] { return slot.StreamingStatus() == ssConnected; }, 10s)) << rig.Log();
  EXPECT_EQ(slot.StreamingMessage(), ":" + std::to_string(port));

  TListener meta(port, "/", true), plain(port, "/", false);
  const int stalled = vt::casttest::ConnectStalledListener(port);
  ASSERT_GE(stalled, 0);
  ASSERT_TRUE(WaitFor([&] { return meta.AudioBytes() > 0 && plain.AudioBytes() > 0; }, 5s));
  WriteTitle(tmp.Path("Slot0-title.txt"), "Served Title\n");
  slot.UpdateOutgoingStreamTitle();
  EXPECT_TRUE(WaitFor([&] { return meta.HasTitle("Served Title"); }, 2s));
  EXPECT_NEAR(ToneAt("http://127.0.0.1:" + std::to_string(port) + "/", 1000.0), 0.125, 0.04);

  // The listener that never reads is dropped; the others and the file go on.
  const size_t before = plain.AudioBytes();
  ASSERT_TRUE(WaitFor([&] { return plain.AudioBytes() > before + 300000; }, 20s));
  EXPECT_TRUE(vt::casttest::StreamEnds(stalled, 5s));
  ::close(stalled);
  EXPECT_FALSE(meta.Ended());
  EXPECT_FALSE(plain.Ended());
  EXPECT_EQ(slot.CurrentFilename(), file);
  std::error_code ec;
  EXPECT_GT(std::filesystem::file_size(file, ec), 200000u);
}

}  // namespace
