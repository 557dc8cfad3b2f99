#include "audio/engine/EngineEncoder.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>

#include "audio/engine/EngineChannel.h"
#include "audio/engine/EngineConfig.h"
#include "audio/engine/EngineEncoderProcess.h"
#include "audio/engine/EngineWavWriter.h"

namespace vt::engine {
namespace {

// Encoder threads still running, so tests and shutdown can wait for files to
// be complete.
struct TEncoderThreads {
  std::mutex fLock;
  std::condition_variable fDone;
  int fRunning = 0;
};
TEncoderThreads& Threads() {
  static auto* sThreads = new TEncoderThreads();  // outlives every detached encoder thread
  return *sThreads;
}

class TCallbackSink : public TEncoderSink {
public:
  explicit TCallbackSink(std::function<void(const void*, size_t)> iOutput) : fOutput(std::move(iOutput)) {}
  bool Write(const void* iData, size_t iLength) override {
    fOutput(iData, iLength);
    fHanded += iLength;
    return true;
  }
  void Finish() override {}
  uint64_t Accepted() const override { return fHanded; }

private:
  std::function<void(const void*, size_t)> fOutput;
  uint64_t fHanded = 0;
};

TSampleFormat EncoderFormat(DWORD iFlags, TSampleFormat iChannelFormat) {
  switch (iFlags & BASS_ENCODE_FP_AUTO) {
    case BASS_ENCODE_FP_8BIT: return TSampleFormat::sfInt8;
    case BASS_ENCODE_FP_16BIT: return TSampleFormat::sfInt16;
    case BASS_ENCODE_FP_24BIT: return TSampleFormat::sfInt24;
    case BASS_ENCODE_FP_32BIT: return TSampleFormat::sfInt32;
    case BASS_ENCODE_FP_AUTO: return iChannelFormat == TSampleFormat::sfFloat32 ? TSampleFormat::sfInt16 : iChannelFormat;
    default: return iChannelFormat;
  }
}

void IgnoreSigpipe() {
  // A broken encoder pipe must come back as EPIPE, not end the recorder.
  static const bool sIgnored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)sIgnored;
}

}  // namespace

TEncoder::TEncoder(const std::shared_ptr<TChannel>& iChannel, DWORD iFlags, TSampleFormat iFormat, size_t iQueueBytes)
    : fChannel(iChannel), fChannelHandle(iChannel->Handle()), fFlags(iFlags), fChans(iChannel->Chans()),
      fFormat(iFormat), fQueue(iQueueBytes), fWakeBytes(iQueueBytes / 4) {
  sem_init(&fWake, 0, 0);
}

TEncoder::~TEncoder() {
  fSink.reset();
  sem_destroy(&fWake);
}

HENCODE TEncoder::Start(const std::shared_ptr<TChannel>& iChannel, const char* iCommand, DWORD iFlags,
                        ENCODEPROC* iProc, void* iUser) {
  IgnoreSigpipe();
  const TSampleFormat format = EncoderFormat(iFlags, iChannel->OutputFormat());
  const size_t frameBytes = iChannel->Chans() * BytesPerSample(format);
  const DWORD queueMs = EncodeQueueMs() ? EncodeQueueMs() : kDefaultEncodeQueueMs;
  const size_t queueBytes = std::max<size_t>(size_t(double(queueMs) / 1000.0 * iChannel->Freq()) * frameBytes,
                                             size_t(kBlockFrames) * 2 * frameBytes);
  std::shared_ptr<TEncoder> encoder(new TEncoder(iChannel, iFlags, format, queueBytes));
  encoder->fProc = iProc;
  encoder->fUser = iUser;

  TWavFormat wav{iChannel->Freq(), uint16_t(iChannel->Chans()), format};
  const std::string command = iCommand ? iCommand : "";
  std::weak_ptr<TEncoder> weak = encoder;
  auto output = [weak](const void* iData, size_t iLength) {
    if (auto self = weak.lock()) {
      self->fOut.fetch_add(iLength, std::memory_order_relaxed);
      if (self->fProc) self->fProc(self->fHandle, self->fChannelHandle, iData, DWORD(iLength), self->fUser);
      self->fOutputs.Deliver(iData, iLength);
    }
  };
  if (iFlags & BASS_ENCODE_PCM) {
    encoder->fSink = TWavFileSink::Create(command, wav);
    if (!encoder->fSink) return Fail(BASS_ERROR_CREATE), 0;
  } else if (!command.empty()) {
    // Its standard output is always read: a cast or the listener server may be
    // put on it later.
    auto process = TEncoderProcess::Spawn(SplitEncoderCommand(command), output);
    if (!process) return Fail(BASS_ERROR_FILEOPEN), 0;
    encoder->fPid = process->Pid();
    encoder->fSink = std::move(process);
  } else if (iProc) {
    encoder->fSink = std::make_unique<TCallbackSink>(output);
  } else {
    return Fail(BASS_ERROR_ILLPARAM), 0;
  }
  if (!(iFlags & (BASS_ENCODE_NOHEAD | BASS_ENCODE_PCM))) encoder->fHeader = MakeWavHeader(wav, ~0ull);
  encoder->fSink->fOnDeath = [weak] {
    if (auto self = weak.lock()) self->Died();
  };

  encoder->fHandle = RegisterObject(encoder);
  {
    std::lock_guard lock(Threads().fLock);
    ++Threads().fRunning;
  }
  std::thread([encoder] { encoder->Run(); }).detach();
  iChannel->AddEncoder(encoder, EncodePriority());
  SetError(BASS_OK);
  return encoder->fHandle;
}

