#pragma once
// A Shoutcast-style (ICY) stream server inside the test process: every
// listener gets a live 16-bit stereo WAV tone at real time, with an ICY
// metadata block every iMetaInt bytes. A block carries a title only when the
// test announces one (and a new listener gets the current title first); the
// others are the empty blocks that mean "no change". So the test decides
// exactly when a title arrives, the same title again included, as a station
// announces it when the same item plays again.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vt::streamtest {

class TIcyServer {
public:
  // iPort 0: any free port.
  explicit TIcyServer(int iPort = 0, int iMetaInt = 8192, int iRate = 44100) : fMetaInt(iMetaInt), fRate(iRate) {
    fListener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(fListener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(iPort));
    if (::bind(fListener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fListener, 8) != 0) {
      ::close(fListener);
      fListener = -1;
      return;
    }
    socklen_t length = sizeof a;
    ::getsockname(fListener, reinterpret_cast<sockaddr*>(&a), &length);
    fPort = ntohs(a.sin_port);
    fAcceptor = std::thread([this] { Accept(); });
  }
  ~TIcyServer() {
    fStop = true;
    if (fAcceptor.joinable()) fAcceptor.join();
    if (fListener >= 0) ::close(fListener);
    std::list<TListener> listeners;
    {
      std::lock_guard lock(fLock);
      listeners.swap(fListeners);
    }
    for (TListener& l : listeners) l.fThread.join();  // each closes its own socket
  }
  TIcyServer(const TIcyServer&) = delete;
  TIcyServer& operator=(const TIcyServer&) = delete;

  bool Ready() const { return fListener >= 0; }
  int Port() const { return fPort; }
  std::string Url(const std::string& iPath = "/live") const {
    return "http://127.0.0.1:" + std::to_string(fPort) + iPath;
  }

  // Every listener gets iTitle in its next metadata block.
  void Announce(const std::string& iTitle) {
    std::lock_guard lock(fLock);
    fTitle = iTitle;
    ++fAnnouncements;
  }
  // Metadata blocks with a title sent to all listeners so far.
  int TitlesSent() const { return fTitlesSent.load(); }
  int Listeners() const { return fConnected.load(); }

private:
  struct TListener {
    int fSocket = -1;
    std::thread fThread;
  };

  void Accept() {
    while (!fStop) {
      pollfd p{fListener, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int client = ::accept(fListener, nullptr, nullptr);
      if (client < 0) continue;
      std::lock_guard lock(fLock);
      fListeners.push_back(TListener{client, {}});
      TListener& l = fListeners.back();
      l.fThread = std::thread([this, client] { Serve(client); });
    }
  }

  bool Send(int iSocket, const void* iData, size_t iLength) {
    const char* p = static_cast<const char*>(iData);
    while (iLength > 0 && !fStop) {
      pollfd w{iSocket, POLLOUT, 0};
      if (::poll(&w, 1, 50) <= 0) continue;
      const ssize_t n = ::send(iSocket, p, iLength, MSG_NOSIGNAL);
      if (n <= 0) return false;
      p += n;
      iLength -= size_t(n);
    }
    return iLength == 0;
  }

  // The request: only whether the client asked for ICY metadata matters.
  bool ReadRequest(int iSocket, bool& oIcy) {
    std::string request;
    char buffer[1024];
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (request.find("\r\n\r\n") == std::string::npos) {
      if (fStop || std::chrono::steady_clock::now() > giveUp) return false;
      pollfd r{iSocket, POLLIN, 0};
      if (::poll(&r, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(iSocket, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      request.append(buffer, size_t(n));
    }
    std::transform(request.begin(), request.end(), request.begin(), [](unsigned char c) { return std::tolower(c); });
    oIcy = request.find("\r\nicy-metadata: 1") != std::string::npos;
    return true;
  }

  // The metadata block due now: the current title once per announcement, else empty.
  std::string MetadataBlock(uint64_t& ioSeen) {
    std::string text;
    {
      std::lock_guard lock(fLock);
      if (ioSeen == fAnnouncements) return std::string(1, '\0');
      ioSeen = fAnnouncements;
      text = "StreamTitle='" + fTitle + "';";
    }
    ++fTitlesSent;
    const size_t blocks = (text.size() + 15) / 16;
    std::string block(1, char(blocks));
    block += text;
    block.resize(1 + blocks * 16, '\0');
    return block;
  }

  void Serve(int iSocket) {
    bool icy = false;
    if (ReadRequest(iSocket, icy)) {
      ++fConnected;
      Stream(iSocket, icy);
      --fConnected;
    }
    ::close(iSocket);
  }

  void Stream(int iSocket, bool iIcy) {
    std::string header = "HTTP/1.0 200 OK\r\nContent-Type: audio/wav\r\nicy-name: Test\r\n";
    if (iIcy) header += "icy-metaint: " + std::to_string(fMetaInt) + "\r\n";
    header += "\r\n";
    if (!Send(iSocket, header.data(), header.size())) return;

    // A WAV header of unknown length, then the tone.
    const uint32_t rate = uint32_t(fRate), byteRate = rate * 4;
    std::vector<uint8_t> audio(44);
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&audio[at], &v, 4); };
    auto put16 = [&](size_t at, uint16_t v) { std::memcpy(&audio[at], &v, 2); };
    std::memcpy(&audio[0], "RIFF", 4);
    put32(4, 0xFFFFFFFFu);
    std::memcpy(&audio[8], "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);
    put16(22, 2);
    put32(24, rate);
    put32(28, byteRate);
    put16(32, 4);
    put16(34, 16);
    std::memcpy(&audio[36], "data", 4);
    put32(40, 0xFFFFFFFFu);

    uint64_t frame = 0, sinceMeta = 0, seen = 0;
    const auto start = std::chrono::steady_clock::now();
    const uint64_t burst = rate;  // a second at once, as servers do on connect
    while (!fStop) {
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const uint64_t due = burst + uint64_t(elapsed * rate);
      while (frame < due) {
        const int16_t v = int16_t(8000 * std::sin(2 * M_PI * 440.0 * double(frame) / rate));
        for (int c = 0; c < 2; ++c) {
          audio.push_back(uint8_t(v & 0xFF));
          audio.push_back(uint8_t((uint16_t(v) >> 8) & 0xFF));
        }
        ++frame;
      }
      // Out with the audio, a metadata block after every fMetaInt bytes of it.
      size_t at = 0;
      while (at < audio.size()) {
        const size_t take = iIcy ? std::min<size_t>(audio.size() - at, size_t(fMetaInt) - sinceMeta) : audio.size() - at;
        if (!Send(iSocket, audio.data() + at, take)) return;
        at += take;
        sinceMeta += take;
        if (iIcy && sinceMeta == uint64_t(fMetaInt)) {
          const std::string block = MetadataBlock(seen);
          if (!Send(iSocket, block.data(), block.size())) return;
          sinceMeta = 0;
        }
      }
      audio.clear();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  const int fMetaInt;
  const int fRate;
  int fListener = -1;
  int fPort = 0;
  std::atomic<bool> fStop{false};
  std::atomic<int> fTitlesSent{0};
  std::atomic<int> fConnected{0};
  std::thread fAcceptor;
  std::mutex fLock;  // fListeners, fTitle, fAnnouncements
  std::list<TListener> fListeners;
  std::string fTitle;
  uint64_t fAnnouncements = 0;
};

}  // namespace vt::streamtest
