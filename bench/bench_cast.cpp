// CPU of the outgoing stream, beside ffmpeg sending the same encoded stream to
// the same icecast2, in one run:
//  1. the cast client alone: an MP3 file (encoded beforehand) handed to the
//     client at its bit rate, as the encoder's output reader would, and sent
//     to a mount: what streaming costs besides the encoder process;
//  2. ffmpeg sending the same file to another mount (-re -c copy -f mp3
//     icecast://...), its start-up included;
//  3. the whole chain as a slot runs it: a tone through a mixer pulled every
//     50 ms, the streaming encoder (lame) and the cast, with lame's own CPU
//     shown apart.
// Figures are percent of one core over the run's wall time.
//
//   bench_cast [seconds per part, default 30]
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "../tests/audio/engine/UrlStreamTestServices.h"
#include "audio/engine/Engine.h"
#include "audio/engine/EngineCastClient.h"
#include "audio/engine/EngineTestHook.h"

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

double CpuSeconds(int iWho) {
  rusage usage{};
  getrusage(iWho, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Percent(double iCpu, double iWall) { return iWall > 0 ? 100.0 * iCpu / iWall : 0; }

struct TFigure {
  double fCpu = 0, fWall = 0;
};

// Hands iMp3 to the client at 128 kbit/s in 100 ms pieces, for iSeconds;
// without a server, to nobody (the cost of this loop itself).
TFigure RunClient(const vt::streamtest::TIcecast* iServer, const std::string& iMp3, int iSeconds) {
  if (!iServer) {
    const double cpu = CpuSeconds(RUSAGE_SELF);
    const auto start = TClock::now();
    auto next = start;
    volatile size_t sink = 0;
    while (TClock::now() - start < std::chrono::seconds(iSeconds)) {
      sink = sink + iMp3.size();
      next += 100ms;
      std::this_thread::sleep_until(next);
    }
    return {CpuSeconds(RUSAGE_SELF) - cpu, std::chrono::duration<double>(TClock::now() - start).count()};
  }
  vt::engine::TCastTarget target{vt::engine::TCastTarget::cpIcecast, "127.0.0.1", iServer->Port(), "/client", ""};
  vt::engine::TCastSettings settings;
  settings.fPassword = vt::streamtest::TIcecast::kPassword;
  settings.fContentType = "audio/mpeg";
  settings.fName = "bench";
  settings.fBitrate = 128;
  auto client = vt::engine::TCastClient::Connect(target, settings, 5000ms);
  client->Start();
  const size_t piece = 128000 / 8 / 10;
  const double cpu = CpuSeconds(RUSAGE_SELF);
  const auto start = TClock::now();
  auto next = start;
  size_t at = 0;
  while (TClock::now() - start < std::chrono::seconds(iSeconds)) {
    if (at + piece > iMp3.size()) at = 0;
    client->Deliver(iMp3.data() + at, piece);
    at += piece;
    next += 100ms;
    std::this_thread::sleep_until(next);
  }
  TFigure f{CpuSeconds(RUSAGE_SELF) - cpu, std::chrono::duration<double>(TClock::now() - start).count()};
  client->Close();
  std::printf("  (client sent %llu bytes)\n", static_cast<unsigned long long>(client->SentBytes()));
  return f;
}

TFigure RunFfmpeg(const vt::streamtest::TIcecast& iServer, const std::string& iFile, int iSeconds) {
  const double cpu = CpuSeconds(RUSAGE_CHILDREN);
  const auto start = TClock::now();
  const std::string command = "ffmpeg -nostdin -loglevel error -re -stream_loop -1 -t " + std::to_string(iSeconds) +
                              " -i " + iFile + " -c copy -content_type audio/mpeg -f mp3 icecast://source:" +
                              vt::streamtest::TIcecast::kPassword + "@127.0.0.1:" + std::to_string(iServer.Port()) +
                              "/ffmpeg";
  if (std::system(command.c_str()) != 0) std::printf("  (ffmpeg failed)\n");
  return {CpuSeconds(RUSAGE_CHILDREN) - cpu, std::chrono::duration<double>(TClock::now() - start).count()};
}

struct TChainFigure {
  TFigure fInProcess;
  double fEncoderCpu = 0;
};

TChainFigure RunChain(const vt::streamtest::TIcecast& iServer, int iSeconds) {
  const DWORD mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
  const DWORD tone = vt::engine::test::CreateToneStream(44100, 2, 1000.0, 0.5f);
  BASS_Mixer_StreamAddChannel(mixer, tone, 0);
  BASS_SetConfig(BASS_CONFIG_ENCODE_QUEUE, 6000);
  const double children = CpuSeconds(RUSAGE_CHILDREN);
  const HENCODE encoder = BASS_Encode_Start(mixer, "lame --flush -r -s 44100 -b 128 -m j - -", 0x80041205u, nullptr, nullptr);
  const std::string server = "127.0.0.1:" + std::to_string(iServer.Port()) + "/chain";
  if (!BASS_Encode_CastInit(encoder, server.c_str(), vt::streamtest::TIcecast::kPassword, "audio/mpeg", "bench", "",
                            "", "", "", 128, 0))
    std::printf("  (cast failed: %d)\n", BASS_ErrorGetCode());
  std::vector<float> block(2205 * 2);
  const double cpu = CpuSeconds(RUSAGE_SELF);
  const auto start = TClock::now();
  auto next = start;
  while (TClock::now() - start < std::chrono::seconds(iSeconds)) {
    BASS_ChannelGetData(mixer, block.data(), DWORD(block.size() * sizeof(float)));
    next += 50ms;
    std::this_thread::sleep_until(next);
  }
  TChainFigure f;
  f.fInProcess = {CpuSeconds(RUSAGE_SELF) - cpu, std::chrono::duration<double>(TClock::now() - start).count()};
  BASS_StreamFree(mixer);
  BASS_StreamFree(tone);
  vt::engine::test::WaitForEncoders(30s);
  f.fEncoderCpu = CpuSeconds(RUSAGE_CHILDREN) - children;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 30;
  vt::streamtest::TIcecast server;
  if (!server.Ready()) {
    std::fprintf(stderr, "icecast2 did not start\n%s\n", server.Log().c_str());
    return 1;
  }
  const auto dir = vt::streamtest::MakeTempDir("bench-cast");
  const std::string mp3 = (dir / "tone.mp3").string();
  std::system(("ffmpeg -nostdin -loglevel error -f lavfi -i sine=frequency=1000:sample_rate=44100:duration=30 -ac 2 "
               "-c:a libmp3lame -b:a 128k " + mp3).c_str());
  std::ifstream in(mp3, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (bytes.empty()) {
    std::fprintf(stderr, "could not encode the test file\n");
    return 1;
  }

  std::printf("Streaming MP3 at 128 kbit/s to icecast2, %d s per part\n", seconds);
  const TFigure idle = RunClient(nullptr, bytes, seconds);
  const TFigure client = RunClient(&server, bytes, seconds);
  std::printf("cast client alone:            %.3f %% of a core (%.3f s CPU in %.1f s; the feeding loop's own %.3f %% taken off)\n",
              Percent(client.fCpu - idle.fCpu, client.fWall), client.fCpu - idle.fCpu, client.fWall,
              Percent(idle.fCpu, idle.fWall));
  const TFigure ffmpeg = RunFfmpeg(server, mp3, seconds);
  std::printf("ffmpeg -c copy to icecast:    %.3f %% of a core (%.3f s CPU in %.1f s, start-up included)\n",
              Percent(ffmpeg.fCpu, ffmpeg.fWall), ffmpeg.fCpu, ffmpeg.fWall);
  const TChainFigure chain = RunChain(server, seconds);
  std::printf("slot chain in process:        %.3f %% of a core (mixer, encoder feed and output reader, cast)\n",
              Percent(chain.fInProcess.fCpu, chain.fInProcess.fWall));
  std::printf("  lame encoder process:       %.3f %% of a core\n", Percent(chain.fEncoderCpu, chain.fInProcess.fWall));
  std::filesystem::remove_all(dir);
  return 0;
}
