#pragma once
// WAV headers, and the in-process WAV file writer of BASS_ENCODE_PCM. The file's
// header sizes are rewritten every few seconds and at the end, so the file of a
// killed process is still playable up to the last refresh.
#include <chrono>
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
  static constexpr std::chrono::seconds kRefreshInterval{2};
  // nullptr when the file cannot be created.
  static std::unique_ptr<TWavFileSink> Create(const std::string& iPath, const TWavFormat& iFormat);
  ~TWavFileSink() override;
  bool Write(const void* iData, size_t iLength) override;
  void Tick() override;
  void Finish() override;

private:
  TWavFileSink(int iFd, const TWavFormat& iFormat);
  bool WriteHeader();

  int fFd;
  TWavFormat fFormat;
  uint64_t fDataBytes = 0;
  bool fHeaderDirty = false;
  std::chrono::steady_clock::time_point fLastRefresh;
};

}  // namespace vt::engine
