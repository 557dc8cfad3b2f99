#include "shell/StartupValues.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

#include "shell/IniFile.h"

namespace {
constexpr const char* kSection = "General";
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof(name) - 1) != 0) return std::string();
  return name;
}

TStartupValues ReadStartupValues(const TIniFile& iIni) {
  TStartupValues values;
  values.InstanceNumber = iIni.ReadInteger(kSection, "InstanceNumber", 0);
  values.DisplayName = iIni.ReadString(kSection, "DisplayName", HostName());
  values.FullSlotCount = std::clamp(iIni.ReadInteger(kSection, "FullSlotCount", 4), 0, kMaxSlotCount);
  values.AlarmSlotCount = std::clamp(iIni.ReadInteger(kSection, "AlarmSlotCount", 0), 0, kMaxSlotCount);
  if (values.FullSlotCount + values.AlarmSlotCount < 1) values.FullSlotCount = 1;
  return values;
}

std::string SlotSectionName(int iIndex) { return "Slot" + std::to_string(iIndex); }
