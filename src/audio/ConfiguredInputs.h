#pragma once
// The inputs that the slots of the settings file record from. At boot a sound
// server or an interface may come up a little after the recorder; the start-up
// uses these to wait for them before the catalogue is settled for the run.
#include <string>
#include <vector>

class TIniFile;
class TDeviceList;

// Device ids of the enabled sound-card slots (full and alarm-only), in slot
// order and each once.
std::vector<std::string> ConfiguredInputs(const TIniFile& iIni);

// The ids of iIds that iList does not hold.
std::vector<std::string> MissingInputs(const std::vector<std::string>& iIds, const TDeviceList& iList);
