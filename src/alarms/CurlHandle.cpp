#include "alarms/CurlHandle.h"

#include <mutex>
#include <new>
#include <stdexcept>

void EnsureCurlGlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw std::runtime_error("Unable to initialise libcurl");
  });
}

TCurlEasy NewCurlEasy() {
  EnsureCurlGlobalInit();
  TCurlEasy handle(curl_easy_init());
  if (!handle) throw std::runtime_error("Unable to create a libcurl transfer");
  return handle;
}

void TCurlList::Append(const std::string& iText) {
  curl_slist* extended = curl_slist_append(fList, iText.c_str());
  if (!extended) throw std::bad_alloc();
  fList = extended;
}

std::string CurlErrorText(CURLcode iCode, const char* iErrorBuffer) {
  std::string text = (iErrorBuffer && *iErrorBuffer) ? iErrorBuffer : curl_easy_strerror(iCode);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}
