#include "shell/SingleInstance.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QProcess>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

namespace {

QCoreApplication& Application() {
  static int argc = 1;
  static char name[] = "test_shell";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

// Runs the event loop until the condition holds or five seconds have passed.
bool ProcessEventsUntil(const std::function<bool()>& iCondition) {
  QDeadlineTimer deadline(5000);
  while (!iCondition()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class SingleInstanceTest : public testing::Test {
protected:
  void SetUp() override { Application(); }
  // numbers of their own, so parallel runs of the suite do not meet
  static int32_t Number(int iOffset) { return 1000000000 + static_cast<int32_t>(getpid()) * 8 + iOffset; }
  static std::string SocketPath(int32_t iNumber) {
    return QDir::tempPath().toStdString() + "/" + TSingleInstance::KeyFor(iNumber);
  }
};

TEST_F(SingleInstanceTest, KeyIsPrefixAndDecimalNumber) {
  EXPECT_EQ(TSingleInstance::KeyFor(4711), "com.quorvane.vantorel.4711");
  EXPECT_EQ(TSingleInstance::KeyFor(-12), "com.quorvane.vantorel.-12");
  EXPECT_EQ(TSingleInstance::KeyFor(INT32_MIN), "com.quorvane.vantorel.-2147483648");
  EXPECT_LE(TSingleInstance::KeyFor(INT32_MIN).size(), 33u);
}

TEST_F(SingleInstanceTest, SecondStartWithSameNumberRestoresFirst) {
  TSingleInstance first(Number(0));
  int restores = 0;
  first.SetRestoreCallback([&] { ++restores; });
  ASSERT_FALSE(first.TryHandOver());
  ASSERT_TRUE(first.Listen());

  TSingleInstance second(Number(0));
  EXPECT_TRUE(second.TryHandOver());
  EXPECT_TRUE(ProcessEventsUntil([&] { return restores == 1; }));

  TSingleInstance other(Number(1));
  EXPECT_FALSE(other.TryHandOver());
  ASSERT_TRUE(other.Listen());  // a different number starts normally
  EXPECT_TRUE(second.TryHandOver());
  EXPECT_TRUE(ProcessEventsUntil([&] { return restores == 2; }));

  // a live instance's key is never taken over
  TSingleInstance intruder(Number(0));
  EXPECT_FALSE(intruder.Listen());
  EXPECT_TRUE(first.IsListening());
}

TEST_F(SingleInstanceTest, StaleSocketOfCrashedInstanceIsReplaced) {
  const int32_t number = Number(2);
  const std::string path = SocketPath(number);
  std::filesystem::remove(path);
  {
    // bound but never listening and closed without removing the file: what a crash leaves
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(fd);
  }
  ASSERT_TRUE(std::filesystem::exists(path));

  TSingleInstance restarted(number);
  int restores = 0;
  restarted.SetRestoreCallback([&] { ++restores; });
  EXPECT_FALSE(restarted.TryHandOver());
  ASSERT_TRUE(restarted.Listen());
  EXPECT_TRUE(TSingleInstance(number).TryHandOver());
  EXPECT_TRUE(ProcessEventsUntil([&] { return restores == 1; }));
}

TEST_F(SingleInstanceTest, UnrelatedMessagesDoNotRestore) {
  TSingleInstance first(Number(3));
  int restores = 0;
  first.SetRestoreCallback([&] { ++restores; });
  ASSERT_TRUE(first.Listen());
  QLocalSocket stranger;
  stranger.connectToServer(QString::fromStdString(first.Key()));
  ASSERT_TRUE(stranger.waitForConnected(2000));
  stranger.write("hello\n");
  stranger.write(QByteArray(200, 'x'));
  stranger.waitForBytesWritten(2000);
  EXPECT_TRUE(ProcessEventsUntil([&] { return stranger.state() == QLocalSocket::UnconnectedState; }))
      << "an overlong message is cut off";
  EXPECT_EQ(restores, 0);
  // the instance still serves the real request afterwards
  EXPECT_TRUE(TSingleInstance(Number(3)).TryHandOver());
  EXPECT_TRUE(ProcessEventsUntil([&] { return restores == 1; }));
}

TEST_F(SingleInstanceTest, SecondProcessHandsOverAndEndsWithZero) {
  TSingleInstance first(Number(4));
  int restores = 0;
  first.SetRestoreCallback([&] { ++restores; });
  ASSERT_TRUE(first.Listen());

  auto run = [](int32_t iNumber) {
    QProcess probe;
    probe.start(VT_SINGLE_INSTANCE_PROBE, {QString::number(iNumber)});
    EXPECT_TRUE(probe.waitForFinished(10000));
    return probe.exitStatus() == QProcess::NormalExit ? probe.exitCode() : -1;
  };
  EXPECT_EQ(run(Number(4)), 0);
  EXPECT_TRUE(ProcessEventsUntil([&] { return restores == 1; }));
  EXPECT_EQ(run(Number(5)), 2);  // nobody runs under that number
  EXPECT_EQ(restores, 1);
}

}  // namespace
