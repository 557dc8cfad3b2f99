// URL streams through the real FFmpeg: generated sources, the error codes of
// failed opens, a stalled server, files served over HTTP, and a private
// icecast2 with mounts in every format a station sends (MP3, AAC, Ogg Vorbis,
// Opus and FLAC, over HTTP and HTTPS), ICY titles, the end of a mount and a
// playlist that points to it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "EngineTestSupport.h"
#include "IcyTestServer.h"
#include "UrlStreamTestServices.h"
#include "audio/engine/Engine.h"
#include "audio/engine/UrlStream.h"
#include "audio/engine/UrlStreamPlaylist.h"
#include "audio/engine/UrlStreamSource.h"

namespace {

using namespace std::chrono_literals;
using vt::streamtest::WaitFor;

constexpr DWORD kFlags = 0x80280100u;  // unicode, decode, restrate, float

struct TEvents {
  std::atomic<int> fDownloadEnded{0}, fEnded{0}, fMeta{0};
  static void Download(const void* iBuffer, DWORD, void* iUser) {
    if (!iBuffer) ++static_cast<TEvents*>(iUser)->fDownloadEnded;
  }
  static void End(HSYNC, DWORD, DWORD, void* iUser) { ++static_cast<TEvents*>(iUser)->fEnded; }
  static void Meta(HSYNC, DWORD, DWORD, void* iUser) { ++static_cast<TEvents*>(iUser)->fMeta; }
};

// Pulls about iSeconds of audio from a decoding stream, waiting for it as a mixer would.
std::vector<float> PullSeconds(DWORD iStream, double iSeconds, DWORD iChans, double iRate,
                               std::chrono::milliseconds iLimit = 20s) {
  std::vector<float> all;
  const size_t want = size_t(iSeconds * iRate) * iChans;
  WaitFor([&] {
    auto block = vt::engine::testing::PullFloat(iStream, 4096, iChans);
    all.insert(all.end(), block.begin(), block.end());
    return all.size() >= want;
  }, iLimit);
  return all;
}

std::string Tags(DWORD iStream) {
  const char* tags = BASS_ChannelGetTags(iStream, BASS_TAG_META);
  return tags ? tags : "";
}

TEST(UrlStream, GeneratedToneDecodesAtItsRateAndChannels) {
  TEvents events;
  const HSTREAM stream =
      BASS_StreamCreateURL("lavfi:sine=frequency=1000:sample_rate=44100", 0, kFlags, &TEvents::Download, &events);
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  BASS_CHANNELINFO info{};
  ASSERT_TRUE(BASS_ChannelGetInfo(stream, &info));
  EXPECT_EQ(info.freq, 44100u);
  EXPECT_EQ(info.chans, 1u);
  // Generated audio is paced by the reader: two seconds come out whole, a tone of full amplitude.
  const auto audio = PullSeconds(stream, 2.0, 1, 44100);
  ASSERT_GE(audio.size(), 88200u);
  EXPECT_NEAR(vt::engine::testing::ToneAmplitude(audio, 1, 0, 1000, 44100), 0.125, 0.02);
  EXPECT_EQ(events.fDownloadEnded, 0);
  EXPECT_EQ(BASS_ChannelGetTags(stream, BASS_TAG_META), nullptr);  // no ICY data from a generator
  EXPECT_TRUE(BASS_StreamFree(stream));
}

TEST(UrlStream, MixerResamplesAGeneratedTone) {
  const HSTREAM mixer = BASS_Mixer_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
  ASSERT_NE(mixer, 0u);
  const HSTREAM stream = BASS_StreamCreateURL("lavfi:sine=frequency=1000:sample_rate=22050", 0, kFlags, nullptr, nullptr);
  ASSERT_NE(stream, 0u);
  ASSERT_TRUE(BASS_Mixer_StreamAddChannel(mixer, stream, 0)) << BASS_ErrorGetCode();
  // The decoder runs ahead of the mixer by up to its ring; a mixer that
  // overtakes it mixes silence, so let it get a second ahead first.
  ASSERT_TRUE(WaitFor([&] { return BASS_ChannelGetData(stream, nullptr, BASS_DATA_AVAILABLE) >= 22050 * 4 * 2; }, 5s));
  vt::engine::testing::PullFloat(mixer, 4800);  // the resampler's start-up
  const auto audio = vt::engine::testing::PullFloat(mixer, 48000);
  ASSERT_EQ(audio.size(), 96000u);
  EXPECT_NEAR(vt::engine::testing::ToneAmplitude(audio, 2, 1, 1000, 48000), 0.125, 0.02);
  BASS_StreamFree(mixer);
  BASS_StreamFree(stream);
}

TEST(UrlStream, FiniteSourceEndsWithDownloadAndEndSync) {
  TEvents events;
  const HSTREAM stream = BASS_StreamCreateURL("lavfi:sine=frequency=500:sample_rate=8000:duration=0.5", 0, kFlags,
                                              &TEvents::Download, &events);
  ASSERT_NE(stream, 0u);
  ASSERT_NE(BASS_ChannelSetSync(stream, BASS_SYNC_END, 0, &TEvents::End, &events), 0u);
  EXPECT_TRUE(WaitFor([&] { return events.fDownloadEnded == 1; }, 5s));
  // The end sync waits for the reader to take the last audio.
  EXPECT_EQ(events.fEnded, 0);
  const auto audio = PullSeconds(stream, 0.5, 1, 8000);
  EXPECT_EQ(audio.size(), 4000u);
  EXPECT_TRUE(WaitFor([&] { return events.fEnded == 1; }, 5s));
  BASS_StreamFree(stream);
}

TEST(UrlStream, FailedOpensGiveTheirErrorCodes) {
  const std::string folder = vt::engine::testing::TempDir();
  std::ofstream(folder + "/notes.txt") << "this is not audio at all, just some words\n";
  const int closedPort = vt::streamtest::FreePort();
  struct TCase {
    std::string fUrl;
    int fError;
  } cases[] = {
      {"", BASS_ERROR_FILEOPEN},
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/live", BASS_ERROR_NONET},
      {folder + "/missing.mp3", BASS_ERROR_FILEOPEN},
      {folder + "/notes.txt", BASS_ERROR_FILEFORM},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BASS_StreamCreateURL(c.fUrl.c_str(), 0, kFlags, nullptr, nullptr), 0u) << c.fUrl;
    EXPECT_EQ(BASS_ErrorGetCode(), c.fError) << c.fUrl;
  }
  std::filesystem::remove_all(folder);
}

