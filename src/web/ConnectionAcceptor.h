#pragma once
// The server's front end, on one thread: accepts connections, refuses those
// beyond the limits (in all and per client address), and reads each request
// whole, header block and body, within a deadline: the header block within a
// few seconds of the connection, the body within a time that grows with its
// declared size. Only a complete request is handed to a serving thread, at
// most as many at once as the cap; so clients that send slowly, or not at
// all, hold a socket for a bounded time but never a thread.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "web/ConnectionLimits.h"
#include "web/RequestFraming.h"
#include "web/WorkerThreads.h"

struct TAcceptorLimits {
  int MaxServed = 64;          // requests served at once, one thread each
  int MaxOpen = 512;           // connections held at once, those being read included
  int MaxPerAddress = 16;      // of them from one client address
  std::chrono::milliseconds HeaderTimeout{5000};  // from the connection to the end of the header block
  std::chrono::milliseconds BodyTimeout{5000};    // for a body, plus its size at the rate below
  uint64_t MinBodyBytesPerSecond = 8192;
  size_t MaxHeaderBytes = 32 * 1024;
  size_t MaxBodyBytes = 64 * 1024;
};

class TConnectionAcceptor {
public:
  // Serves one complete request on a serving thread: writes the reply to
  // iSocket. The socket is closed afterwards by the acceptor's side.
  using TServe = std::function<void(int iSocket, TRequestFraming& iRequest)>;

  // Takes the listening socket (non-blocking from here on) and closes it at the end.
  TConnectionAcceptor(int iListenSocket, const TAcceptorLimits& iLimits, TServe iServe);
  ~TConnectionAcceptor();
  TConnectionAcceptor(const TConnectionAcceptor&) = delete;
  TConnectionAcceptor& operator=(const TConnectionAcceptor&) = delete;

  // The accepting loop; returns after RequestStop, once the listening socket
  // and the connections being read are closed. Requests being served go on.
  void Run();
  void RequestStop();  // any thread
  // Waits for the requests being served (see TWorkerThreads::Shutdown).
  void WaitServed(const std::function<void(const std::function<bool()>&)>& iWait);

  int ServingThreads() const { return fWorkers.Threads(); }

private:
  struct TConnection {
    int Socket = -1;
    std::string Address;
    std::chrono::steady_clock::time_point Deadline;
    std::unique_ptr<TRequestFraming> Framing;
    bool ContinueSent = false;
    bool Watched = false;  // registered with epoll
  };

  void AcceptAll();
  void ReadFrom(int iSocket);
  void ExpireDeadlines();
  void Dispatch(TConnection iConnection);
  // Answers with a short status reply and closes.
  void Refuse(int iSocket, int iStatus);
  void Drop(int iSocket);  // closes a connection being read, without a reply
  void Unwatch(const TConnection& iConnection);

  int fListenSocket;
  const TAcceptorLimits fLimits;
  const TServe fServe;
  int fEpoll = -1;
  int fWake = -1;  // eventfd
  std::atomic<bool> fStop{false};
  std::shared_ptr<TConnectionLimits> fOpen;  // shared with the serving threads
  std::unordered_map<int, TConnection> fReading;
  TWorkerThreads fWorkers;
};
