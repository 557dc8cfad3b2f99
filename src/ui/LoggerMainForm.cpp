#include "ui/LoggerMainForm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSessionManager>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "controller/LoggerMain.h"
#include "shell/IniFile.h"
#include "shell/VantorelGlobals.h"
#include "ui/ASIOPage.h"
#include "ui/ConfigureSlot/ExecuteConfigureSlot.h"
#include "ui/ControllerTiles.h"
#include "ui/EmailPage.h"
#include "ui/FocusFlush.h"
#include "ui/LogView.h"
#include "ui/SlotGrid.h"
#include "ui/WebServerPage.h"

namespace {
constexpr const char* kWindowSection = "MainWindowPosition";

QWidget* AboutPage(QWidget* iParent) {
  auto* page = new QWidget(iParent);
  auto* name = new QLabel(kApplicationTitle, page);
  QFont bold = name->font();
  bold.setBold(true);
  name->setFont(bold);
  uint16_t major = 0, minor = 0, release = 0, build = 0;
  GetProgramVersion(major, minor, release, build);
  auto* version = new QLabel(QString::asprintf("Version %d.%d.%d Build %d", major, minor, release, build), page);
  version->setObjectName("lblVersion");
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(name);
  layout->addWidget(version);
  layout->addStretch();
  return page;
}
}  // namespace

TLoggerMainForm::TLoggerMainForm(TLoggerMain& iController, QWidget* iParent)
    : QWidget(iParent), fController(iController) {
  setObjectName("LoggerMainForm");
  setFont(QFont("Tahoma", 8));
  setWindowIcon(QApplication::style()->standardIcon(QStyle::SP_MediaVolume));
  // exit, not quit: quit would send this window another close request and
  // ask the question a second time.
  OnCloseAccepted = [] { QCoreApplication::exit(0); };
  fFocusFlush = new TFocusFlush([this] { FlushGlobalConfig(); }, this);
  fTiles = std::make_unique<TControllerTiles>(fController);

  pcMain = new QTabWidget(this);
  pcMain->setObjectName("pcMain");
  vdtSlots = new TSlotGrid(*fTiles, pcMain);
  vdtSlots->SetVerticalAutoSize(fController.VerticalAutoSize());
  vdtSlots->SetColumnCount(fController.ColumnCount());
  vdtSlots->OnOpenSettings = [this](int iSlot) { OpenSlotSettings(iSlot); };
  vdtSlots->OnLayoutChanged = [this] {
    fController.SetColumnCount(vdtSlots->ColumnCount());
    fController.SetVerticalAutoSize(vdtSlots->VerticalAutoSize());
  };
  fWebServerPage = new TWebServerPage(fController, *fFocusFlush, pcMain);
  memLog = new TLogView(pcMain);
  memLog->setObjectName("memLog");
  fASIOPage = new TASIOPage(CatalogueASIODrivers(), fController.ASIOChannelBundles(), *fFocusFlush, pcMain);
  fEmailPage = new TEmailPage(fController, *fFocusFlush, pcMain);
  pcMain->addTab(vdtSlots, "Slots");
  pcMain->addTab(fWebServerPage, "Web Server");
  pcMain->addTab(memLog, "Messages");
  pcMain->addTab(fASIOPage, "ASIO");
  pcMain->addTab(fEmailPage, "E-Mail");
  pcMain->addTab(AboutPage(pcMain), "About");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(pcMain);

  setWindowTitle(QString::fromStdString(fController.Caption()));
  setMinimumSize(470, 110);
  resize(454, 504);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - rect().center());
  }
  CreateTrayIcon();

  fController.SetWindowPositionWriter([this](TIniFile& iIni) {
    // The normal geometry, so a maximised window comes back to its old place too.
    const QRect place = isMaximized() ? normalGeometry() : frameGeometry();
    iIni.WriteInteger(kWindowSection, "Left", place.x());
    iIni.WriteInteger(kWindowSection, "Top", place.y());
    iIni.WriteInteger(kWindowSection, "Width", place.width());
    iIni.WriteInteger(kWindowSection, "Height", place.height());
    iIni.WriteBool(kWindowSection, "Maximized", isMaximized());
  });
  fController.SetOnLogChanged([this] { ScheduleLogRefresh(); });
  fController.SetOnSlotStateChanged([this](int iIndex) { vdtSlots->SlotStateChanged(iIndex); });
  fController.SetOnTimerTick([this] { vdtSlots->viewport()->update(); });
  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { SessionEnding(); });
  }
  RefreshLogs();
}

