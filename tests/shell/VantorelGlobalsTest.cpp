#include "shell/VantorelGlobals.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "TempFolder.h"
#include "shell/IniFile.h"
#include "shell/Version.h"

namespace {

// Sets an environment variable for one test and puts the old value back.
class TEnvironmentValue {
public:
  TEnvironmentValue(const char* iName, const char* iValue) : fName(iName) {
    if (const char* old = std::getenv(iName)) fOld = old;
    if (iValue)
      setenv(iName, iValue, 1);
    else
      unsetenv(iName);
  }
  ~TEnvironmentValue() {
    if (fOld)
      setenv(fName.c_str(), fOld->c_str(), 1);
    else
      unsetenv(fName.c_str());
  }

private:
  std::string fName;
  std::optional<std::string> fOld;
};

struct TRootCase {
  const char* name;
  std::vector<std::string> args;
  std::string expected;  // "<default>" or an absolute folder; "@" stands for the working directory
};

TEST(ChooseRootFolder, LastOptionWinsAndIsMadeAbsolute) {
  const std::string cwd = std::filesystem::current_path().string();
  const TRootCase cases[] = {
      {"none", {}, "<default>"},
      {"quoted path with space", {"-rootfolder", "/srv/my logs"}, "/srv/my logs/"},
      {"trailing slash kept single", {"-rootfolder", "/srv/logs/"}, "/srv/logs/"},
      {"later wins", {"-rootfolder", "/a", "-x", "-rootfolder", "/b"}, "/b/"},
      {"capitals ignored", {"-ROOTFOLDER", "/a"}, "<default>"},
      {"last without value", {"-rootfolder"}, "<default>"},
      {"last without value keeps earlier", {"-rootfolder", "/a", "-rootfolder"}, "/a/"},
      {"relative", {"-rootfolder", "rel/dir"}, "@/rel/dir/"},
      {"value that looks like the option", {"-rootfolder", "-rootfolder"}, "@/-rootfolder/"},
  };
  for (const auto& c : cases) {
    std::string expected = c.expected;
    if (expected == "<default>") expected = "/default/";
    if (expected[0] == '@') expected = cwd + expected.substr(1);
    EXPECT_EQ(ChooseRootFolder(c.args, "/default/"), expected) << c.name;
  }
}

TEST(VantorelGlobals, InitializeCreatesRootFolderAndOpensSettingsFile) {
  TTempFolder folder;
  const std::string wanted = folder / "nested/root";
  std::string option = "-rootfolder", other = "/ignored";
  std::string exe = "vantorel";
  char* argv[] = {exe.data(), option.data(), other.data(), option.data(), const_cast<char*>(wanted.c_str()), nullptr};
  InitializeGlobals(5, argv);
  EXPECT_EQ(RootFolder(), wanted + "/");
  EXPECT_TRUE(std::filesystem::is_directory(wanted));
  EXPECT_EQ(IniFile().FileName(), wanted + "/Vantorel.ini");
  EXPECT_FALSE(std::filesystem::exists(wanted + "/Vantorel.ini")) << "opening must not create it";
  IniFile().WriteInteger("General", "ColumnCount", 2);
  EXPECT_EQ(ReadWholeFile(wanted + "/Vantorel.ini"), "[General]\nColumnCount=2\n");
}

TEST(VantorelGlobals, UncreatableRootFolderIsSilent) {
  TTempFolder folder;
  WriteWholeFile(folder / "file", "");
  std::string exe = "vantorel", option = "-rootfolder", bad = folder / "file/sub";
  char* argv[] = {exe.data(), option.data(), bad.data(), nullptr};
  EXPECT_NO_THROW(InitializeGlobals(3, argv));
  EXPECT_EQ(IniFile().ReadInteger("General", "ColumnCount", 1), 1);
  EXPECT_THROW(IniFile().WriteInteger("General", "ColumnCount", 2), std::runtime_error);
}

TEST(GetSpecialFolder, MusicFolderFromUserDirsOrDefault) {
  TTempFolder home;
  TEnvironmentValue setHome("HOME", home.Path().c_str());
  TEnvironmentValue noConfig("XDG_CONFIG_HOME", nullptr);
  TEnvironmentValue noMusic("XDG_MUSIC_DIR", nullptr);
  EXPECT_EQ(GetSpecialFolder(spfMyMusic), home.Path() + "/Music");

  std::filesystem::create_directories(home / ".config");
  WriteWholeFile(home / ".config/user-dirs.dirs",
                 "# written by xdg-user-dirs-update\n"
                 "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                 "XDG_MUSIC_DIR=\"$HOME/Musik/\"\n");
  EXPECT_EQ(GetSpecialFolder(spfMyMusic), home.Path() + "/Musik");

  TTempFolder config;
  TEnvironmentValue setConfig("XDG_CONFIG_HOME", config.Path().c_str());
  WriteWholeFile(config / "user-dirs.dirs", "XDG_MUSIC_DIR=\"/srv/m\xC3\xBAsica\"\n");
  EXPECT_EQ(GetSpecialFolder(spfMyMusic), "/srv/m\xC3\xBAsica");
}

TEST(GetSpecialFolder, ApplicationDataByUser) {
  TTempFolder home;
  TEnvironmentValue setHome("HOME", home.Path().c_str());
  TEnvironmentValue setData("XDG_DATA_HOME", "/srv/data/");
  if (geteuid() == 0) {
    EXPECT_EQ(GetSpecialFolder(spfCommonAppData), "/var/lib");
  } else {
    EXPECT_EQ(GetSpecialFolder(spfCommonAppData), "/srv/data");
    TEnvironmentValue relative("XDG_DATA_HOME", "relative");
    EXPECT_EQ(GetSpecialFolder(spfCommonAppData), home.Path() + "/.local/share");
  }
}

TEST(VantorelGlobals, TickCountAndVersion) {
  uint64_t first = TickCount64();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  uint64_t second = TickCount64();
  EXPECT_GE(second - first, 30u);  // milliseconds, not another unit

  uint16_t major = 0, minor = 0, release = 0, build = 0;
  ASSERT_TRUE(GetProgramVersion(major, minor, release, build));
  EXPECT_EQ(major, VANTOREL_VERSION_MAJOR);
  EXPECT_EQ(minor, VANTOREL_VERSION_MINOR);
  EXPECT_EQ(release, VANTOREL_VERSION_PATCH);
  EXPECT_EQ(build, VANTOREL_VERSION_BUILD);
}

}  // namespace
