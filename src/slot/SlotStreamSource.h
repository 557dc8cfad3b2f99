#pragma once
// The text work of incoming stream titles, apart from the slot so it can be
// checked on its own: decoding the metadata block, finding the title, and the
// cue-sheet lines of one track.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The metadata block as UTF-8: kept as it is when it is valid UTF-8, else read
// as Windows-1252, which is what 8-bit station software sends.
std::string DecodeStreamMetadata(const std::string& iRaw);

// The title of "StreamTitle='...';" (up to the first "';"), possibly empty;
// nothing when the block has no such field.
std::optional<std::string> ParseStreamTitle(const std::string& iMetadata);

// The three lines of cue-sheet track iTrack that starts iElapsedMs after the
// file began (INDEX in minutes, seconds and frames of 1/75 s).
std::vector<std::string> CueSheetTrackLines(int32_t iTrack, const std::string& iTitle, uint64_t iElapsedMs);

// The cue sheet text: every line followed by CR LF.
std::string CueSheetText(const std::vector<std::string>& iLines);
