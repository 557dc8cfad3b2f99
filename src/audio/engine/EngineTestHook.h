#pragma once
// In-process hooks for tests: synthetic sources without a sound card, waiting
// for encoders to finish their files, and the real-time marker for allocation
// checks. Not used by the recorder itself.
#include <sys/types.h>

#include <chrono>
#include <functional>

#include "audio/engine/Engine.h"

namespace vt::engine::test {

// A decoding float stream whose samples come from iGenerate(buffer, frames):
// the callback fills frames x iChans interleaved floats (runs on the puller).
using TGenerator = std::function<void(float*, DWORD)>;
HSTREAM CreateGeneratorStream(DWORD iFreq, DWORD iChans, TGenerator iGenerate);
// A sine of iHz at iAmplitude on every channel.
HSTREAM CreateToneStream(DWORD iFreq, DWORD iChans, double iHz, float iAmplitude);

// Waits until every encoder thread (also of stopped encoders) has ended.
bool WaitForEncoders(std::chrono::milliseconds iTimeout);
// The process id of a command-line encoder, 0 for other encoders or handles.
pid_t EncoderProcessId(HENCODE iEncoder);
// True while the calling thread runs the engine's real-time path.
bool InRealtimeSection();

}  // namespace vt::engine::test
