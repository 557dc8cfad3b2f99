#include "audio/engine/EngineWavWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vt::engine {
namespace {

void Put16(std::vector<uint8_t>& oOut, uint16_t iValue) {
  oOut.push_back(uint8_t(iValue));
  oOut.push_back(uint8_t(iValue >> 8));
}
void Put32(std::vector<uint8_t>& oOut, uint32_t iValue) {
  for (int i = 0; i < 4; ++i) oOut.push_back(uint8_t(iValue >> (8 * i)));
}
void PutTag(std::vector<uint8_t>& oOut, const char* iTag) { oOut.insert(oOut.end(), iTag, iTag + 4); }

// The bytes written, which fall short of iLength only when writing failed.
size_t WriteAll(int iFd, const void* iData, size_t iLength) {
  const auto* p = static_cast<const uint8_t*>(iData);
  size_t written = 0;
  while (written < iLength) {
    const ssize_t n = ::write(iFd, p + written, iLength - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += size_t(n);
  }
  return written;
}

}  // namespace

std::vector<uint8_t> MakeWavHeader(const TWavFormat& iFormat, uint64_t iDataBytes) {
  const bool isFloat = iFormat.fSample == TSampleFormat::sfFloat32;
  const uint16_t bytes = uint16_t(BytesPerSample(iFormat.fSample));
  const uint16_t blockAlign = uint16_t(bytes * iFormat.fChannels);
  const uint32_t headerBytes = isFloat ? 58 : 44;
  // Past 4 GB the sizes stay at their maximum; readers then read to the end.
  const uint32_t data = uint32_t(std::min<uint64_t>(iDataBytes, 0xFFFFFFFFull - headerBytes));
  std::vector<uint8_t> out;
  out.reserve(headerBytes);
  PutTag(out, "RIFF");
  Put32(out, data + headerBytes - 8);
  PutTag(out, "WAVE");
  PutTag(out, "fmt ");
  Put32(out, isFloat ? 18 : 16);
  Put16(out, isFloat ? 3 : 1);  // WAVE_FORMAT_IEEE_FLOAT or WAVE_FORMAT_PCM
  Put16(out, iFormat.fChannels);
  Put32(out, iFormat.fRate);
  Put32(out, iFormat.fRate * blockAlign);
  Put16(out, blockAlign);
  Put16(out, uint16_t(bytes * 8));
  if (isFloat) {
    Put16(out, 0);  // cbSize
    PutTag(out, "fact");
    Put32(out, 4);
    Put32(out, blockAlign ? data / blockAlign : 0);
  }
  PutTag(out, "data");
  Put32(out, data);
  return out;
}

std::unique_ptr<TWavFileSink> TWavFileSink::Create(const std::string& iPath, const TWavFormat& iFormat) {
  // Made new where possible, so that a failed start knows the file is its own.
  bool created = true;
  int fd = ::open(iPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = ::open(iPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  if (fd < 0) return nullptr;
  std::unique_ptr<TWavFileSink> sink(new TWavFileSink(fd, iFormat));
  const auto header = MakeWavHeader(iFormat, 0);
  if (WriteAll(fd, header.data(), header.size()) != header.size()) {
    // A full disk: the start fails, and the empty file it made goes too. Tried
    // again every few seconds, such files would pile up without a database row
    // that cleanup could ever find them by.
    sink.reset();
    if (created) ::unlink(iPath.c_str());
    return nullptr;
  }
  return sink;
}

TWavFileSink::TWavFileSink(int iFd, const TWavFormat& iFormat) : fFd(iFd), fFormat(iFormat) {}

TWavFileSink::~TWavFileSink() {
  if (fFd >= 0) ::close(fFd);
}

bool TWavFileSink::Write(const void* iData, size_t iLength) {
  if (fFd < 0) return false;
  const size_t written = WriteAll(fFd, iData, iLength);
  // A disk that fills up part-way through: the header still covers every whole
  // frame that reached the file (nothing is written after a failure).
  const size_t frame = BytesPerSample(fFormat.fSample) * fFormat.fChannels;
  fDataBytes += written == iLength ? written : written - written % frame;
  fHeaderDirty = true;
  return written == iLength;
}

bool TWavFileSink::WriteHeader() {
  const auto header = MakeWavHeader(fFormat, fDataBytes);
  fHeaderDirty = false;
  return ::pwrite(fFd, header.data(), header.size(), 0) == ssize_t(header.size());
}

void TWavFileSink::Tick() {
  // A 44-byte write into a page that is cached anyway: cheap enough to keep
  // the header level with the data after every batch.
  if (fFd >= 0 && fHeaderDirty) WriteHeader();
}

void TWavFileSink::Finish() {
  if (fFd < 0) return;
  WriteHeader();
  ::close(fFd);
  fFd = -1;
}

}  // namespace vt::engine
