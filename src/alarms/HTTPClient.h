#pragma once
// The HTTP client of the alarm calls: one GET, plain TCP or TLS by the URL's
// scheme, credentials from the URL answered on a 401, a time-out for silence on
// the connection, and the product's user agent.
#include <string>

inline constexpr int cHTTPReadTimeout = 10000;     // ms without any data from the server
inline constexpr int cHTTPConnectTimeout = 10000;  // ms for TCP connect and TLS handshake

class TIdHTTPEx {
public:
  // iReadTimeout: ms of silence after which a call fails (0 or less: no limit).
  // iSetUserAgent: identify as HTTPUserAgent(), else libcurl sends no user agent.
  TIdHTTPEx(int iReadTimeout, bool iSetUserAgent);

  // GET iURL and return the reply body. Throws std::runtime_error with the reason:
  // connection or TLS failure, silence time-out, a reply status of 400 or above
  // (the message is the status line, "HTTP/1.1 500 Internal Server Error"), or a
  // redirect, which is never followed. Only http and https URLs are called; one
  // without a scheme is taken as http. The scheme is matched in any letter case,
  // and https never checks the server's certificate.
  std::string Get(const std::string& iURL);
  // The same, dropping the body as it arrives.
  void GetAndDiscard(const std::string& iURL);

  int ReadTimeout() const { return fReadTimeout; }
  int ConnectTimeout() const { return fConnectTimeout; }
  void SetConnectTimeout(int iMilliseconds) { fConnectTimeout = iMilliseconds; }
  // Upper limit for a whole call in ms, so an endless reply cannot hold the caller
  // for ever; 0 (the default) means none.
  int TotalTimeout() const { return fTotalTimeout; }
  void SetTotalTimeout(int iMilliseconds) { fTotalTimeout = iMilliseconds; }
  const std::string& UserAgent() const { return fUserAgent; }

  // Of the last call: the reply status (0 when none) and its status line.
  long ResponseCode() const { return fResponseCode; }
  const std::string& ResponseText() const { return fResponseText; }

private:
  void Perform(const std::string& iURL, std::string* oBody);

  int fReadTimeout;
  int fConnectTimeout = cHTTPConnectTimeout;
  int fTotalTimeout = 0;
  std::string fUserAgent;
  long fResponseCode = 0;
  std::string fResponseText;
};

// "Mozilla/5.0 (compatible; Vantorel/1.0.0.1)" from the program version, read once.
const std::string& HTTPUserAgent();
// The same from given numbers; iKnown false gives "Mozilla/5.0 (compatible; Vantorel)".
std::string FormatUserAgent(bool iKnown, unsigned iMajor, unsigned iMinor, unsigned iRelease,
                            unsigned iBuild);

// iURL with its scheme (the text before "://") in lower case; other URLs unchanged.
std::string NormalizeURLScheme(const std::string& iURL);
