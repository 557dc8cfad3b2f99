#pragma once
// The web server inside the program: a host that copies the controller's slots
// for the request threads and hands commands and log lines to the controller,
// and the server itself wired to the controller's start, stop and
// running-state hooks.
#include <memory>
#include <thread>

#include "web/WebHost.h"
#include "web/WebServer.h"

class TLoggerMain;
struct TWebServerSettings;

class TControllerWebHost final : public IWebHost {
public:
  // Create on the controller's thread; the controller must outlive the host.
  explicit TControllerWebHost(TLoggerMain& iController);

  int SlotCount() const override;
  // Every value comes from the slot's thread-safe getters, so a request thread
  // may take it while the controller rotates or reconfigures the slot.
  TWebSlotSnapshot Slot(int iIndex) const override;
  void PostStartSlot(int iIndex) override;
  void PostStopSlot(int iIndex) override;
  void LogMessage(const std::string& iMessage) override;
  // On the controller's thread at once, from any other thread posted to it.
  void LogWebServerMessage(const std::string& iMessage) override;

private:
  TLoggerMain& fController;
  const std::thread::id fControllerThread;
};

// [Webserver] as the controller holds it, in the form the server takes at start.
TWebServerConfig WebServerConfigFromSettings(const TWebServerSettings& iSettings);

// Owns the host and the server and installs the controller's web server hooks;
// the destructor stops the server and removes the hooks. Destroy it before the
// controller.
class TControllerWebServer {
public:
  explicit TControllerWebServer(TLoggerMain& iController);
  ~TControllerWebServer();
  TControllerWebServer(const TControllerWebServer&) = delete;
  TControllerWebServer& operator=(const TControllerWebServer&) = delete;

  TWebServer& Server() { return *fServer; }

private:
  TLoggerMain& fController;
  std::unique_ptr<TControllerWebHost> fHost;
  std::unique_ptr<TWebServer> fServer;
};
