#pragma once
// Shared helpers of the engine tests: known signals and their measurement.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/engine/Engine.h"

namespace vt::engine::testing {

// Pulls iFrames stereo float frames from a decoding channel.
inline std::vector<float> PullFloat(DWORD iChannel, size_t iFrames, DWORD iChans = 2) {
  std::vector<float> out(iFrames * iChans);
  const DWORD got = BASS_ChannelGetData(iChannel, out.data(), DWORD(out.size() * sizeof(float)));
  out.resize(got == DWORD(-1) ? 0 : got / sizeof(float));
  return out;
}

// Power of iHz in one channel of an interleaved signal (Goertzel), as amplitude.
inline double ToneAmplitude(const std::vector<float>& iSignal, DWORD iChans, DWORD iChannel, double iHz, double iRate) {
  const size_t n = iSignal.size() / iChans;
  const double w = 2.0 * M_PI * iHz / iRate, coeff = 2.0 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (size_t i = 0; i < n; ++i) {
    const double s = iSignal[i * iChans + iChannel] + coeff * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
  return 2.0 * std::sqrt(std::max(power, 0.0)) / double(n);
}

inline std::string TempDir() {
  char pattern[] = "/tmp/vt-engine-XXXXXX";
  return mkdtemp(pattern);
}

inline std::string RunCommand(const std::string& iCommand) {
  std::string out;
  if (FILE* p = popen(iCommand.c_str(), "r")) {
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    pclose(p);
  }
  return out;
}

}  // namespace vt::engine::testing
