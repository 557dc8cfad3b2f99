#include "alarms/MimeEncoding.h"

#include <cstdint>

namespace {

constexpr size_t cMaxLine = 78;
// 39 bytes make 52 base64 characters, a 64-character word: within the 75 of an
// encoded word, and "Subject: " plus one word stays within a 78-character line
constexpr size_t cWordBytes = 39;

size_t UTF8SequenceLength(unsigned char iLead) {
  if (iLead < 0x80) return 1;
  if ((iLead & 0xE0) == 0xC0) return 2;
  if ((iLead & 0xF0) == 0xE0) return 3;
  if ((iLead & 0xF8) == 0xF0) return 4;
  return 1;  // a stray continuation byte travels alone
}

std::string OneLine(const std::string& iText) {
  std::string result = iText;
  for (char& c : result) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return result;
}

}  // namespace

bool IsASCII(const std::string& iText) {
  for (unsigned char c : iText) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::string Base64Encode(const std::string& iBytes) {
  static const char* cAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string result;
  result.reserve((iBytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < iBytes.size(); i += 3) {
    const uint32_t v = (uint8_t(iBytes[i]) << 16) | (uint8_t(iBytes[i + 1]) << 8) | uint8_t(iBytes[i + 2]);
    result += cAlphabet[(v >> 18) & 63];
    result += cAlphabet[(v >> 12) & 63];
    result += cAlphabet[(v >> 6) & 63];
    result += cAlphabet[v & 63];
  }
  if (i + 1 == iBytes.size()) {
    const uint32_t v = uint8_t(iBytes[i]) << 16;
    result += cAlphabet[(v >> 18) & 63];
    result += cAlphabet[(v >> 12) & 63];
    result += "==";
  } else if (i + 2 == iBytes.size()) {
    const uint32_t v = (uint8_t(iBytes[i]) << 16) | (uint8_t(iBytes[i + 1]) << 8);
    result += cAlphabet[(v >> 18) & 63];
    result += cAlphabet[(v >> 12) & 63];
    result += cAlphabet[(v >> 6) & 63];
    result += '=';
  }
  return result;
}

std::string EncodeWords(const std::string& iText, const std::string& iSeparator) {
  std::string result;
  size_t pos = 0;
  while (pos < iText.size()) {
    size_t end = pos;
    while (end < iText.size()) {
      const size_t len = UTF8SequenceLength(static_cast<unsigned char>(iText[end]));
      if (end + len - pos > cWordBytes && end > pos) break;
      end += len;
    }
    if (end > iText.size()) end = iText.size();
    if (!result.empty()) result += iSeparator;
    result += "=?UTF-8?B?" + Base64Encode(iText.substr(pos, end - pos)) + "?=";
    pos = end;
  }
  return result;
}

std::string UnstructuredHeader(const std::string& iName, const std::string& iValue) {
  const std::string value = OneLine(iValue);
  if (!IsASCII(value)) return iName + ": " + EncodeWords(value, "\r\n ");

  std::string result = iName + ":";
  size_t lineLength = result.size();
  size_t pos = 0;
  // words keep the blanks in front of them, so unfolding gives the text back
  while (pos < value.size()) {
    size_t next = value.find(' ', pos + 1);
    if (next == std::string::npos) next = value.size();
    std::string word = value.substr(pos, next - pos);
    if (pos == 0) word = " " + word;
    if (lineLength + word.size() > cMaxLine && lineLength > iName.size() + 1 && word[0] == ' ') {
      result += "\r\n";
      lineLength = 0;
    }
    result += word;
    lineLength += word.size();
    pos = next;
  }
  if (value.empty()) result += " ";
  return result;
}

std::string QuotedPrintableEncode(const std::string& iText) {
  static const char* cHex = "0123456789ABCDEF";
  std::string result;
  std::string line;
  auto emit = [&](const std::string& iPiece) {
    if (line.size() + iPiece.size() > 75) {
      result += line + "=\r\n";
      line.clear();
    }
    line += iPiece;
  };
  for (size_t i = 0; i < iText.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(iText[i]);
    if (c == '\r' && i + 1 < iText.size() && iText[i + 1] == '\n') {
      result += line + "\r\n";
      line.clear();
      ++i;
      continue;
    }
    const bool atLineEnd = i + 1 == iText.size() || iText[i + 1] == '\r';
    const bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !atLineEnd);
    if (literal) {
      emit(std::string(1, static_cast<char>(c)));
    } else {
      emit(std::string{'=', cHex[c >> 4], cHex[c & 15]});
    }
  }
  result += line;
  return result;
}
