// Tiles over slots that really record: the window repaints every tick while
// the slots' threads write files and levels (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <QTest>

#include <filesystem>
#include <fstream>

#include "UiTestSupport.h"
#include "controller/LoggerMain.h"
#include "shell/IniFile.h"
#include "shell/VantorelGlobals.h"
#include "slot/SlotInfo.h"
#include "ui/LoggerMainForm.h"
#include "ui/SlotGrid.h"

TEST(RecordingTiles, SixteenRecordingSlotsRepaintWithMovingMeters) {
  App();
  char pattern[] = "/tmp/vt-ui-rec-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  constexpr int kSlots = 16;
  {
    std::ofstream ini(root + "/Vantorel.ini");
    ini << "[General]\nColumnCount=4\n";
    for (int i = 0; i < kSlots; ++i)
      ini << "[Slot" << i << "]\nName=Tone " << i << "\nSource=Stream\nStreamURL=lavfi:sine=frequency="
          << 300 + 50 * i << ":sample_rate=22050\nSamplerate=22050\nFormat=wav16\nFolder=" << root << "/rec" << i
          << "\nCleanupDaysEnabled=off\nCleanupSpaceEnabled=off\n";
  }
  {
    TIniFile ini(root + "/Vantorel.ini");
    TStartupValues values;
    values.FullSlotCount = kSlots;
    values.DisplayName = "Load";
    TLoggerMainOptions options;
    options.PluginFolder = root + "/plugins/";
    TLoggerMain controller(ini, values, options);
    TLoggerMainForm form(controller);
    form.resize(900, 700);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_TRUE(RunUntil(
        [&] {
          for (int i = 0; i < kSlots; ++i)
            if (!controller.Slot(i).Recording() || controller.Slot(i).CurrentLevelLeft() <= 0) return false;
          return true;
        },
        30000));
    // A second of repaints by the controller's tick, and grabs in between.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int grabs = 0;
    while (std::chrono::steady_clock::now() < end) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      form.Grid()->viewport()->grab();
      ++grabs;
    }
    EXPECT_GT(grabs, 0);
    for (int i = 0; i < kSlots; ++i) {
      const TTileData data = ReadTileData(controller.Slot(i));
      EXPECT_EQ(ComposeTile(data, TickCount64(), false).fState, tsOK) << i;
      EXPECT_GT(data.fCurrentLevelLeft, 0.1f) << i;
    }
  }
  std::filesystem::remove_all(root);
}
