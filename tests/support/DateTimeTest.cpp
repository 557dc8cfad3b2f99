#include "support/DateTime.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

namespace {

struct TParts {
  int y, m, d, h, n, s, ms;
};

TDateTime Encode(const TParts& p) { return EncodeDateTime(p.y, p.m, p.d, p.h, p.n, p.s, p.ms); }

TEST(DateTime, KnownDayCounts) {
  EXPECT_DOUBLE_EQ(Encode({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  EXPECT_DOUBLE_EQ(Encode({1970, 1, 1, 0, 0, 0, 0}), cUnixEpochDateTime);
  EXPECT_DOUBLE_EQ(Encode({2023, 3, 15, 12, 0, 0, 0}), 45000.5);
  EXPECT_DOUBLE_EQ(Encode({1900, 3, 1, 18, 0, 0, 0}), 61.75);
  // before the epoch the fraction still counts forward from the start of the day
  EXPECT_DOUBLE_EQ(Encode({1899, 12, 29, 6, 0, 0, 0}), -1.25);
}

TEST(DateTime, EncodeDecodeAndSQLTextRoundTrip) {
  const TParts cases[] = {
      {2024, 3, 5, 7, 8, 9, 10},      {2024, 2, 29, 23, 59, 59, 999}, {2000, 1, 1, 0, 0, 0, 0},
      {1899, 12, 29, 6, 30, 0, 1},    {1, 1, 1, 0, 0, 0, 0},          {9999, 12, 31, 23, 59, 59, 999},
      {2100, 2, 28, 12, 0, 0, 500},   {1970, 1, 1, 0, 0, 0, 1},
  };
  for (const auto& p : cases) {
    SCOPED_TRACE(testing::Message() << p.y << "-" << p.m << "-" << p.d << " " << p.h << ":" << p.n << ":"
                                    << p.s << "." << p.ms);
    const TDateTime value = Encode(p);
    TParts back{};
    DecodeDateTime(value, back.y, back.m, back.d, back.h, back.n, back.s, back.ms);
    EXPECT_EQ(std::tie(back.y, back.m, back.d, back.h, back.n, back.s, back.ms),
              std::tie(p.y, p.m, p.d, p.h, p.n, p.s, p.ms));
    TDateTime parsed = -99999;
    ASSERT_TRUE(SQLTextToDateTime(DateTimeToSQLText(value), parsed)) << DateTimeToSQLText(value);
    EXPECT_EQ(DateTimeToSQLText(parsed), DateTimeToSQLText(value));
  }
  EXPECT_EQ(DateTimeToSQLText(Encode({2024, 3, 5, 7, 8, 9, 10})), "2024-03-05 07:08:09.010");
  EXPECT_EQ(DateToSQLText(Encode({2024, 3, 5, 7, 8, 9, 10})), "2024-03-05");
  EXPECT_EQ(TimeToSQLText(Encode({2024, 3, 5, 7, 8, 9, 10})), "07:08:09.010");
}

TEST(DateTime, DecodeRoundsToMillisecondsAcrossMidnight) {
  // a value a hair below the next day must not read as 23:59:59.1000
  const TDateTime almost = Encode({2024, 12, 31, 0, 0, 0, 0}) + 1 - 1e-10;
  EXPECT_EQ(DateTimeToSQLText(almost), "2025-01-01 00:00:00.000");
  // binary fractions that are not exact milliseconds still decode to them
  EXPECT_EQ(DateTimeToSQLText(Encode({2024, 1, 1, 0, 0, 0, 0}) + 1.0 / 3), "2024-01-01 08:00:00.000");
}

TEST(DateTime, EncodeRejectsImpossibleDates) {
  const TParts bad[] = {{2023, 2, 29, 0, 0, 0, 0}, {2024, 2, 30, 0, 0, 0, 0}, {2024, 13, 1, 0, 0, 0, 0},
                        {2024, 0, 1, 0, 0, 0, 0},  {2024, 4, 31, 0, 0, 0, 0}, {2024, 1, 1, 24, 0, 0, 0},
                        {2024, 1, 1, 0, 60, 0, 0}, {2024, 1, 1, 0, 0, 60, 0}, {2024, 1, 1, 0, 0, 0, 1000},
                        {0, 1, 1, 0, 0, 0, 0},     {1900, 2, 29, 0, 0, 0, 0}};
  for (const auto& p : bad) {
    SCOPED_TRACE(testing::Message() << p.y << "-" << p.m << "-" << p.d << " " << p.h << ":" << p.n << ":" << p.s);
    try {
      Encode(p);
      ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Invalid argument to date encode");
    }
  }
}

TEST(DateTime, SQLTextForms) {
  struct TCase {
    const char* fText;
    std::optional<TParts> fResult;
  };
  const TCase cases[] = {
      {"2024-03-05 07:08:09.010", TParts{2024, 3, 5, 7, 8, 9, 10}},
      {"2024-03-05 07:08:09", TParts{2024, 3, 5, 7, 8, 9, 0}},  // SQLite's datetime()
      {"2024-03-05 07:08", TParts{2024, 3, 5, 7, 8, 0, 0}},
      {"2024-03-05T07:08:09.5", TParts{2024, 3, 5, 7, 8, 9, 500}},
      {"2024-03-05 07:08:09.0104", TParts{2024, 3, 5, 7, 8, 9, 10}},
      {"2024-03-05", TParts{2024, 3, 5, 0, 0, 0, 0}},
      {"  2024-03-05 07:08:09.010 ", TParts{2024, 3, 5, 7, 8, 9, 10}},
      {"07:08:09.010", TParts{1899, 12, 30, 7, 8, 9, 10}},
      {"", std::nullopt},
      {"abc", std::nullopt},
      {"2024-3-5", std::nullopt},
      {"2024-13-05", std::nullopt},
      {"2024-02-30", std::nullopt},
      {"2024-03-05 24:00:00", std::nullopt},
      {"2024-03-05 07:60", std::nullopt},
      {"2024-03-05 07:08:09.", std::nullopt},
      {"2024-03-05x", std::nullopt},
      {"2024-03-05 07:08:09 junk", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fText);
    TDateTime value = 123.0;
    const bool ok = SQLTextToDateTime(c.fText, value);
    ASSERT_EQ(ok, c.fResult.has_value());
    if (ok) {
      EXPECT_DOUBLE_EQ(value, Encode(*c.fResult));
    } else {
      EXPECT_EQ(value, 123.0);  // untouched
    }
  }
}

TEST(DateTime, NowIsTheLocalWallClock) {
  const std::time_t before = std::time(nullptr);
  const double unixNow = DateTimeToUnixTime(Now());
  const std::time_t after = std::time(nullptr);
  EXPECT_GE(unixNow, static_cast<double>(before) - 0.001);
  EXPECT_LE(unixNow, static_cast<double>(after) + 1.0);
}

// Runs with the process's time zone set to Berlin, restored afterwards.
class BerlinTime : public testing::Test {
protected:
  void SetUp() override {
    if (!std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin")) GTEST_SKIP() << "no time zone data";
    const char* old = std::getenv("TZ");
    if (old) fOldTZ = old;
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override {
    if (fOldTZ)
      setenv("TZ", fOldTZ->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  std::optional<std::string> fOldTZ;
};

TEST_F(BerlinTime, LocalToUTCAroundDaylightSavingChanges) {
  struct TCase {
    TParts fLocal;
    std::optional<TParts> fUTC;
  };
  const TCase cases[] = {
      {{2024, 1, 15, 12, 0, 0, 250}, TParts{2024, 1, 15, 11, 0, 0, 250}},  // winter, UTC+1
      {{2024, 7, 15, 12, 0, 0, 0}, TParts{2024, 7, 15, 10, 0, 0, 0}},      // summer, UTC+2
      // spring forward: 02:00 jumps to 03:00 on 31 Mar 2024
      {{2024, 3, 31, 1, 59, 59, 999}, TParts{2024, 3, 31, 0, 59, 59, 999}},
      {{2024, 3, 31, 2, 0, 0, 0}, std::nullopt},
      {{2024, 3, 31, 2, 30, 0, 0}, std::nullopt},
      {{2024, 3, 31, 3, 0, 0, 0}, TParts{2024, 3, 31, 1, 0, 0, 0}},
      // fall back: 02:00-03:00 happens twice on 27 Oct 2024; the first is taken
      {{2024, 10, 27, 2, 30, 0, 0}, TParts{2024, 10, 27, 0, 30, 0, 0}},
      {{2024, 10, 27, 3, 0, 0, 0}, TParts{2024, 10, 27, 2, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(DateTimeToSQLText(Encode(c.fLocal)));
    TDateTime utc = -1;
    const bool ok = LocalToUTC(Encode(c.fLocal), utc);
    ASSERT_EQ(ok, c.fUTC.has_value());
    if (ok) {
      EXPECT_EQ(DateTimeToSQLText(utc), DateTimeToSQLText(Encode(*c.fUTC)));
    }
  }
}

TEST_F(BerlinTime, UTCToLocalAndUnixTime) {
  // both UTC instants of the repeated hour read 02:30 on the wall clock
  EXPECT_EQ(DateTimeToSQLText(UTCToLocal(Encode({2024, 10, 27, 0, 30, 0, 0}))), "2024-10-27 02:30:00.000");
  EXPECT_EQ(DateTimeToSQLText(UTCToLocal(Encode({2024, 10, 27, 1, 30, 0, 0}))), "2024-10-27 02:30:00.000");
  EXPECT_EQ(DateTimeToSQLText(UTCToLocal(Encode({2024, 3, 31, 1, 0, 0, 0}))), "2024-03-31 03:00:00.000");
  EXPECT_EQ(DateTimeToSQLText(UnixTimeToDateTime(0)), "1970-01-01 01:00:00.000");
  EXPECT_EQ(DateTimeToSQLText(UnixTimeToDateTime(1720000000.125)), "2024-07-03 11:46:40.125");
  EXPECT_EQ(DateTimeToSQLText(UnixTimeToDateTime(-0.5)), "1970-01-01 00:59:59.500");

  for (double seconds : {0.0, 1700000000.0, 1720000000.125, 1711846800.0 /* 31 Mar 2024 01:00 UTC */}) {
    SCOPED_TRACE(seconds);
    EXPECT_NEAR(DateTimeToUnixTime(UnixTimeToDateTime(seconds)), seconds, 0.0005);
  }
  // a time inside the gap is taken as the clock would have read without the change
  EXPECT_NEAR(DateTimeToUnixTime(Encode({2024, 3, 31, 2, 30, 0, 0})), 1711848600.0, 0.0005);
}

// Zones whose changes are not whole hours, go the other way through the year,
// or never happen; and dates far before 1970. Each case runs in its own zone.
TEST(DateTimeZones, LocalToUTCFollowsEachZonesRules) {
  struct TCase {
    const char* fZone;
    TParts fLocal;
    std::optional<TParts> fUTC;
  };
  const TCase cases[] = {
      // Lord Howe Island: +10:30, half an hour more in summer
      {"Australia/Lord_Howe", {2024, 4, 7, 1, 15, 0, 0}, TParts{2024, 4, 6, 14, 15, 0, 0}},
      {"Australia/Lord_Howe", {2024, 4, 7, 1, 45, 0, 0}, TParts{2024, 4, 6, 14, 45, 0, 0}},  // twice: the first
      {"Australia/Lord_Howe", {2024, 4, 7, 2, 0, 0, 0}, TParts{2024, 4, 6, 15, 30, 0, 0}},
      {"Australia/Lord_Howe", {2024, 10, 6, 1, 59, 0, 0}, TParts{2024, 10, 5, 15, 29, 0, 0}},
      {"Australia/Lord_Howe", {2024, 10, 6, 2, 15, 0, 0}, std::nullopt},  // skipped
      {"Australia/Lord_Howe", {2024, 10, 6, 2, 30, 0, 0}, TParts{2024, 10, 5, 15, 30, 0, 0}},
      // southern summer: the skipped hour in October
      {"Australia/Sydney", {2024, 1, 15, 12, 0, 0, 0}, TParts{2024, 1, 15, 1, 0, 0, 0}},
      {"Australia/Sydney", {2024, 4, 7, 2, 30, 0, 0}, TParts{2024, 4, 6, 15, 30, 0, 0}},
      {"Australia/Sydney", {2024, 10, 6, 2, 30, 0, 0}, std::nullopt},
      {"America/New_York", {2024, 3, 10, 2, 30, 0, 0}, std::nullopt},
      {"America/New_York", {2024, 3, 10, 3, 0, 0, 0}, TParts{2024, 3, 10, 7, 0, 0, 0}},
      {"America/New_York", {2024, 11, 3, 1, 30, 0, 0}, TParts{2024, 11, 3, 5, 30, 0, 0}},
      {"America/New_York", {2024, 11, 3, 2, 0, 0, 0}, TParts{2024, 11, 3, 7, 0, 0, 0}},
      {"Asia/Kolkata", {2024, 1, 1, 0, 0, 0, 0}, TParts{2023, 12, 31, 18, 30, 0, 0}},
      {"Asia/Kolkata", {2024, 7, 1, 5, 29, 59, 999}, TParts{2024, 6, 30, 23, 59, 59, 999}},
      {"UTC", {1900, 3, 1, 18, 0, 0, 0}, TParts{1900, 3, 1, 18, 0, 0, 0}},
  };
  const char* old = std::getenv("TZ");
  const std::optional<std::string> oldTZ = old ? std::optional<std::string>(old) : std::nullopt;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fZone) + " " + DateTimeToSQLText(Encode(c.fLocal)));
    if (!std::filesystem::exists(std::string("/usr/share/zoneinfo/") + c.fZone)) continue;
    setenv("TZ", c.fZone, 1);
    tzset();
    TDateTime utc = -1;
    const bool ok = LocalToUTC(Encode(c.fLocal), utc);
    EXPECT_EQ(ok, c.fUTC.has_value());
    if (ok && c.fUTC) {
      EXPECT_EQ(DateTimeToSQLText(utc), DateTimeToSQLText(Encode(*c.fUTC)));
      // and back to the same wall clock
      EXPECT_EQ(DateTimeToSQLText(UTCToLocal(utc)), DateTimeToSQLText(Encode(c.fLocal)));
    }
  }
  if (oldTZ)
    setenv("TZ", oldTZ->c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

}  // namespace

// A memo of the zone's offsets changes nothing: every ten minutes of a year
// (both changes of each zone included), one memo for the whole run.
TEST(DateTimeZones, LocalToUTCWithAMemoAgreesWithoutOne) {
  const char* old = std::getenv("TZ");
  const std::optional<std::string> oldTZ = old ? std::optional<std::string>(old) : std::nullopt;
  for (const char* zone : {"Europe/Berlin", "Australia/Lord_Howe", "America/New_York"}) {
    SCOPED_TRACE(zone);
    if (!std::filesystem::exists(std::string("/usr/share/zoneinfo/") + zone)) continue;
    setenv("TZ", zone, 1);
    tzset();
    TZoneOffsetMemo memo;
    const TDateTime first = Encode({2024, 1, 1, 0, 0, 0, 0});
    int differences = 0, skipped = 0;
    for (int step = 0; step < 366 * 24 * 6; ++step) {
      const TDateTime local = first + step / 144.0;
      TDateTime plain = -1, memoized = -2;
      const bool a = LocalToUTC(local, plain);
      const bool b = LocalToUTC(local, memoized, &memo);
      skipped += !a;
      if (a != b || (a && DateTimeToSQLText(plain) != DateTimeToSQLText(memoized))) ++differences;
    }
    EXPECT_EQ(differences, 0);
    EXPECT_GT(skipped, 0) << "the spring change lies in the year";
  }
  if (oldTZ)
    setenv("TZ", oldTZ->c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}
