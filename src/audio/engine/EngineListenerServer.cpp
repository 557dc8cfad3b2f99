#include "audio/engine/EngineListenerServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace vt::engine {
namespace {

using TClock = std::chrono::steady_clock;

constexpr auto kRequestTimeout = std::chrono::seconds(10);
constexpr size_t kMaxRequest = 8192;
// Kept small so that a listener that stops reading fills its own backlog soon
// and is dropped, instead of hiding in kernel buffers for minutes.
constexpr int kSendBuffer = 32 * 1024;

std::string Lower(std::string iText) {
  std::transform(iText.begin(), iText.end(), iText.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return iText;
}

std::string ContentTypeOf(const std::string& iStart) {
  if (iStart.starts_with("OggS")) return "application/ogg";
  if (iStart.starts_with("ID3")) return "audio/mpeg";
  if (iStart.size() >= 2 && uint8_t(iStart[0]) == 0xFF && (uint8_t(iStart[1]) & 0xE0) == 0xE0)
    return (uint8_t(iStart[1]) & 0x06) == 0 ? "audio/aac" : "audio/mpeg";  // layer bits 0: ADTS
  return "application/octet-stream";
}

std::string PeerAddress(const sockaddr_storage& iAddress) {
  char host[NI_MAXHOST], port[NI_MAXSERV];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&iAddress), sizeof iAddress, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "";
  std::string text = host;
  if (text.starts_with("::ffff:")) text.erase(0, 7);  // an IPv4 peer on a dual-stack socket
  return text.find(':') != std::string::npos ? "[" + text + "]:" + port : text + ":" + port;
}

}  // namespace

struct TListenerServer::TListener {
  TSocket fSocket;
  std::string fAddress;  // "ip:port"
  std::string fRequest;
  TClock::time_point fRequestDeadline;
  bool fAccepted = false;  // the request was read and allowed
  bool fStreaming = false;  // the reply head is queued; audio follows
  bool fMeta = false;
  bool fDrop = false;
  std::string fPending;  // queued for the socket
  size_t fUntilMeta = kMetaInterval;
  unsigned fTitleSerial = 0;  // of the title sent last
};

TListenerServer::TListenerServer(const TOptions& iOptions) : fOptions(iOptions) {}

TListenerServer::~TListenerServer() {
  Close();
  if (fWakeFd >= 0) ::close(fWakeFd);
}

std::shared_ptr<TListenerServer> TListenerServer::Listen(const std::string& iAddress, const TOptions& iOptions) {
  std::string host, port = iAddress;
  if (const auto colon = iAddress.rfind(':'); colon != std::string::npos) {
    host = iAddress.substr(0, colon);
    port = iAddress.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  }
  if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 ||
      std::stoi(port) > 65535)
    throw TNetError{BASS_ERROR_ILLPARAM};

  addrinfo hints{};
  hints.ai_family = host.empty() ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found) != 0)
    throw TNetError{BASS_ERROR_ILLPARAM};
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

  std::shared_ptr<TListenerServer> server(new TListenerServer(iOptions));
  int error = BASS_ERROR_ILLPARAM;
  for (addrinfo* a = found; a && !server->fListen.Valid(); a = a->ai_next) {
    TSocket socket(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!socket.Valid()) continue;
    const int one = 1, zero = 0;
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (a->ai_family == AF_INET6 && host.empty()) ::setsockopt(socket.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (::bind(socket.Fd(), a->ai_addr, a->ai_addrlen) != 0 || ::listen(socket.Fd(), SOMAXCONN) != 0) {
      error = errno == EADDRINUSE ? BASS_ERROR_ALREADY : BASS_ERROR_ILLPARAM;
      continue;
    }
    server->fListen = std::move(socket);
  }
  if (!server->fListen.Valid()) throw TNetError{error};
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ::getsockname(server->fListen.Fd(), reinterpret_cast<sockaddr*>(&bound), &length);
  server->fPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                    : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  server->fWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (server->fWakeFd < 0) throw TNetError{BASS_ERROR_MEM};
  server->fThread = std::thread([raw = server.get()] { raw->Run(); });
  return server;
}

size_t TListenerServer::ListenerCount() const {
  std::lock_guard lock(fLock);
  return size_t(std::count_if(fListeners.begin(), fListeners.end(), [](const auto& l) { return l->fStreaming; }));
}

void TListenerServer::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(fWakeFd, &one, sizeof one);
}

std::string TListenerServer::MetaBlock(TListener& ioListener) const {
  if (ioListener.fTitleSerial == fTitleSerial) return std::string(1, '\0');
  ioListener.fTitleSerial = fTitleSerial;
  std::string text = "StreamTitle='" + fTitle + "';";
  if (!fTitleUrl.empty()) text += "StreamUrl='" + fTitleUrl + "';";
  text.resize(std::min<size_t>(255 * 16, (text.size() + 15) / 16 * 16), '\0');
  return char(text.size() / 16) + text;
}

