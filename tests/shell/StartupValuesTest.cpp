#include "shell/StartupValues.h"

#include <gtest/gtest.h>

#include <string>

#include "TempFolder.h"
#include "shell/IniFile.h"

namespace {

struct TCountCase {
  const char* general;  // lines of [General]
  int full, alarm;
};

TEST(StartupValues, DefaultsFromEmptyFile) {
  TTempFolder folder;
  TIniFile ini(folder / "Vantorel.ini");
  TStartupValues values = ReadStartupValues(ini);
  EXPECT_EQ(values.InstanceNumber, 0);
  EXPECT_EQ(values.DisplayName, HostName());
  EXPECT_FALSE(values.DisplayName.empty());
  EXPECT_EQ(values.FullSlotCount, 4);
  EXPECT_EQ(values.AlarmSlotCount, 0);
}

TEST(StartupValues, ReadFromGeneralWithCountsClamped) {
  const TCountCase cases[] = {
      {"FullSlotCount=8\nAlarmSlotCount=2\n", 8, 2},
      {"FullSlotCount=300\nAlarmSlotCount=-5\n", 255, 0},
      {"FullSlotCount=0\nAlarmSlotCount=3\n", 0, 3},   // alarm-only recorders are fine
      {"FullSlotCount=0\nAlarmSlotCount=0\n", 1, 0},   // never without any slot
      {"FullSlotCount=-1\nAlarmSlotCount=0x100\n", 0, 255},
      {"FullSlotCount=many\n", 4, 0},
  };
  for (const auto& c : cases) {
    TTempFolder folder;
    WriteWholeFile(folder / "Vantorel.ini",
                   std::string("[General]\nInstanceNumber=-4711\nDisplayName=Studio B\n") + c.general);
    TIniFile ini(folder / "Vantorel.ini");
    TStartupValues values = ReadStartupValues(ini);
    EXPECT_EQ(values.InstanceNumber, -4711);
    EXPECT_EQ(values.DisplayName, "Studio B");
    EXPECT_EQ(values.FullSlotCount, c.full) << c.general;
    EXPECT_EQ(values.AlarmSlotCount, c.alarm) << c.general;
  }
}

}  // namespace
