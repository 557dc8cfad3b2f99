#include "shell/VantorelGlobals.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <system_error>

#include "shell/CmdLineHelper.h"
#include "shell/IniFile.h"
#include "shell/Version.h"

namespace {

std::string WithoutTrailingSlash(std::string iPath) {
  while (iPath.size() > 1 && iPath.back() == '/') iPath.pop_back();
  return iPath;
}

std::string WithTrailingSlash(std::string iPath) {
  if (iPath.empty() || iPath.back() != '/') iPath += '/';
  return iPath;
}

std::string EnvironmentValue(const char* iName) {
  const char* value = std::getenv(iName);
  return value ? std::string(value) : std::string();
}

std::string HomeFolder() {
  std::string home = EnvironmentValue("HOME");
  if (!home.empty()) return WithoutTrailingSlash(home);
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
    return WithoutTrailingSlash(found->pw_dir);
  return "/";
}

// XDG base directories must be absolute; relative values are to be ignored.
std::string XdgFolder(const char* iVariable, const std::string& iFallback) {
  std::string value = EnvironmentValue(iVariable);
  return !value.empty() && value[0] == '/' ? WithoutTrailingSlash(value) : iFallback;
}

// XDG_MUSIC_DIR="$HOME/Music" in user-dirs.dirs (written by xdg-user-dirs-update).
std::string MusicFolderFromUserDirs(const std::string& iHome) {
  std::string config = XdgFolder("XDG_CONFIG_HOME", iHome + "/.config");
  std::ifstream in(config + "/user-dirs.dirs");
  std::string line, found;
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, 14, "XDG_MUSIC_DIR=") != 0) continue;
    std::string value = line.substr(start + 14);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
      value.pop_back();
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/'))
      value = iHome + value.substr(5);
    if (!value.empty() && value[0] == '/') found = WithoutTrailingSlash(value);  // the last line wins
  }
  return found;
}

struct TGlobals {
  std::string fRootFolder;
  std::unique_ptr<TIniFile> fIniFile;
};

std::once_flag gDefaultOnce;
TGlobals gGlobals;

std::string DefaultRootFolder() {
  return WithTrailingSlash(GetSpecialFolder(spfCommonAppData)) + "Quorvane/Vantorel/";
}

void SetGlobals(std::string iRootFolder) {
  gGlobals.fRootFolder = std::move(iRootFolder);
  std::error_code ignored;  // an uncreatable folder shows later as defaults and failed writes
  std::filesystem::create_directories(gGlobals.fRootFolder, ignored);
  gGlobals.fIniFile = std::make_unique<TIniFile>(gGlobals.fRootFolder + "Vantorel.ini");
}

// Code that runs without InitializeGlobals (tools, tests) still gets the default.
void EnsureGlobals() {
  std::call_once(gDefaultOnce, [] {
    if (!gGlobals.fIniFile) SetGlobals(DefaultRootFolder());
  });
}

}  // namespace

std::string GetSpecialFolder(TSpecialFolder iKind) {
  std::string home = HomeFolder();
  switch (iKind) {
    case spfCommonAppData:
      if (::geteuid() == 0) return "/var/lib";
      return XdgFolder("XDG_DATA_HOME", home + "/.local/share");
    case spfMyMusic: {
      std::string music = MusicFolderFromUserDirs(home);
      if (music.empty()) music = XdgFolder("XDG_MUSIC_DIR", home + "/Music");
      return music;
    }
  }
  return std::string();
}

std::string ChooseRootFolder(const std::vector<std::string>& iArgs, const std::string& iDefault) {
  const std::string* chosen = nullptr;
  for (size_t i = 0; i + 1 < iArgs.size(); ++i)
    if (iArgs[i] == "-rootfolder") chosen = &iArgs[i + 1];
  if (!chosen) return iDefault;
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(*chosen, ec);
  return WithTrailingSlash(ec ? *chosen : absolute.lexically_normal().string());
}

void InitializeGlobals(int argc, char** argv) {
  CmdLineSetParams(argc, argv);
  std::vector<std::string> args;
  for (int i = 1; i <= CmdLineParamCount(); ++i) args.push_back(CmdLineParamStr(i));
  std::call_once(gDefaultOnce, [] {});  // from now on the values are the chosen ones
  SetGlobals(ChooseRootFolder(args, DefaultRootFolder()));
}

const std::string& RootFolder() {
  EnsureGlobals();
  return gGlobals.fRootFolder;
}

TIniFile& IniFile() {
  EnsureGlobals();
  return *gGlobals.fIniFile;
}

uint64_t TickCount64() {
  // steady_clock is CLOCK_MONOTONIC: unaffected by clock changes, 64 bits never wrap
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool GetProgramVersion(uint16_t& oMajor, uint16_t& oMinor, uint16_t& oRelease, uint16_t& oBuild) {
  oMajor = VANTOREL_VERSION_MAJOR;
  oMinor = VANTOREL_VERSION_MINOR;
  oRelease = VANTOREL_VERSION_PATCH;
  oBuild = VANTOREL_VERSION_BUILD + 0;
  return true;
}
