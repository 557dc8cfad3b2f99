// Throughput of one slot chain: 48 kHz stereo 16-bit push source -> 44.1 kHz
// mixer -> channel map -> level and counter callbacks -> 16-bit WAV encoder, in
// audio seconds per CPU second, beside ffmpeg doing the same job: the same
// 16-bit samples (from a raw file in the page cache) resampled into a 16-bit
// WAV file.
//
// ffmpeg runs twice per round: with libsoxr at 16-bit precision and float
// processing, which is the engine's resampler at the engine's quality (the
// like-for-like figure), and with its default resampler, a short polyphase
// filter that is cheaper but lets tones above ~21 kHz alias back below
// Nyquist. ffmpeg's CPU time includes its process start-up, measured on a tiny
// input and printed so it can be taken off.
//
// Speed alone says little about two resamplers of different fidelity, so the
// run ends with what each of the three conversions does to test tones: the
// level kept of tones in the upper audio band, and what is left of tones
// between the new and the old Nyquist frequency, which a clean conversion
// removes and a short filter folds back as aliases just below 22.05 kHz.
//
// A second engine run puts a DSP plug-in on the chain at -500 (by default
// ladspa-sdk's stereo amplifier at gain 1, which does next to nothing) and
// prints what the host itself adds: the chain's extra CPU time less what the
// plug-in's own run function takes for the same audio, measured by calling it
// directly. Goal: the host adds under 2 % to the chain.
//
//   bench_engine [audio seconds, default 600] [rounds, default 3] [engine-only|all] [plug-in]
// "engine-only" leaves ffmpeg out, for profiling the chain on its own.
// Figures are medians over the rounds, so one disturbed run does not decide.
#include <dlfcn.h>
#include <ladspa.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audio/engine/Engine.h"
#include "audio/engine/EngineTestHook.h"
#include "slot/SlotLevels.h"

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

// The slot's own level measurement (peaks for the meters and the silence
// alarm); the waveform file it can also feed is not open here.
TSlotLevels sLevels;
unsigned long sCount = 0;
void Level(HDSP, DWORD, void* buffer, DWORD length, void*) { sLevels.DoLevelDSP(buffer, length); }
void Counter(HDSP, DWORD, void*, DWORD length, void*) { sCount += length; }

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// Callbacks just before and after the plug-in's place (-500) sum up the
// thread's CPU time spent between them: the host and the plug-in, without
// the rest of the chain. Without a plug-in they measure their own overhead.
double sBracketStart = 0, sBracketSum = 0;
void BracketBefore(HDSP, DWORD, void*, DWORD, void*) { sBracketStart = ThreadCpuSeconds(); }
void BracketAfter(HDSP, DWORD, void*, DWORD, void*) { sBracketSum += ThreadCpuSeconds() - sBracketStart; }

constexpr size_t kBlock = 4800;  // 0.1 s, as a capture callback would deliver

struct TEngineRun {
  double fCpu = -1, fWall = 0;
  double fBracket = 0;  // CPU seconds between the callbacks around -500
  unsigned long long fDropped = 0;
};

