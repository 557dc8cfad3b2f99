#include "audio/ConfiguredInputs.h"

#include <strings.h>

#include <algorithm>

#include "audio/AudioDevices.h"
#include "shell/IniFile.h"
#include "shell/StartupValues.h"

std::vector<std::string> ConfiguredInputs(const TIniFile& iIni) {
  const TStartupValues counts = ReadStartupValues(iIni);
  std::vector<std::string> ids;
  for (int i = 0; i < counts.FullSlotCount + counts.AlarmSlotCount; ++i) {
    const std::string section = SlotSectionName(i);
    if (!iIni.ReadSwitch(section, "Enabled", true) || iIni.ReadString(section, "Source", "") != "Soundcard") continue;
    const std::string id = iIni.ReadString(section, "Device", "");
    const auto same = [&](const std::string& iOther) { return strcasecmp(iOther.c_str(), id.c_str()) == 0; };
    if (!id.empty() && std::none_of(ids.begin(), ids.end(), same)) ids.push_back(id);
  }
  return ids;
}

std::vector<std::string> MissingInputs(const std::vector<std::string>& iIds, const TDeviceList& iList) {
  std::vector<std::string> missing;
  for (const auto& id : iIds)
    if (!iList.Find(id)) missing.push_back(id);
  return missing;
}
