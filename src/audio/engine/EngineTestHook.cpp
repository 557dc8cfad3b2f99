#include "audio/engine/EngineTestHook.h"

#include <cmath>

#include "audio/engine/EngineChannel.h"
#include "audio/engine/EngineEncoder.h"
#include "audio/engine/EngineRealtime.h"

namespace vt::engine::test {
namespace {
class TGeneratorStream : public TChannel {
public:
  TGeneratorStream(DWORD iFreq, DWORD iChans, TGenerator iGenerate)
      : TChannel(iFreq, iChans, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT, BASS_CTYPE_STREAM), fGenerate(std::move(iGenerate)) {}
  DWORD ReadSource(float* oBuffer, DWORD iFrames) override {
    fGenerate(oBuffer, iFrames);
    return iFrames;
  }

private:
  TGenerator fGenerate;
};
}  // namespace

HSTREAM CreateGeneratorStream(DWORD iFreq, DWORD iChans, TGenerator iGenerate) {
  auto stream = std::make_shared<TGeneratorStream>(iFreq, iChans, std::move(iGenerate));
  const DWORD handle = RegisterObject(stream);
  stream->SetHandle(handle);
  return handle;
}

HSTREAM CreateToneStream(DWORD iFreq, DWORD iChans, double iHz, float iAmplitude) {
  return CreateGeneratorStream(iFreq, iChans, [iFreq, iChans, iHz, iAmplitude, n = uint64_t(0)](float* o, DWORD f) mutable {
    for (DWORD i = 0; i < f; ++i, ++n) {
      const float v = iAmplitude * float(std::sin(2.0 * M_PI * iHz * double(n) / iFreq));
      for (DWORD c = 0; c < iChans; ++c) o[i * iChans + c] = v;
    }
  });
}

bool WaitForEncoders(std::chrono::milliseconds iTimeout) { return WaitForFinishingEncoders(iTimeout); }

pid_t EncoderProcessId(HENCODE iEncoder) {
  auto encoder = Lookup<TEncoder>(iEncoder);
  return encoder ? encoder->ProcessId() : 0;
}

bool InRealtimeSection() { return vt::engine::InRealtimeSection(); }

}  // namespace vt::engine::test
