#pragma once
// Station links often name a playlist (.pls, .m3u) instead of the stream. These
// helpers recognise one and pick the entry to play, so the opener can follow it.
#include <string>

namespace vt::engine {

// True when the content type or, failing that, the URL's path names a PLS or M3U playlist.
bool IsPlaylist(const std::string& iUrl, const std::string& iContentType);

// The first playable entry of a PLS or M3U text, resolved against iBaseUrl
// when it is relative; empty when there is none.
std::string FirstPlaylistEntry(const std::string& iText, const std::string& iBaseUrl);

}  // namespace vt::engine
