// Clip export and loudness figures.
//  - clip: a span of iMinutes (default 60) from the middle of one MP3
//    recording to the middle of the next (two recordings of iMinutes each,
//    44.1 kHz stereo 128 kbit/s, made once in the scratch folder), exported
//    as MP3 and as WAV by the archive's clip path, beside ffmpeg doing the same
//    job in one run (the concat demuxer over both files, -ss/-to, encoded with
//    libmp3lame, or written as WAV). Runs interleaved; medians in seconds.
//    Goal: at least as fast as ffmpeg.
//  - loudness: 64 slots' measurements at 48 kHz fed in real time (a block of
//    100 ms per slot every 100 ms, as the pull threads copy them), process CPU
//    over the run against the same feeding without measurement. Goal: under
//    0.05 % of a core per slot.
//   bench_clip [scratch folder, default /tmp/vt-bench-clip] [minutes, default 60] [clip|loudness] [rounds, default 5]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "slot/SlotLoudness.h"
#include "support/DateTime.h"
#include "support/SimpleSQLInterface.h"
#include "web/ArchiveAPI.h"
#include "web/ClipAssembler.h"
#include "web/ClipMp3Stream.h"
#include "web/ClipRoute.h"

namespace {
using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point iFrom) { return std::chrono::duration<double>(TClock::now() - iFrom).count(); }

double Median(std::vector<double> iValues) {
  std::sort(iValues.begin(), iValues.end());
  return iValues.empty() ? 0 : iValues[iValues.size() / 2];
}

double LoadAverage() {
  double load[1] = {0};
  return getloadavg(load, 1) == 1 ? load[0] : -1;
}

double ProcessCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int Run(const std::string& iCommand) { return std::system(iCommand.c_str()); }

void MakeRecording(const std::string& iPath, int iMinutes, int iHz) {
  if (std::filesystem::exists(iPath)) return;
  const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i 'sine=f=" + std::to_string(iHz) +
                              ":sample_rate=44100' -f lavfi -i 'anoisesrc=a=0.05:r=44100' -filter_complex amix=inputs=2 "
                              "-ac 2 -t " + std::to_string(iMinutes * 60) + " -c:a libmp3lame -b:a 128k '" + iPath + ".part.mp3' && mv '" +
                              iPath + ".part.mp3' '" + iPath + "'";
  if (Run(command) != 0) throw std::runtime_error("ffmpeg could not make " + iPath);
}

void BenchClip(const std::string& iFolder, int iMinutes, int iRounds) {
  std::filesystem::create_directories(iFolder + "/rec");
  std::printf("making two recordings of %d minutes (once)...\n", iMinutes);
  MakeRecording(iFolder + "/rec/a.mp3", iMinutes, 440);
  MakeRecording(iFolder + "/rec/b.mp3", iMinutes, 660);
  const std::string database = iFolder + "/clip.db";
  std::filesystem::remove(database);
  const TDateTime first = EncodeDateTime(2024, 3, 5, 14, 0, 0, 0);
  const double length = iMinutes * 60.0;
  {
    auto db = OpenArchiveDatabase(database);
    for (int i = 0; i < 2; ++i) {
      auto insert = db->PrepareStatement(
          "INSERT INTO recordings (starttime, duration, filename) VALUES (:starttime, :duration, :filename)");
      insert->SetTimestampByName("starttime", first + i * length / 86400);
      insert->SetFloatByName("duration", length);
      insert->SetStringByName("filename", i == 0 ? "a.mp3" : "b.mp3");
      insert->ExecuteUpdatePrepared();
    }
  }
  TWebSlotSnapshot slot;
  slot.Name = "Bench";
  slot.Folder = iFolder + "/rec";
  slot.DatabasePath = database;
  const TDateTime start = first + length / 2 / 86400, end = start + length / 86400;

  std::ofstream(iFolder + "/list.txt") << "file '" << iFolder << "/rec/a.mp3'\nfile '" << iFolder << "/rec/b.mp3'\n";
  const std::string ss = std::to_string(length / 2), to = std::to_string(length * 1.5);
  const std::string peerMp3 = "ffmpeg -nostdin -v error -y -f concat -safe 0 -i '" + iFolder + "/list.txt' -ss " + ss +
                              " -to " + to + " -c:a libmp3lame -b:a 128k -f mp3 /dev/null";
  const std::string peerWav = "ffmpeg -nostdin -v error -y -f concat -safe 0 -i '" + iFolder + "/list.txt' -ss " + ss +
                              " -to " + to + " -c:a pcm_s16le -f wav /dev/null";

  std::vector<double> oursMp3, oursWav, ffMp3, ffWav;
  std::vector<char> buffer(64 * 1024);
  std::vector<int16_t> block(2 * 8192);
  for (int round = 0; round < iRounds; ++round) {
    auto t = TClock::now();
    {
      auto assembler = std::make_unique<TClipAssembler>(PlanClip(ClipRecordings(slot, start, end), start, end));
      TClipMp3Stream stream(std::move(assembler));
      size_t bytes = 0;
      while (const size_t n = stream.Read(buffer.data(), buffer.size())) bytes += n;
      if (bytes == 0) throw std::runtime_error("empty MP3 clip");
    }
    oursMp3.push_back(Seconds(t));
    t = TClock::now();
    if (Run(peerMp3) != 0) throw std::runtime_error("ffmpeg failed: " + peerMp3);
    ffMp3.push_back(Seconds(t));
    t = TClock::now();
    {
      TClipAssembler assembler(PlanClip(ClipRecordings(slot, start, end), start, end));
      int64_t frames = 0;
      while (const size_t n = assembler.Read(block.data(), 8192)) frames += static_cast<int64_t>(n);
      if (frames != std::llround(length * 44100)) std::printf("  (WAV clip of %lld frames)\n", static_cast<long long>(frames));
    }
    oursWav.push_back(Seconds(t));
    t = TClock::now();
    if (Run(peerWav) != 0) throw std::runtime_error("ffmpeg failed: " + peerWav);
    ffWav.push_back(Seconds(t));
    std::printf("  round %d: ours mp3 %.2f s, ffmpeg mp3 %.2f s, ours wav %.2f s, ffmpeg wav %.2f s\n", round + 1,
                oursMp3.back(), ffMp3.back(), oursWav.back(), ffWav.back());
  }
  std::printf("clip of %d minutes across two MP3 files, medians of %d (load average %.2f):\n", iMinutes, iRounds,
              LoadAverage());
  std::printf("  MP3: ours %.2f s, ffmpeg concat -ss/-to %.2f s (ratio %.2f)\n", Median(oursMp3), Median(ffMp3),
              Median(ffMp3) / Median(oursMp3));
  std::printf("  WAV: ours %.2f s, ffmpeg concat -ss/-to %.2f s (ratio %.2f)\n", Median(oursWav), Median(ffWav),
              Median(ffWav) / Median(oursWav));
}

