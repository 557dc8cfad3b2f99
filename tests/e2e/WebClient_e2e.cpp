// The browser client in headless Chromium against the real program: a root
// folder with one slot whose archive holds two MP3 recordings of today, the
// program started on it, and browser/webclient.test.mjs driving the calendar,
// the player, the download and the status page.
#include <gtest/gtest.h>
#include <httplib.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>

#include "E2EServices.h"
#include "support/DateTime.h"
#include "support/SimpleSQLInterface.h"
#include "web/ArchiveAPI.h"

namespace {

std::string TwoDigits(int iValue) { return (iValue < 10 ? "0" : "") + std::to_string(iValue); }

// Two six-second tones as recordings of today at 00:00:10 and 00:01:10, with
// their rows, where the slot's own recordings go.
void MakeArchive(const std::string& iFolder, const std::string& iDatabase, const std::string& iScratch) {
  int y, m, d, h, n, s, ms;
  DecodeDateTime(Now(), y, m, d, h, n, s, ms);
  const std::string day = std::to_string(y) + "/" + TwoDigits(m) + "/" + TwoDigits(d);
  std::filesystem::create_directories(iFolder + "/" + day);
  auto db = OpenArchiveDatabase(iDatabase);
  const TDateTime today = EncodeDateTime(y, m, d, 0, 0, 0, 0);
  for (int i = 0; i < 2; ++i) {
    const std::string name = day + "/show-" + std::to_string(i) + ".mp3";
    ASSERT_EQ(RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                          "sine=f=" + std::to_string(440 * (i + 1)) + ":d=6", "-ac", "2", "-c:a", "libmp3lame",
                          "-b:a", "128k", iFolder + "/" + name},
                         iScratch + "/ffmpeg.txt"),
              0)
        << ReadFileText(iScratch + "/ffmpeg.txt");
    auto insert = db->PrepareStatement(
        "INSERT INTO recordings (starttime, duration, filename) VALUES (:starttime, :duration, :filename)");
    insert->SetTimestampByName("starttime", today + (10 + 60 * i) / 86400.0);
    insert->SetFloatByName("duration", 6.0);
    insert->SetStringByName("filename", name);
    insert->ExecuteUpdatePrepared();
  }
}

bool Executable(const char* iPath) { return ::access(iPath, X_OK) == 0; }

TEST(WebClient, BrowserUsesTheArchiveAndTheStatusPageOfTheRunningProgram) {
  if (!Executable("/usr/bin/node") || !Executable("/usr/bin/chromium"))
    GTEST_SKIP() << "node and chromium are installed by scripts/setup";
  TE2ETempFolder root;
  const std::string folder = root / "recordings/Show";
  const std::string database = root / "recordings/Show.db";
  MakeArchive(folder, database, root.Path());
  if (HasFatalFailure()) return;

  const int port = FreePort();
  // The slot is switched off, so the archive holds exactly the two recordings
  // until the status page starts it; its source is a generated tone.
  WriteFileText(root / "Vantorel.ini",
                "[General]\nInstanceNumber=" + std::to_string(520000 + int(getpid() % 50000)) +
                    "\nFullSlotCount=1\nAlarmSlotCount=0\n"
                    "[Webserver]\nEnabled=on\nPort=127.0.0.1:" + std::to_string(port) + "\nAnonymousAccess=Admin\n"
                    "[Slot0]\nName=Morning <b>Show</b>\nEnabled=off\nSource=Stream\n"
                    "StreamURL=lavfi:sine=frequency=1000:sample_rate=44100\nSamplerate=44100\nFormat=mp3\n"
                    "TimeSlotLength=1\nFolder=" + folder + "\nDatabaseFile=" + database + "\n");
  auto program = StartVantorel(root.Path());

  httplib::Client web("127.0.0.1", port);
  web.set_connection_timeout(2, 0);
  web.set_read_timeout(10, 0);
  ASSERT_TRUE(WaitUntil([&] {
    auto r = web.Get("/ws/slots");
    return r && r->status == 200;
  }, 30000)) << ReadFileText(root / "out.txt");

  const std::string script = std::string(VT_SOURCE_DIR) + "/tests/e2e/browser/webclient.test.mjs";
  TChildProcess browser({"/usr/bin/node", script, "http://127.0.0.1:" + std::to_string(port)}, root / "browser.txt");
  const auto code = browser.WaitExit(170000);
  EXPECT_EQ(code, std::optional<int>(0)) << ReadFileText(root / "browser.txt") << "\n--- program:\n"
                                         << ReadFileText(root / "out.txt");
  // The file the start made: its waveform is served while it is recorded, and grows.
  std::string id;
  ASSERT_TRUE(WaitUntil([&] {
    auto events = web.Get("/ws/slots/0/calendarevents?start=2000-01-01&end=2100-01-01");
    std::smatch m;
    if (!events || !std::regex_search(events->body, m, std::regex("\"filename\": \"20[^\"]*\",\\s*\"id\": (\\d+)")))
      return false;
    id = m[1].str();
    return true;
  }, 20000)) << ReadFileText(root / "out.txt");
  auto pairs = [&]() -> std::optional<size_t> {
    auto r = web.Get("/ws/slots/0/peaks/" + id);
    if (!r || r->status != 200 || r->body.compare(0, 8, "VTPEAKS1") != 0) return std::nullopt;
    return (r->body.size() - 16) / 4;
  };
  for (const auto& row : ReadRecordings(database))
    if (std::to_string(row.Id) == id)
      EXPECT_TRUE(std::filesystem::exists(folder + "/" + row.FileName + ".peaks")) << "written by the slot itself";
  const auto first = pairs();
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(WaitUntil([&] { return pairs().value_or(0) >= *first + 10; }, 20000))
      << "no second of waveform added while recording; first " << *first;
  const auto body = web.Get("/ws/slots/0/peaks/" + id)->body;
  int16_t maximum = 0;
  std::memcpy(&maximum, body.data() + body.size() - 2, 2);
  EXPECT_NEAR(maximum, 32767 / 8, 200) << "the tone is generated at an eighth of full scale";

  // the web server's idle connection threads do not hold up the end
  program->Signal(SIGTERM);
  EXPECT_EQ(program->WaitExit(10000), std::optional<int>(0)) << ReadFileText(root / "out.txt");
}

}  // namespace
