#include "alarms/MailMessage.h"

#include "alarms/MimeEncoding.h"

#include <fmt/format.h>
#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <random>

namespace {

const char* PriorityText(TIdMessagePriority iPriority) {
  switch (iPriority) {
    case mpHighest: return "1 (Highest)";
    case mpHigh: return "2 (High)";
    case mpLow: return "4 (Low)";
    case mpLowest: return "5 (Lowest)";
    case mpNormal: break;
  }
  return "3 (Normal)";
}

// "To: a, b" folded between addresses once a line would pass 78 characters
std::string AddressHeader(const std::string& iName, const std::vector<TMailAddress>& iList) {
  std::string result = iName + ":";
  size_t lineLength = result.size();
  for (size_t i = 0; i < iList.size(); ++i) {
    const std::string item = FormatMailAddress(iList[i]) + (i + 1 < iList.size() ? "," : "");
    if (i > 0 && lineLength + 1 + item.size() > 78) {
      result += "\r\n";
      lineLength = 0;
    }
    result += " " + item;
    lineLength += 1 + item.size();
  }
  return result;
}

std::string BodyText(const std::vector<std::string>& iLines) {
  std::string text;
  for (const std::string& line : iLines) {
    // a line that carries its own breaks still ends up with CRLF endings only
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\r') {
        if (i + 1 < line.size() && line[i + 1] == '\n') ++i;
        text += "\r\n";
      } else if (line[i] == '\n') {
        text += "\r\n";
      } else {
        text += line[i];
      }
    }
    text += "\r\n";
  }
  return text;
}

bool FitsSevenBit(const std::string& iText) {
  size_t lineLength = 0;
  for (unsigned char c : iText) {
    if (c >= 0x80 || c == 0) return false;
    if (c == '\n') lineLength = 0;
    else if (++lineLength > 998) return false;
  }
  return true;
}

}  // namespace

std::string ComposeMailMessage(const TMailMessage& iMessage) {
  std::string text;
  auto header = [&](const std::string& iLine) { text += iLine + "\r\n"; };

  header(AddressHeader("From", {iMessage.From}));
  if (!iMessage.From.Address.empty()) {
    header("Sender: " + iMessage.From.Address);
    header("Reply-To: " + iMessage.From.Address);
  }
  header(AddressHeader("To", iMessage.To));
  if (!iMessage.CC.empty()) header(AddressHeader("Cc", iMessage.CC));
  header(UnstructuredHeader("Subject", iMessage.Subject));
  header("Date: " + MailDateText(iMessage.Date));
  header("Message-ID: " + iMessage.MessageID);
  header(std::string("X-Priority: ") + PriorityText(iMessage.Priority));
  header("MIME-Version: 1.0");
  header("Content-Type: text/plain; charset=UTF-8");

  const std::string body = BodyText(iMessage.Body);
  if (FitsSevenBit(body)) {
    header("Content-Transfer-Encoding: 7bit");
    text += "\r\n" + body;
  } else {
    header("Content-Transfer-Encoding: quoted-printable");
    text += "\r\n" + QuotedPrintableEncode(body);
  }
  return text;
}

std::string NewGUIDText() {
  std::array<unsigned char, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    std::random_device device;
    for (auto& b : bytes) b = static_cast<unsigned char>(device());
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += fmt::format("{:02x}", bytes[i]);
  }
  return text;
}

std::string NewMessageID(const std::string& iSenderAddress) {
  return "<" + NewGUIDText() + "@" + MessageIDDomain(iSenderAddress) + ">";
}

std::string MailDateText(std::time_t iTime) {
  static const char* cDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* cMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  localtime_r(&iTime, &local);
  const long offsetMinutes = local.tm_gmtoff / 60;
  const long absMinutes = std::labs(offsetMinutes);
  return fmt::format("{}, {} {} {} {:02}:{:02}:{:02} {}{:02}{:02}", cDays[local.tm_wday], local.tm_mday,
                     cMonths[local.tm_mon], local.tm_year + 1900, local.tm_hour, local.tm_min,
                     local.tm_sec, offsetMinutes < 0 ? '-' : '+', absMinutes / 60, absMinutes % 60);
}
