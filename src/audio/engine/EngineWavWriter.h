#pragma once
// WAV headers, and the in-process WAV file writer of BASS_ENCODE_PCM. The file's
// header sizes are rewritten after every batch of samples the encoder's thread
// writes (a few times a second, off the audio thread) and at the end, so the
// file of a killed process is playable to within a fraction of a second of
// its end, by readers that trust the header too.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/engine/EngineEncoderSink.h"
#include "audio/engine/EngineSampleFormat.h"

namespace vt::engine {

struct TWavFormat {
  uint32_t fRate = 44100;
  uint16_t fChannels = 2;
  TSampleFormat fSample = TSampleFormat::sfInt16;
};

// The header for iDataBytes bytes of samples (float formats get a fact chunk).
std::vector<uint8_t> MakeWavHeader(const TWavFormat& iFormat, uint64_t iDataBytes);

class TWavFileSink : public TEncoderSink {
public:
  // nullptr when the file cannot be created.
  static std::unique_ptr<TWavFileSink> Create(const std::string& iPath, const TWavFormat& iFormat);
  ~TWavFileSink() override;
  bool Write(const void* iData, size_t iLength) override;
  void Tick() override;
  void Finish() override;
  uint64_t Accepted() const override { return fDataBytes; }

private:
  TWavFileSink(int iFd, const TWavFormat& iFormat);
  bool WriteHeader();

  int fFd;
  TWavFormat fFormat;
  uint64_t fDataBytes = 0;
  bool fHeaderDirty = false;
};

}  // namespace vt::engine
