#include "alarms/SSLEmail.h"

#include "alarms/CurlHandle.h"
#include "shell/IniFile.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace {

// Offered in this order where the server has them; libcurl has no CRAM-SHA1,
// SKEY, OTP or ANONYMOUS, and takes EXTERNAL only when no password is set.
constexpr const char* cSASLMechanisms = "AUTH=CRAM-MD5;AUTH=EXTERNAL;AUTH=LOGIN;AUTH=PLAIN";

struct TUploadSource {
  const std::string* fText;
  size_t fPos = 0;
};

size_t ReadMessage(char* oBuffer, size_t iSize, size_t iCount, void* iUser) {
  auto* source = static_cast<TUploadSource*>(iUser);
  const size_t room = iSize * iCount;
  const size_t n = std::min(room, source->fText->size() - source->fPos);
  std::memcpy(oBuffer, source->fText->data() + source->fPos, n);
  source->fPos += n;
  return n;
}

// The server name goes into a URL: refuse what would change the URL's meaning,
// and put IPv6 literals into brackets.
std::string HostForURL(const std::string& iServer) {
  if (iServer.empty()) throw std::runtime_error("No SMTP server given");
  for (unsigned char c : iServer) {
    if (c <= ' ' || c == 0x7F || std::strchr("/\\@?#%", c))
      throw std::runtime_error(fmt::format("Invalid SMTP server name: {}", iServer));
  }
  if (iServer.find(':') != std::string::npos && iServer.front() != '[') return "[" + iServer + "]";
  return iServer;
}

std::string EhloName(CURL* iCurl) {
  std::string name = ComputerName();
  if (name.empty()) name = "localhost";
  char* escaped = curl_easy_escape(iCurl, name.c_str(), static_cast<int>(name.size()));
  if (!escaped) return "localhost";
  std::string result = escaped;
  curl_free(escaped);
  return result;
}

int CancelProgress(void* iUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(iUser)->load() ? 1 : 0;
}

long Seconds(int iMilliseconds) { return std::max(1L, (static_cast<long>(iMilliseconds) + 999) / 1000); }

template <typename T>
void SetOption(CURL* iCurl, CURLoption iOption, T iValue) {
  const CURLcode code = curl_easy_setopt(iCurl, iOption, iValue);
  if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
}

}  // namespace

TSSLEmail::TSSLEmail() = default;

TSSLEmail::TSSLEmail(const std::string& ASMTPServer, int ASMTPPort, const std::string& AUserName,
                     const std::string& APassword)
    : FedSMTPPort(ASMTPPort), FedSMTPServer(ASMTPServer), FedPassword(APassword), FedUserName(AUserName) {}

TMailMessage TSSLEmail::BuildMessage() const {
  TMailMessage message;
  if (FedSenderEmail.find_first_not_of(" \t") == std::string::npos)
    throw std::runtime_error("No sender address given");
  // a From address typed with a display name ("Logger <log@station.fm>") is used as
  // such rather than put into the header as one broken address
  message.From = ParseMailAddress(FedSenderEmail);
  if (!FedSenderName.empty()) message.From.Name = FedSenderName;
  message.To = ParseAddressList(FedToEmail);
  message.CC = ParseAddressList(FedCCEmail);
  message.Subject = FedSubject;
  message.Priority = FedPriority;
  message.Body = FedBody;
  message.MessageID = NewMessageID(message.From.Address);
  message.Date = std::time(nullptr);
  return message;
}

std::string TSSLEmail::ComposeMessage() const { return ComposeMailMessage(BuildMessage()); }

