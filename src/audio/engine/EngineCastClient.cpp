#include "audio/engine/EngineCastClient.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vt::engine {
namespace {

using TClock = std::chrono::steady_clock;

// The encoder writes a frame at a time; gathered for up to this long (or this
// much), the stream goes out in a few sends a second instead of dozens.
constexpr auto kGather = std::chrono::milliseconds(250);
constexpr size_t kGatherBytes = 32 * 1024;

// A small send buffer, so that a server that stops reading shows up as a
// stalled send within seconds instead of after megabytes.
constexpr int kSendBuffer = 64 * 1024;

// The status code of an HTTP reply's first line, 0 when there is none.
int StatusCode(const std::string& iHead) {
  if (!iHead.starts_with("HTTP/")) return 0;
  const auto space = iHead.find(' ');
  if (space == std::string::npos) return 0;
  return std::atoi(iHead.c_str() + space + 1);
}

void AddHeader(std::string& ioRequest, const char* iName, const std::string& iValue) {
  if (!iValue.empty()) ioRequest += std::string(iName) + ": " + iValue + "\r\n";
}

// Caller's extra header lines, each ended by CR LF.
std::string ExtraHeaders(const std::string& iHeaders) {
  std::string out, line;
  for (char c : iHeaders) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) out += line + "\r\n";
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) out += line + "\r\n";
  return out;
}

std::string IcecastRequest(const char* iMethod, const TCastTarget& iTarget, const TCastSettings& iSettings) {
  std::string r = std::string(iMethod) + " " + iTarget.fMount + " HTTP/" + (std::strcmp(iMethod, "PUT") == 0 ? "1.1" : "1.0") + "\r\n";
  r += "Host: " + iTarget.fHost + ":" + std::to_string(iTarget.fPort) + "\r\n";
  r += "Authorization: Basic " + Base64("source:" + iSettings.fPassword) + "\r\n";
  r += "User-Agent: Vantorel\r\n";
  AddHeader(r, "Content-Type", iSettings.fContentType);
  if (std::strcmp(iMethod, "PUT") == 0) r += "Expect: 100-continue\r\n";
  const std::string bitrate = iSettings.fBitrate ? std::to_string(iSettings.fBitrate) : "";
  const std::string pub = iSettings.fPublic ? "1" : "0";
  AddHeader(r, "ice-name", iSettings.fName);
  AddHeader(r, "ice-url", iSettings.fUrl);
  AddHeader(r, "ice-genre", iSettings.fGenre);
  AddHeader(r, "ice-description", iSettings.fDescription);
  AddHeader(r, "ice-public", pub);
  AddHeader(r, "ice-bitrate", bitrate);
  if (iSettings.fBitrate) AddHeader(r, "ice-audio-info", "bitrate=" + bitrate);
  AddHeader(r, "icy-name", iSettings.fName);
  AddHeader(r, "icy-url", iSettings.fUrl);
  AddHeader(r, "icy-genre", iSettings.fGenre);
  AddHeader(r, "icy-description", iSettings.fDescription);
  AddHeader(r, "icy-pub", pub);
  AddHeader(r, "icy-br", bitrate);
  r += ExtraHeaders(iSettings.fHeaders);
  r += "\r\n";
  return r;
}

std::string ShoutcastHeaders(const TCastSettings& iSettings) {
  std::string r;
  auto line = [&](const char* iName, const std::string& iValue) { r += std::string(iName) + ":" + iValue + "\r\n"; };
  if (!iSettings.fContentType.empty()) line("content-type", iSettings.fContentType);
  line("icy-name", iSettings.fName);
  line("icy-genre", iSettings.fGenre);
  line("icy-url", iSettings.fUrl);
  line("icy-pub", iSettings.fPublic ? "1" : "0");
  if (iSettings.fBitrate) line("icy-br", std::to_string(iSettings.fBitrate));
  if (!iSettings.fDescription.empty()) line("icy-description", iSettings.fDescription);
  r += ExtraHeaders(iSettings.fHeaders);
  r += "\r\n";
  return r;
}

// The engine's error code for a refused Icecast source request.
int IcecastRefusal(int iStatus, const std::string& iHead) {
  if (iStatus == 401) return BASS_ERROR_CAST_DENIED;
  if (iStatus == 403) {
    std::string lower = iHead;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (lower.find("in use") != std::string::npos) return BASS_ERROR_ALREADY;
    return BASS_ERROR_CAST_DENIED;
  }
  return BASS_ERROR_UNKNOWN;
}

}  // namespace

