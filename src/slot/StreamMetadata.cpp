// The metadata blocks of incoming streams (ICY "StreamTitle='...';" as the
// station sends it): declared in SlotStreamSource.h, on their own so that they
// can be tried without the slot.
#include <string>
#include <string_view>

#include "slot/SlotStreamSource.h"

namespace {

bool ValidUtf8WithMultiByte(const std::string& iText) {
  bool multi = false;
  for (size_t i = 0; i < iText.size();) {
    const auto c = static_cast<unsigned char>(iText[i]);
    size_t length;
    if (c < 0x80) length = 1;
    else if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c >= 0xE0 && c <= 0xEF) length = 3;
    else if (c >= 0xF0 && c <= 0xF4) length = 4;
    else return false;
    if (i + length > iText.size()) return false;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(iText[i + k]) & 0xC0) != 0x80) return false;
    if (length > 1) {
      const auto d = static_cast<unsigned char>(iText[i + 1]);
      if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d > 0x8F))
        return false;  // overlong forms and surrogates
      multi = true;
    }
    i += length;
  }
  return multi;
}

void AppendUtf8(std::string& oText, char32_t iCode) {
  if (iCode < 0x80) {
    oText += char(iCode);
  } else if (iCode < 0x800) {
    oText += char(0xC0 | (iCode >> 6));
    oText += char(0x80 | (iCode & 0x3F));
  } else {
    oText += char(0xE0 | (iCode >> 12));
    oText += char(0x80 | ((iCode >> 6) & 0x3F));
    oText += char(0x80 | (iCode & 0x3F));
  }
}

// Windows-1252 for 0x80..0x9F; the rest is ISO 8859-1.
constexpr char16_t kCp1252High[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                      0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

}  // namespace

std::string DecodeStreamMetadata(const std::string& iRaw) {
  if (ValidUtf8WithMultiByte(iRaw)) return iRaw;
  std::string text;
  text.reserve(iRaw.size());
  for (const char ch : iRaw) {
    const auto c = static_cast<unsigned char>(ch);
    AppendUtf8(text, c >= 0x80 && c < 0xA0 ? char32_t(kCp1252High[c - 0x80]) : char32_t(c));
  }
  return text;
}

std::optional<std::string> ParseStreamTitle(const std::string& iMetadata) {
  // A plain search, not a regular expression: the library's matcher recurses
  // once per character and runs out of stack on a long block. The first
  // opening decides; a later one could only find the same "';".
  static constexpr std::string_view kOpening = "StreamTitle='";
  const size_t open = iMetadata.find(kOpening);
  if (open == std::string::npos) return std::nullopt;
  const size_t first = open + kOpening.size();
  const size_t close = iMetadata.find("';", first);
  if (close == std::string::npos) return std::nullopt;
  return iMetadata.substr(first, close - first);
}
