#pragma once
// What the controller tests share: the one Qt application object of the test
// process, running its event loop until a condition holds, and a mail server
// that never answers.
#include <QCoreApplication>
#include <QEventLoop>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>

inline QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "test_controller";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

// Runs the event loop until iDone() holds (bounded).
inline bool RunUntil(const std::function<bool()>& iDone, int iTimeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
  while (!iDone()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// A server that accepts connections (the kernel does) and never says a word.
class TSilentServer {
public:
  TSilentServer() {
    fSocket = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fSocket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    listen(fSocket, 8);
    socklen_t len = sizeof(addr);
    getsockname(fSocket, reinterpret_cast<sockaddr*>(&addr), &len);
    fPort = ntohs(addr.sin_port);
  }
  ~TSilentServer() { close(fSocket); }
  int Port() const { return fPort; }

private:
  int fSocket = -1;
  int fPort = 0;
};
