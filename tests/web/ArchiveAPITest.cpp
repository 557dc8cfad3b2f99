// The archive routes over HTTP against a real SQLite database in a temporary folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "WebTestServer.h"
#include "slot/SlotPeaks.h"
#include "support/SimpleSQLInterface.h"
#include "web/ArchiveAPI.h"
#include "web/ByteRange.h"
#include "web/ISO8601.h"

namespace {
// Every case here is in a zone at UTC+1 with daylight saving (+2 from the last
// Sunday of March at 02:00 local).
struct TBerlinTime {
  TBerlinTime() {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
};

void AddRow(ISQLConnection& iConnection, const std::string& iStart, const char* iFile, double iDuration) {
  auto insert = iConnection.PrepareStatement(
      iDuration < 0 ? "INSERT INTO recordings (starttime, filename) VALUES (:starttime, :filename)"
                    : "INSERT INTO recordings (starttime, duration, filename) VALUES (:starttime, :duration, :filename)");
  insert->SetStringByName("starttime", iStart);
  insert->SetStringByName("filename", iFile);
  if (iDuration >= 0) insert->SetFloatByName("duration", iDuration);
  insert->ExecuteUpdatePrepared();
}
}  // namespace

class ArchiveAPITest : public ::testing::Test {
protected:
  TBerlinTime fZone;
  TWebTestServer fServer;
  std::string fFolder, fSecondary;
  std::string fFileBytes;

  void SetUp() override {
    fFolder = (fServer.Temp.Path / "rec").string();
    fSecondary = (fServer.Temp.Path / "moved").string();
    std::filesystem::create_directories(fFolder + "/2024/03/31");
    std::filesystem::create_directories(fSecondary + "/2024/03/30");
    for (int i = 0; i < 1000; ++i) fFileBytes += static_cast<char>(i * 7);
    std::ofstream(fFolder + "/2024/03/31/a.mp3", std::ios::binary) << fFileBytes;
    std::ofstream(fSecondary + "/2024/03/30/b.mp3", std::ios::binary) << "moved";
    TWebSlotSnapshot slot;
    slot.Name = "News <i>";
    slot.Folder = fFolder;
    slot.SecondaryFolder = fSecondary;
    slot.DatabasePath = fFolder + "/Vantorel.db";
    slot.CurrentRecordingID = 4;
    slot.CurrentRecordingDuration = 90.5f;
    TWebSlotSnapshot empty = slot;
    empty.Folder = (fServer.Temp.Path / "empty").string();
    empty.DatabasePath = empty.Folder + "/Vantorel.db";
    fServer.Host.Slots = {slot, empty};

    auto db = OpenArchiveDatabase(slot.DatabasePath);
    AddRow(*db, "2024-03-31 01:30:00.000", "2024/03/31/a.mp3", 3600);  // winter time, UTC+1
    AddRow(*db, "2024-03-31 02:30:00.000", "2024/03/31/gap.mp3", 60);  // does not exist locally
    AddRow(*db, "2024-03-30 23:00:00.000", "2024/03/30/b.mp3", 10);    // only in the secondary folder
    AddRow(*db, "2024-03-31 03:30:00.000", "2024/03/31/c.mp3", -1);    // being written (id 4)
    AddRow(*db, "2024-03-31 04:30:00.000", "2024/03/31/d.mp3", -1);    // never closed
    fServer.Start(TWebTestServer::Config(alReadOnly));
  }
};

TEST_F(ArchiveAPITest, StatsOfEmptyAndFilledArchive) {
  auto client = fServer.Client();
  auto r = client->Get("/ws/slots/1/stats");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "{\r\n \"count\": 0\r\n}");
  r = client->Get("/ws/slot/0/stats");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "{\r\n \"count\": 5,\r\n \"newest\": \"03\\/31\\/2024 04:30:00\",\r\n \"oldest\": \"03\\/30\\/2024 23:00:00\"\r\n}");
}

