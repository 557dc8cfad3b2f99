#pragma once
// Services of the whole-program tests: a private PulseAudio server with a null
// sink (and a low-latency reader that keeps its monitor clocked), test signals,
// free ports, and reading the slots' databases.
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <regex>
#include <sstream>

#include "E2EProcess.h"

// A TCP port nobody listens on right now.
inline int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

class TPulseServer {
public:
  explicit TPulseServer(const std::string& iFolder) : fFolder(iFolder) {
    std::filesystem::create_directories(fFolder + "/xdg");
    std::filesystem::permissions(fFolder + "/xdg", std::filesystem::perms::owner_all);
    fEnv = {{"XDG_RUNTIME_DIR", fFolder + "/xdg"}, {"PULSE_SERVER", "unix:" + fFolder + "/pulse.sock"}};
    fServer = std::make_unique<TChildProcess>(
        std::vector<std::string>{"pulseaudio", "--exit-idle-time=-1", "--disallow-exit", "-n", "--disable-shm=yes",
                                 "--log-target=file:" + fFolder + "/pa.log",
                                 "--load=module-null-sink sink_name=logtest rate=48000 channels=2",
                                 "--load=module-native-protocol-unix auth-anonymous=1 socket=" + fFolder + "/pulse.sock"},
        fFolder + "/pa.out", fEnv);
    const bool up = WaitUntil([&] { return std::filesystem::exists(fFolder + "/pulse.sock"); }, 10000);
    if (!up) throw std::runtime_error("pulseaudio did not start: " + ReadFileText(fFolder + "/pa.log"));
    // An idle null sink runs at about 2 s latency; a reader keeps it tight.
    fReader = std::make_unique<TChildProcess>(
        std::vector<std::string>{"pacat", "--record", "--latency-msec=20", "-d", "logtest.monitor", "/dev/null"},
        fFolder + "/pacat.out", fEnv);
  }
  ~TPulseServer() {
    fPlayer.reset();
    fReader.reset();
    fServer.reset();
  }
  // The variables a client of this server needs.
  const std::map<std::string, std::optional<std::string>>& Env() const { return fEnv; }
  // Plays a file into the sink (replacing a previous player).
  void Play(const std::string& iWavFile) {
    fPlayer = std::make_unique<TChildProcess>(std::vector<std::string>{"paplay", "-d", "logtest", iWavFile},
                                              fFolder + "/paplay.out", fEnv);
  }
  bool Playing() { return fPlayer && fPlayer->Running(); }
  const char* Device() const { return "WASAPI:logtest.monitor"; }

private:
  std::string fFolder;
  std::map<std::string, std::optional<std::string>> fEnv;
  std::unique_ptr<TChildProcess> fServer;
  std::unique_ptr<TChildProcess> fReader;
  std::unique_ptr<TChildProcess> fPlayer;
};

// 16-bit stereo WAV at 48 kHz; iSample(n) gives frame n's value for both channels.
inline void WriteTestWav(const std::string& iPath, double iSeconds, const std::function<int16_t(int64_t)>& iSample) {
  const uint32_t frames = static_cast<uint32_t>(iSeconds * 48000);
  const uint32_t dataBytes = frames * 4;
  std::ofstream out(iPath, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + dataBytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(2);
  u32(48000);
  u32(48000 * 4);
  u16(4);
  u16(16);
  out.write("data", 4);
  u32(dataBytes);
  std::vector<int16_t> block;
  block.reserve(2 * 48000);
  for (uint32_t n = 0; n < frames; ++n) {
    const int16_t v = iSample(n);
    block.push_back(v);
    block.push_back(v);
    if (block.size() == block.capacity()) {
      out.write(reinterpret_cast<const char*>(block.data()), block.size() * 2);
      block.clear();
    }
  }
  out.write(reinterpret_cast<const char*>(block.data()), block.size() * 2);
}

inline int16_t Sine1k(int64_t n) { return static_cast<int16_t>(16000 * std::sin(2 * M_PI * 1000.0 * n / 48000.0)); }

// Left-channel samples of a 16-bit PCM WAV file (data to the end of the file,
// whatever the header says, so a file cut short is read in full).
inline std::vector<int16_t> ReadWavLeft(const std::string& iPath, int* oChannels = nullptr) {
  const std::string bytes = ReadFileText(iPath);
  std::vector<int16_t> left;
  if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0) return left;
  size_t at = 12;
  int channels = 2;
  while (at + 8 <= bytes.size()) {
    const std::string id = bytes.substr(at, 4);
    uint32_t size;
    std::memcpy(&size, bytes.data() + at + 4, 4);
    if (id == "fmt ") {
      uint16_t ch;
      std::memcpy(&ch, bytes.data() + at + 10, 2);
      channels = ch;
    }
    if (id == "data") {
      const size_t begin = at + 8;
      for (size_t p = begin; p + 2 * channels <= bytes.size(); p += 2 * channels) {
        int16_t v;
        std::memcpy(&v, bytes.data() + p, 2);
        left.push_back(v);
      }
      break;
    }
    at += 8 + size + (size & 1);
  }
  if (oChannels) *oChannels = channels;
  return left;
}

