#include "web/WebServerConfig.h"

#include <unistd.h>

#include <climits>
#include <regex>

namespace {

bool ParsePortNumber(const std::string& iText, int& oPort) {
  if (iText.empty() || iText.size() > 9) return false;
  for (char c : iText)
    if (c < '0' || c > '9') return false;
  oPort = std::stoi(iText);
  return true;
}
}  // namespace

TAccessLevel AccessLevelFromSettingText(const std::string& iText) {
  return iText == "Admin" ? alAdmin : iText == "ReadOnly" ? alReadOnly : alNone;
}

const char* AccessLevelSettingText(TAccessLevel iLevel) {
  switch (iLevel) {
    case alAdmin: return "Admin";
    case alReadOnly: return "ReadOnly";
    default: return "none";
  }
}

TListenAddress ParseListenAddress(const std::string& iText, int iPreviousPort) {
  static const std::regex kHostPort("^(.*):(\\d+)$");
  TListenAddress result{"0.0.0.0", iPreviousPort};
  std::smatch m;
  int port = 0;
  if (std::regex_match(iText, m, kHostPort)) {
    std::string host = m[1].str();
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (!host.empty()) result.Host = host;
    // digits too many for a port leave it to the bind to fail
    result.Port = ParsePortNumber(m[2].str(), port) ? port : INT_MAX;
  } else if (ParsePortNumber(iText, port)) {
    result.Port = port;
  }
  return result;
}

std::string DefaultOverrideFolder() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string exe = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string(".");
  const auto slash = exe.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
  return folder + "/resources/web";
}
