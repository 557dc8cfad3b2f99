#pragma once
// The samples of a clip plan, piece after piece: each piece gives exactly its
// planned number of frames (a file that ends early, a file still being
// written, is filled up with silence), so a WAV header written first is true.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "web/ClipPlan.h"

class TClipDecoder;

class TClipAssembler {
public:
  explicit TClipAssembler(TClipPlan iPlan);
  ~TClipAssembler();

  const TClipPlan& Plan() const { return fPlan; }
  // Up to iFrames interleaved 16-bit frames; 0 once the clip is complete.
  size_t Read(int16_t* oSamples, size_t iFrames);

  // The 44-byte header of a 16-bit PCM WAV file holding iFrames frames.
  static std::string WavHeader(int iRate, int iChannels, int64_t iFrames);

private:
  TClipPlan fPlan;
  size_t fPiece = 0;
  int64_t fPieceDone = 0;
  std::unique_ptr<TClipDecoder> fDecoder;
  bool fDecoderEnded = false;
};
