#pragma once
// The log lines a slot reports, collected for a test to look through.
#include <mutex>
#include <string>
#include <vector>

#include "slot/SlotInfo.h"

struct TLog {
  std::mutex fLock;
  std::vector<std::string> fLines;
  TLogMessageEvent Event() {
    return [this](const void*, const std::string& iMessage) {
      std::lock_guard<std::mutex> lock(fLock);
      fLines.push_back(iMessage);
    };
  }
  std::vector<std::string> Matching(const std::string& iPart) {
    std::lock_guard<std::mutex> lock(fLock);
    std::vector<std::string> found;
    for (const std::string& l : fLines)
      if (l.find(iPart) != std::string::npos) found.push_back(l);
    return found;
  }
  size_t Count(const std::string& iPart) { return Matching(iPart).size(); }
};
