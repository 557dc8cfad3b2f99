#include "ui/FocusFlush.h"

#include <QEvent>
#include <QWidget>

void TFocusFlush::Watch(QWidget* iField) { iField->installEventFilter(this); }

bool TFocusFlush::eventFilter(QObject* iWatched, QEvent* iEvent) {
  if (iEvent->type() == QEvent::FocusOut && fFlush) fFlush();
  return QObject::eventFilter(iWatched, iEvent);
}
