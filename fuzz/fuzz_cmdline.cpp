// Command lines split into arguments (the program's own, and an encoder's
// command text): measuring an argument and copying it agree, and the cursor
// never runs past the end.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shell/CmdLineHelper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  const std::string text(reinterpret_cast<const char*>(iData), iSize);
  const std::string line = text.substr(0, text.find('\0'));  // what a C string holds
  const std::vector<std::string> split = CmdLineSplit(text);
  const char* cursor = line.c_str();
  const char* const end = line.c_str() + line.size();
  size_t count = 0;
  for (;;) {
    const char* measure = cursor;
    size_t length = 0;
    if (!CmdLineNextParam(measure, nullptr, &length)) break;
    std::vector<char> buffer(length + 1);
    size_t copied = 0;
    if (!CmdLineNextParam(cursor, buffer.data(), &copied) || copied != length || cursor != measure || cursor > end)
      std::abort();
    if (count < split.size() && split[count] != std::string(buffer.data(), copied)) std::abort();
    ++count;
  }
  if (count != split.size() && line.size() == text.size()) std::abort();
  return 0;
}
