// Alarm mails against real SMTP servers: aiosmtpd in clear, with STARTTLS and
// with implicit TLS, and a Controller-based aiosmtpd with AUTH.
#include "AlarmTestSupport.h"

#include "alarms/SSLEmail.h"

#include <gtest/gtest.h>

#include <regex>

using namespace alarmtest;

namespace {

class SMTPServers : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    fDir = std::make_unique<TTempDir>();
    MakeCertificate(fDir->Path());
  }
  static void TearDownTestSuite() { fDir.reset(); }

  // aiosmtpd's own command line with our handler; returns the port.
  int StartCLI(const std::string& iMode) {
    fOut = *fDir / ("out-" + iMode + std::to_string(fStarted++));
    std::filesystem::create_directories(fOut);
    for (int attempt = 0; attempt < 3; ++attempt) {
      const int port = FreePort();
      // env sets the handler's module path for the child only
      std::vector<std::string> args = {"/usr/bin/env", "PYTHONPATH=" + cFixtures, "/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l",
                                       "127.0.0.1:" + std::to_string(port), "-c", "smtp_sink.FileSink"};
      if (iMode == "starttls") args.insert(args.end(), {"--tlscert", *fDir / "cert.pem", "--tlskey", *fDir / "key.pem"});
      if (iMode == "tls") args.insert(args.end(), {"--smtpscert", *fDir / "cert.pem", "--smtpskey", *fDir / "key.pem"});
      args.push_back(fOut);
      fServer = std::make_unique<TChildProcess>(args, fOut + "/server.log");
      if (WaitUntil([&] { return PortAnswers(port) || !fServer->Running(); }, std::chrono::seconds(15)) &&
          fServer->Running())
        return port;
    }
    throw std::runtime_error("aiosmtpd did not start");
  }

  int StartAuth(const std::string& iMechs, const std::string& iMode = "none") {
    fOut = *fDir / ("auth" + std::to_string(fStarted++));
    std::filesystem::create_directories(fOut);
    fServer = std::make_unique<TChildProcess>(
        std::vector<std::string>{"/usr/bin/python3", cFixtures + "/smtp_auth_server.py", fOut, fOut + "/port",
                                 "alarm", "s3cret", iMechs, iMode, *fDir / "cert.pem", *fDir / "key.pem"},
        fOut + "/server.log");
    const int port = WaitForPortFile(fOut + "/port");
    if (port == 0) throw std::runtime_error("AUTH fixture did not start");
    return port;
  }

  std::map<std::string, std::string> Meta(int n = 1) { return ReadMeta(fOut + "/" + std::to_string(n) + ".meta"); }
  std::string Raw(int n = 1) { return ReadFile(fOut + "/" + std::to_string(n) + ".eml"); }
  std::string Body(int n = 1) { return ReadFile(fOut + "/" + std::to_string(n) + ".body"); }

  static TEmailSettings Settings(int iPort, TEmailEncryption iEncryption) {
    TEmailSettings s;
    s.SMTPServer = "127.0.0.1";
    s.SMTPPort = std::to_string(iPort);
    s.Encryption = iEncryption;
    s.FromAddress = "logger@station.example";
    s.Receipients = "ops@station.example, Night Desk <night@station.example>";
    return s;
  }

  static inline std::unique_ptr<TTempDir> fDir;
  static inline int fStarted = 0;
  std::string fOut;
  std::unique_ptr<TChildProcess> fServer;
  std::vector<std::string> fLog;
  TLogMessageFunc Log() {
    return [this](const std::string& s) { fLog.push_back(s); };
  }
};

