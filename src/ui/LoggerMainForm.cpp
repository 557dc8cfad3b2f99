#include "ui/LoggerMainForm.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "controller/LoggerMain.h"
#include "shell/IniFile.h"
#include "shell/VantorelGlobals.h"

namespace {
void ShowLines(QPlainTextEdit* iEdit, const std::vector<std::string>& iLines) {
  QString text;
  for (const std::string& line : iLines) {
    if (!text.isEmpty()) text += '\n';
    text += QString::fromStdString(line);
  }
  if (iEdit->toPlainText() == text) return;
  iEdit->setPlainText(text);
  iEdit->verticalScrollBar()->setValue(iEdit->verticalScrollBar()->maximum());
}
}  // namespace

TLoggerMainForm::TLoggerMainForm(TLoggerMain& iController) : fController(iController) {
  setWindowTitle(QString::fromStdString(fController.Caption()));
  auto* tabs = new QTabWidget(this);
  memLog = new QPlainTextEdit(tabs);
  memLog->setReadOnly(true);
  memWebServerLog = new QPlainTextEdit(tabs);
  memWebServerLog->setReadOnly(true);
  tabs->addTab(memLog, "Messages");
  tabs->addTab(memWebServerLog, "Web Server");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs);
  resize(800, 500);
  fController.SetOnLogChanged([this] { RefreshLogs(); });
  RefreshLogs();
}

TLoggerMainForm::~TLoggerMainForm() { fController.SetOnLogChanged(nullptr); }

void TLoggerMainForm::RefreshLogs() {
  ShowLines(memLog, fController.MessageLogLines());
  ShowLines(memWebServerLog, fController.WebServerLogLines());
}

void TLoggerMainForm::Restore() {
  showNormal();
  raise();
  activateWindow();
}

void TLoggerMainForm::closeEvent(QCloseEvent* iEvent) {
  // Read at every attempt, so a hand edit of the file counts at the next close.
  if (fController.IniFile().ReadString("General", "CloseConfirmation", "on") != "off") {
    const auto answer = QMessageBox::question(this, kApplicationTitle, "Exit Quorvane Vantorel?",
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
      iEvent->ignore();
      return;
    }
  }
  iEvent->ignore();  // the event loop ends; the program closes the controller in order
  QCoreApplication::quit();
}
