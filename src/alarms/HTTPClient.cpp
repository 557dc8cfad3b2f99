#include "alarms/HTTPClient.h"

#include "alarms/CurlHandle.h"
#include "shell/VantorelGlobals.h"

#include <fmt/format.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <stdexcept>

namespace {

using TClock = std::chrono::steady_clock;

// What the callbacks of one call share.
struct TTransfer {
  CURL* fCurl = nullptr;
  std::string* fBody = nullptr;
  std::string fStatusLine;
  int fReadTimeout = 0;
  TClock::time_point fStart;
  TClock::time_point fLastData;
  bool fSilent = false;
};

void NoteData(TTransfer& ioTransfer) { ioTransfer.fLastData = TClock::now(); }

size_t OnHeader(char* iData, size_t iSize, size_t iCount, void* iUser) {
  auto& transfer = *static_cast<TTransfer*>(iUser);
  const size_t n = iSize * iCount;
  NoteData(transfer);
  std::string line(iData, n);
  if (line.compare(0, 5, "HTTP/") == 0) {
    // a new reply (after a 401 challenge, or a 100 Continue) replaces the last
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    transfer.fStatusLine = line;
  }
  return n;
}

size_t OnBody(char* iData, size_t iSize, size_t iCount, void* iUser) {
  auto& transfer = *static_cast<TTransfer*>(iUser);
  const size_t n = iSize * iCount;
  NoteData(transfer);
  if (transfer.fBody) transfer.fBody->append(iData, n);
  return n;
}

// The silence time-out: libcurl's low-speed check averages over several seconds,
// so a server that sends a little and then stalls would get more than the limit.
// Silence counts from the later of the request going out and the last data.
int OnProgress(void* iUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& transfer = *static_cast<TTransfer*>(iUser);
  if (transfer.fReadTimeout <= 0) return 0;
  curl_off_t pretransfer = 0;
  if (curl_easy_getinfo(transfer.fCurl, CURLINFO_PRETRANSFER_TIME_T, &pretransfer) != CURLE_OK ||
      pretransfer <= 0)
    return 0;  // still connecting: the connect time-out watches that
  const auto requestSent = transfer.fStart + std::chrono::microseconds(pretransfer);
  const auto since = std::max(requestSent, transfer.fLastData);
  if (TClock::now() - since >= std::chrono::milliseconds(transfer.fReadTimeout)) {
    transfer.fSilent = true;
    return 1;
  }
  return 0;
}

template <typename T>
void SetOption(CURL* iCurl, CURLoption iOption, T iValue) {
  const CURLcode code = curl_easy_setopt(iCurl, iOption, iValue);
  if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
}

}  // namespace

std::string FormatUserAgent(bool iKnown, unsigned iMajor, unsigned iMinor, unsigned iRelease,
                            unsigned iBuild) {
  if (!iKnown) return fmt::format("Mozilla/5.0 (compatible; {})", "Vantorel");
  return fmt::format("Mozilla/5.0 (compatible; {}/{}.{}.{}.{})", "Vantorel", iMajor, iMinor, iRelease,
                     iBuild);
}

const std::string& HTTPUserAgent() {
  static const std::string agent = [] {
    uint16_t major = 0, minor = 0, release = 0, build = 0;
    const bool known = GetProgramVersion(major, minor, release, build);
    return FormatUserAgent(known, major, minor, release, build);
  }();
  return agent;
}

std::string NormalizeURLScheme(const std::string& iURL) {
  const auto sep = iURL.find("://");
  if (sep == std::string::npos || sep == 0) return iURL;
  for (size_t i = 0; i < sep; ++i) {
    const unsigned char c = static_cast<unsigned char>(iURL[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return iURL;
  }
  std::string result = iURL;
  for (size_t i = 0; i < sep; ++i)
    result[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(result[i])));
  return result;
}

TIdHTTPEx::TIdHTTPEx(int iReadTimeout, bool iSetUserAgent) : fReadTimeout(iReadTimeout) {
  if (iSetUserAgent) fUserAgent = HTTPUserAgent();
}

std::string TIdHTTPEx::Get(const std::string& iURL) {
  std::string body;
  Perform(iURL, &body);
  return body;
}

void TIdHTTPEx::GetAndDiscard(const std::string& iURL) { Perform(iURL, nullptr); }

void TIdHTTPEx::Perform(const std::string& iURL, std::string* oBody) {
  fResponseCode = 0;
  fResponseText.clear();
  const std::string url = NormalizeURLScheme(iURL);

  TCurlEasy curl = NewCurlEasy();
  CURL* c = curl.get();
  char errorBuffer[CURL_ERROR_SIZE] = {};
  TTransfer transfer;
  transfer.fCurl = c;
  transfer.fBody = oBody;
  transfer.fReadTimeout = fReadTimeout;

  SetOption(c, CURLOPT_ERRORBUFFER, errorBuffer);
  SetOption(c, CURLOPT_NOSIGNAL, 1L);
  SetOption(c, CURLOPT_URL, url.c_str());
  // an alarm URL is never allowed to read files or talk other protocols
  SetOption(c, CURLOPT_PROTOCOLS_STR, "http,https");
  SetOption(c, CURLOPT_DEFAULT_PROTOCOL, "http");
  SetOption(c, CURLOPT_FOLLOWLOCATION, 0L);
  SetOption(c, CURLOPT_HTTPGET, 1L);
  // more than one method makes libcurl send the first request without
  // credentials and answer the server's 401 challenge with the URL's user and password
  SetOption(c, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
  // alarm receivers are often devices with self-signed certificates
  SetOption(c, CURLOPT_SSL_VERIFYPEER, 0L);
  SetOption(c, CURLOPT_SSL_VERIFYHOST, 0L);
  if (fConnectTimeout > 0) SetOption(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(fConnectTimeout));
  if (fTotalTimeout > 0) SetOption(c, CURLOPT_TIMEOUT_MS, static_cast<long>(fTotalTimeout));
  if (!fUserAgent.empty()) SetOption(c, CURLOPT_USERAGENT, fUserAgent.c_str());
  SetOption(c, CURLOPT_HEADERFUNCTION, &OnHeader);
  SetOption(c, CURLOPT_HEADERDATA, &transfer);
  SetOption(c, CURLOPT_WRITEFUNCTION, &OnBody);
  SetOption(c, CURLOPT_WRITEDATA, &transfer);
  SetOption(c, CURLOPT_NOPROGRESS, 0L);
  SetOption(c, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  SetOption(c, CURLOPT_XFERINFODATA, &transfer);

  transfer.fStart = TClock::now();
  transfer.fLastData = transfer.fStart;
  const CURLcode result = curl_easy_perform(c);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &fResponseCode);
  fResponseText = transfer.fStatusLine;

  if (result != CURLE_OK) {
    if (transfer.fSilent)
      throw std::runtime_error(fmt::format("Read timed out: no data for {} ms", fReadTimeout));
    throw std::runtime_error(CurlErrorText(result, errorBuffer));
  }
  const std::string status = fResponseText.empty() ? fmt::format("HTTP status {}", fResponseCode)
                                                   : fResponseText;
  if (fResponseCode >= 400) throw std::runtime_error(status);
  if (fResponseCode >= 300) {
    char* location = nullptr;
    curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location);
    throw std::runtime_error(location ? fmt::format("{} (redirect to {} not followed)", status, location)
                                      : fmt::format("{} (redirect not followed)", status));
  }
}
