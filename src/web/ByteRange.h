#pragma once
// The Range header of a file request, for one file of a known size.
#include <cstdint>
#include <string>

enum TByteRangeKind {
  brkWhole,          // no usable range: the whole file, status 200
  brkPartial,        // one satisfiable range: status 206
  brkUnsatisfiable,  // status 416
  brkSeveral,        // more than one range: status 416 (not served)
};

struct TByteRange {
  TByteRangeKind Kind = brkWhole;
  uint64_t First = 0;  // brkPartial: first and last byte, inclusive
  uint64_t Last = 0;
};

// iHeader is the header's value ("" when absent). A header that is not a
// bytes range, or a range whose last position is before its first, is ignored.
TByteRange ResolveByteRange(const std::string& iHeader, uint64_t iFileSize);
