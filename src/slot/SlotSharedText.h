#pragma once
// A text that one thread replaces while others read it: each read returns a
// copy taken under the text's own lock, which is held for the copy only and
// never while anything else is locked or called, so it cannot take part in a
// wait cycle.
#include <mutex>
#include <string>
#include <utility>

class TSharedText {
public:
  TSharedText() = default;
  explicit TSharedText(std::string iValue) : fValue(std::move(iValue)) {}
  TSharedText(const TSharedText&) = delete;
  TSharedText& operator=(const TSharedText&) = delete;

  std::string Get() const {
    std::lock_guard<std::mutex> lock(fLock);
    return fValue;
  }
  void Set(std::string iValue) {
    std::lock_guard<std::mutex> lock(fLock);
    fValue.swap(iValue);
  }
  bool Empty() const {
    std::lock_guard<std::mutex> lock(fLock);
    return fValue.empty();
  }

private:
  mutable std::mutex fLock;
  std::string fValue;
};
