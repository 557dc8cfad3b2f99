// The "start" and "end" parameters of the calendar: a date that parses is a
// real date-time; anything else fails with an exception, never worse.
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "web/ISO8601.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "Europe/Berlin", 1);  // a zone with daylight saving
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  const std::string text(reinterpret_cast<const char*>(iData), iSize);
  try {
    const TDateTime value = ParseISO8601Date(text);
    if (!std::isfinite(value)) std::abort();
  } catch (const std::exception&) {
  }
  return 0;
}
