#pragma once
// An encoder on a channel's chain. The pulling thread converts each block to the
// encoder's sample format and queues it (Feed never waits: a full queue drops
// the block and counts it); the encoder's own thread hands the queue to its sink
// (a child process, a WAV file or a callback).
#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/engine/EngineEncoderOutput.h"
#include "audio/engine/EngineEncoderSink.h"
#include "audio/engine/EngineObject.h"
#include "audio/engine/EngineRing.h"
#include "audio/engine/EngineSampleFormat.h"

namespace vt::engine {

class TChannel;

class TEncoder : public TEngineObject, public std::enable_shared_from_this<TEncoder> {
public:
  // How often the encoder's thread takes what is queued, at the latest.
  static constexpr std::chrono::milliseconds kDrainInterval{250};
  // The most the encoder's thread hands its sink in one write.
  static constexpr size_t kWriteBytes = 1 << 16;

  // Starts an encoder on iChannel and puts it on the chain; 0 with the error set
  // on failure.
  static HENCODE Start(const std::shared_ptr<TChannel>& iChannel, const char* iCommand, DWORD iFlags,
                       ENCODEPROC* iProc, void* iUser);
  ~TEncoder() override;

  DWORD Handle() const { return fHandle; }
  DWORD ChannelHandle() const { return fChannelHandle; }
  // Real-time: one processed block of the channel (float, the channel's layout).
  void Feed(const float* iData, DWORD iFrames) noexcept;
  // Real-time: the channel's position before the block about to be fed; only
  // the first one is kept.
  void MarkPosition(QWORD iFrames) noexcept {
    if (fOutcome->firstFrame.load(std::memory_order_relaxed) < 0)
      fOutcome->firstFrame.store(static_cast<int64_t>(iFrames), std::memory_order_release);
  }

  DWORD IsActive() const;
  void SetNotify(ENCODENOTIFYPROC* iProc, void* iUser);
  QWORD Count(DWORD iWhich) const;
  pid_t ProcessId() const { return fPid; }
  // Casts and the listener server on the encoder's output (a command-line
  // encoder's standard output, or what goes to the callback).
  TEncoderOutputs& Outputs() { return fOutputs; }
  bool HasOutputStream() const { return fPid > 0 || fProc; }
  // An output's connection died: the encoder counts as dead (iStatus: BASS_ENCODE_NOTIFY_*).
  void OutputDied(DWORD iStatus) { Died(iStatus); }

  // Leaves the chain at once; the encoder's thread then sends what is queued and
  // finishes the sink (closes the child's input, completes the WAV header).
  void Free() override;
  // After Free: the sink is given up at once (a child is killed).
  void Kill();
  std::shared_ptr<const VT_ENCODE_OUTCOME> Outcome() const { return fOutcome; }

private:
  TEncoder(const std::shared_ptr<TChannel>& iChannel, DWORD iFlags, TSampleFormat iFormat, size_t iQueueBytes);
  void Run();
  void Died(DWORD iStatus = BASS_ENCODE_NOTIFY_ENCODER);

  std::weak_ptr<TChannel> fChannel;
  DWORD fHandle = 0;
  DWORD fChannelHandle = 0;
  const DWORD fFlags;
  const DWORD fChans;
  const TSampleFormat fFormat;
  TSpscRing fQueue;
  const size_t fWakeBytes;
  sem_t fWake;
  std::unique_ptr<TEncoderSink> fSink;
  std::vector<uint8_t> fHeader;  // sent to a command-line encoder first
  pid_t fPid = 0;
  const std::shared_ptr<VT_ENCODE_OUTCOME> fOutcome = std::make_shared<VT_ENCODE_OUTCOME>();
  void PublishOutcome(bool iFinished);

  std::atomic<bool> fDead{false};
  std::atomic<bool> fStopping{false};
  std::atomic<QWORD> fIn{0}, fOut{0}, fDropped{0};

  std::recursive_mutex fNotifyLock;  // no notification starts after Free returns
  ENCODENOTIFYPROC* fNotifyProc = nullptr;
  void* fNotifyUser = nullptr;
  bool fNotified = false;
  bool fFreed = false;
  ENCODEPROC* fProc = nullptr;
  void* fUser = nullptr;
  TEncoderOutputs fOutputs;
};

// Blocks until every stopped encoder has finished its sink, or the timeout
// passes; true when all finished.
bool WaitForFinishingEncoders(std::chrono::milliseconds iTimeout);

}  // namespace vt::engine