// iPlugin: a DSP plug-in to put on the chain at -500, or empty.
TEngineRun RunEngine(const std::string& iWav, const std::vector<int16_t>& iTone, size_t iBlocks,
                     const std::string& iPlugin = "") {
  TEngineRun run;
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
  BASS_ChannelSetDSP(mixer, BracketBefore, nullptr, -499);
  BASS_ChannelSetDSP(mixer, BracketAfter, nullptr, -501);
  sBracketSum = 0;
  HDSP plugin = 0;
  if (!iPlugin.empty()) {
    BASS_WADSP_Init(nullptr);
    plugin = BASS_WADSP_Load(iPlugin.c_str(), 5, 5, 100, 100, nullptr);
    if (!plugin || !BASS_WADSP_Start(plugin, 0, mixer) || !BASS_WADSP_ChannelSetDSP(plugin, mixer, -500)) {
      std::fprintf(stderr, "plug-in %s: %d %s\n", iPlugin.c_str(), BASS_ErrorGetCode(), VT_WADSP_ErrorText());
      return run;
    }
  }
  BASS_SetConfig(BASS_CONFIG_ENCODE_PRIORITY, DWORD(-1000));
  const HENCODE wav =
      BASS_Encode_Start(mixer, iWav.c_str(), BASS_ENCODE_PCM | BASS_ENCODE_FP_16BIT | BASS_ENCODE_QUEUE, nullptr, nullptr);
  if (!wav) {
    std::fprintf(stderr, "encoder start failed: %d\n", BASS_ErrorGetCode());
    return run;
  }
  std::vector<float> out(2 * 4410);
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const auto wall0 = std::chrono::steady_clock::now();
  for (size_t b = 0; b < iBlocks; ++b) {
    BASS_StreamPutData(push, iTone.data(), DWORD(iTone.size() * 2));
    BASS_ChannelGetData(mixer, out.data(), DWORD(out.size() * 4));
    // Faster than real time by far: let the encoder thread keep up rather than drop.
    while (BASS_Encode_GetCount(wav, BASS_ENCODE_COUNT_QUEUE) > BASS_Encode_GetCount(wav, BASS_ENCODE_COUNT_QUEUE_LIMIT) / 2)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  run.fDropped = BASS_Encode_GetCount(wav, BASS_ENCODE_COUNT_QUEUE_FAIL);
  BASS_Encode_Stop(wav);
  vt::engine::test::WaitForEncoders(std::chrono::seconds(60));
  run.fCpu = CpuSeconds(RUSAGE_SELF) - cpu0;
  run.fWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  run.fBracket = sBracketSum;
  if (plugin) BASS_WADSP_FreeDSP(plugin);
  BASS_StreamFree(push);
  BASS_StreamFree(mixer);
  return run;
}

// CPU seconds that a LADSPA plug-in ("library#label") takes on its own for
// iFrames stereo frames at 44.1 kHz in blocks like the chain's (a mono
// plug-in runs twice, as on the chain), its controls at 1 and its ports
// connected straight, with no host around it; -1 for anything else.
double PluginOwnSeconds(const std::string& iPlugin, size_t iFrames) {
  const size_t hash = iPlugin.rfind('#');
  if (hash == std::string::npos || iPlugin.find("://") != std::string::npos) return -1;
  void* library = dlopen(iPlugin.substr(0, hash).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) return -1;
  auto descriptorOf = reinterpret_cast<LADSPA_Descriptor_Function>(dlsym(library, "ladspa_descriptor"));
  const LADSPA_Descriptor* d = nullptr;
  for (unsigned long i = 0; descriptorOf && (d = descriptorOf(i)); ++i)
    if (iPlugin.substr(hash + 1) == d->Label) break;
  if (!d) return dlclose(library), -1;
  const size_t block = 4096;  // the chain's largest block
  int inputs = 0;
  for (unsigned long p = 0; p < d->PortCount; ++p)
    inputs += LADSPA_IS_PORT_AUDIO(d->PortDescriptors[p]) && LADSPA_IS_PORT_INPUT(d->PortDescriptors[p]);
  const int instances = inputs == 1 ? 2 : 1;
  std::vector<std::vector<float>> buffers(instances * d->PortCount, std::vector<float>(block, 0.25f));
  std::vector<float> controls(instances * d->PortCount, 1.0f);
  std::vector<LADSPA_Handle> handles;
  for (int i = 0; i < instances; ++i) {
    LADSPA_Handle h = d->instantiate(d, 44100);
    for (unsigned long p = 0; p < d->PortCount; ++p)
      d->connect_port(h, p, LADSPA_IS_PORT_AUDIO(d->PortDescriptors[p]) ? buffers[i * d->PortCount + p].data()
                                                                       : &controls[i * d->PortCount + p]);
    if (d->activate) d->activate(h);
    handles.push_back(h);
  }
  const double cpu0 = ThreadCpuSeconds();
  for (size_t done = 0; done < iFrames; done += block)
    for (LADSPA_Handle h : handles) d->run(h, std::min(block, iFrames - done));
  const double cpu = ThreadCpuSeconds() - cpu0;
  for (LADSPA_Handle h : handles) {
    if (d->deactivate) d->deactivate(h);
    d->cleanup(h);
  }
  dlclose(library);
  return cpu;
}

// CPU seconds of one ffmpeg run, or -1 when it fails.
double RunFfmpeg(const std::string& iInput, const std::string& iFilter, const std::string& iOutput) {
  const std::string command = "ffmpeg -nostdin -v error -y -f s16le -ar 48000 -ac 2 -i " + iInput +
                              (iFilter.empty() ? "" : " -af " + iFilter) + " -ar 44100 -c:a pcm_s16le " + iOutput;
  const double child0 = CpuSeconds(RUSAGE_CHILDREN);
  const int rc = std::system(command.c_str());
  const double cpu = CpuSeconds(RUSAGE_CHILDREN) - child0;
  return rc == 0 ? cpu : -1;
}

// Fidelity: the level (dB relative to the input) of a tone after conversion,
// over the middle of a few seconds, so that filter start-up plays no part.
// Above 22.05 kHz whatever is left is the tone folded below Nyquist.
constexpr double kToneSeconds = 4;

double LevelDb(const std::vector<float>& iOutput, double iInputRms) {
  const size_t from = iOutput.size() / 4, to = iOutput.size() * 3 / 4;
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(iOutput[i]) * iOutput[i];
  const double rms = std::sqrt(sum / std::max<size_t>(1, to - from));
  return 20 * std::log10(std::max(rms, 1e-12) / iInputRms);
}

std::vector<int16_t> ToneAt(double iHz, size_t iFrames) {
  std::vector<int16_t> out(iFrames * 2);
  for (size_t i = 0; i < iFrames; ++i) out[2 * i] = out[2 * i + 1] = int16_t(16000 * std::sin(2 * M_PI * iHz * i / 48000));
  return out;
}
constexpr double kToneRms = 16000 / 32768.0 / M_SQRT2;

double EngineToneDb(const std::vector<int16_t>& iTone) {
  const DWORD mixer = BASS_Mixer_StreamCreate(44100, 2, BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
  const DWORD push = BASS_StreamCreate(48000, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
  BASS_Mixer_StreamAddChannel(mixer, push, 0);
  std::vector<float> out, block(2 * 4410);
  for (size_t at = 0; at < iTone.size(); at += 2 * kBlock) {
    BASS_StreamPutData(push, iTone.data() + at, DWORD(std::min(2 * kBlock, iTone.size() - at) * 2));
    const DWORD got = BASS_ChannelGetData(mixer, block.data(), DWORD(block.size() * 4));
    if (got == DWORD(-1)) break;
    out.insert(out.end(), block.begin(), block.begin() + got / 4);
  }
  BASS_StreamFree(push);
  BASS_StreamFree(mixer);
  return LevelDb(out, kToneRms);
}

double FfmpegToneDb(const std::string& iDir, const std::vector<int16_t>& iTone, const std::string& iFilter) {
  const std::string in = iDir + "/tone.raw", out = iDir + "/tone.out.raw";
  if (FILE* f = std::fopen(in.c_str(), "wb")) {
    std::fwrite(iTone.data(), 2, iTone.size(), f);
    std::fclose(f);
  }
  // The 16-bit output of the timed job, read back as floats.
  const std::string command = "ffmpeg -nostdin -v error -y -f s16le -ar 48000 -ac 2 -i " + in +
                              (iFilter.empty() ? "" : " -af " + iFilter) + " -ar 44100 -f s16le " + out;
  if (std::system(command.c_str()) != 0) return NAN;
  std::vector<float> samples;
  if (FILE* f = std::fopen(out.c_str(), "rb")) {
    int16_t s;
    while (std::fread(&s, 2, 1, f) == 1) samples.push_back(s / 32768.0f);
    std::fclose(f);
  }
  return LevelDb(samples, kToneRms);
}

void PrintFidelity(const std::string& iDir, const std::string& iSoxrFilter) {
  std::printf("fidelity, tone level after conversion (dB; above 22.05 kHz: the alias left):\n");
  std::printf("  tone       engine  ffmpeg soxr  ffmpeg default\n");
  for (const double hz : {1000.0, 18000.0, 20000.0, 21000.0, 22600.0, 23000.0, 23500.0}) {
    const auto tone = ToneAt(hz, size_t(kToneSeconds * 48000));
    std::printf("  %5.1f kHz %7.1f %12.1f %15.1f\n", hz / 1000, EngineToneDb(tone), FfmpegToneDb(iDir, tone, iSoxrFilter),
                FfmpegToneDb(iDir, tone, ""));
  }
}

double Median(std::vector<double> iValues) {
  std::sort(iValues.begin(), iValues.end());
  return iValues.empty() ? -1 : iValues[iValues.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 600.0;
  const int rounds = std::max(1, argc > 2 ? atoi(argv[2]) : 3);
  const bool engineOnly = argc > 3 && std::string(argv[3]) == "engine-only";
  const std::string pluginName = argc > 4 ? argv[4] : "/usr/lib/ladspa/amp.so#amp_stereo";
  const std::string dir = "/tmp/vt-bench-engine-" + std::to_string(getpid());
  std::system(("mkdir -p " + dir).c_str());
  const auto tone = Tone(kBlock);
  const size_t blocks = size_t(seconds * 10);

  const std::string raw = dir + "/in.raw", tiny = dir + "/tiny.raw";
  if (FILE* f = std::fopen(raw.c_str(), "wb")) {
    for (size_t b = 0; b < blocks; ++b) std::fwrite(tone.data(), 2, tone.size(), f);
    std::fclose(f);
  }
  if (FILE* f = std::fopen(tiny.c_str(), "wb")) {
    std::fwrite(tone.data(), 2, tone.size(), f);
    std::fclose(f);
  }
  const std::string soxr = "aresample=resampler=soxr:precision=16:internal_sample_fmt=fltp";

  std::vector<double> engine, wall, ffSoxr, ffDefault, ffStart, withPlugin, pluginOwn, hostOwn, inside;
  unsigned long long dropped = 0;
  for (int r = 0; r < rounds; ++r) {
    const TEngineRun run = RunEngine(dir + "/engine.wav", tone, blocks);
    if (run.fCpu < 0) return 1;
    engine.push_back(run.fCpu);
    wall.push_back(run.fWall);
    dropped += run.fDropped;
    const TEngineRun plugged = RunEngine(dir + "/engine.wav", tone, blocks, pluginName);
    const double own = PluginOwnSeconds(pluginName, size_t(seconds * 44100));
    if (plugged.fCpu >= 0) {
      withPlugin.push_back(plugged.fCpu);
      pluginOwn.push_back(own);
      inside.push_back(plugged.fBracket - run.fBracket);
      hostOwn.push_back(plugged.fBracket - run.fBracket - own);
    }
    if (engineOnly) continue;
    ffSoxr.push_back(RunFfmpeg(raw, soxr, dir + "/ffmpeg.wav"));
    ffDefault.push_back(RunFfmpeg(raw, "", dir + "/ffmpeg.wav"));
    ffStart.push_back(RunFfmpeg(tiny, "", dir + "/tiny.wav"));
  }

  const double e = Median(engine), fs = Median(ffSoxr), fd = Median(ffDefault), st = Median(ffStart);
  auto rate = [seconds](double iCpu) { return iCpu > 0 ? seconds / iCpu : 0.0; };
  std::printf("audio per run: %.0f s, 48 kHz 16-bit stereo -> 44.1 kHz 16-bit WAV; medians of %d rounds\n", seconds,
              rounds);
  std::printf("  (engine peak %.3f, %lu bytes seen by the counter, %llu bytes dropped)\n", double(sLevels.LevelLeft()), sCount,
              dropped);
  std::printf("engine chain:                   %.3f CPU s (%.3f wall s) = %5.0fx real time per CPU second\n", e,
              Median(wall), rate(e));
  if (!withPlugin.empty()) {
    const double p = Median(withPlugin), own = Median(pluginOwn), in = Median(inside);
    std::printf("with plug-in %s at -500: %.3f CPU s = %5.0fx real time per CPU second\n", pluginName.c_str(), p, rate(p));
    std::printf("  at its place in the chain, host and plug-in: %.4f CPU s = %.2f %% of the chain without it\n", in,
                100.0 * in / e);
    if (own >= 0) {
      const double host = Median(hostOwn);
      std::printf("  the plug-in's own run: %.4f CPU s; the host's own cost: %.4f CPU s = %.2f %% of the chain\n", own,
                  host, 100.0 * host / e);
    }
  }
  if (engineOnly) {
  } else if (fs > 0 && fd > 0 && st > 0) {
    std::printf("ffmpeg start-up alone:          %.3f CPU s\n", st);
    std::printf("ffmpeg, soxr 16-bit (same job): %.3f CPU s = %5.0fx; without start-up %5.0fx\n", fs, rate(fs),
                rate(fs - st));
    std::printf("ffmpeg, default resampler:      %.3f CPU s = %5.0fx; without start-up %5.0fx\n", fd, rate(fd),
                rate(fd - st));
    std::printf("engine / ffmpeg soxr:    %.2f (%.2f without ffmpeg's start-up)\n", rate(e) / rate(fs),
                rate(e) / rate(fs - st));
    std::printf("engine / ffmpeg default: %.2f (%.2f without ffmpeg's start-up)\n", rate(e) / rate(fd),
                rate(e) / rate(fd - st));
  } else {
    std::printf("ffmpeg: failed\n");
  }
  if (!engineOnly) PrintFidelity(dir, soxr);
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
