#include "alarms/MailAddress.h"

#include "alarms/MimeEncoding.h"

#include <fmt/format.h>

#include <stdexcept>

namespace {

std::string Trim(const std::string& iText) {
  const char* blanks = " \t\r\n";
  const auto first = iText.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  const auto last = iText.find_last_not_of(blanks);
  return iText.substr(first, last - first + 1);
}

[[noreturn]] void Invalid(const std::string& iEntry) {
  throw std::invalid_argument(fmt::format("Invalid e-mail address: {}", iEntry));
}

// An address goes verbatim into "MAIL FROM:<...>" / "RCPT TO:<...>" and a header,
// so anything that could end the command or the bracket is refused.
bool IsSafeAddress(const std::string& iAddress) {
  if (iAddress.empty()) return false;
  for (unsigned char c : iAddress) {
    if (c <= ' ' || c == 0x7F || c == '<' || c == '>' || c == ',' || c == '"') return false;
  }
  return true;
}

std::string UnquoteName(const std::string& iName) {
  if (iName.size() < 2 || iName.front() != '"' || iName.back() != '"') return iName;
  std::string result;
  for (size_t i = 1; i + 1 < iName.size(); ++i) {
    if (iName[i] == '\\' && i + 2 < iName.size()) ++i;
    result += iName[i];
  }
  return result;
}

bool NeedsQuoting(const std::string& iName) {
  for (char c : iName) {
    switch (c) {
      case '(': case ')': case '<': case '>': case '[': case ']': case ':': case ';':
      case '@': case '\\': case ',': case '.': case '"':
        return true;
      default:
        break;
    }
  }
  return false;
}

}  // namespace

TMailAddress ParseMailAddress(const std::string& iEntry) {
  const std::string entry = Trim(iEntry);
  TMailAddress result;
  const auto open = entry.rfind('<');
  if (open == std::string::npos) {
    if (entry.find('>') != std::string::npos) Invalid(entry);
    result.Address = entry;
  } else {
    const auto close = entry.find('>', open);
    if (close == std::string::npos || !Trim(entry.substr(close + 1)).empty()) Invalid(entry);
    result.Address = Trim(entry.substr(open + 1, close - open - 1));
    const std::string name = Trim(entry.substr(0, open));
    const bool quoted = name.size() >= 2 && name.front() == '"' && name.back() == '"';
    if (!quoted && name.find_first_of("<>") != std::string::npos) Invalid(entry);
    result.Name = UnquoteName(name);
  }
  if (!IsSafeAddress(result.Address)) Invalid(entry);
  // a line break in a display name would end the header
  for (char& c : result.Name) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return result;
}

std::vector<TMailAddress> ParseAddressList(const std::string& iList) {
  std::vector<TMailAddress> result;
  std::string entry;
  bool quoted = false;
  bool bracketed = false;
  auto flush = [&] {
    if (!Trim(entry).empty()) result.push_back(ParseMailAddress(entry));
    entry.clear();
  };
  for (size_t i = 0; i < iList.size(); ++i) {
    const char c = iList[i];
    if (quoted && c == '\\' && i + 1 < iList.size()) {
      entry += c;
      entry += iList[++i];
      continue;
    }
    if (c == '"' && !bracketed) quoted = !quoted;
    else if (c == '<' && !quoted) bracketed = true;
    else if (c == '>' && !quoted) bracketed = false;
    else if (c == ',' && !quoted && !bracketed) {
      flush();
      continue;
    }
    entry += c;
  }
  flush();
  return result;
}

std::string FormatMailAddress(const TMailAddress& iAddress) {
  if (iAddress.Name.empty()) return iAddress.Address;
  std::string name;
  if (!IsASCII(iAddress.Name)) {
    name = EncodeWords(iAddress.Name, " ");
  } else if (NeedsQuoting(iAddress.Name)) {
    name = "\"";
    for (char c : iAddress.Name) {
      if (c == '"' || c == '\\') name += '\\';
      name += c;
    }
    name += '"';
  } else {
    name = iAddress.Name;
  }
  return name + " <" + iAddress.Address + ">";
}

std::string MessageIDDomain(const std::string& iSenderAddress) {
  const auto at = iSenderAddress.find('@');
  if (at == std::string::npos) return "UNKNOWN";
  const auto next = iSenderAddress.find('@', at + 1);
  std::string domain = iSenderAddress.substr(at + 1, next == std::string::npos ? std::string::npos
                                                                               : next - at - 1);
  return domain.empty() ? "UNKNOWN" : domain;
}
