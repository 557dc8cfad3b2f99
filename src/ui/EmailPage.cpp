#include "ui/EmailPage.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "controller/LoggerMain.h"
#include "shell/VantorelGlobals.h"
#include "ui/FocusFlush.h"

TEmailPage::TEmailPage(TLoggerMain& iController, TFocusFlush& iFlush, QWidget* iParent)
    : QWidget(iParent), fController(iController) {
  const TEmailSettings& settings = fController.EmailSettings();
  auto* group = new QGroupBox("E-Mail Settings", this);
  auto* form = new QFormLayout(group);
  auto edit = [&](const char* iName, const std::string& iText, bool iMasked) {
    auto* e = new QLineEdit(QString::fromStdString(iText), group);
    e->setObjectName(iName);
    if (iMasked) e->setEchoMode(QLineEdit::Password);
    iFlush.Watch(e);
    return e;
  };
  edEMailSMTPServer = edit("edEMailSMTPServer", settings.SMTPServer, false);
  edEMailSMTPPort = edit("edEMailSMTPPort", settings.SMTPPort, false);
  cbEmailEncryption = new QComboBox(group);
  cbEmailEncryption->setObjectName("cbEmailEncryption");
  cbEmailEncryption->addItems({"none", "STARTTLS", "SSL"});
  cbEmailEncryption->setCurrentIndex(static_cast<int>(settings.Encryption));
  edEmailUser = edit("edEmailUser", settings.User, false);
  edEmailPassword = edit("edEmailPassword", settings.Password, true);
  edEMailFromAddress = edit("edEMailFromAddress", settings.FromAddress, false);
  edEMailRecipients = edit("edEMailRecipients", settings.Receipients, false);
  btnSendTestEmail = new QPushButton("Send Test E-Mail", group);
  form->addRow("SMTP server:", edEMailSMTPServer);
  form->addRow("Port:", edEMailSMTPPort);
  form->addRow("Encryption:", cbEmailEncryption);
  form->addRow("Auth User:", edEmailUser);
  form->addRow("Password:", edEmailPassword);
  form->addRow("From address:", edEMailFromAddress);
  form->addRow("Recipients:", edEMailRecipients);
  form->addRow("", btnSendTestEmail);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addStretch();

  TLoggerMain* c = &fController;
  auto bind = [this, c](QLineEdit* iEdit, std::string TEmailSettings::*iField) {
    connect(iEdit, &QLineEdit::textEdited, this,
            [c, iField](const QString& t) { c->EditEmailSettings().*iField = t.toStdString(); });
  };
  bind(edEMailSMTPServer, &TEmailSettings::SMTPServer);
  bind(edEMailSMTPPort, &TEmailSettings::SMTPPort);
  bind(edEmailUser, &TEmailSettings::User);
  bind(edEmailPassword, &TEmailSettings::Password);
  bind(edEMailFromAddress, &TEmailSettings::FromAddress);
  bind(edEMailRecipients, &TEmailSettings::Receipients);
  connect(cbEmailEncryption, &QComboBox::activated, this,
          [c](int i) { c->EditEmailSettings().Encryption = static_cast<TEmailEncryption>(i); });
  connect(btnSendTestEmail, &QPushButton::clicked, this, [this] { SendTestEmail(); });

  OnTestResult = [this](bool iSent, const std::string& iText) {
    if (iSent) {
      QMessageBox::information(this, kApplicationTitle, QString::fromStdString(iText));
    } else {
      QMessageBox::critical(this, kApplicationTitle, QString::fromStdString(iText));
    }
  };
}

void TEmailPage::SendTestEmail() {
  // One test at a time; the button comes back with the answer.
  btnSendTestEmail->setEnabled(false);
  QPointer<TEmailPage> self(this);
  fController.SendTestEmail(fController.EmailSettings(), [self](bool iSent, const std::string& iText) {
    if (!self) return;
    self->btnSendTestEmail->setEnabled(true);
    if (self->OnTestResult) self->OnTestResult(iSent, iText);
  });
}
