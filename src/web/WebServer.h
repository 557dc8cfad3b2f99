#pragma once
// The built-in HTTP server: the browser client, the slot status and control
// API and the archive API. One thread accepts connections and reads each
// request whole (TConnectionAcceptor); a complete request gets a thread of its
// own, where the HTTP library parses it, our handler answers it and the
// connection is closed after the one reply.
//
// Start, Stop and IsRunning belong to the controller thread.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "web/WebHost.h"
#include "web/WebServerConfig.h"

class TConnectionAcceptor;
class TLibraryServer;
class TWebRequestHandler;

class TWebServer {
public:
  explicit TWebServer(IWebHost& iHost);
  ~TWebServer();  // Stop()
  TWebServer(const TWebServer&) = delete;
  TWebServer& operator=(const TWebServer&) = delete;

  // Does nothing while listening. Takes the users, hashes and anonymous level
  // for the whole run. On failure logs and throws std::runtime_error
  // "Error starting web server: <reason>"; the server stays stopped.
  // On success logs "Web server started".
  void Start(const TWebServerConfig& iConfig);
  // Closes the listening socket, ends open connections, logs "Web server stopped".
  void Stop();
  bool IsRunning() const;
  // The port listened on (useful after a start on port 0).
  int Port() const { return fBoundPort; }
  // Threads serving requests now (they outlive their request a while).
  int ServingThreads() const;

  // How Stop waits for the connection threads to end: a request thread may
  // itself wait for the thread that calls Stop (a log line the controller
  // takes), so the controller passes a wait that goes on serving it
  // (TLoggerMain::MainThreadWaitHook). Empty: a plain join.
  using TWaitHook = std::function<bool(const std::function<bool()>& iDone, int iTimeoutMs)>;
  void SetStopWait(TWaitHook iWait) { fStopWait = std::move(iWait); }

private:
  IWebHost& fHost;
  std::unique_ptr<TLibraryServer> fServer;
  std::unique_ptr<TWebRequestHandler> fHandler;
  std::unique_ptr<TConnectionAcceptor> fAcceptor;
  std::thread fListener;
  TWaitHook fStopWait;
  std::atomic<bool> fStopping{false};
  int fLastPort = 5252;  // a port text that is no number keeps the last one
  int fBoundPort = 0;
};
