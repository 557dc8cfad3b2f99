#pragma once
// Reading what an input delivered into a client stream.
#include <chrono>
#include <thread>
#include <vector>

#include "AudioServices.h"
#include "audio/engine/Engine.h"

namespace vt::test {

// Pulls samples of type T from a decoding client stream until iCount samples
// have arrived or the time is up.
template <class T>
std::vector<T> ReadSamples(DWORD iStream, size_t iCount, std::chrono::milliseconds iTimeout = std::chrono::seconds(10)) {
  std::vector<T> samples;
  std::vector<T> block(4096);
  WaitFor(
      [&] {
        for (;;) {
          const size_t want = std::min(block.size(), iCount - samples.size());
          if (want == 0) return true;
          DWORD got = BASS_ChannelGetData(iStream, block.data(), static_cast<DWORD>(want * sizeof(T)));
          if (got == static_cast<DWORD>(-1) || got == 0) return false;
          samples.insert(samples.end(), block.begin(), block.begin() + got / sizeof(T));
        }
      },
      iTimeout);
  return samples;
}

// Throws away what has queued up so far.
inline void Drain(DWORD iStream) {
  std::vector<char> block(65536);
  while (BASS_ChannelGetData(iStream, block.data(), static_cast<DWORD>(block.size())) + 1 > 1) {
  }
}

inline BASS_CHANNELINFO StreamInfo(DWORD iStream) {
  BASS_CHANNELINFO info{};
  BASS_ChannelGetInfo(iStream, &info);
  return info;
}

}  // namespace vt::test
