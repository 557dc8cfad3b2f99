// Casting an encoder's output: to a real icecast2 (Icecast source protocol and
// its Shoutcast 1 port), to scripted peers that refuse, stall or hang up, and
// the built-in listener server with ICY titles, a slow listener and kicks.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "CastTestSupport.h"
#include "EngineTestSupport.h"
#include "UrlStreamTestServices.h"
#include "audio/engine/Engine.h"
#include "audio/engine/EngineTestHook.h"

namespace {

using namespace std::chrono_literals;
using vt::casttest::TListener;
using vt::casttest::ToneAt;
using vt::casttest::TPuller;
using vt::casttest::TScriptedServer;
using vt::streamtest::WaitFor;

constexpr DWORD kRate = 44100;
constexpr double kToneHz = 1000.0;
constexpr DWORD kStreamingFlags = 0x80041205u;  // unicode, autofree, no limit, queue, 16-bit, no head

struct TNotify {
  std::atomic<int> fCount{0};
  std::atomic<DWORD> fStatus{0};
  static void Proc(HENCODE, DWORD iStatus, void* iUser) {
    auto* self = static_cast<TNotify*>(iUser);
    self->fStatus = iStatus;
    ++self->fCount;
  }
};

// A mixer that carries a tone, an encoder on it writing MP3 (or Ogg Vorbis) to
// its standard output, and a puller that runs it.
class TCastRig {
public:
  explicit TCastRig(const std::string& iCommand = "lame --flush -r -s 44100 -b 128 -m j - -", double iSpeed = 1.0) {
    fMixer = BASS_Mixer_StreamCreate(kRate, 2, BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
    fTone = vt::engine::test::CreateToneStream(kRate, 2, kToneHz, 0.5f);
    BASS_Mixer_StreamAddChannel(fMixer, fTone, 0);
    BASS_SetConfig(BASS_CONFIG_ENCODE_QUEUE, 4000);
    fEncoder = BASS_Encode_Start(fMixer, iCommand.c_str(), kStreamingFlags, nullptr, nullptr);
    BASS_Encode_SetNotify(fEncoder, &TNotify::Proc, &fNotify);
    fPuller = std::make_unique<TPuller>(fMixer, kRate, iSpeed);
  }
  ~TCastRig() {
    fPuller.reset();
    BASS_StreamFree(fMixer);  // frees the encoder with it
    BASS_StreamFree(fTone);
    vt::engine::test::WaitForEncoders(20s);
  }
  HENCODE Encoder() const { return fEncoder; }
  TPuller& Puller() { return *fPuller; }
  TNotify fNotify;

private:
  DWORD fMixer = 0, fTone = 0;
  HENCODE fEncoder = 0;
  std::unique_ptr<TPuller> fPuller;
};

bool CastTo(HENCODE iEncoder, const std::string& iServer, const std::string& iPassword,
            const char* iContent = "audio/mpeg") {
  return BASS_Encode_CastInit(iEncoder, iServer.c_str(), iPassword.c_str(), iContent, "Test Station",
                              "http://station.example", "Logging", "The station's own stream",
                              "icy-aim:\r\nicy-irc:\r\nicy-icq:\r\n", 128, 0);
}


std::string Tags(DWORD iStream) {
  const char* tags = BASS_ChannelGetTags(iStream, BASS_TAG_META);
  return tags ? tags : "";
}

class EngineCastIcecast : public vt::casttest::TIcecastSuite {
protected:
  std::string Address(const std::string& iTail) const { return "127.0.0.1:" + std::to_string(fServer->Port()) + iTail; }
};

TEST_F(EngineCastIcecast, MountCarriesTheToneTheStationValuesAndTitles) {
  TCastRig rig;
  ASSERT_TRUE(CastTo(rig.Encoder(), Address("/live"), vt::streamtest::TIcecast::kPassword)) << BASS_ErrorGetCode();
  ASSERT_TRUE(WaitFor([&] { return fServer->MountLive("/live"); }, 10s)) << fServer->Status();
  const std::string status = fServer->Status();
  for (const char* value : {"\"server_name\":\"Test Station\"", "\"genre\":\"Logging\"",
                            "\"server_description\":\"The station's own stream\"", "\"bitrate\":128",
                            "\"server_type\":\"audio/mpeg\""})
    EXPECT_NE(status.find(value), std::string::npos) << value << " in " << status;
  EXPECT_NEAR(ToneAt(fServer->Url("/live"), kToneHz), 0.5, 0.1);

  // A title reaches a reader within two seconds.
  const HSTREAM reader = BASS_StreamCreateURL(fServer->Url("/live").c_str(), 0, 0x80280100u, nullptr, nullptr);
  ASSERT_NE(reader, 0u);
  ASSERT_TRUE(BASS_Encode_CastSetTitle(rig.Encoder(), "Artist - Song & \"more\" ü", nullptr));
  EXPECT_TRUE(WaitFor([&] {
    vt::engine::testing::PullFloat(reader, 4096);
    return Tags(reader).find("StreamTitle='Artist - Song & \"more\" ü';") != std::string::npos;
  }, 2s)) << Tags(reader);
  BASS_StreamFree(reader);
  EXPECT_EQ(BASS_Encode_IsActive(rig.Encoder()), DWORD(BASS_ACTIVE_PLAYING));
  EXPECT_EQ(rig.fNotify.fCount, 0);
}

// The cast starts seconds after the encoder (a connect delay, another slot
// holding the connect lock): the Ogg stream's header pages went out before,
// yet the server must get them first to take the stream.
TEST_F(EngineCastIcecast, OggVorbisMountDecodesThoughTheCastStartsLate) {
  TCastRig rig("oggenc -Q -r -R 44100 -B 16 -C 2 -b 128 -o - -");
  ASSERT_TRUE(WaitFor([&] { return BASS_Encode_GetCount(rig.Encoder(), BASS_ENCODE_COUNT_OUT) >= 8192; }, 20s));
  ASSERT_TRUE(CastTo(rig.Encoder(), Address("/ogg"), vt::streamtest::TIcecast::kPassword, "audio/ogg"))
      << BASS_ErrorGetCode();
  ASSERT_TRUE(WaitFor([&] { return fServer->MountLive("/ogg"); }, 10s));
  EXPECT_NEAR(ToneAt(fServer->Url("/ogg"), kToneHz), 0.5, 0.1);
}

TEST_F(EngineCastIcecast, ShoutcastSourceOnTheNextPortWithTitles) {
  TCastRig rig;
  ASSERT_TRUE(CastTo(rig.Encoder(), Address(""), vt::streamtest::TIcecast::kPassword)) << BASS_ErrorGetCode();
  ASSERT_TRUE(WaitFor([&] { return fServer->MountLive("/sc"); }, 10s)) << fServer->Status();
  const std::string status = fServer->Status();
  for (const char* value : {"\"server_name\":\"Test Station\"", "\"genre\":\"Logging\"", "\"bitrate\":128"})
    EXPECT_NE(status.find(value), std::string::npos) << value << " in " << status;
  TListener listener(fServer->Port(), "/sc", true);
  ASSERT_TRUE(WaitFor([&] { return listener.AudioBytes() > 0; }, 5s));
  ASSERT_TRUE(BASS_Encode_CastSetTitle(rig.Encoder(), "Shout Title", ""));
  EXPECT_TRUE(WaitFor([&] { return listener.HasTitle("Shout Title"); }, 4s));
}

TEST_F(EngineCastIcecast, RefusalsGiveTheirErrorCodes) {
  ASSERT_TRUE(fServer->FeedAndWait("/busy", "mp3"));
  const int closedPort = vt::streamtest::FreePort();
  struct TCase {
    std::string fServer, fPassword;
    int fError;
  } cases[] = {
      {Address("/live"), "wrong", BASS_ERROR_CAST_DENIED},
      {Address(""), "wrong", BASS_ERROR_CAST_DENIED},  // Shoutcast's "invalid password"
      {Address("/busy"), vt::streamtest::TIcecast::kPassword, BASS_ERROR_ALREADY},
      {"127.0.0.1:" + std::to_string(closedPort) + "/live", "x", BASS_ERROR_FILEOPEN},
      {"127.0.0.1/live", "x", BASS_ERROR_ILLPARAM},
      {"127.0.0.1:80x", "x", BASS_ERROR_ILLPARAM},
  };
  TCastRig rig;
  for (const auto& c : cases) {
    EXPECT_FALSE(CastTo(rig.Encoder(), c.fServer, c.fPassword)) << c.fServer;
    EXPECT_EQ(BASS_ErrorGetCode(), c.fError) << c.fServer;
  }
  EXPECT_FALSE(CastTo(0x7FFFFFF0, Address("/live"), "x"));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

// Scripted peers: what the client says, and how it copes with a bad server.
TEST(EngineCast, IcecastRequestAndTheFallbackToSource) {
  const int port = vt::streamtest::FreePort();
  // PUT is refused as unknown (a server from before 2.4): SOURCE follows.
  TScriptedServer server(port, {"HTTP/1.0 405 Method Not Allowed\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n"},
                         TScriptedServer::saRead);
  ASSERT_TRUE(server.Bound());
  TCastRig rig;
  ASSERT_TRUE(CastTo(rig.Encoder(), "127.0.0.1:" + std::to_string(port) + "/old", "pw")) << BASS_ErrorGetCode();
  const std::string put = server.Received(0);
  EXPECT_TRUE(put.starts_with("PUT /old HTTP/1.1\r\n")) << put;
  for (const char* line : {"Authorization: Basic c291cmNlOnB3\r\n", "Content-Type: audio/mpeg\r\n",
                           "Expect: 100-continue\r\n", "ice-name: Test Station\r\n", "ice-genre: Logging\r\n",
                           "ice-url: http://station.example\r\n", "ice-description: The station's own stream\r\n",
                           "ice-public: 0\r\n", "ice-bitrate: 128\r\n", "icy-name: Test Station\r\n", "icy-br: 128\r\n",
                           "icy-aim:\r\nicy-irc:\r\nicy-icq:\r\n\r\n"})
    EXPECT_NE(put.find(line), std::string::npos) << line;
  ASSERT_TRUE(WaitFor([&] { return server.Received(1).size() > 20000; }, 10s));  // the audio goes to SOURCE
  const std::string source = server.Received(1);
  EXPECT_TRUE(source.starts_with("SOURCE /old HTTP/1.0\r\n")) << source.substr(0, 200);
  EXPECT_EQ(source.find("Expect:"), std::string::npos);
  EXPECT_EQ(BASS_Encode_IsActive(rig.Encoder()), DWORD(BASS_ACTIVE_PLAYING));
}

TEST(EngineCast, ShoutcastTwoLegacyLoginCarriesTheStreamId) {
  const int port = vt::streamtest::FreePort();
  TScriptedServer server(port + 1, {"OK2\r\nicy-caps:11\r\n\r\n"}, TScriptedServer::saRead);
  ASSERT_TRUE(server.Bound());
  TCastRig rig;
  ASSERT_TRUE(CastTo(rig.Encoder(), "127.0.0.1:" + std::to_string(port) + ",3", "pw")) << BASS_ErrorGetCode();
  ASSERT_TRUE(WaitFor([&] { return server.Received(0).size() > 10000; }, 10s));
  const std::string received = server.Received(0);
  EXPECT_TRUE(received.starts_with("pw:#3\r\n")) << received.substr(0, 100);
  for (const char* line : {"content-type:audio/mpeg\r\n", "icy-name:Test Station\r\n", "icy-genre:Logging\r\n",
                           "icy-pub:0\r\n", "icy-br:128\r\n", "icy-aim:\r\nicy-irc:\r\nicy-icq:\r\n\r\n"})
    EXPECT_NE(received.find(line), std::string::npos) << line;
}

TEST(EngineCast, ServerThatNeverAnswersTimesOut) {
  const int port = vt::streamtest::FreePort();
  TScriptedServer server(port, {""}, TScriptedServer::saNeverAnswer);
  TCastRig rig;
  BASS_SetConfig(BASS_CONFIG_ENCODE_CAST_TIMEOUT, 500);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(CastTo(rig.Encoder(), "127.0.0.1:" + std::to_string(port) + "/live", "pw"));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  BASS_SetConfig(BASS_CONFIG_ENCODE_CAST_TIMEOUT, 5000);
}

TEST(EngineCast, ServerThatHangsUpEndsTheEncoderAndNotifies) {
  const int port = vt::streamtest::FreePort();
  TScriptedServer server(port, {"HTTP/1.1 100 Continue\r\n\r\n"}, TScriptedServer::saCloseAfter, 8000);
  TCastRig rig;
  ASSERT_TRUE(CastTo(rig.Encoder(), "127.0.0.1:" + std::to_string(port) + "/live", "pw"));
  EXPECT_TRUE(WaitFor([&] { return rig.fNotify.fCount > 0; }, 10s));
  EXPECT_EQ(rig.fNotify.fStatus, DWORD(BASS_ENCODE_NOTIFY_CAST));
  EXPECT_NE(BASS_Encode_IsActive(rig.Encoder()), DWORD(BASS_ACTIVE_PLAYING));
  EXPECT_EQ(rig.fNotify.fCount, 1);
}

TEST(EngineCast, ServerThatStopsReadingNeverHoldsUpThePuller) {
  const int port = vt::streamtest::FreePort();
  TScriptedServer server(port, {"HTTP/1.1 100 Continue\r\n\r\n"}, TScriptedServer::saNeverRead);
  BASS_SetConfig(BASS_CONFIG_ENCODE_CAST_TIMEOUT, 1000);
  // Four times real time, so that the stalled connection fills up soon.
  TCastRig rig("lame --flush -r -s 44100 -b 320 -m j - -", 4.0);
  ASSERT_TRUE(CastTo(rig.Encoder(), "127.0.0.1:" + std::to_string(port) + "/live", "pw"));
  const auto pulledBefore = rig.Puller().Pulled();
  // A stalled send counts as a lost connection.
  EXPECT_TRUE(WaitFor([&] { return rig.fNotify.fCount > 0; }, 30s));
  EXPECT_NE(BASS_Encode_IsActive(rig.Encoder()), DWORD(BASS_ACTIVE_PLAYING));
  EXPECT_GT(rig.Puller().Pulled(), pulledBefore);
  EXPECT_LT(rig.Puller().LongestPull(), 100ms);
  BASS_SetConfig(BASS_CONFIG_ENCODE_CAST_TIMEOUT, 5000);
}

TEST(EngineCast, StoppingTheEncoderEndsTheConnectionAtOnce) {
  const int port = vt::streamtest::FreePort();
  TScriptedServer server(port, {"HTTP/1.1 100 Continue\r\n\r\n"}, TScriptedServer::saRead);
  TCastRig rig;
  ASSERT_TRUE(CastTo(rig.Encoder(), "127.0.0.1:" + std::to_string(port) + "/live", "pw"));
  ASSERT_TRUE(WaitFor([&] { return server.Received(0).size() > 4000; }, 10s));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(BASS_Encode_Stop(rig.Encoder()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(WaitFor([&] { return server.Closed() == 1; }, 2s));
  EXPECT_EQ(rig.fNotify.fCount, 0);  // a stop is no death
}

// The built-in server: three listeners at once while titles change.
TEST(EngineListenerServer, MetadataPlainAndStalledListeners) {
  TCastRig rig("lame --flush -r -s 44100 -b 128 -m j - -", 3.0);
  const DWORD port = BASS_Encode_ServerInit(rig.Encoder(), "127.0.0.1:0", 40000, 4000, BASS_ENCODE_SERVER_META, nullptr, nullptr);
  ASSERT_NE(port, 0u) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_Encode_CastSetTitle(rig.Encoder(), "First Title", nullptr));
  TListener meta(int(port), "/", true), plain(int(port), "/stream", false);
  // Connects with a tiny receive window, sends its request and never reads.
  const int stalled = vt::casttest::ConnectStalledListener(int(port));
  ASSERT_GE(stalled, 0);

  ASSERT_TRUE(WaitFor([&] { return meta.HasTitle("First Title"); }, 5s));
  EXPECT_NE(meta.Head().find("icy-metaint:16000\r\n"), std::string::npos) << meta.Head();
  EXPECT_NE(meta.Head().find("Content-Type: audio/mpeg\r\n"), std::string::npos) << meta.Head();
  EXPECT_EQ(plain.Head().find("icy-metaint"), std::string::npos) << plain.Head();
  ASSERT_TRUE(BASS_Encode_CastSetTitle(rig.Encoder(), "Second Title", nullptr));
  EXPECT_TRUE(WaitFor([&] { return meta.HasTitle("Second Title"); }, 5s));
  EXPECT_NEAR(ToneAt("http://127.0.0.1:" + std::to_string(port) + "/", kToneHz), 0.5, 0.1);

  // The stalled listener is dropped once its backlog passes the buffer (well
  // before the others got 400 kB more): when it reads at last, its stream ends.
  const size_t before = plain.AudioBytes();
  ASSERT_TRUE(WaitFor([&] { return plain.AudioBytes() > before + 400000; }, 30s));
  EXPECT_TRUE(vt::casttest::StreamEnds(stalled, 5s));
  ::close(stalled);
  EXPECT_FALSE(plain.Ended());
  EXPECT_FALSE(meta.Ended());
  // Both readers got the same amount of audio, give or take what is in flight.
  const size_t a = meta.AudioBytes(), b = plain.AudioBytes();
  EXPECT_GT(a, 100000u);
  EXPECT_LT(a > b ? a - b : b - a, 100000u);
  EXPECT_LT(rig.Puller().LongestPull(), 100ms);
}

// An Ogg stream decodes only from its headers on: a listener that comes long
// after the start still gets them, then whole pages.
TEST(EngineListenerServer, OggListenerJoiningLateGetsTheHeaders) {
  TCastRig rig("oggenc -Q -r -R 44100 -B 16 -C 2 -b 128 -o - -", 4.0);
  const DWORD port = BASS_Encode_ServerInit(rig.Encoder(), "127.0.0.1:0", 40000, 4000, 0, nullptr, nullptr);
  ASSERT_NE(port, 0u) << BASS_ErrorGetCode();
  TListener early(int(port), "/", false);
  ASSERT_TRUE(WaitFor([&] { return early.AudioBytes() > 100000; }, 20s));  // the headers are long gone
  EXPECT_NE(early.Head().find("Content-Type: application/ogg\r\n"), std::string::npos) << early.Head();
  EXPECT_NEAR(ToneAt("http://127.0.0.1:" + std::to_string(port) + "/", kToneHz), 0.5, 0.1);
}

TEST(EngineListenerServer, KickFullHouseAndBadAddresses) {
  TCastRig rig;
  const int taken = vt::streamtest::FreePort();
  TScriptedServer other(taken, {""}, TScriptedServer::saRead);
  for (const std::string& address : {"127.0.0.1:" + std::to_string(taken), std::string("127.0.0.1:99999"),
                                     std::string("127.0.0.1:port"), std::string("1.2.3.4:80")})
    EXPECT_EQ(BASS_Encode_ServerInit(rig.Encoder(), address.c_str(), 40000, 4000, 0, nullptr, nullptr), 0u) << address;

  const DWORD port = BASS_Encode_ServerInit(rig.Encoder(), ":0", 40000, 4000, 0, nullptr, nullptr);
  ASSERT_NE(port, 0u) << BASS_ErrorGetCode();
  EXPECT_EQ(BASS_Encode_ServerInit(rig.Encoder(), ":0", 40000, 4000, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
  TListener first(int(port), "/", false), second(int(port), "/", false);
  ASSERT_TRUE(WaitFor([&] { return first.AudioBytes() > 0 && second.AudioBytes() > 0; }, 10s));
  EXPECT_FALSE(BASS_Encode_ServerKick(rig.Encoder(), "10.1.2.3"));
  EXPECT_TRUE(BASS_Encode_ServerKick(rig.Encoder(), "127.0.0.1"));
  EXPECT_TRUE(WaitFor([&] { return first.Ended() && second.Ended(); }, 5s));

  // Beyond the cap a listener is told the server is full.
  std::vector<int> idle;
  for (int i = 0; i < 64; ++i) idle.push_back(vt::casttest::ConnectLocal(int(port)));
  TListener turnedAway(int(port), "/", false);
  EXPECT_TRUE(WaitFor([&] { return turnedAway.Ended(); }, 5s));
  EXPECT_TRUE(turnedAway.Head().starts_with("HTTP/1.0 503")) << turnedAway.Head();
  for (int s : idle) ::close(s);
}

}  // namespace