TEST_F(ArchiveAPITest, CalendarEventsAcrossTheChangeToSummerTime) {
  auto client = fServer.Client();
  // the window from 29 March 23:00 UTC (00:00 local) for two days, given with an offset of +01:00
  auto r = client->Get("/ws/slots/0/calendarevents?start=2024-03-30T00:00:00%2B01:00&end=2024-04-01T00:00:00Z");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200);
  // in the order of their start (the query reads the index of start times)
  const std::string expected =
      "[\r\n {\r\n  \"end\": \"2024-03-30T22:00:10.000Z\",\r\n  \"filename\": \"b.mp3\",\r\n  \"id\": 3,\r\n"
      "  \"start\": \"2024-03-30T22:00:00.000Z\",\r\n  \"title\": \"News <i>\"\r\n },{\r\n"
      "  \"end\": \"2024-03-31T01:30:00.000Z\",\r\n  \"filename\": \"a.mp3\",\r\n  \"id\": 1,\r\n"
      "  \"start\": \"2024-03-31T00:30:00.000Z\",\r\n  \"title\": \"News <i>\"\r\n },{\r\n"
      "  \"end\": \"2024-03-31T01:31:30.500Z\",\r\n  \"filename\": \"c.mp3\",\r\n  \"id\": 4,\r\n"
      "  \"start\": \"2024-03-31T01:30:00.000Z\",\r\n  \"title\": \"News <i>\"\r\n }]";
  EXPECT_EQ(r->body, expected);

  // a window that begins after all rows, and bad parameters
  r = client->Get("/ws/slots/0/calendarevents?start=2025-01-01&end=2025-01-02");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "[]");
  for (const char* q : {"?start=2024-03-30", "?start=20&end=2024-04-01", "?start=2024-02-30&end=2024-04-01",
                        "?start=2024-03-30T25:00&end=2024-04-01"}) {
    SCOPED_TRACE(q);
    r = client->Get(std::string("/ws/slots/0/calendarevents") + q);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 500);
    EXPECT_EQ(r->body, "Date parse error");
  }
}

// The calendar keeps its database connections between requests: they must
// neither hold a lock that stops the recorder's next write, nor go on
// reading a file that has been replaced or deleted meanwhile.
TEST_F(ArchiveAPITest, CalendarEventsFollowTheDatabaseFile) {
  auto client = fServer.Client();
  const std::string path = fFolder + "/Vantorel.db";
  const std::string window = "/ws/slots/0/calendarevents?start=2024-06-01&end=2024-06-02";
  const auto idsIn = [&](const std::string& iBody) {
    std::string ids;
    for (size_t at = iBody.find("\"id\": "); at != std::string::npos; at = iBody.find("\"id\": ", at + 1))
      ids += iBody.substr(at + 6, iBody.find(',', at) - at - 6) + " ";
    return ids;
  };
  for (int i = 0; i < 3; ++i) {  // several requests, so that connections are kept
    auto r = client->Get(window);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "[]");
  }
  {
    // a writer that does not wait for locks at all
    auto writer = CreateSQLConnection("DriverID=SQLite;Database=\"" + path + "\";BusyTimeout=0");
    AddRow(*writer, "2024-06-01 10:00:00.000", "2024/06/01/e.mp3", 60);  // id 6
  }
  auto r = client->Get(window);
  ASSERT_TRUE(r);
  EXPECT_EQ(idsIn(r->body), "6 ");

  // another file under the same name
  {
    const std::string other = fFolder + "/other.db";
    auto db = OpenArchiveDatabase(other);
    AddRow(*db, "2024-06-01 11:00:00.000", "2024/06/01/f.mp3", 60);  // id 1 there
    AddRow(*db, "2024-06-01 12:00:00.000", "2024/06/01/g.mp3", 60);  // id 2
  }
  std::filesystem::rename(fFolder + "/other.db", path);
  r = client->Get(window);
  ASSERT_TRUE(r);
  EXPECT_EQ(idsIn(r->body), "1 2 ");

  // no file at all: an empty archive again
  std::filesystem::remove(path);
  r = client->Get(window);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "[]");
}