void TSSLEmail::SendEmail() {
  const std::string host = HostForURL(FedSMTPServer);
  if (FedSMTPPort < 1 || FedSMTPPort > 65535)
    throw std::runtime_error(fmt::format("Invalid SMTP port: {}", FedSMTPPort));

  const TMailMessage message = BuildMessage();
  std::vector<TMailAddress> recipients = message.To;
  recipients.insert(recipients.end(), message.CC.begin(), message.CC.end());
  const std::vector<TMailAddress> bcc = ParseAddressList(FedBCCEmail);
  recipients.insert(recipients.end(), bcc.begin(), bcc.end());
  if (recipients.empty()) throw std::runtime_error("No recipient address given");
  const std::string text = ComposeMailMessage(message);

  TCurlEasy curl = NewCurlEasy();
  CURL* c = curl.get();
  char errorBuffer[CURL_ERROR_SIZE] = {};
  const bool implicitTLS = FedSSLConnection && !FedRequireTLS;
  const std::string url = fmt::format("{}://{}:{}/{}", implicitTLS ? "smtps" : "smtp", host,
                                      FedSMTPPort, EhloName(c));
  TCurlList rcpt;
  for (const TMailAddress& r : recipients) rcpt.Append("<" + r.Address + ">");
  const std::string mailFrom = "<" + message.From.Address + ">";
  TUploadSource source{&text};

  SetOption(c, CURLOPT_ERRORBUFFER, errorBuffer);
  SetOption(c, CURLOPT_NOSIGNAL, 1L);
  SetOption(c, CURLOPT_URL, url.c_str());
  SetOption(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  SetOption(c, CURLOPT_FORBID_REUSE, 1L);
  SetOption(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(fConnectTimeout));
  SetOption(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, Seconds(fReplyTimeout));
  SetOption(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  SetOption(c, CURLOPT_LOW_SPEED_TIME, Seconds(fReplyTimeout));
  SetOption(c, CURLOPT_TIMEOUT_MS,
            static_cast<long>(std::min<long long>(LONG_MAX, fConnectTimeout + 3LL * fReplyTimeout)));
  if (FedSSLConnection) {
    // alarm mails must get out even where the server's certificate is
    // self-signed or its name does not match, so it is not verified
    SetOption(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    SetOption(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
    SetOption(c, CURLOPT_SSL_VERIFYPEER, 0L);
    SetOption(c, CURLOPT_SSL_VERIFYHOST, 0L);
  } else {
    SetOption(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_NONE));
  }
  if (!FedUserName.empty() || !FedPassword.empty()) {
    SetOption(c, CURLOPT_USERNAME, FedUserName.c_str());
    SetOption(c, CURLOPT_PASSWORD, FedPassword.c_str());
    SetOption(c, CURLOPT_LOGIN_OPTIONS, cSASLMechanisms);
  }
  SetOption(c, CURLOPT_MAIL_FROM, mailFrom.c_str());
  SetOption(c, CURLOPT_MAIL_RCPT, rcpt.Get());
  SetOption(c, CURLOPT_UPLOAD, 1L);
  SetOption(c, CURLOPT_READFUNCTION, &ReadMessage);
  SetOption(c, CURLOPT_READDATA, &source);
  SetOption(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(text.size()));
  if (fCancel) {
    // libcurl calls this at least about once a second, also while it waits
    SetOption(c, CURLOPT_XFERINFOFUNCTION, &CancelProgress);
    SetOption(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(fCancel));
    SetOption(c, CURLOPT_NOPROGRESS, 0L);
  }

  const CURLcode result = curl_easy_perform(c);
  if (result != CURLE_OK) throw std::runtime_error(CurlErrorText(result, errorBuffer));
}

void SendAlarmEmail(const TEmailSettings& iSettings, const std::string& iSubject, bool iRaiseErrors,
                    const TLogMessageFunc& iLogMessage, const TSMTPTimeouts& iTimeouts, std::time_t iTime) {
  try {
    TSSLEmail email(iSettings.SMTPServer, SMTPPortFromText(iSettings.SMTPPort), iSettings.User,
                    iSettings.Password);
    email.SetedSSLConnection(iSettings.Encryption != eeNone);
    email.SetedRequireTLS(iSettings.Encryption == eeSTARTTLS);
    email.SetedSenderEmail(iSettings.FromAddress);
    email.SetedToEmail(iSettings.Receipients);
    email.SetedSubject(iSubject);
    email.SetedBody(AlarmEmailBody(ComputerName(), LocalDateTimeText(iTime != 0 ? iTime : std::time(nullptr))));
    email.SetConnectTimeout(iTimeouts.Connect);
    email.SetReplyTimeout(iTimeouts.Reply);
    email.SetCancelFlag(iTimeouts.Cancel);
    email.SendEmail();
  } catch (const std::exception& e) {
    if (iRaiseErrors) throw;
    if (iLogMessage) iLogMessage(fmt::format("Error sending e-mail: {}", e.what()));
  }
}

void SendAlarmEmail(const TIniFile& iIni, const std::string& iSubject, bool iRaiseErrors,
                    const TLogMessageFunc& iLogMessage, const TSMTPTimeouts& iTimeouts) {
  SendAlarmEmail(ReadEmailSettings(iIni), iSubject, iRaiseErrors, iLogMessage, iTimeouts);
}

void SendTestEmail(const TEmailSettings& iSettings, const TSMTPTimeouts& iTimeouts) {
  SendAlarmEmail(iSettings, cTestEmailSubject, true, TLogMessageFunc(), iTimeouts);
}

std::vector<std::string> AlarmEmailBody(const std::string& iHost, const std::string& iDateTime) {
  return {"Host: " + iHost, "Date/Time: " + iDateTime};
}

std::string ComputerName() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return {};
  return name;
}

std::string LocalDateTimeText(std::time_t iTime) {
  std::tm local{};
  localtime_r(&iTime, &local);
  char text[128] = {};
  if (std::strftime(text, sizeof(text), "%x %X", &local) == 0) return {};
  return text;
}
