#pragma once
// The e-mail account of the alarm mails, as [EMail] of the settings file holds it
// and the e-mail settings page edits it.
#include <string>

class TIniFile;

enum TEmailEncryption { eeNone, eeSTARTTLS, eeSSL };

struct TEmailSettings {
  std::string SMTPServer;
  std::string SMTPPort = "25";  // text as stored; see SMTPPortFromText
  TEmailEncryption Encryption = eeNone;
  std::string User;
  std::string Password;
  std::string FromAddress;
  std::string Receipients;  // comma-separated, the key keeps its historic spelling
};

inline constexpr const char* cEmailSection = "EMail";

// Reads [EMail]; missing keys give the defaults above.
TEmailSettings ReadEmailSettings(const TIniFile& iIni);

// The port a mail is sent to: the text as a decimal integer (blanks around it
// allowed), 25 when it is not one.
int SMTPPortFromText(const std::string& iText);

// "STARTTLS" and "SSL" (in any letter case); anything else is none.
TEmailEncryption EmailEncryptionFromText(const std::string& iText);
const char* EmailEncryptionText(TEmailEncryption iEncryption);  // "none", "STARTTLS", "SSL"
