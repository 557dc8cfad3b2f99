#pragma once
// Services for URL stream tests: a private icecast2 on a free port, ffmpeg
// feeders for its mounts, and a static HTTP server for playlists. Every
// process is started here and stopped here by its pid; waits are bounded.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vt::streamtest {

using namespace std::chrono_literals;

inline bool WaitFor(const std::function<bool()>& iCondition, std::chrono::milliseconds iLimit) {
  const auto end = std::chrono::steady_clock::now() + iLimit;
  while (!iCondition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A port nobody listens on, for a server of a test to take. It lies below the
// kernel's range of ephemeral ports, so that no outgoing connection (of this or
// a parallel test) takes it as its own port before the server binds it.
inline int FreePort() {
  static std::mt19937 random(std::random_device{}() ^ unsigned(::getpid()));
  for (;;) {
    const int port = std::uniform_int_distribution<int>(20000, 32000)(random);
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    const bool free = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    if (free) return port;
  }
}

inline std::string Capture(const std::string& iCommand) {
  std::string out;
  if (FILE* p = ::popen(iCommand.c_str(), "r")) {
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

// A child process, ended (SIGTERM, then SIGKILL after 3 s) when destroyed.
class TChild {
public:
  TChild() = default;
  explicit TChild(const std::vector<std::string>& iArgs, const std::string& iLog = "/dev/null") { Start(iArgs, iLog); }
  ~TChild() { Stop(); }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  void Start(const std::vector<std::string>& iArgs, const std::string& iLog = "/dev/null") {
    Stop();
    std::vector<char*> argv;
    for (const auto& a : iArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, iLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawnp(&fPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) fPid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  bool Running() const { return fPid > 0 && ::waitpid(fPid, nullptr, WNOHANG) == 0; }
  void Stop(int iSignal = SIGTERM) {
    if (fPid <= 0) return;
    ::kill(fPid, iSignal);
    for (int i = 0; i < 150; ++i) {
      if (::waitpid(fPid, nullptr, WNOHANG) == fPid) {
        fPid = -1;
        return;
      }
      std::this_thread::sleep_for(20ms);
    }
    ::kill(fPid, SIGKILL);
    ::waitpid(fPid, nullptr, 0);
    fPid = -1;
  }

private:
  pid_t fPid = -1;
};

inline std::filesystem::path MakeTempDir(const std::string& iTag) {
  std::string pattern = (std::filesystem::temp_directory_path() / ("vt-" + iTag + "-XXXXXX")).string();
  std::filesystem::path dir = ::mkdtemp(pattern.data());
  // Services that drop their rights (icecast2) must still reach their files.
  std::filesystem::permissions(dir, std::filesystem::perms(0755));
  return dir;
}

class TIcecast {
public:
  static constexpr const char* kPassword = "hackme";

  // iShoutcastMount: also take Shoutcast 1 sources on port + 1 for this mount.
  explicit TIcecast(const std::string& iShoutcastMount = "") : fDir(MakeTempDir("icecast")), fShoutcastMount(iShoutcastMount) {
    std::filesystem::create_directories(fDir / "log");
    // A self-signed certificate, as small stations use: icecast2 wants the key
    // and the certificate in one file.
    const std::string pem = (fDir / "tls.pem").string();
    std::system(("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + pem + " -out " + pem + ".crt -days 30 "
                 "-subj /CN=127.0.0.1 >/dev/null 2>&1 && cat " + pem + ".crt >> " + pem + " && chmod 644 " + pem)
                    .c_str());
    std::system(("chown -R icecast2:icecast " + (fDir / "log").string() + " 2>/dev/null").c_str());
    // A port taken by another test between choosing and binding leaves the
    // server without it: then it is started again on other ports.
    for (int attempt = 0; attempt < 3 && !fReady; ++attempt) {
      fServer.Stop();
      fPort = FreePort();
      do fSecurePort = FreePort(); while (fSecurePort == fPort || fSecurePort == fPort + 1);
      fReady = StartServer();
    }
  }
  // Kills the server (no goodbye to its sources) and starts it again on the same ports.
  void Kill() { fServer.Stop(SIGKILL); }
  bool Restart() {
    fServer.Stop();
    return fReady = StartServer();
  }

  ~TIcecast() {
    fFeeders.clear();
    fServer.Stop();
    std::error_code ec;
    std::filesystem::remove_all(fDir, ec);
  }
  bool Ready() const { return fReady; }
  // What the server said on its console and in its error log, for a failure message.
  std::string Log() const {
    return "stdout: " + Capture("cat " + (fDir / "stdout.log").string() + " 2>&1") +
           "\nerror.log: " + Capture("tail -n 20 " + (fDir / "log" / "error.log").string() + " 2>&1") +
           "\nports " + std::to_string(fPort) + ", " + std::to_string(fSecurePort) + "; running " +
           (fServer.Running() ? "yes" : "no");
  }
  int Port() const { return fPort; }
  std::string Url(const std::string& iMount) const { return "http://127.0.0.1:" + std::to_string(fPort) + iMount; }
  // The same mount over TLS, with the self-signed certificate.
  std::string SecureUrl(const std::string& iMount) const {
    return "https://127.0.0.1:" + std::to_string(fSecurePort) + iMount;
  }
  std::string Status() const {
    return Capture("curl -s -m 2 http://127.0.0.1:" + std::to_string(fPort) + "/status-json.xsl");
  }
  bool MountLive(const std::string& iMount) const {
    return Status().find(":" + std::to_string(fPort) + iMount + "\"") != std::string::npos;  // its listenurl
  }

  // Feeds iMount with a stereo tone of iHz at real time, encoded as iKind:
  // "mp3", "ogg" (Vorbis), "aac" (AAC-LC in ADTS), "opus" or "flac" (both in Ogg).
  TChild& Feed(const std::string& iMount, const std::string& iKind, int iHz = 440) {
    struct TKind {
      const char *fName, *fCodec, *fContentType, *fMuxer, *fRate;
    };
    static constexpr TKind kKinds[] = {
        {"mp3", "libmp3lame", "audio/mpeg", "mp3", "44100"},
        {"ogg", "libvorbis", "application/ogg", "ogg", "44100"},
        {"aac", "aac", "audio/aac", "adts", "44100"},
        {"opus", "libopus", "audio/ogg", "ogg", "48000"},
        {"flac", "flac", "audio/ogg", "ogg", "44100"},
    };
    const TKind* kind = nullptr;
    for (const TKind& k : kKinds)
      if (iKind == k.fName) kind = &k;
    if (!kind) throw std::invalid_argument("no feeder for " + iKind);
    std::vector<std::string> args{"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                                  "sine=frequency=" + std::to_string(iHz) + ":sample_rate=" + kind->fRate, "-ac", "2",
                                  "-c:a", kind->fCodec};
    if (iKind != "flac") args.insert(args.end(), {"-b:a", "128k"});
    args.insert(args.end(), {"-content_type", kind->fContentType, "-f", kind->fMuxer,
                             "icecast://source:" + std::string(kPassword) + "@127.0.0.1:" + std::to_string(fPort) + iMount});
    fFeeders.push_back(std::make_unique<TChild>(args, (fDir / "feeder.log").string()));
    return *fFeeders.back();
  }
  // A feeder that could not connect (a busy machine: the server answers its
  // status page before it takes sources) is started again until the mount is
  // live; the feeder's log says why when it never is.
  bool FeedAndWait(const std::string& iMount, const std::string& iKind, int iHz = 440) {
    TChild* feeder = &Feed(iMount, iKind, iHz);
    const bool live = WaitFor([&] {
      if (MountLive(iMount)) return true;
      if (!feeder->Running()) {
        fFeeders.pop_back();
        feeder = &Feed(iMount, iKind, iHz);
      }
      return false;
    }, 30s);
    if (!live) std::fprintf(stderr, "feeder log:\n%s\n", Capture("tail -20 " + (fDir / "feeder.log").string()).c_str());
    return live;
  }
  void StopFeeders() { fFeeders.clear(); }

  // The admin metadata call that a playout system makes at each new song.
  bool SetTitle(const std::string& iMount, const std::string& iTitle) const {
    std::string song;
    for (unsigned char c : iTitle) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      song += std::isalnum(c) ? std::string(1, char(c)) : std::string(hex);
    }
    const std::string reply = Capture("curl -s -m 3 -u admin:" + std::string(kPassword) + " 'http://127.0.0.1:" +
                                      std::to_string(fPort) + "/admin/metadata?mount=" + iMount +
                                      "&mode=updinfo&song=" + song + "'");
    return reply.find("successful") != std::string::npos;
  }

private:
  bool StartServer() {
    const std::string pem = (fDir / "tls.pem").string();
    {
      std::ofstream(fDir / "icecast.xml") << "<icecast><location>" << fDir.filename().string() << "</location>"
          "<limits><burst-size>65536</burst-size></limits>"
          "<authentication><source-password>" << kPassword << "</source-password><admin-user>admin</admin-user>"
          "<admin-password>" << kPassword << "</admin-password></authentication>"
          "<listen-socket><port>" << fPort << "</port><bind-address>127.0.0.1</bind-address>"
          << (fShoutcastMount.empty() ? "" : "<shoutcast-mount>" + fShoutcastMount + "</shoutcast-mount>") << "</listen-socket>"
          "<listen-socket><port>" << fSecurePort << "</port><bind-address>127.0.0.1</bind-address><ssl>1</ssl></listen-socket>"
          "<paths><basedir>/usr/share/icecast2</basedir><logdir>" << (fDir / "log").string() << "</logdir>"
          "<ssl-certificate>" << pem << "</ssl-certificate>"
          "<webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>"
          "<logging><loglevel>2</loglevel></logging>"
          "<security><chroot>0</chroot><changeowner><user>icecast2</user><group>icecast</group></changeowner></security>"
          "</icecast>";
    }
    fServer.Start({"icecast2", "-c", (fDir / "icecast.xml").string()}, (fDir / "stdout.log").string());
    // Ours (its location is its folder's name) and listening on both ports.
    return WaitFor([&] {
      return Status().find(fDir.filename().string()) != std::string::npos &&
             Capture("curl -sk -m 2 -o /dev/null -w %{http_code} " + SecureUrl("/status-json.xsl")) == "200";
    }, 10s);
  }

  std::filesystem::path fDir;
  std::string fShoutcastMount;
  int fPort = 0, fSecurePort = 0;
  TChild fServer;
  bool fReady = false;
  std::vector<std::unique_ptr<TChild>> fFeeders;
};

// Serves a folder over HTTP (playlists for the opener to follow, files).
class THttpFolder {
public:
  THttpFolder() : fDir(MakeTempDir("http")), fPort(FreePort()) {
    fServer.Start({"/usr/bin/python3", "-m", "http.server", std::to_string(fPort), "--bind", "127.0.0.1",
                   "--directory", fDir.string()});
    fReady = WaitFor([&] { return !Capture("curl -s -m 1 -o /dev/null -w %{http_code} " + Url("/")).starts_with("000"); }, 10s);
  }
  ~THttpFolder() {
    fServer.Stop();
    std::error_code ec;
    std::filesystem::remove_all(fDir, ec);
  }
  bool Ready() const { return fReady; }
  void Write(const std::string& iName, const std::string& iText) const { std::ofstream(fDir / iName) << iText; }
  std::string Path(const std::string& iName) const { return (fDir / iName).string(); }
  std::string Url(const std::string& iPath) const { return "http://127.0.0.1:" + std::to_string(fPort) + iPath; }

private:
  std::filesystem::path fDir;
  int fPort;
  TChild fServer;
  bool fReady = false;
};

}  // namespace vt::streamtest
