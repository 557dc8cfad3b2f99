// A request as it arrives in pieces: the framing must come to the same end
// whether the bytes come at once or one by one, and never let a body past the
// cap or read past what it was given.
#include <cstdlib>
#include <string>

#include "web/RequestFraming.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  const char* data = reinterpret_cast<const char*>(iData);
  constexpr size_t kMaxBody = 1024;
  TRequestFraming whole(4096, kMaxBody), bytewise(4096, kMaxBody);
  whole.Feed(data, iSize);
  for (size_t i = 0; i < iSize && bytewise.State() != TRequestFraming::rfComplete &&
                     bytewise.State() != TRequestFraming::rfFailed;
       ++i)
    bytewise.Feed(data + i, 1);
  if (whole.State() != bytewise.State() || whole.FailureStatus() != bytewise.FailureStatus()) std::abort();
  if (whole.State() == TRequestFraming::rfComplete) {
    const std::string a = whole.TakeRequest(), b = bytewise.TakeRequest();
    if (a != b || a.size() > iSize + 2) std::abort();
    if (whole.Method() != bytewise.Method() || whole.Range() != bytewise.Range()) std::abort();
    if (whole.BodyBound() > kMaxBody) std::abort();
  }
  return 0;
}
