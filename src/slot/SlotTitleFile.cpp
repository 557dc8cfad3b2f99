#include "slot/SlotTitleFile.h"

#include <filesystem>

namespace {

void AppendUtf8(std::string& ioText, char32_t iCode) {
  if (iCode < 0x80) {
    ioText += char(iCode);
  } else if (iCode < 0x800) {
    ioText += char(0xC0 | (iCode >> 6));
    ioText += char(0x80 | (iCode & 0x3F));
  } else if (iCode < 0x10000) {
    ioText += char(0xE0 | (iCode >> 12));
    ioText += char(0x80 | ((iCode >> 6) & 0x3F));
    ioText += char(0x80 | (iCode & 0x3F));
  } else {
    ioText += char(0xF0 | (iCode >> 18));
    ioText += char(0x80 | ((iCode >> 12) & 0x3F));
    ioText += char(0x80 | ((iCode >> 6) & 0x3F));
    ioText += char(0x80 | (iCode & 0x3F));
  }
}

std::string FromUtf16(const std::string& iBytes, bool iBigEndian) {
  std::string text;
  auto unit = [&](size_t i) -> char16_t {
    const auto a = uint8_t(iBytes[i]), b = uint8_t(iBytes[i + 1]);
    return iBigEndian ? char16_t(a << 8 | b) : char16_t(b << 8 | a);
  };
  for (size_t i = 0; i + 1 < iBytes.size(); i += 2) {
    char32_t code = unit(i);
    if (code >= 0xD800 && code < 0xDC00 && i + 3 < iBytes.size()) {
      const char16_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    AppendUtf8(text, code);
  }
  return text;
}

}  // namespace

std::string TitleFromFileBytes(const std::string& iBytes) {
  std::string text;
  if (iBytes.starts_with("\xEF\xBB\xBF"))
    text = iBytes.substr(3);
  else if (iBytes.starts_with("\xFF\xFE"))
    text = FromUtf16(iBytes.substr(2), false);
  else if (iBytes.starts_with("\xFE\xFF"))
    text = FromUtf16(iBytes.substr(2), true);
  else
    text = iBytes;
  return text.substr(0, text.find_first_of("\r\n"));
}

std::optional<double> TitleFileAge(const std::string& iPath) {
  std::error_code ec;
  const auto time = std::filesystem::last_write_time(iPath, ec);
  if (ec) return std::nullopt;
  return double(time.time_since_epoch().count());
}
