// The demo configuration through the whole program, as scripts/demo installs
// it: both generated stream slots write MP3 files with their rows, and the
// slot whose tone stops every other minute raises its silence alarm; its web
// server lists the slots, finds their files by date, serves them and takes
// commands.
#include <gtest/gtest.h>
#include <httplib.h>

#include <ctime>
#include <regex>

#include "E2EServices.h"

namespace {

std::string DemoIni(const std::string& iRoot, int iPort, int iInstance) {
  std::string text = ReadFileText(std::string(VT_SOURCE_DIR) + "/demo/Vantorel.ini");
  text = std::regex_replace(text, std::regex("@ROOT@"), iRoot);
  // Its own port and instance, so the test runs beside a demo or another test.
  text = std::regex_replace(text, std::regex("Port=5252"), "Port=" + std::to_string(iPort));
  return std::regex_replace(text, std::regex("\\[General\\]"),
                            "[General]\nInstanceNumber=" + std::to_string(iInstance));
}

std::string LocalDateText(int iDaysFromToday) {
  const std::time_t t = std::time(nullptr) + iDaysFromToday * 86400;
  std::tm local{};
  localtime_r(&t, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

// The archive of one slot as the browser client reads it: an event of today
// whose file comes back as MP3 in a byte range.
void ExpectArchiveServesAFile(httplib::Client& iClient, int iSlot) {
  const std::string prefix = "/ws/slots/" + std::to_string(iSlot);
  auto events = iClient.Get(prefix + "/calendarevents?start=" + LocalDateText(-1) + "&end=" + LocalDateText(1));
  ASSERT_TRUE(events) << httplib::to_string(events.error());
  ASSERT_EQ(events->status, 200) << events->body;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(events->body, m, std::regex("\"id\"\\s*:\\s*(\\d+)"))) << events->body;
  auto file = iClient.Get(prefix + "/getfile/" + m[1].str(), {{"Range", "bytes=0-2"}});
  ASSERT_TRUE(file) << httplib::to_string(file.error());
  EXPECT_EQ(file->status, 206);
  ASSERT_EQ(file->body.size(), 3u);
  const bool mp3 = file->body == "ID3" || (uint8_t(file->body[0]) == 0xFF && (uint8_t(file->body[1]) & 0xE0) == 0xE0);
  EXPECT_TRUE(mp3) << "not the start of an MP3 file";
}

TEST(StreamDemo, RecordsBothSlotsAndReportsTheSilentMinute) {
  TE2ETempFolder root;
  const int port = FreePort();
  WriteFileText(root / "Vantorel.ini", DemoIni(root.Path(), port, 310000 + int(getpid() % 50000)));
  auto program = StartVantorel(root.Path());
  for (const std::string name : {"Tone", "Gaps"}) {
    const std::string db = root / ("recordings/" + name + ".db");
    std::string file;
    ASSERT_TRUE(WaitUntil([&] {
      // Any of the slot's files: a start just before a minute boundary makes the
      // first file a second long, and the audio goes on in the next one.
      for (const auto& row : ReadRecordings(db)) {
        file = root / ("recordings/" + name + "/" + row.FileName);
        std::error_code ec;
        if (std::filesystem::file_size(file, ec) > 32 * 1024 && !ec) return true;  // two seconds of 128 kbit/s
      }
      return false;
    }, 30000)) << name << "\n" << ReadFileText(root / "out.txt");
    EXPECT_EQ(std::filesystem::path(file).extension(), ".mp3");
  }
  // The generated tone of "Gaps" stops one minute after it connected; ten seconds later the alarm.
  EXPECT_TRUE(WaitUntil([&] { return ReadFileText(root / "out.txt").find("Slot \"Gaps\" SILENCE DETECTED") != std::string::npos; },
                        100000))
      << ReadFileText(root / "out.txt");
  EXPECT_EQ(ReadFileText(root / "out.txt").find("Slot \"Tone\" SILENCE DETECTED"), std::string::npos);

  httplib::Client web("127.0.0.1", port);
  web.set_read_timeout(10, 0);
  auto slots = web.Get("/ws/slots");
  ASSERT_TRUE(slots) << httplib::to_string(slots.error());
  EXPECT_EQ(slots->status, 200);
  EXPECT_NE(slots->body.find("\"Tone\""), std::string::npos) << slots->body;
  EXPECT_NE(slots->body.find("\"Gaps\""), std::string::npos) << slots->body;
  ExpectArchiveServesAFile(web, 0);
  ExpectArchiveServesAFile(web, 1);
  // A command reaches the controller: the second slot stops recording.
  auto command = web.Get("/ws/execute?command=SLOT%202%20STOP");
  ASSERT_TRUE(command);
  EXPECT_EQ(command->status, 200);
  EXPECT_TRUE(WaitUntil([&] {
    auto recording = web.Get("/ws/slots/1/recording");
    return recording && recording->body == "0";
  }, 10000));
  auto tone = web.Get("/ws/slots/0/recording");
  ASSERT_TRUE(tone);
  EXPECT_EQ(tone->body, "1");
  program->Stop();
}

}  // namespace