std::optional<TCastTarget> ParseCastServer(const std::string& iServer) {
  std::string rest = iServer;
  if (rest.starts_with("http://")) rest.erase(0, 7);
  TCastTarget target;
  std::string::size_type portAt;
  if (rest.starts_with("[")) {  // [IPv6]:port
    const auto close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return std::nullopt;
    target.fHost = rest.substr(1, close - 1);
    portAt = close + 2;
  } else {
    const auto colon = rest.find(':');
    if (colon == std::string::npos) return std::nullopt;
    target.fHost = rest.substr(0, colon);
    portAt = colon + 1;
  }
  size_t end = portAt;
  while (end < rest.size() && std::isdigit(static_cast<unsigned char>(rest[end]))) ++end;
  if (end == portAt || end - portAt > 5) return std::nullopt;
  target.fPort = std::stoi(rest.substr(portAt, end - portAt));
  if (target.fPort <= 0 || target.fPort > 65535 || target.fHost.empty()) return std::nullopt;
  const std::string tail = rest.substr(end);
  if (tail.empty()) {
    target.fProtocol = TCastTarget::cpShoutcast1;
  } else if (tail[0] == '/') {
    target.fProtocol = TCastTarget::cpIcecast;
    target.fMount = tail;
    if (tail.size() < 2) return std::nullopt;
  } else if (tail[0] == ',' && tail.size() > 1) {
    target.fProtocol = TCastTarget::cpShoutcast2;
    target.fStreamId = tail.substr(1);
  } else {
    return std::nullopt;
  }
  return target;
}

TCastClient::TCastClient(const TCastTarget& iTarget, const TCastSettings& iSettings, std::chrono::milliseconds iTimeout)
    : fTarget(iTarget), fSettings(iSettings), fTimeout(iTimeout), fQueue(kQueueBytes) {}

TCastClient::~TCastClient() { Close(); }

