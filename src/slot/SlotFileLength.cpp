#include "slot/SlotFileLength.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

namespace {

// How far a length that the file states may be from the counted one and still
// be believed (MP3 encoder delay and padding are far less).
constexpr double kStatedLengthTolerance = 0.2;

class TFd {
public:
  TFd(const std::string& iPath, int iFlags) : fFd(::open(iPath.c_str(), iFlags | O_CLOEXEC)) {}
  ~TFd() {
    if (fFd >= 0) ::close(fFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fFd; }

private:
  int fFd;
};

uint32_t Get32(const uint8_t* iBytes) {
  return uint32_t(iBytes[0]) | uint32_t(iBytes[1]) << 8 | uint32_t(iBytes[2]) << 16 | uint32_t(iBytes[3]) << 24;
}
uint16_t Get16(const uint8_t* iBytes) { return uint16_t(iBytes[0] | iBytes[1] << 8); }
void Put32(uint8_t* oBytes, uint32_t iValue) {
  for (int i = 0; i < 4; ++i) oBytes[i] = uint8_t(iValue >> (8 * i));
}

bool ReadAt(int iFd, void* oBuffer, size_t iLength, uint64_t iOffset) {
  return ::pread(iFd, oBuffer, iLength, off_t(iOffset)) == ssize_t(iLength);
}

int64_t FileSize(int iFd) {
  struct stat st;
  return ::fstat(iFd, &st) == 0 ? int64_t(st.st_size) : -1;
}

struct TWavChunks {
  TWavLayout fLayout;
  uint64_t fFactOffset = 0;  // 0: no fact chunk
};

std::optional<TWavChunks> ReadWavChunks(int iFd) {
  uint8_t riff[12];
  if (!ReadAt(iFd, riff, sizeof riff, 0) || std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0)
    return std::nullopt;
  const int64_t size = FileSize(iFd);
  TWavChunks chunks;
  bool haveFormat = false;
  for (uint64_t at = 12; at + 8 <= uint64_t(size);) {
    uint8_t head[8];
    if (!ReadAt(iFd, head, sizeof head, at)) break;
    const uint32_t length = Get32(head + 4);
    if (std::memcmp(head, "fmt ", 4) == 0 && length >= 16) {
      uint8_t format[16];
      if (!ReadAt(iFd, format, sizeof format, at + 8)) break;
      chunks.fLayout.fRate = Get32(format + 4);
      chunks.fLayout.fBlockAlign = Get16(format + 12);
      haveFormat = true;
    } else if (std::memcmp(head, "fact", 4) == 0 && length >= 4) {
      chunks.fFactOffset = at + 8;
    } else if (std::memcmp(head, "data", 4) == 0) {
      if (!haveFormat || chunks.fLayout.fBlockAlign == 0 || chunks.fLayout.fRate == 0) return std::nullopt;
      chunks.fLayout.fDataOffset = at + 8;
      chunks.fLayout.fDeclaredBytes = length;
      return chunks;
    }
    at += 8 + uint64_t(length) + (length & 1);
  }
  return std::nullopt;
}

// Whole frames after the header, whatever the header says.
uint64_t WavFramesPresent(int iFd, const TWavLayout& iLayout) {
  const int64_t size = FileSize(iFd);
  if (size < 0 || uint64_t(size) <= iLayout.fDataOffset) return 0;
  return (uint64_t(size) - iLayout.fDataOffset) / iLayout.fBlockAlign;
}

struct TFormatContextCloser {
  void operator()(AVFormatContext* iContext) const { avformat_close_input(&iContext); }
};
struct TPacketFree {
  void operator()(AVPacket* iPacket) const { av_packet_free(&iPacket); }
};

std::string AvError(int iCode) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(iCode, text, sizeof text);
  return text;
}

double ProbedSeconds(const std::string& iPath, const std::function<bool()>& iStop) {
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) throw std::runtime_error("Out of memory");
  const std::function<bool()>* stop = iStop ? &iStop : nullptr;
  raw->interrupt_callback.callback = [](void* iStopFunction) -> int {
    const auto* f = static_cast<const std::function<bool()>*>(iStopFunction);
    return f && (*f)() ? 1 : 0;
  };
  raw->interrupt_callback.opaque = const_cast<std::function<bool()>*>(stop);
  int result = avformat_open_input(&raw, iPath.c_str(), nullptr, nullptr);
  if (result < 0) throw std::runtime_error(AvError(result));  // raw is freed by the failed open
  std::unique_ptr<AVFormatContext, TFormatContextCloser> context(raw);
  result = avformat_find_stream_info(raw, nullptr);
  if (result < 0) throw std::runtime_error(AvError(result));
  const int stream = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (stream < 0) throw std::runtime_error("No audio in the file");
  // The packets are counted: a file cut short (power lost while it was
  // written) may still state the length it was meant to have (the Info frame
  // of an MP3 file). A stated length that agrees with the count is what
  // players show (it leaves out the encoder's delay and padding), so it wins.
  const AVRational base = raw->streams[stream]->time_base;
  std::unique_ptr<AVPacket, TPacketFree> packet(av_packet_alloc());
  if (!packet) throw std::runtime_error("Out of memory");
  int64_t first = AV_NOPTS_VALUE, end = AV_NOPTS_VALUE, summed = 0;
  while ((result = av_read_frame(raw, packet.get())) >= 0) {
    if (packet->stream_index == stream) {
      summed += packet->duration;
      if (packet->pts != AV_NOPTS_VALUE) {
        if (first == AV_NOPTS_VALUE) first = packet->pts;
        end = std::max(end == AV_NOPTS_VALUE ? packet->pts : end, packet->pts + packet->duration);
      }
    }
    av_packet_unref(packet.get());
  }
  if (result == AVERROR_EXIT) throw std::runtime_error("Stopped");
  const double counted = double(first != AV_NOPTS_VALUE ? end - first : summed) * av_q2d(base);
  if (raw->duration != AV_NOPTS_VALUE && raw->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
    const double stated = double(raw->duration) / AV_TIME_BASE;
    if (std::abs(stated - counted) <= kStatedLengthTolerance) return stated;
  }
  return counted;
}

}  // namespace

