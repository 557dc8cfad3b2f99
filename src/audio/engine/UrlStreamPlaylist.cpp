#include "audio/engine/UrlStreamPlaylist.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace vt::engine {
namespace {

std::string Lower(std::string iText) {
  std::transform(iText.begin(), iText.end(), iText.begin(), [](unsigned char c) { return std::tolower(c); });
  return iText;
}

std::string Trim(const std::string& iText) {
  const size_t first = iText.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
  if (first == std::string::npos) return {};
  const size_t last = iText.find_last_not_of(" \t\r\n");
  return iText.substr(first, last - first + 1);
}

bool HasScheme(const std::string& iUrl) {
  const size_t colon = iUrl.find("://");
  if (colon == std::string::npos || colon == 0) return false;
  return std::all_of(iUrl.begin(), iUrl.begin() + long(colon),
                     [](unsigned char c) { return std::isalnum(c) || c == '+' || c == '-' || c == '.'; });
}

std::string Resolve(const std::string& iEntry, const std::string& iBaseUrl) {
  if (iEntry.empty() || HasScheme(iEntry)) return iEntry;
  const size_t schemeEnd = iBaseUrl.find("://");
  if (schemeEnd == std::string::npos) {
    // A local playlist file: relative entries are beside it.
    if (iEntry.front() == '/') return iEntry;
    const size_t slash = iBaseUrl.find_last_of('/');
    return slash == std::string::npos ? iEntry : iBaseUrl.substr(0, slash + 1) + iEntry;
  }
  const size_t hostEnd = iBaseUrl.find('/', schemeEnd + 3);
  const std::string origin = hostEnd == std::string::npos ? iBaseUrl : iBaseUrl.substr(0, hostEnd);
  if (iEntry.front() == '/') return origin + iEntry;
  std::string path = hostEnd == std::string::npos ? "/" : iBaseUrl.substr(hostEnd);
  path = path.substr(0, path.find_first_of("?#"));
  return origin + path.substr(0, path.find_last_of('/') + 1) + iEntry;
}

}  // namespace

bool IsPlaylist(const std::string& iUrl, const std::string& iContentType) {
  const std::string type = Lower(iContentType.substr(0, iContentType.find(';')));
  if (type == "audio/x-scpls" || type == "application/pls+xml" || type == "audio/x-mpegurl" ||
      type == "audio/mpegurl" || type == "application/x-mpegurl")
    return true;
  std::string path = Lower(iUrl.substr(0, iUrl.find_first_of("?#")));
  for (const char* ext : {".pls", ".m3u"})
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ext) == 0) return true;
  return false;
}

std::string FirstPlaylistEntry(const std::string& iText, const std::string& iBaseUrl) {
  std::istringstream in(iText);
  std::string line;
  std::string first;
  int firstNumber = 0;
  bool pls = false;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    const std::string lower = Lower(line);
    if (lower == "[playlist]") {
      pls = true;
      continue;
    }
    if (lower.rfind("file", 0) == 0 && lower.find('=') != std::string::npos) {
      // PLS: FileN=<url>; the lowest N comes first whatever the line order.
      pls = true;
      const size_t eq = line.find('=');
      int number = 0;
      try {
        number = std::stoi(line.substr(4, eq - 4));
      } catch (...) {
        continue;
      }
      const std::string entry = Trim(line.substr(eq + 1));
      if (!entry.empty() && (first.empty() || number < firstNumber)) {
        first = entry;
        firstNumber = number;
      }
      continue;
    }
    if (pls) continue;
    return Resolve(line, iBaseUrl);  // M3U: the first line that is not a comment
  }
  return Resolve(first, iBaseUrl);
}

}  // namespace vt::engine
