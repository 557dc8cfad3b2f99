#include "web/ConnectionAcceptor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace {
using TClock = std::chrono::steady_clock;
constexpr auto kSweepInterval = std::chrono::milliseconds(100);

const char* StatusText(int iStatus) {
  switch (iStatus) {
    case 400: return "Bad Request";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

// The client address alone: the key of the per-address limit.
std::string PeerAddress(const sockaddr_storage& iAddress) {
  char text[INET6_ADDRSTRLEN] = "";
  if (iAddress.ss_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(iAddress).sin_addr, text, sizeof text);
  else if (iAddress.ss_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(iAddress).sin6_addr, text, sizeof text);
  return text;
}

void SendSome(int iSocket, const std::string& iText) {
  // best effort on a fresh socket: a short reply fits its send buffer
  (void)::send(iSocket, iText.data(), iText.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Ends a connection so that the reply already sent arrives: what the client
// sent and nobody read would make the close a reset that may overtake it.
void CloseGracefully(int iSocket) {
  ::shutdown(iSocket, SHUT_WR);
  char sink[4096];
  for (int i = 0; i < 16 && ::recv(iSocket, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
  }
  ::close(iSocket);
}
}  // namespace

TConnectionAcceptor::TConnectionAcceptor(int iListenSocket, const TAcceptorLimits& iLimits, TServe iServe)
    : fListenSocket(iListenSocket),
      fLimits(iLimits),
      fServe(std::move(iServe)),
      fOpen(std::make_shared<TConnectionLimits>(iLimits.MaxOpen, iLimits.MaxPerAddress)),
      fWorkers(iLimits.MaxServed) {
  fEpoll = ::epoll_create1(EPOLL_CLOEXEC);
  fWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fEpoll < 0 || fWake < 0) {
    if (fEpoll >= 0) ::close(fEpoll);
    if (fWake >= 0) ::close(fWake);
    ::close(fListenSocket);
    throw std::system_error(errno, std::generic_category(), "web server event loop");
  }
  ::fcntl(fListenSocket, F_SETFL, ::fcntl(fListenSocket, F_GETFL) | O_NONBLOCK);
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.fd = fListenSocket;
  ::epoll_ctl(fEpoll, EPOLL_CTL_ADD, fListenSocket, &e);
  e.data.fd = fWake;
  ::epoll_ctl(fEpoll, EPOLL_CTL_ADD, fWake, &e);
}

TConnectionAcceptor::~TConnectionAcceptor() {
  fWorkers.Shutdown();
  for (auto& [socket, connection] : fReading) {
    ::close(socket);
    fOpen->Close(connection.Address);
  }
  if (fListenSocket >= 0) ::close(fListenSocket);
  ::close(fEpoll);
  ::close(fWake);
}

void TConnectionAcceptor::RequestStop() {
  fStop = true;
  const uint64_t one = 1;
  (void)!::write(fWake, &one, sizeof one);
}

void TConnectionAcceptor::WaitServed(const std::function<void(const std::function<bool()>&)>& iWait) {
  fWorkers.Shutdown(iWait);
}

void TConnectionAcceptor::Run() {
  std::vector<epoll_event> events(64);
  auto nextSweep = TClock::now() + kSweepInterval;
  while (!fStop) {
    const int n = ::epoll_wait(fEpoll, events.data(), static_cast<int>(events.size()),
                               static_cast<int>(kSweepInterval.count()));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n && !fStop; ++i) {
      const int fd = events[static_cast<size_t>(i)].data.fd;
      if (fd == fListenSocket)
        AcceptAll();
      else if (fd != fWake)
        ReadFrom(fd);
    }
    if (TClock::now() >= nextSweep) {
      ExpireDeadlines();
      nextSweep = TClock::now() + kSweepInterval;
    }
  }
  // stop listening at once (the port is free again); connections not yet
  // read whole are dropped
  ::epoll_ctl(fEpoll, EPOLL_CTL_DEL, fListenSocket, nullptr);
  ::close(fListenSocket);
  fListenSocket = -1;
  for (auto& [socket, connection] : fReading) {
    ::close(socket);
    fOpen->Close(connection.Address);
  }
  fReading.clear();
}

void TConnectionAcceptor::AcceptAll() {
  for (;;) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int s = ::accept4(fListenSocket, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // EAGAIN, or out of descriptors: try again at the next event
    }
    TConnection connection;
    connection.Socket = s;
    connection.Address = PeerAddress(address);
    if (!fOpen->TryOpen(connection.Address)) {
      Refuse(s, 503);
      continue;
    }
    const int yes = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);  // replies go out in few large sends
    connection.Deadline = TClock::now() + fLimits.HeaderTimeout;
    connection.Framing = std::make_unique<TRequestFraming>(fLimits.MaxHeaderBytes, fLimits.MaxBodyBytes);
    fReading.emplace(s, std::move(connection));
    // the request is often there already: then it never needs watching
    ReadFrom(s);
    const auto it = fReading.find(s);
    if (it == fReading.end()) continue;
    epoll_event e{};
    e.events = EPOLLIN | EPOLLRDHUP;
    e.data.fd = s;
    if (::epoll_ctl(fEpoll, EPOLL_CTL_ADD, s, &e) != 0) {
      Drop(s);
      continue;
    }
    it->second.Watched = true;
  }
}

