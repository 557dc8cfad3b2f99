// /metrics of the running program, scraped while a slot records a signal that
// goes silent and comes back, and while its encoder process is killed: each
// value moves as it should, counters never go back, and the text is valid
// Prometheus exposition (promtool's own check where it is installed).
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <dirent.h>

#include <cstdio>
#include <map>
#include <regex>
#include <sstream>

#include "E2EServices.h"

namespace {

using TSamples = std::map<std::string, double>;  // "name{labels}" -> value

// Parses the exposition strictly: every line is a HELP or TYPE comment or a
// sample of the family most recently typed.
TSamples Parse(const std::string& iText) {
  static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+)");
  static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge))");
  static const std::regex sample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*"(?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*")*\})? ([-+0-9.eE]+|NaN|[+-]Inf))");
  TSamples samples;
  std::string family;
  std::istringstream in(iText);
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_match(line, m, help)) continue;
    if (std::regex_match(line, m, type)) {
      family = m[1];
      continue;
    }
    EXPECT_TRUE(std::regex_match(line, m, sample)) << "not a sample line: " << line;
    if (m.empty()) continue;
    EXPECT_EQ(m[1].str(), family) << line;
    samples[m[1].str() + m[2].str()] = std::stod(m[3].str());
  }
  return samples;
}

// The encoder child of the program (lame), 0 while there is none.
pid_t EncoderChild(pid_t iProgram) {
  const std::string tasks = "/proc/" + std::to_string(iProgram) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (!dir) return 0;
  pid_t found = 0;
  while (dirent* e = readdir(dir)) {
    std::istringstream children(ReadFileText(tasks + "/" + e->d_name + "/children"));
    for (pid_t child; children >> child;)
      if (ReadFileText("/proc/" + std::to_string(child) + "/comm") == "lame\n") found = child;
  }
  closedir(dir);
  return found;
}

}  // namespace