void TEncoder::Feed(const float* iData, DWORD iFrames) noexcept {
  if (fDead.load(std::memory_order_relaxed)) return;
  const size_t sampleBytes = BytesPerSample(fFormat);
  const size_t bytes = size_t(iFrames) * fChans * sampleBytes;
  // Converted straight into the queue. It holds whole frames only, so where it
  // wraps no sample is split.
  const bool queued = fQueue.WriteInPlace(bytes, [&](std::byte* iPart, size_t iOffset, size_t iLength) {
    FromFloat(fFormat, iData + iOffset / sampleBytes, iPart, iLength / sampleBytes);
  });
  if (!queued) {
    fDropped.fetch_add(bytes, std::memory_order_relaxed);
    return;
  }
  fIn.fetch_add(bytes, std::memory_order_relaxed);
  // The encoder's thread drains the queue on its own every kDrainInterval; it
  // is woken early only when the queue fills faster than that, which saves a
  // thread switch per block.
  if (fQueue.Available() >= fWakeBytes) sem_post(&fWake);
}

void TEncoder::Run() {
  fSink->Begin();
  // Whole frames a piece (the queue wraps at a frame boundary too), so a write
  // that fails part-way knows which frames reached the sink.
  const size_t frameBytes = fChans * BytesPerSample(fFormat);
  const size_t pieceBytes = std::max<size_t>(1, kWriteBytes / frameBytes) * frameBytes;
  if (!fHeader.empty() && !fSink->Write(fHeader.data(), fHeader.size())) Died();
  for (;;) {
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += std::chrono::nanoseconds(kDrainInterval).count();
    if (until.tv_nsec >= 1'000'000'000) {
      until.tv_nsec -= 1'000'000'000;
      ++until.tv_sec;
    }
    sem_timedwait(&fWake, &until);
    const bool stopping = fStopping.load(std::memory_order_acquire);
    // Written from where the bytes lie in the queue, a bounded piece at a time,
    // so that the feeding side gets the room back while a slow sink writes.
    auto write = [this](const std::byte* iPart, size_t, size_t iLength) {
      if (!fDead.load(std::memory_order_relaxed) && !fSink->Write(iPart, iLength)) Died();
    };
    while (fQueue.ReadInPlace(pieceBytes, write)) {
    }
    fSink->Tick();
    const bool dead = fDead.load(std::memory_order_acquire);  // before the count, which then includes the death
    PublishOutcome(false);
    if (dead) fOutcome->died.store(true, std::memory_order_release);
    if (stopping) break;
  }
  fSink->Finish();
  PublishOutcome(true);
  std::lock_guard lock(Threads().fLock);
  if (--Threads().fRunning == 0) Threads().fDone.notify_all();
}

void TEncoder::PublishOutcome(bool iFinished) {
  // The header sent to a command-line encoder is no audio.
  const uint64_t accepted = fSink->Accepted();
  const uint64_t header = fHeader.size();
  fOutcome->accepted.store(accepted > header ? accepted - header : 0, std::memory_order_release);
  if (iFinished) fOutcome->finished.store(true, std::memory_order_release);
}

void TEncoder::Died(DWORD iStatus) {
  fDead.store(true, std::memory_order_release);
  sem_post(&fWake);  // the encoder's thread counts what the sink took by now
  std::lock_guard lock(fNotifyLock);
  if (fFreed || fNotified) return;
  fNotified = true;
  if (fNotifyProc) fNotifyProc(fHandle, iStatus, fNotifyUser);
}

DWORD TEncoder::IsActive() const {
  return fDead.load(std::memory_order_acquire) ? BASS_ACTIVE_STOPPED : BASS_ACTIVE_PLAYING;
}

void TEncoder::SetNotify(ENCODENOTIFYPROC* iProc, void* iUser) {
  std::lock_guard lock(fNotifyLock);
  fNotifyProc = iProc;
  fNotifyUser = iUser;
  // Died before anyone listened: tell the new listener now.
  if (iProc && fDead.load(std::memory_order_acquire) && !fNotified && !fFreed) {
    fNotified = true;
    iProc(fHandle, BASS_ENCODE_NOTIFY_ENCODER, iUser);
  }
}

