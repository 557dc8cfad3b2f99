#include "controller/EnginePlugins.h"

#include <fmt/format.h>

#include <filesystem>
#include <system_error>

#include "audio/engine/Engine.h"
#include "shell/CmdLineHelper.h"

std::string DefaultEnginePluginFolder() {
  const std::filesystem::path exe(CmdLineParamStr(0));
  return (exe.parent_path() / "plugins" / "bass").string() + "/";
}

int LoadEnginePlugins(const std::string& iFolder, const std::function<void(const std::string&)>& iReport) {
  std::error_code error;
  std::filesystem::directory_iterator it(iFolder, error);
  if (error) return 0;  // no plug-in folder: nothing to load
  int loaded = 0;
  for (const std::filesystem::directory_entry& entry : it) {
    const std::filesystem::path& path = entry.path();
    if (path.extension() != ".so") continue;
    if (BASS_PluginLoad(path.c_str(), BASS_UNICODE)) {
      ++loaded;
    } else {
      iReport(fmt::format("Error loading BASS plugin {}: BASS error {}", path.filename().string(), BASS_ErrorGetCode()));
    }
  }
  return loaded;
}
