#pragma once
// A stand-in for systemd's notification socket: a datagram socket in a
// temporary folder whose messages the test reads as they came.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

class TNotifySocket {
public:
  explicit TNotifySocket(const std::string& iPath) : fPath(iPath) {
    fFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (iPath.size() >= sizeof(addr.sun_path)) throw std::runtime_error("socket path too long");
    std::strcpy(addr.sun_path, iPath.c_str());
    ::unlink(iPath.c_str());
    if (::bind(fFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) throw std::runtime_error("bind failed");
  }
  ~TNotifySocket() {
    ::close(fFd);
    ::unlink(fPath.c_str());
  }
  TNotifySocket(const TNotifySocket&) = delete;
  TNotifySocket& operator=(const TNotifySocket&) = delete;
  const std::string& Path() const { return fPath; }

  // The messages that arrived within iWaitMs (all that are there at once for 0).
  std::vector<std::string> Read(int iWaitMs = 0) {
    std::vector<std::string> messages;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(iWaitMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{fFd, POLLIN, 0};
      if (::poll(&p, 1, std::max<int>(0, static_cast<int>(left.count()))) <= 0) break;
      char buffer[4096];
      const ssize_t n = ::recv(fFd, buffer, sizeof buffer, 0);
      if (n > 0) messages.emplace_back(buffer, static_cast<size_t>(n));
    }
    return messages;
  }
  // Reads until a message containing iPart arrived (within iWaitMs); it is
  // returned, and fSeen holds everything read on the way.
  std::string WaitFor(const std::string& iPart, int iWaitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(iWaitMs);
    while (std::chrono::steady_clock::now() < end) {
      for (const std::string& m : Read(50)) {
        fSeen.push_back(m);
        if (m.find(iPart) != std::string::npos) return m;
      }
    }
    return "";
  }
  std::vector<std::string> fSeen;

private:
  std::string fPath;
  int fFd = -1;
};
