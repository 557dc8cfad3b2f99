#pragma once
// The desktop window over the controller, for runs with a display: the caption,
// the message log and the web server log, and the close question. The slot
// tiles and the settings pages are not part of it yet.
#include <QWidget>

class QPlainTextEdit;
class QCloseEvent;
class TLoggerMain;

class TLoggerMainForm : public QWidget {
public:
  explicit TLoggerMainForm(TLoggerMain& iController);
  ~TLoggerMainForm() override;

  // The restore request of a second start.
  void Restore();

protected:
  void closeEvent(QCloseEvent* iEvent) override;

private:
  void RefreshLogs();

  TLoggerMain& fController;
  QPlainTextEdit* memLog = nullptr;
  QPlainTextEdit* memWebServerLog = nullptr;
};
