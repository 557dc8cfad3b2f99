#pragma once
// What the window tests share: one Qt widget application on the offscreen
// platform, running the event loop until a condition holds, and answering the
// modal windows that the code under test opens (message boxes, the dialog
// itself when it is run through its entry).
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>

inline QApplication& App() {
  static int argc = 1;
  static char name[] = "test_ui";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

// Runs the event loop until iDone() holds (bounded).
inline bool RunUntil(const std::function<bool()>& iDone, int iTimeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
  while (!iDone()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Once a modal window of type T is the active one, runs iAction on it (once).
// Call before the code that opens the window; the watch ends after iAction or
// after iTimeoutMs.
template <class T>
void WhenModal(std::function<void(T&)> iAction, int iTimeoutMs = 20000) {
  auto* timer = new QTimer(&App());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, iAction, deadline] {
    if (auto* window = dynamic_cast<T*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      iAction(*window);
    } else if (std::chrono::steady_clock::now() > deadline) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(10);
}

// Answers the next message box with its default button and keeps its text.
inline void AnswerNextMessageBox(std::string& oText) {
  WhenModal<QMessageBox>([&oText](QMessageBox& iBox) {
    oText = iBox.text().toStdString();
    iBox.accept();
  });
}
