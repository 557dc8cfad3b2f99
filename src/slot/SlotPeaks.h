#pragma once
// Writes the waveform of a recording while it is recorded (see
// SlotPeaksFormat.h for the file).
//
// Use from the slot, through TLivePeaks below:
//   open:   Replace(std::make_unique<TPeaksWriter>(recordingPath), rate);  (controller thread, after the file started)
//   audio:  AddBlock(samples, frames, channels);    (pull thread, real-time safe)
//   flush:  Flush();                                 (controller thread, its 100 ms tick)
//   close:  Replace(nullptr, 0);                     (controller thread, when the file closes)
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


// The writer of the file being recorded, handed from the controller thread to
// the thread that pulls the mixer. The audio thread only ever sees a raw
// pointer that it never frees; a writer that is replaced is closed and freed
// on the controller thread, and only once the audio thread has left it.
class TLivePeaks {
public:
  TLivePeaks() = default;
  ~TLivePeaks();  // Replace(nullptr, 0)
  TLivePeaks(const TLivePeaks&) = delete;
  TLivePeaks& operator=(const TLivePeaks&) = delete;

  // Audio thread: iInterleaved holds iFrames float frames of iChannels.
  void AddBlock(const float* iInterleaved, size_t iFrames, int iChannels) noexcept;
  // Controller thread. Publishes iWriter (may be empty) for blocks at iRate
  // Hz (ignored without a writer), waits until the audio thread can no longer be inside the previous
  // writer, then closes that one. Throws what the previous writer's Close
  // throws; the new writer is in place by then.
  void Replace(std::unique_ptr<TPeaksWriter> iWriter, int iRate);
  // Controller thread: appends the pairs so far to the file.
  void Flush();
  // Controller thread: path of the current .peaks file, empty when none.
  std::string PeaksPath() const;

private:
  std::unique_ptr<TPeaksWriter> fOwned;     // controller thread
  std::atomic<TPeaksWriter*> fActive{nullptr};
  std::atomic<int> fRate{0};
  // Set by the audio thread around its use of fActive. Both it and fActive
  // are sequentially consistent: an audio thread that read the old pointer
  // raised the flag before, so the controller sees it raised after its swap.
  std::atomic<bool> fInUse{false};
  static_assert(std::atomic<TPeaksWriter*>::is_always_lock_free);
  static_assert(std::atomic<bool>::is_always_lock_free);
};
