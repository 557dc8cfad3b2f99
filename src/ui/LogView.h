#pragma once
// A read-only log control that mirrors one of the controller's logs (which
// keeps only its newest lines) and stays scrolled to the last line.
#include <QPlainTextEdit>

#include <string>
#include <vector>

class TLogView : public QPlainTextEdit {
public:
  explicit TLogView(QWidget* iParent = nullptr);
  void ShowLines(const std::vector<std::string>& iLines);
  int LineCount() const;
};
