#pragma once
// The waveform of a recording for the player: the ".peaks" file the slot
// writes beside the recording while it records, or, for a recording that has
// none, peaks computed by decoding it with FFmpeg and kept beside it.
#include <string>

#include "slot/SlotPeaksFormat.h"
#include "web/WebContext.h"

// Decodes iRecordingPath with the ffmpeg program. Throws std::runtime_error
// when the program cannot be run or the file cannot be decoded.
TPeaksData ComputePeaksWithFFmpeg(const std::string& iRecordingPath);

// Replies with the peaks file's bytes (application/octet-stream). A computed
// waveform is cached only for a finished recording (iClosed), and never
// outlives its recording.
void SendRecordingPeaks(TWebContext& iContext, const std::string& iRecordingPath, bool iClosed);
