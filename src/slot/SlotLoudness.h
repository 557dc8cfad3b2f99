#pragma once
// Loudness of every file a slot records (integrated loudness, loudness range
// and maximum true peak, EBU R128 / ITU-R BS.1770-4), measured on a thread of
// its own. The thread that pulls the mixer only copies each block into a
// ring; the controller marks where files begin and end (mixer frames), and
// the measuring thread stores a file's values in its row once it has
// measured up to the file's end.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <ebur128.h>

#include "audio/engine/EngineRing.h"

class TSlotLoudness {
public:
  // Stereo float frames at iRate.
  TSlotLoudness(int iRate);
  // Measures what was marked and copied so far, then ends the thread.
  ~TSlotLoudness();
  TSlotLoudness(const TSlotLoudness&) = delete;
  TSlotLoudness& operator=(const TSlotLoudness&) = delete;

  // Pull thread: a block of the mixer. Never waits or allocates; a full ring
  // drops the block (the measuring thread is starved) and counts it.
  void Write(const float* iFrames, size_t iCount) noexcept;

  // Controller thread. A file begins at mixer frame iFrame (ending the one
  // before); its values go to row iID of the database at iDatabasePath (no
  // row: measured, not stored).
  void BeginFile(int64_t iFrame, int32_t iID, const std::string& iDatabasePath);
  // The file being measured ends at mixer frame iFrame.
  void EndFile(int64_t iFrame);

  // Of the file being written, LUFS; -HUGE_VAL while there is none or too
  // little audio.
  double Momentary() const { return fMomentary.load(std::memory_order_relaxed); }
  double ShortTerm() const { return fShortTerm.load(std::memory_order_relaxed); }
  uint64_t DroppedFrames() const { return fDropped.load(std::memory_order_relaxed); }

private:
  struct TMark {
    int64_t fFrame = 0;
    bool fBegin = false;
    int32_t fID = 0;
    std::string fDatabasePath;
  };
  void Run();
  void Measure(const float* iFrames, size_t iCount);
  void Apply(const TMark& iMark);
  void Finish();

  const int fRate;
  vt::engine::TSpscRing fRing;
  std::atomic<uint64_t> fDropped{0};
  std::atomic<double> fMomentary;
  std::atomic<double> fShortTerm;

  std::mutex fMutex;  // marks and stop (controller and measuring thread)
  std::condition_variable fWake;
  std::deque<TMark> fMarks;
  bool fStop = false;

  // measuring thread only
  int64_t fPosition = 0;  // mixer frames taken from the ring
  struct TStateFree {
    void operator()(ebur128_state* p) const;
  };
  std::unique_ptr<ebur128_state, TStateFree> fState;
  int32_t fID = 0;
  std::string fDatabasePath;

  std::thread fThread;
};
