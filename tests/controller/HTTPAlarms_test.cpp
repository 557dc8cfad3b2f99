// The alarm call queue and its worker against a local HTTP server.
#include "alarms/AlarmTestSupport.h"

#include "controller/HTTPAlarms.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>

using namespace alarmtest;

namespace {

// Stands in for the controller's event loop: posted functions run in order on
// its own thread, and so does the log.
class TFakeController {
public:
  TFakeController() : fThread([this] { Run(); }) {}
  ~TFakeController() {
    {
      std::lock_guard<std::mutex> lock(fLock);
      fStop = true;
    }
    fWake.notify_all();
    fThread.join();
  }
  void Post(std::function<void()> iWork) {
    {
      std::lock_guard<std::mutex> lock(fLock);
      fQueue.push_back(std::move(iWork));
    }
    fWake.notify_all();
  }
  // the log: lines from the controller thread only, anything else is recorded as a fault
  void Log(const std::string& iLine) {
    std::lock_guard<std::mutex> lock(fLogLock);
    fLines.push_back(std::this_thread::get_id() == fThread.get_id() || std::this_thread::get_id() == fMain
                         ? iLine
                         : "WRONG THREAD: " + iLine);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(fLogLock);
    return fLines;
  }
  size_t CountWith(const std::string& iText) {
    size_t n = 0;
    for (const auto& l : Lines()) n += l.find(iText) != std::string::npos;
    return n;
  }

private:
  void Run() {
    std::unique_lock<std::mutex> lock(fLock);
    for (;;) {
      fWake.wait(lock, [this] { return fStop || !fQueue.empty(); });
      if (fQueue.empty()) return;
      auto work = std::move(fQueue.front());
      fQueue.pop_front();
      lock.unlock();
      work();
      lock.lock();
    }
  }
  std::thread::id fMain = std::this_thread::get_id();  // the test queues as the controller would
  std::mutex fLock;
  std::condition_variable fWake;
  std::deque<std::function<void()>> fQueue;
  bool fStop = false;
  std::mutex fLogLock;
  std::vector<std::string> fLines;
  std::thread fThread;
};

class HTTPAlarms : public ::testing::Test {
protected:
  void SetUp() override { fHTTP = std::make_unique<THTTPFixture>(fDir, false); }
  std::unique_ptr<THTTPAlarms> MakeAlarms(THTTPAlarmTimeouts iTimeouts = {}) {
    return std::make_unique<THTTPAlarms>([this](const std::string& l) { fController.Log(l); },
                                         [this](std::function<void()> f) { fController.Post(std::move(f)); },
                                         iTimeouts);
  }
  std::vector<std::string> Paths() {
    std::vector<std::string> paths;
    for (const auto& r : fHTTP->Requests()) {
      std::stringstream s(r);
      std::string time, path;
      s >> time >> path;
      paths.push_back(path);
    }
    return paths;
  }
  double RequestTime(size_t i) { return std::stod(fHTTP->Requests().at(i)); }

  TTempDir fDir;
  std::unique_ptr<THTTPFixture> fHTTP;
  TFakeController fController;
};

TEST_F(HTTPAlarms, QueuedURLsAreCalledOnceInOrderAndEmptyOnesIgnored) {
  auto alarms = MakeAlarms();
  alarms->QueueHTTPAlarm(fHTTP->URL("/ok?slot=1"));
  alarms->QueueHTTPAlarm("");
  alarms->QueueHTTPAlarm(fHTTP->URL("/ok?slot=2"));
  const auto lines = fController.Lines();
  ASSERT_EQ(lines.size(), 2u);  // both lines at once, before any call
  EXPECT_EQ(lines[0], "Making alarm call to " + fHTTP->URL("/ok?slot=1"));
  EXPECT_EQ(lines[1], "Making alarm call to " + fHTTP->URL("/ok?slot=2"));
  ASSERT_TRUE(WaitUntil([&] { return Paths().size() >= 2; }, std::chrono::seconds(10)));
  alarms.reset();
  EXPECT_EQ(Paths(), (std::vector<std::string>{"/ok?slot=1", "/ok?slot=2"}));
  EXPECT_EQ(fController.Lines().size(), 2u);
}

TEST_F(HTTPAlarms, FailuresAreLoggedOnTheControllerThreadAndTheNextURLFollows) {
  auto alarms = MakeAlarms(THTTPAlarmTimeouts{1000, 2000, 10000});
  const std::string failing = fHTTP->URL("/status/500");
  const std::string silent = fHTTP->URL("/silent");
  alarms->QueueHTTPAlarm(failing);
  alarms->QueueHTTPAlarm(silent);
  alarms->QueueHTTPAlarm(fHTTP->URL("/ok"));
  ASSERT_TRUE(WaitUntil([&] { return fController.CountWith("Error executing") >= 2; }, std::chrono::seconds(15)));
  ASSERT_TRUE(WaitUntil([&] { return Paths().size() >= 3; }, std::chrono::seconds(10)));
  const auto lines = fController.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3], "Error executing HTTP alarm call to " + failing + ": HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(lines[4], "Error executing HTTP alarm call to " + silent + ": Read timed out: no data for 1000 ms");
  EXPECT_EQ(Paths().back(), "/ok");
}

TEST_F(HTTPAlarms, URLQueuedDuringASlowCallStartsRightAfterIt) {
  auto alarms = MakeAlarms();
  alarms->QueueHTTPAlarm(fHTTP->URL("/slow/1.5"));
  ASSERT_TRUE(WaitUntil([&] { return Paths().size() == 1; }, std::chrono::seconds(10)));
  alarms->QueueHTTPAlarm(fHTTP->URL("/ok"));  // while the worker is busy
  ASSERT_TRUE(WaitUntil([&] { return Paths().size() == 2; }, std::chrono::seconds(10)));
  // started within a second of the slow call's end, not at the worker's idle wake-up
  EXPECT_LT(RequestTime(1) - RequestTime(0), 1.5 + 1.0);
  EXPECT_EQ(Paths()[1], "/ok");
}

TEST_F(HTTPAlarms, ShutdownDropsWaitingURLs) {
  auto alarms = MakeAlarms();
  alarms->QueueHTTPAlarm(fHTTP->URL("/slow/0.5"));
  ASSERT_TRUE(WaitUntil([&] { return Paths().size() == 1; }, std::chrono::seconds(10)));
  alarms->QueueHTTPAlarm(fHTTP->URL("/ok?never"));
  alarms.reset();  // the call in progress finishes; the waiting one is dropped
  EXPECT_EQ(Paths(), (std::vector<std::string>{"/slow/0.5"}));
  EXPECT_EQ(fController.CountWith("WRONG THREAD"), 0u);
}

TEST(HTTPAlarmDefaults, TimeoutsOfTheWorker) {
  THTTPAlarmTimeouts t;
  EXPECT_EQ(t.Read, 10000);
  EXPECT_GT(t.Connect, 0);
  EXPECT_GT(t.Call, t.Read);
}

}  // namespace
