#pragma once
// The "Web Server" tab: port, users, password fields that keep only hashes,
// anonymous access, Start/Stop with the fields locked while the server runs,
// and the web server log below.
#include <QWidget>

class QComboBox;
class QLineEdit;
class QPushButton;
class TFocusFlush;
class TLogView;
class TLoggerMain;

class TWebServerPage : public QWidget {
public:
  TWebServerPage(TLoggerMain& iController, TFocusFlush& iFlush, QWidget* iParent = nullptr);

  void StartServer();  // "Start Server"
  void StopServer();   // "Stop Server"
  // Buttons and field locks after the server's state changed (also at first show).
  void UpdateRunningState();
  void RefreshLog();

  QLineEdit* edWebServerPort = nullptr;
  QLineEdit* edWebServerAdminUser = nullptr;
  QLineEdit* edWebServerAdminPassword = nullptr;
  QLineEdit* edWebServerReadOnlyUser = nullptr;
  QLineEdit* edWebServerReadOnlyPassword = nullptr;
  QComboBox* cbAnonymousAccess = nullptr;
  QPushButton* btnStartServer = nullptr;
  QPushButton* btnStopServer = nullptr;
  TLogView* memWebServerLog = nullptr;

private:
  TLoggerMain& fController;
};

// The choice index of a stored AnonymousAccess value and back.
int AnonymousAccessIndex(const std::string& iStored);
const char* AnonymousAccessValue(int iIndex);
