#pragma once
// Capture calls of the engine (ALSA = recording devices, JACK = ASIO drivers,
// PulseAudio = WASAPI endpoints). Included by Engine.h; do not include directly.
