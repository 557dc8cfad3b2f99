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
  // Adds up to iFrames converted frames to ioMix; returns the frames delivered.
  DWORD MixInto(float* ioMix, DWORD iFrames);

private:
  DWORD Pull(DWORD iFrames);  // source frames into fMapped, mapped to the mixer's channels
  void AddMapped(const float* iMapped, float* ioMix, DWORD iFrames) const;

  std::shared_ptr<TChannel> fSource;
  const DWORD fFreq, fChans;
  soxr_t fSoxr = nullptr;
  std::unique_ptr<float[]> fRaw;      // source format
  std::unique_ptr<float[]> fMapped;   // mixer channels, source rate
  std::unique_ptr<float[]> fResampled;
  DWORD fPendingOffset = 0, fPendingFrames = 0;  // fMapped not yet taken by the resampler
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
