#pragma once
// The engine's add-on decoders: every "*.so" of a folder, in the order the
// folder lists them. A file that does not load is reported and skipped.
#include <functional>
#include <string>

// "plugins/bass/" in the folder of the running executable.
std::string DefaultEnginePluginFolder();

// Returns the number of plug-ins loaded. iReport gets
// "Error loading BASS plugin <file name>: BASS error <code>" per failure.
int LoadEnginePlugins(const std::string& iFolder, const std::function<void(const std::string&)>& iReport);
