#include "web/WebServer.h"

#include <httplib.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>

#include <fmt/format.h>

#include "web/ConnectionAcceptor.h"
#include "web/SocketStream.h"
#include "web/WebRequestHandler.h"

// The HTTP library's request processing (request line, headers, parameters,
// body, routing to our handler, the reply) run on a request our front end has
// already read whole; its own accepting loop is not used.
class TLibraryServer final : public httplib::Server {
public:
  void Process(httplib::Stream& iStream, const std::function<void(httplib::Request&)>& iSetup) {
    bool closed = true;
    process_request(iStream, true, closed, iSetup);
  }
  // The socket bound by bind_to_port, from here on ours to accept on and
  // close. The library takes an invalid one for a server that is stopping
  // and then ends replies early: a value that is no socket stands in for it.
  int TakeListenSocket() { return svr_sock_.exchange(kNoSocket); }
  // Replies under way end early.
  void MarkStopping() { svr_sock_ = INVALID_SOCKET; }

private:
  static constexpr socket_t kNoSocket = std::numeric_limits<int>::max();
};

namespace {
bool IsGetHeadOrPost(const std::string& iMethod) { return iMethod == "GET" || iMethod == "HEAD" || iMethod == "POST"; }
}  // namespace

TWebServer::TWebServer(IWebHost& iHost) : fHost(iHost) {}

TWebServer::~TWebServer() {
  if (IsRunning()) Stop();
}

bool TWebServer::IsRunning() const { return fServer != nullptr; }

int TWebServer::ServingThreads() const { return fAcceptor ? fAcceptor->ServingThreads() : 0; }

void TWebServer::Start(const TWebServerConfig& iConfig) {
  if (IsRunning()) return;
  const TListenAddress address = ParseListenAddress(iConfig.Port, fLastPort);
  fStopping = false;
  auto server = std::make_unique<TLibraryServer>();
  auto handler = std::make_unique<TWebRequestHandler>(fHost, iConfig, fStopping);

  // SO_REUSEADDR only: the library's default adds SO_REUSEPORT, which would let
  // a second server start on a port that is already taken
  server->set_socket_options([](socket_t iSocket) {
    int yes = 1;
    ::setsockopt(iSocket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server->set_payload_max_length(iConfig.MaxRequestBodyBytes);

  TWebRequestHandler* h = handler.get();
  const auto getPost = [h](const httplib::Request& iRequest, httplib::Response& oResponse) {
    h->HandleCommandGet(iRequest, oResponse);
  };
  server->Get(".*", getPost);  // also HEAD
  server->Post(".*", getPost);

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

  TAcceptorLimits limits;
  limits.MaxServed = iConfig.MaxConnections > 0 ? iConfig.MaxConnections : 1;
  limits.MaxOpen = std::max(iConfig.MaxOpenConnections, limits.MaxServed);
  limits.MaxPerAddress = iConfig.MaxConnectionsPerAddress > 0 ? iConfig.MaxConnectionsPerAddress : 1;
  limits.HeaderTimeout = std::chrono::milliseconds(iConfig.HeaderTimeoutMs);
  limits.BodyTimeout = std::chrono::milliseconds(iConfig.BodyTimeoutMs);
  limits.MinBodyBytesPerSecond = static_cast<uint64_t>(std::max(iConfig.MinBodyBytesPerSecond, 1));
  limits.MaxBodyBytes = iConfig.MaxRequestBodyBytes;
  const auto writeTimeout = std::chrono::milliseconds(std::max(iConfig.WriteTimeoutSeconds, 1) * 1000);
  TLibraryServer* s = server.get();
  auto serve = [s, h, writeTimeout](int iSocket, TRequestFraming& iRequest) {
    TSocketStream stream(iSocket, iRequest.TakeRequest(), writeTimeout);
    if (!IsGetHeadOrPost(iRequest.Method())) {
      // the library refuses methods it does not know, and PUT without a length
      h->HandleCommandOther(iRequest.Method());
      stream.WriteReply("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
      return;
    }
    // Range goes to our file replies as sent: the library would refuse with 416
    // what it cannot parse, and cut bodies by it a second time.
    const std::optional<std::string>& range = iRequest.Range();
    s->Process(stream, [&range](httplib::Request& ioRequest) {
      if (range) ioRequest.set_header("Range", *range);
    });
    stream.Flush();
  };
  try {
    fAcceptor = std::make_unique<TConnectionAcceptor>(server->TakeListenSocket(), limits, std::move(serve));
  } catch (const std::exception& e) {
    const std::string message = std::string("Error starting web server: ") + e.what();
    fHost.LogWebServerMessage(message);
    throw std::runtime_error(message);
  }
  if (address.Port != 0) fLastPort = address.Port;
  fBoundPort = port;
  fHandler = std::move(handler);
  fServer = std::move(server);
  TConnectionAcceptor* acceptor = fAcceptor.get();
  fListener = std::thread([acceptor] { acceptor->Run(); });
  fHost.LogWebServerMessage("Web server started");
}

void TWebServer::Stop() {
  if (!IsRunning()) return;
  fStopping = true;
  fServer->MarkStopping();
  fAcceptor->RequestStop();
  if (fListener.joinable()) fListener.join();
  // a request thread may itself wait for this thread (a log line the
  // controller takes): the stop wait goes on serving it
  fAcceptor->WaitServed([this](const std::function<bool()>& iDone) {
    if (fStopWait) fStopWait(iDone, -1);
  });
  fAcceptor.reset();
  fServer.reset();
  fHandler.reset();
  fBoundPort = 0;
  fHost.LogWebServerMessage("Web server stopped");
}
