// The program with a display: the window comes up, the slots record as they do
// headless, a second start hands over to it, and the run ends in order on
// SIGTERM and on the window's close button, asking first unless told not to.
#include <gtest/gtest.h>
#include <signal.h>

#include "E2EProcess.h"
#include "XDisplay.h"

namespace {
int WindowInstanceNumber(int iOffset) { return 700000 + static_cast<int>(getpid() % 50000) * 4 + iOffset; }

std::string Ini(int iInstance, const std::string& iRoot, const std::string& iGeneral) {
  return "[General]\nInstanceNumber=" + std::to_string(iInstance) + "\nDisplayName=Desk\nFullSlotCount=1\n" + iGeneral +
         "[Slot0]\nName=Tone\nSource=Stream\nStreamURL=lavfi:sine=frequency=1000:sample_rate=48000\n"
         "Samplerate=48000\nFormat=wav16\nFolder=" + iRoot + "/rec\nCleanupDaysEnabled=off\nCleanupSpaceEnabled=off\n";
}

uintmax_t RecordedBytes(const std::string& iFolder) {
  uintmax_t bytes = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(iFolder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file() && it->path().extension() == ".wav") bytes += it->file_size();
  }
  return bytes;
}

std::unique_ptr<TChildProcess> StartWithDisplay(const std::string& iRoot, const TXvfb& iX) {
  return std::make_unique<TChildProcess>(std::vector<std::string>{VT_VANTOREL_EXE, "-rootfolder", iRoot},
                                         iRoot + "/out.txt",
                                         std::map<std::string, std::optional<std::string>>{
                                             {"DISPLAY", iX.Name()}, {"WAYLAND_DISPLAY", std::nullopt},
                                             {"QT_QPA_PLATFORM", std::nullopt}});
}
}  // namespace

TEST(DesktopWindowE2E, ShowsRecordsHandsOverAndEndsInOrder) {
  TXvfb x;
  ASSERT_TRUE(x.Ready());
  const std::string caption = "Quorvane Vantorel [ Desk / " + std::to_string(WindowInstanceNumber(0)) + " ]";

  // SIGTERM, and the window's close with the question answered Yes.
  for (const bool bySignal : {true, false}) {
    SCOPED_TRACE(bySignal ? "SIGTERM" : "close button");
    TE2ETempFolder root;
    WriteFileText(root / "Vantorel.ini", Ini(WindowInstanceNumber(0), root.Path(), ""));
    auto program = StartWithDisplay(root.Path(), x);
    Window window = 0;
    ASSERT_TRUE(WaitUntil([&] { return (window = x.Shown(caption)) != 0 || !program->Running(); }, 20000))
        << ReadFileText(root / "out.txt");
    ASSERT_TRUE(program->Running()) << ReadFileText(root / "out.txt");
    ASSERT_TRUE(WaitUntil([&] { return RecordedBytes(root / "rec") > 100000; }, 20000)) << "records as headless";

    if (bySignal) {
      auto second = StartWithDisplay(root.Path(), x);
      EXPECT_EQ(second->WaitExit(10000), std::optional<int>(0));
      EXPECT_TRUE(program->Running());
      EXPECT_TRUE(x.Viewable(window)) << "the first window is shown after the hand-over";
      program->Signal(SIGTERM);
    } else {
      x.RequestClose(window);
      Window question = 0;
      ASSERT_TRUE(WaitUntil([&] { return (question = x.Shown("Quorvane Vantorel")) != 0; }, 10000));
      EXPECT_TRUE(program->Running()) << "nothing ends before the answer";
      x.PressKey(question, XK_y);
    }
    EXPECT_EQ(program->WaitExit(10000), std::optional<int>(0)) << ReadFileText(root / "out.txt");
    const std::string ini = ReadFileText(root / "Vantorel.ini");
    EXPECT_NE(ini.find("[MainWindowPosition]"), std::string::npos) << "the window's place was saved at the end";
    EXPECT_NE(ini.find("SilenceDetection="), std::string::npos) << "the slot's section was written back";
  }
}

TEST(DesktopWindowE2E, CloseWithoutQuestionWhenConfirmationIsOff) {
  TXvfb x;
  ASSERT_TRUE(x.Ready());
  TE2ETempFolder root;
  WriteFileText(root / "Vantorel.ini", Ini(WindowInstanceNumber(1), root.Path(), "CloseConfirmation=off\n"));
  auto program = StartWithDisplay(root.Path(), x);
  const std::string caption = "Quorvane Vantorel [ Desk / " + std::to_string(WindowInstanceNumber(1)) + " ]";
  Window window = 0;
  ASSERT_TRUE(WaitUntil([&] { return (window = x.Shown(caption)) != 0 || !program->Running(); }, 20000))
      << ReadFileText(root / "out.txt");
  x.RequestClose(window);
  EXPECT_EQ(program->WaitExit(10000), std::optional<int>(0)) << ReadFileText(root / "out.txt");
}