// CPU of iSeconds of real-time feeding of 64 slots, with or without measurement.
double FeedingCPU(bool iMeasure, int iSeconds) {
  constexpr int kSlots = 64, kRate = 48000, kBlock = kRate / 10;
  std::vector<std::unique_ptr<TSlotLoudness>> meters;
  for (int i = 0; i < kSlots && iMeasure; ++i) {
    meters.push_back(std::make_unique<TSlotLoudness>(kRate));
    meters.back()->BeginFile(0, 0, "");
  }
  std::vector<float> audio(2 * kBlock), copy(2 * kBlock);
  for (int i = 0; i < kBlock; ++i)
    audio[2 * i] = audio[2 * i + 1] = 0.1f * static_cast<float>(std::sin(2 * M_PI * 997.0 * i / kRate));
  const double cpu0 = ProcessCPUSeconds();
  auto next = TClock::now();
  for (int tick = 0; tick < iSeconds * 10; ++tick) {
    for (int i = 0; i < kSlots; ++i) {
      if (iMeasure)
        meters[static_cast<size_t>(i)]->Write(audio.data(), kBlock);
      else
        std::copy(audio.begin(), audio.end(), copy.begin());
    }
    next += std::chrono::milliseconds(100);
    std::this_thread::sleep_until(next);
  }
  uint64_t dropped = 0;
  for (auto& m : meters) dropped += m->DroppedFrames();
  const double cpu = ProcessCPUSeconds() - cpu0;
  meters.clear();
  if (dropped) std::printf("  (%llu frames dropped)\n", static_cast<unsigned long long>(dropped));
  return cpu;
}

void BenchLoudness() {
  constexpr int kSeconds = 20;
  std::vector<double> with, without;
  for (int round = 0; round < 3; ++round) {
    without.push_back(FeedingCPU(false, kSeconds));
    with.push_back(FeedingCPU(true, kSeconds));
    std::printf("  round %d: CPU %.3f s with measurement, %.3f s without, over %d s\n", round + 1, with.back(),
                without.back(), kSeconds);
  }
  const double perSlot = (Median(with) - Median(without)) / kSeconds / 64;
  std::printf("loudness of 64 slots at 48 kHz (medians of 3, load average %.2f): %.4f %% of a core per slot\n",
              LoadAverage(), perSlot * 100);
}
}  // namespace

int main(int argc, char** argv) {
  const std::string folder = argc > 1 ? argv[1] : "/tmp/vt-bench-clip";
  const int minutes = argc > 2 ? std::atoi(argv[2]) : 60;
  const std::string only = argc > 3 ? argv[3] : "";
  const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
  try {
    if (only.empty() || only == "clip") BenchClip(folder, minutes, rounds);
    if (only.empty() || only == "loudness") BenchLoudness();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
