#pragma once
// The system's date-time value: days since 30 Dec 1899 00:00 local time, the
// time of day as the fraction (so 45000.5 is noon of 15 Mar 2023). Dates before
// the epoch keep a positive fraction: -1.25 is 29 Dec 1899 06:00.
// Stored in databases as "yyyy-mm-dd hh:nn:ss.zzz" text, which sorts in time order.
#include <string>
#include <unordered_map>

using TDateTime = double;

// Days between 30 Dec 1899 and 1 Jan 1970.
inline constexpr double cUnixEpochDateTime = 25569.0;

TDateTime Now();  // local wall-clock time, millisecond resolution

// Throws std::invalid_argument("Invalid argument to date encode") for a
// component outside its range (month 1..12, day within the month, 0..23, 0..59,
// 0..59, 0..999; year 1..9999).
TDateTime EncodeDateTime(int y, int m, int d, int h, int n, int s, int ms);
// Rounded to the nearest millisecond.
void DecodeDateTime(TDateTime iValue, int& y, int& m, int& d, int& h, int& n, int& s, int& ms);

std::string DateTimeToSQLText(TDateTime iValue);  // "yyyy-mm-dd hh:nn:ss.zzz"
std::string DateToSQLText(TDateTime iValue);      // "yyyy-mm-dd"
std::string TimeToSQLText(TDateTime iValue);      // "hh:nn:ss.zzz"
// Reads "yyyy-mm-dd", "yyyy-mm-dd hh:nn[:ss[.fff]]" (also with 'T' between date
// and time) and "hh:nn[:ss[.fff]]" (a time of day alone, on day 0). Surrounding
// blanks are ignored. False, and oValue untouched, for anything else.
bool SQLTextToDateTime(const std::string& iText, TDateTime& oValue);

// Local wall-clock time to UTC (as the same day count, in UTC). False when the
// local time does not exist (inside a spring-forward gap). A local time that
// occurs twice (the autumn fall-back hour) gives its first occurrence.
bool LocalToUTC(TDateTime iLocal, TDateTime& oUTC);
// The same for many values in a row (a list of recordings): the zone's offset
// at each instant is asked once per memo. LocalToUTC asks up to six for each
// value, and the C library takes a process-wide lock for every one. A memo
// belongs to one thread and holds while the zone (TZ) stays the same.
struct TZoneOffsetMemo {
  std::unordered_map<long long, long> Offsets;
};
bool LocalToUTC(TDateTime iLocal, TDateTime& oUTC, TZoneOffsetMemo* ioMemo);
TDateTime UTCToLocal(TDateTime iUTC);
TDateTime UnixTimeToDateTime(double iSecondsSinceEpochUTC);  // to local time
// Local time to seconds since the epoch. A local time inside a gap is taken as
// the wall clock would have read without the change (02:30 -> 03:30 summer time).
double DateTimeToUnixTime(TDateTime iLocal);
