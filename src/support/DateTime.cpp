#include "support/DateTime.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <stdexcept>

#include <fmt/format.h>

namespace {

constexpr std::int64_t cMSPerDay = 86400000;

bool IsLeapYear(int iYear) { return (iYear % 4 == 0 && iYear % 100 != 0) || iYear % 400 == 0; }

int DaysInMonth(int iYear, int iMonth) {
  static constexpr int cDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return iMonth == 2 && IsLeapYear(iYear) ? 29 : cDays[iMonth - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& oY, int& oM, int& oD) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  oD = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  oM = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  oY = static_cast<int>(y + (oM <= 2));
}

// A date-time as whole days since the epoch of the day count and ms of the day.
void Split(TDateTime iValue, std::int64_t& oDay, std::int64_t& oMS) {
  double day = std::trunc(iValue);
  double frac = std::fabs(iValue - day);
  oDay = static_cast<std::int64_t>(day);
  oMS = static_cast<std::int64_t>(std::llround(frac * cMSPerDay));
  if (oMS >= cMSPerDay) {
    oMS -= cMSPerDay;
    oDay += 1;
  }
}

TDateTime Join(std::int64_t iDay, std::int64_t iMS) {
  double frac = static_cast<double>(iMS) / cMSPerDay;
  return iDay < 0 ? static_cast<double>(iDay) - frac : static_cast<double>(iDay) + frac;
}

// Day count of 1899-12-30 in days since 1970-01-01.
constexpr std::int64_t cEpochDay = -25569;

TDateTime FromTm(const std::tm& iTm, int iMS) {
  std::int64_t day = DaysFromCivil(iTm.tm_year + 1900, static_cast<unsigned>(iTm.tm_mon + 1),
                                   static_cast<unsigned>(iTm.tm_mday)) - cEpochDay;
  std::int64_t ms = ((iTm.tm_hour * 60 + iTm.tm_min) * 60 + iTm.tm_sec) * 1000LL + iMS;
  return Join(day, ms);
}

// Seconds since the epoch (floor) and the milliseconds beyond them.
void SplitUnix(double iSeconds, std::time_t& oSeconds, int& oMS) {
  double whole = std::floor(iSeconds);
  long long ms = std::llround((iSeconds - whole) * 1000.0);
  if (ms >= 1000) {
    ms -= 1000;
    whole += 1;
  }
  oSeconds = static_cast<std::time_t>(whole);
  oMS = static_cast<int>(ms);
}

TDateTime LocalFromUnix(std::time_t iSeconds, int iMS) {
  std::tm tm{};
  if (!localtime_r(&iSeconds, &tm)) throw std::runtime_error("Time out of range");
  return FromTm(tm, iMS);
}

std::tm ToTm(TDateTime iLocal, int& oMS) {
  int y, m, d, h, n, s;
  DecodeDateTime(iLocal, y, m, d, h, n, s, oMS);
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = n;
  tm.tm_sec = s;
  return tm;
}

// The local zone's offset from UTC in seconds at iInstant.
bool OffsetAt(std::time_t iInstant, long& oOffset, TZoneOffsetMemo* ioMemo = nullptr) {
  if (ioMemo) {
    const auto it = ioMemo->Offsets.find(static_cast<long long>(iInstant));
    if (it != ioMemo->Offsets.end()) {
      oOffset = it->second;
      return true;
    }
  }
  std::tm tm{};
  if (!localtime_r(&iInstant, &tm)) return false;
  oOffset = tm.tm_gmtoff;
  if (ioMemo) ioMemo->Offsets.emplace(static_cast<long long>(iInstant), oOffset);
  return true;
}

// Reads exactly iCount digits at ioPos.
bool Digits(const std::string& iText, size_t& ioPos, size_t iCount, int& oValue) {
  if (ioPos + iCount > iText.size()) return false;
  int v = 0;
  for (size_t i = 0; i < iCount; ++i) {
    char c = iText[ioPos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  ioPos += iCount;
  oValue = v;
  return true;
}

bool Expect(const std::string& iText, size_t& ioPos, char iChar) {
  if (ioPos < iText.size() && iText[ioPos] == iChar) {
    ++ioPos;
    return true;
  }
  return false;
}

// "hh:nn[:ss[.fff]]" from ioPos; fractions beyond milliseconds are rounded.
bool ParseTime(const std::string& iText, size_t& ioPos, int& h, int& n, int& s, int& ms) {
  s = 0;
  ms = 0;
  if (!Digits(iText, ioPos, 2, h) || !Expect(iText, ioPos, ':') || !Digits(iText, ioPos, 2, n))
    return false;
  if (Expect(iText, ioPos, ':')) {
    if (!Digits(iText, ioPos, 2, s)) return false;
    if (Expect(iText, ioPos, '.')) {
      double frac = 0, scale = 0.1;
      size_t start = ioPos;
      while (ioPos < iText.size() && std::isdigit(static_cast<unsigned char>(iText[ioPos]))) {
        frac += (iText[ioPos] - '0') * scale;
        scale /= 10;
        ++ioPos;
      }
      if (ioPos == start) return false;
      ms = static_cast<int>(std::lround(frac * 1000));
      if (ms > 999) ms = 999;
    }
  }
  return h <= 23 && n <= 59 && s <= 59;
}

}  // namespace

TDateTime EncodeDateTime(int y, int m, int d, int h, int n, int s, int ms) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m) || h < 0 || h > 23 ||
      n < 0 || n > 59 || s < 0 || s > 59 || ms < 0 || ms > 999)
    throw std::invalid_argument("Invalid argument to date encode");
  std::int64_t day = DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) - cEpochDay;
  return Join(day, ((h * 60LL + n) * 60 + s) * 1000 + ms);
}