void TConnectionAcceptor::Unwatch(const TConnection& iConnection) {
  if (iConnection.Watched) ::epoll_ctl(fEpoll, EPOLL_CTL_DEL, iConnection.Socket, nullptr);
}

void TConnectionAcceptor::ReadFrom(int iSocket) {
  const auto it = fReading.find(iSocket);
  if (it == fReading.end()) return;
  TConnection& c = it->second;
  char buffer[16 * 1024];
  for (;;) {
    const ssize_t n = ::recv(iSocket, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // more later
    if (n <= 0) {
      Drop(iSocket);  // the client went before its request was whole
      return;
    }
    const auto before = c.Framing->State();
    const auto state = c.Framing->Feed(buffer, static_cast<size_t>(n));
    if (state == TRequestFraming::rfFailed) {
      const int status = c.Framing->FailureStatus();
      const std::string address = c.Address;
      Unwatch(c);
      fReading.erase(it);
      fOpen->Close(address);
      Refuse(iSocket, status);
      return;
    }
    if (before == TRequestFraming::rfHeaders && state != TRequestFraming::rfHeaders) {
      // the header block is whole: the body gets a time by its size
      const auto bodyTime = std::chrono::milliseconds(c.Framing->BodyBound() * 1000 / fLimits.MinBodyBytesPerSecond);
      c.Deadline = TClock::now() + fLimits.BodyTimeout + bodyTime;
      if (state == TRequestFraming::rfBody && c.Framing->WantsContinue() && !c.ContinueSent) {
        c.ContinueSent = true;
        SendSome(iSocket, "HTTP/1.1 100 Continue\r\n\r\n");
      }
    }
    if (state == TRequestFraming::rfComplete) {
      Unwatch(c);
      TConnection whole = std::move(c);
      fReading.erase(it);
      Dispatch(std::move(whole));
      return;
    }
  }
}

void TConnectionAcceptor::Dispatch(TConnection iConnection) {
  const int s = iConnection.Socket;
  const std::string address = iConnection.Address;
  auto open = fOpen;
  auto framing = std::shared_ptr<TRequestFraming>(std::move(iConnection.Framing));
  const TServe& serve = fServe;
  const bool taken = fWorkers.TryRun([s, address, open, framing, &serve] {
    try {
      serve(s, *framing);
    } catch (...) {
    }
    ::shutdown(s, SHUT_RDWR);
    ::close(s);
    open->Close(address);
  });
  if (!taken) {
    fOpen->Close(address);
    Refuse(s, 503);
  }
}

void TConnectionAcceptor::ExpireDeadlines() {
  const auto now = TClock::now();
  std::vector<int> late;
  for (const auto& [socket, connection] : fReading)
    if (connection.Deadline <= now) late.push_back(socket);
  for (int s : late) {
    const auto it = fReading.find(s);
    const std::string address = it->second.Address;
    Unwatch(it->second);
    fReading.erase(it);
    fOpen->Close(address);
    Refuse(s, 408);
  }
}

void TConnectionAcceptor::Refuse(int iSocket, int iStatus) {
  const std::string body = iStatus == 503 ? "Server busy" : StatusText(iStatus);
  SendSome(iSocket, "HTTP/1.1 " + std::to_string(iStatus) + " " + StatusText(iStatus) +
                        "\r\nConnection: close\r\nContent-Type: text/plain\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body);
  CloseGracefully(iSocket);
}

void TConnectionAcceptor::Drop(int iSocket) {
  const auto it = fReading.find(iSocket);
  if (it == fReading.end()) return;
  const std::string address = it->second.Address;
  Unwatch(it->second);
  fReading.erase(it);
  ::close(iSocket);
  fOpen->Close(address);
}
