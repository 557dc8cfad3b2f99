#include "ui/LogView.h"

#include <QScrollBar>
#include <QTextBlock>

TLogView::TLogView(QWidget* iParent) : QPlainTextEdit(iParent) {
  setReadOnly(true);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void TLogView::ShowLines(const std::vector<std::string>& iLines) {
  QString text;
  for (const std::string& line : iLines) {
    if (!text.isEmpty()) text += '\n';
    text += QString::fromStdString(line);
  }
  if (toPlainText() != text) setPlainText(text);
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

int TLogView::LineCount() const { return toPlainText().isEmpty() ? 0 : blockCount(); }
