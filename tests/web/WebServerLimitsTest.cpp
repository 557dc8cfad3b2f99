// The server under clients that send slowly, hold connections or ask for
// more than their share: the deadlines, the per-address limit and the cap of
// serving threads, over real sockets.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "RawClient.h"
#include "WebTestServer.h"

namespace {
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

int ProcessThreads() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (const dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

// A gate that request threads wait at until it opens.
class TGate {
public:
  void Pass() {
    std::unique_lock<std::mutex> lock(fMutex);
    ++fWaiting;
    fChanged.notify_all();
    fChanged.wait(lock, [this] { return fOpen; });
    --fWaiting;
  }
  bool WaitForWaiting(int iCount) {
    std::unique_lock<std::mutex> lock(fMutex);
    return fChanged.wait_for(lock, 30s, [&] { return fWaiting >= iCount; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(fMutex);
    fOpen = true;
    fChanged.notify_all();
  }

private:
  std::mutex fMutex;
  std::condition_variable fChanged;
  int fWaiting = 0;
  bool fOpen = false;
};

class WebServerLimitsTest : public ::testing::Test {
protected:
  TWebTestServer fServer;
  void SetUp() override {
    TWebSlotSnapshot slot;
    slot.Name = "News";
    fServer.Host.Slots = {slot};
  }
  bool NameServed() {
    auto r = fServer.Client()->Get("/ws/slots/0/name");
    return r && r->status == 200 && r->body == "News";
  }
};
}  // namespace

TEST_F(WebServerLimitsTest, TricklingClientsHoldNoThreadAndAreClosedAtTheHeaderDeadline) {
  auto config = TWebTestServer::Config(alReadOnly);
  config.MaxConnections = 16;
  config.HeaderTimeoutMs = 3000;
  fServer.Start(config);
  ASSERT_TRUE(NameServed());
  const int threadsBefore = ProcessThreads();

  // 200 clients, each from an address of its own (so that the per-address
  // limit plays no part), each sending a header byte every 200 ms
  std::vector<std::unique_ptr<TRawClient>> slow;
  for (int i = 0; i < 200; ++i) {
    const std::string from = "127.0.1." + std::to_string(i + 1);
    slow.push_back(std::make_unique<TRawClient>(fServer.Server.Port(), from.c_str()));
    ASSERT_TRUE(slow.back()->Connected) << from;
    slow.back()->Send("GET /ws/slots HTTP/1.1\r\n");
  }
  const auto connected = TClock::now();
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    while (trickling) {
      for (auto& c : slow) c->Send("X");
      std::this_thread::sleep_for(200ms);
    }
  });

  // meanwhile an ordinary client is served, again and again
  int served = 0, maxThreads = 0;
  double slowestMs = 0;
  while (TClock::now() - connected < 2s) {
    const auto t0 = TClock::now();
    served += NameServed();
    slowestMs = std::max(slowestMs, std::chrono::duration<double, std::milli>(TClock::now() - t0).count());
    maxThreads = std::max(maxThreads, ProcessThreads());
  }
  EXPECT_GT(served, 0);
  std::printf("served %d requests while 200 clients trickled, the slowest in %.1f ms\n", served, slowestMs);
  EXPECT_LE(maxThreads, threadsBefore + config.MaxConnections + 1) << "a thread for each slow connection";
  EXPECT_LE(fServer.Server.ServingThreads(), config.MaxConnections);

  // every slow connection is closed at its deadline, however it trickles on
  int closed = 0;
  for (auto& c : slow) {
    const auto left = connected + 3000ms + 15s - TClock::now();
    const std::string reply = c->Receive(std::chrono::duration_cast<std::chrono::milliseconds>(std::max(left, TClock::duration(0))));
    closed += c->Closed;
    EXPECT_TRUE(reply.empty() || RawStatus(reply) == 408) << reply;
  }
  trickling = false;
  trickle.join();
  EXPECT_EQ(closed, 200);
  EXPECT_TRUE(NameServed());
}

TEST_F(WebServerLimitsTest, OneAddressGetsItsShareTheOthersStillGetIn) {
  auto config = TWebTestServer::Config(alReadOnly);
  config.MaxConnectionsPerAddress = 4;
  config.HeaderTimeoutMs = 60000;  // the silent ones stay until they close
  fServer.Start(config);
  std::vector<std::unique_ptr<TRawClient>> silent;
  for (int i = 0; i < 10; ++i) {
    silent.push_back(std::make_unique<TRawClient>(fServer.Server.Port(), "127.0.0.2"));
    ASSERT_TRUE(silent.back()->Connected);
  }
  int busy = 0, held = 0;
  for (auto& c : silent) {
    const std::string reply = c->Receive(1500ms);
    if (c->Closed && RawStatus(reply) == 503) ++busy;
    if (!c->Closed && reply.empty()) ++held;
  }
  EXPECT_EQ(held, 4);
  EXPECT_EQ(busy, 6);
  // another address is served, and so is the first one once it holds fewer
  EXPECT_TRUE(NameServed());
  silent.clear();
  const auto deadline = TClock::now() + 20s;
  bool ok = false;
  while (!ok && TClock::now() < deadline) {
    TRawClient again(fServer.Server.Port(), "127.0.0.2");
    ok = RawStatus(again.Exchange("GET /ws/slots/0/name HTTP/1.1\r\nHost: x\r\n\r\n")) == 200;
  }
  EXPECT_TRUE(ok);
}

TEST_F(WebServerLimitsTest, ABodyThatDoesNotComeInItsTimeIsDropped) {
  auto config = TWebTestServer::Config(alAdmin);
  config.HeaderTimeoutMs = 1000;
  config.BodyTimeoutMs = 1000;
  config.MinBodyBytesPerSecond = 1000;  // 1000 bytes: one more second
  fServer.Start(config);
  TRawClient c(fServer.Server.Port());
  const auto t0 = TClock::now();
  c.Send("POST /ws/execute HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: 1000\r\n\r\ncommand=SLOT+1+STOP");
  const std::string reply = c.Receive(20s);
  const double seconds = std::chrono::duration<double>(TClock::now() - t0).count();
  EXPECT_TRUE(c.Closed);
  EXPECT_EQ(RawStatus(reply), 408);
  EXPECT_GE(seconds, 1.9) << "the body's time grows with its length";
  for (const auto& call : fServer.Host.Calls()) EXPECT_EQ(call.rfind("stop", 0), std::string::npos);
}

TEST_F(WebServerLimitsTest, RequestsBeyondTheThreadCapAreToldBusyAndThreadsServeAgainAfterwards) {
  auto gate = std::make_shared<TGate>();
  std::atomic<bool> holding{true};
  fServer.Host.OnSlot = [gate, &holding] {
    if (holding) gate->Pass();
  };
  auto config = TWebTestServer::Config(alReadOnly);
  config.MaxConnections = 2;
  fServer.Start(config);
  std::vector<std::thread> held;
  for (int i = 0; i < 2; ++i) held.emplace_back([&] { EXPECT_TRUE(NameServed()); });
  ASSERT_TRUE(gate->WaitForWaiting(2));
  // both serving threads are taken: the next request is told so at once
  auto r = fServer.Client()->Get("/ws/slots/0/name");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 503);
  EXPECT_LE(fServer.Server.ServingThreads(), 2);
  holding = false;
  gate->Open();
  for (auto& t : held) t.join();
  EXPECT_TRUE(NameServed());

  // Reused threads serve many connections one after another and several at
  // once, each reply whole.
  fServer.Server.Stop();
  fServer.Start(TWebTestServer::Config(alReadOnly));
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(NameServed()) << i;
  std::vector<std::thread> clients;
  std::atomic<int> served{0};
  for (int i = 0; i < 4; ++i)
    clients.emplace_back([&] {
      for (int k = 0; k < 25; ++k) served += NameServed();
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(served.load(), 100);
  // idle threads do not hold up the stop
  fServer.Server.Stop();
  EXPECT_FALSE(fServer.Server.IsRunning());
}
