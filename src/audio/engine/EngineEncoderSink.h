#pragma once
// Where an encoder's queued PCM goes: a child process, a WAV file or a callback.
// All calls come from the encoder's own thread.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace vt::engine {

class TEncoderSink {
public:
  virtual ~TEncoderSink() = default;
  // First call, on the encoder's thread once the encoder is complete.
  virtual void Begin() {}
  // False when the sink is broken for good (the pipe broke, the disk failed).
  virtual bool Write(const void* iData, size_t iLength) = 0;
  // Called every few hundred milliseconds while the encoder runs.
  virtual void Tick() {}
  // The last call: flush and close; for a process, close its input and wait
  // (bounded) for it to finish.
  virtual void Finish() = 0;
  // Bytes that the sink took for good: written into its file, or read by its
  // child (bytes still in the pipe when the child died do not count). Exact
  // after Finish; before, what was handed over so far.
  virtual uint64_t Accepted() const = 0;
  // Any thread: ends a sink that no longer takes anything at once (a child
  // that stopped reading is killed), so that the encoder's thread can finish.
  virtual void Kill() {}
  // Called (on a sink thread) when the sink dies by itself, e.g. the child exits.
  std::function<void()> fOnDeath;
  // A write that waits for a stalled reader gives up after this moment (set
  // when the encoder is stopped, so a stop always ends).
  void GiveUpAt(std::chrono::steady_clock::time_point iWhen) {
    fGiveUpAt.store(iWhen.time_since_epoch().count(), std::memory_order_release);
  }
  bool GivenUp() const {
    return std::chrono::steady_clock::now().time_since_epoch().count() > fGiveUpAt.load(std::memory_order_acquire);
  }

private:
  std::atomic<std::chrono::steady_clock::rep> fGiveUpAt{std::chrono::steady_clock::duration::max().count()};
};

}  // namespace vt::engine
