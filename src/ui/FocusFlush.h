#pragma once
// Saves the global settings whenever the keyboard focus leaves one of the
// watched fields, so an edit reaches the settings file without a separate
// save step (a logger runs for months; a crash must not lose the settings).
#include <QObject>

#include <functional>

class TFocusFlush : public QObject {
public:
  TFocusFlush(std::function<void()> iFlush, QObject* iParent) : QObject(iParent), fFlush(std::move(iFlush)) {}
  void Watch(QWidget* iField);
  // No more saving: the window that owns the fields is being taken down, and
  // the focus leaving a field then must not call into what is half destroyed.
  void Disarm() { fFlush = nullptr; }

protected:
  bool eventFilter(QObject* iWatched, QEvent* iEvent) override;

private:
  std::function<void()> fFlush;
};
