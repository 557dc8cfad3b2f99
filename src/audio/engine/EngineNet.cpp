#include "audio/engine/EngineNet.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "audio/engine/Engine.h"

namespace vt::engine {
namespace {

int MillisecondsLeft(TDeadline iDeadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(iDeadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : int(std::min<long long>(left.count(), 1000 * 1000));
}

}  // namespace

short WaitFd(int iFd, short iEvents, TDeadline iDeadline, const std::atomic<bool>* iCancel) {
  for (;;) {
    if (iCancel && iCancel->load(std::memory_order_acquire)) return 0;
    int left = MillisecondsLeft(iDeadline);
    if (left == 0) return 0;
    if (iCancel) left = std::min(left, 100);
    pollfd pfd{iFd, iEvents, 0};
    const int ready = ::poll(&pfd, 1, left);
    if (ready > 0) return pfd.revents;
    if (ready < 0 && errno != EINTR) return POLLERR;
  }
}

TSocket& TSocket::operator=(TSocket&& iOther) noexcept {
  if (this != &iOther) {
    Close();
    fFd = iOther.Release();
  }
  return *this;
}

void TSocket::Close() {
  if (fFd >= 0) ::close(fFd);
  fFd = -1;
}

TSocket ConnectTo(const std::string& iHost, int iPort, TDeadline iDeadline, const std::atomic<bool>* iCancel) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(iPort);
  if (iPort <= 0 || iPort > 65535 || ::getaddrinfo(iHost.empty() ? "127.0.0.1" : iHost.c_str(), port.c_str(), &hints, &found) != 0)
    throw TNetError{BASS_ERROR_FILEOPEN};
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
  bool timedOut = false;
  for (addrinfo* a = found; a; a = a->ai_next) {
    TSocket socket(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!socket.Valid()) continue;
    if (::connect(socket.Fd(), a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) continue;
      if (WaitFd(socket.Fd(), POLLOUT, iDeadline, iCancel) == 0) {
        timedOut = true;
        break;
      }
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(socket.Fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) continue;
    }
    const int one = 1;
    ::setsockopt(socket.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return socket;
  }
  throw TNetError{timedOut ? BASS_ERROR_TIMEOUT : BASS_ERROR_FILEOPEN};
}

bool SendAll(int iFd, const void* iData, size_t iLength, TDeadline iDeadline, const std::atomic<bool>* iCancel) {
  const auto* p = static_cast<const char*>(iData);
  while (iLength > 0) {
    const ssize_t n = ::send(iFd, p, iLength, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      iLength -= size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const short events = WaitFd(iFd, POLLOUT, iDeadline, iCancel);
      if (events == 0 || (events & (POLLERR | POLLHUP))) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool SendAll(int iFd, const std::string& iText, TDeadline iDeadline, const std::atomic<bool>* iCancel) {
  return SendAll(iFd, iText.data(), iText.size(), iDeadline, iCancel);
}

std::string ReadHead(int iFd, TDeadline iDeadline, bool& oTimedOut, const std::atomic<bool>* iCancel, size_t iMaxBytes) {
  oTimedOut = false;
  std::string head;
  while (head.size() < iMaxBytes && !head.ends_with("\r\n\r\n") && !head.ends_with("\n\n")) {
    char c;
    const ssize_t n = ::recv(iFd, &c, 1, MSG_DONTWAIT);
    if (n == 1) {
      head += c;
      continue;
    }
    if (n == 0) break;  // closed
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;
    if (WaitFd(iFd, POLLIN, iDeadline, iCancel) == 0) {
      oTimedOut = MillisecondsLeft(iDeadline) == 0;
      break;
    }
  }
  return head;
}

std::string ReadRest(int iFd, TDeadline iDeadline, size_t iMaxBytes) {
  std::string text;
  char buffer[512];
  while (text.size() < iMaxBytes) {
    const ssize_t n = ::recv(iFd, buffer, std::min(sizeof buffer, iMaxBytes - text.size()), MSG_DONTWAIT);
    if (n > 0) {
      text.append(buffer, size_t(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
    if (WaitFd(iFd, POLLIN, iDeadline) == 0) break;
  }
  return text;
}

std::string Base64(const std::string& iBytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < iBytes.size(); i += 3) {
    const unsigned v = unsigned(uint8_t(iBytes[i])) << 16 | unsigned(uint8_t(iBytes[i + 1])) << 8 | uint8_t(iBytes[i + 2]);
    out += {kDigits[v >> 18], kDigits[(v >> 12) & 63], kDigits[(v >> 6) & 63], kDigits[v & 63]};
  }
  if (i + 1 == iBytes.size()) {
    const unsigned v = unsigned(uint8_t(iBytes[i])) << 16;
    out += {kDigits[v >> 18], kDigits[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == iBytes.size()) {
    const unsigned v = unsigned(uint8_t(iBytes[i])) << 16 | unsigned(uint8_t(iBytes[i + 1])) << 8;
    out += {kDigits[v >> 18], kDigits[(v >> 12) & 63], kDigits[(v >> 6) & 63], '='};
  }
  return out;
}

std::string UrlEncode(const std::string& iText) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : iText) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~')
      out += char(c);
    else
      out += {'%', kHex[c >> 4], kHex[c & 15]};
  }
  return out;
}

}  // namespace vt::engine
