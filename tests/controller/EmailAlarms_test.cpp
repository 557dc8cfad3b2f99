// The controller's mail worker against real SMTP servers: alarm mails in queue
// order, failures as log lines on the controller thread, the test mail's
// completion, and an end that does not wait for a server that never answers.
#include "controller/EmailAlarms.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <mutex>

#include "ControllerTestSupport.h"
#include "alarms/AlarmTestSupport.h"

using namespace alarmtest;

namespace {

TEmailSettings Settings(int iPort) {
  TEmailSettings s;
  s.SMTPServer = "127.0.0.1";
  s.SMTPPort = std::to_string(iPort);
  s.Encryption = eeNone;
  s.FromAddress = "logger@station.example";
  s.Receipients = "ops@station.example";
  return s;
}

// Stands in for the controller thread: posted tasks wait until the test runs them.
class EmailAlarmsTest : public ::testing::Test {
protected:
  TEmailAlarms::TPostToController Post() {
    return [this](std::function<void()> iTask) {
      std::lock_guard<std::mutex> lock(fLock);
      fPosted.push_back(std::move(iTask));
    };
  }
  TEmailAlarms::TLogMessage Log() {
    return [this](const std::string& iLine) { fLog.push_back(iLine); };  // controller thread only
  }
  // Runs the posted tasks until iDone holds (bounded).
  bool RunPostedUntil(const std::function<bool()>& iDone, std::chrono::milliseconds iTimeout) {
    return WaitUntil(
        [&] {
          std::deque<std::function<void()>> tasks;
          {
            std::lock_guard<std::mutex> lock(fLock);
            tasks.swap(fPosted);
          }
          for (auto& task : tasks) task();
          return iDone();
        },
        iTimeout);
  }
  int StartSink() {
    fOut = fDir / "out";
    std::filesystem::create_directories(fOut);
    for (int attempt = 0; attempt < 3; ++attempt) {
      const int port = FreePort();
      fServer = std::make_unique<TChildProcess>(
          std::vector<std::string>{"/usr/bin/env", "PYTHONPATH=" + cFixtures, "/usr/bin/python3", "-m", "aiosmtpd", "-n",
                                   "-l", "127.0.0.1:" + std::to_string(port), "-c", "smtp_sink.FileSink", fOut},
          fOut + "/server.log");
      if (WaitUntil([&] { return PortAnswers(port) || !fServer->Running(); }, std::chrono::seconds(15)) &&
          fServer->Running())
        return port;
    }
    throw std::runtime_error("aiosmtpd did not start");
  }

  TTempDir fDir;
  std::string fOut;
  std::unique_ptr<TChildProcess> fServer;
  std::mutex fLock;
  std::deque<std::function<void()>> fPosted;
  std::vector<std::string> fLog;
};

TEST_F(EmailAlarmsTest, MailsGoOutInQueueOrderAndFailuresAreLoggedOnTheControllerThread) {
  const int port = StartSink();
  const int refused = FreePort();  // nobody listens there
  TEmailAlarms mails(Log(), Post());
  mails.SendAlarmEmail(Settings(port), "Slot \"A\" SILENCE DETECTED (3 seconds)");
  mails.SendAlarmEmail(Settings(refused), "Slot \"B\" SILENCE DETECTED (3 seconds)");
  mails.SendAlarmEmail(Settings(port), "Slot \"A\" SILENCE OK");
  ASSERT_TRUE(RunPostedUntil([&] { return std::filesystem::exists(fOut + "/2.meta") && !fLog.empty(); },
                             std::chrono::seconds(30)));
  EXPECT_EQ(ReadMeta(fOut + "/1.meta")["subject"], "Slot \"A\" SILENCE DETECTED (3 seconds)");
  EXPECT_EQ(ReadMeta(fOut + "/2.meta")["subject"], "Slot \"A\" SILENCE OK");
  ASSERT_EQ(fLog.size(), 1u);
  EXPECT_EQ(fLog[0].rfind("Error sending e-mail: ", 0), 0u) << fLog[0];
}

TEST_F(EmailAlarmsTest, TheTestMailReportsItsResultToTheControllerThread) {
  const int port = StartSink();
  const int refused = FreePort();
  TEmailAlarms mails(Log(), Post());
  std::vector<std::pair<bool, std::string>> results;
  auto done = [&](bool iSent, const std::string& iMessage) { results.emplace_back(iSent, iMessage); };
  mails.SendTestEmail(Settings(port), done);
  mails.SendTestEmail(Settings(refused), done);
  ASSERT_TRUE(RunPostedUntil([&] { return results.size() == 2; }, std::chrono::seconds(30)));
  EXPECT_EQ(results[0], std::make_pair(true, std::string(cTestEmailSentText)));
  EXPECT_FALSE(results[1].first);
  EXPECT_FALSE(results[1].second.empty());
  EXPECT_EQ(ReadMeta(fOut + "/1.meta")["subject"], cTestEmailSubject);
  EXPECT_TRUE(fLog.empty());  // the user sees the result; the log does not
}

// With the SMTP time-outs the mail would hang for minutes; the end gives it
// the grace time and then about a second to notice it is abandoned.
TEST_F(EmailAlarmsTest, TheEndDoesNotWaitForAServerThatNeverAnswers) {
  TSilentServer server;
  auto mails = std::make_unique<TEmailAlarms>(Log(), Post(), TSMTPTimeouts{}, 500);
  mails->SendAlarmEmail(Settings(server.Port()), "stalled");
  mails->SendAlarmEmail(Settings(server.Port()), "behind it");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the first one connect
  const auto start = std::chrono::steady_clock::now();
  mails.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
