// The pull's pacing against a live source: what one step takes from the mixer
// given what the clock asks for and what the source holds. Units are bytes of
// mixer output; margin 500, guard 10.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "slot/SlotPullPacing.h"

namespace {

struct TStep {
  uint64_t fWanted;
  uint32_t fSource;
  std::optional<uint64_t> fAvailable;
  uint64_t fTaken;
};

TEST(SlotPullPacing, StepsAgainstALiveSource) {
  struct TCase {
    const char* fName;
    std::vector<TStep> fSteps;
  } cases[] = {
      {"no live source: everything up to now",
       {{50, 0, std::nullopt, 50}, {2000, 0, std::nullopt, 2000}, {50, 7, std::nullopt, 50}}},
      {"a source that has not delivered yet gives silence up to now, however long",
       {{50, 7, 0, 50}, {50, 7, 0, 50}, {900, 7, 0, 900}}},
      {"a full source covers what is asked",
       {{50, 7, 400, 50}, {50, 7, 60, 50}}},
      {"a late burst is waited for, then taken whole",
       {{50, 7, 30, 20}, {80, 7, 10, 0}, {130, 7, 0, 0}, {180, 7, 400, 180}, {50, 7, 230, 50}}},
      {"the guard stays in the source while it is short",
       {{50, 7, 45, 35}, {65, 7, 10, 0}}},
      {"later than the margin: silence up to now, then waiting starts afresh",
       {{50, 7, 100, 50}, {400, 7, 0, 0}, {450, 7, 0, 0}, {520, 7, 0, 520}, {50, 7, 0, 50},
        {50, 7, 30, 20}, {480, 7, 0, 0}, {510, 7, 0, 510}}},
      {"exactly the margin behind still waits",
       {{50, 7, 100, 50}, {500, 7, 0, 0}, {510, 7, 20, 10}}},
      {"a new source starts without the old one's state",
       {{50, 7, 100, 50}, {300, 7, 0, 0}, {350, 8, 0, 350}, {50, 8, 30, 20}}},
      {"the source gone (handle 0) and back",
       {{50, 7, 100, 50}, {200, 7, 0, 0}, {250, 0, std::nullopt, 250}, {50, 7, 0, 50}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.fName);
    TPullPacing pacing(500, 10);
    for (size_t i = 0; i < c.fSteps.size(); ++i) {
      const TStep& s = c.fSteps[i];
      EXPECT_EQ(pacing.Step(s.fWanted, s.fSource, s.fAvailable), s.fTaken) << "step " << i;
    }
  }
}

}  // namespace
