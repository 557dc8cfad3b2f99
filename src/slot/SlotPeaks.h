#pragma once
// Writes the waveform of a recording while it is recorded (see
// SlotPeaksFormat.h for the file).
//
// Use from the slot:
//   open:   fPeaks = std::make_unique<TPeaksWriter>(recordingPath);  (controller thread, after the file started)
//   audio:  fPeaks->AddBlock(samples, frames, channels, rate);       (pull thread, real-time safe)
//   flush:  fPeaks->Flush();                 (one non-audio thread, e.g. the 100 ms timer)
//   close:  fPeaks->Close(); once the audio thread no longer calls AddBlock.
#include <atomic>
#include <memory>
#include <string>

#include "slot/SlotPeaksFormat.h"

// Writes a .peaks file while its recording is being written. AddBlock never
// allocates, locks or touches the disk: pairs go through a fixed single-producer,
// single-consumer ring that Flush empties into the file.
class TPeaksWriter {
public:
  // Creates (replaces) iRecordingPath + ".peaks". Throws std::runtime_error on failure.
  explicit TPeaksWriter(const std::string& iRecordingPath, int iPairsPerSecond = kPeaksPerSecond);
  ~TPeaksWriter();  // Close()
  TPeaksWriter(const TPeaksWriter&) = delete;
  TPeaksWriter& operator=(const TPeaksWriter&) = delete;

  // Audio thread. Pairs that find the ring full are dropped and counted.
  void AddBlock(const float* iInterleaved, size_t iFrames, int iChannels, int iRate) noexcept;
  void AddBlock16(const int16_t* iInterleaved, size_t iFrames, int iChannels, int iRate) noexcept;
  // One non-audio thread: appends the finished pairs to the file.
  void Flush();
  // After the last AddBlock: writes the remaining and the partial pair, closes the file.
  void Close();

  const std::string& PeaksPath() const { return fPath; }
  uint64_t DroppedPairs() const { return fDropped.load(std::memory_order_relaxed); }

private:
  void Push(const TPeakPair& iPair) noexcept;
  std::string fPath;
  std::FILE* fFile = nullptr;
  TPeaksAccumulator fAccumulator;
  // 60 s of pairs: Flush may lag that long before pairs are lost
  std::vector<TPeakPair> fRing;
  std::atomic<size_t> fWriteIndex{0};  // written by the audio thread (release)
  std::atomic<size_t> fReadIndex{0};   // written by the flushing thread (release)
  std::atomic<uint64_t> fDropped{0};
  static_assert(std::atomic<size_t>::is_always_lock_free);
};

