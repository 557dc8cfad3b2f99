#pragma once
// Process-wide values, set once at start-up before any other thread exists.
#include <cstdint>
#include <string>
#include <vector>

class TIniFile;

inline constexpr const char* kApplicationTitle = "Quorvane Vantorel";

enum TSpecialFolder {
  spfCommonAppData,  // machine-wide application data: /var/lib as root, else the XDG data home
  spfMyMusic,        // the user's music folder (XDG music directory, ~/Music when unset)
};

// Path of the folder, without a trailing "/".
std::string GetSpecialFolder(TSpecialFolder iKind);

// Absolute root folder, ending with "/"; holds Vantorel.ini.
const std::string& RootFolder();
// The global settings file, RootFolder() + "Vantorel.ini".
TIniFile& IniFile();

// Milliseconds of the monotonic clock; never wraps.
uint64_t TickCount64();

// The version compiled in from the build's project version; true when known.
bool GetProgramVersion(uint16_t& oMajor, uint16_t& oMinor, uint16_t& oRelease, uint16_t& oBuild);

// Takes over the process's arguments, chooses and creates the root folder and opens
// the settings file (neither reading nor creating it).
void InitializeGlobals(int argc, char** argv);

// The root-folder rule on its own: the last "-rootfolder" followed by a value wins
// (expanded against the working directory, "/" appended), else iDefault.
// iArgs are the arguments after the executable's name.
std::string ChooseRootFolder(const std::vector<std::string>& iArgs, const std::string& iDefault);