TEST_F(ArchiveAPITest, DayList) {
  auto client = fServer.Client();
  auto r = client->Get("/ws/slots/0/list/2024/03/31");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200);
  EXPECT_EQ(r->body,
            "[\r\n {\r\n  \"Duration\": 3600,\r\n  \"ID\": 1,\r\n  \"Time\": \"2024-03-31T01:30:00\"\r\n },{\r\n"
            "  \"Duration\": 60,\r\n  \"ID\": 2,\r\n  \"Time\": \"2024-03-31T02:30:00\"\r\n },{\r\n"
            "  \"Duration\": 90.5,\r\n  \"ID\": 4,\r\n  \"Time\": \"2024-03-31T03:30:00\"\r\n },{\r\n"
            "  \"Duration\": null,\r\n  \"ID\": 5,\r\n  \"Time\": \"2024-03-31T04:30:00\"\r\n }]");
  for (const char* path : {"/ws/slots/0/list/2024/13/01", "/ws/slots/0/list/2024/02/30"}) {
    r = client->Get(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 500) << path;
  }
}

TEST_F(ArchiveAPITest, GetFileWholeAndByteRanges) {
  auto client = fServer.Client();
  const std::string url = "/ws/slot/0/getfile/1/a.mp3";
  auto r = client->Get(url);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, fFileBytes);
  EXPECT_EQ(r->get_header_value("Content-Type"), "audio/mpeg");
  EXPECT_EQ(r->get_header_value("Accept-Ranges"), "bytes");
  EXPECT_EQ(r->get_header_value("Content-Disposition"), "attachment; filename=\"a.mp3\"");
  EXPECT_FALSE(r->has_header("Content-Range"));

  struct {
    const char* Range;
    int Status;
    const char* ContentRange;
    size_t First, Length;
  } cases[] = {
      {"bytes=0-", 206, "bytes 0-999/1000", 0, 1000},
      {"bytes=10-19", 206, "bytes 10-19/1000", 10, 10},
      {"bytes=990-5000", 206, "bytes 990-999/1000", 990, 10},
      {"bytes=-100", 206, "bytes 900-999/1000", 900, 100},
      {"bytes=-5000", 206, "bytes 0-999/1000", 0, 1000},
      {"bytes=1000-", 416, nullptr, 0, 0},
      {"bytes=-0", 416, nullptr, 0, 0},
      {"bytes=0-1,5-6", 416, nullptr, 0, 0},
      // ignored: the whole file
      {"bytes=200-100", 200, nullptr, 0, 1000},
      {"bytes=abc", 200, nullptr, 0, 1000},
      {"items=0-5", 200, nullptr, 0, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Range);
    r = client->Get(url, httplib::Headers{{"Range", c.Range}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.Status);
    if (c.Status == 206) {
      EXPECT_EQ(r->get_header_value("Content-Range"), c.ContentRange);
      EXPECT_EQ(r->body, fFileBytes.substr(c.First, c.Length));
    } else if (c.Status == 200) {
      EXPECT_FALSE(r->has_header("Content-Range"));
      EXPECT_EQ(r->body, fFileBytes);
    } else {
      EXPECT_TRUE(r->body.empty());
    }
  }
  // the secondary folder; a row without a file; no row
  r = client->Get("/ws/slots/0/getfile/3");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "moved");
  // a stored name that leaves the slot's folders is not served, though the file exists
  std::ofstream(fServer.Temp.Path / "outside.mp3") << "not a recording of this slot";
  AddRow(*OpenArchiveDatabase(fFolder + "/Vantorel.db"), "2024-04-01 10:00:00.000", "2024/../../outside.mp3", 5);  // id 6
  for (const char* path : {"/ws/slots/0/getfile/2", "/ws/slots/0/getfile/77", "/ws/slots/0/getfile/6"}) {
    r = client->Get(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
    EXPECT_EQ(r->body, "not found");
  }
}

