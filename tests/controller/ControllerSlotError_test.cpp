// A slot that cannot record, as a station without a desktop sees it: its
// reason once in the message log, and as "Error" in the web server's slot list.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "ControllerTestSupport.h"
#include "controller/LoggerMain.h"
#include "shell/IniFile.h"
#include "web/ControllerWebHost.h"

namespace {

TEST(ControllerSlotError, FolderThatCannotBeCreatedShowsInTheLogAndTheSlotList) {
  App();
  char pattern[] = "/tmp/vt-sloterror-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  std::ofstream(root + "/blocker") << "a file where the recordings folder should be";
  std::ofstream(root + "/Vantorel.ini")
      << "[Webserver]\nEnabled=on\nPort=127.0.0.1:0\nAnonymousAccess=ReadOnly\n"
         "[Slot0]\nName=Tone\nSource=Stream\nStreamURL=lavfi:sine=frequency=1000:sample_rate=44100\n"
         "Samplerate=44100\nFormat=wav16\nFolder=" << root << "/blocker/rec\nDatabaseFile=" << root << "/rec0.db\n"
      << "[Slot1]\nName=Idle\nSource=None\nFolder=" << root << "/rec1\n";
  {
    TIniFile ini(root + "/Vantorel.ini");
    TStartupValues values;
    values.FullSlotCount = 2;
    TLoggerMainOptions options;
    options.PluginFolder = root + "/plugins/";
    TLoggerMain controller(ini, values, options);
    TControllerWebServer web(controller);
    controller.AutoStartWebServer();
    ASSERT_TRUE(controller.WebServerRunning());

    const std::string error = "Cannot create folder " + root + "/blocker/rec/";
    const auto logged = [&] {
      const auto lines = controller.MessageLogLines();
      return std::count_if(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find("Tone: " + error) != std::string::npos; });
    };
    ASSERT_TRUE(RunUntil([&] { return logged() > 0; }, 10000));
    RunUntil([] { return false; }, 2000);  // some twenty ticks of the rotation timer
    EXPECT_EQ(logged(), 1);

    httplib::Client client("127.0.0.1", web.Server().Port());
    client.set_read_timeout(10, 0);
    const auto reply = client.Get("/ws/slots");
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->status, 200);
    // The reply escapes every "/" as "\/".
    std::string escaped;
    for (const char c : error) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    EXPECT_NE(reply->body.find("\"Error\": \"" + escaped), std::string::npos) << reply->body;
    EXPECT_NE(reply->body.find("\"Error\": \"\""), std::string::npos) << "the idle slot has none: " << reply->body;
  }
  std::filesystem::remove_all(root);
}

}  // namespace
