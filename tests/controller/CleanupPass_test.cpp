// The cleanup timer's on/off rule over the slots' results and errors.
#include "controller/CleanupPass.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {
// Per slot: 'n' nothing deleted, 'a' deleted by age, 's' by space, 'A' age throws, 'S' space throws.
struct TCase {
  const char* fSlots;
  bool fKeepOn;
  std::vector<std::string> fLog;
  std::vector<std::string> fCalls;
};
}  // namespace

TEST(CleanupPass, OnOffRuleAndErrors) {
  const TCase cases[] = {
      {"nn", false, {}, {"age0", "space0", "age1", "space1"}},
      {"na", true, {}, {"age0", "space0", "age1", "space1"}},
      {"sn", true, {}, {"age0", "space0", "age1", "space1"}},
      // an error clears what an earlier slot reported and skips the slot's space call
      {"aA", false, {"Cleanup error in Slot 2: disk gone"}, {"age0", "space0", "age1"}},
      // a later slot that deletes switches it on again
      {"Aa", true, {"Cleanup error in Slot 1: disk gone"}, {"age0", "age1", "space1"}},
      {"nS", false, {"Cleanup error in Slot 2: disk gone"}, {"age0", "space0", "age1", "space1"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.fSlots);
    const std::string slots = c.fSlots;
    std::vector<std::string> calls, log;
    TCleanupTargets targets;
    targets.Count = static_cast<int>(slots.size());
    targets.Name = [](int i) { return "Slot " + std::to_string(i + 1); };
    targets.CleanUpByAge = [&](int i) {
      calls.push_back("age" + std::to_string(i));
      if (slots[i] == 'A') throw std::runtime_error("disk gone");
      return slots[i] == 'a';
    };
    targets.CleanupBySpace = [&](int i) {
      calls.push_back("space" + std::to_string(i));
      if (slots[i] == 'S') throw std::runtime_error("disk gone");
      return slots[i] == 's';
    };
    EXPECT_EQ(RunCleanupPass(targets, [&](const std::string& l) { log.push_back(l); }), c.fKeepOn);
    EXPECT_EQ(log, c.fLog);
    EXPECT_EQ(calls, c.fCalls);
  }
}
