#pragma once
// Splits an Ogg stream, arriving in pieces of any size, into whole pages.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vt::engine {

class TOggPages {
public:
  // Calls iPage for every page completed by iData, in order. Bytes before a
  // capture pattern ("OggS") are skipped.
  void Feed(const char* iData, size_t iLength, const std::function<void(const char*, size_t, uint64_t iGranule)>& iPage);

private:
  std::string fPartial;
};

// The most kept as an Ogg stream's header pages; a stream whose "headers" run
// on beyond it is not one to keep them for.
constexpr size_t kMaxOggHeaders = 256 * 1024;

// True when a stream that begins with iStart is Ogg.
inline bool IsOggStart(const char* iStart, size_t iLength) {
  return iLength >= 4 && iStart[0] == 'O' && iStart[1] == 'g' && iStart[2] == 'g' && iStart[3] == 'S';
}

}  // namespace vt::engine