// A server that sends its headers and a few seconds of MP3, then holds the connection open silently.
class TStallingServer {
public:
  explicit TStallingServer(std::string iBody) : fBody(std::move(iBody)) {
    fSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fSocket, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fSocket, reinterpret_cast<sockaddr*>(&a), &n);
    fPort = ntohs(a.sin_port);
    ::listen(fSocket, 4);
    fThread = std::thread([this] {
      const int client = ::accept(fSocket, nullptr, nullptr);
      if (client < 0) return;
      char request[4096];
      [[maybe_unused]] auto got = ::recv(client, request, sizeof request, 0);
      const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n" + fBody;
      [[maybe_unused]] auto sent = ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
      std::unique_lock lock(fLock);
      fDone.wait_for(lock, 30s, [this] { return fStop; });
      ::close(client);
    });
  }
  ~TStallingServer() {
    {
      std::lock_guard lock(fLock);
      fStop = true;
    }
    fDone.notify_all();
    ::shutdown(fSocket, SHUT_RDWR);
    ::close(fSocket);
    fThread.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(fPort) + "/stream.mp3"; }

private:
  std::string fBody;
  int fSocket = -1, fPort = 0;
  std::mutex fLock;
  std::condition_variable fDone;
  bool fStop = false;
  std::thread fThread;
};

