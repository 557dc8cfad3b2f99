#pragma once
// Helpers of the cast and listener-server tests: a puller that runs a mixer
// like a slot does, a listener that reads a stream with or without ICY titles,
// a scripted peer that plays a streaming server badly, and a suite that shares
// one private icecast2.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EngineTestSupport.h"
#include "UrlStreamTestServices.h"
#include "audio/engine/Engine.h"

namespace vt::casttest {

using namespace std::chrono_literals;

// Pulls a decoding mixer in 50 ms blocks, iSpeed times faster than real time,
// and records the longest single pull.
class TPuller {
public:
  TPuller(DWORD iMixer, DWORD iFreq, double iSpeed = 1.0) : fMixer(iMixer), fFreq(iFreq), fSpeed(iSpeed) {
    fThread = std::thread([this] { Run(); });
  }
  ~TPuller() { Stop(); }
  void Stop() {
    fStop = true;
    if (fThread.joinable()) fThread.join();
  }
  std::chrono::microseconds LongestPull() const { return std::chrono::microseconds(fLongest.load()); }
  uint64_t Pulled() const { return fPulled.load(); }

private:
  void Run() {
    const DWORD frames = fFreq / 20;
    std::vector<float> block(frames * 2);
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(50ms / fSpeed);
    auto next = std::chrono::steady_clock::now();
    while (!fStop) {
      const auto start = std::chrono::steady_clock::now();
      BASS_ChannelGetData(fMixer, block.data(), DWORD(block.size() * sizeof(float)));
      const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
      if (took.count() > fLongest) fLongest = took.count();
      fPulled += frames;
      next += period;
      std::this_thread::sleep_until(next);
    }
  }
  DWORD fMixer, fFreq;
  double fSpeed;
  std::atomic<bool> fStop{false};
  std::atomic<int64_t> fLongest{0};
  std::atomic<uint64_t> fPulled{0};
  std::thread fThread;
};

inline int ConnectLocal(int iPort, int iReceiveBuffer = 0) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (iReceiveBuffer) ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &iReceiveBuffer, sizeof iReceiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(iPort));
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// A test suite that shares one private icecast2, which also takes Shoutcast 1
// sources for "/sc"; each test stops the feeders it started.
class TIcecastSuite : public ::testing::Test {
protected:
  static void SetUpTestSuite() { fServer = std::make_unique<vt::streamtest::TIcecast>("/sc"); }
  static void TearDownTestSuite() { fServer.reset(); }
  void SetUp() override {
    if (!fServer->Ready()) GTEST_FAIL() << "icecast2 did not start\n" << fServer->Log();
  }
  void TearDown() override { fServer->StopFeeders(); }
  inline static std::unique_ptr<vt::streamtest::TIcecast> fServer;
};

// The tone of iHz as a reader decodes it from iUrl (the second second of what
// it reads, past any start-up of the decoder); below zero where it got none.
inline double ToneAt(const std::string& iUrl, double iHz) {
  using vt::streamtest::WaitFor;
  // A mount that has just come up may not have enough for the opener's probe
  // yet (an Ogg encoder holds its first pages back): tried again for a while.
  HSTREAM stream = 0;
  WaitFor([&] { return (stream = BASS_StreamCreateURL(iUrl.c_str(), 0, 0x80280100u, nullptr, nullptr)) != 0; }, 15s);
  if (!stream) return -1.0;
  BASS_CHANNELINFO info{};
  BASS_ChannelGetInfo(stream, &info);
  std::vector<float> all;
  const size_t want = size_t(info.freq) * info.chans;  // one second
  WaitFor([&] {
    auto block = vt::engine::testing::PullFloat(stream, 4096, info.chans);
    all.insert(all.end(), block.begin(), block.end());
    return all.size() >= want * 2;
  }, 20s);
  BASS_StreamFree(stream);
  if (all.size() < want * 2) return -2.0;
  const std::vector<float> tail(all.end() - std::ptrdiff_t(want), all.end());
  return vt::engine::testing::ToneAmplitude(tail, info.chans, 0, iHz, info.freq);
}

