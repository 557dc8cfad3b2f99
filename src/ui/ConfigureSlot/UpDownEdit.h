#pragma once
// A number edit with an up-down beside it. The up-down's position is the
// value: typing a whole number moves it there, limited to the range; other
// text leaves it where it was. Leaving the edit shows the position again, so
// what the user sees is what OK stores.
#include <QWidget>

class QLineEdit;
class QToolButton;

class TUpDownEdit : public QWidget {
public:
  TUpDownEdit(int iMin, int iMax, int iStep, QWidget* iParent = nullptr);

  int Position() const { return fPosition; }
  void SetPosition(int iValue);  // limited to the range; the edit shows it
  QLineEdit* Edit() const { return fEdit; }

private:
  void TextEdited(const QString& iText);
  void Step(int iDirection);

  const int fMin, fMax, fStep;
  int fPosition = 0;
  QLineEdit* fEdit = nullptr;
};
