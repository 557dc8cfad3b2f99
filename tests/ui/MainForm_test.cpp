// The main window over a real controller: settings loaded into the pages and
// saved when a field is left, the logs' caps, the close question, the web
// server's buttons and the test e-mail that leaves the window running.
#include "ui/LoggerMainForm.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTcpServer>
#include <QTimer>
#include <QLabel>

#include <filesystem>
#include <fstream>
#include <thread>

#include "UiTestSupport.h"
#include "controller/LoggerMain.h"
#include "shell/IniFile.h"
#include "ui/EmailPage.h"
#include "ui/LogView.h"
#include "ui/SlotGrid.h"
#include "ui/WebServerPage.h"
#include "web/ControllerWebHost.h"
#include "web/PasswordHash.h"
#include "web/WebServer.h"

namespace {
class MainFormTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    char pattern[] = "/tmp/vt-ui-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    fRoot = pattern;
    fIniPath = fRoot + "/Vantorel.ini";
  }
  void TearDown() override {
    fForm.reset();
    fWeb.reset();
    fController.reset();
    fIni.reset();
    std::filesystem::remove_all(fRoot);
  }
  // iExtra: more sections of the settings file.
  void Start(const std::string& iExtra = "", int iSlots = 2) {
    std::ofstream file(fIniPath);
    for (int i = 0; i < iSlots; ++i)
      file << "[Slot" << i << "]\nFolder=" << fRoot << "/rec" << i << "\nSource=None\n";
    file << iExtra;
    file.close();
    fIni = std::make_unique<TIniFile>(fIniPath);
    TStartupValues values;
    values.FullSlotCount = iSlots;
    values.DisplayName = "Studio";
    values.InstanceNumber = 2;
    TLoggerMainOptions options;
    options.PluginFolder = fRoot + "/plugins/";
    fController = std::make_unique<TLoggerMain>(*fIni, values, options);
    fForm = std::make_unique<TLoggerMainForm>(*fController);
    fForm->OnCloseAccepted = [this] { ++fClosed; };
  }
  std::string Stored(const std::string& iSection, const std::string& iKey) const {
    return TIniFile(fIniPath).ReadString(iSection, iKey, "<missing>");
  }

  std::string fRoot;
  std::string fIniPath;
  std::unique_ptr<TIniFile> fIni;
  std::unique_ptr<TLoggerMain> fController;
  std::unique_ptr<TControllerWebServer> fWeb;
  std::unique_ptr<TLoggerMainForm> fForm;
  int fClosed = 0;
};
}  // namespace

TEST_F(MainFormTest, CaptionPagesAndVersionLine) {
  Start("[General]\nColumnCount=2\nVerticalAutoSize=1\n", 5);
  EXPECT_EQ(fForm->windowTitle(), "Quorvane Vantorel [ Studio / 2 ]");
  QStringList tabs;
  for (int i = 0; i < fForm->Pages()->count(); ++i) tabs << fForm->Pages()->tabText(i);
  EXPECT_EQ(tabs, (QStringList{"Slots", "Web Server", "Messages", "ASIO", "E-Mail", "About"}));
  EXPECT_EQ(fForm->Grid()->ColumnCount(), 2);
  EXPECT_EQ(fForm->Grid()->RowCount(), 3);
  EXPECT_TRUE(fForm->Grid()->VerticalAutoSize());
  auto* version = fForm->findChild<QLabel*>("lblVersion");
  ASSERT_NE(version, nullptr);
  EXPECT_TRUE(version->text().startsWith("Version 1.0.0 Build 1")) << version->text().toStdString();
}

TEST_F(MainFormTest, StoredChoicesSelectTheirEntries) {
  struct Case {
    const char* fStored;  // nullptr: key missing
    int fAnonymous;
    int fEncryption;
  };
  const Case cases[] = {{"ReadOnly", 2, 0}, {"Admin", 1, 0}, {"admin", 0, 0}, {nullptr, 0, 0}};
  for (const Case& c : cases) {
    std::string extra = "[EMail]\nSMTPServer=mail\n";
    if (c.fStored) extra += std::string("[Webserver]\nAnonymousAccess=") + c.fStored + "\n";
    Start(extra);
    EXPECT_EQ(fForm->WebServerPage()->cbAnonymousAccess->currentIndex(), c.fAnonymous)
        << (c.fStored ? c.fStored : "missing");
    EXPECT_EQ(fForm->EmailPage()->cbEmailEncryption->currentIndex(), 0);
    fForm.reset();
    fController.reset();
  }
  Start("[EMail]\nEncryption=SSL\n");
  EXPECT_EQ(fForm->EmailPage()->cbEmailEncryption->currentText(), "SSL");
}

