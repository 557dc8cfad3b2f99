#pragma once
// Effects on a channel's chain (BASS_ChannelSetFX). An effect is prepared for its
// channel's rate and channel count when it is created; Process runs on the
// pulling thread and never allocates; parameters may change at any time from
// another thread and take effect at the next block.
#include <memory>

#include "audio/engine/Engine.h"
#include "audio/engine/EngineObject.h"

namespace vt::engine {

class TChannel;

class TEffect : public TEngineObject {
public:
  TEffect(DWORD iFreq, DWORD iChans) : fFreq(iFreq), fChans(iChans) {}
  virtual void Process(float* ioBuffer, DWORD iFrames) noexcept = 0;
  virtual bool SetParameters(const void* iParams) = 0;  // sets the error on failure
  virtual bool GetParameters(void* oParams) const = 0;

  void Attach(const std::shared_ptr<TChannel>& iChannel, DWORD iHandle);
  void Free() override;  // leaves the channel's chain

protected:
  const DWORD fFreq, fChans;

private:
  std::weak_ptr<TChannel> fChannel;
  DWORD fHandle = 0;
};

// nullptr (BASS_ERROR_ILLTYPE set) for an effect type the engine does not have.
std::shared_ptr<TEffect> CreateEffect(DWORD iType, DWORD iFreq, DWORD iChans);

}  // namespace vt::engine
