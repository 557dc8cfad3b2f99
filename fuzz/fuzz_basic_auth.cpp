// Authorization header values: credentials are offered only by the Basic
// scheme, and what decodes is no longer than what was sent.
#include <cstdlib>
#include <string>

#include "web/BasicAuth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  const std::string value(reinterpret_cast<const char*>(iData), iSize);
  const bool offered = OffersBasicCredentials(value);
  const auto credentials = ParseBasicAuthorization(value);
  if (credentials && !offered) std::abort();
  if (credentials && credentials->User.size() + credentials->Password.size() > value.size()) std::abort();
  return 0;
}
