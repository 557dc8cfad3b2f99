#pragma once
// LV2 plug-ins for the DSP plug-in host, found and instantiated through lilv.
#include <memory>
#include <string>

#include "audio/engine/EnginePluginModule.h"

namespace vt::engine {

// True when iName is a URI (a scheme and a colon), which names an LV2 plug-in;
// anything else is a LADSPA library path.
bool IsLv2Uri(const std::string& iName);

// The installed LV2 plug-in iUri. Throws TPluginError: BASS_ERROR_FILEOPEN (no
// such plug-in), BASS_ERROR_NOTAVAIL (it requires a feature the host does not
// provide), BASS_ERROR_FORMAT (ports the host cannot run).
std::shared_ptr<const TPluginModule> LoadLv2Module(const std::string& iUri);

}  // namespace vt::engine
