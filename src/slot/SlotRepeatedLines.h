#pragma once
// Holds back a log line that was already logged a short while ago. The
// cleanup retries a file it cannot delete every second, and would otherwise
// fill the message log with the same error, pushing every other line out.
#include <cstdint>
#include <string>
#include <unordered_map>

class TRepeatedLines {
public:
  explicit TRepeatedLines(uint64_t iQuietMs) : fQuietMs(iQuietMs) {}

  // True when iLine should be logged at iTickMs: it was not logged within the
  // quiet time before.
  bool Pass(const std::string& iLine, uint64_t iTickMs);

private:
  uint64_t fQuietMs;
  std::unordered_map<std::string, uint64_t> fLogged;  // line -> tick it was last logged
};
