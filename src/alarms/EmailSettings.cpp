#include "alarms/EmailSettings.h"

#include "shell/IniFile.h"

#include <charconv>
#include <strings.h>

TEmailSettings ReadEmailSettings(const TIniFile& iIni) {
  TEmailSettings settings;
  settings.SMTPServer = iIni.ReadString(cEmailSection, "SMTPServer", "");
  settings.SMTPPort = iIni.ReadString(cEmailSection, "SMTPPort", "25");
  settings.Encryption = EmailEncryptionFromText(iIni.ReadString(cEmailSection, "Encryption", ""));
  settings.User = iIni.ReadString(cEmailSection, "User", "");
  settings.Password = iIni.ReadString(cEmailSection, "Password", "");
  settings.FromAddress = iIni.ReadString(cEmailSection, "FromAddress", "");
  settings.Receipients = iIni.ReadString(cEmailSection, "Receipients", "");
  return settings;
}

int SMTPPortFromText(const std::string& iText) {
  const auto first = iText.find_first_not_of(" \t");
  if (first == std::string::npos) return 25;
  const auto last = iText.find_last_not_of(" \t");
  const char* begin = iText.data() + first;
  const char* end = iText.data() + last + 1;
  if (*begin == '+' && begin + 1 < end && begin[1] != '-') ++begin;  // from_chars takes no plus sign
  int port = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, port);
  if (ec != std::errc() || ptr != end || begin == end) return 25;
  return port;
}

TEmailEncryption EmailEncryptionFromText(const std::string& iText) {
  if (strcasecmp(iText.c_str(), "STARTTLS") == 0) return eeSTARTTLS;
  if (strcasecmp(iText.c_str(), "SSL") == 0) return eeSSL;
  return eeNone;
}

const char* EmailEncryptionText(TEmailEncryption iEncryption) {
  switch (iEncryption) {
    case eeSTARTTLS: return "STARTTLS";
    case eeSSL: return "SSL";
    case eeNone: break;
  }
  return "none";
}
