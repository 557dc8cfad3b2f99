// Web server figures on a year of hourly recordings (8760 rows) per slot and
// 16 slots: time of calendarevents for a 31-day window (median, 99th
// percentile), and requests per second for /ws/slots with wrk.
// Goal: under 10 ms median for the window, at least 5000 requests per second.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <stdexcept>
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
}  // namespace

int main() {
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
    auto db = OpenArchiveDatabase(slot.DatabasePath);
    db->BeginTransaction();
    auto insert = db->PrepareStatement(
        "INSERT INTO recordings (starttime, duration, filename) VALUES (:starttime, :duration, :filename)");
    for (int h = 0; h < 8760; ++h) {
      insert->SetTimestampByName("starttime", first + h / 24.0);
      insert->SetFloatByName("duration", 3600.0);
      insert->SetStringByName("filename", "2024/x/file-" + std::to_string(h) + ".mp3");
      insert->ExecuteUpdatePrepared();
    }
    db->CommitTransaction();
    host.Slots.push_back(slot);
  }

  TWebServer server(host);
  TWebServerConfig config;
  config.Port = "127.0.0.1:0";
  config.AnonymousAccess = alReadOnly;
  config.MaxConnections = 256;
  server.Start(config);
  const int port = server.Port();

  httplib::Client client("127.0.0.1", port);
  std::vector<double> times;
  for (int i = 0; i < 300; ++i) {
    const int month = 1 + i % 11;
    const std::string url = "/ws/slots/" + std::to_string(i % 16) + "/calendarevents?start=2024-" +
                            (month < 10 ? "0" : "") + std::to_string(month) + "-01T00:00:00Z&end=2024-" +
                            (month + 1 < 10 ? "0" : "") + std::to_string(month + 1) + "-01T00:00:00Z";
    const auto t0 = std::chrono::steady_clock::now();
    auto r = client.Get(url);
    const auto t1 = std::chrono::steady_clock::now();
    if (!r || r->status != 200) throw std::runtime_error("calendarevents failed");
    times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::sort(times.begin(), times.end());
  std::printf("calendarevents, 31-day window (~744 events), %zu requests: median %.2f ms, p99 %.2f ms (goal: median < 10 ms)\n",
              times.size(), times[times.size() / 2], times[times.size() * 99 / 100]);

  const std::string wrk = "wrk -t2 -c32 -d5s http://127.0.0.1:" + std::to_string(port) + "/ws/slots";
  std::printf("/ws/slots with 16 slots: %s (goal: >= 5000 requests/s)\n", wrk.c_str());
  std::fflush(stdout);
  if (std::system(wrk.c_str()) != 0) std::printf("wrk did not run\n");

  server.Stop();
  std::filesystem::remove_all(folder);
  return 0;
}
