#pragma once
// A client on a plain socket, for requests that an HTTP client library would
// not send (slow ones, odd methods and headers), from a chosen loopback
// address (any of 127.0.0.0/8 reaches the server and counts as another client).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

class TRawClient {
public:
  explicit TRawClient(int iPort, const char* iFrom = "127.0.0.1") : fSocket(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, iFrom, &from.sin_addr);
    ::bind(fSocket, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(iPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Connected = ::connect(fSocket, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  }
  ~TRawClient() { ::close(fSocket); }
  TRawClient(const TRawClient&) = delete;
  TRawClient& operator=(const TRawClient&) = delete;

  bool Connected = false;

  bool Send(const std::string& iText) {
    return ::send(fSocket, iText.data(), iText.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(iText.size());
  }
  // Reads until the server closes or iTimeout passes; Closed tells which.
  std::string Receive(std::chrono::milliseconds iTimeout) {
    std::string result;
    const auto end = std::chrono::steady_clock::now() + iTimeout;
    Closed = false;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return result;
      pollfd p{fSocket, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) != 1) continue;
      char buffer[65536];
      const ssize_t n = ::recv(fSocket, buffer, sizeof buffer, 0);
      if (n <= 0) {
        Closed = true;
        return result;
      }
      result.append(buffer, static_cast<size_t>(n));
    }
  }
  // The whole exchange: the request, then the reply up to the server's close.
  std::string Exchange(const std::string& iRequest, std::chrono::milliseconds iTimeout = std::chrono::seconds(10)) {
    Send(iRequest);
    return Receive(iTimeout);
  }
  bool Closed = false;

private:
  int fSocket;
};

// The status code of a raw reply, 0 when there is none.
inline int RawStatus(const std::string& iReply) {
  if (iReply.compare(0, 9, "HTTP/1.1 ") != 0 || iReply.size() < 12) return 0;
  return std::stoi(iReply.substr(9, 3));
}
