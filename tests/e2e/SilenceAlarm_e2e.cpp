// The silence alarm end to end: a silent input is announced in the log, by its
// URL and by e-mail; the returning sound is announced in the log and by its URL.
#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>

#include "E2EServices.h"

TEST(SilenceAlarmE2E, SilenceThenSoundCallsURLsAndSendsTheMail) {
  TE2ETempFolder run;
  TPulseServer pulse(run / "pulse");

  // the alarm receiver
  httplib::Server http;
  std::mutex lock;
  std::vector<std::string> calls;
  http.Get(R"(/alarm/.*)", [&](const httplib::Request& iRequest, httplib::Response& iResponse) {
    std::lock_guard<std::mutex> guard(lock);
    calls.push_back(iRequest.path);
    iResponse.set_content("ok", "text/plain");
  });
  const int httpPort = http.bind_to_any_port("127.0.0.1");
  std::thread httpThread([&] { http.listen_after_bind(); });
  auto callsSeen = [&] {
    std::lock_guard<std::mutex> guard(lock);
    return calls;
  };

  const int smtpPort = FreePort();
  TChildProcess smtp({"/usr/bin/python3", "-m", "aiosmtpd", "-n", "-c", "aiosmtpd.handlers.Debugging", "-l",
                      "127.0.0.1:" + std::to_string(smtpPort)},
                     run / "smtp.out", {{"PYTHONUNBUFFERED", "1"}});

  const std::string root = run / "root";
  std::filesystem::create_directories(root);
  const std::string url = "http://127.0.0.1:" + std::to_string(httpPort) + "/alarm/";
  WriteFileText(root + "/Vantorel.ini",
                "[General]\nInstanceNumber=" + std::to_string(500000 + getpid() % 50000) +
                    "\nFullSlotCount=1\n[EMail]\nSMTPServer=127.0.0.1\nSMTPPort=" + std::to_string(smtpPort) +
                    "\nFromAddress=logger@example.com\nReceipients=engineer@example.com\n"
                    "[Slot0]\nName=Studio A\nSource=Soundcard\nDevice=" + pulse.Device() +
                    "\nFormat=wav16\nFolder=" + root + "/rec\nSilenceDetection=3\nSendEmailSilenceDetected=on\n"
                    "HTTPAlarmSilenceDetected=" + url + "silence\nHTTPAlarmSilenceOK=" + url + "ok\n");
  auto program = StartVantorel(root, pulse.Env());
  auto log = [&] { return ReadFileText(root + "/out.txt"); };

  ASSERT_TRUE(WaitUntil([&] { return log().find("Slot \"Studio A\" SILENCE DETECTED (3 seconds)") != std::string::npos; },
                        20000))
      << log();
  EXPECT_TRUE(WaitUntil([&] { return callsSeen() == std::vector<std::string>{"/alarm/silence"}; }, 10000));
  EXPECT_TRUE(WaitUntil(
      [&] { return ReadFileText(run / "smtp.out").find("Slot \"Studio A\" SILENCE DETECTED (3 seconds)") != std::string::npos; },
      10000))
      << ReadFileText(run / "smtp.out") << log();

  WriteTestWav(run / "tone.wav", 4, &Sine1k);
  pulse.Play(run / "tone.wav");
  EXPECT_TRUE(WaitUntil([&] { return log().find("Slot \"Studio A\" SILENCE OK") != std::string::npos; }, 10000)) << log();
  EXPECT_TRUE(
      WaitUntil([&] { return callsSeen() == std::vector<std::string>{"/alarm/silence", "/alarm/ok"}; }, 10000));
  // one announcement per change
  EXPECT_EQ(CountOccurrences(log(), "SILENCE DETECTED"), 1);

  program->Signal(SIGTERM);
  EXPECT_EQ(program->WaitExit(2000), std::optional<int>(0));
  http.stop();
  httpThread.join();
}
