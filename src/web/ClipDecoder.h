#pragma once
// One recording decoded with FFmpeg's libraries into interleaved 16-bit
// samples at a given rate and channel count, from a given frame on.
#include <cstdint>
#include <memory>
#include <string>

struct TAudioFileInfo {
  int fRate = 0;
  int fChannels = 0;
};

// false when the file cannot be opened or holds no audio stream.
bool ProbeAudioFile(const std::string& iPath, TAudioFileInfo& oInfo);

class TClipDecoder {
public:
  // Starts at iFirstFrame (frames of the file's own rate). Throws
  // std::runtime_error when the file cannot be opened or decoded.
  TClipDecoder(const std::string& iPath, int64_t iFirstFrame, int iRate, int iChannels);
  ~TClipDecoder();
  TClipDecoder(const TClipDecoder&) = delete;
  TClipDecoder& operator=(const TClipDecoder&) = delete;

  // Up to iFrames frames; 0 at the end of the file (or on a decoding error
  // in its middle: a damaged or still growing file ends there).
  size_t Read(int16_t* oSamples, size_t iFrames);

private:
  struct TState;
  std::unique_ptr<TState> fState;
};
