#pragma once
// The command line of a slot's encoder and the engine flags that go with it.
#include <string>

#include "audio/engine/Engine.h"
#include "slot/SlotTypes.h"

struct TEncoderSettings {
  TBassStreamingFormat fFormat = sfMP3;
  TBassStreamingMode fMode = smStereo;
  int32_t fSampleRate = 44100;  // the mixer's rate
  int32_t fBitrate = 128;       // kbit/s
  std::string fEncoderOptions;  // extra options, or the whole argument list of a custom format
  std::string fEncoderFilename; // program; empty = the standard one of the format
};

struct TEncoderCommand;

// iTarget: the output file, or "-" for standard output. The WAV formats give
// the target itself (the engine writes the file). Throws
// std::runtime_error("Invalid format") for sfNone.
TEncoderCommand BuildEncoderCommandLine(const TEncoderSettings& iSettings, const std::string& iTarget);