TEST(UrlStream, StalledServerIsReportedAsTheEnd) {
  const std::string folder = vt::engine::testing::TempDir();
  vt::streamtest::Capture("ffmpeg -nostdin -loglevel error -f lavfi -i sine=frequency=440:duration=2 -c:a libmp3lame "
                          "-b:a 64k -f mp3 -y " + folder + "/a.mp3");
  std::ifstream in(folder + "/a.mp3", std::ios::binary);
  const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(body.size(), 1000u);
  TStallingServer server(body);
  TEvents events;
  const HSTREAM stream = BASS_StreamCreateURL(server.Url().c_str(), 0, kFlags, &TEvents::Download, &events);
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  BASS_ChannelSetSync(stream, BASS_SYNC_END, 0, &TEvents::End, &events);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitFor([&] { return events.fDownloadEnded == 1; }, 15s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 12s);
  // Once the reader has taken what arrived, the end is reported.
  EXPECT_TRUE(WaitFor([&] { PullSeconds(stream, 0.1, 1, 44100, 100ms); return events.fEnded == 1; }, 10s));
  BASS_StreamFree(stream);
  std::filesystem::remove_all(folder);
}

TEST(UrlStream, FreeingDoesNotWaitForASilentServer) {
  const std::string folder = vt::engine::testing::TempDir();
  vt::streamtest::Capture("ffmpeg -nostdin -loglevel error -f lavfi -i sine=frequency=440:duration=1 -c:a libmp3lame "
                          "-b:a 64k -f mp3 -y " + folder + "/a.mp3");
  std::ifstream in(folder + "/a.mp3", std::ios::binary);
  TStallingServer server(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  const HSTREAM stream = BASS_StreamCreateURL(server.Url().c_str(), 0, kFlags, nullptr, nullptr);
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  // All that was sent is decoded; the decoder now waits on the socket.
  ASSERT_TRUE(WaitFor([&] { return BASS_ChannelGetData(stream, nullptr, BASS_DATA_AVAILABLE) >= 44100 * 4 * 8 / 10; }, 5s));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(BASS_StreamFree(stream));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(vt::engine::kUrlStallSeconds));
  std::filesystem::remove_all(folder);
}

// A file on a web server arrives faster than it plays: longer than the
// stream's buffer, it must still come out whole, its last frames included,
// and end only then.
TEST(UrlStream, FileServedOverHttpComesOutWhole) {
  vt::streamtest::THttpFolder web;
  ASSERT_TRUE(web.Ready());
  constexpr int kSeconds = int(vt::engine::kUrlBufferSeconds) + 10;
  constexpr int kRate = 8000;
  struct TCase {
    const char* fName;
    const char* fEncoder;
  } cases[] = {
      {"tone.flac", "-c:a flac"},
      {"tone.m4a", "-c:a aac -b:a 48k -movflags +faststart"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fName);
    // The tone changes pitch for the last two seconds, so a lost tail shows.
    vt::streamtest::Capture("ffmpeg -nostdin -loglevel error -f lavfi -i sine=frequency=400:sample_rate=8000:duration=" +
                            std::to_string(kSeconds - 2) + " -f lavfi -i sine=frequency=1200:sample_rate=8000:duration=2 "
                            "-filter_complex concat=n=2:v=0:a=1 " + c.fEncoder + " -y " + web.Path(c.fName));
    TEvents events;
    const HSTREAM stream = BASS_StreamCreateURL(web.Url(std::string("/") + c.fName).c_str(), 0, kFlags,
                                                &TEvents::Download, &events);
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    BASS_ChannelSetSync(stream, BASS_SYNC_END, 0, &TEvents::End, &events);
    BASS_CHANNELINFO info{};
    BASS_ChannelGetInfo(stream, &info);
    ASSERT_EQ(info.freq, unsigned(kRate));
    ASSERT_EQ(info.chans, 1u);
    // The download runs ahead of the reader until the stream's buffer is full.
    EXPECT_TRUE(WaitFor([&] {
      return BASS_ChannelGetData(stream, nullptr, BASS_DATA_AVAILABLE) >=
             DWORD((vt::engine::kUrlBufferSeconds - 1) * kRate * sizeof(float));
    }, 20s));
    std::vector<float> audio;
    EXPECT_TRUE(WaitFor([&] {
      auto block = vt::engine::testing::PullFloat(stream, 4096, 1);
      audio.insert(audio.end(), block.begin(), block.end());
      return events.fEnded == 1;
    }, 60s));
    EXPECT_EQ(events.fDownloadEnded, 1);
    EXPECT_NEAR(double(audio.size()), double(kSeconds * kRate), 2048.0);
    ASSERT_GT(audio.size(), size_t(kRate));
    const std::vector<float> last(audio.end() - kRate, audio.end());
    EXPECT_GT(vt::engine::testing::ToneAmplitude(last, 1, 0, 1200, kRate), 0.08);
    BASS_StreamFree(stream);
  }
}

