// The command run when a file is finished: its arguments, and real child
// processes that succeed, fail, cannot be started or hang.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "slot/SlotFileHook.h"
#include "SlotRunSupport.h"
#include "SlotTestSupport.h"

namespace {

using namespace std::chrono_literals;

struct TLines {
  std::mutex fLock;
  std::vector<std::string> fLines;
  TSlotLogSink Sink() {
    return [this](const std::string& m) {
      std::lock_guard<std::mutex> lock(fLock);
      fLines.push_back(m);
    };
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> lock(fLock);
    return fLines;
  }
};

std::string ReadAll(const std::string& iPath) {
  std::ifstream in(iPath);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Alive(pid_t iPid) { return ::kill(iPid, 0) == 0; }

TEST(SlotFileHook, ArgumentsAreSplitBeforeTheValuesGoIn) {
  const TClosedFile file{"/rec/a b \"c\".mp3", 3599.9996, "Studio 1", 42};
  struct TCase {
    const char* fCommand;
    std::vector<std::string> fArgs;
  } cases[] = {
      {"copy %f", {"copy", "/rec/a b \"c\".mp3"}},
      {"tag --len=%d --slot \"%s\" %i", {"tag", "--len=3600.000", "--slot", "Studio 1", "42"}},
      {"\"/opt/my tools/run\" %%f=%f 100%", {"/opt/my tools/run", "%f=/rec/a b \"c\".mp3", "100%"}},
      {"x %q %", {"x", "%q", "%"}},
      {"", {}},
  };
  for (const TCase& c : cases) EXPECT_EQ(FileHookArguments(c.fCommand, file), c.fArgs) << c.fCommand;
}

class SlotFileHookTest : public ::testing::Test {
protected:
  // A hook script: writes its arguments, one line per run, then does iThen.
  std::string Script(const std::string& iThen) {
    const std::string name = "hook" + std::to_string(fScripts++) + ".sh";
    const std::string path = fTmp.Path(name);
    fTmp.Write(name, "echo \"$$|$1|$2|$3|$4\" >> '" + fTmp.Path("runs") + "'\n" + iThen + "\n");
    return "sh " + path;
  }
  std::vector<std::string> Runs() {
    std::vector<std::string> lines;
    std::istringstream in(ReadAll(fTmp.Path("runs")));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  TSlotTempFolder fTmp;
  TLines fLog;
  int fScripts = 0;
};

TEST_F(SlotFileHookTest, SuccessIsQuietFailureIsLoggedOnceWithItsErrorOutput) {
  {
    TSlotFileHook hook(fLog.Sink());
    hook.Run(Script("exit 0"), {"/rec/ok.mp3", 60, "A", 1}, 10s);
    hook.Run(Script("echo first >&2; echo >&2; echo second >&2; echo third >&2; echo fourth >&2; exit 3"),
             {"/rec/bad.mp3", 61.5, "A", 2}, 10s);
    ASSERT_TRUE(WaitUntil([&] { return Runs().size() == 2 && fLog.Get().size() == 1; }, 20s));
    hook.Run("vt-no-such-hook-program %f", {"/rec/c.mp3", 1, "A", 3}, 10s);
    ASSERT_TRUE(WaitUntil([&] { return fLog.Get().size() == 2; }, 20s));
  }
  const std::vector<std::string> lines = fLog.Get();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "OnFileClosed sh for /rec/bad.mp3 ended with exit status 3: first | second | third");
  EXPECT_EQ(lines[1], "OnFileClosed vt-no-such-hook-program not started for /rec/c.mp3: No such file or directory");
}

// A hook that hangs is killed at its time-out, with what it started; the
// hooks after it do not wait for it.
TEST_F(SlotFileHookTest, HangingHookIsKilledAndDoesNotHoldUpTheNext) {
  const std::string hang = Script("sleep 60 & echo $! > '" + fTmp.Path("child") + "'; wait");
  TSlotFileHook hook(fLog.Sink());
  hook.Run(hang, {"/rec/hang.mp3", 1, "A", 1}, 2s);
  ASSERT_TRUE(WaitUntil([&] { return Runs().size() == 1 && !ReadAll(fTmp.Path("child")).empty(); }, 20s));
  const pid_t shell = std::stoi(Runs()[0]);
  const pid_t child = std::stoi(ReadAll(fTmp.Path("child")));
  hook.Run(Script("exit 0"), {"/rec/next.mp3", 2, "A", 2}, 10s);
  ASSERT_TRUE(WaitUntil([&] { return Runs().size() == 2; }, 20s));
  EXPECT_TRUE(Alive(shell)) << "the second hook ran while the first one hung";
  EXPECT_TRUE(fLog.Get().empty());

  ASSERT_TRUE(WaitUntil([&] { return fLog.Get().size() == 1; }, 30s));
  EXPECT_EQ(fLog.Get()[0].rfind("OnFileClosed sh for /rec/hang.mp3 killed after ", 0), 0u) << fLog.Get()[0];
  EXPECT_TRUE(WaitUntil([&] { return !Alive(child); }, 10s)) << "the hook's own child is killed too";
  EXPECT_FALSE(Alive(shell));
}

// Going away (the program stops) waits a little for running hooks, then kills them.
TEST_F(SlotFileHookTest, ShutdownKillsWhatStillRuns) {
  pid_t shell = 0;
  {
    TSlotFileHook hook(fLog.Sink());
    hook.Run(Script("exec sleep 60"), {"/rec/a.mp3", 1, "A", 1}, 600s);
    ASSERT_TRUE(WaitUntil([&] { return Runs().size() == 1; }, 20s));
    shell = std::stoi(Runs()[0]);
  }
  EXPECT_FALSE(Alive(shell));
  ASSERT_EQ(fLog.Get().size(), 1u);
  EXPECT_NE(fLog.Get()[0].find(" killed after "), std::string::npos);
}

}  // namespace
