#pragma once
// The desktop window over the controller: the slot grid and the settings
// pages on one tab control, the two logs, the notification-area icon, the
// close question and the window's place saved with the global settings.
// The controller runs the same without it.
#include <QWidget>

#include <functional>
#include <memory>

class QCloseEvent;
class QSystemTrayIcon;
class QTabWidget;
class TASIOPage;
class TControllerTiles;
class TEmailPage;
class TFocusFlush;
class TLogView;
class TLoggerMain;
class TSlotGrid;
class TWebServerPage;

class TLoggerMainForm : public QWidget {
public:
  explicit TLoggerMainForm(TLoggerMain& iController, QWidget* iParent = nullptr);
  ~TLoggerMainForm() override;

  // "Settings..." and a double click on a tile.
  void OpenSlotSettings(int iSlotIndex);
  // The restore request of a second start, the tray's "Restore" and a click on the icon.
  void Restore();
  // The close question; true when the window may close. Skipped at session end.
  bool CloseQuery();
  // The desktop session ends (log-out, shutdown): close without asking.
  void SessionEnding();
  // Saves the global settings (the settings fields do it when left); errors go to the log.
  void FlushGlobalConfig();

  // Runs once closing is allowed; the default ends the event loop, after which
  // the program flushes the settings, stops the web server and frees the slots.
  std::function<void()> OnCloseAccepted;

  TSlotGrid* Grid() const { return vdtSlots; }
  TWebServerPage* WebServerPage() const { return fWebServerPage; }
  TEmailPage* EmailPage() const { return fEmailPage; }
  TASIOPage* ASIOPage() const { return fASIOPage; }
  TLogView* MessageLog() const { return memLog; }
  QTabWidget* Pages() const { return pcMain; }

protected:
  void closeEvent(QCloseEvent* iEvent) override;
  void showEvent(QShowEvent* iEvent) override;
  void changeEvent(QEvent* iEvent) override;

private:
  void FirstShow();
  void RefreshLogs();
  void ScheduleLogRefresh();
  void CreateTrayIcon();

  TLoggerMain& fController;
  bool fFirstShow = true;
  bool fWindowsShuttingDown = false;
  bool fLogRefreshPending = false;
  std::unique_ptr<TControllerTiles> fTiles;
  TFocusFlush* fFocusFlush = nullptr;
  QTabWidget* pcMain = nullptr;
  TSlotGrid* vdtSlots = nullptr;
  TWebServerPage* fWebServerPage = nullptr;
  TEmailPage* fEmailPage = nullptr;
  TASIOPage* fASIOPage = nullptr;
  TLogView* memLog = nullptr;
  QSystemTrayIcon* fTrayIcon = nullptr;
};
