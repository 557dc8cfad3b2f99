#pragma once
// Helpers of the slot tests: a temporary folder, a settings file in it, a
// clock the test moves by hand, and the samples of a recorded WAV file.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "slot/SlotClock.h"
#include "support/DateTime.h"

class TFakeSlotClock final : public ISlotClock {
public:
  TDateTime Now() const override { return fNow.load(); }
  uint64_t TickCount() const override { return fTick.load(); }
  void Set(TDateTime iNow, uint64_t iTick) { fNow = iNow; fTick = iTick; }
  void Advance(uint64_t iMilliseconds) {
    fTick += iMilliseconds;
    fNow = fNow.load() + static_cast<double>(iMilliseconds) / 86400000.0;
  }
  std::atomic<TDateTime> fNow{0.0};
  std::atomic<uint64_t> fTick{1000};
};

class TSlotTempFolder {
public:
  TSlotTempFolder() {
    static std::atomic<int> counter{0};
    fPath = std::filesystem::temp_directory_path() /
            ("vt_slot_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::remove_all(fPath);
    std::filesystem::create_directories(fPath);
  }
  ~TSlotTempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(fPath, ec);
  }
  std::string Path(const std::string& iName = "") const { return (fPath / iName).string(); }
  void Write(const std::string& iName, const std::string& iText) const { std::ofstream(fPath / iName) << iText; }
  std::string Read(const std::string& iName) const {
    std::ifstream in(fPath / iName);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

private:
  std::filesystem::path fPath;
};

// 16-bit samples of a WAV file's data chunk.
inline std::vector<int16_t> ReadWav16(const std::string& iPath) {
  std::ifstream in(iPath, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (size_t i = 12; i + 8 <= bytes.size();) {
    uint32_t size;
    std::memcpy(&size, &bytes[i + 4], 4);
    if (std::memcmp(&bytes[i], "data", 4) == 0) {
      const size_t n = std::min<size_t>(size, bytes.size() - i - 8) / 2;
      std::vector<int16_t> samples(n);
      std::memcpy(samples.data(), &bytes[i + 8], n * 2);
      return samples;
    }
    i += 8 + size + (size & 1);
  }
  return {};
}
