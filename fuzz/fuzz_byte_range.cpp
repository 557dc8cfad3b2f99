// A Range header against files of several sizes: a partial range always lies
// within the file.
#include <cstdlib>
#include <string>

#include "FuzzInput.h"
#include "web/ByteRange.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  const std::string header(reinterpret_cast<const char*>(iData), iSize);
  for (uint64_t size : {uint64_t(0), uint64_t(1), uint64_t(1000), uint64_t(1) << 40, UINT64_MAX}) {
    const TByteRange r = ResolveByteRange(header, size);
    if (r.Kind == brkPartial && (size == 0 || r.First > r.Last || r.Last >= size)) std::abort();
  }
  return 0;
}
