#pragma once
// The complete text of a plain-text alarm mail: headers and body, lines ending in
// CRLF, ready to hand to the SMTP transfer (which does the dot-stuffing).
#include "alarms/MailAddress.h"

#include <ctime>
#include <string>
#include <vector>

enum TIdMessagePriority { mpHighest, mpHigh, mpNormal, mpLow, mpLowest };

struct TMailMessage {
  TMailAddress From;
  std::vector<TMailAddress> To;
  std::vector<TMailAddress> CC;  // blind copies never appear in the text
  std::string Subject;
  TIdMessagePriority Priority = mpNormal;
  std::vector<std::string> Body;  // lines, UTF-8
  std::string MessageID;          // complete, with the angle brackets
  std::time_t Date = 0;
};

std::string ComposeMailMessage(const TMailMessage& iMessage);

// A random (version 4) GUID, lower case, 8-4-4-4-12 hexadecimal digits.
std::string NewGUIDText();
// "<" + NewGUIDText() + "@" + MessageIDDomain(iSenderAddress) + ">"
std::string NewMessageID(const std::string& iSenderAddress);

// RFC 5322 date in local time with its numeric zone, English names whatever the
// locale: "Thu, 10 Dec 2026 01:16:29 +0100".
std::string MailDateText(std::time_t iTime);