TEST_F(SMTPServers, AlarmMailArrivesInEachEncryptionMode) {
  const std::tuple<const char*, TEmailEncryption, const char*, const char*> modes[] = {
      {"plain", eeNone, "none", "no"}, {"starttls", eeSTARTTLS, "TLSv1.2", "yes"}, {"tls", eeSSL, "TLSv1.2", "no"}};
  for (const auto& [mode, encryption, tls, starttls] : modes) {
    SCOPED_TRACE(mode);
    const int port = StartCLI(mode);
    const std::string subject = "Slot \"Küche\" SILENCE DETECTED (30 seconds)";
    SendAlarmEmail(Settings(port, encryption), subject, false, Log());
    EXPECT_TRUE(fLog.empty()) << fLog.front();
    auto meta = Meta();
    EXPECT_EQ(meta["tls"], tls);
    EXPECT_EQ(meta["starttls"], starttls);
    EXPECT_EQ(meta["mail_from"], "logger@station.example");
    EXPECT_EQ(meta["rcpt_tos"], "ops@station.example|night@station.example");
    EXPECT_EQ(meta["to"], "<ops@station.example>|Night Desk<night@station.example>");
    EXPECT_EQ(meta["subject"], subject);  // decoded by Python from our encoded words
    EXPECT_EQ(meta["content_type"], "text/plain");
    EXPECT_EQ(meta["charset"], "utf-8");
    EXPECT_EQ(meta["login"], "");

    const auto headers = ParseHeaders(Raw());
    EXPECT_EQ(headers.at("From"), "logger@station.example");
    EXPECT_EQ(headers.at("Sender"), "logger@station.example");
    EXPECT_EQ(headers.at("Reply-To"), "logger@station.example");
    EXPECT_EQ(headers.at("X-Priority"), "3 (Normal)");
    EXPECT_EQ(headers.at("Subject").rfind("=?UTF-8?B?", 0), 0u);
    EXPECT_TRUE(std::regex_match(headers.at("Message-ID"),
                                 std::regex("<[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"
                                            "@station\\.example>")));
    const std::string body = Body();
    EXPECT_EQ(body.rfind("Host: " + ComputerName() + "\r\nDate/Time: ", 0), 0u) << body;
    fLog.clear();
  }
}

TEST_F(SMTPServers, MessageIDWithoutDomainAndPlainASCIISubject) {
  const int port = StartCLI("plain");
  auto settings = Settings(port, eeNone);
  settings.FromAddress = "logger";
  SendAlarmEmail(settings, "Slot \"A\" SILENCE OK", true, Log());
  const auto headers = ParseHeaders(Raw());
  EXPECT_EQ(headers.at("Subject"), "Slot \"A\" SILENCE OK");
  EXPECT_NE(headers.at("Message-ID").find("@UNKNOWN>"), std::string::npos);
}

TEST_F(SMTPServers, StartTLSFailsWhenTheServerDoesNotOfferIt) {
  const int port = StartCLI("plain");
  EXPECT_THROW(
      {
        try {
          SendTestEmail(Settings(port, eeSTARTTLS));
        } catch (const std::exception& e) {
          EXPECT_NE(std::string(e.what()).find("STARTTLS"), std::string::npos) << e.what();
          throw;
        }
      },
      std::exception);
  EXPECT_FALSE(std::filesystem::exists(fOut + "/1.meta"));
}

TEST_F(SMTPServers, AuthenticationUsesThePreferredOfferedMechanism) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      // libcurl takes PLAIN before LOGIN when both are offered
      {"CRAM-MD5,LOGIN,PLAIN", "none", "CRAM-MD5"}, {"LOGIN", "starttls", "LOGIN"}, {"LOGIN,PLAIN", "none", "PLAIN"}, {"PLAIN", "tls", "PLAIN"}};
  for (const auto& [mechs, mode, expected] : cases) {
    SCOPED_TRACE(mechs);
    const int port = StartAuth(mechs, mode);
    auto settings = Settings(port, mode == std::string("tls") ? eeSSL : mode == std::string("starttls") ? eeSTARTTLS : eeNone);
    settings.User = "alarm";
    settings.Password = "s3cret";
    SendTestEmail(settings);
    auto meta = Meta();
    EXPECT_EQ(meta["mechanism"], expected);
    EXPECT_EQ(meta["subject"], "Test from Vantorel");
  }
}