struct TRecordingRow {
  int Id = 0;
  std::string StartTime;
  bool HasDuration = false;
  double Duration = 0;
  std::string FileName;
};

inline std::vector<TRecordingRow> ReadRecordings(const std::string& iDatabase) {
  std::vector<TRecordingRow> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(iDatabase.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_busy_timeout(db, 2000);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT id, starttime, duration, filename FROM recordings ORDER BY id", -1, &st,
                         nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      TRecordingRow r;
      r.Id = sqlite3_column_int(st, 0);
      r.StartTime = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
      r.HasDuration = sqlite3_column_type(st, 2) != SQLITE_NULL;
      r.Duration = sqlite3_column_double(st, 2);
      r.FileName = reinterpret_cast<const char*>(sqlite3_column_text(st, 3));
      rows.push_back(r);
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

// An instance number of the Pulse-fed recording tests: this process's own
// band of four, so that parallel runs and their programs never share one.
inline int RecordingInstanceNumber(int iOffset) { return 300000 + static_cast<int>(getpid() % 50000) * 4 + iOffset; }

// The ini section of a slot that records a sound card device into iFolder,
// with no cleanup to interfere.
inline std::string SoundcardSlotSection(int iIndex, const std::string& iName, const std::string& iFormat, int iMinutes,
                                        const std::string& iDevice, const std::string& iFolder) {
  return "[Slot" + std::to_string(iIndex) + "]\nName=" + iName + "\nSource=Soundcard\nDevice=" + iDevice +
         "\nFormat=" + iFormat + "\nSamplerate=48000\nTimeSlotLength=" + std::to_string(iMinutes) +
         "\nFolder=" + iFolder + "\nCleanupDaysEnabled=off\nCleanupSpaceEnabled=off\n";
}

inline int CountOccurrences(const std::string& iText, const std::string& iWhat) {
  int n = 0;
  for (size_t at = iText.find(iWhat); at != std::string::npos; at = iText.find(iWhat, at + 1)) ++n;
  return n;
}

// Runs a command to its end (bounded) and returns its exit code; output in iOutputFile.
inline int RunCommand(const std::vector<std::string>& iArgs, const std::string& iOutputFile, int iTimeoutMs = 60000) {
  TChildProcess p(iArgs, iOutputFile);
  const auto code = p.WaitExit(iTimeoutMs);
  return code ? *code : -1;
}

// Seconds of audio in a file, as ffprobe measures it by decoding; -1 on failure.
inline double DecodedSeconds(const std::string& iFile, const std::string& iScratch) {
  const std::string out = iScratch + "/probe.txt";
  std::filesystem::remove(out);
  if (RunCommand({"ffmpeg", "-v", "error", "-i", iFile, "-f", "null", "-"}, out) != 0) return -1;
  if (!ReadFileText(out).empty()) return -1;  // decode errors
  std::filesystem::remove(out);
  RunCommand({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "default=nw=1:nk=1", iFile}, out);
  try {
    return std::stod(ReadFileText(out));
  } catch (...) {
    return -1;
  }
}

// Child processes of iParent with the given command name.
inline std::vector<pid_t> ChildrenNamed(pid_t iParent, const std::string& iName) {
  std::vector<pid_t> found;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const std::string name = e.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadFileText(e.path() / "stat");
    const size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    char state;
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid == iParent && stat.substr(open + 1, close - open - 1) == iName) found.push_back(std::stoi(name));
  }
  return found;
}
