#include "web/WebServer.h"

#include <httplib.h>

#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <cstring>
#include <chrono>
#include <mutex>
#include <stdexcept>

#include <fmt/format.h>

#include "web/WebRequestHandler.h"

namespace {
// Set on a connection thread that was started while the cap was reached.
thread_local bool tOverloaded = false;

// One thread per connection, as many as the cap allows at full service; those
// beyond it still get a thread, but only to be told 503 and closed, so a flood
// of connections cannot tie up the server's work. A thread whose connection
// has ended waits a while for the next one: starting a thread costs more than
// answering a status request, and it would be paid on the accepting thread.
class TConnectionThreads final : public httplib::TaskQueue {
public:
  explicit TConnectionThreads(int iCap) : fState(std::make_shared<TState>()), fCap(iCap) {}

  void enqueue(std::function<void()> iWork) override {
    {
      std::lock_guard<std::mutex> lock(fState->Mutex);
      const bool overloaded = fState->Active >= fCap;
      ++fState->Active;
      if (fState->Idle > fState->Pending.size()) {
        // an idle thread takes it: still one thread for this connection alone
        fState->Pending.push_back(TJob{std::move(iWork), overloaded});
        fState->WorkArrived.notify_one();
        return;
      }
      ++fState->Threads;
      try {
        std::thread(&TConnectionThreads::Serve, fState, TJob{std::move(iWork), overloaded}).detach();
        return;
      } catch (const std::system_error&) {
        --fState->Threads;
        --fState->Active;
      }
    }
    // no thread to be had: the socket is closed by the work itself, run it here
    tOverloaded = true;
    iWork();
    tOverloaded = false;
  }

  void shutdown() override {
    std::unique_lock<std::mutex> lock(fState->Mutex);
    fState->Ended.wait(lock, [this] { return fState->Active == 0; });
    fState->ShuttingDown = true;
    fState->WorkArrived.notify_all();
    fState->Ended.wait(lock, [this] { return fState->Threads == 0; });
  }

private:
  struct TJob {
    std::function<void()> Work;
    bool Overloaded = false;
  };
  struct TState {
    std::mutex Mutex;
    std::condition_variable WorkArrived;
    std::condition_variable Ended;  // a connection or a thread ended
    std::deque<TJob> Pending;
    size_t Idle = 0;     // threads waiting for a connection
    int Active = 0;      // connections handed over and not yet closed
    int Threads = 0;
    bool ShuttingDown = false;
  };

  static constexpr auto kIdleLinger = std::chrono::seconds(5);

  static void Serve(std::shared_ptr<TState> iState, TJob iJob) {
    for (;;) {
      tOverloaded = iJob.Overloaded;
      try {
        iJob.Work();
      } catch (...) {
      }
      iJob.Work = nullptr;  // drop what refers to the server before it may go
      std::unique_lock<std::mutex> lock(iState->Mutex);
      --iState->Active;
      iState->Ended.notify_all();
      ++iState->Idle;
      const bool got = iState->WorkArrived.wait_for(lock, kIdleLinger, [&] {
        return iState->ShuttingDown || !iState->Pending.empty();
      });
      --iState->Idle;
      if (!got || iState->Pending.empty()) {
        --iState->Threads;
        iState->Ended.notify_all();
        return;
      }
      iJob = std::move(iState->Pending.front());
      iState->Pending.pop_front();
    }
  }

  std::shared_ptr<TState> fState;
  int fCap;
};
}  // namespace

TWebServer::TWebServer(IWebHost& iHost) : fHost(iHost) {}

TWebServer::~TWebServer() {
  if (IsRunning()) Stop();
}

bool TWebServer::IsRunning() const { return fServer != nullptr; }

