#include "web/FileReply.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <memory>
#include <vector>

#include "web/ByteRange.h"
#include "web/ContentType.h"

namespace {
struct TFileHandle {
  int fd = -1;
  explicit TFileHandle(int iFd) : fd(iFd) {}
  ~TFileHandle() {
    if (fd >= 0) ::close(fd);
  }
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;
};

std::shared_ptr<TFileHandle> OpenRegularFile(const std::string& iPath, uint64_t& oSize) {
  auto file = std::make_shared<TFileHandle>(::open(iPath.c_str(), O_RDONLY | O_CLOEXEC));
  if (file->fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(file->fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  oSize = static_cast<uint64_t>(st.st_size);
  return file;
}

// A file name that cannot break out of its quoted header parameter.
std::string SafeHeaderFileName(const std::string& iName) {
  std::string result;
  for (unsigned char c : iName) result += (c < 32 || c == '"' || c == '\\' || c == 127) ? '_' : static_cast<char>(c);
  return result;
}

void StreamBytes(TWebContext& iContext, std::shared_ptr<TFileHandle> iFile, uint64_t iFirst, uint64_t iLength,
                 const std::string& iContentType) {
  const std::atomic<bool>* stopping = &iContext.Stopping;
  iContext.Response.set_content_provider(
      static_cast<size_t>(iLength), iContentType,
      [file = std::move(iFile), iFirst, stopping](size_t iOffset, size_t iLen, httplib::DataSink& iSink) {
        if (stopping->load(std::memory_order_relaxed)) return false;
        std::vector<char> buffer(std::min<size_t>(iLen, 64 * 1024));
        const ssize_t n = ::pread(file->fd, buffer.data(), buffer.size(), static_cast<off_t>(iFirst + iOffset));
        if (n <= 0) return false;  // the file shrank: end the connection rather than send garbage
        return iSink.write(buffer.data(), static_cast<size_t>(n));
      });
}
}  // namespace

bool SendWholeFile(TWebContext& iContext, const std::string& iPath, const std::string& iAttachmentName) {
  uint64_t size = 0;
  auto file = OpenRegularFile(iPath, size);
  if (!file) return false;
  auto& res = iContext.Response;
  res.status = 200;
  res.set_header("Content-Disposition", iAttachmentName.empty()
                                            ? std::string("inline")
                                            : "attachment; filename=\"" + SafeHeaderFileName(iAttachmentName) + "\"");
  if (size == 0)
    res.set_content("", ContentTypeForPath(iPath));
  else
    StreamBytes(iContext, std::move(file), 0, size, ContentTypeForPath(iPath));
  return true;
}

bool SendRangedFile(TWebContext& iContext, const std::string& iPath, const std::string& iFileName) {
  auto& res = iContext.Response;
  const bool hasRange = iContext.Request.has_header("Range");
  const std::string rangeHeader = hasRange ? iContext.Request.get_header_value("Range") : std::string();
  uint64_t size = 0;
  auto file = OpenRegularFile(iPath, size);
  if (!file) return false;
  const TByteRange range = ResolveByteRange(rangeHeader, size);
  if (range.Kind == brkSeveral) {
    res.status = 416;
    return true;
  }
  const std::string type = ContentTypeForPath(iPath);
  res.set_header("Accept-Ranges", "bytes");
  if (range.Kind == brkUnsatisfiable) {
    res.status = 416;
    res.set_header("Content-Range", "bytes */" + std::to_string(size));
    return true;
  }
  if (range.Kind == brkPartial) {
    res.status = 206;
    res.set_header("Content-Range", "bytes " + std::to_string(range.First) + "-" + std::to_string(range.Last) + "/" +
                                        std::to_string(size));
    StreamBytes(iContext, std::move(file), range.First, range.Last - range.First + 1, type);
    return true;
  }
  res.status = 200;
  if (!hasRange) res.set_header("Content-Disposition", "attachment; filename=\"" + SafeHeaderFileName(iFileName) + "\"");
  if (size == 0)
    res.set_content("", type);
  else
    StreamBytes(iContext, std::move(file), 0, size, type);
  return true;
}
