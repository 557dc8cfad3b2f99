#pragma once
// Process-wide engine options (BASS_SetConfig), readable from any thread.
#include "audio/engine/Engine.h"

namespace vt::engine {

bool FloatDsp();              // DSP callbacks receive float samples
int EncodePriority();         // chain priority of the next encoder
DWORD EncodeQueueMs();        // queue length of the next encoder, 0 = default
constexpr DWORD kDefaultEncodeQueueMs = 10000;

}  // namespace vt::engine
