#pragma once
// The "E-Mail" tab: the SMTP account of the alarm mails and "Send Test E-Mail".
// The test mail goes out on the mail thread; the window keeps running and
// shows the result when it arrives.
#include <QWidget>

#include <functional>
#include <string>

class QComboBox;
class QLineEdit;
class QPushButton;
class TFocusFlush;
class TLoggerMain;

class TEmailPage : public QWidget {
public:
  TEmailPage(TLoggerMain& iController, TFocusFlush& iFlush, QWidget* iParent = nullptr);

  void SendTestEmail();

  QLineEdit* edEMailSMTPServer = nullptr;
  QLineEdit* edEMailSMTPPort = nullptr;
  QComboBox* cbEmailEncryption = nullptr;
  QLineEdit* edEmailUser = nullptr;
  QLineEdit* edEmailPassword = nullptr;
  QLineEdit* edEMailFromAddress = nullptr;
  QLineEdit* edEMailRecipients = nullptr;
  QPushButton* btnSendTestEmail = nullptr;

  // Shows the result to the user; tests replace it.
  std::function<void(bool iSent, const std::string& iText)> OnTestResult;

private:
  TLoggerMain& fController;
};
