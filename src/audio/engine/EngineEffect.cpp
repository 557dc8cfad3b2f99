#include "audio/engine/EngineEffect.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <vector>

#include "audio/engine/EngineChannel.h"
#include "audio/engine/EnginePublished.h"

namespace vt::engine {

void TEffect::Attach(const std::shared_ptr<TChannel>& iChannel, DWORD iHandle) {
  fChannel = iChannel;
  fHandle = iHandle;
}

void TEffect::Free() {
  if (auto channel = fChannel.lock()) channel->RemoveFromChain(fHandle);
}

namespace {

bool ChannelSelected(int iFlags, DWORD iChannel) { return iFlags == BASS_BFX_CHANALL || (iFlags >> iChannel) & 1; }

// Channel map: output channel n is the sum of the input channels named in
// lChannel[n]. Identity until parameters are set.
class TMixEffect : public TEffect {
public:
  TMixEffect(DWORD iFreq, DWORD iChans) : TEffect(iFreq, iChans) {
    for (DWORD c = 0; c < kMaxChannels; ++c) fMap[c].store(c < iChans ? int(1u << c) : 0);
  }

  void Process(float* ioBuffer, DWORD iFrames) noexcept override {
    int map[kMaxChannels];
    bool identity = true;
    for (DWORD c = 0; c < fChans; ++c) {
      map[c] = fMap[c].load(std::memory_order_relaxed);
      identity = identity && map[c] == int(1u << c);
    }
    if (identity) return;
    float frame[kMaxChannels];
    for (DWORD f = 0; f < iFrames; ++f) {
      float* p = ioBuffer + size_t(f) * fChans;
      std::copy(p, p + fChans, frame);
      for (DWORD c = 0; c < fChans; ++c) {
        float sum = 0.0f;
        for (DWORD i = 0; i < fChans; ++i)
          if (ChannelSelected(map[c], i)) sum += frame[i];
        p[c] = sum;
      }
    }
  }

  bool SetParameters(const void* iParams) override {
    const auto* params = static_cast<const BASS_BFX_MIX*>(iParams);
    if (!params || !params->lChannel) return Fail(BASS_ERROR_ILLPARAM);
    for (DWORD c = 0; c < fChans; ++c) fMap[c].store(params->lChannel[c], std::memory_order_relaxed);
    return true;
  }

  bool GetParameters(void* oParams) const override {
    // The caller's array receives the map; it must hold one entry per channel.
    auto* params = static_cast<BASS_BFX_MIX*>(oParams);
    if (!params || !params->lChannel) return Fail(BASS_ERROR_ILLPARAM);
    int* out = const_cast<int*>(params->lChannel);
    for (DWORD c = 0; c < fChans; ++c) out[c] = fMap[c].load(std::memory_order_relaxed);
    return true;
  }

private:
  std::atomic<int> fMap[kMaxChannels];
};

// Echo without feedback: out = dry * in + wet * in delayed. With dry 0 and wet 1
// it is a pure delay line, whose first delay seconds are silent.
class TEchoEffect : public TEffect {
public:
  static constexpr double kMaxDelaySeconds = 600.0;

  TEchoEffect(DWORD iFreq, DWORD iChans) : TEffect(iFreq, iChans), fLine(std::make_shared<TLine>(0, iChans)) {
    fParams = {0.5f, 0.5f, 0.0f, BASS_BFX_CHANALL};
  }

  void Process(float* ioBuffer, DWORD iFrames) noexcept override {
    const float dry = fDry.load(std::memory_order_relaxed), wet = fWet.load(std::memory_order_relaxed);
    const int channels = fChannels.load(std::memory_order_relaxed);
    auto line = fLine.Read();
    const size_t length = line->fFrames;
    float* buffer = line->fSamples.get();
    size_t pos = line->fPos;
    for (DWORD f = 0; f < iFrames; ++f) {
      float* p = ioBuffer + size_t(f) * fChans;
      float* slot = buffer + pos * fChans;
      for (DWORD c = 0; c < fChans; ++c) {
        if (!ChannelSelected(channels, c)) continue;
        const float in = p[c];
        const float delayed = length ? slot[c] : in;
        if (length) slot[c] = in;
        p[c] = dry * in + wet * delayed;
      }
      if (length && ++pos == length) pos = 0;
    }
    line->fPos = pos;
  }

