// The demo configuration through the whole program, as scripts/demo installs
// it: both generated stream slots write MP3 files with their rows, and the
// slot whose tone stops every other minute raises its silence alarm.
#include <gtest/gtest.h>

#include <regex>

#include "E2EServices.h"

namespace {

std::string DemoIni(const std::string& iRoot, int iPort, int iInstance) {
  std::string text = ReadFileText(std::string(VT_SOURCE_DIR) + "/demo/Vantorel.ini");
  text = std::regex_replace(text, std::regex("@ROOT@"), iRoot);
  // Its own port and instance, so the test runs beside a demo or another test.
  text = std::regex_replace(text, std::regex("Port=5252"), "Port=" + std::to_string(iPort));
  return std::regex_replace(text, std::regex("\\[General\\]"),
                            "[General]\nInstanceNumber=" + std::to_string(iInstance));
}

TEST(StreamDemo, RecordsBothSlotsAndReportsTheSilentMinute) {
  TE2ETempFolder root;
  WriteFileText(root / "Vantorel.ini", DemoIni(root.Path(), FreePort(), 310000 + int(getpid() % 50000)));
  auto program = StartVantorel(root.Path());
  for (const std::string name : {"Tone", "Gaps"}) {
    const std::string db = root / ("recordings/" + name + ".db");
    std::string file;
    ASSERT_TRUE(WaitUntil([&] {
      // Any of the slot's files: a start just before a minute boundary makes the
      // first file a second long, and the audio goes on in the next one.
      for (const auto& row : ReadRecordings(db)) {
        file = root / ("recordings/" + name + "/" + row.FileName);
        std::error_code ec;
        if (std::filesystem::file_size(file, ec) > 32 * 1024 && !ec) return true;  // two seconds of 128 kbit/s
      }
      return false;
    }, 30000)) << name << "\n" << ReadFileText(root / "out.txt");
    EXPECT_EQ(std::filesystem::path(file).extension(), ".mp3");
  }
  // The generated tone of "Gaps" stops one minute after it connected; ten seconds later the alarm.
  EXPECT_TRUE(WaitUntil([&] { return ReadFileText(root / "out.txt").find("Slot \"Gaps\" SILENCE DETECTED") != std::string::npos; },
                        100000))
      << ReadFileText(root / "out.txt");
  EXPECT_EQ(ReadFileText(root / "out.txt").find("Slot \"Tone\" SILENCE DETECTED"), std::string::npos);
  program->Stop();
}

}  // namespace
