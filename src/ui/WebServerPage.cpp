#include "ui/WebServerPage.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "controller/LoggerMain.h"
#include "shell/VantorelGlobals.h"
#include "ui/FocusFlush.h"
#include "ui/LogView.h"
#include "web/PasswordHash.h"

int AnonymousAccessIndex(const std::string& iStored) {
  if (iStored == "Admin") return 1;
  if (iStored == "ReadOnly") return 2;
  return 0;
}

const char* AnonymousAccessValue(int iIndex) {
  switch (iIndex) {
    case 1:
      return "Admin";
    case 2:
      return "ReadOnly";
    default:
      return "none";
  }
}

TWebServerPage::TWebServerPage(TLoggerMain& iController, TFocusFlush& iFlush, QWidget* iParent)
    : QWidget(iParent), fController(iController) {
  TWebServerSettings& settings = fController.EditWebServerSettings();
  auto* group = new QGroupBox("Settings", this);
  auto* form = new QFormLayout;
  auto edit = [&](const char* iName, const std::string& iText, bool iMasked) {
    auto* e = new QLineEdit(QString::fromStdString(iText), group);
    e->setObjectName(iName);
    if (iMasked) e->setEchoMode(QLineEdit::Password);
    iFlush.Watch(e);
    return e;
  };
  edWebServerPort = edit("edWebServerPort", settings.Port, false);
  edWebServerAdminUser = edit("edWebServerAdminUser", settings.AdminUser, false);
  // The fields show the stored hashes, masked; typing replaces the hash.
  edWebServerAdminPassword = edit("edWebServerAdminPassword", settings.AdminPasswordHash, true);
  edWebServerReadOnlyUser = edit("edWebServerReadOnlyUser", settings.ReadOnlyUser, false);
  edWebServerReadOnlyPassword = edit("edWebServerReadOnlyPassword", settings.ReadOnlyPasswordHash, true);
  cbAnonymousAccess = new QComboBox(group);
  cbAnonymousAccess->setObjectName("cbAnonymousAccess");
  cbAnonymousAccess->addItems({"none", "admin", "read-only"});
  cbAnonymousAccess->setCurrentIndex(AnonymousAccessIndex(settings.AnonymousAccess));
  iFlush.Watch(cbAnonymousAccess);
  form->addRow("Port:", edWebServerPort);
  form->addRow("Admin user:", edWebServerAdminUser);
  form->addRow("Password:", edWebServerAdminPassword);
  form->addRow("Read-only user:", edWebServerReadOnlyUser);
  form->addRow("Password:", edWebServerReadOnlyPassword);
  form->addRow("Anonymous access:", cbAnonymousAccess);
  btnStartServer = new QPushButton("Start Server", group);
  btnStopServer = new QPushButton("Stop Server", group);
  btnStopServer->setEnabled(false);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(btnStartServer);
  buttons->addWidget(btnStopServer);
  buttons->addStretch();
  auto* groupLayout = new QVBoxLayout(group);
  groupLayout->addLayout(form);
  groupLayout->addLayout(buttons);

  memWebServerLog = new TLogView(this);
  memWebServerLog->setObjectName("memWebServerLog");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(memWebServerLog, 1);

  TLoggerMain* c = &fController;
  connect(edWebServerPort, &QLineEdit::textEdited, this,
          [c](const QString& t) { c->EditWebServerSettings().Port = t.toStdString(); });
  connect(edWebServerAdminUser, &QLineEdit::textEdited, this,
          [c](const QString& t) { c->EditWebServerSettings().AdminUser = t.toStdString(); });
  connect(edWebServerReadOnlyUser, &QLineEdit::textEdited, this,
          [c](const QString& t) { c->EditWebServerSettings().ReadOnlyUser = t.toStdString(); });
  connect(edWebServerAdminPassword, &QLineEdit::textEdited, this,
          [c](const QString& t) { c->EditWebServerSettings().AdminPasswordHash = PasswordHash(t.toStdString()); });
  connect(edWebServerReadOnlyPassword, &QLineEdit::textEdited, this, [c](const QString& t) {
    c->EditWebServerSettings().ReadOnlyPasswordHash = PasswordHash(t.toStdString());
  });
  connect(cbAnonymousAccess, &QComboBox::activated, this,
          [c](int i) { c->EditWebServerSettings().AnonymousAccess = AnonymousAccessValue(i); });
  connect(btnStartServer, &QPushButton::clicked, this, [this] { StartServer(); });
  connect(btnStopServer, &QPushButton::clicked, this, [this] { StopServer(); });
}

void TWebServerPage::StartServer() {
  if (!fController.StartWebServer()) {
    // The server has written why into its log; the user sees the same line.
    const auto lines = fController.WebServerLogLines();
    std::string reason = "Error starting web server";
    if (!lines.empty()) {
      const std::string& last = lines.back();
      const auto at = last.find("Error starting web server");
      if (at != std::string::npos) reason = last.substr(at);
    }
    UpdateRunningState();
    QMessageBox::critical(this, kApplicationTitle, QString::fromStdString(reason));
    return;
  }
  UpdateRunningState();
}

void TWebServerPage::StopServer() {
  fController.StopWebServer();
  UpdateRunningState();
}

void TWebServerPage::UpdateRunningState() {
  const bool running = fController.WebServerRunning();
  for (QLineEdit* e : {edWebServerPort, edWebServerAdminUser, edWebServerAdminPassword, edWebServerReadOnlyUser,
                       edWebServerReadOnlyPassword}) {
    e->setReadOnly(running);
  }
  btnStartServer->setEnabled(!running);
  btnStopServer->setEnabled(running);
}

void TWebServerPage::RefreshLog() { memWebServerLog->ShowLines(fController.WebServerLogLines()); }
