#include "shell/CmdLineHelper.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>

namespace {

// Bytes of UTF-8 text are >= 0x80 and must never count as blanks, so every
// comparison goes through unsigned char.
bool IsBlank(char iChar) { return static_cast<unsigned char>(iChar) <= 32; }

class TArgumentSink {
public:
  explicit TArgumentSink(char* iDest) : fDest(iDest) {}
  void Append(char iChar) {
    if (fDest) fDest[fLength] = iChar;
    ++fLength;
  }
  void Append(char iChar, size_t iCount) {
    for (size_t i = 0; i < iCount; ++i) Append(iChar);
  }
  size_t Length() const { return fLength; }

private:
  char* fDest;
  size_t fLength = 0;
};

std::mutex gParamsLock;
std::optional<std::vector<std::string>> gParams;  // argv, guarded by gParamsLock

std::vector<std::string> ReadProcCmdLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> result;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    result.emplace_back(all, start, end - start);
    start = end + 1;
  }
  return result;
}

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer));
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace

bool CmdLineNextParam(const char*& ioCursor, char* oDest, size_t* oLength) {
  const char* p = ioCursor;
  while (*p != '\0' && IsBlank(*p)) ++p;
  if (*p == '\0') {
    ioCursor = p;
    if (oLength) *oLength = 0;
    return false;
  }

  TArgumentSink arg(oDest);
  bool quoting = false;
  while (*p != '\0') {
    if (*p == '\\') {
      size_t run = 0;
      while (*p == '\\') {
        ++run;
        ++p;
      }
      if (*p == '"') {
        arg.Append('\\', run / 2);
        if (run % 2 == 1) {
          arg.Append('"');
          ++p;
        }
        // an even run leaves the quote to toggle quoting below
      } else {
        arg.Append('\\', run);
      }
      continue;
    }
    if (*p == '"') {
      quoting = !quoting;
      ++p;
      continue;
    }
    if (!quoting && IsBlank(*p)) break;  // the cursor stays on the blank
    arg.Append(*p);
    ++p;
  }
  ioCursor = p;
  if (oLength) *oLength = arg.Length();
  return true;
}

std::vector<std::string> CmdLineSplit(const std::string& iCommandLine) {
  std::vector<std::string> result;
  const char* cursor = iCommandLine.c_str();
  for (;;) {
    const char* start = cursor;
    size_t length = 0;
    if (!CmdLineNextParam(cursor, nullptr, &length)) break;
    std::string arg(length, '\0');
    CmdLineNextParam(start, arg.data(), nullptr);
    result.push_back(std::move(arg));
  }
  return result;
}

void CmdLineSetParams(int argc, const char* const* argv) {
  std::vector<std::string> params;
  for (int i = 0; i < argc && argv && argv[i]; ++i) params.emplace_back(argv[i]);
  std::lock_guard lock(gParamsLock);
  gParams = std::move(params);
}

namespace {
const std::vector<std::string>& ParamsLocked() {
  if (!gParams) gParams = ReadProcCmdLine();
  return *gParams;
}
}  // namespace

int CmdLineParamCount() {
  std::lock_guard lock(gParamsLock);
  const auto& params = ParamsLocked();
  return params.empty() ? 0 : static_cast<int>(params.size() - 1);
}

std::string CmdLineParamStr(int iIndex) {
  if (iIndex <= 0) return ExecutablePath();
  std::lock_guard lock(gParamsLock);
  const auto& params = ParamsLocked();
  return static_cast<size_t>(iIndex) < params.size() ? params[static_cast<size_t>(iIndex)]
                                                     : std::string();
}
