// What systemd hears from the controller: READY=1 with a status, watchdog
// pings from the tick, none while the tick hangs, and STOPPING=1.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "controller/LoggerMain.h"
#include "ControllerTestSupport.h"
#include "NotifySocket.h"
#include "shell/IniFile.h"

namespace {

using namespace std::chrono_literals;

class ServiceNotifierTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    char pattern[] = "/tmp/vt-notify-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    fRoot = pattern;
    fSocket = std::make_unique<TNotifySocket>(fRoot + "/notify");
    ::setenv("NOTIFY_SOCKET", fSocket->Path().c_str(), 1);
    ::setenv("WATCHDOG_USEC", "2000000", 1);
    ::unsetenv("WATCHDOG_PID");
  }
  void TearDown() override {
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    fSocket.reset();
    std::filesystem::remove_all(fRoot);
  }
  // Runs the event loop until a message with iPart arrives.
  std::string LoopUntil(const std::string& iPart, int iWaitMs) {
    std::string found;
    RunUntil([&] {
      for (const std::string& m : fSocket->Read()) {
        fSeen.push_back(m);
        if (found.empty() && m.find(iPart) != std::string::npos) found = m;
      }
      return !found.empty();
    }, iWaitMs);
    return found;
  }
  std::string fRoot;
  std::unique_ptr<TNotifySocket> fSocket;
  std::vector<std::string> fSeen;
};

TEST_F(ServiceNotifierTest, ReadyStatusAndPingsOnlyWhileTheTickRuns) {
  std::ofstream(fRoot + "/Vantorel.ini") << "[Slot0]\nSource=None\nFolder=" << fRoot << "/rec\n";
  TIniFile ini(fRoot + "/Vantorel.ini");
  TStartupValues values;
  values.FullSlotCount = 1;
  TLoggerMainOptions options;
  options.PluginFolder = fRoot + "/plugins/";
  TLoggerMain controller(ini, values, options);
  controller.NotifyServiceReady();
  EXPECT_EQ(fSocket->Read(1000), std::vector<std::string>{"READY=1\nSTATUS=0 slots recording, 0 in error"});

  // Pings come with the tick, at most once a second.
  auto pingTime = [&] {
    EXPECT_EQ(LoopUntil("WATCHDOG=1", 10000), "WATCHDOG=1");
    return std::chrono::steady_clock::now();
  };
  pingTime();
  const auto a = pingTime();
  const auto b = pingTime();
  EXPECT_GE(b - a, 900ms);

  // A tick that hangs: no ping goes out until it returns.
  std::vector<std::string> duringHang;
  bool hung = false;
  controller.SetOnTimerTick([&] {
    if (hung) return;
    hung = true;
    fSocket->Read();  // what went out before
    std::this_thread::sleep_for(3s);
    duringHang = fSocket->Read();
  });
  ASSERT_TRUE(RunUntil([&] { return hung; }, 5000));
  EXPECT_TRUE(duringHang.empty()) << duringHang.front();
  EXPECT_EQ(LoopUntil("WATCHDOG=1", 10000), "WATCHDOG=1") << "pings come back with the tick";

  controller.Close();
  EXPECT_EQ(fSocket->Read(1000), std::vector<std::string>{"STOPPING=1\nSTATUS=Stopping"});
}

// Without systemd nothing is sent anywhere, and nothing fails.
TEST_F(ServiceNotifierTest, NothingWithoutANotifySocket) {
  ::unsetenv("NOTIFY_SOCKET");
  TServiceNotifier notifier;
  notifier.Ready("x");
  notifier.Tick(5000);
  notifier.Stopping();
  EXPECT_TRUE(fSocket->Read(200).empty());
}

}  // namespace
