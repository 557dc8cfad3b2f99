// The level measurement runs on the audio thread and must never allocate.
// Every operator new of this test program passes through here; while a thread
// marks itself as "in the audio callback", an allocation on it is counted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <new>
#include <vector>

#include <unistd.h>

#include "slot/SlotLevels.h"

namespace {

thread_local bool tInAudioCallback = false;
thread_local int tAudioAllocations = 0;

void* Allocate(std::size_t iSize) noexcept {
  if (tInAudioCallback) ++tAudioAllocations;
  return std::malloc(iSize ? iSize : 1);
}

}  // namespace

// All unaligned forms, so that every pair of new and delete meets the same
// allocator (the sanitizers check that pairing).
void* operator new(std::size_t iSize) {
  if (void* p = Allocate(iSize)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t iSize) {
  if (void* p = Allocate(iSize)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t iSize, const std::nothrow_t&) noexcept { return Allocate(iSize); }
void* operator new[](std::size_t iSize, const std::nothrow_t&) noexcept { return Allocate(iSize); }
void operator delete(void* iPointer) noexcept { std::free(iPointer); }
void operator delete[](void* iPointer) noexcept { std::free(iPointer); }
void operator delete(void* iPointer, std::size_t) noexcept { std::free(iPointer); }
void operator delete[](void* iPointer, std::size_t) noexcept { std::free(iPointer); }
void operator delete(void* iPointer, const std::nothrow_t&) noexcept { std::free(iPointer); }
void operator delete[](void* iPointer, const std::nothrow_t&) noexcept { std::free(iPointer); }

namespace {

TEST(SlotLevelsAudioThread, MeasuringABlockAllocatesNothing) {
  uint64_t now = 5000;
  TSlotLevels levels([&now] { return now; });
  levels.SetSilenceThreshold(-30);
  std::vector<float> loud(2 * 1024, 0.25f);
  std::vector<float> silent(2 * 1024, 0.0f);
  // with the waveform of a file being written, as while recording
  const std::string recording =
      (std::filesystem::temp_directory_path() / ("vt_noalloc_" + std::to_string(::getpid()))).string();
  levels.Peaks().Replace(std::make_unique<TPeaksWriter>(recording), 8000);

  // The check itself must see an allocation when one happens.
  tInAudioCallback = true;
  void* volatile probe = ::operator new(16);
  ::operator delete(probe);
  tInAudioCallback = false;
  ASSERT_EQ(tAudioAllocations, 1);
  tAudioAllocations = 0;

  tInAudioCallback = true;
  for (int i = 0; i < 10; ++i) {
    ++now;
    levels.DoLevelDSP(loud.data(), static_cast<uint32_t>(loud.size() * sizeof(float)));
    levels.DoLevelDSP(silent.data(), static_cast<uint32_t>(silent.size() * sizeof(float)));
  }
  tInAudioCallback = false;
  EXPECT_EQ(tAudioAllocations, 0);
  EXPECT_EQ(levels.GetLastOverSilenceTickCount(), now);
  levels.Peaks().Replace(nullptr, 0);
  TPeaksData peaks;
  ASSERT_TRUE(ReadPeaksFile(recording + kPeaksSuffix, peaks));
  EXPECT_EQ(peaks.Pairs.size(), 26u);  // 20 blocks of 1024 frames at 800 frames a pair, and the part left
  std::filesystem::remove(recording + kPeaksSuffix);
}

}  // namespace
