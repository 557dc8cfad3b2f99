#pragma once
// Child processes of the whole-program tests: the program itself and the
// services it talks to. Each is started with posix_spawn, its output going to a
// file, and is stopped by its pid; every wait is bounded.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class TE2ETempFolder {
public:
  TE2ETempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vt-e2e-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    fPath = pattern;
  }
  ~TE2ETempFolder() {
    if (std::getenv("VT_E2E_KEEP")) return;  // left for a look after a failure
    std::error_code ignored;
    std::filesystem::remove_all(fPath, ignored);
  }
  TE2ETempFolder(const TE2ETempFolder&) = delete;
  TE2ETempFolder& operator=(const TE2ETempFolder&) = delete;
  const std::string& Path() const { return fPath; }
  std::string operator/(const std::string& iName) const { return fPath + "/" + iName; }

private:
  std::string fPath;
};

inline std::string ReadFileText(const std::string& iPath) {
  std::ifstream in(iPath, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFileText(const std::string& iPath, const std::string& iText) {
  std::ofstream(iPath, std::ios::binary) << iText;
}

// Polls iDone every 20 ms until it holds or iTimeoutMs passed.
inline bool WaitUntil(const std::function<bool()>& iDone, int iTimeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
  while (!iDone()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class TChildProcess {
public:
  // iEnv entries replace or add variables; a value of std::nullopt removes one.
  TChildProcess(const std::vector<std::string>& iArgs, const std::string& iOutputFile,
                const std::map<std::string, std::optional<std::string>>& iEnv = {}) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const size_t eq = entry.find('=');
      if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [k, v] : iEnv) {
      if (v) env[k] = *v;
      else env.erase(k);
    }
    std::vector<std::string> envText;
    for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
    std::vector<char*> argv, envp;
    for (const auto& a : iArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, iOutputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawnp(&fPid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + iArgs[0]);
  }
  ~TChildProcess() { Stop(); }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  pid_t Pid() const { return fPid; }
  bool Running() {
    Reap(0);
    return !fExit;
  }
  // The exit code (128 + signal when killed), or nullopt when still running after iTimeoutMs.
  std::optional<int> WaitExit(int iTimeoutMs) {
    WaitUntil([this] { return !Running(); }, iTimeoutMs);
    return fExit;
  }
  void Signal(int iSignal) {
    if (!fExit) kill(fPid, iSignal);
  }
  // SIGTERM, then SIGKILL after 5 s.
  void Stop() {
    if (fExit || fPid <= 0) return;
    Signal(SIGTERM);
    if (!WaitExit(5000)) {
      Signal(SIGKILL);
      WaitExit(5000);
    }
  }

private:
  void Reap(int iFlags) {
    if (fExit) return;
    int status = 0;
    if (waitpid(fPid, &status, WNOHANG | iFlags) == fPid) {
      fExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  pid_t fPid = -1;
  std::optional<int> fExit;
};

// The program with a root folder; its output (the log, headless) in <root>/out.txt.
inline std::unique_ptr<TChildProcess> StartVantorel(const std::string& iRoot,
                                                    const std::map<std::string, std::optional<std::string>>& iEnv = {}) {
  auto env = iEnv;
  env.emplace("DISPLAY", std::nullopt);
  env.emplace("WAYLAND_DISPLAY", std::nullopt);
  return std::make_unique<TChildProcess>(std::vector<std::string>{VT_VANTOREL_EXE, "-rootfolder", iRoot},
                                         iRoot + "/out.txt", env);
}