TEST(UrlStreamPlaylist, RecognisesAndFollowsPlaylists) {
  using vt::engine::FirstPlaylistEntry;
  using vt::engine::IsPlaylist;
  EXPECT_TRUE(IsPlaylist("http://h/x", "audio/x-scpls"));
  EXPECT_TRUE(IsPlaylist("http://h/x", "audio/x-mpegurl; charset=utf-8"));
  EXPECT_TRUE(IsPlaylist("http://h/Radio.PLS?sid=1", ""));
  EXPECT_TRUE(IsPlaylist("/home/radio/list.m3u", ""));
  EXPECT_FALSE(IsPlaylist("http://h/live.mp3", "audio/mpeg"));
  struct TCase {
    const char* fText;
    const char* fBase;
    const char* fEntry;
  } cases[] = {
      {"[playlist]\r\nNumberOfEntries=2\r\nFile2=http://b/2\r\nFile1=http://a:8000/live\r\nTitle1=A\r\n", "http://h/l.pls",
       "http://a:8000/live"},
      {"#EXTM3U\n#EXTINF:-1,Radio\nhttp://s/stream\nhttp://s/other\n", "http://h/l.m3u", "http://s/stream"},
      {"\xEF\xBB\xBFlive.mp3\r\n", "http://h:81/lists/l.m3u?x=1", "http://h:81/lists/live.mp3"},
      {"/mount\n", "https://h/lists/l.m3u", "https://h/mount"},
      {"[playlist]\nNumberOfEntries=0\n", "http://h/l.pls", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FirstPlaylistEntry(c.fText, c.fBase), c.fEntry) << c.fText;
}

// A station announces the same title again when the same item plays again.
// Every announcement fires the metadata sync, the repeated one too; the empty
// blocks between them ("no change") fire nothing.
TEST(UrlStreamIcy, EveryAnnouncementFiresTheMetadataSync) {
  vt::streamtest::TIcyServer server;
  ASSERT_TRUE(server.Ready());
  server.Announce("Opening");
  struct TTitles {
    std::mutex fLock;
    std::vector<std::string> fSeen;  // the tags at each metadata sync
    static void Meta(HSYNC, DWORD iChannel, DWORD, void* iUser) {
      auto* self = static_cast<TTitles*>(iUser);
      std::lock_guard lock(self->fLock);
      self->fSeen.push_back(Tags(iChannel));
    }
    int Count(const std::string& iTags) {
      std::lock_guard lock(fLock);
      return int(std::count(fSeen.begin(), fSeen.end(), iTags));
    }
  } titles;
  const HSTREAM stream = BASS_StreamCreateURL(server.Url().c_str(), 0, kFlags, nullptr, nullptr);
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  ASSERT_NE(BASS_ChannelSetSync(stream, BASS_SYNC_META, 0, &TTitles::Meta, &titles), 0u);
  ASSERT_TRUE(WaitFor([&] { return Tags(stream) == "StreamTitle='Opening';"; }, 10s)) << Tags(stream);

  server.Announce("Same");
  ASSERT_TRUE(WaitFor([&] { return titles.Count("StreamTitle='Same';") == 1; }, 10s));
  server.Announce("Same");
  EXPECT_TRUE(WaitFor([&] { return titles.Count("StreamTitle='Same';") == 2; }, 10s));
  // Some twenty empty blocks a second follow; none of them is an announcement.
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(titles.Count("StreamTitle='Same';"), 2);
  EXPECT_LE(titles.Count("StreamTitle='Opening';"), 1);  // read at the opening, or by the sync: once
  EXPECT_EQ(server.TitlesSent(), 3);
  BASS_StreamFree(stream);
}

class UrlStreamIcecast : public ::testing::Test {
protected:
  static void SetUpTestSuite() { fServer = std::make_unique<vt::streamtest::TIcecast>(); }
  static void TearDownTestSuite() { fServer.reset(); }
  void SetUp() override {
    if (!fServer->Ready()) GTEST_FAIL() << "icecast2 did not start\n" << fServer->Log();
  }
  void TearDown() override { fServer->StopFeeders(); }
  static std::unique_ptr<vt::streamtest::TIcecast> fServer;
};
std::unique_ptr<vt::streamtest::TIcecast> UrlStreamIcecast::fServer;

TEST_F(UrlStreamIcecast, Mp3MountDeliversToneAndTitles) {
  ASSERT_TRUE(fServer->FeedAndWait("/mp3", "mp3"));
  TEvents events;
  const HSTREAM stream = BASS_StreamCreateURL(fServer->Url("/mp3").c_str(), 0, kFlags, &TEvents::Download, &events);
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  ASSERT_NE(BASS_ChannelSetSync(stream, BASS_SYNC_META, 0, &TEvents::Meta, &events), 0u);
  BASS_CHANNELINFO info{};
  BASS_ChannelGetInfo(stream, &info);
  EXPECT_EQ(info.freq, 44100u);
  EXPECT_EQ(info.chans, 2u);
  const auto audio = PullSeconds(stream, 1.0, 2, 44100);
  EXPECT_GT(vt::engine::testing::ToneAmplitude(audio, 2, 1, 440, 44100), 0.05);

  for (const std::string title : {"Artist - Song", "Zoë; \"Ünïcode\" – Tïtle"}) {
    const int before = events.fMeta;
    ASSERT_TRUE(fServer->SetTitle("/mp3", title));
    ASSERT_TRUE(WaitFor([&] { PullSeconds(stream, 0.05, 2, 44100, 100ms); return events.fMeta > before; }, 10s)) << title;
    EXPECT_NE(Tags(stream).find("StreamTitle='" + title + "';"), std::string::npos) << Tags(stream);
  }
  BASS_StreamFree(stream);
  EXPECT_EQ(events.fDownloadEnded, 0);  // freeing is not the end of the stream
}

TEST_F(UrlStreamIcecast, OggMountDecodesAndEndsWhenTheSourceStops) {
  ASSERT_TRUE(fServer->FeedAndWait("/ogg", "ogg"));
  TEvents events;
  const HSTREAM stream = BASS_StreamCreateURL(fServer->Url("/ogg").c_str(), 0, kFlags, &TEvents::Download, &events);
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  BASS_ChannelSetSync(stream, BASS_SYNC_END, 0, &TEvents::End, &events);
  const auto audio = PullSeconds(stream, 1.0, 2, 44100);
  EXPECT_GT(vt::engine::testing::ToneAmplitude(audio, 2, 0, 440, 44100), 0.05);
  fServer->StopFeeders();
  EXPECT_TRUE(WaitFor([&] { return events.fDownloadEnded == 1; }, 10s));
  EXPECT_TRUE(WaitFor([&] { PullSeconds(stream, 0.1, 2, 44100, 100ms); return events.fEnded == 1; }, 30s));
  BASS_StreamFree(stream);
}

// One table of the formats and transports a station may send; the tone's
// pitch differs per case, so a stream cannot pass with another mount's audio.
// Titles come as ICY data, which icecast2 adds to MP3 and AAC mounts only.
TEST_F(UrlStreamIcecast, EveryFormatAndTransportDeliversItsTone) {
  struct TCase {
    const char* fKind;
    bool fSecure;
    int fHz;
    DWORD fFreq;
    bool fTitles;
  } cases[] = {
      {"aac", false, 523, 44100, true},
      {"opus", false, 587, 48000, false},
      {"flac", false, 659, 44100, false},
      {"mp3", true, 698, 44100, true},   // a self-signed certificate is accepted
      {"opus", true, 784, 48000, false},
  };
  const double kAmplitude = 0.125 * M_SQRT1_2;  // the feeder's tone, spread over two channels
  for (const auto& c : cases) {
    const std::string mount = std::string("/") + c.fKind + (c.fSecure ? "-tls" : "");
    SCOPED_TRACE(mount);
    ASSERT_TRUE(fServer->FeedAndWait(mount, c.fKind, c.fHz));
    const std::string url = c.fSecure ? fServer->SecureUrl(mount) : fServer->Url(mount);
    TEvents events;
    const HSTREAM stream = BASS_StreamCreateURL(url.c_str(), 0, kFlags, &TEvents::Download, &events);
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    ASSERT_NE(BASS_ChannelSetSync(stream, BASS_SYNC_META, 0, &TEvents::Meta, &events), 0u);
    BASS_CHANNELINFO info{};
    BASS_ChannelGetInfo(stream, &info);
    EXPECT_EQ(info.freq, c.fFreq);
    EXPECT_EQ(info.chans, 2u);
    const auto audio = PullSeconds(stream, 1.0, 2, c.fFreq);
    for (DWORD channel : {0u, 1u})
      EXPECT_NEAR(vt::engine::testing::ToneAmplitude(audio, 2, channel, c.fHz, c.fFreq), kAmplitude, 0.02) << channel;
    if (c.fTitles) {
      const std::string title = std::string("Station - ") + mount;
      ASSERT_TRUE(fServer->SetTitle(mount, title));
      EXPECT_TRUE(WaitFor([&] {
        PullSeconds(stream, 0.05, 2, c.fFreq, 100ms);
        return Tags(stream).find("StreamTitle='" + title + "';") != std::string::npos;
      }, 10s)) << Tags(stream);
    }
    BASS_StreamFree(stream);
    EXPECT_EQ(events.fDownloadEnded, 0);
    fServer->StopFeeders();
  }
}

TEST_F(UrlStreamIcecast, PlaylistServedOverHttpLeadsToTheMount) {
  ASSERT_TRUE(fServer->FeedAndWait("/listed", "mp3"));
  vt::streamtest::THttpFolder web;
  ASSERT_TRUE(web.Ready());
  web.Write("radio.pls", "[playlist]\nNumberOfEntries=1\nFile1=" + fServer->Url("/listed") + "\n");
  web.Write("radio.m3u", "#EXTM3U\n" + web.Url("/radio.pls") + "\n");  // a list naming a list
  const HSTREAM stream = BASS_StreamCreateURL(web.Url("/radio.m3u").c_str(), 0, kFlags, nullptr, nullptr);
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  const auto audio = PullSeconds(stream, 0.5, 2, 44100);
  EXPECT_GT(vt::engine::testing::ToneAmplitude(audio, 2, 0, 440, 44100), 0.05);
  BASS_StreamFree(stream);
}

}  // namespace