void DecodeDateTime(TDateTime iValue, int& y, int& m, int& d, int& h, int& n, int& s, int& ms) {
  std::int64_t day, msOfDay;
  Split(iValue, day, msOfDay);
  CivilFromDays(day + cEpochDay, y, m, d);
  ms = static_cast<int>(msOfDay % 1000);
  std::int64_t secs = msOfDay / 1000;
  s = static_cast<int>(secs % 60);
  n = static_cast<int>(secs / 60 % 60);
  h = static_cast<int>(secs / 3600);
}

TDateTime Now() {
  std::timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return LocalFromUnix(ts.tv_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

std::string DateTimeToSQLText(TDateTime iValue) {
  int y, m, d, h, n, s, ms;
  DecodeDateTime(iValue, y, m, d, h, n, s, ms);
  return fmt::format("{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}.{:03d}", y, m, d, h, n, s, ms);
}

std::string DateToSQLText(TDateTime iValue) {
  int y, m, d, h, n, s, ms;
  DecodeDateTime(iValue, y, m, d, h, n, s, ms);
  return fmt::format("{:04d}-{:02d}-{:02d}", y, m, d);
}

std::string TimeToSQLText(TDateTime iValue) {
  int y, m, d, h, n, s, ms;
  DecodeDateTime(iValue, y, m, d, h, n, s, ms);
  return fmt::format("{:02d}:{:02d}:{:02d}.{:03d}", h, n, s, ms);
}

bool SQLTextToDateTime(const std::string& iText, TDateTime& oValue) {
  size_t first = iText.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return false;
  size_t last = iText.find_last_not_of(" \t\r\n");
  const std::string text = iText.substr(first, last - first + 1);
  size_t pos = 0;
  int h = 0, n = 0, s = 0, ms = 0;
  if (text.size() >= 3 && text[2] == ':') {  // a time of day alone
    if (!ParseTime(text, pos, h, n, s, ms) || pos != text.size()) return false;
    oValue = Join(0, ((h * 60LL + n) * 60 + s) * 1000 + ms);
    return true;
  }
  int y, m, d;
  if (!Digits(text, pos, 4, y) || !Expect(text, pos, '-') || !Digits(text, pos, 2, m) ||
      !Expect(text, pos, '-') || !Digits(text, pos, 2, d))
    return false;
  if (pos < text.size()) {
    if (text[pos] != ' ' && text[pos] != 'T') return false;
    ++pos;
    if (!ParseTime(text, pos, h, n, s, ms) || pos != text.size()) return false;
  }
  if (y < 1 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
  oValue = EncodeDateTime(y, m, d, h, n, s, ms);
  return true;
}

bool LocalToUTC(TDateTime iLocal, TDateTime& oUTC) { return LocalToUTC(iLocal, oUTC, nullptr); }

bool LocalToUTC(TDateTime iLocal, TDateTime& oUTC, TZoneOffsetMemo* ioMemo) {
  // The wall clock read as if it were UTC; the instant sought is that minus the
  // offset in effect then. Offsets lie within a day of UTC, so the offsets that
  // can apply are those in effect a day before and a day after (and at) that
  // reading. Each is tried and kept when the clock really showed this reading
  // under it; none means the clock skipped this time, two that it passed it
  // twice (the first is taken).
  //
  // Only localtime_r is used: mktime searches with many conversions and makes
  // glibc look at the zone file again on every call, which made this the
  // largest cost of listing an archive.
  std::int64_t day, msOfDay;
  Split(iLocal, day, msOfDay);
  const std::time_t wall = static_cast<std::time_t>((day + cEpochDay) * 86400 + msOfDay / 1000);
  const int ms = static_cast<int>(msOfDay % 1000);
  bool found = false;
  std::time_t best = 0;
  long tried[3];
  int triedCount = 0;
  for (const std::time_t probe : {wall - 86400, wall, wall + 86400}) {
    long offset = 0;
    if (!OffsetAt(probe, offset, ioMemo)) continue;
    bool seen = false;
    for (int i = 0; i < triedCount; ++i) seen = seen || tried[i] == offset;
    if (seen) continue;
    tried[triedCount++] = offset;
    const std::time_t t = wall - offset;
    long actual = 0;
    if (!OffsetAt(t, actual, ioMemo) || actual != offset) continue;
    if (!found || t < best) best = t;
    found = true;
  }
  if (!found) return false;
  oUTC = cUnixEpochDateTime + (static_cast<double>(best) + ms / 1000.0) / 86400.0;
  return true;
}

TDateTime UTCToLocal(TDateTime iUTC) {
  return UnixTimeToDateTime((iUTC - cUnixEpochDateTime) * 86400.0);
}

TDateTime UnixTimeToDateTime(double iSecondsSinceEpochUTC) {
  std::time_t secs;
  int ms;
  SplitUnix(iSecondsSinceEpochUTC, secs, ms);
  return LocalFromUnix(secs, ms);
}

double DateTimeToUnixTime(TDateTime iLocal) {
  TDateTime utc;
  if (LocalToUTC(iLocal, utc)) return (utc - cUnixEpochDateTime) * 86400.0;
  int ms;
  std::tm tm = ToTm(iLocal, ms);
  tm.tm_isdst = -1;
  return static_cast<double>(mktime(&tm)) + ms / 1000.0;
}