  bool SetParameters(const void* iParams) override {
    const auto* params = static_cast<const BASS_BFX_ECHO3*>(iParams);
    if (!params || !(params->fDelay >= 0.0f) || params->fDelay > kMaxDelaySeconds) return Fail(BASS_ERROR_ILLPARAM);
    std::lock_guard lock(fLock);
    const size_t frames = size_t(std::lround(double(params->fDelay) * fFreq));
    // A new delay starts a new, silent line; dry and wet alone change in place.
    if (frames != fLine.Current()->fFrames) fLine.Publish(std::make_shared<TLine>(frames, fChans));
    fDry.store(params->fDryMix, std::memory_order_relaxed);
    fWet.store(params->fWetMix, std::memory_order_relaxed);
    fChannels.store(params->lChannel, std::memory_order_relaxed);
    fParams = *params;
    return true;
  }

  bool GetParameters(void* oParams) const override {
    if (!oParams) return Fail(BASS_ERROR_ILLPARAM);
    std::lock_guard lock(fLock);
    *static_cast<BASS_BFX_ECHO3*>(oParams) = fParams;
    return true;
  }

private:
  struct TLine {
    TLine(size_t iFrames, DWORD iChans)
        : fFrames(iFrames), fSamples(new float[std::max<size_t>(iFrames, 1) * iChans]()) {}
    const size_t fFrames;
    std::unique_ptr<float[]> fSamples;  // written by the pulling thread only
    mutable size_t fPos = 0;
  };

  mutable std::mutex fLock;
  BASS_BFX_ECHO3 fParams;
  std::atomic<float> fDry{0.5f}, fWet{0.5f};
  std::atomic<int> fChannels{BASS_BFX_CHANALL};
  TPublished<TLine> fLine;
};

}  // namespace

std::shared_ptr<TEffect> CreateEffect(DWORD iType, DWORD iFreq, DWORD iChans) {
  switch (iType) {
    case BASS_FX_BFX_MIX: return std::make_shared<TMixEffect>(iFreq, iChans);
    case BASS_FX_BFX_ECHO3: return std::make_shared<TEchoEffect>(iFreq, iChans);
    default: SetError(BASS_ERROR_ILLTYPE); return nullptr;
  }
}

}  // namespace vt::engine

using namespace vt::engine;

DWORD BASS_FX_GetVersion() { return 0x02040C00; }

HFX BASS_ChannelSetFX(DWORD handle, DWORD type, int priority) {
  auto channel = LookupChannel(handle);
  if (!channel) return 0;
  const HFX fx = channel->AddEffect(type, priority);
  if (fx) SetError(BASS_OK);
  return fx;
}

BOOL BASS_ChannelRemoveFX(DWORD handle, HFX fx) {
  auto channel = LookupChannel(handle);
  if (!channel) return FALSE;
  if (!Lookup<TEffect>(fx) || !channel->RemoveFromChain(fx)) return Fail(BASS_ERROR_HANDLE);
  return UnregisterObject(fx);
}

BOOL BASS_FXSetParameters(HFX handle, const void* params) {
  auto effect = Lookup<TEffect>(handle);
  if (!effect) return Fail(BASS_ERROR_HANDLE);
  if (!effect->SetParameters(params)) return FALSE;
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_FXGetParameters(HFX handle, void* params) {
  auto effect = Lookup<TEffect>(handle);
  if (!effect) return Fail(BASS_ERROR_HANDLE);
  if (!effect->GetParameters(params)) return FALSE;
  SetError(BASS_OK);
  return TRUE;
}
