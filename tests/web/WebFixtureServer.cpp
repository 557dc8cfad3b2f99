// A web server over a fake host with a small real archive, for the browser
// test: one slot whose database lists two short MP3 recordings of today,
// made with ffmpeg. Prints "PORT <n>" and serves until its standard input closes.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>

#include "support/DateTime.h"
#include "support/SimpleSQLInterface.h"
#include "web/ArchiveAPI.h"
#include "web/WebServer.h"

namespace {
class TFixtureHost : public IWebHost {
public:
  explicit TFixtureHost(TWebSlotSnapshot iSlot) : fSlot(std::move(iSlot)) {}
  int SlotCount() const override { return 1; }
  TWebSlotSnapshot Slot(int iIndex) const override {
    if (iIndex != 0) throw std::out_of_range("no such slot");
    std::lock_guard<std::mutex> lock(fMutex);
    return fSlot;
  }
  void PostStartSlot(int iIndex) override { SetRecording(iIndex, true); }
  void PostStopSlot(int iIndex) override { SetRecording(iIndex, false); }
  void LogMessage(const std::string& iMessage) override { std::cerr << iMessage << "\n"; }
  void LogWebServerMessage(const std::string& iMessage) override { std::cerr << iMessage << "\n"; }

private:
  void SetRecording(int iIndex, bool iOn) {
    if (iIndex != 0) return;
    std::lock_guard<std::mutex> lock(fMutex);
    fSlot.Recording = iOn;
  }
  mutable std::mutex fMutex;
  TWebSlotSnapshot fSlot;
};
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: WebFixtureServer <empty folder>\n";
    return 2;
  }
  const std::string folder = argv[1];
  int y, m, d, h, n, s, ms;
  DecodeDateTime(Now(), y, m, d, h, n, s, ms);
  const std::string day = std::to_string(y) + "/" + std::to_string(m) + "/" + std::to_string(d);
  std::filesystem::create_directories(folder + "/" + day);

  TWebSlotSnapshot slot;
  slot.Name = "Morning <b>Show</b>";
  slot.Folder = folder;
  slot.DatabasePath = folder + "/Vantorel.db";
  auto db = OpenArchiveDatabase(slot.DatabasePath);
  const TDateTime today = EncodeDateTime(y, m, d, 0, 0, 0, 0);
  for (int i = 0; i < 2; ++i) {
    const std::string name = day + "/show-" + std::to_string(i) + ".mp3";
    const std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i sine=f=" + std::to_string(440 * (i + 1)) +
                            ":d=6 -ac 2 -c:a libmp3lame -b:a 128k '" + folder + "/" + name + "'";
    if (std::system(cmd.c_str()) != 0) return 1;
    auto insert = db->PrepareStatement(
        "INSERT INTO recordings (starttime, duration, filename) VALUES (:starttime, :duration, :filename)");
    insert->SetTimestampByName("starttime", today + (10 + 60 * i) / 86400.0);
    insert->SetFloatByName("duration", 6.0);
    insert->SetStringByName("filename", name);
    insert->ExecuteUpdatePrepared();
  }
  db.reset();

  TFixtureHost host(slot);
  TWebServer server(host);
  TWebServerConfig config;
  config.Port = "127.0.0.1:0";
  config.AnonymousAccess = alAdmin;
  config.OverrideFolder = folder + "/no-override";
  server.Start(config);
  std::cout << "PORT " << server.Port() << std::endl;
  char c;
  while (::read(0, &c, 1) > 0) {
  }
  server.Stop();
  return 0;
}
