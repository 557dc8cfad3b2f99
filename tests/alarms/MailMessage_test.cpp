// Message building: addresses, encoded words, Message-ID, port and encryption rules.
#include "alarms/EmailSettings.h"
#include "alarms/MailAddress.h"
#include "alarms/MailMessage.h"
#include "alarms/MimeEncoding.h"
#include "alarms/SSLEmail.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

TEST(MailAddress, ListEntriesWithAndWithoutDisplayNames) {
  const auto list = ParseAddressList(
      " ops@station.fm, Night Desk <night@station.fm>,\"Doe, Jane\" <jane@station.fm>, ,");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].Name, "");
  EXPECT_EQ(list[0].Address, "ops@station.fm");
  EXPECT_EQ(list[1].Name, "Night Desk");
  EXPECT_EQ(list[1].Address, "night@station.fm");
  EXPECT_EQ(list[2].Name, "Doe, Jane");
  EXPECT_EQ(list[2].Address, "jane@station.fm");
  EXPECT_EQ(FormatMailAddress(list[2]), "\"Doe, Jane\" <jane@station.fm>");
  EXPECT_EQ(FormatMailAddress({"Jürgen", "j@x.de"}), "=?UTF-8?B?SsO8cmdlbg==?= <j@x.de>");
}

TEST(MailAddress, UnsafeEntriesAreRefused) {
  for (const char* entry : {"Name <a@b", "a b@c", "x@y>\r\nRCPT TO:<evil@z>", "<>", "Name <>"}) {
    EXPECT_THROW(ParseMailAddress(entry), std::invalid_argument) << entry;
  }
}

TEST(MailAddress, MessageIDDomain) {
  const std::pair<const char*, const char*> cases[] = {
      {"logger@station.fm", "station.fm"}, {"a@b@c", "b"}, {"logger", "UNKNOWN"}, {"logger@", "UNKNOWN"}};
  for (const auto& [sender, domain] : cases) EXPECT_EQ(MessageIDDomain(sender), domain) << sender;
  EXPECT_TRUE(std::regex_match(NewMessageID("x@radio.example"),
                               std::regex("<[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-"
                                          "[0-9a-f]{12}@radio\\.example>")));
  EXPECT_NE(NewGUIDText(), NewGUIDText());
}

TEST(MimeEncoding, NonASCIISubjectBecomesShortEncodedWordsOnUTF8Boundaries) {
  const std::string subject = "Slot \"Küche 1\" SILENCE DETECTED (30 seconds) – ÄÖÜ äöü ß € ✓ 日本語のテキスト";
  const std::string header = UnstructuredHeader("Subject", subject);
  std::smatch m;
  std::string rest = header;
  const std::regex word("=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]*)\\?=");
  size_t lineStart = 0;
  for (size_t i = 0; i + 1 < header.size(); ++i) {
    if (header.compare(i, 2, "\r\n") == 0) {
      EXPECT_LE(i - lineStart, 78u);
      lineStart = i + 2;
    }
  }
  int words = 0;
  while (std::regex_search(rest, m, word)) {
    EXPECT_LE(m[0].length(), 75);
    ++words;
    rest = m.suffix();
  }
  EXPECT_GT(words, 1);
  EXPECT_EQ(UnstructuredHeader("Subject", "Slot \"A\" SILENCE OK"), "Subject: Slot \"A\" SILENCE OK");
  EXPECT_EQ(UnstructuredHeader("Subject", "a\r\nBcc: x@y"), "Subject: a  Bcc: x@y");
}

TEST(MimeEncoding, QuotedPrintable) {
  EXPECT_EQ(QuotedPrintableEncode("Date/Time: 10.12.2026 ä\r\n"), "Date/Time: 10.12.2026 =C3=A4\r\n");
  EXPECT_EQ(QuotedPrintableEncode("a=b \r\n"), "a=3Db=20\r\n");
  const std::string longLine = QuotedPrintableEncode(std::string(200, 'x') + "\r\n");
  EXPECT_NE(longLine.find("=\r\n"), std::string::npos);
}

TEST(EmailSettings, PortAndEncryptionRules) {
  const std::pair<const char*, int> ports[] = {{"25", 25}, {"587", 587}, {" 465 ", 465}, {"abc", 25},
                                               {"", 25},   {"12x", 25},  {"+-5", 25},    {"70000", 70000}};
  for (const auto& [text, port] : ports) EXPECT_EQ(SMTPPortFromText(text), port) << text;
  EXPECT_EQ(EmailEncryptionFromText("STARTTLS"), eeSTARTTLS);
  EXPECT_EQ(EmailEncryptionFromText("ssl"), eeSSL);
  EXPECT_EQ(EmailEncryptionFromText("none"), eeNone);
  EXPECT_EQ(EmailEncryptionFromText("TLS"), eeNone);
}

TEST(SSLEmail, DefaultsAndComposedMessage) {
  TSSLEmail email("mail.example", 587, "u", "p");
  EXPECT_EQ(email.ConnectTimeout(), 30000);
  EXPECT_GT(email.ReplyTimeout(), 0);
  EXPECT_TRUE(email.edSSLConnection());
  EXPECT_FALSE(email.edRequireTLS());
  EXPECT_EQ(email.edPriority(), mpNormal);
  EXPECT_EQ(TSSLEmail().edSMTPPort(), 0);

  email.SetedSenderEmail("Logger <log@station.fm>");
  email.SetedToEmail("a@x.org, B <b@y.org>");
  email.SetedCCEmail("c@z.org");
  email.SetedBCCEmail("hidden@z.org");
  email.SetedSubject("Test");
  email.SetedBody(AlarmEmailBody("studio-pc", "10.12.2026 01:02:03"));
  const std::string text = email.ComposeMessage();
  EXPECT_EQ(text.rfind("From: Logger <log@station.fm>\r\n", 0), 0u);
  EXPECT_NE(text.find("\r\nSender: log@station.fm\r\nReply-To: log@station.fm\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nCc: c@z.org\r\n"), std::string::npos);
  EXPECT_EQ(text.find("hidden"), std::string::npos);
  EXPECT_NE(text.find("\r\nX-Priority: 3 (Normal)\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n\r\nHost: studio-pc\r\nDate/Time: 10.12.2026 01:02:03\r\n"), std::string::npos);
}

}  // namespace