QWORD TEncoder::Count(DWORD iWhich) const {
  switch (iWhich) {
    case BASS_ENCODE_COUNT_IN: return fIn.load(std::memory_order_relaxed);
    case BASS_ENCODE_COUNT_OUT: return fOut.load(std::memory_order_relaxed);
    case BASS_ENCODE_COUNT_QUEUE: return fQueue.Available();
    case BASS_ENCODE_COUNT_QUEUE_LIMIT: return fQueue.Capacity();
    case BASS_ENCODE_COUNT_QUEUE_FAIL: return fDropped.load(std::memory_order_relaxed);
    default: return QWORD(-1);
  }
}

void TEncoder::Free() {
  {
    std::lock_guard lock(fNotifyLock);
    fFreed = true;
  }
  if (auto channel = fChannel.lock()) channel->RemoveFromChain(fHandle);
  fOutputs.Close();  // casts end now, not after the encoder has drained
  fSink->GiveUpAt(std::chrono::steady_clock::now() + TEncoderProcess::kFinishTimeout);
  fStopping.store(true, std::memory_order_release);
  sem_post(&fWake);
}

void TEncoder::Kill() {
  fSink->GiveUpAt(std::chrono::steady_clock::now());
  fSink->Kill();
}

bool WaitForFinishingEncoders(std::chrono::milliseconds iTimeout) {
  std::unique_lock lock(Threads().fLock);
  return Threads().fDone.wait_for(lock, iTimeout, [] { return Threads().fRunning == 0; });
}

}  // namespace vt::engine

using namespace vt::engine;

DWORD BASS_Encode_GetVersion() { return 0x02041000; }

HENCODE BASS_Encode_Start(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc, void* user) {
  auto channel = LookupChannel(handle);
  if (!channel) return 0;
  return TEncoder::Start(channel, cmdline, flags & ~BASS_UNICODE, proc, user);
}

HENCODE BASS_Encode_StartW(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc, void* user) {
  return BASS_Encode_Start(handle, cmdline, flags, proc, user);
}

BOOL BASS_Encode_Stop(DWORD handle) {
  if (Lookup<TEncoder>(handle)) return UnregisterObject(handle);
  // A channel: stop every encoder on it.
  auto channel = LookupChannel(handle);
  if (!channel) return FALSE;
  for (const auto& encoder : channel->Encoders()) UnregisterObject(encoder->Handle());
  SetError(BASS_OK);
  return TRUE;
}

std::shared_ptr<const VT_ENCODE_OUTCOME> VT_Encode_GetOutcome(HENCODE handle) {
  auto encoder = Lookup<TEncoder>(handle);
  if (!encoder) return Fail(BASS_ERROR_HANDLE), nullptr;
  SetError(BASS_OK);
  return encoder->Outcome();
}

BOOL VT_Encode_Abort(HENCODE handle) {
  auto encoder = Lookup<TEncoder>(handle);
  if (!encoder) return Fail(BASS_ERROR_HANDLE);
  UnregisterObject(handle);  // off the chain first, so nothing new is queued
  encoder->Kill();
  SetError(BASS_OK);
  return TRUE;
}

DWORD BASS_Encode_IsActive(DWORD handle) {
  if (auto encoder = Lookup<TEncoder>(handle)) {
    SetError(BASS_OK);
    return encoder->IsActive();
  }
  auto channel = LookupChannel(handle);
  if (!channel) return BASS_ACTIVE_STOPPED;
  SetError(BASS_OK);
  for (const auto& encoder : channel->Encoders())
    if (encoder->IsActive() == BASS_ACTIVE_PLAYING) return BASS_ACTIVE_PLAYING;
  return BASS_ACTIVE_STOPPED;
}

BOOL BASS_Encode_SetNotify(DWORD handle, ENCODENOTIFYPROC* proc, void* user) {
  auto encoder = Lookup<TEncoder>(handle);
  if (!encoder) return Fail(BASS_ERROR_HANDLE);
  encoder->SetNotify(proc, user);
  SetError(BASS_OK);
  return TRUE;
}

QWORD BASS_Encode_GetCount(DWORD handle, DWORD count) {
  auto encoder = Lookup<TEncoder>(handle);
  if (!encoder) return Fail(BASS_ERROR_HANDLE), QWORD(-1);
  const QWORD value = encoder->Count(count);
  if (value == QWORD(-1)) return Fail(BASS_ERROR_ILLPARAM), value;
  SetError(BASS_OK);
  return value;
}

DWORD BASS_Encode_GetChannel(HENCODE handle) {
  auto encoder = Lookup<TEncoder>(handle);
  if (!encoder) return Fail(BASS_ERROR_HANDLE), 0;
  SetError(BASS_OK);
  return encoder->ChannelHandle();
}
