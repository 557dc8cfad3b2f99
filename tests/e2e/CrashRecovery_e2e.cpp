// The program killed with SIGKILL while it records WAV, MP3 and Ogg files, then
// started again: the archive calendar lists every file of the killed run with
// the length that the file decodes to, and the new run's files follow.
#include <gtest/gtest.h>
#include <httplib.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>

#include "E2EServices.h"
#include "support/DateTime.h"

namespace {

struct TEvent {
  int fID = 0;
  double fSeconds = 0;  // end - start
  std::string fFilename;
};

// Seconds of "YYYY-MM-DDTHH:MM:SS.mmmZ" since an arbitrary origin.
double EventTime(const std::string& iText) {
  int y, m, d, h, n, s, ms;
  if (std::sscanf(iText.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &y, &m, &d, &h, &n, &s, &ms) != 7) return -1;
  return EncodeDateTime(y, m, d, h, n, s, ms) * 86400.0;
}

std::vector<TEvent> CalendarEvents(httplib::Client& iWeb, int iSlot) {
  std::vector<TEvent> events;
  auto reply = iWeb.Get("/ws/slots/" + std::to_string(iSlot) + "/calendarevents?start=2000-01-01&end=2100-01-01");
  if (!reply || reply->status != 200) return events;
  static const std::regex object("\\{[^{}]*\\}");
  const auto text = [](const std::string& iObject, const std::string& iName) {
    std::smatch m;
    std::regex_search(iObject, m, std::regex("\"" + iName + "\": *\"?([^\",}]*)\"?"));
    return m.size() > 1 ? m[1].str() : std::string();
  };
  for (auto it = std::sregex_iterator(reply->body.begin(), reply->body.end(), object); it != std::sregex_iterator(); ++it) {
    const std::string o = it->str();
    events.push_back({std::atoi(text(o, "id").c_str()), EventTime(text(o, "end")) - EventTime(text(o, "start")),
                      text(o, "filename")});
  }
  return events;
}

std::vector<std::string> Recordings(const std::string& iFolder, const std::string& iExtension) {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(iFolder, ec); !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file() && it->path().extension() == iExtension) files.push_back(it->path().string());
  std::sort(files.begin(), files.end());
  return files;
}

bool Gone(pid_t iPid) {
  const std::string stat = ReadFileText("/proc/" + std::to_string(iPid) + "/stat");
  const size_t close = stat.rfind(')');
  return stat.empty() || close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
}

}  // namespace

TEST(CrashRecoveryE2E, FilesOfAKilledRunAreListedWithTheirLength) {
  TE2ETempFolder run;
  const std::string root = run / "root";
  std::filesystem::create_directories(root);
  const int port = FreePort();
  struct TSlot {
    const char* fName;
    const char* fFormat;
    const char* fExtension;
    const char* fEncoder;  // child process, if any
  } slots[] = {{"Wave", "wav16", ".wav", nullptr}, {"Lame", "mp3", ".mp3", "lame"}, {"Vorbis", "ogg", ".ogg", "oggenc"}};
  std::string ini = "[General]\nInstanceNumber=" + std::to_string(540000 + int(getpid() % 50000)) +
                    "\nFullSlotCount=3\nAlarmSlotCount=0\n[Webserver]\nEnabled=on\nPort=127.0.0.1:" +
                    std::to_string(port) + "\nAnonymousAccess=ReadOnly\n";
  for (int i = 0; i < 3; ++i)
    ini += "[Slot" + std::to_string(i) + "]\nName=" + slots[i].fName +
           "\nSource=Stream\nStreamURL=lavfi:sine=frequency=" + std::to_string(500 + 200 * i) +
           ":sample_rate=48000\nSamplerate=48000\nFormat=" + slots[i].fFormat + "\nFolder=" + root + "/" +
           slots[i].fName + "\nCleanupDaysEnabled=off\nCleanupSpaceEnabled=off\n";
  WriteFileText(root + "/Vantorel.ini", ini);

  auto program = StartVantorel(root);
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string log = ReadFileText(root + "/out.txt");
        for (const auto& s : slots)
          if (log.find(std::string(s.fName) + ": Encoding to file") == std::string::npos) return !program->Running();
        return true;
      },
      30000))
      << ReadFileText(root + "/out.txt");
  ASSERT_TRUE(program->Running()) << ReadFileText(root + "/out.txt");
  std::this_thread::sleep_for(std::chrono::seconds(5));  // a few seconds in every file
  std::vector<pid_t> encoders;
  for (const auto& s : slots)
    if (s.fEncoder)
      for (pid_t p : ChildrenNamed(program->Pid(), s.fEncoder)) encoders.push_back(p);
  ASSERT_EQ(encoders.size(), 2u) << ReadFileText(root + "/out.txt");

  program->Signal(SIGKILL);
  ASSERT_EQ(program->WaitExit(5000), std::optional<int>(128 + SIGKILL));
  // The encoders see their input end and finish their files on their own.
  ASSERT_TRUE(WaitUntil([&] { return std::all_of(encoders.begin(), encoders.end(), Gone); }, 20000));
  std::map<std::string, std::vector<std::string>> before;
  for (const auto& s : slots) {
    before[s.fName] = Recordings(root + "/" + s.fName, s.fExtension);
    ASSERT_FALSE(before[s.fName].empty()) << s.fName;
  }

  auto again = StartVantorel(root);
  httplib::Client web("127.0.0.1", port);
  web.set_connection_timeout(2, 0);
  web.set_read_timeout(10, 0);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(slots[i].fName);
    const std::string folder = root + "/" + slots[i].fName;
    // Every file of the killed run listed with a length, and a new file after them.
    std::vector<TEvent> events;
    const bool listed = WaitUntil(
        [&] {
          events = CalendarEvents(web, i);
          size_t old = 0;
          for (const TEvent& e : events)
            for (const std::string& f : before[slots[i].fName])
              old += std::filesystem::path(f).filename() == e.fFilename && e.fSeconds > 0;
          return old == before[slots[i].fName].size() && events.size() > old;
        },
        30000);
    ASSERT_TRUE(listed) << events.size() << " events\n" << ReadFileText(root + "/out.txt");
    for (const std::string& file : before[slots[i].fName]) {
      SCOPED_TRACE(file);
      const double decoded = DecodedSeconds(file, run.Path());
      ASSERT_GT(decoded, 3.0) << "does not decode";
      for (const TEvent& e : events)
        if (std::filesystem::path(file).filename() == e.fFilename) EXPECT_NEAR(e.fSeconds, decoded, 0.1);
    }
    EXPECT_GT(events.back().fID, events.front().fID);
  }
  again->Signal(SIGTERM);
  EXPECT_EQ(again->WaitExit(10000), std::optional<int>(0)) << ReadFileText(root + "/out.txt");
}
