#pragma once
// LADSPA libraries for the DSP plug-in host.
#include <memory>
#include <string>
#include <vector>

#include "audio/engine/EnginePluginModule.h"

namespace vt::engine {

// The plug-ins of the LADSPA library iPath (a bare file name is looked for in
// LADSPA_PATH and the usual folders). The first module is the one to run: the
// plug-in labelled iLabel, or without a label the first whose ports the host
// can run; the library's other plug-ins follow in library order.
// Throws TPluginError: BASS_ERROR_FILEOPEN (no such file), BASS_ERROR_FILEFORM
// (not a LADSPA library), BASS_ERROR_ILLPARAM (unknown label), BASS_ERROR_FORMAT
// (no plug-in with usable ports, or the labelled one has none).
std::vector<std::shared_ptr<const TPluginModule>> LoadLadspaModules(const std::string& iPath,
                                                                    const std::string& iLabel);

}  // namespace vt::engine
