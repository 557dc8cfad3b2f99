#pragma once
// The outgoing stream title that other software writes into a text file.
#include <optional>
#include <string>

// The first line of a text file's bytes, as UTF-8: a byte-order mark selects
// UTF-8 or UTF-16 (little or big endian); without one the bytes are taken as
// they are (the system's 8-bit text is UTF-8). Empty when there are no lines.
std::string TitleFromFileBytes(const std::string& iBytes);

// The file's modification time as a comparable number; nullopt when the file
// does not exist.
std::optional<double> TitleFileAge(const std::string& iPath);
