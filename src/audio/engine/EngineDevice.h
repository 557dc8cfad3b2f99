#pragma once
// Output devices: 0 is the no-sound device (a software clock), 1.. are the
// ALSA playback PCMs. Each initialised device runs an output thread that pulls
// the channels playing on it at the device's clock.
#include <memory>

#include "audio/engine/Engine.h"

namespace vt::engine {

class TChannel;

DWORD CurrentDevice();                  // the calling thread's device (BASS_SetDevice)
bool DeviceInitialized(DWORD iDevice);
bool StartPlaying(const std::shared_ptr<TChannel>& iChannel);  // sets the error on failure
void StopPlaying(TChannel& iChannel);
bool IsPlaying(const TChannel& iChannel);

}  // namespace vt::engine
