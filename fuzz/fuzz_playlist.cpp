// A playlist (PLS or M3U) as a station's server sends it, and the URL and
// content type that decide whether it is one.
#include <string>

#include "FuzzInput.h"
#include "audio/engine/UrlStreamPlaylist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  const auto parts = FuzzParts(iData, iSize, 3);
  const std::string base = parts.size() > 1 ? parts[1] : "http://radio.example/live/stream.pls";
  const std::string type = parts.size() > 2 ? parts[2] : "audio/x-scpls";
  (void)vt::engine::IsPlaylist(base, type);
  (void)vt::engine::FirstPlaylistEntry(parts[0], base);
  return 0;
}
