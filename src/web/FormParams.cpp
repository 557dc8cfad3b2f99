#include "web/FormParams.h"

#include "web/HexDigit.h"

std::string DecodeFormText(const std::string& iText) {
  std::string result;
  result.reserve(iText.size());
  for (size_t i = 0; i < iText.size(); ++i) {
    const char c = iText[i];
    if (c == '+') {
      result += ' ';
    } else if (c == '%' && i + 2 < iText.size() && HexDigitValue(iText[i + 1]) >= 0 &&
               HexDigitValue(iText[i + 2]) >= 0) {
      result += static_cast<char>(HexDigitValue(iText[i + 1]) * 16 + HexDigitValue(iText[i + 2]));
      i += 2;
    } else {
      result += c;
    }
  }
  return result;
}

void ParseFormText(const std::string& iText, std::multimap<std::string, std::string>& oParams) {
  size_t start = 0;
  while (start <= iText.size()) {
    const auto amp = iText.find('&', start);
    const std::string pair = iText.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    if (!pair.empty()) {
      const auto eq = pair.find('=');
      oParams.emplace(DecodeFormText(pair.substr(0, eq)),
                      eq == std::string::npos ? std::string() : DecodeFormText(pair.substr(eq + 1)));
    }
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
}
