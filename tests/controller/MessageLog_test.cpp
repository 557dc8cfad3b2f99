// The message log: capacity and order, synchronous delivery from other threads,
// and the two ways the owner thread can wait for a worker that logs.
#include "controller/MessageLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace {
// A task queue that the test's main thread pumps, standing in for the event loop.
class TTaskQueue {
public:
  void Post(std::function<void()> iTask) {
    std::lock_guard<std::mutex> lock(fLock);
    fTasks.push_back(std::move(iTask));
    fCV.notify_all();
  }
  // Runs tasks until iDone() holds; bounded.
  bool PumpUntil(const std::function<bool()>& iDone, int iTimeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
    while (!iDone()) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(fLock);
        // the condition may turn true without a task, so look again soon
        if (!fCV.wait_for(lock, std::chrono::milliseconds(5), [&] { return !fTasks.empty(); })) {
          if (std::chrono::steady_clock::now() > deadline) return iDone();
          continue;
        }
        task = std::move(fTasks.front());
        fTasks.pop_front();
      }
      task();
    }
    return true;
  }

private:
  std::mutex fLock;
  std::condition_variable fCV;
  std::deque<std::function<void()>> fTasks;
};

std::string MessageOf(const std::string& iLine) {
  // "yyyy-mm-dd hh:nn:ss: " is 21 characters
  return iLine.substr(21);
}
}  // namespace

TEST(MessageLog, LineFormatIsDateTimeColonMessage) {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 7;
  t.tm_min = 8;
  t.tm_sec = 9;
  t.tm_isdst = -1;
  EXPECT_EQ(FormatLogLine(std::mktime(&t), "Slot 1: started"), "2024-03-05 07:08:09: Slot 1: started");
}

TEST(MessageLog, KeepsTheNewest999InOrderOfArrival) {
  TMessageLog log;
  for (int i = 0; i < 1200; ++i) log.Add(std::to_string(i));
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 999u);
  for (size_t k = 0; k < lines.size(); ++k) ASSERT_EQ(MessageOf(lines[k]), std::to_string(201 + k));
}

TEST(MessageLog, AWorkerReturnsOnlyOnceTheOwnerTookItsLine) {
  TTaskQueue queue;
  TMessageLog log;
  log.SetPoster([&](TMessageLog::TTask t) { queue.Post(std::move(t)); });
  std::atomic<int> returned{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < 50; ++i) {
        const std::string text = "w" + std::to_string(w) + " " + std::to_string(i);
        log.Add(text);
        // synchronous: the line is in the log when Add returns
        bool found = false;
        for (const auto& line : log.Lines()) found = found || MessageOf(line) == text;
        EXPECT_TRUE(found) << text;
      }
      ++returned;
    });
  }
  EXPECT_TRUE(queue.PumpUntil([&] { return returned == 4; }));
  for (auto& t : workers) t.join();
  EXPECT_EQ(log.Lines().size(), 200u);
}

// The owner waits for a worker to end while the worker still logs: both kinds
// of waiting must let the worker's line through.
TEST(MessageLog, OwnerWaitingForALoggingWorkerDoesNotBlock) {
  for (const bool blockedScope : {false, true}) {
    SCOPED_TRACE(blockedScope ? "plain join inside a blocked scope" : "WaitServing");
    TTaskQueue queue;  // never pumped: the owner is busy waiting
    TMessageLog log;
    log.SetPoster([&](TMessageLog::TTask t) { queue.Post(std::move(t)); });
    std::atomic<bool> finished{false};
    std::thread worker([&] {
      log.Add("stream thread: closing");
      log.Add("stream thread: closed");
      finished = true;
    });
    if (blockedScope) {
      TMessageLog::TBlockedScope blocked(log);
      worker.join();
    } else {
      EXPECT_TRUE(log.WaitServing([&] { return finished.load(); }, 5000));
      worker.join();
    }
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(MessageOf(lines[0]), "stream thread: closing");
    EXPECT_EQ(MessageOf(lines[1]), "stream thread: closed");
  }
}

TEST(MessageLog, CloseReleasesAWorkerWaitingForAnOwnerThatNoLongerServes) {
  TTaskQueue queue;
  TMessageLog log;
  log.SetPoster([&](TMessageLog::TTask t) { queue.Post(std::move(t)); });
  std::thread worker([&] { log.Add("late line"); });
  // Usually the worker waits by now; if not, it finds the log closed. Either
  // way it must come back with its line taken.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  log.Close();
  worker.join();
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(MessageOf(log.Lines()[0]), "late line");
}

TEST(MessageLog, LineSinkSeesEveryLineOnceInOrder) {
  TTaskQueue queue;
  TMessageLog log(10);
  std::vector<std::string> sunk;
  log.SetLineSink([&](const std::string& l) { sunk.push_back(MessageOf(l)); });
  log.SetPoster([&](TMessageLog::TTask t) { queue.Post(std::move(t)); });
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 20; ++i) log.Add(std::to_string(i));
    done = true;
  });
  EXPECT_TRUE(queue.PumpUntil([&] { return done.load(); }));
  worker.join();
  ASSERT_EQ(sunk.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(sunk[i], std::to_string(i));
  EXPECT_EQ(log.Lines().size(), 10u);
}
