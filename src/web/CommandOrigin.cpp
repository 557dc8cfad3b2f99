#include "web/CommandOrigin.h"

#include <cctype>

namespace {
struct TAuthority {
  std::string Host;  // lower case, IPv6 without brackets
  std::string Port;  // empty when not given
};

std::string Lower(std::string iText) {
  for (auto& c : iText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return iText;
}

// "host", "host:port", "[v6]" or "[v6]:port"; nothing when malformed
std::optional<TAuthority> ParseAuthority(const std::string& iText) {
  TAuthority result;
  std::string rest;
  if (!iText.empty() && iText.front() == '[') {
    const auto close = iText.find(']');
    if (close == std::string::npos) return std::nullopt;
    result.Host = iText.substr(1, close - 1);
    rest = iText.substr(close + 1);
  } else {
    const auto colon = iText.find(':');
    result.Host = iText.substr(0, colon);
    rest = colon == std::string::npos ? std::string() : iText.substr(colon);
  }
  if (!rest.empty()) {
    if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return std::nullopt;
    result.Port = rest.substr(1);
    for (char c : result.Port)
      if (c < '0' || c > '9') return std::nullopt;
  }
  if (result.Host.empty()) return std::nullopt;
  for (char c : result.Host)
    if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@' || c == '?' || c == '#') return std::nullopt;
  result.Host = Lower(result.Host);
  return result;
}

// the authority of "scheme://authority/..." (user information refused)
std::optional<TAuthority> UrlAuthority(const std::string& iUrl) {
  const auto scheme = iUrl.find("://");
  if (scheme == std::string::npos || scheme == 0) return std::nullopt;
  const auto start = scheme + 3;
  const auto end = iUrl.find_first_of("/?#", start);
  const std::string authority = iUrl.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (authority.find('@') != std::string::npos) return std::nullopt;
  return ParseAuthority(authority);
}
}  // namespace

bool IsSameSiteRequest(const std::string& iHost, const std::optional<std::string>& iOrigin,
                       const std::optional<std::string>& iReferer) {
  const std::optional<std::string>& page = iOrigin ? iOrigin : iReferer;
  if (!page) return true;
  const auto from = UrlAuthority(*page);
  const auto to = ParseAuthority(iHost);
  if (!from || !to) return false;
  if (from->Host != to->Host) return false;
  return from->Port.empty() || to->Port.empty() || from->Port == to->Port;
}