void TWebServer::Start(const TWebServerConfig& iConfig) {
  if (IsRunning()) return;
  const TListenAddress address = ParseListenAddress(iConfig.Port, fLastPort);
  fStopping = false;
  auto server = std::make_unique<httplib::Server>();
  auto handler = std::make_unique<TWebRequestHandler>(fHost, iConfig, fStopping);

  const int cap = iConfig.MaxConnections > 0 ? iConfig.MaxConnections : 1;
  server->new_task_queue = [cap] { return new TConnectionThreads(cap); };
  // SO_REUSEADDR only: the library's default adds SO_REUSEPORT, which would let
  // a second server start on a port that is already taken
  server->set_socket_options([](socket_t iSocket) {
    int yes = 1;
    ::setsockopt(iSocket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server->set_keep_alive_max_count(1);  // one request per connection
  server->set_read_timeout(iConfig.ReadTimeoutSeconds, 0);
  server->set_write_timeout(iConfig.WriteTimeoutSeconds, 0);
  server->set_payload_max_length(iConfig.MaxRequestBodyBytes);

  TWebRequestHandler* h = handler.get();
  server->set_pre_routing_handler([h](const httplib::Request& iRequest, httplib::Response& oResponse) {
    if (tOverloaded) {
      oResponse.status = 503;
      oResponse.set_content("Server busy", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    // Byte ranges are answered by our own file replies; the library must not
    // cut bodies by them a second time. The request object is not const where
    // the library keeps it.
    const_cast<httplib::Request&>(iRequest).ranges.clear();
    if (iRequest.method == "TRACE" || iRequest.method == "CONNECT" || iRequest.method == "PRI") {
      h->HandleCommandOther(iRequest, oResponse);
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  const auto getPost = [h](const httplib::Request& iRequest, httplib::Response& oResponse) {
    h->HandleCommandGet(iRequest, oResponse);
  };
  const auto other = [h](const httplib::Request& iRequest, httplib::Response& oResponse) {
    h->HandleCommandOther(iRequest, oResponse);
  };
  server->Get(".*", getPost);  // also HEAD
  server->Post(".*", getPost);
  server->Put(".*", other);
  server->Delete(".*", other);
  server->Options(".*", other);
  server->Patch(".*", other);

  bool bound = false;
  int port = address.Port;
  errno = 0;
  if (address.Port == 0) {
    port = server->bind_to_any_port(address.Host);
    bound = port > 0;
  } else if (address.Port > 0 && address.Port <= 65535) {
    bound = server->bind_to_port(address.Host, address.Port);
  }
  if (!bound) {
    const std::string reason =
        address.Port < 0 || address.Port > 65535
            ? fmt::format("Invalid port {}", iConfig.Port)
            : fmt::format("Could not listen on {}:{}{}{}", address.Host, address.Port, errno ? ": " : "",
                          errno ? std::strerror(errno) : "");
    const std::string message = "Error starting web server: " + reason;
    fHost.LogWebServerMessage(message);
    throw std::runtime_error(message);
  }
  if (address.Port != 0) fLastPort = address.Port;
  fBoundPort = port;
  fHandler = std::move(handler);
  fServer = std::move(server);
  httplib::Server* s = fServer.get();
  auto done = std::make_shared<std::atomic<bool>>(false);
  fListenerDone = done;
  fListener = std::thread([s, done] {
    s->listen_after_bind();  // returns once the connection threads have ended
    done->store(true);
  });
  // stop() before the listener runs would be lost and leave it listening
  for (int i = 0; i < 500 && !s->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  fHost.LogWebServerMessage("Web server started");
}

void TWebServer::Stop() {
  if (!IsRunning()) return;
  fStopping = true;
  fServer->stop();
  if (fStopWait && fListenerDone) {
    const auto done = fListenerDone;
    fStopWait([done] { return done->load(); }, -1);
  }
  if (fListener.joinable()) fListener.join();  // waits for the connection threads too
  fListenerDone.reset();
  fServer.reset();
  fHandler.reset();
  fBoundPort = 0;
  fHost.LogWebServerMessage("Web server stopped");
}