void TListenerServer::Append(TListener& ioListener, const uint8_t* iData, size_t iLength) {
  if (!ioListener.fMeta) {
    ioListener.fPending.append(reinterpret_cast<const char*>(iData), iLength);
  } else {
    while (iLength > 0) {
      const size_t n = std::min(iLength, ioListener.fUntilMeta);
      ioListener.fPending.append(reinterpret_cast<const char*>(iData), n);
      iData += n;
      iLength -= n;
      ioListener.fUntilMeta -= n;
      if (ioListener.fUntilMeta == 0) {
        ioListener.fPending += MetaBlock(ioListener);
        ioListener.fUntilMeta = kMetaInterval;
      }
    }
  }
  if (ioListener.fPending.size() > fOptions.fBuffer + 4096) ioListener.fDrop = true;
}

void TListenerServer::SendToListeners(const char* iData, size_t iLength) {
  for (auto& listener : fListeners)
    if (listener->fStreaming && !listener->fDrop) Append(*listener, reinterpret_cast<const uint8_t*>(iData), iLength);
}

void TListenerServer::DeliverOggPages(const char* iData, size_t iLength) {
  fOggPages.Feed(iData, iLength, [&](const char* iPage, size_t iPageLength, uint64_t iGranule) {
    if (!fOggHeadersDone && iGranule == 0 && fOggHeaders.size() + iPageLength <= kMaxOggHeaders) {
      fOggHeaders.append(iPage, iPageLength);
    } else {
      fOggHeadersDone = true;
      // The burst: the newest whole pages that fit (at least one).
      if (fBurst.size() + iPageLength > fOptions.fBurst) {
        size_t drop = 0;
        while (drop < fBurst.size() && fBurst.size() - drop + iPageLength > fOptions.fBurst) {
          const size_t next = fBurst.find("OggS", drop + 1);
          drop = next == std::string::npos ? fBurst.size() : next;
        }
        fBurst.erase(0, drop);
      }
      fBurst.append(iPage, iPageLength);
    }
    SendToListeners(iPage, iPageLength);
  });
}

void TListenerServer::Deliver(const void* iData, size_t iLength) {
  const auto* data = static_cast<const char*>(iData);
  {
    std::lock_guard lock(fLock);
    if (fContentType.empty()) {
      fContentType = ContentTypeOf(std::string(data, std::min<size_t>(iLength, 4)));
      fOgg = fContentType == "application/ogg";
    }
    if (fOgg) {
      DeliverOggPages(data, iLength);
    } else {
      fBurst.append(data, iLength);
      if (fBurst.size() > fOptions.fBurst) fBurst.erase(0, fBurst.size() - fOptions.fBurst);
      SendToListeners(data, iLength);
    }
  }
  Wake();
}

void TListenerServer::SetTitle(const std::string& iTitle, const std::string& iUrl) {
  std::lock_guard lock(fLock);
  fTitle = iTitle;
  fTitleUrl = iUrl;
  ++fTitleSerial;
}

bool TListenerServer::Kick(const std::string& iAddress) {
  bool kicked = false;
  {
    std::lock_guard lock(fLock);
    for (auto& listener : fListeners) {
      const std::string& a = listener->fAddress;
      if (iAddress.empty() || a == iAddress || (a.starts_with(iAddress) && a[iAddress.size()] == ':') ||
          (a.starts_with("[" + iAddress + "]:"))) {
        listener->fDrop = true;
        kicked = true;
      }
    }
  }
  Wake();
  return kicked;
}

void TListenerServer::Close() {
  if (fClosing.exchange(true)) return;
  if (fWakeFd >= 0) Wake();
  if (fThread.joinable()) fThread.join();
  std::lock_guard lock(fLock);
  fListeners.clear();
  fListen.Close();
}

