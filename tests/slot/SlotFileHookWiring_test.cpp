// The file-closed hook of a recording slot: every finished file, with the
// values its row got, and a hook that hangs does not hold up the rotation.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "audio/engine/EngineTestHook.h"
#include "slot/SlotDatabase.h"
#include "support/SimpleSQLInterface.h"
#include "SlotPipelineFixture.h"

namespace {

using namespace std::chrono_literals;

TEST_F(SlotPipelineTest, FileClosedHookGetsEveryFileAndAHangingOneDoesNotHoldUpTheRotation) {
  // The first run hangs (until killed); the others only note their arguments.
  fTmp.Write("hook.sh", "echo \"$$|$1|$2|$3|$4\" >> '" + fTmp.Path("runs") + "'\n" +
                            "[ -e '" + fTmp.Path("hung") + "' ] && exit 0\n" +
                            "touch '" + fTmp.Path("hung") + "'; exec sleep 60\n");
  Configure("Format=wav16\nTimeSlotLength=1\nDatabaseFile=" + fTmp.Path("db/slot.db") +
            "\nOnFileClosed=sh \"" + fTmp.Path("hook.sh") + "\" %f %d %s %i\nOnFileClosedTimeout=3\n");
  const HSTREAM source =
      vt::engine::test::CreateGeneratorStream(8000, 2, [](float* ioBuffer, DWORD iFrames) {
        for (DWORD i = 0; i < 2 * iFrames; ++i) ioBuffer[i] = 0.25f;
      });
  ASSERT_NE(source, 0u);
  TSlotInfoTestAccess::FeedMixer(*fSlot, source);
  auto runs = [&] {
    std::vector<std::string> lines;
    std::istringstream in(fTmp.Read("runs"));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  };

  ASSERT_TRUE(fSlot->RotationCheck());
  const std::string first = fSlot->CurrentFilename();
  Run(2000);  // 14:00:00
  ASSERT_TRUE(fSlot->RotationCheck());
  ASSERT_TRUE(WaitUntil([&] {
    fSlot->RotationCheck();  // the row gets its length once the encoder has finished
    return runs().size() == 1;
  }, 20s));
  const pid_t hung = std::stoi(runs()[0]);
  Run(60000);  // 14:01:00: the next cut comes while the first hook hangs
  ASSERT_TRUE(fSlot->RotationCheck());
  ASSERT_TRUE(WaitUntil([&] {
    fSlot->RotationCheck();
    return runs().size() == 2;
  }, 20s));
  EXPECT_EQ(::kill(hung, 0), 0) << "the first hook still hangs";
  Run(500);
  fSlot.reset();  // the last file is closed at shutdown
  ASSERT_EQ(runs().size(), 3u);
  EXPECT_EQ(fLog.Count("Test: OnFileClosed sh for " + first + " killed after "), 1u);
  EXPECT_NE(::kill(hung, 0), 0);

  ISQLConnectionPtr connection = GetSlotDatabaseConnection(fTmp.Path("db/slot.db"));
  ISQLResultSetPtr rows =
      connection->PrepareStatement("SELECT id, duration, filename FROM recordings ORDER BY starttime")
          ->ExecuteQueryPrepared();
  const double expected[] = {2.0, 60.0, 0.5};
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(i == 0 ? rows->First() : rows->Next());
    std::vector<std::string> fields;
    std::istringstream in(runs()[i]);
    for (std::string f; std::getline(in, f, '|');) fields.push_back(f);
    ASSERT_EQ(fields.size(), 5u) << runs()[i];
    EXPECT_EQ(fields[1], fTmp.Path("rec/" + rows->GetString(3)));
    EXPECT_NEAR(std::stod(fields[2]), rows->GetFloat(2), 0.0006);
    EXPECT_NEAR(rows->GetFloat(2), expected[i], 0.1);
    EXPECT_EQ(fields[3], "Test");
    EXPECT_EQ(fields[4], std::to_string(rows->GetInt(1)));
  }
}

}  // namespace