TLoggerMainForm::~TLoggerMainForm() {
  // QWidget's destructor closes the window, which moves the focus out of a
  // watched field; by then this object's members are gone.
  fFocusFlush->Disarm();
  fController.SetOnLogChanged(nullptr);
  fController.SetOnSlotStateChanged(nullptr);
  fController.SetOnTimerTick(nullptr);
  fController.SetWindowPositionWriter(nullptr);
}

void TLoggerMainForm::OpenSlotSettings(int iSlotIndex) {
  // The dialog, then the controller's follow-up, which also updates the tile's
  // buttons through the slot-state hook.
  ExecuteConfigureSlot(fController, iSlotIndex, this);
}

void TLoggerMainForm::FlushGlobalConfig() {
  try {
    fController.FlushGlobalConfig();
  } catch (const std::exception& e) {
    fController.LogMessage(this, e.what());
  }
}

void TLoggerMainForm::ScheduleLogRefresh() {
  // Many lines in a burst cost one refresh of the view.
  if (fLogRefreshPending) return;
  fLogRefreshPending = true;
  QTimer::singleShot(0, this, [this] {
    fLogRefreshPending = false;
    RefreshLogs();
  });
}

void TLoggerMainForm::RefreshLogs() {
  memLog->ShowLines(fController.MessageLogLines());
  fWebServerPage->RefreshLog();
}

void TLoggerMainForm::showEvent(QShowEvent* iEvent) {
  QWidget::showEvent(iEvent);
  if (fFirstShow) {
    fFirstShow = false;
    FirstShow();
  }
}

void TLoggerMainForm::FirstShow() {
  fController.AutoStartWebServer();
  fWebServerPage->UpdateRunningState();
  const TIniFile& ini = fController.IniFile();
  if (ini.SectionExists(kWindowSection)) {
    const QRect place = frameGeometry();
    const int left = ini.ReadInteger(kWindowSection, "Left", place.x());
    const int top = ini.ReadInteger(kWindowSection, "Top", place.y());
    const int width = ini.ReadInteger(kWindowSection, "Width", place.width());
    const int height = ini.ReadInteger(kWindowSection, "Height", place.height());
    // Stored as the outer frame; Qt places and sizes the client area.
    const QMargins frame(geometry().left() - place.left(), geometry().top() - place.top(),
                         place.right() - geometry().right(), place.bottom() - geometry().bottom());
    move(left, top);
    resize(std::max(1, width - frame.left() - frame.right()), std::max(1, height - frame.top() - frame.bottom()));
    if (ini.ReadBool(kWindowSection, "Maximized", false)) setWindowState(windowState() | Qt::WindowMaximized);
  }
}

void TLoggerMainForm::CreateTrayIcon() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;  // the window minimises as usual
  fTrayIcon = new QSystemTrayIcon(windowIcon(), this);
  fTrayIcon->setToolTip(windowTitle());
  auto* menu = new QMenu(this);
  QAction* restore = menu->addAction("Restore");
  QFont bold = restore->font();
  bold.setBold(true);  // the default entry
  restore->setFont(bold);
  QAction* exit = menu->addAction("Exit");
  connect(restore, &QAction::triggered, this, [this] { Restore(); });
  connect(exit, &QAction::triggered, this, [this] { close(); });
  fTrayIcon->setContextMenu(menu);
  connect(fTrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason iReason) {
    if (iReason == QSystemTrayIcon::Trigger || iReason == QSystemTrayIcon::DoubleClick) Restore();
  });
}

void TLoggerMainForm::changeEvent(QEvent* iEvent) {
  QWidget::changeEvent(iEvent);
  if (iEvent->type() == QEvent::WindowStateChange && fTrayIcon && isMinimized()) {
    // Out of the task bar into the notification area.
    fTrayIcon->show();
    QTimer::singleShot(0, this, [this] {
      if (isMinimized()) hide();
    });
  }
}

void TLoggerMainForm::Restore() {
  if (fTrayIcon) fTrayIcon->hide();
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

void TLoggerMainForm::SessionEnding() { fWindowsShuttingDown = true; }

bool TLoggerMainForm::CloseQuery() {
  if (fWindowsShuttingDown) return true;
  // Read at every attempt, so a hand edit of the file counts at the next close.
  if (fController.IniFile().ReadString("General", "CloseConfirmation", "") == "off") return true;
  QMessageBox box(QMessageBox::NoIcon, kApplicationTitle, "Exit Quorvane Vantorel?",
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void TLoggerMainForm::closeEvent(QCloseEvent* iEvent) {
  iEvent->ignore();
  if (!CloseQuery()) return;
  if (OnCloseAccepted) OnCloseAccepted();

}
