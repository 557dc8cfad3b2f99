#pragma once
// Answering the modal windows that the code under test opens (message boxes,
// the slot dialog itself when it runs through the window's entry).
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>

#include "UiTestSupport.h"

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