TEST_F(SMTPServers, RefusedLoginIsAnError) {
  const int port = StartAuth("LOGIN,PLAIN");
  auto settings = Settings(port, eeNone);
  settings.User = "alarm";
  settings.Password = "wrong";
  // this aiosmtpd does not always answer a refused PLAIN login; the reply
  // time-out ends the attempt either way
  SendAlarmEmail(settings, "x", false, Log(), TSMTPTimeouts{5000, 2000});
  ASSERT_EQ(fLog.size(), 1u);
  EXPECT_EQ(fLog[0].rfind("Error sending e-mail: ", 0), 0u) << fLog[0];
  fLog.clear();
  // without credentials no AUTH is tried, and this server insists on it
  settings.User.clear();
  settings.Password.clear();
  EXPECT_THROW(SendTestEmail(settings), std::exception);
}

// A listening socket whose accept queue is full: the kernel drops further SYNs,
// so a connection attempt hangs like one to an unreachable host.
class TBlackhole {
public:
  TBlackhole() {
    fListener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fListener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    listen(fListener, 0);
    socklen_t len = sizeof(addr);
    getsockname(fListener, reinterpret_cast<sockaddr*>(&addr), &len);
    fPort = ntohs(addr.sin_port);
    for (int i = 0; i < 3; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
      fFillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ~TBlackhole() {
    for (int fd : fFillers) close(fd);
    close(fListener);
  }
  int Port() const { return fPort; }

private:
  int fListener = -1;
  int fPort = 0;
  std::vector<int> fFillers;
};

TEST(SMTPFailures, UnreachableServerGivesOneLogLineAfterTheConnectTimeout) {
  TBlackhole hole;
  TEmailSettings s;
  s.SMTPServer = "127.0.0.1";
  s.SMTPPort = std::to_string(hole.Port());
  s.FromAddress = "a@b.c";
  s.Receipients = "d@e.f";
  std::vector<std::string> log;
  const auto start = std::chrono::steady_clock::now();
  SendAlarmEmail(s, "x", false, [&](const std::string& l) { log.push_back(l); }, TSMTPTimeouts{800, 5000});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("Error sending e-mail: ", 0), 0u);
  EXPECT_TRUE(log[0].find("imed out") != std::string::npos || log[0].find("imeout") != std::string::npos)
      << log[0];
  EXPECT_GE(elapsed, std::chrono::milliseconds(700));
}

TEST(SMTPFailures, ServerThatNeverGreetsHitsTheReplyTimeout) {
  // accepted but silent: the server's greeting never comes
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  listen(listener, 8);
  socklen_t len = sizeof(addr);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  TSSLEmail email("127.0.0.1", ntohs(addr.sin_port), "", "");
  email.SetedSSLConnection(false);
  email.SetedSenderEmail("a@b.c");
  email.SetedToEmail("d@e.f");
  email.SetReplyTimeout(1000);
  EXPECT_THROW(email.SendEmail(), std::runtime_error);
  close(listener);
}

TEST(SMTPFailures, SettingsErrorsAreReportedNotSent) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "No SMTP server given"}, {"host/x", "Invalid SMTP server name: host/x"}};
  for (const auto& [server, text] : cases) {
    TEmailSettings s;
    s.SMTPServer = server;
    s.FromAddress = "a@b.c";
    s.Receipients = "d@e.f";
    std::vector<std::string> log;
    SendAlarmEmail(s, "x", false, [&](const std::string& l) { log.push_back(l); });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], std::string("Error sending e-mail: ") + text);
  }
  TEmailSettings s;
  s.SMTPServer = "127.0.0.1";
  s.FromAddress = "a@b.c";
  s.SMTPPort = "70000";
  s.Receipients = "d@e.f";
  EXPECT_THROW(SendTestEmail(s), std::runtime_error);
  s.SMTPPort = "25";
  s.Receipients = " , ";
  EXPECT_THROW(SendTestEmail(s), std::runtime_error);
}

}  // namespace
