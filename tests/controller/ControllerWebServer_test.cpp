// The web server as the program runs it: over the controller's real slots,
// started from [Webserver], with request threads reading a recording slot
// while the controller changes it, commands reaching the controller, and a
// stop while request threads wait for the controller to take their log lines.
#include "web/ControllerWebHost.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "ControllerTestSupport.h"
#include "controller/LoggerMain.h"
#include "shell/IniFile.h"
#include "slot/SlotInfo.h"

namespace {
class ControllerWebServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    char pattern[] = "/tmp/vt-webhost-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    fRoot = pattern;
    std::ofstream(fRoot + "/Vantorel.ini")
        << "[Webserver]\nEnabled=on\nPort=127.0.0.1:0\nAnonymousAccess=Admin\n"
           "[Slot0]\nName=Tone\nSource=Stream\nStreamURL=lavfi:sine=frequency=1000:sample_rate=44100\n"
           "Samplerate=44100\nFormat=wav16\nFolder=" << fRoot << "/rec0\nDatabaseFile=" << fRoot << "/rec0.db\n"
        << "[Slot1]\nName=Idle\nSource=None\nFolder=" << fRoot << "/rec1\n";
    fIni = std::make_unique<TIniFile>(fRoot + "/Vantorel.ini");
    TStartupValues values;
    values.FullSlotCount = 2;
    values.DisplayName = "Studio";
    TLoggerMainOptions options;
    options.PluginFolder = fRoot + "/plugins/";
    fController = std::make_unique<TLoggerMain>(*fIni, values, options);
    fWeb = std::make_unique<TControllerWebServer>(*fController);
    fController->AutoStartWebServer();
  }
  void TearDown() override {
    fWeb.reset();
    fController.reset();
    fIni.reset();
    std::filesystem::remove_all(fRoot);
  }
  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", fWeb->Server().Port());
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(10, 0);
    return client;
  }

  std::string fRoot;
  std::unique_ptr<TIniFile> fIni;
  std::unique_ptr<TLoggerMain> fController;
  std::unique_ptr<TControllerWebServer> fWeb;
};

TEST_F(ControllerWebServerTest, RequestsReadLiveSlotsAndCommandsReachTheController) {
  ASSERT_TRUE(fController->WebServerRunning());
  ASSERT_GT(fWeb->Server().Port(), 0);

  std::atomic<bool> stop{false};
  std::atomic<int> answered{0}, failed{0};
  std::vector<std::thread> readers;
  for (const std::string path : {"/ws/slots", "/ws/slots/0/stats", "/ws/slots/0/recording"}) {
    readers.emplace_back([&, path] {
      auto client = Client();
      while (!stop) {
        auto reply = client.Get(path);
        if (reply && reply->status == 200)
          ++answered;
        else if (!reply || reply->status != 503)  // over the connection cap is an answer too
          ++failed;
      }
    });
  }
  EXPECT_TRUE(RunUntil([&] { return fController->Slot(0).Recording(); }, 20000)) << fController->Slot(0).ErrorMessage();
  auto client = Client();
  auto slotList = client.Get("/ws/slots");
  ASSERT_TRUE(slotList);
  EXPECT_NE(slotList->body.find("\"Tone\""), std::string::npos) << slotList->body;
  EXPECT_NE(slotList->body.find("\"Idle\""), std::string::npos) << slotList->body;
  EXPECT_NE(slotList->body.find("lavfi:sine"), std::string::npos) << slotList->body;

  ASSERT_TRUE(client.Get("/ws/execute?command=SLOT%201%20STOP"));
  EXPECT_TRUE(RunUntil([&] { return !fController->Slot(0).Enabled() && !fController->Slot(0).Recording(); }, 10000));
  ASSERT_TRUE(client.Get("/ws/execute?command=SLOT%201%20START"));
  EXPECT_TRUE(RunUntil([&] { return fController->Slot(0).Recording(); }, 20000));
  RunUntil([&] { return answered > 50; }, 10000);

  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_GT(answered, 0);
  EXPECT_EQ(failed, 0);
  const auto log = fController->WebServerLogLines();
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.front().find("Web server started"), std::string::npos) << log.front();
}

TEST_F(ControllerWebServerTest, StopWhileRequestsWaitForTheControllerToTakeTheirLogLines) {
  // A method other than GET and POST is logged by name: the request thread
  // hands its line to the controller thread and waits until it is taken.
  std::atomic<bool> stop{false};
  std::atomic<int> logged{0};
  std::vector<std::thread> senders;
  for (int i = 0; i < 6; ++i) {
    senders.emplace_back([&] {
      auto client = Client();
      while (!stop) {
        if (auto reply = client.Put("/ws/slots", "", "text/plain"); reply && reply->status == 200) ++logged;
      }
    });
  }
  ASSERT_TRUE(RunUntil([&] { return logged > 5; }, 10000));
  fController->StopWebServer();  // on the controller thread, as the window's button does
  EXPECT_FALSE(fController->WebServerRunning());
  stop = true;
  for (auto& t : senders) t.join();

  // And it starts again on the same controller.
  EXPECT_TRUE(fController->StartWebServer());
  auto reply = Client().Get("/ws/slots/1/name");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, "Idle");
}

}  // namespace
