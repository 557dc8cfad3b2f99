#pragma once
// Helpers of the alarm tests: temporary folders, fixture processes stopped by
// PID, free ports, bounded waits and the files the fixtures write.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace alarmtest {

inline const std::string cFixtures = std::string(VT_SOURCE_DIR) + "/tests/alarms/fixtures";

class TTempDir {
public:
  TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vt-alarms-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    fPath = pattern;
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(fPath, ec);
  }
  const std::string& Path() const { return fPath; }
  std::string operator/(const std::string& iName) const { return fPath + "/" + iName; }

private:
  std::string fPath;
};

// Bounded poll; true once iCondition holds.
inline bool WaitUntil(const std::function<bool()>& iCondition, std::chrono::milliseconds iTimeout) {
  const auto end = std::chrono::steady_clock::now() + iTimeout;
  while (!iCondition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class TChildProcess {
public:
  explicit TChildProcess(const std::vector<std::string>& iArgs, const std::string& iOutput = "/dev/null") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, iOutput.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, iOutput.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char*> argv;
    for (const auto& a : iArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&fPid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + iArgs[0]);
  }
  ~TChildProcess() {
    if (fPid <= 0) return;
    kill(fPid, SIGTERM);
    int status = 0;
    if (!WaitUntil([&] { return waitpid(fPid, &status, WNOHANG) == fPid; }, std::chrono::seconds(5))) {
      kill(fPid, SIGKILL);
      waitpid(fPid, &status, 0);
    }
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;
  bool Running() const { return waitpid(fPid, nullptr, WNOHANG) == 0; }

private:
  pid_t fPid = -1;
};

inline int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

inline bool PortAnswers(int iPort) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(iPort));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return ok;
}

inline std::string ReadFile(const std::string& iPath) {
  std::ifstream in(iPath, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::vector<std::string> ReadLines(const std::string& iPath) {
  std::vector<std::string> lines;
  std::ifstream in(iPath);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline std::map<std::string, std::string> ReadMeta(const std::string& iPath) {
  std::map<std::string, std::string> meta;
  for (const auto& line : ReadLines(iPath)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) meta[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return meta;
}

// A self-signed certificate for 127.0.0.1: cert.pem and key.pem in iDir.
inline void MakeCertificate(const std::string& iDir) {
  const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + iDir +
                          "/key.pem' -out '" + iDir + "/cert.pem' -days 30 -subj /CN=127.0.0.1 " +
                          "-addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("openssl failed");
}

// Waits for a fixture's port file; 0 when it did not appear.
inline int WaitForPortFile(const std::string& iPath) {
  if (!WaitUntil([&] { return std::filesystem::exists(iPath); }, std::chrono::seconds(15))) return 0;
  return std::stoi(ReadFile(iPath));
}

// The unfolded header block of a raw message, name -> value (first occurrence).
inline std::map<std::string, std::string> ParseHeaders(const std::string& iRaw) {
  std::map<std::string, std::string> headers;
  const std::string block = iRaw.substr(0, iRaw.find("\r\n\r\n"));
  std::string unfolded;
  for (size_t i = 0; i < block.size(); ++i) {
    if (block.compare(i, 3, "\r\n ") == 0 || block.compare(i, 3, "\r\n\t") == 0) {
      i += 1;
      continue;
    }
    unfolded += block[i];
  }
  std::stringstream in(unfolded);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    headers.emplace(line.substr(0, colon), value);
  }
  return headers;
}

// The HTTP fixture; iTLS uses the certificate in iDir.
class THTTPFixture {
public:
  THTTPFixture(const TTempDir& iDir, bool iTLS, const std::string& iName = "http")
      : fLog(iDir / (iName + ".log")), fPortFile(iDir / (iName + ".port")) {
    std::vector<std::string> args = {"/usr/bin/python3", cFixtures + "/http_server.py", fLog, fPortFile};
    if (iTLS) {
      args.push_back(iDir / "cert.pem");
      args.push_back(iDir / "key.pem");
    }
    fProcess = std::make_unique<TChildProcess>(args, iDir / (iName + ".out"));
    fPort = WaitForPortFile(fPortFile);
    if (fPort == 0) throw std::runtime_error("HTTP fixture did not start");
  }
  int Port() const { return fPort; }
  std::vector<std::string> Requests() const { return ReadLines(fLog); }
  std::string URL(const std::string& iPath, const std::string& iScheme = "http") const {
    return iScheme + "://127.0.0.1:" + std::to_string(fPort) + iPath;
  }

private:
  std::string fLog, fPortFile;
  std::unique_ptr<TChildProcess> fProcess;
  int fPort = 0;
};

}  // namespace alarmtest
