// The settings file as a user may have edited it: every kind of value read
// back, and (for one input in 64, since it goes through the disk) changed
// and written again.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "shell/IniFile.h"

namespace {
std::string FileName() {
  // in memory where there is such a file system: every input goes through the file
  static const std::string name = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                  "/vt-fuzz-ini-" + std::to_string(::getpid()) + ".ini";
  return name;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  {
    std::ofstream out(FileName(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(iData), static_cast<std::streamsize>(iSize));
  }
  TIniFile ini(FileName());
  for (const char* section : {"General", "Webserver", "Slot1", ""}) {
    (void)ini.SectionExists(section);
    (void)ini.ReadString(section, "Port", "5252");
    (void)ini.ReadInteger(section, "Count", 7);
    (void)ini.ReadBool(section, "Enabled", false);
    (void)ini.ReadSwitch(section, "Enabled", true);
  }
  if (iSize % 64 != 0) {
    std::remove(FileName().c_str());
    return 0;
  }
  try {
    TIniUpdate update(ini);
    ini.WriteString("Webserver", "Port", "8080");
    ini.WriteInteger("Slot1", "Count", -3);
    ini.DeleteKey("General", "Port");
    update.Commit();
  } catch (const std::exception&) {
  }
  (void)ini.ReadString("Webserver", "Port", "");
  std::remove(FileName().c_str());
  return 0;
}
