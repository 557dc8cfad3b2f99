// An incoming stream's ICY metadata block as the station sends it: decoded to
// UTF-8 (valid whatever came in), then the title found in it.
#include <cstdlib>
#include <string>

#include "slot/SlotStreamSource.h"

namespace {
bool ValidUtf8(const std::string& iText) {
  for (size_t i = 0; i < iText.size();) {
    const auto c = static_cast<unsigned char>(iText[i]);
    const size_t length = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3
                                                                   : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    if (length == 0 || i + length > iText.size()) return false;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(iText[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  const std::string raw(reinterpret_cast<const char*>(iData), iSize);
  const std::string text = DecodeStreamMetadata(raw);
  if (!ValidUtf8(text)) std::abort();
  const auto title = ParseStreamTitle(text);
  if (title && title->size() > text.size()) std::abort();
  (void)ParseStreamTitle(raw);
  return 0;
}
