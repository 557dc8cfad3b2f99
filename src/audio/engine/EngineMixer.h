#pragma once
// The mixer: sums its sources, each converted to the mixer's rate (libsoxr) and
// channel count (mono to every channel, more channels: the first ones). The
// source list is published to the pulling thread as an immutable list.
#include <memory>
#include <mutex>
#include <vector>

#include "audio/engine/EngineChannel.h"

typedef struct soxr* soxr_t;

namespace vt::engine {

// One source of a mixer with its conversion state; only the pulling thread
// touches the state.
class TMixerInput {
public:
  TMixerInput(std::shared_ptr<TChannel> iSource, DWORD iMixerFreq, DWORD iMixerChans);
  ~TMixerInput();
  TMixerInput(const TMixerInput&) = delete;
  TMixerInput& operator=(const TMixerInput&) = delete;
  bool Valid() const { return fSource && (fSoxr || fSource->Freq() == fFreq); }
  const std::shared_ptr<TChannel>& Source() const { return fSource; }
  // Up to iFrames converted frames into ioMix: added to what is there, or, for
  // the first source of a pull (iFirst), written over it. Returns the frames
  // delivered; with iFirst the rest of ioMix is left as it was.
  DWORD MixInto(float* ioMix, DWORD iFrames, bool iFirst);

private:
  DWORD MixDirect(float* ioMix, DWORD iFrames, bool iFirst);
  DWORD MixResampled(float* ioMix, DWORD iFrames, bool iFirst);
  // Source frames, mapped to the mixer's channels: interleaved into oTarget, or
  // (resampler input) one plane per channel into fPlanes.
  DWORD PullInterleaved(float* oTarget, DWORD iFrames);
  DWORD PullPlanes(DWORD iFrames);

  std::shared_ptr<TChannel> fSource;
  const DWORD fFreq, fChans;
  soxr_t fSoxr = nullptr;
  std::unique_ptr<float[]> fRaw;      // source layout, one block
  std::unique_ptr<float[]> fPlanes;   // mixer channels, source rate, kBlockFrames per plane
  std::unique_ptr<float[]> fResampled;  // mixer channels, mixer rate, kBlockFrames per plane
  DWORD fPendingOffset = 0, fPendingFrames = 0;  // fPlanes not yet taken by the resampler
};

using TMixerInputList = std::vector<std::shared_ptr<TMixerInput>>;

class TMixer : public TChannel {
public:
  TMixer(DWORD iFreq, DWORD iChans, DWORD iFlags);
  bool AddSource(const std::shared_ptr<TChannel>& iSource);  // sets the error on failure
  bool RemoveSource(const TChannel* iSource);
  DWORD ReadSource(float* oBuffer, DWORD iFrames) override;

protected:
  void FreeSource() override;

private:
  std::mutex fSourcesLock;  // writers of fSources
  TPublished<TMixerInputList> fSources;
};

}  // namespace vt::engine