void TListenerServer::Accept() {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    TSocket socket(::accept4(fListen.Fd(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!socket.Valid()) return;
    std::lock_guard lock(fLock);
    if (fListeners.size() >= kMaxListeners) {
      static const char kBusy[] = "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n\r\nServer full\r\n";
      [[maybe_unused]] const ssize_t n = ::send(socket.Fd(), kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      continue;
    }
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    auto listener = std::make_unique<TListener>();
    listener->fSocket = std::move(socket);
    listener->fAddress = PeerAddress(peer);
    listener->fRequestDeadline = TClock::now() + kRequestTimeout;
    fListeners.push_back(std::move(listener));
  }
}

// Runs with fLock held.
void TListenerServer::ReadRequest(TListener& ioListener) {
  char buffer[2048];
  const ssize_t n = ::recv(ioListener.fSocket.Fd(), buffer, sizeof buffer, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    ioListener.fDrop = true;
    return;
  }
  if (n < 0 || ioListener.fAccepted) return;  // after the request, whatever comes is dropped
  ioListener.fRequest.append(buffer, size_t(n));
  const auto end = ioListener.fRequest.find("\r\n\r\n") != std::string::npos ? ioListener.fRequest.find("\r\n\r\n")
                                                                              : ioListener.fRequest.find("\n\n");
  if (end == std::string::npos) {
    if (ioListener.fRequest.size() > kMaxRequest) ioListener.fDrop = true;
    return;
  }
  const std::string request = Lower(ioListener.fRequest.substr(0, end));
  ioListener.fRequest.clear();
  if (!request.starts_with("get ")) {
    ioListener.fPending = "HTTP/1.0 400 Bad Request\r\n\r\n";
    ioListener.fAccepted = true;
    ioListener.fDrop = true;  // after the reply is out
    return;
  }
  ioListener.fAccepted = true;
  // "icy-metadata: 1" (or without the blank) asks for titles.
  const auto meta = request.find("\nicy-metadata:");
  ioListener.fMeta = fOptions.fMeta && meta != std::string::npos &&
                     request.substr(meta + 14, request.find('\n', meta + 1) - meta - 14).find('1') != std::string::npos;
}

void TListenerServer::Run() {
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({fWakeFd, POLLIN, 0});
    fds.push_back({fListen.Fd(), POLLIN, 0});
    std::vector<TListener*> polled;
    std::vector<std::pair<std::string, bool>> callbacks;  // (address, connected) for the client callback
    {
      std::lock_guard lock(fLock);
      const auto now = TClock::now();
      // Listeners whose request is complete: the reply head, the burst, then the stream.
      for (auto& l : fListeners) {
        if (l->fAccepted && !l->fStreaming && !l->fDrop && !fContentType.empty()) {
          std::string head = "HTTP/1.0 200 OK\r\nContent-Type: " + fContentType +
                             "\r\nCache-Control: no-cache\r\nServer: Vantorel\r\n";
          if (l->fMeta) head += "icy-metaint:" + std::to_string(kMetaInterval) + "\r\n";
          l->fPending = head + "\r\n";
          l->fStreaming = true;
          if (fOgg) Append(*l, reinterpret_cast<const uint8_t*>(fOggHeaders.data()), fOggHeaders.size());
          Append(*l, reinterpret_cast<const uint8_t*>(fBurst.data()), fBurst.size());
          l->fDrop = false;  // the burst alone never drops a listener
        }
        if (!l->fAccepted && now > l->fRequestDeadline) l->fDrop = true;
      }
      std::erase_if(fListeners, [&](const auto& l) {
        // A refused request is dropped once its reply is out.
        const bool refusedAndSent = l->fDrop && !l->fStreaming && l->fAccepted && !l->fPending.empty();
        if (!l->fDrop || refusedAndSent) return false;
        if (l->fStreaming) callbacks.emplace_back(l->fAddress, false);
        return true;
      });
      for (auto& l : fListeners) {
        short events = POLLIN;
        if (!l->fPending.empty() && (l->fStreaming || l->fDrop)) events |= POLLOUT;
        fds.push_back({l->fSocket.Fd(), events, 0});
        polled.push_back(l.get());
      }
    }
    if (fOptions.fProc)
      for (const auto& [address, connected] : callbacks) fOptions.fProc(fOptions.fEncoder, FALSE, address.c_str(), nullptr, fOptions.fUser);
    if (fClosing.load(std::memory_order_acquire)) return;

    if (::poll(fds.data(), fds.size(), 500) < 0 && errno != EINTR) continue;
    if (fClosing.load(std::memory_order_acquire)) return;
    if (fds[0].revents & POLLIN) {
      uint64_t count;
      [[maybe_unused]] const ssize_t n = ::read(fWakeFd, &count, sizeof count);
    }
    if (fds[1].revents & POLLIN) Accept();

    std::vector<TListener*> asking;  // new requests for the client callback
    {
      std::lock_guard lock(fLock);
      for (size_t i = 0; i < polled.size(); ++i) {
        TListener& l = *polled[i];
        const short revents = fds[i + 2].revents;
        if (revents & (POLLERR | POLLNVAL)) {
          l.fDrop = true;
          continue;
        }
        if (revents & (POLLIN | POLLHUP)) {
          const bool wasAccepted = l.fAccepted;
          ReadRequest(l);
          if (!wasAccepted && l.fAccepted && !l.fDrop) asking.push_back(&l);
        }
        if ((revents & POLLOUT) && !l.fPending.empty()) {
          const ssize_t n = ::send(l.fSocket.Fd(), l.fPending.data(), l.fPending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
          if (n > 0)
            l.fPending.erase(0, size_t(n));
          else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            l.fDrop = true;
          if (l.fPending.empty() && !l.fStreaming && l.fAccepted) l.fDrop = true;  // a refusal went out
        }
      }
    }
    // The client callback may refuse a listener; it runs without the lock.
    if (fOptions.fProc) {
      for (TListener* l : asking) {
        std::string address;
        {
          std::lock_guard lock(fLock);
          address = l->fAddress;
        }
        char headers[1024] = "";
        const bool allowed = fOptions.fProc(fOptions.fEncoder, TRUE, address.c_str(), headers, fOptions.fUser);
        std::lock_guard lock(fLock);
        if (!allowed) {
          l->fPending = "HTTP/1.0 403 Forbidden\r\n\r\n";
          l->fDrop = true;
        }
      }
    }
  }
}

}  // namespace vt::engine
