#include "slot/SlotPeaks.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {
constexpr size_t kRingSeconds = 60;
}  // namespace

TPeaksWriter::TPeaksWriter(const std::string& iRecordingPath, int iPairsPerSecond)
    : fPath(iRecordingPath + kPeaksSuffix), fAccumulator(iPairsPerSecond), fRing(kRingSeconds * static_cast<size_t>(iPairsPerSecond > 0 ? iPairsPerSecond : 1) + 1) {
  fFile = std::fopen(fPath.c_str(), "wb");
  if (!fFile) throw std::runtime_error("Unable to create " + fPath + ": " + std::strerror(errno));
  const auto header = PeaksFileHeader(iPairsPerSecond);
  if (std::fwrite(header.data(), 1, header.size(), fFile) != header.size() || std::fflush(fFile) != 0) {
    std::fclose(fFile);
    fFile = nullptr;
    throw std::runtime_error("Unable to write " + fPath);
  }
}

TPeaksWriter::~TPeaksWriter() {
  try {
    Close();
  } catch (...) {
  }
}

void TPeaksWriter::Push(const TPeakPair& iPair) noexcept {
  const size_t write = fWriteIndex.load(std::memory_order_relaxed);
  const size_t next = (write + 1) % fRing.size();
  if (next == fReadIndex.load(std::memory_order_acquire)) {
    fDropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  fRing[write] = iPair;
  fWriteIndex.store(next, std::memory_order_release);
}

void TPeaksWriter::AddBlock(const float* iInterleaved, size_t iFrames, int iChannels, int iRate) noexcept {
  fAccumulator.AddFloat(iInterleaved, iFrames, iChannels, iRate, [this](const TPeakPair& p) { Push(p); });
}

void TPeaksWriter::AddBlock16(const int16_t* iInterleaved, size_t iFrames, int iChannels, int iRate) noexcept {
  fAccumulator.AddInt16(iInterleaved, iFrames, iChannels, iRate, [this](const TPeakPair& p) { Push(p); });
}

void TPeaksWriter::Flush() {
  if (!fFile) return;
  unsigned char buffer[4 * 256];
  size_t used = 0;
  size_t read = fReadIndex.load(std::memory_order_relaxed);
  const size_t write = fWriteIndex.load(std::memory_order_acquire);
  while (read != write) {
    PutPeakPair(buffer + used, fRing[read]);
    used += 4;
    read = (read + 1) % fRing.size();
    if (used == sizeof buffer) {
      std::fwrite(buffer, 1, used, fFile);
      used = 0;
    }
  }
  if (used) std::fwrite(buffer, 1, used, fFile);
  fReadIndex.store(read, std::memory_order_release);
  std::fflush(fFile);  // readers of a file being recorded see whole pairs up to now
}

void TPeaksWriter::Close() {
  if (!fFile) return;
  Flush();
  TPeakPair last;
  if (fAccumulator.TakePartial(last)) {
    unsigned char bytes[4];
    PutPeakPair(bytes, last);
    std::fwrite(bytes, 1, 4, fFile);
  }
  std::fclose(fFile);
  fFile = nullptr;
}


TLivePeaks::~TLivePeaks() {
  try {
    Replace(nullptr, 0);
  } catch (...) {
  }
}

void TLivePeaks::AddBlock(const float* iInterleaved, size_t iFrames, int iChannels) noexcept {
  fInUse.store(true);
  if (TPeaksWriter* writer = fActive.load()) writer->AddBlock(iInterleaved, iFrames, iChannels, fRate.load());
  fInUse.store(false);
}

void TLivePeaks::Replace(std::unique_ptr<TPeaksWriter> iWriter, int iRate) {
  // a block that still goes to the previous writer may read the rate already:
  // it stays the slot's rate, never 0
  if (iWriter) fRate.store(iRate);
  TPeaksWriter* previous = fActive.exchange(iWriter.get());
  std::unique_ptr<TPeaksWriter> old = std::move(fOwned);
  fOwned = std::move(iWriter);
  if (!previous) return;
  // One block's work at most; the audio thread never waits for anything.
  for (int spins = 0; fInUse.load(); ++spins) {
    if (spins < 1000)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  old->Close();
}

void TLivePeaks::Flush() {
  if (fOwned) fOwned->Flush();
}

std::string TLivePeaks::PeaksPath() const { return fOwned ? fOwned->PeaksPath() : std::string(); }
