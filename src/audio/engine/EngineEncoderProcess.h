#pragma once
// A command-line encoder: a child process started without a shell, reading PCM
// on its standard input. Its standard output goes to a callback when one is
// given (casting), else nowhere; its standard error is discarded. The child is
// reaped by a thread of its own, which also reports its death.
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include "audio/engine/EngineEncoderSink.h"

namespace vt::engine {

class TEncoderProcess : public TEncoderSink {
public:
  // How long a finishing child may take after its input closed before it is
  // terminated (it may still be writing the end of its file).
  static constexpr std::chrono::seconds kFinishTimeout{60};

  using TOutput = std::function<void(const void*, size_t)>;
  // nullptr with errno set when the program cannot be started.
  static std::unique_ptr<TEncoderProcess> Spawn(const std::vector<std::string>& iArgs, TOutput iOutput);
  ~TEncoderProcess() override;

  void Begin() override;  // starts the threads that reap the child and read its output
  bool Write(const void* iData, size_t iLength) override;
  void Finish() override;
  // Before Finish (the encoder's thread only): what went into the pipe less
  // what the child has not read yet.
  uint64_t Accepted() const override;
  // Kills the child (SIGKILL works on a stopped one too); Finish then reaps it
  // and counts what it had read.
  void Kill() override;
  pid_t Pid() const { return fPid; }
  bool Exited() const { return fExited.load(std::memory_order_acquire); }

private:
  TEncoderProcess() = default;
  void Watch();
  void ReadOutput();
  bool WaitExited(std::chrono::steady_clock::duration iTimeout);
  uint64_t BytesInPipe() const;

  pid_t fPid = -1;
  int fInput = -1;   // the child's stdin, our end (non-blocking)
  int fOutput = -1;  // the child's stdout, our end, when there is a callback
  TOutput fOnOutput;
  std::atomic<bool> fExited{false};
  std::atomic<bool> fFinishing{false};
  std::atomic<bool> fKilled{false};
  uint64_t fWritten = 0;                // into the pipe (the encoder's thread)
  bool fReaderGone = false;             // the pipe broke (the encoder's thread)
  std::atomic<bool> fCounted{false};    // fAccepted is final
  std::atomic<uint64_t> fAccepted{0};   // what the child read
  std::mutex fExitLock;
  std::condition_variable fExitSignal;
  std::thread fWatcher, fReader;
};

// Splits an encoder command text into the program and its arguments.
std::vector<std::string> SplitEncoderCommand(const std::string& iCommand);

}  // namespace vt::engine
