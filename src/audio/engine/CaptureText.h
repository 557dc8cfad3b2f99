#pragma once
// Texts that the capture back-ends hand out in their device records. The
// records promise that the pointers stay valid for the rest of the run, while
// the device lists are rebuilt at each enumeration, so every text is kept in a
// store that only grows (one entry per distinct text, so repeated
// enumerations do not make it grow).
#include <string>

namespace vt::engine {

const char* KeepText(const std::string& iText);

}  // namespace vt::engine
