#include "web/SocketStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
constexpr size_t kGather = 64 * 1024;

void AddressText(const sockaddr_storage& iAddress, std::string& oIP, int& oPort) {
  char text[INET6_ADDRSTRLEN] = "";
  if (iAddress.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(iAddress);
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    oPort = ntohs(a.sin_port);
  } else if (iAddress.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(iAddress);
    ::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
    oPort = ntohs(a.sin6_port);
  }
  oIP = text;
}

// The library names status 500 "Internal Server Error"; our error replies
// are known to clients by the reason phrase "Error".
void RenameStatus500(std::string& ioReply) {
  static constexpr char kLibrary[] = "HTTP/1.1 500 Internal Server Error\r\n";
  static constexpr char kOurs[] = "HTTP/1.1 500 Error\r\n";
  if (ioReply.compare(0, sizeof kLibrary - 1, kLibrary) == 0) ioReply.replace(0, sizeof kLibrary - 1, kOurs);
}
}  // namespace

TSocketStream::TSocketStream(int iSocket, std::string iRequest, std::chrono::milliseconds iWriteTimeout)
    : fSocket(iSocket), fRequest(std::move(iRequest)), fWriteTimeout(iWriteTimeout) {}

bool TSocketStream::is_readable() const { return fReadPos < fRequest.size(); }

bool TSocketStream::is_writable() const {
  if (fFailed) return false;
  if (fOut.size() < kGather) return true;
  pollfd p{fSocket, POLLOUT, 0};
  return ::poll(&p, 1, static_cast<int>(fWriteTimeout.count())) == 1 && (p.revents & POLLOUT) != 0;
}

ssize_t TSocketStream::read(char* oData, size_t iSize) {
  const size_t n = std::min(iSize, fRequest.size() - fReadPos);
  std::memcpy(oData, fRequest.data() + fReadPos, n);
  fReadPos += n;
  return static_cast<ssize_t>(n);
}

ssize_t TSocketStream::write(const char* iData, size_t iSize) {
  if (fFailed) return -1;
  if (fStatusLineSeen && fOut.size() + iSize > kGather) {
    // a large body goes out from where it is, without a copy
    if (!Flush() || !SendAll(iData, iSize)) {
      fFailed = true;
      return -1;
    }
    return static_cast<ssize_t>(iSize);
  }
  fOut.append(iData, iSize);
  if (!fStatusLineSeen && fOut.find('\n') != std::string::npos) {
    fStatusLineSeen = true;
    RenameStatus500(fOut);
  }
  if (fOut.size() >= kGather && !Flush()) return -1;
  return static_cast<ssize_t>(iSize);
}

bool TSocketStream::Flush() {
  if (fFailed) return false;
  const bool ok = SendAll(fOut.data(), fOut.size());
  fOut.clear();
  if (!ok) fFailed = true;
  return ok;
}

bool TSocketStream::WriteReply(const std::string& iReply) {
  fStatusLineSeen = true;
  return SendAll(iReply.data(), iReply.size());
}

bool TSocketStream::SendAll(const char* iData, size_t iSize) {
  while (iSize > 0) {
    const ssize_t n = ::send(fSocket, iData, iSize, MSG_NOSIGNAL);
    if (n > 0) {
      iData += n;
      iSize -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fSocket, POLLOUT, 0};
      const int r = ::poll(&p, 1, static_cast<int>(fWriteTimeout.count()));
      if (r < 0 && errno == EINTR) continue;
      if (r != 1 || (p.revents & (POLLERR | POLLHUP)) != 0) return false;  // no progress in time, or gone
      continue;
    }
    return false;
  }
  return true;
}

void TSocketStream::get_remote_ip_and_port(std::string& oIP, int& oPort) const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  oIP.clear();
  oPort = 0;
  if (::getpeername(fSocket, reinterpret_cast<sockaddr*>(&address), &length) == 0) AddressText(address, oIP, oPort);
}

void TSocketStream::get_local_ip_and_port(std::string& oIP, int& oPort) const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  oIP.clear();
  oPort = 0;
  if (::getsockname(fSocket, reinterpret_cast<sockaddr*>(&address), &length) == 0) AddressText(address, oIP, oPort);
}