std::optional<TWavLayout> ReadWavLayout(const std::string& iPath) {
  TFd fd(iPath, O_RDONLY);
  if (fd.Get() < 0) return std::nullopt;
  const auto chunks = ReadWavChunks(fd.Get());
  if (!chunks) return std::nullopt;
  return chunks->fLayout;
}

double RecordingFileSeconds(const std::string& iPath, const std::function<bool()>& iStop) {
  {
    TFd fd(iPath, O_RDONLY);
    if (fd.Get() < 0) throw std::runtime_error(std::strerror(errno));
    if (FileSize(fd.Get()) == 0) return 0;
    if (const auto chunks = ReadWavChunks(fd.Get()))
      return double(WavFramesPresent(fd.Get(), chunks->fLayout)) / chunks->fLayout.fRate;
  }
  return ProbedSeconds(iPath, iStop);
}

bool CompleteWavHeader(const std::string& iPath) {
  TFd fd(iPath, O_RDWR);
  if (fd.Get() < 0) return false;
  const auto chunks = ReadWavChunks(fd.Get());
  if (!chunks) return false;
  const TWavLayout& layout = chunks->fLayout;
  const uint64_t frames = WavFramesPresent(fd.Get(), layout);
  // Past 4 GB the sizes stay at their maximum, as the writer leaves them.
  const uint64_t limit = 0xFFFFFFFFull - layout.fDataOffset;
  const uint64_t data = std::min<uint64_t>(frames * layout.fBlockAlign, limit / layout.fBlockAlign * layout.fBlockAlign);
  if (data <= layout.fDeclaredBytes) return false;
  uint8_t value[4];
  Put32(value, uint32_t(data));
  bool ok = ::pwrite(fd.Get(), value, 4, off_t(layout.fDataOffset - 4)) == 4;
  Put32(value, uint32_t(data + layout.fDataOffset - 8));
  ok = ::pwrite(fd.Get(), value, 4, 4) == 4 && ok;
  if (chunks->fFactOffset) {
    Put32(value, uint32_t(data / layout.fBlockAlign));
    ok = ::pwrite(fd.Get(), value, 4, off_t(chunks->fFactOffset)) == 4 && ok;
  }
  return ok;
}

bool HoldsNoAudio(const std::string& iPath) {
  TFd fd(iPath, O_RDONLY);
  if (fd.Get() < 0) return false;
  const int64_t size = FileSize(fd.Get());
  if (size == 0) return true;
  const auto chunks = ReadWavChunks(fd.Get());
  return chunks && WavFramesPresent(fd.Get(), chunks->fLayout) == 0;
}
