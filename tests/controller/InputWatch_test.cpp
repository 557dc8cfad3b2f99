// The worker that looks for inputs slots wait for: requests while a look is
// under way are answered by it, the result reaches the controller thread, and
// which waiting ids may start.
#include "controller/InputWatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

bool WaitFor(const std::function<bool()>& iDone) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!iDone()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(InputWatch, RequestsDuringALookAreAnsweredByItAndResultsReachTheController) {
  std::mutex lock;
  std::condition_variable release;
  int permits = 0;  // looks allowed to finish
  std::atomic<int> scans{0};
  std::atomic<bool> lastProbedASIO{false};
  std::mutex postedLock;
  std::deque<std::function<void()>> posted;
  std::vector<TInputScan> results;  // controller thread (the test) only

  TInputWatch watch(
      [&](std::function<void()> iTask) {
        std::lock_guard<std::mutex> guard(postedLock);
        posted.push_back(std::move(iTask));
      },
      [&](const TInputScan& iScan) { results.push_back(iScan); },
      [&](bool iProbeASIO) {
        std::unique_lock<std::mutex> guard(lock);
        release.wait(guard, [&] { return permits > 0; });
        --permits;
        lastProbedASIO = iProbeASIO;
        TInputScan scan;
        scan.fInputs.push_back({TListedInput::ikWASAPI, 3, "WASAPI:late", "WASAPI: Late", true});
        ++scans;
        return scan;
      });
  const auto runPosted = [&] {
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard<std::mutex> guard(postedLock);
      tasks.swap(posted);
    }
    for (auto& task : tasks) task();
  };
  const auto letScansFinish = [&](int iCount) {
    std::lock_guard<std::mutex> guard(lock);
    permits += iCount;
    release.notify_all();
  };

  watch.Request(false);
  watch.Request(true);  // under way: answered by the first look
  watch.Request(true);
  letScansFinish(1);
  ASSERT_TRUE(WaitFor([&] {
    runPosted();
    return results.size() == 1;
  }));
  EXPECT_FALSE(lastProbedASIO);
  EXPECT_TRUE(results[0].Ready("wasapi:LATE"));  // ids without regard to case

  EXPECT_EQ(scans, 1);

  // Once the look is over, a request starts the next one.
  letScansFinish(1000);  // and lets every later look end, so the watch can end too
  ASSERT_TRUE(WaitFor([&] {
    watch.Request(true);
    runPosted();
    return results.size() >= 2;
  }));
  EXPECT_TRUE(lastProbedASIO);
}

TEST(InputWatch, WhichWaitingIdsMayStart) {
  TInputScan scan;
  scan.fInputs = {{TListedInput::ikWDM, 0, "WDM:0", "WDM: Default", false},
                  {TListedInput::ikWDM, 1, "WDM:1", "WDM: Card", true},
                  {TListedInput::ikWASAPI, 2, "WASAPI:mic", "WASAPI: Mic", true}};
  const std::pair<const char*, bool> cases[] = {
      {"WDM:0", false},       // listed, but cannot capture yet
      {"WDM:1", true},        {"WASAPI:mic", true},
      {"WASAPI:gone", false}, {"ASIO:0:0:2", false},  // the JACK server was not asked
  };
  for (const auto& [id, ready] : cases) EXPECT_EQ(scan.Ready(id), ready) << id;
  scan.fASIOProbed = true;
  scan.fASIOReachable = true;
  EXPECT_TRUE(scan.Ready("ASIO:0:0:2"));
}

}  // namespace
