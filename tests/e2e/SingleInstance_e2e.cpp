// The program as a whole: one instance per instance number, and an orderly end
// on SIGTERM that leaves every slot's section in the settings file.
#include <gtest/gtest.h>
#include <signal.h>

#include "E2EProcess.h"

namespace {
std::string Ini(int iInstance, int iSlots, const std::string& iRoot) {
  std::string text = "[General]\nInstanceNumber=" + std::to_string(iInstance) +
                     "\nFullSlotCount=" + std::to_string(iSlots - 1) + "\nAlarmSlotCount=1\n";
  for (int i = 0; i < iSlots; ++i)
    text += "[Slot" + std::to_string(i) + "]\nSource=None\nFolder=" + iRoot + "/rec" + std::to_string(i) + "\n";
  return text;
}

// Unique per test run, so parallel runs do not meet.
int InstanceNumber(int iOffset) { return 100000 + static_cast<int>(getpid() % 50000) * 4 + iOffset; }
}  // namespace

TEST(ProgramE2E, SecondStartHandsOverAndSigtermEndsInOrder) {
  TE2ETempFolder root;
  const int instance = InstanceNumber(0);
  WriteFileText(root / "Vantorel.ini", Ini(instance, 3, root.Path()));
  auto first = StartVantorel(root.Path());
  // ready once the slots exist: each has made its recording folder
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(root / "rec2") || !first->Running(); }, 15000));
  ASSERT_TRUE(first->Running()) << ReadFileText(root / "out.txt");

  auto second = StartVantorel(root.Path());
  EXPECT_EQ(second->WaitExit(10000), std::optional<int>(0));
  EXPECT_TRUE(first->Running());
  // the console says why nothing started
  EXPECT_NE(ReadFileText(root / "out.txt").find("Instance " + std::to_string(instance) + " is already running"),
            std::string::npos);

  // another instance number starts normally beside it
  TE2ETempFolder other;
  WriteFileText(other / "Vantorel.ini", Ini(InstanceNumber(1), 1, other.Path()));
  auto third = StartVantorel(other.Path());
  EXPECT_FALSE(third->WaitExit(1500).has_value()) << ReadFileText(other / "out.txt");
  third->Stop();

  const auto start = std::chrono::steady_clock::now();
  first->Signal(SIGTERM);
  const auto code = first->WaitExit(1000);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(code.has_value()) << "still running 1 s after SIGTERM";
  EXPECT_EQ(*code, 0);
  EXPECT_LT(ms, 1000);

  const std::string ini = ReadFileText(root / "Vantorel.ini");
  for (int i = 0; i < 3; ++i) {
    const std::string section = "[Slot" + std::to_string(i) + "]";
    const size_t at = ini.find(section);
    ASSERT_NE(at, std::string::npos) << section;
    // a written section carries the slot's whole key table, not only what we prepared
    const size_t next = ini.find("\n[", at + 1);
    EXPECT_NE(ini.substr(at, next - at).find("SilenceDetection="), std::string::npos) << section;
  }
  EXPECT_NE(ini.find("[Webserver]"), std::string::npos);
  EXPECT_NE(ini.find("Enabled=off"), std::string::npos);
}

// A closed terminal (SIGHUP) ends the run in order as SIGTERM does; under nohup,
// which starts the program with the hang-up ignored, it goes on recording.
TEST(ProgramE2E, HangUpEndsInOrderUnlessIgnoredFromTheStart) {
  for (const bool ignored : {false, true}) {
    SCOPED_TRACE(ignored ? "started with SIGHUP ignored" : "SIGHUP as inherited");
    TE2ETempFolder root;
    WriteFileText(root / "Vantorel.ini", Ini(InstanceNumber(2), 1, root.Path()));
    void (*before)(int) = signal(SIGHUP, ignored ? SIG_IGN : SIG_DFL);
    auto program = StartVantorel(root.Path());
    signal(SIGHUP, before);
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(root / "rec0") || !program->Running(); }, 15000));
    ASSERT_TRUE(program->Running()) << ReadFileText(root / "out.txt");
    program->Signal(SIGHUP);
    if (ignored) {
      EXPECT_FALSE(program->WaitExit(1500).has_value());
      continue;
    }
    EXPECT_EQ(program->WaitExit(5000), std::optional<int>(0)) << ReadFileText(root / "out.txt");
    EXPECT_NE(ReadFileText(root / "Vantorel.ini").find("SilenceDetection="), std::string::npos)
        << "the slot's section was written back";
  }
}
