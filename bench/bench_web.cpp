// Web server figures on a year of hourly recordings (8784 rows) per slot and
// 16 slots, measured over real connections on loopback:
//  - calendarevents for a 31-day window (about 740 events), 8 clients at
//    once for a few seconds: requests per second, median and 99th percentile;
//    beside it the SQLite query alone (prepare, bind, step every row) as the
//    floor that no reply can beat; then the same with wrk (8 connections,
//    latency percentiles), a client that takes less of the machine;
//  - /ws/slots from 8 clients and with wrk (8 connections): requests per second.
// Goals: calendarevents >= 1500 requests/s with p99 < 20 ms, /ws/slots >= 10000
// requests/s, on a two-core machine.
//   bench_web [seconds per run, default 5] [events|slots: only that part]
#include <httplib.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/DateTime.h"
#include "support/SimpleSQLInterface.h"
#include "web/ArchiveAPI.h"
#include "web/WebServer.h"

namespace {
class TBenchHost : public IWebHost {
public:
  std::vector<TWebSlotSnapshot> Slots;
  int SlotCount() const override { return static_cast<int>(Slots.size()); }
  TWebSlotSnapshot Slot(int iIndex) const override { return Slots.at(static_cast<size_t>(iIndex)); }
  void PostStartSlot(int) override {}
  void PostStopSlot(int) override {}
  void LogMessage(const std::string&) override {}
  void LogWebServerMessage(const std::string&) override {}
};

using TClock = std::chrono::steady_clock;

// The window from the first of a month to the first of the next.
std::string WindowQuery(int iSlot, int iMonth) {
  char text[160];
  std::snprintf(text, sizeof text, "/ws/slots/%d/calendarevents?start=2024-%02d-01T00:00:00Z&end=2024-%02d-01T00:00:00Z",
                iSlot, iMonth, iMonth + 1);
  return text;
}

// The query of the route on its own, through SQLite's C interface.
double SQLiteQueryMs(const std::string& iDatabase, int iRepeats) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(iDatabase.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    throw std::runtime_error("cannot open " + iDatabase);
  const auto t0 = TClock::now();
  size_t rows = 0;
  for (int i = 0; i < iRepeats; ++i) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT id, starttime, duration, filename FROM recordings WHERE starttime >= ?1 AND starttime < ?2",
                       -1, &statement, nullptr);
    sqlite3_bind_text(statement, 1, "2024-07-01 00:00:00.000", -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 2, "2024-08-01 00:00:00.000", -1, SQLITE_STATIC);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      rows += static_cast<size_t>(sqlite3_column_int(statement, 0));
      rows += static_cast<size_t>(sqlite3_column_bytes(statement, 1));
      rows += static_cast<size_t>(sqlite3_column_double(statement, 2));
      rows += static_cast<size_t>(sqlite3_column_bytes(statement, 3));
    }
    sqlite3_finalize(statement);
  }
  const double ms = std::chrono::duration<double, std::milli>(TClock::now() - t0).count() / iRepeats;
  sqlite3_close(db);
  if (rows == 0) throw std::runtime_error("the query found no rows");
  return ms;
}

struct TLoadResult {
  double RequestsPerSecond = 0;
  double MedianMs = 0;
  double P99Ms = 0;
  size_t Requests = 0;
  size_t Failures = 0;
  double CPUMsPerRequest = 0;  // of the whole process, the clients included
};

double ProcessCPUSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TLoadResult RunClients(int iPort, int iClients, double iSeconds, const std::string& iPath) {
  std::vector<std::vector<double>> times(static_cast<size_t>(iClients));
  std::atomic<size_t> failures{0};
  const auto end = TClock::now() + std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(iSeconds));
  const auto t0 = TClock::now();
  const double cpu0 = ProcessCPUSeconds();
  std::vector<std::thread> threads;
  for (int c = 0; c < iClients; ++c)
    threads.emplace_back([&, c] {
      httplib::Client client("127.0.0.1", iPort);
      // the body into one buffer kept across requests: the library's own
      // growing string cost this client more than the server's reply cost it
      std::string body;
      body.reserve(256 * 1024);
      while (TClock::now() < end) {
        const auto a = TClock::now();
        body.clear();
        auto r = client.Get(iPath, [&body](const char* iData, size_t iSize) {
          body.append(iData, iSize);
          return true;
        });
        const auto b = TClock::now();
        if (!r || r->status != 200 || body.size() < 2) {
          ++failures;
          continue;
        }
        times[static_cast<size_t>(c)].push_back(std::chrono::duration<double, std::milli>(b - a).count());
      }
    });
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(TClock::now() - t0).count();
  std::vector<double> all;
  for (auto& v : times) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  TLoadResult result;
  result.Requests = all.size();
  result.Failures = failures;
  if (all.empty()) return result;
  result.RequestsPerSecond = static_cast<double>(all.size()) / elapsed;
  result.CPUMsPerRequest = (ProcessCPUSeconds() - cpu0) * 1000.0 / static_cast<double>(all.size());
  result.MedianMs = all[all.size() / 2];
  result.P99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  return result;
}
}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  const std::string only = argc > 2 ? argv[2] : "";
  std::random_device rd;
  const auto folder = std::filesystem::temp_directory_path() / ("vt-bench-web-" + std::to_string(rd()));
  TBenchHost host;
  const TDateTime first = EncodeDateTime(2024, 1, 1, 0, 0, 0, 0);
  for (int s = 0; s < 16; ++s) {
    TWebSlotSnapshot slot;
    slot.Index = s;
    slot.Name = "Slot " + std::to_string(s + 1);
    slot.Folder = (folder / ("slot" + std::to_string(s))).string();
    slot.DatabasePath = slot.Folder + "/Vantorel.db";
    slot.RecordSource = wrsSoundcard;
    slot.HasInputDevice = true;
    slot.InputDeviceName = "capture " + std::to_string(s);
    if (s == 0) {
      auto db = OpenArchiveDatabase(slot.DatabasePath);
      db->BeginTransaction();
      auto insert = db->PrepareStatement(
          "INSERT INTO recordings (starttime, duration, filename) VALUES (:starttime, :duration, :filename)");
      for (int h = 0; h < 366 * 24; ++h) {
        insert->SetTimestampByName("starttime", first + h / 24.0);
        insert->SetFloatByName("duration", 3600.0);
        insert->SetStringByName("filename", "2024/x/file-" + std::to_string(h) + ".mp3");
        insert->ExecuteUpdatePrepared();
      }
      db->CommitTransaction();
    }
    host.Slots.push_back(slot);
  }

  TWebServer server(host);
  TWebServerConfig config;
  config.Port = "127.0.0.1:0";
  config.AnonymousAccess = alReadOnly;
  server.Start(config);
  const int port = server.Port();

  // July: 31 days of hourly recordings
  const std::string events = WindowQuery(0, 7);
  {
    httplib::Client client("127.0.0.1", port);
    auto r = client.Get(events);
    if (!r || r->status != 200) throw std::runtime_error("calendarevents failed");
    std::printf("calendarevents reply: %zu bytes\n", r->body.size());
  }
  const double floorMs = SQLiteQueryMs(host.Slots[0].DatabasePath, 200);
  std::printf("SQLite query alone (floor): %.3f ms per query, %.0f queries/s on one core\n", floorMs, 1000.0 / floorMs);
  std::fflush(stdout);

  if (only != "slots") {
  const TLoadResult load = RunClients(port, 8, seconds, events);
  std::printf(
      "calendarevents, 31-day window, 8 clients, %.0f s: %.0f requests/s, median %.2f ms, p99 %.2f ms, %zu failed, "
      "%.2f ms CPU per request with the client (goal: >= 1500 requests/s, p99 < 20 ms)\n",
      seconds, load.RequestsPerSecond, load.MedianMs, load.P99Ms, load.Failures, load.CPUMsPerRequest);
  // the same load from wrk, a client that costs less of the two cores
  const std::string wrk = "wrk -t2 -c8 --latency -d" + std::to_string(static_cast<int>(seconds)) +
                          "s 'http://127.0.0.1:" + std::to_string(port) + events + "'";
  std::printf("calendarevents with wrk: %s\n", wrk.c_str());
  std::fflush(stdout);
  if (std::system(wrk.c_str()) != 0) std::printf("wrk did not run\n");
  std::fflush(stdout);
  }

  if (only != "events") {
  const TLoadResult slots = RunClients(port, 8, seconds, "/ws/slots");
  std::printf(
      "/ws/slots with 16 slots, 8 clients: %.0f requests/s, median %.2f ms, p99 %.2f ms, %zu failed, %.3f ms CPU per "
      "request with the client\n",
      slots.RequestsPerSecond, slots.MedianMs, slots.P99Ms, slots.Failures, slots.CPUMsPerRequest);
  const std::string wrk = "wrk -t2 -c8 -d" + std::to_string(static_cast<int>(seconds)) + "s http://127.0.0.1:" +
                          std::to_string(port) + "/ws/slots";
  std::printf("/ws/slots with wrk: %s (goal: >= 10000 requests/s)\n", wrk.c_str());
  std::fflush(stdout);
  if (std::system(wrk.c_str()) != 0) std::printf("wrk did not run\n");
  }

  server.Stop();
  std::filesystem::remove_all(folder);
  return 0;
}
