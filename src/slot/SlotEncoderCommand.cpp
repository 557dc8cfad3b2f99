#include "slot/SlotEncoderCommand.h"

#include <fmt/format.h>

#include <stdexcept>

#include "slot/SlotInfo.h"

TEncoderCommand BuildEncoderCommandLine(const TEncoderSettings& iSettings, const std::string& iTarget) {
  const std::string quoted = iTarget == "-" ? std::string("-") : "\"" + iTarget + "\"";
  const char* modeLetter = iSettings.fMode == smMono ? "m" : iSettings.fMode == smJointStereo ? "j" : "s";
  const bool mono = iSettings.fMode == smMono;
  const std::string& options = iSettings.fEncoderOptions;

  // Empty parts keep their place in the patterns, so blanks may double; the
  // command-line splitter drops empty arguments.
  std::string program;
  std::string arguments;
  TEncoderCommand result;
  switch (iSettings.fFormat) {
    case sfMP3:
      program = "lame";
      arguments = fmt::format("--flush -r -s {} {} -b {} -m {} {} - {}", iSettings.fSampleRate, mono ? "-a" : "",
                              iSettings.fBitrate, modeLetter, options, quoted);
      result.fFlags = BASS_ENCODE_NOHEAD;
      break;
    case sfMP2:
      program = "twolame";
      arguments = fmt::format("-m {} -r -s {} -b {} {} - {}", modeLetter, iSettings.fSampleRate, iSettings.fBitrate,
                              options, quoted);
      result.fFlags = BASS_ENCODE_NOHEAD;
      break;
    case sfOggVorbis:
      program = "oggenc";
      arguments = fmt::format("-r -R {} -b {} -m {} {} {} -o {} -", iSettings.fSampleRate, iSettings.fBitrate, 16,
                              mono ? "--downmix" : "", options, quoted);
      result.fFlags = BASS_ENCODE_NOHEAD;
      break;
    case sfWAV16:
      result.fCommand = iTarget;
      result.fFlags = BASS_ENCODE_PCM | BASS_ENCODE_FP_16BIT;
      return result;
    case sfWAV32:
      result.fCommand = iTarget;
      result.fFlags = BASS_ENCODE_PCM;
      return result;
    case sfCustomWAV:
    case sfCustomRaw: {
      arguments = options;
      const std::string placeholder = "$FILENAME";
      for (size_t pos = arguments.find(placeholder); pos != std::string::npos;
           pos = arguments.find(placeholder, pos + quoted.size()))
        arguments.replace(pos, placeholder.size(), quoted);
      // A custom WAV encoder reads a WAV header first; a raw one gets bare samples.
      result.fFlags = iSettings.fFormat == sfCustomRaw ? BASS_ENCODE_NOHEAD : 0;
      break;
    }
    default:
      throw std::runtime_error("Invalid format");
  }
  if (!iSettings.fEncoderFilename.empty()) program = iSettings.fEncoderFilename;
  result.fCommand = fmt::format("\"{}\" {}", program, arguments);
  return result;
}
