#pragma once
// The length of a recording as its file holds it, for rows whose length was
// never stored (the program was killed, the machine lost power): WAV files
// from their header and their size, other formats by reading the file with
// libavformat.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct TWavLayout {
  uint64_t fDataOffset = 0;     // where the samples begin
  uint64_t fDeclaredBytes = 0;  // the data size the header claims
  uint32_t fRate = 0;
  uint16_t fBlockAlign = 0;     // bytes per frame
};

// The layout of a RIFF/WAVE file with a fmt and a data chunk; nullopt for any
// other file.
std::optional<TWavLayout> ReadWavLayout(const std::string& iPath);

// Seconds of audio in the file: for WAV the whole frames that follow the
// header (a file left by a crash holds more than its header may say), else
// what libavformat finds. iStop is asked while a long file is read; when it
// returns true the reading ends. Throws std::runtime_error when the length
// cannot be told.
double RecordingFileSeconds(const std::string& iPath, const std::function<bool()>& iStop = {});

// A WAV file whose header claims less than the whole frames it holds (left by
// a crash) gets sizes that cover them, so that players that trust the header
// play all of it. True when the header was changed.
bool CompleteWavHeader(const std::string& iPath);

// True for an empty file and for a WAV file with nothing after its header: a
// file that never received audio.
bool HoldsNoAudio(const std::string& iPath);
