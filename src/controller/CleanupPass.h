#pragma once
// One tick of the retention cleanup timer over all slots: by age, then by
// space, slot after slot. The timer keeps running while a tick still deleted
// something; an error stops the slot's remaining call, is logged, and clears
// what earlier slots had reported.
#include <functional>
#include <string>

struct TCleanupTargets {
  int Count = 0;
  std::function<std::string(int)> Name;
  std::function<bool(int)> CleanUpByAge;    // true when something was deleted
  std::function<bool(int)> CleanupBySpace;
};

// True when the cleanup timer is to stay on.
bool RunCleanupPass(const TCleanupTargets& iTargets, const std::function<void(const std::string&)>& iLog);
