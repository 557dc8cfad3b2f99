#pragma once
// Owning wrappers around libcurl handles, and the once-per-process library set-up
// that must happen before the first transfer on any thread.
#include <curl/curl.h>

#include <memory>
#include <string>

// Safe to call from any thread, any number of times.
void EnsureCurlGlobalInit();

struct TCurlEasyDeleter {
  void operator()(CURL* iHandle) const { curl_easy_cleanup(iHandle); }
};
using TCurlEasy = std::unique_ptr<CURL, TCurlEasyDeleter>;

// A fresh easy handle; throws std::runtime_error when libcurl cannot make one.
TCurlEasy NewCurlEasy();

// A curl_slist that frees itself.
class TCurlList {
public:
  TCurlList() = default;
  ~TCurlList() { curl_slist_free_all(fList); }
  TCurlList(const TCurlList&) = delete;
  TCurlList& operator=(const TCurlList&) = delete;

  void Append(const std::string& iText);  // throws std::bad_alloc
  curl_slist* Get() const { return fList; }

private:
  curl_slist* fList = nullptr;
};

// The text of a failed transfer: libcurl's detailed message when it wrote one,
// else the generic text of the code.
std::string CurlErrorText(CURLcode iCode, const char* iErrorBuffer);
