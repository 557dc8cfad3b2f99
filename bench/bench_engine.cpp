// Throughput of one slot chain: 48 kHz stereo push source -> 44.1 kHz mixer ->
// channel map -> level and counter callbacks -> 16-bit WAV encoder, in audio
// seconds per CPU second, beside ffmpeg doing the same conversion into a WAV
// file in the same run.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audio/engine/Engine.h"
#include "audio/engine/EngineTestHook.h"

namespace {

double CpuSeconds(int iWho) {
  rusage usage{};
  getrusage(iWho, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::vector<int16_t> Tone(size_t iFrames) {
  std::vector<int16_t> out(iFrames * 2);
  for (size_t i = 0; i < iFrames; ++i) out[2 * i] = out[2 * i + 1] = int16_t(12000 * std::sin(2 * M_PI * 1000.0 * i / 48000));
  return out;
}

float sPeak = 0;
unsigned long sCount = 0;
void Level(HDSP, DWORD, void* buffer, DWORD length, void*) {
  const float* s = static_cast<const float*>(buffer);
  for (DWORD i = 0; i < length / 4; ++i) sPeak = std::max(sPeak, std::fabs(s[i]));
}
void Counter(HDSP, DWORD, void*, DWORD length, void*) { sCount += length; }

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 600.0;
  const std::string dir = "/tmp/vt-bench-engine-" + std::to_string(getpid());
  std::system(("mkdir -p " + dir).c_str());
  const size_t block = 4800;  // 0.1 s, as a capture callback would deliver
  const auto tone = Tone(block);

  BASS_SetConfig(BASS_CONFIG_FLOATDSP, 1);
  BASS_SetConfig(BASS_CONFIG_ENCODE_QUEUE, 6000);
  const DWORD mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
  const DWORD push = BASS_StreamCreate(48000, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
  BASS_Mixer_StreamAddChannel(mixer, push, 0);
  const HFX mix = BASS_ChannelSetFX(mixer, BASS_FX_BFX_MIX, 1);
  const int map[2] = {BASS_BFX_CHAN1, BASS_BFX_CHAN2};
  BASS_BFX_MIX params{map};
  BASS_FXSetParameters(mix, &params);
  BASS_ChannelSetDSP(mixer, Level, nullptr, 0);
  BASS_ChannelSetDSP(mixer, Counter, nullptr, 0);
  BASS_SetConfig(BASS_CONFIG_ENCODE_PRIORITY, DWORD(-1000));
  const HENCODE wav = BASS_Encode_Start(mixer, (dir + "/engine.wav").c_str(),
                                        BASS_ENCODE_PCM | BASS_ENCODE_FP_16BIT | BASS_ENCODE_QUEUE, nullptr, nullptr);
  if (!wav) {
    std::fprintf(stderr, "encoder start failed: %d\n", BASS_ErrorGetCode());
    return 1;
  }

  std::vector<float> out(2 * 4410);
  const size_t blocks = size_t(seconds * 10);
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const auto wall0 = std::chrono::steady_clock::now();
  for (size_t b = 0; b < blocks; ++b) {
    BASS_StreamPutData(push, tone.data(), DWORD(tone.size() * 2));
    BASS_ChannelGetData(mixer, out.data(), DWORD(out.size() * 4));
    // Faster than real time by far: let the encoder thread keep up rather than drop.
    while (BASS_Encode_GetCount(wav, BASS_ENCODE_COUNT_QUEUE) > BASS_Encode_GetCount(wav, BASS_ENCODE_COUNT_QUEUE_LIMIT) / 2)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const QWORD dropped = BASS_Encode_GetCount(wav, BASS_ENCODE_COUNT_QUEUE_FAIL);
  BASS_Encode_Stop(wav);
  vt::engine::test::WaitForEncoders(std::chrono::seconds(60));
  const double engineCpu = CpuSeconds(RUSAGE_SELF) - cpu0;
  const double engineWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();

  // ffmpeg: the same input as a raw file, resampled into a 16-bit WAV.
  const std::string raw = dir + "/in.raw";
  if (FILE* f = std::fopen(raw.c_str(), "wb")) {
    for (size_t b = 0; b < blocks; ++b) std::fwrite(tone.data(), 2, tone.size(), f);
    std::fclose(f);
  }
  const double child0 = CpuSeconds(RUSAGE_CHILDREN);
  const std::string command = "ffmpeg -v error -y -f s16le -ar 48000 -ac 2 -i " + raw + " -ar 44100 -c:a pcm_s16le " + dir + "/ffmpeg.wav";
  const int rc = std::system(command.c_str());
  const double ffmpegCpu = CpuSeconds(RUSAGE_CHILDREN) - child0;

  const double engineRate = seconds / engineCpu, ffmpegRate = seconds / ffmpegCpu;
  std::printf("audio processed: %.0f s (peak %.3f, %lu bytes seen by the counter, %llu bytes dropped)\n", seconds,
              double(sPeak), sCount, (unsigned long long)dropped);
  std::printf("engine chain: %.3f CPU s (%.3f wall s) = %.0fx real time per CPU second\n", engineCpu, engineWall, engineRate);
  if (rc == 0)
    std::printf("ffmpeg:       %.3f CPU s = %.0fx real time per CPU second\n", ffmpegCpu, ffmpegRate);
  else
    std::printf("ffmpeg: failed (exit %d)\n", rc);
  std::printf("engine / ffmpeg: %.2f\n", engineRate / ffmpegRate);
  BASS_StreamFree(push);
  BASS_StreamFree(mixer);
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
