// The program run as systemd runs a Type=notify service: READY=1 once its
// slots are started, its status, watchdog pings, and STOPPING=1 on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include "E2EProcess.h"
#include "controller/NotifySocket.h"

TEST(ServiceE2E, ReadyStatusWatchdogAndStopping) {
  TE2ETempFolder root;
  const int instance = 150000 + static_cast<int>(getpid() % 50000);
  WriteFileText(root / "Vantorel.ini", "[General]\nInstanceNumber=" + std::to_string(instance) +
                                           "\nFullSlotCount=2\n[Slot0]\nSource=None\nFolder=" + root.Path() +
                                           "/rec0\n[Slot1]\nSource=None\nFolder=" + root.Path() + "/rec1\n");
  TNotifySocket socket(root / "notify");
  auto program = StartVantorel(root.Path(), {{"NOTIFY_SOCKET", socket.Path()},
                                             {"WATCHDOG_USEC", "3000000"},
                                             {"WATCHDOG_PID", std::nullopt}});
  EXPECT_EQ(socket.WaitFor("READY=1", 20000), "READY=1\nSTATUS=0 slots recording, 0 in error")
      << ReadFileText(root / "out.txt");
  EXPECT_EQ(socket.WaitFor("WATCHDOG=1", 5000), "WATCHDOG=1");
  EXPECT_EQ(socket.WaitFor("WATCHDOG=1", 5000), "WATCHDOG=1");
  program->Signal(SIGTERM);
  EXPECT_EQ(socket.WaitFor("STOPPING=1", 5000), "STOPPING=1\nSTATUS=Stopping");
  EXPECT_EQ(program->WaitExit(10000), std::optional<int>(0));
}
