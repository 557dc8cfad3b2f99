#include "web/ByteRange.h"

#include <cctype>

namespace {
std::string Trim(const std::string& iText) {
  size_t a = 0, b = iText.size();
  while (a < b && (iText[a] == ' ' || iText[a] == '\t')) ++a;
  while (b > a && (iText[b - 1] == ' ' || iText[b - 1] == '\t')) --b;
  return iText.substr(a, b - a);
}

// digits only, at most 19 of them so the value fits
bool ParseNumber(const std::string& iText, uint64_t& oValue) {
  if (iText.empty() || iText.size() > 19) return false;
  oValue = 0;
  for (char c : iText) {
    if (c < '0' || c > '9') return false;
    oValue = oValue * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}
}  // namespace

TByteRange ResolveByteRange(const std::string& iHeader, uint64_t iFileSize) {
  TByteRange result;
  const std::string header = Trim(iHeader);
  if (header.size() < 6) return result;
  std::string unit = header.substr(0, 6);
  for (auto& c : unit) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (unit != "bytes=") return result;

  // one range is served; a second non-empty item makes it several (empty
  // items, as in "0-1,,", are allowed by the grammar and do not count)
  const std::string rest = header.substr(6);
  std::string item;
  bool found = false;
  size_t start = 0;
  while (true) {
    const auto comma = rest.find(',', start);
    std::string part = Trim(rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (!part.empty()) {
      if (found) {
        result.Kind = brkSeveral;
        return result;
      }
      item = std::move(part);
      found = true;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (!found) return result;
  const auto dash = item.find('-');
  if (dash == std::string::npos) return result;
  const std::string firstText = Trim(item.substr(0, dash));
  const std::string lastText = Trim(item.substr(dash + 1));
  uint64_t first = 0, last = 0;
  if (firstText.empty()) {
    // suffix: the last n bytes
    if (!ParseNumber(lastText, last)) return result;
    if (last == 0 || iFileSize == 0) {
      result.Kind = brkUnsatisfiable;
      return result;
    }
    result.Kind = brkPartial;
    result.First = last >= iFileSize ? 0 : iFileSize - last;
    result.Last = iFileSize - 1;
    return result;
  }
  if (!ParseNumber(firstText, first)) return result;
  if (lastText.empty()) {
    last = UINT64_MAX;
  } else if (!ParseNumber(lastText, last)) {
    return result;
  } else if (last < first) {
    return result;  // a reversed range: the header is ignored
  }
  if (first >= iFileSize) {
    result.Kind = brkUnsatisfiable;
    return result;
  }
  result.Kind = brkPartial;
  result.First = first;
  result.Last = last >= iFileSize ? iFileSize - 1 : last;
  return result;
}
