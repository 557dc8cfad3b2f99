#include "ui/ConfigureSlot/UpDownEdit.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

TUpDownEdit::TUpDownEdit(int iMin, int iMax, int iStep, QWidget* iParent)
    : QWidget(iParent), fMin(iMin), fMax(iMax), fStep(iStep), fPosition(iMin) {
  fEdit = new QLineEdit(this);
  auto* up = new QToolButton(this);
  auto* down = new QToolButton(this);
  up->setArrowType(Qt::UpArrow);
  down->setArrowType(Qt::DownArrow);
  up->setAutoRepeat(true);
  down->setAutoRepeat(true);
  up->setFixedHeight(12);
  down->setFixedHeight(12);
  auto* buttons = new QVBoxLayout;
  buttons->setContentsMargins(0, 0, 0, 0);
  buttons->setSpacing(0);
  buttons->addWidget(up);
  buttons->addWidget(down);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(1);
  layout->addWidget(fEdit);
  layout->addLayout(buttons);
  connect(fEdit, &QLineEdit::textEdited, this, [this](const QString& t) { TextEdited(t); });
  connect(fEdit, &QLineEdit::editingFinished, this, [this] { fEdit->setText(QString::number(fPosition)); });
  connect(up, &QToolButton::clicked, this, [this] { Step(+1); });
  connect(down, &QToolButton::clicked, this, [this] { Step(-1); });
  SetPosition(iMin);
}

void TUpDownEdit::SetPosition(int iValue) {
  fPosition = std::clamp(iValue, fMin, fMax);
  fEdit->setText(QString::number(fPosition));
}

void TUpDownEdit::TextEdited(const QString& iText) {
  bool ok = false;
  // Beyond the 32-bit range still counts as a whole number, at the nearest bound.
  const qlonglong value = iText.trimmed().toLongLong(&ok);
  if (ok) fPosition = int(std::clamp<qlonglong>(value, fMin, fMax));
}

void TUpDownEdit::Step(int iDirection) { SetPosition(fPosition + iDirection * fStep); }
