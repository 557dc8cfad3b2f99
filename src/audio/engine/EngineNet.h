#pragma once
// Small socket helpers of the cast client and the listener server: a socket
// that closes itself, connecting and sending with deadlines, reading a reply's
// head, and the text encodings the source protocols use.
#include <atomic>
#include <chrono>
#include <string>

namespace vt::engine {

class TSocket {
public:
  TSocket() = default;
  explicit TSocket(int iFd) : fFd(iFd) {}
  TSocket(TSocket&& iOther) noexcept : fFd(iOther.Release()) {}
  TSocket& operator=(TSocket&& iOther) noexcept;
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;
  ~TSocket() { Close(); }

  int Fd() const { return fFd; }
  bool Valid() const { return fFd >= 0; }
  int Release() {
    const int fd = fFd;
    fFd = -1;
    return fd;
  }
  void Close();

private:
  int fFd = -1;
};

// The engine error code of a failed connection set-up.
struct TNetError {
  int fCode;
};

using TDeadline = std::chrono::steady_clock::time_point;

// Waits for iEvents on iFd; the returned events, or 0 when the deadline passed
// or *iCancel became true (looked at every 100 ms).
short WaitFd(int iFd, short iEvents, TDeadline iDeadline, const std::atomic<bool>* iCancel = nullptr);

// A non-blocking TCP connection to iHost:iPort; throws TNetError
// (BASS_ERROR_FILEOPEN when refused or unknown, BASS_ERROR_TIMEOUT).
TSocket ConnectTo(const std::string& iHost, int iPort, TDeadline iDeadline, const std::atomic<bool>* iCancel = nullptr);
// Sends all of iData; false when the peer is gone or the deadline passed.
bool SendAll(int iFd, const void* iData, size_t iLength, TDeadline iDeadline, const std::atomic<bool>* iCancel = nullptr);
bool SendAll(int iFd, const std::string& iText, TDeadline iDeadline, const std::atomic<bool>* iCancel = nullptr);
// Reads a reply's head: up to and including the first empty line, or what came
// before the peer closed. Nothing beyond the head is taken from the socket.
// oTimedOut: the deadline passed first.
std::string ReadHead(int iFd, TDeadline iDeadline, bool& oTimedOut, const std::atomic<bool>* iCancel = nullptr,
                     size_t iMaxBytes = 8192);

// Reads until the peer closes, the deadline passes or iMaxBytes came (the
// short text body of a refusal).
std::string ReadRest(int iFd, TDeadline iDeadline, size_t iMaxBytes);

std::string Base64(const std::string& iBytes);
std::string UrlEncode(const std::string& iText);  // for query values

}  // namespace vt::engine
