#pragma once
// The value of one hexadecimal digit, as the form decoder's %XX escapes and
// the chunk sizes of a request body write it.

// 0 to 15, or -1 where iChar is no hexadecimal digit.
inline int HexDigitValue(char iChar) {
  if (iChar >= '0' && iChar <= '9') return iChar - '0';
  if (iChar >= 'a' && iChar <= 'f') return iChar - 'a' + 10;
  if (iChar >= 'A' && iChar <= 'F') return iChar - 'A' + 10;
  return -1;
}