std::shared_ptr<TCastClient> TCastClient::Connect(const TCastTarget& iTarget, const TCastSettings& iSettings,
                                                  std::chrono::milliseconds iTimeout) {
  std::shared_ptr<TCastClient> client(new TCastClient(iTarget, iSettings, iTimeout));
  bool timedOut = false;
  if (iTarget.fProtocol == TCastTarget::cpIcecast) {
    // PUT first; a server from before Icecast 2.4 knows only SOURCE.
    for (const char* method : {"PUT", "SOURCE"}) {
      TSocket socket = ConnectTo(iTarget.fHost, iTarget.fPort, TClock::now() + iTimeout);
      if (!SendAll(socket.Fd(), IcecastRequest(method, iTarget, iSettings), TClock::now() + iTimeout))
        throw TNetError{BASS_ERROR_FILEOPEN};
      const std::string head = ReadHead(socket.Fd(), TClock::now() + iTimeout, timedOut);
      if (timedOut) throw TNetError{BASS_ERROR_TIMEOUT};
      const int status = StatusCode(head);
      if (status == 100 || status == 200) {
        client->fSocket = std::move(socket);
        break;
      }
      // Icecast says why in the body ("Mountpoint in use").
      if (status == 401 || status == 403)
        throw TNetError{IcecastRefusal(status, head + ReadRest(socket.Fd(), TClock::now() + iTimeout, 1024))};
      // Not understood (or the connection closed without a word): the older method.
      if (std::strcmp(method, "SOURCE") == 0) throw TNetError{status ? BASS_ERROR_UNKNOWN : BASS_ERROR_FILEOPEN};
    }
  } else {
    TSocket socket = ConnectTo(iTarget.fHost, iTarget.fPort + 1, TClock::now() + iTimeout);
    const std::string password =
        iTarget.fProtocol == TCastTarget::cpShoutcast2 ? iSettings.fPassword + ":#" + iTarget.fStreamId : iSettings.fPassword;
    if (!SendAll(socket.Fd(), password + "\r\n", TClock::now() + iTimeout)) throw TNetError{BASS_ERROR_FILEOPEN};
    const std::string head = ReadHead(socket.Fd(), TClock::now() + iTimeout, timedOut);
    if (!head.starts_with("OK")) {
      if (timedOut) throw TNetError{BASS_ERROR_TIMEOUT};
      // Shoutcast answers a wrong password with "invalid password", Icecast's
      // Shoutcast port by hanging up: both are a refusal.
      throw TNetError{BASS_ERROR_CAST_DENIED};
    }
    if (!SendAll(socket.Fd(), ShoutcastHeaders(iSettings), TClock::now() + iTimeout)) throw TNetError{BASS_ERROR_FILEOPEN};
    client->fSocket = std::move(socket);
  }
  ::setsockopt(client->fSocket.Fd(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
  return client;
}

void TCastClient::Start() {
  fSender = std::thread([this] { Send(); });
  fTitler = std::thread([this] { SendTitles(); });
}

void TCastClient::Deliver(const void* iData, size_t iLength) {
  {
    std::lock_guard lock(fLock);
    if (fDead.load(std::memory_order_relaxed) || fOverflow) return;
    if (fQueue.size() - fQueueSize < iLength) {
      fOverflow = true;  // the sender gives the connection up
    } else {
      const auto* p = static_cast<const uint8_t*>(iData);
      size_t tail = (fQueueHead + fQueueSize) % fQueue.size();
      const size_t first = std::min(iLength, fQueue.size() - tail);
      std::memcpy(fQueue.data() + tail, p, first);
      std::memcpy(fQueue.data(), p + first, iLength - first);
      fQueueSize += iLength;
    }
  }
  fWake.notify_all();
}

bool TCastClient::PeerClosed() const {
  pollfd pfd{fSocket.Fd(), POLLIN | POLLRDHUP, 0};
  if (::poll(&pfd, 1, 0) <= 0) return false;
  if (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) return true;
  // A source gets nothing after the set-up; whatever comes is read and dropped.
  char buffer[512];
  const ssize_t n = ::recv(fSocket.Fd(), buffer, sizeof buffer, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

void TCastClient::Send() {
  std::vector<uint8_t> piece(64 * 1024);
  auto lastSend = TClock::now();
  for (;;) {
    size_t length = 0;
    {
      std::unique_lock lock(fLock);
      fWake.wait_for(lock, std::chrono::milliseconds(200),
                     [&] { return fQueueSize > 0 || fOverflow || fClosing.load(std::memory_order_relaxed); });
      fWake.wait_until(lock, lastSend + kGather, [&] {
        return fQueueSize >= kGatherBytes || fOverflow || fClosing.load(std::memory_order_relaxed);
      });
      if (fClosing.load(std::memory_order_relaxed)) return;
      if (fOverflow) break;
      length = std::min(fQueueSize, piece.size());
      const size_t first = std::min(length, fQueue.size() - fQueueHead);
      std::memcpy(piece.data(), fQueue.data() + fQueueHead, first);
      std::memcpy(piece.data() + first, fQueue.data(), length - first);
      fQueueHead = (fQueueHead + length) % fQueue.size();
      fQueueSize -= length;
    }
    if (PeerClosed()) break;
    if (length > 0) {
      if (!SendAll(fSocket.Fd(), piece.data(), length, TClock::now() + fTimeout, &fClosing)) break;
      fSent.fetch_add(length, std::memory_order_relaxed);
      lastSend = TClock::now();
    }
  }
  if (!fClosing.load(std::memory_order_acquire)) Die();
}

void TCastClient::Die() {
  if (fDead.exchange(true)) return;
  ::shutdown(fSocket.Fd(), SHUT_RDWR);
  fWake.notify_all();
  if (fOnDeath) fOnDeath();
}

void TCastClient::SetTitle(const std::string& iTitle, const std::string& iUrl) {
  {
    std::lock_guard lock(fLock);
    fPendingTitle.emplace(iTitle, iUrl);  // only the newest title counts
  }
  fTitleWake.notify_all();
}

void TCastClient::SendTitles() {
  for (;;) {
    std::pair<std::string, std::string> title;
    {
      std::unique_lock lock(fLock);
      fTitleWake.wait(lock, [&] { return fPendingTitle.has_value() || fClosing.load(std::memory_order_relaxed); });
      if (fClosing.load(std::memory_order_relaxed)) return;
      title = std::move(*fPendingTitle);
      fPendingTitle.reset();
    }
    UpdateTitle(title.first, title.second);
  }
}

void TCastClient::UpdateTitle(const std::string& iTitle, const std::string& iUrl) {
  // The server's admin interface, on its main port, with the source's credentials.
  std::string request;
  if (fTarget.fProtocol == TCastTarget::cpIcecast) {
    request = "GET /admin/metadata?mount=" + UrlEncode(fTarget.fMount) + "&mode=updinfo&song=" + UrlEncode(iTitle) +
              (iUrl.empty() ? "" : "&url=" + UrlEncode(iUrl)) + " HTTP/1.0\r\n" +
              "Authorization: Basic " + Base64("source:" + fSettings.fPassword) + "\r\n";
  } else {
    request = "GET /admin.cgi?pass=" + UrlEncode(fSettings.fPassword) +
              (fTarget.fStreamId.empty() ? "" : "&sid=" + UrlEncode(fTarget.fStreamId)) +
              "&mode=updinfo&song=" + UrlEncode(iTitle) + (iUrl.empty() ? "" : "&url=" + UrlEncode(iUrl)) +
              " HTTP/1.0\r\n";
  }
  // Shoutcast servers answer admin requests only from a browser's user agent.
  request += "Host: " + fTarget.fHost + ":" + std::to_string(fTarget.fPort) + "\r\nUser-Agent: Vantorel (Mozilla compatible)\r\n\r\n";
  try {
    TSocket socket = ConnectTo(fTarget.fHost, fTarget.fPort, TClock::now() + fTimeout, &fClosing);
    if (!SendAll(socket.Fd(), request, TClock::now() + fTimeout, &fClosing)) return;
    bool timedOut;
    ReadHead(socket.Fd(), TClock::now() + fTimeout, timedOut, &fClosing);
  } catch (const TNetError&) {
    // A title that does not reach the server is not worth the stream: the next one may.
  }
}

void TCastClient::Close() {
  if (fClosing.exchange(true)) return;
  {
    std::lock_guard lock(fLock);  // no waiter misses the flag
  }
  fWake.notify_all();
  fTitleWake.notify_all();
  if (fSocket.Valid()) ::shutdown(fSocket.Fd(), SHUT_RDWR);
  if (fSender.joinable()) fSender.join();
  if (fTitler.joinable()) fTitler.join();
}

}  // namespace vt::engine