TEST_F(MainFormTest, LeavingTheSMTPFieldWritesTheWholeConfiguration) {
  Start("[General]\nColumnCount=2\n[Webserver]\nPort=6060\n");
  fForm->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(fForm.get()));
  fForm->move(40, 50);
  fForm->Pages()->setCurrentWidget(fForm->EmailPage());
  QLineEdit* server = fForm->EmailPage()->edEMailSMTPServer;
  server->setFocus();
  QTest::keyClicks(server, "smtp.example.org");
  EXPECT_EQ(Stored("EMail", "SMTPServer"), "<missing>") << "nothing is written while typing";
  fForm->EmailPage()->edEMailSMTPPort->setFocus();
  ASSERT_TRUE(RunUntil([&] { return Stored("EMail", "SMTPServer") == "smtp.example.org"; }, 5000));
  EXPECT_EQ(Stored("General", "ColumnCount"), "2");
  EXPECT_EQ(Stored("Webserver", "Port"), "6060");
  EXPECT_EQ(Stored("Webserver", "Enabled"), "off");
  EXPECT_EQ(Stored("EMail", "Encryption"), "none");
  EXPECT_EQ(Stored("MainWindowPosition", "Left"), std::to_string(fForm->frameGeometry().x()));
  EXPECT_EQ(Stored("MainWindowPosition", "Width"), std::to_string(fForm->frameGeometry().width()));
  EXPECT_EQ(Stored("MainWindowPosition", "Maximized"), "0");
}

TEST_F(MainFormTest, PasswordFieldsKeepOnlyTheHashOfWhatWasTyped) {
  Start("[Webserver]\nAdminPassword=0123456789abcdef\n");
  QLineEdit* admin = fForm->WebServerPage()->edWebServerAdminPassword;
  EXPECT_EQ(admin->text(), "0123456789abcdef") << "the stored hash is shown, masked";
  EXPECT_EQ(admin->echoMode(), QLineEdit::Password);
  admin->selectAll();
  QTest::keyClicks(admin, "secret");
  EXPECT_EQ(fController->WebServerSettings().AdminPasswordHash, PasswordHash("secret"));
  admin->selectAll();
  QTest::keyClick(admin, Qt::Key_Delete);
  EXPECT_EQ(fController->WebServerSettings().AdminPasswordHash, PasswordHash(""));
}

TEST_F(MainFormTest, LogsKeepTheirNewestLinesInOrder) {
  Start();
  fForm->show();
  const int before = static_cast<int>(fController->MessageLogLines().size());
  // From a worker thread, as slots log: each call returns once its line is in.
  std::thread worker([this] {
    for (int i = 1; i <= 1200; ++i) fController->LogMessage(nullptr, "line " + std::to_string(i));
  });
  ASSERT_TRUE(RunUntil([&] {
    const auto lines = fController->MessageLogLines();
    return !lines.empty() && lines.back().ends_with(": line 1200");
  }));
  worker.join();
  ASSERT_TRUE(RunUntil([&] { return fForm->MessageLog()->toPlainText().endsWith(": line 1200"); }));
  const QStringList shown = fForm->MessageLog()->toPlainText().split('\n');
  ASSERT_EQ(shown.size(), 999) << before;
  for (int i = 0; i < 999; ++i) ASSERT_TRUE(shown[i].endsWith(QString(": line %1").arg(202 + i))) << i;

  for (int i = 1; i <= 1100; ++i) fController->LogWebServerMessage("web " + std::to_string(i));
  ASSERT_TRUE(RunUntil([&] { return fForm->WebServerPage()->memWebServerLog->toPlainText().endsWith(": web 1100"); }));
  const QStringList web = fForm->WebServerPage()->memWebServerLog->toPlainText().split('\n');
  ASSERT_EQ(web.size(), 1000);
  EXPECT_TRUE(web.front().endsWith(": web 101"));
}

TEST_F(MainFormTest, CloseQuestionUnlessConfirmationIsOff) {
  struct Case {
    const char* fSetting;  // nullptr: key missing
    bool fAsked;
    QMessageBox::StandardButton fAnswer;
    bool fClosed;
  };
  const Case cases[] = {{nullptr, true, QMessageBox::No, false},
                        {nullptr, true, QMessageBox::Yes, true},
                        {"on", true, QMessageBox::Yes, true},
                        {"off", false, QMessageBox::NoButton, true}};
  for (const Case& c : cases) {
    Start(c.fSetting ? std::string("[General]\nCloseConfirmation=") + c.fSetting + "\n" : "");
    fForm->show();
    fClosed = 0;
    QString question;
    bool defaultIsNo = false;
    // Answers the modal question once it is up.
    QTimer answer;
    answer.setInterval(20);
    QObject::connect(&answer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      question = box->text();
      defaultIsNo = box->defaultButton() == box->button(QMessageBox::No);
      box->button(c.fAnswer)->click();
    });
    answer.start();
    fForm->close();
    answer.stop();
    EXPECT_EQ(!question.isEmpty(), c.fAsked) << (c.fSetting ? c.fSetting : "missing");
    if (c.fAsked) {
      EXPECT_EQ(question, "Exit Quorvane Vantorel?");
      EXPECT_TRUE(defaultIsNo);
    }
    EXPECT_EQ(fClosed, c.fClosed ? 1 : 0) << (c.fSetting ? c.fSetting : "missing");
    // The desktop session ends: no question.
    fClosed = 0;
    fForm->SessionEnding();
    question.clear();
    fForm->close();
    EXPECT_TRUE(question.isEmpty());
    EXPECT_EQ(fClosed, 1);
    fForm.reset();
    fController.reset();
  }
}

