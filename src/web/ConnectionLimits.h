#pragma once
// How many connections the server holds, in all and per client address, so
// that one client (or a few) opening many connections cannot take every
// place: a share stays free for clients that hold few. Thread-safe: the
// accepting thread opens, the serving threads close.
#include <mutex>
#include <string>
#include <unordered_map>

class TConnectionLimits {
public:
  TConnectionLimits(int iMaxOpen, int iMaxPerAddress);

  // Takes a place for a new connection from iAddress; false when the server
  // or that address holds as many as allowed (nothing is taken then).
  bool TryOpen(const std::string& iAddress);
  void Close(const std::string& iAddress);

  int Open() const;
  int OpenFrom(const std::string& iAddress) const;

private:
  const int fMaxOpen;
  const int fMaxPerAddress;
  mutable std::mutex fMutex;
  int fOpen = 0;
  std::unordered_map<std::string, int> fPerAddress;
};
