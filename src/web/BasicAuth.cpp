#include "web/BasicAuth.h"

#include <cctype>

namespace {
int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool DecodeBase64(const std::string& iText, std::string& oResult) {
  oResult.clear();
  unsigned int buffer = 0;
  int bits = 0;
  size_t i = 0;
  for (; i < iText.size() && iText[i] != '='; ++i) {
    const int v = Base64Value(iText[i]);
    if (v < 0) return false;
    buffer = (buffer << 6) | static_cast<unsigned int>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      oResult += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  for (; i < iText.size(); ++i)
    if (iText[i] != '=') return false;
  return true;
}
}  // namespace

bool OffersBasicCredentials(const std::string& iHeaderValue) {
  size_t pos = 0;
  while (pos < iHeaderValue.size() && iHeaderValue[pos] == ' ') ++pos;
  static constexpr char kScheme[] = "basic";
  for (size_t k = 0; k < 5; ++k, ++pos) {
    if (pos >= iHeaderValue.size() || std::tolower(static_cast<unsigned char>(iHeaderValue[pos])) != kScheme[k])
      return false;
  }
  if (pos >= iHeaderValue.size() || iHeaderValue[pos] != ' ') return false;
  return iHeaderValue.find_first_not_of(' ', pos) != std::string::npos;
}

std::optional<TBasicCredentials> ParseBasicAuthorization(const std::string& iHeaderValue) {
  size_t pos = 0;
  while (pos < iHeaderValue.size() && iHeaderValue[pos] == ' ') ++pos;
  static constexpr char kScheme[] = "basic";
  for (size_t k = 0; k < 5; ++k, ++pos) {
    if (pos >= iHeaderValue.size() || std::tolower(static_cast<unsigned char>(iHeaderValue[pos])) != kScheme[k])
      return std::nullopt;
  }
  if (pos >= iHeaderValue.size() || iHeaderValue[pos] != ' ') return std::nullopt;
  while (pos < iHeaderValue.size() && iHeaderValue[pos] == ' ') ++pos;
  std::string token = iHeaderValue.substr(pos);
  while (!token.empty() && token.back() == ' ') token.pop_back();
  std::string decoded;
  if (!DecodeBase64(token, decoded)) return std::nullopt;
  const auto colon = decoded.find(':');
  if (colon == std::string::npos) return std::nullopt;
  return TBasicCredentials{decoded.substr(0, colon), decoded.substr(colon + 1)};
}
