#pragma once
// The base of every channel (push streams, mixers, URL streams): its format, its
// processing chain (effects, DSP callbacks and encoders in priority order) and
// its position. Audio moves through channels as interleaved float samples in
// blocks of at most kBlockFrames frames.
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/engine/Engine.h"
#include "audio/engine/EngineObject.h"
#include "audio/engine/EnginePublished.h"
#include "audio/engine/EngineSampleFormat.h"

namespace vt::engine {

constexpr DWORD kBlockFrames = 4096;
constexpr DWORD kMaxChannels = 32;

class TEffect;
class TEncoder;
class TMixer;

struct TChainEntry {
  enum TKind { ckDsp, ckEffect, ckEncoder };
  TKind fKind = ckDsp;
  int fPriority = 0;
  DWORD fHandle = 0;  // HDSP, HFX or HENCODE
  DSPPROC* fProc = nullptr;
  void* fUser = nullptr;
  std::shared_ptr<TEffect> fEffect;
  std::shared_ptr<TEncoder> fEncoder;
};
using TChainList = std::vector<TChainEntry>;  // in processing order

class TChannel : public TEngineObject, public std::enable_shared_from_this<TChannel> {
public:
  TChannel(DWORD iFreq, DWORD iChans, DWORD iFlags, DWORD iCType);
  ~TChannel() override;

  DWORD Handle() const { return fHandle.load(std::memory_order_acquire); }
  void SetHandle(DWORD iHandle) { fHandle.store(iHandle, std::memory_order_release); }
  DWORD Freq() const { return fFreq; }
  DWORD Chans() const { return fChans; }
  DWORD Flags() const { return fFlags; }
  DWORD CType() const { return fCType; }
  bool IsDecode() const { return (fFlags & BASS_STREAM_DECODE) != 0; }
  // The format of BASS_ChannelGetData and of the byte positions.
  TSampleFormat OutputFormat() const;
  DWORD FrameBytes() const { return fChans * static_cast<DWORD>(BytesPerSample(OutputFormat())); }

  // ---- pull side: one puller at a time (the lock is only contended by misuse)
  // Up to iFrames (<= kBlockFrames) frames from the source, run through the chain.
  DWORD Produce(float* oBuffer, DWORD iFrames);
  // Produce under the pull lock, for a mixer reading its source.
  DWORD PullBlock(float* oBuffer, DWORD iFrames);
  // BASS_ChannelGetData: whole frames, converted to the output format (or float).
  DWORD GetData(void* oBuffer, DWORD iBytes, bool iAsFloat);
  QWORD PositionFrames() const { return fPositionFrames.load(std::memory_order_acquire); }

  // What the source delivers; fewer frames than asked for when it has no more now.
  virtual DWORD ReadSource(float* oBuffer, DWORD iFrames) = 0;
  virtual bool SourceEnded() const { return false; }
  // Bytes that a read could deliver right away (BASS_DATA_AVAILABLE).
  virtual DWORD AvailableBytes() const { return 0; }

  // ---- control side
  HDSP AddDsp(DSPPROC* iProc, void* iUser, int iPriority);
  HFX AddEffect(DWORD iType, int iPriority);
  bool AddEncoder(const std::shared_ptr<TEncoder>& iEncoder, int iPriority);
  bool RemoveFromChain(DWORD iHandle);  // false when the handle is not on this chain
  std::vector<std::shared_ptr<TEncoder>> Encoders() const;

  // The mixer this channel feeds, if any (set by the mixer).
  std::shared_ptr<TMixer> Mixer() const;
  void SetMixer(const std::shared_ptr<TMixer>& iMixer);

  // Playing (non-decoding) channels belong to an output device.
  DWORD Device() const { return fDevice; }
  void SetDevice(DWORD iDevice) { fDevice = iDevice; }
  std::atomic<float> fVolume{1.0f};
  std::atomic<bool> fPlaying{false};

  void Free() override;

protected:
  // Called by Free after the chain's encoders stopped; subclasses detach here.
  virtual void FreeSource() {}

private:
  void RunChain(float* ioBuffer, DWORD iFrames);
  void PublishChainWith(TChainEntry iEntry);

  std::atomic<DWORD> fHandle{0};
  const DWORD fFreq, fChans, fFlags, fCType;
  DWORD fDevice = 0;

  std::mutex fPullLock;
  std::unique_ptr<float[]> fScratch;   // one block, for GetData
  std::unique_ptr<int16_t[]> fScratch16;  // integer view for DSPs without FLOATDSP
  std::atomic<QWORD> fPositionFrames{0};

  mutable std::mutex fEditLock;  // chain and mixer membership edits
  TPublished<TChainList> fChain;
  uint64_t fChainOrder = 0;
  std::weak_ptr<TMixer> fMixer;
};

// The channel behind a handle, or nullptr with BASS_ERROR_HANDLE set.
std::shared_ptr<TChannel> LookupChannel(DWORD iHandle);

}  // namespace vt::engine