TEST(ByteRangeTest, RulesForOneFile) {
  struct {
    const char* Header;
    TByteRangeKind Kind;
    uint64_t First, Last;
  } cases[] = {
      {"", brkWhole, 0, 0},           {"items=0-1", brkWhole, 0, 0},   {"bytes=5-2", brkWhole, 0, 0},
      {"bytes=0-0", brkPartial, 0, 0}, {"bytes=-1", brkPartial, 99, 99}, {"bytes=100-", brkUnsatisfiable, 0, 0},
      {"bytes=0-1, 3-4", brkSeveral, 0, 0}, {"bytes=x-1", brkWhole, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Header);
    const TByteRange r = ResolveByteRange(c.Header, 100);
    EXPECT_EQ(r.Kind, c.Kind);
    if (c.Kind == brkPartial) {
      EXPECT_EQ(r.First, c.First);
      EXPECT_EQ(r.Last, c.Last);
    }
  }
}

TEST(ISO8601Test, OffsetsAndUTC) {
  TBerlinTime zone;
  // "Z" and no zone are UTC; summer time in July
  EXPECT_EQ(DateTimeToSQLText(ParseISO8601Date("2024-07-01T10:00:00Z")), "2024-07-01 12:00:00.000");
  EXPECT_EQ(DateTimeToSQLText(ParseISO8601Date("2024-07-01T10:00")), "2024-07-01 12:00:00.000");
  EXPECT_EQ(DateTimeToSQLText(ParseISO8601Date("2024-01-15T10:00:00.5+02:00")), "2024-01-15 09:00:00.500");
  EXPECT_EQ(DateTimeToSQLText(ParseISO8601Date("2024-01-15")), "2024-01-15 01:00:00.000");
  for (const char* bad : {"", "202", "2024-13-01", "2024-01", "2024-01-01T", "2024-01-01T10:", "x024-01-01"})
    EXPECT_THROW(ParseISO8601Date(bad), std::exception) << bad;
}

TEST_F(ArchiveAPITest, PeaksFromTheWriterAndFromFFmpeg) {
  // a recording with a .peaks file written by the slot's writer
  const std::string recording = fFolder + "/2024/03/31/a.mp3";
  {
    TPeaksWriter writer(recording);
    std::vector<float> block(2 * 4410);
    for (size_t i = 0; i < block.size(); ++i) block[i] = (i % 2 ? -0.25f : 0.5f);
    for (int i = 0; i < 10; ++i) writer.AddBlock(block.data(), 4410, 2, 44100);  // 1 s
    writer.Flush();
    TPeaksData partial;
    ASSERT_TRUE(ReadPeaksFile(recording + ".peaks", partial));  // readable while recording
    EXPECT_EQ(partial.Pairs.size(), 10u);
    writer.Close();
  }
  auto r = fServer.Client()->Get("/ws/slots/0/peaks/1");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200);
  ASSERT_EQ(r->body.size(), 16u + 10 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(r->body.data()) + 16;
  EXPECT_EQ(static_cast<int16_t>(p[0] | (p[1] << 8)), static_cast<int16_t>(-0.25f * 32767));
  EXPECT_EQ(static_cast<int16_t>(p[2] | (p[3] << 8)), static_cast<int16_t>(0.5f * 32767));

  // a closed recording without one: computed by ffmpeg and kept beside it
  const std::string tone = fSecondary + "/2024/03/30/b.mp3";
  const std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i sine=f=440:d=2 -ac 1 -c:a libmp3lame '" + tone + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  r = fServer.Client()->Get("/ws/slots/0/peaks/3");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200);
  TPeaksData cached;
  ASSERT_TRUE(ReadPeaksFile(tone + ".peaks", cached));
  EXPECT_NEAR(static_cast<double>(cached.Pairs.size()), 20.0, 2.0);
  EXPECT_GT(cached.Pairs[10].Max, 3000);  // the tone (lavfi's sine is at 1/8 of full scale)
  EXPECT_EQ(r->body.size(), 16 + cached.Pairs.size() * 4);
}
