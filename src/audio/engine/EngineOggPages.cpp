#include "audio/engine/EngineOggPages.h"

namespace vt::engine {

void TOggPages::Feed(const char* iData, size_t iLength,
                     const std::function<void(const char*, size_t, uint64_t)>& iPage) {
  fPartial.append(iData, iLength);
  size_t at = 0;
  for (;;) {
    const size_t start = fPartial.find("OggS", at);
    if (start == std::string::npos) {
      at = fPartial.size() > 3 ? fPartial.size() - 3 : 0;  // a capture pattern may be split
      break;
    }
    at = start;
    if (fPartial.size() - at < 27) break;
    const size_t segments = uint8_t(fPartial[at + 26]);
    if (fPartial.size() - at < 27 + segments) break;
    size_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += uint8_t(fPartial[at + 27 + i]);
    const size_t length = 27 + segments + body;
    if (fPartial.size() - at < length) break;
    const char* page = fPartial.data() + at;
    uint64_t granule = 0;
    for (int i = 7; i >= 0; --i) granule = granule << 8 | uint8_t(page[6 + i]);
    iPage(page, length, granule);
    at += length;
  }
  fPartial.erase(0, at);
}

}  // namespace vt::engine
