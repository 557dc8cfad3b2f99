#include "web/ConnectionLimits.h"

TConnectionLimits::TConnectionLimits(int iMaxOpen, int iMaxPerAddress)
    : fMaxOpen(iMaxOpen), fMaxPerAddress(iMaxPerAddress) {}

bool TConnectionLimits::TryOpen(const std::string& iAddress) {
  std::lock_guard<std::mutex> lock(fMutex);
  if (fOpen >= fMaxOpen) return false;
  int& fromAddress = fPerAddress[iAddress];
  if (fromAddress >= fMaxPerAddress) return false;
  ++fromAddress;
  ++fOpen;
  return true;
}

void TConnectionLimits::Close(const std::string& iAddress) {
  std::lock_guard<std::mutex> lock(fMutex);
  const auto it = fPerAddress.find(iAddress);
  if (it == fPerAddress.end()) return;
  --fOpen;
  if (--it->second <= 0) fPerAddress.erase(it);
}

int TConnectionLimits::Open() const {
  std::lock_guard<std::mutex> lock(fMutex);
  return fOpen;
}

int TConnectionLimits::OpenFrom(const std::string& iAddress) const {
  std::lock_guard<std::mutex> lock(fMutex);
  const auto it = fPerAddress.find(iAddress);
  return it == fPerAddress.end() ? 0 : it->second;
}
