#include "audio/engine/EngineChannel.h"

#include <algorithm>
#include <cstring>

#include "audio/engine/EngineConfig.h"
#include "audio/engine/EngineDevice.h"
#include "audio/engine/EngineEffect.h"
#include "audio/engine/EngineEncoder.h"
#include "audio/engine/EngineMixer.h"
#include "audio/engine/EngineRealtime.h"

namespace vt::engine {
namespace {

// The handle of a DSP callback; freeing it takes the callback off its chain.
class TDspHandle : public TEngineObject {
public:
  explicit TDspHandle(std::weak_ptr<TChannel> iChannel) : fChannel(std::move(iChannel)) {}
  void Free() override {
    if (auto channel = fChannel.lock()) channel->RemoveFromChain(fHandle);
  }
  DWORD fHandle = 0;

private:
  std::weak_ptr<TChannel> fChannel;
};

}  // namespace

TChannel::TChannel(DWORD iFreq, DWORD iChans, DWORD iFlags, DWORD iCType)
    : fFreq(iFreq), fChans(iChans), fFlags(iFlags), fCType(iCType),
      fScratch(new float[size_t(kBlockFrames) * iChans]),
      fScratch16(new int16_t[size_t(kBlockFrames) * iChans]) {}

TChannel::~TChannel() = default;

TSampleFormat TChannel::OutputFormat() const {
  if (fFlags & BASS_SAMPLE_FLOAT) return TSampleFormat::sfFloat32;
  if (fFlags & BASS_SAMPLE_8BITS) return TSampleFormat::sfInt8;
  return TSampleFormat::sfInt16;
}

DWORD TChannel::Produce(float* oBuffer, DWORD iFrames) {
  TRealtimeScope realtime;
  iFrames = std::min(iFrames, kBlockFrames);
  const DWORD frames = ReadSource(oBuffer, iFrames);
  if (frames > 0) RunChain(oBuffer, frames);
  fPositionFrames.fetch_add(frames, std::memory_order_acq_rel);
  return frames;
}

DWORD TChannel::PullBlock(float* oBuffer, DWORD iFrames) {
  std::lock_guard pull(fPullLock);
  return Produce(oBuffer, iFrames);
}

DWORD TChannel::GetData(void* oBuffer, DWORD iBytes, bool iAsFloat) {
  const TSampleFormat format = iAsFloat ? TSampleFormat::sfFloat32 : OutputFormat();
  const DWORD frameBytes = fChans * static_cast<DWORD>(BytesPerSample(format));
  DWORD frames = iBytes / frameBytes;
  std::lock_guard pull(fPullLock);
  auto* out = static_cast<std::byte*>(oBuffer);
  DWORD done = 0;
  while (done < frames) {
    const DWORD want = std::min(frames - done, kBlockFrames);
    float* block = format == TSampleFormat::sfFloat32 ? reinterpret_cast<float*>(out + size_t(done) * frameBytes)
                                                      : fScratch.get();
    const DWORD got = Produce(block, want);
    if (format != TSampleFormat::sfFloat32)
      FromFloat(format, block, out + size_t(done) * frameBytes, size_t(got) * fChans);
    done += got;
    if (got < want) break;
  }
  return done * frameBytes;
}

void TChannel::RunChain(float* ioBuffer, DWORD iFrames) {
  auto chain = fChain.Read();
  if (chain->empty()) return;
  const DWORD handle = Handle();
  const size_t samples = size_t(iFrames) * fChans;
  // DSP callbacks get floats with FLOATDSP or on a float channel, else the
  // channel's 16-bit samples (converted around each call).
  const bool floatDsp = FloatDsp() || OutputFormat() == TSampleFormat::sfFloat32;
  for (const auto& entry : *chain) {
    switch (entry.fKind) {
      case TChainEntry::ckDsp:
        if (floatDsp) {
          entry.fProc(entry.fHandle, handle, ioBuffer, static_cast<DWORD>(samples * sizeof(float)), entry.fUser);
        } else {
          FromFloat(TSampleFormat::sfInt16, ioBuffer, fScratch16.get(), samples);
          entry.fProc(entry.fHandle, handle, fScratch16.get(), static_cast<DWORD>(samples * 2), entry.fUser);
          ToFloat(TSampleFormat::sfInt16, fScratch16.get(), ioBuffer, samples);
        }
        break;
      case TChainEntry::ckEffect:
        entry.fEffect->Process(ioBuffer, iFrames);
        break;
      case TChainEntry::ckEncoder:
        entry.fEncoder->MarkPosition(fPositionFrames.load(std::memory_order_relaxed));
        entry.fEncoder->Feed(ioBuffer, iFrames);
        break;
    }
  }
}

void TChannel::PublishChainWith(TChainEntry iEntry) {
  // under fEditLock
  auto next = std::make_shared<TChainList>(*fChain.Current());
  // After every entry of the same or a higher priority: equal priorities run in
  // the order they were set.
  auto at = std::find_if(next->begin(), next->end(),
                         [&](const TChainEntry& e) { return e.fPriority < iEntry.fPriority; });
  next->insert(at, std::move(iEntry));
  fChain.Publish(std::move(next));
}

HDSP TChannel::AddDsp(DSPPROC* iProc, void* iUser, int iPriority) {
  auto handleObject = std::make_shared<TDspHandle>(weak_from_this());
  const DWORD handle = RegisterObject(handleObject);
  handleObject->fHandle = handle;
  TChainEntry entry;
  entry.fKind = TChainEntry::ckDsp;
  entry.fPriority = iPriority;
  entry.fHandle = handle;
  entry.fProc = iProc;
  entry.fUser = iUser;
  std::lock_guard edit(fEditLock);
  PublishChainWith(std::move(entry));
  return handle;
}

HFX TChannel::AddEffect(DWORD iType, int iPriority) {
  auto effect = CreateEffect(iType, fFreq, fChans);
  if (!effect) return 0;
  const DWORD handle = RegisterObject(effect);
  effect->Attach(shared_from_this(), handle);
  TChainEntry entry;
  entry.fKind = TChainEntry::ckEffect;
  entry.fPriority = iPriority;
  entry.fHandle = handle;
  entry.fEffect = std::move(effect);
  std::lock_guard edit(fEditLock);
  PublishChainWith(std::move(entry));
  return handle;
}

bool TChannel::AddEncoder(const std::shared_ptr<TEncoder>& iEncoder, int iPriority) {
  TChainEntry entry;
  entry.fKind = TChainEntry::ckEncoder;
  entry.fPriority = iPriority;
  entry.fHandle = iEncoder->Handle();
  entry.fEncoder = iEncoder;
  std::lock_guard edit(fEditLock);
  PublishChainWith(std::move(entry));
  return true;
}

bool TChannel::RemoveFromChain(DWORD iHandle) {
  std::lock_guard edit(fEditLock);
  auto current = fChain.Current();
  auto next = std::make_shared<TChainList>(*current);
  const auto removed = std::erase_if(*next, [&](const TChainEntry& e) { return e.fHandle == iHandle; });
  if (removed == 0) return false;
  fChain.Publish(std::move(next));
  return true;
}

std::vector<std::shared_ptr<TEncoder>> TChannel::Encoders() const {
  std::lock_guard edit(fEditLock);
  std::vector<std::shared_ptr<TEncoder>> encoders;
  for (const auto& entry : *fChain.Current())
    if (entry.fKind == TChainEntry::ckEncoder) encoders.push_back(entry.fEncoder);
  return encoders;
}

std::shared_ptr<TMixer> TChannel::Mixer() const {
  std::lock_guard edit(fEditLock);
  return fMixer.lock();
}

void TChannel::SetMixer(const std::shared_ptr<TMixer>& iMixer) {
  std::lock_guard edit(fEditLock);
  fMixer = iMixer;
}

void TChannel::Free() {
  // Encoders first: they drain what they have queued and finish their files.
  std::vector<DWORD> handles;
  {
    std::lock_guard edit(fEditLock);
    for (const auto& entry : *fChain.Current()) handles.push_back(entry.fHandle);
  }
  for (DWORD handle : handles) UnregisterObject(handle);
  if (auto mixer = Mixer()) mixer->RemoveSource(this);
  StopPlaying(*this);
  FreeSource();
  SetError(BASS_OK);
}

std::shared_ptr<TChannel> LookupChannel(DWORD iHandle) {
  auto channel = Lookup<TChannel>(iHandle);
  if (!channel) SetError(BASS_ERROR_HANDLE);
  return channel;
}

}  // namespace vt::engine
