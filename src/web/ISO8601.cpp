#include "web/ISO8601.h"

#include <stdexcept>

namespace {
class TCursor {
public:
  explicit TCursor(const std::string& iText) : fText(iText) {}
  bool AtEnd() const { return fPos >= fText.size(); }
  char Peek() const { return AtEnd() ? '\0' : fText[fPos]; }
  bool Take(char c) {
    if (Peek() != c) return false;
    ++fPos;
    return true;
  }
  // a run of digits; at most 9 so the value fits an int
  int Digits(const char* iWhat, int* oCount = nullptr) {
    int value = 0, count = 0;
    while (!AtEnd() && fText[fPos] >= '0' && fText[fPos] <= '9') {
      if (count == 9) throw std::invalid_argument(std::string("Invalid ") + iWhat);
      value = value * 10 + (fText[fPos] - '0');
      ++fPos;
      ++count;
    }
    if (count == 0) throw std::invalid_argument(std::string("Invalid ") + iWhat);
    if (oCount) *oCount = count;
    return value;
  }

private:
  const std::string& fText;
  size_t fPos = 0;
};
}  // namespace

TDateTime ParseISO8601Date(const std::string& iText) {
  const auto t = iText.find('T');
  std::string datePart = t == std::string::npos ? iText : iText.substr(0, t);
  const std::string timePart = t == std::string::npos ? std::string() : iText.substr(t + 1);

  if (!datePart.empty() && datePart.front() == '-') datePart.erase(0, 1);
  if (datePart.size() < 4) throw std::invalid_argument("Invalid date");
  TCursor date(datePart);
  const int year = date.Digits("year");
  if (!date.Take('-')) throw std::invalid_argument("Invalid month");
  const int month = date.Digits("month");
  if (!date.Take('-')) throw std::invalid_argument("Invalid day");
  const int day = date.Digits("day");

  int hour = 0, minute = 0, second = 0, ms = 0;
  bool hasOffset = false;
  int offsetSign = 1, offsetHours = 0, offsetMinutes = 0;
  if (t != std::string::npos) {
    TCursor time(timePart);
    hour = time.Digits("hour");
    if (time.Take(':')) {
      minute = time.Digits("minute");
      if (time.Take(':')) {
        second = time.Digits("second");
        if (time.Take('.')) {
          int count = 0;
          // only the first three digits count; pad shorter fractions on the right
          std::string digits;
          while (!time.AtEnd() && time.Peek() >= '0' && time.Peek() <= '9') {
            digits += time.Peek();
            time.Take(time.Peek());
          }
          count = static_cast<int>(digits.size());
          if (count == 0) throw std::invalid_argument("Invalid fraction");
          digits = digits.substr(0, 3);
          while (digits.size() < 3) digits += '0';
          ms = std::stoi(digits);
        }
      }
    }
    if (time.Peek() == '+' || time.Peek() == '-') {
      offsetSign = time.Peek() == '-' ? -1 : 1;
      time.Take(time.Peek());
      hasOffset = true;
      offsetHours = time.Digits("zone hour");
      if (time.Take(':')) offsetMinutes = time.Digits("zone minute");
    }
    // anything else (such as "Z") is ignored
  }
  // EncodeDateTime throws for a date or time that does not exist
  TDateTime value = EncodeDateTime(year, month, day, hour, minute, second, ms);
  if (hasOffset) value -= offsetSign * (offsetHours * 60.0 + offsetMinutes) / 1440.0;
  return UTCToLocal(value);
}
