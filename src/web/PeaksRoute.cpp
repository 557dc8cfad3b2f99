#include "web/PeaksRoute.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

extern char** environ;

namespace {
constexpr int kDecodeRate = 16000;  // enough for a waveform, and quick to move through a pipe

struct TFd {
  int fd = -1;
  ~TFd() {
    if (fd >= 0) ::close(fd);
  }
};

std::string PeaksFileBytes(const TPeaksData& iData) {
  const auto header = PeaksFileHeader(iData.PairsPerSecond);
  std::string bytes(reinterpret_cast<const char*>(header.data()), header.size());
  bytes.reserve(bytes.size() + iData.Pairs.size() * 4);
  for (const auto& p : iData.Pairs) {
    const auto mn = static_cast<uint16_t>(p.Min), mx = static_cast<uint16_t>(p.Max);
    bytes += static_cast<char>(mn & 0xFF);
    bytes += static_cast<char>(mn >> 8);
    bytes += static_cast<char>(mx & 0xFF);
    bytes += static_cast<char>(mx >> 8);
  }
  return bytes;
}

bool ReadFileBytes(const std::string& iPath, std::string& oBytes) {
  std::ifstream in(iPath, std::ios::binary);
  if (!in) return false;
  oBytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return oBytes.size() >= kPeaksHeaderSize && std::memcmp(oBytes.data(), kPeaksMagic, sizeof kPeaksMagic) == 0;
}
}  // namespace

TPeaksData ComputePeaksWithFFmpeg(const std::string& iRecordingPath) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  TFd readEnd{fds[0]}, writeEnd{fds[1]};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const std::string rate = std::to_string(kDecodeRate);
  std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error", "-i", iRecordingPath, "-vn", "-ac", "1",
                                   "-ar", rate, "-f", "s16le", "-acodec", "pcm_s16le", "-"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error(std::string("Unable to run ffmpeg: ") + std::strerror(rc));
  ::close(writeEnd.fd);
  writeEnd.fd = -1;

  TPeaksData data;
  TPeaksAccumulator accumulator;
  const auto sink = [&data](const TPeakPair& p) { data.Pairs.push_back(p); };
  std::vector<char> buffer(64 * 1024);
  size_t carry = 0;  // an odd byte left from the previous read
  while (true) {
    const ssize_t n = ::read(readEnd.fd, buffer.data() + carry, buffer.size() - carry);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const size_t total = carry + static_cast<size_t>(n);
    const size_t samples = total / 2;
    std::vector<int16_t> pcm(samples);
    std::memcpy(pcm.data(), buffer.data(), samples * 2);
    accumulator.AddInt16(pcm.data(), samples, 1, kDecodeRate, sink);
    carry = total % 2;
    if (carry) buffer[0] = buffer[total - 1];
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  TPeakPair last;
  if (accumulator.TakePartial(last)) data.Pairs.push_back(last);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("Unable to decode " + iRecordingPath);
  return data;
}

void SendRecordingPeaks(TWebContext& iContext, const std::string& iRecordingPath, bool iClosed) {
  const std::string peaksPath = iRecordingPath + kPeaksSuffix;
  std::string bytes;
  if (!ReadFileBytes(peaksPath, bytes)) {
    const TPeaksData data = ComputePeaksWithFFmpeg(iRecordingPath);
    bytes = PeaksFileBytes(data);
    // A recording still being written would be cached with its waveform cut
    // short; it is computed again next time instead.
    if (iClosed) {
      try {
        WritePeaksFile(peaksPath, data);
        // the retention cleanup may have removed the recording meanwhile: a
        // lone .peaks file would keep its day folder alive
        std::error_code ec;
        if (!std::filesystem::exists(iRecordingPath, ec)) std::filesystem::remove(peaksPath, ec);
      } catch (const std::exception&) {
        // a read-only archive folder: serve without caching
      }
    }
  }
  iContext.Response.status = 200;
  iContext.Response.set_header("Cache-Control", "no-cache");
  iContext.Response.set_content(bytes, "application/octet-stream");
}
