#pragma once
// Plain-text mails over SMTP - in clear, with STARTTLS or with implicit TLS -
// for the silence alarms and the test mail of the e-mail settings page.
// Everything here runs on the calling thread and returns only when the server
// has accepted the mail or the attempt has failed; every wait is bounded.
#include "alarms/EmailSettings.h"
#include "alarms/MailMessage.h"

#include <atomic>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

class TIniFile;

inline constexpr int cSMTPConnectTimeout = 30000;  // ms, TCP connect and TLS handshake
// ms the server may take for any one reply, and the longest the upload of the
// message may stall; the whole exchange is capped at connect + 3 x this.
inline constexpr int cSMTPReplyTimeout = 60000;

// One message over one connection. Construct, set the properties, SendEmail.
class TSSLEmail {
public:
  TSSLEmail();
  TSSLEmail(const std::string& ASMTPServer, int ASMTPPort, const std::string& AUserName,
            const std::string& APassword);

  // Builds the message, connects, sends and disconnects (also after a failure).
  // Throws std::exception with the reason on any failure: unknown host, refused or
  // timed-out connection, TLS failure, no STARTTLS offered, authentication refused,
  // sender or recipient refused, no recipients.
  void SendEmail();

  const std::vector<std::string>& edBody() const { return FedBody; }
  void SetedBody(const std::vector<std::string>& iBody) { FedBody = iBody; }
  int edSMTPPort() const { return FedSMTPPort; }
  void SetedSMTPPort(int iValue) { FedSMTPPort = iValue; }
  const std::string& edToEmail() const { return FedToEmail; }
  void SetedToEmail(const std::string& iValue) { FedToEmail = iValue; }
  const std::string& edSubject() const { return FedSubject; }
  void SetedSubject(const std::string& iValue) { FedSubject = iValue; }
  const std::string& edSMTPServer() const { return FedSMTPServer; }
  void SetedSMTPServer(const std::string& iValue) { FedSMTPServer = iValue; }
  const std::string& edCCEmail() const { return FedCCEmail; }
  void SetedCCEmail(const std::string& iValue) { FedCCEmail = iValue; }
  const std::string& edPassword() const { return FedPassword; }
  void SetedPassword(const std::string& iValue) { FedPassword = iValue; }
  const std::string& edBCCEmail() const { return FedBCCEmail; }
  void SetedBCCEmail(const std::string& iValue) { FedBCCEmail = iValue; }
  const std::string& edSenderName() const { return FedSenderName; }
  void SetedSenderName(const std::string& iValue) { FedSenderName = iValue; }
  const std::string& edUserName() const { return FedUserName; }
  void SetedUserName(const std::string& iValue) { FedUserName = iValue; }
  TIdMessagePriority edPriority() const { return FedPriority; }
  void SetedPriority(TIdMessagePriority iValue) { FedPriority = iValue; }
  const std::string& edSenderEmail() const { return FedSenderEmail; }
  void SetedSenderEmail(const std::string& iValue) { FedSenderEmail = iValue; }
  bool edSSLConnection() const { return FedSSLConnection; }
  void SetedSSLConnection(bool iValue) { FedSSLConnection = iValue; }
  bool edRequireTLS() const { return FedRequireTLS; }
  void SetedRequireTLS(bool iValue) { FedRequireTLS = iValue; }

  int ConnectTimeout() const { return fConnectTimeout; }  // ms
  void SetConnectTimeout(int iValue) { fConnectTimeout = iValue; }
  int ReplyTimeout() const { return fReplyTimeout; }  // ms
  void SetReplyTimeout(int iValue) { fReplyTimeout = iValue; }
  // Once *iCancel turns true, SendEmail gives up within about a second (a
  // program that ends must not wait for a server that never answers).
  void SetCancelFlag(const std::atomic<bool>* iCancel) { fCancel = iCancel; }

  // The message SendEmail would send, for inspection; a new Message-ID each call.
  std::string ComposeMessage() const;

private:
  TMailMessage BuildMessage() const;

  std::vector<std::string> FedBody;
  int FedSMTPPort = 0;
  std::string FedToEmail;
  std::string FedSubject;
  std::string FedSMTPServer;
  std::string FedCCEmail;
  std::string FedPassword;
  std::string FedBCCEmail;
  std::string FedSenderName;
  std::string FedUserName;
  TIdMessagePriority FedPriority = mpNormal;
  std::string FedSenderEmail;
  bool FedSSLConnection = true;
  bool FedRequireTLS = false;
  int fConnectTimeout = cSMTPConnectTimeout;
  int fReplyTimeout = cSMTPReplyTimeout;
  const std::atomic<bool>* fCancel = nullptr;
};

using TLogMessageFunc = std::function<void(const std::string&)>;

struct TSMTPTimeouts {
  int Connect = cSMTPConnectTimeout;
  int Reply = cSMTPReplyTimeout;
  const std::atomic<bool>* Cancel = nullptr;  // see TSSLEmail::SetCancelFlag
};

inline constexpr const char* cTestEmailSubject = "Test from Vantorel";
inline constexpr const char* cTestEmailSentText = "Test e-mail has been sent. Please check your inbox.";

// The alarm mail: subject iSubject, the body of AlarmEmailBody for this computer
// and iTime (0: now), sent with iSettings. With iRaiseErrors false a failure
// becomes the log line "Error sending e-mail: <reason>" through iLogMessage; with
// it true the failure is thrown and nothing is logged.
void SendAlarmEmail(const TEmailSettings& iSettings, const std::string& iSubject, bool iRaiseErrors,
                    const TLogMessageFunc& iLogMessage, const TSMTPTimeouts& iTimeouts = {},
                    std::time_t iTime = 0);
// The same with the settings as [EMail] holds them at this moment.
void SendAlarmEmail(const TIniFile& iIni, const std::string& iSubject, bool iRaiseErrors,
                    const TLogMessageFunc& iLogMessage, const TSMTPTimeouts& iTimeouts = {});

// The "Send Test E-Mail" button: the values being edited, subject "Test from
// Vantorel"; throws on failure (its message is for the user), logs nothing.
void SendTestEmail(const TEmailSettings& iSettings, const TSMTPTimeouts& iTimeouts = {});

// "Host: <iHost>" and "Date/Time: <iDateTime>".
std::vector<std::string> AlarmEmailBody(const std::string& iHost, const std::string& iDateTime);
// This computer's network name; empty when it cannot be determined.
std::string ComputerName();
// Local date and time in the locale's short date and long time form.
std::string LocalDateTimeText(std::time_t iTime);
