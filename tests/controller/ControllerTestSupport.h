#pragma once
// What the controller tests share: the one Qt application object of the test
// process, and running its event loop until a condition holds.
#include <QCoreApplication>
#include <QEventLoop>

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
