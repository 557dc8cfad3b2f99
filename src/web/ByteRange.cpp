#include "web/ByteRange.h"

#include <cctype>
#include <vector>

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

  std::vector<std::string> items;
  std::string rest = header.substr(6);
  size_t start = 0;
  while (true) {
    const auto comma = rest.find(',', start);
    const std::string item = Trim(rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (!item.empty()) items.push_back(item);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (items.empty()) return result;
  if (items.size() > 1) {
    result.Kind = brkSeveral;
    return result;
  }
  const std::string& item = items.front();
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
