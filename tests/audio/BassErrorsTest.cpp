#include <gtest/gtest.h>

#include "audio/basserrors.h"

TEST(BassErrorText, KnownNumbersCarryTheirTextAndNumber) {
  const std::pair<int, const char*> cases[] = {
      {1, "memory error (BASS error 1)"},
      {5, "invalid handle (BASS error 5)"},
      {14, "already initialized/paused/whatever (BASS error 14)"},
      {23, "illegal device number (BASS error 23)"},
      {38, "the channel is a \"decoding channel\" (BASS error 38)"},
      {43, "invalid BASS version (used by add-ons) (BASS error 43)"},
      {45, "the channel/file has ended (BASS error 45)"},
      {2100, "access denied (invalid password) (BASS error 2100)"},
      {4001, "BPM/Beat detection is in use (BASS error 4001)"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(BassErrorText(code), text) << code;
}

TEST(BassErrorText, NumbersWithoutARowGiveTheBareNumber) {
  for (int code : {0, 10, 12, 26, 46, 1999, -1}) EXPECT_EQ(BassErrorText(code), "BASS error " + std::to_string(code));
}