TEST_F(MainFormTest, TestEmailIsSentOffTheWindowsThread) {
  // A port where nobody listens: the answer comes back as an error, later.
  Start("[EMail]\nSMTPServer=127.0.0.1\nSMTPPort=1\nFromAddress=a@b.c\nReceipients=d@e.f\n");
  TEmailPage* page = fForm->EmailPage();
  std::vector<std::pair<bool, std::string>> results;
  page->OnTestResult = [&](bool iSent, const std::string& iText) { results.push_back({iSent, iText}); };
  QTest::mouseClick(page->btnSendTestEmail, Qt::LeftButton);
  EXPECT_TRUE(results.empty()) << "the click returns before the mail is done";
  EXPECT_FALSE(page->btnSendTestEmail->isEnabled());
  ASSERT_TRUE(RunUntil([&] { return !results.empty(); }, 20000));
  EXPECT_FALSE(results[0].first);
  EXPECT_FALSE(results[0].second.empty());
  EXPECT_TRUE(page->btnSendTestEmail->isEnabled());
}

TEST_F(MainFormTest, WebServerButtonsLockTheFieldsWhileItRuns) {
  Start("[Webserver]\nEnabled=on\nPort=127.0.0.1:0\n");
  fWeb = std::make_unique<TControllerWebServer>(*fController);
  TWebServerPage* page = fForm->WebServerPage();
  auto expectRunning = [&](bool iRunning, const char* iWhen) {
    EXPECT_EQ(fController->WebServerRunning(), iRunning) << iWhen;
    EXPECT_EQ(page->btnStartServer->isEnabled(), !iRunning) << iWhen;
    EXPECT_EQ(page->btnStopServer->isEnabled(), iRunning) << iWhen;
    for (QLineEdit* e : {page->edWebServerPort, page->edWebServerAdminUser, page->edWebServerAdminPassword,
                         page->edWebServerReadOnlyUser, page->edWebServerReadOnlyPassword})
      EXPECT_EQ(e->isReadOnly(), iRunning) << iWhen << " " << e->objectName().toStdString();
    EXPECT_EQ(Stored("Webserver", "Enabled"), iRunning ? "on" : "off") << iWhen;
  };
  fForm->show();  // the first show starts it, as Enabled=on asks
  expectRunning(true, "first show");
  QTest::mouseClick(page->btnStopServer, Qt::LeftButton);
  expectRunning(false, "stopped");
  QTest::mouseClick(page->btnStartServer, Qt::LeftButton);
  expectRunning(true, "started again");
  QTest::mouseClick(page->btnStopServer, Qt::LeftButton);
  ASSERT_TRUE(RunUntil([&] { return page->memWebServerLog->toPlainText().endsWith(": Web server stopped"); }));
  EXPECT_TRUE(page->memWebServerLog->toPlainText().contains(": Web server started"));

  // A port that is taken: the reason in the log and in a message box, the fields stay editable.
  QTcpServer taken;
  ASSERT_TRUE(taken.listen(QHostAddress::LocalHost));
  page->edWebServerPort->setText(QString("127.0.0.1:%1").arg(taken.serverPort()));
  fController->EditWebServerSettings().Port = page->edWebServerPort->text().toStdString();
  QString shown;
  QTimer answer;
  answer.setInterval(20);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown = box->text();
      box->accept();
    }
  });
  answer.start();
  QTest::mouseClick(page->btnStartServer, Qt::LeftButton);
  answer.stop();
  EXPECT_TRUE(shown.startsWith("Error starting web server: ")) << shown.toStdString();
  expectRunning(false, "start failed");
}

TEST_F(MainFormTest, WindowTakesItsStoredPlaceAtFirstShow) {
  Start("[MainWindowPosition]\nLeft=30\nTop=40\nWidth=600\nHeight=450\n");
  fForm->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(fForm.get()));
  ASSERT_TRUE(RunUntil([&] { return fForm->frameGeometry().width() == 600; }, 3000));
  EXPECT_EQ(fForm->frameGeometry(), QRect(30, 40, 600, 450));
  fForm->FlushGlobalConfig();
  EXPECT_EQ(Stored("MainWindowPosition", "Left"), "30");
  EXPECT_EQ(Stored("MainWindowPosition", "Height"), "450");
}

TEST_F(MainFormTest, RestoreBringsAMinimisedWindowBack) {
  Start();
  fForm->showMinimized();
  ASSERT_TRUE(RunUntil([&] { return fForm->isMinimized(); }, 3000));
  fForm->Restore();
  ASSERT_TRUE(RunUntil([&] { return !fForm->isMinimized() && fForm->isVisible(); }, 3000));
}