// A listener that connects with a tiny receive window, sends its request and
// never reads; -1 where it could not connect or send the whole request.
inline int ConnectStalledListener(int iPort) {
  const int s = ConnectLocal(iPort, 4096);
  if (s < 0) return -1;
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  if (::send(s, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
    ::close(s);
    return -1;
  }
  return s;
}

// Whether the server ends iSocket's stream within iLimit: once the reader
// gets round to what is queued, it reads the end.
inline bool StreamEnds(int iSocket, std::chrono::milliseconds iLimit) {
  return vt::streamtest::WaitFor([&] {
    char buffer[65536];
    return ::recv(iSocket, buffer, sizeof buffer, MSG_DONTWAIT) == 0;
  }, iLimit);
}

// A listener: sends a GET, reads the reply head, then collects the audio and,
// with iMeta, the titles that the ICY blocks carry.
class TListener {
public:
  TListener(int iPort, const std::string& iPath, bool iMeta) {
    fSocket = ConnectLocal(iPort);
    const std::string request = "GET " + iPath + " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n" +
                                (iMeta ? "Icy-MetaData: 1\r\n" : "") + "\r\n";
    if (fSocket >= 0) [[maybe_unused]] auto n = ::send(fSocket, request.data(), request.size(), MSG_NOSIGNAL);
    fThread = std::thread([this] { Run(); });
  }
  ~TListener() {
    fStop = true;
    if (fThread.joinable()) fThread.join();
    if (fSocket >= 0) ::close(fSocket);
  }
  std::string Head() const {
    std::lock_guard lock(fLock);
    return fHead;
  }
  size_t AudioBytes() const {
    std::lock_guard lock(fLock);
    return fAudio.size();
  }
  std::vector<std::string> Titles() const {
    std::lock_guard lock(fLock);
    return fTitles;
  }
  bool HasTitle(const std::string& iTitle) const {
    std::lock_guard lock(fLock);
    return std::find(fTitles.begin(), fTitles.end(), iTitle) != fTitles.end();
  }
  bool Ended() const { return fEnded.load(); }

private:
  void Run() {
    std::string buffer;
    size_t metaint = 0, untilMeta = 0;
    bool inHead = true;
    char chunk[8192];
    while (!fStop && fSocket >= 0) {
      pollfd pfd{fSocket, POLLIN, 0};
      if (::poll(&pfd, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(fSocket, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buffer.append(chunk, size_t(n));
      std::lock_guard lock(fLock);
      if (inHead) {
        const auto end = buffer.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        fHead = buffer.substr(0, end + 4);
        buffer.erase(0, end + 4);
        inHead = false;
        const auto at = fHead.find("icy-metaint:");
        if (at != std::string::npos) metaint = untilMeta = std::stoul(fHead.substr(at + 12));
      }
      for (;;) {
        if (!metaint) {
          fAudio += buffer;
          buffer.clear();
          break;
        }
        if (untilMeta > 0) {
          const size_t take = std::min(untilMeta, buffer.size());
          fAudio.append(buffer, 0, take);
          buffer.erase(0, take);
          untilMeta -= take;
          if (untilMeta > 0) break;
        }
        if (buffer.empty()) break;
        const size_t length = size_t(uint8_t(buffer[0])) * 16;
        if (buffer.size() < 1 + length) break;
        const std::string meta = buffer.substr(1, length);
        buffer.erase(0, 1 + length);
        untilMeta = metaint;
        const auto start = meta.find("StreamTitle='");
        if (start != std::string::npos) {
          const auto end = meta.find("';", start);
          fTitles.push_back(meta.substr(start + 13, end - start - 13));
        }
      }
    }
    fEnded = true;
  }
  int fSocket = -1;
  std::atomic<bool> fStop{false}, fEnded{false};
  mutable std::mutex fLock;
  std::string fHead, fAudio;
  std::vector<std::string> fTitles;
  std::thread fThread;
};

// A peer on a port of its own that takes source connections one after the
// other and follows a script: the n-th connection's head is answered with
// iReplies[n] (the last one for the rest), and then it keeps reading, stops
// reading, or closes after iCloseAfter bytes of audio. A reply that starts
// with "close" closes the connection instead.
class TScriptedServer {
public:
  enum TAfter { saRead, saNeverRead, saCloseAfter, saNeverAnswer };
  TScriptedServer(int iPort, std::vector<std::string> iReplies, TAfter iAfter, size_t iCloseAfter = 0)
      : fReplies(std::move(iReplies)), fAfter(iAfter), fCloseAfter(iCloseAfter) {
    fListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1, small = 4096;
    ::setsockopt(fListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Inherited by the accepted socket: a peer that stops reading fills up soon.
    if (iAfter == saNeverRead) ::setsockopt(fListen, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(iPort));
    fBound = ::bind(fListen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fListen, 4) == 0;
    fThread = std::thread([this] { Run(); });
  }
  ~TScriptedServer() {
    fStop = true;
    if (fThread.joinable()) fThread.join();
    ::close(fListen);
  }
  bool Bound() const { return fBound; }
  // What the n-th connection received.
  std::string Received(size_t iConnection = 0) const {
    std::lock_guard lock(fLock);
    return iConnection < fReceived.size() ? fReceived[iConnection] : "";
  }
  size_t Connections() const {
    std::lock_guard lock(fLock);
    return fReceived.size();
  }
  // Connections that this side has closed or seen closed.
  int Closed() const { return fClosed.load(); }

private:
  void Run() {
    while (!fStop) {
      pollfd lfd{fListen, POLLIN, 0};
      if (::poll(&lfd, 1, 100) <= 0) continue;
      const int peer = ::accept(fListen, nullptr, nullptr);
      if (peer < 0) continue;
      size_t index;
      {
        std::lock_guard lock(fLock);
        index = fReceived.size();
        fReceived.emplace_back();
      }
      const std::string& reply = fReplies[std::min(index, fReplies.size() - 1)];
      bool answered = false;
      size_t headBytes = 0;
      char chunk[4096];
      while (!fStop) {
        if (answered && fAfter == saNeverRead) {
          std::this_thread::sleep_for(50ms);
          continue;
        }
        pollfd pfd{peer, POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0) continue;
        const ssize_t n = ::recv(peer, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        std::lock_guard lock(fLock);
        std::string& received = fReceived[index];
        received.append(chunk, size_t(n));
        if (!answered) {
          // A head ends with an empty line; a Shoutcast password is one line.
          const bool http = received.starts_with("PUT") || received.starts_with("SOURCE") || received.starts_with("GET");
          const bool complete = received.find("\r\n\r\n") != std::string::npos ||
                                (!http && received.find("\r\n") != std::string::npos);
          if (!complete || fAfter == saNeverAnswer) continue;
          if (reply.starts_with("close")) break;
          [[maybe_unused]] auto w = ::send(peer, reply.data(), reply.size(), MSG_NOSIGNAL);
          answered = true;
          headBytes = received.size();
        } else if (fAfter == saCloseAfter && received.size() - headBytes >= fCloseAfter) {
          break;
        }
      }
      ::close(peer);
      ++fClosed;
    }
  }
  std::vector<std::string> fReplies;
  TAfter fAfter;
  size_t fCloseAfter;
  int fListen = -1;
  bool fBound = false;
  std::atomic<bool> fStop{false};
  std::atomic<int> fClosed{0};
  mutable std::mutex fLock;
  std::vector<std::string> fReceived;
  std::thread fThread;
};

}  // namespace vt::casttest
