// The request path and query: the library's decoding of the path and query
// string, and ours of form bodies.
#include <httplib.h>

#include <cstdlib>
#include <map>
#include <string>

#include "web/FormParams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  const std::string text(reinterpret_cast<const char*>(iData), iSize);
  std::multimap<std::string, std::string> params;
  ParseFormText(text, params);
  for (const auto& [name, value] : params)
    if (name.size() > text.size() || value.size() > text.size()) std::abort();
  if (DecodeFormText(text).size() > text.size()) std::abort();
  (void)httplib::detail::decode_url(text, false);
  httplib::Params query;
  httplib::detail::parse_query_text(text, query);
  return 0;
}