TEST(MetricsE2E, ScrapedWhileRecordingThroughSilenceAndAKilledEncoder) {
  TE2ETempFolder root;
  const int port = FreePort();
  // 4 s of tone, 4 s of silence, and again.
  WriteFileText(root / "Vantorel.ini",
                "[General]\nInstanceNumber=" + std::to_string(200000 + getpid() % 50000) +
                    "\nFullSlotCount=2\n[Webserver]\nEnabled=on\nPort=" + std::to_string(port) +
                    "\nAnonymousAccess=ReadOnly\n[Slot0]\nName=Studio \"A\"\nSource=Stream\nStreamURL="
                    "lavfi:aevalsrc=exprs='if(lt(mod(t,8),4),0.5*sin(2*PI*440*t),0)':s=44100\n"
                    "Format=mp3\nBitrate=64\nSilenceDetection=2\nFolder=" + root.Path() + "/rec\n"
                    // a slot whose database cannot be made: a file stands where its folder should be
                    "[Slot1]\nName=B\nSource=Stream\nStreamURL=lavfi:anullsrc=r=8000\nFormat=wav16\nFolder=" +
                    root.Path() + "/recb\nDatabaseFile=" + root.Path() + "/blocker/b.db\n");
  WriteFileText(root / "blocker", "not a folder");
  auto program = StartVantorel(root.Path());
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(2);
  client.set_read_timeout(5);

  std::vector<TSamples> scrapes;
  std::string lastText;
  auto scrape = [&]() -> const TSamples& {
    static const TSamples none;
    auto reply = client.Get("/metrics");
    if (!reply || reply->status != 200) return none;
    EXPECT_EQ(reply->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    lastText = reply->body;
    scrapes.push_back(Parse(reply->body));
    return scrapes.back();
  };
  const std::string slot = R"({slot="0",name="Studio \"A\""})";
  auto value = [&](const TSamples& s, const std::string& iName, const std::string& iExtra = "") {
    const std::string key = iName + (iExtra.empty() ? slot : slot.substr(0, slot.size() - 1) + "," + iExtra + "}");
    const auto it = s.find(key);
    return it == s.end() ? std::nan("") : it->second;
  };
  auto waitFor = [&](const std::function<bool(const TSamples&)>& iDone, int iMs) {
    return WaitUntil([&] {
      const TSamples& s = scrape();
      return !s.empty() && iDone(s);
    }, iMs);
  };
  auto log = [&] { return ReadFileText(root / "out.txt") + "\nlast scrape:\n" + lastText; };

  // Recording, with the tone's level.
  ASSERT_TRUE(waitFor([&](const TSamples& s) {
    return value(s, "vantorel_slot_recording") == 1 && value(s, "vantorel_slot_peak_dbfs", "channel=\"left\"") > -10;
  }, 20000)) << log();
  EXPECT_LT(value(scrapes.back(), "vantorel_slot_silence_seconds"), 1.5);
  // The current file's loudness follows the tone (its peak is above -10 dBFS).
  EXPECT_TRUE(waitFor([&](const TSamples& s) {
    return value(s, "vantorel_slot_loudness_momentary_lufs") > -25 &&
           value(s, "vantorel_slot_loudness_shortterm_lufs") > -25;
  }, 10000)) << log();
  EXPECT_EQ(value(scrapes.back(), "vantorel_slot_streaming", "state=\"disabled\""), 1);
  EXPECT_EQ(value(scrapes.back(), "vantorel_slot_database_error"), 0);
  EXPECT_TRUE(waitFor([&](const TSamples& s) { return s.count(R"(vantorel_slot_database_error{slot="1",name="B"})") &&
                                                      s.at(R"(vantorel_slot_database_error{slot="1",name="B"})") == 1; },
                      10000)) << log();
  // Silent: the floor level, seconds of silence, then the alarm.
  ASSERT_TRUE(waitFor([&](const TSamples& s) { return value(s, "vantorel_slot_silence_alarm") == 1; }, 20000)) << log();
  EXPECT_EQ(value(scrapes.back(), "vantorel_slot_peak_dbfs", "channel=\"right\""), -120);
  EXPECT_GE(value(scrapes.back(), "vantorel_slot_silence_seconds"), 2);
  // Back: the alarm clears.
  ASSERT_TRUE(waitFor([&](const TSamples& s) {
    return value(s, "vantorel_slot_silence_alarm") == 0 && value(s, "vantorel_slot_silence_seconds") < 1;
  }, 20000)) << log();

  // The encoder is killed: the file ends (counted, with its size) and the next begins.
  EXPECT_EQ(value(scrapes.back(), "vantorel_slot_files_written_total"), 0);
  const double secondsBefore = value(scrapes.back(), "vantorel_slot_file_seconds");
  EXPECT_GT(secondsBefore, 4);
  const pid_t encoder = EncoderChild(program->Pid());
  ASSERT_NE(encoder, 0) << log();
  ::kill(encoder, SIGKILL);
  ASSERT_TRUE(waitFor([&](const TSamples& s) {
    return value(s, "vantorel_slot_files_written_total") == 1 && value(s, "vantorel_slot_recording") == 1 &&
           value(s, "vantorel_slot_file_seconds") < secondsBefore;
  }, 20000)) << log();
  EXPECT_GT(value(scrapes.back(), "vantorel_slot_written_bytes_total"), 10000);
  EXPECT_EQ(value(scrapes.back(), "vantorel_slot_dropped_samples_total", "stage=\"capture\""), 0);

  // Counters never went back, and the scrapes themselves were counted.
  for (size_t i = 1; i < scrapes.size(); ++i)
    for (const auto& [key, v] : scrapes[i])
      if (key.find("_total") != std::string::npos && scrapes[i - 1].count(key))
        EXPECT_GE(v, scrapes[i - 1].at(key)) << key << " went back at scrape " << i;
  EXPECT_GE(scrapes.back().at(R"(vantorel_web_requests_total{code="2xx"})"), static_cast<double>(scrapes.size() - 1));
  EXPECT_GT(scrapes.back().at("vantorel_uptime_seconds"), scrapes.front().at("vantorel_uptime_seconds"));

  // The dashboard in contrib/ reads only metrics that exist.
  const std::string dashboard = ReadFileText(std::string(VT_SOURCE_DIR) + "/contrib/grafana-dashboard.json");
  ASSERT_FALSE(dashboard.empty());
  static const std::regex metricName("vantorel_[a-z_]+");
  for (auto it = std::sregex_iterator(dashboard.begin(), dashboard.end(), metricName); it != std::sregex_iterator(); ++it)
    EXPECT_NE(lastText.find("# TYPE " + it->str() + " "), std::string::npos) << it->str() << " is in the dashboard only";

  if (std::filesystem::exists("/usr/bin/promtool")) {
    WriteFileText(root / "metrics.txt", lastText);
    const std::string command = "/usr/bin/promtool check metrics < '" + (root / "metrics.txt") + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    EXPECT_EQ(::pclose(pipe), 0) << output;
    EXPECT_EQ(output, "") << output;
  }
  program->Signal(SIGTERM);
  EXPECT_EQ(program->WaitExit(10000), std::optional<int>(0));
}
