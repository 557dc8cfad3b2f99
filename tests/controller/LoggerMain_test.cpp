// The controller with real slots on a Qt event loop: requests and their
// bounds, what reaches the settings file, plug-in errors, a main-thread
// wait for a worker that logs, and the cleanup timer beside an idle slot.
#include "controller/LoggerMain.h"
#include "shell/VantorelGlobals.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ControllerTestSupport.h"
#include "shell/IniFile.h"
#include "slot/SlotDatabase.h"
#include "slot/SlotInfo.h"
#include "support/DateTime.h"

namespace {
class LoggerMainTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    char pattern[] = "/tmp/vt-controller-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    fRoot = pattern;
    fIniPath = fRoot + "/Vantorel.ini";
  }
  void TearDown() override { std::filesystem::remove_all(fRoot); }

  void WriteIni(const std::string& iText) {
    std::ofstream(fIniPath) << iText;
  }
  std::string SlotSections(int iCount) const {
    std::string text;
    for (int i = 0; i < iCount; ++i)
      text += "[Slot" + std::to_string(i) + "]\nFolder=" + fRoot + "/rec" + std::to_string(i) + "\nSource=None\n";
    return text;
  }
  TLoggerMainOptions Options() {
    TLoggerMainOptions o;
    o.PluginFolder = fRoot + "/plugins/";
    return o;
  }

  std::string fRoot;
  std::string fIniPath;
};

TStartupValues Values(int iFull, int iAlarm) {
  TStartupValues v;
  v.FullSlotCount = iFull;
  v.AlarmSlotCount = iAlarm;
  v.DisplayName = "Studio";
  v.InstanceNumber = 3;
  return v;
}
}  // namespace

TEST_F(LoggerMainTest, StartAndStopRequestsIgnoreIndicesOutsideTheSlots) {
  WriteIni(SlotSections(5));
  TIniFile ini(fIniPath);
  TLoggerMain controller(ini, Values(4, 1), Options());
  ASSERT_EQ(controller.SlotCount(), 5);
  EXPECT_FALSE(controller.Slot(0).AlarmOnly());
  EXPECT_TRUE(controller.Slot(4).AlarmOnly());
  EXPECT_THROW(controller.Slot(5), std::out_of_range);
  EXPECT_THROW(controller.Slot(-1), std::out_of_range);
  EXPECT_EQ(controller.Caption(), "Quorvane Vantorel [ Studio / 3 ]");

  std::vector<int> changed;
  controller.SetOnSlotStateChanged([&](int i) { changed.push_back(i); });
  std::atomic<bool> marker{false};
  // posted from another thread, as the web server does
  std::thread web([&] {
    controller.PostStopSlot(1);
    controller.PostStopSlot(3);
    controller.PostStartSlot(5);
    controller.PostStopSlot(-1);
    controller.PostStartSlot(3);
    controller.PostToMainThread([&] { marker = true; });
  });
  web.join();
  ASSERT_TRUE(RunUntil([&] { return marker.load(); }));
  EXPECT_TRUE(controller.Slot(0).Enabled());
  EXPECT_FALSE(controller.Slot(1).Enabled());
  EXPECT_TRUE(controller.Slot(3).Enabled());
  EXPECT_EQ(changed, (std::vector<int>{1, 3, 3}));
}

TEST_F(LoggerMainTest, SettingsFileGetsGlobalsAtFlushAndEverySlotAtDestruction) {
  WriteIni("[General]\nColumnCount=0x3\n[Webserver]\nPort=127.0.0.1:6000\nAnonymousAccess=admin\n"
           "[EMail]\nSMTPServer=mail.example\nEncryption=starttls\n" + SlotSections(1));
  {
    TIniFile ini(fIniPath);
    TLoggerMain controller(ini, Values(2, 1), Options());
    controller.Slot(2).SetName("Alarm watcher");
    controller.Close();
    TIniFile check(fIniPath);
    EXPECT_EQ(check.ReadString("General", "ColumnCount", ""), "3");
    EXPECT_EQ(check.ReadString("General", "VerticalAutoSize", ""), "0");
    EXPECT_EQ(check.ReadString("Webserver", "Enabled", ""), "off");
    EXPECT_EQ(check.ReadString("Webserver", "Port", ""), "127.0.0.1:6000");
    EXPECT_EQ(check.ReadString("Webserver", "AnonymousAccess", ""), "none");  // "admin" is not "Admin"
    EXPECT_EQ(check.ReadString("EMail", "SMTPServer", ""), "mail.example");
    EXPECT_EQ(check.ReadString("EMail", "Encryption", ""), "STARTTLS");
    EXPECT_EQ(check.ReadString("EMail", "SMTPPort", ""), "25");
    EXPECT_FALSE(check.SectionExists("Slot2"));  // slots write at destruction, not at flush
  }
  TIniFile check(fIniPath);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(check.SectionExists("Slot" + std::to_string(i))) << i;
  EXPECT_EQ(check.ReadString("Slot2", "Name", ""), "Alarm watcher");
}

// A web server that should start but cannot (its port still taken) stays
// switched on in the settings, so the next start of the program tries again;
// one the user stops is switched off.
TEST_F(LoggerMainTest, AWebServerThatFailedToStartStaysSwitchedOn) {
  WriteIni("[Webserver]\nEnabled=on\nPort=5999\n" + SlotSections(1));
  TIniFile ini(fIniPath);
  TLoggerMain controller(ini, Values(1, 0), Options());
  bool running = false, portFree = false;
  int starts = 0;
  TWebServerHooks hooks;
  hooks.Start = [&](const TWebServerSettings&) {
    ++starts;
    if (!portFree) throw std::runtime_error("Could not listen on 0.0.0.0:5999: Address already in use");
    running = true;
  };
  hooks.Stop = [&] { running = false; };
  hooks.IsRunning = [&] { return running; };
  controller.SetWebServerHooks(hooks);

  controller.AutoStartWebServer();
  EXPECT_EQ(starts, 1);
  controller.FlushGlobalConfig();
  EXPECT_EQ(TIniFile(fIniPath).ReadString("Webserver", "Enabled", ""), "on");

  portFree = true;
  EXPECT_TRUE(controller.StartWebServer());
  controller.StopWebServer();
  EXPECT_EQ(TIniFile(fIniPath).ReadString("Webserver", "Enabled", ""), "off");
  controller.Close();
  EXPECT_EQ(TIniFile(fIniPath).ReadString("Webserver", "Enabled", ""), "off");
  controller.SetWebServerHooks({});
}

// At boot the port may still be held by an old instance that is ending, or
// the listen address may not be up yet: the server comes up by itself once it
// can, tried at growing intervals so a port that stays taken does not fill the log.
TEST_F(LoggerMainTest, AWebServerThatFailedAtLaunchIsTriedAgainUntilItStarts) {
  WriteIni("[Webserver]\nEnabled=on\nPort=5999\n" + SlotSections(1));
  TIniFile ini(fIniPath);
  TLoggerMain controller(ini, Values(1, 0), Options());
  bool running = false;
  int starts = 0, failures = 3;
  TWebServerHooks hooks;
  hooks.Start = [&](const TWebServerSettings&) {
    ++starts;
    if (failures > 0 && failures--) throw std::runtime_error("Could not listen on 0.0.0.0:5999: Address already in use");
    running = true;
  };
  hooks.Stop = [&] { running = false; };
  hooks.IsRunning = [&] { return running; };
  controller.SetWebServerHooks(hooks);

  const uint64_t t0 = TickCount64();
  controller.AutoStartWebServer();
  // (tick after t0, starts so far): first retry after 10 s, then 20 s, then 40 s
  const std::pair<uint64_t, int> steps[] = {{5000, 1},  {11000, 2}, {25000, 2}, {31500, 3},
                                            {70000, 3}, {72000, 4}, {500000, 4}};
  for (const auto& [after, expected] : steps) {
    controller.RetryWebServerStart(t0 + after);
    EXPECT_EQ(starts, expected) << after << " ms after the launch";
  }
  EXPECT_TRUE(running);
  EXPECT_EQ(TIniFile(fIniPath).ReadString("Webserver", "Enabled", ""), "on");

  // A server stopped by hand is not brought back.
  controller.StopWebServer();
  controller.RetryWebServerStart(t0 + 10'000'000);
  EXPECT_EQ(starts, 4);
  controller.Close();
  controller.SetWebServerHooks({});
}

TEST_F(LoggerMainTest, AFailingPluginIsLoggedAndLoadingGoesOn) {
  WriteIni(SlotSections(1));
  std::filesystem::create_directories(fRoot + "/plugins");
  std::ofstream(fRoot + "/plugins/broken.so") << "not a library";
  std::ofstream(fRoot + "/plugins/notes.txt") << "ignored";
  TIniFile ini(fIniPath);
  TLoggerMain controller(ini, Values(1, 0), Options());
  int errors = 0;
  for (const std::string& line : controller.MessageLogLines()) {
    if (line.find("Error loading BASS plugin broken.so: BASS error ") != std::string::npos) ++errors;
    EXPECT_EQ(line.find("notes.txt"), std::string::npos);
  }
  EXPECT_EQ(errors, 1);
}

TEST_F(LoggerMainTest, MainThreadWaitForALoggingWorkerServesItsLines) {
  WriteIni(SlotSections(1));
  TIniFile ini(fIniPath);
  TLoggerMain controller(ini, Values(1, 0), Options());
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i) controller.LogMessage(nullptr, "worker line " + std::to_string(i));
    finished = true;
  });
  // The event loop is not running here; only the wait hook lets the worker go on.
  EXPECT_TRUE(controller.MainThreadWaitHook()([&] { return finished.load(); }, 10000));
  worker.join();
  int seen = 0;
  for (const std::string& line : controller.MessageLogLines())
    if (line.find("worker line ") != std::string::npos) ++seen;
  EXPECT_EQ(seen, 3);
}

// A slot's first file counts as a rotation; the cleanup that follows finds
// nothing to delete and switches its timer off again.
TEST_F(LoggerMainTest, CleanupTimerSwitchesItselfOffWhenNothingIsDeleted) {
  WriteIni(SlotSections(2));
  TIniFile ini(fIniPath);
  TLoggerMain controller(ini, Values(2, 0), Options());
  int ticks = 0;
  bool everOn = false;
  controller.SetOnTimerTick([&] {
    ++ticks;
    everOn = everOn || controller.CleanupTimerActive();
  });
  ASSERT_TRUE(RunUntil([&] { return ticks >= 3; }));
  EXPECT_TRUE(everOn);
  EXPECT_TRUE(RunUntil([&] { return !controller.CleanupTimerActive(); }, 5000));
}

// A non-aligned slot that writes no file asks for a new one on every 100 ms
// tick, and each of those rotations switches the cleanup on again. Switching it
// on must leave the running 1000 ms timer alone, or it is restarted before it
// ever fires and nothing expires while that slot is idle.
TEST_F(LoggerMainTest, AnIdleUnalignedSlotDoesNotHoldOffTheCleanupOfAnother) {
  const std::string folder = fRoot + "/rec1";
  std::filesystem::create_directories(folder + "/old");
  std::ofstream(folder + "/old/expired.wav") << "RIFF";
  {
    auto connection = GetSlotDatabaseConnection(folder + "/Vantorel.db");
    InsertRecordingRow(*connection, Now() - 10.0, "old/expired.wav");
  }
  WriteIni("[Slot0]\nName=Idle\nSource=None\nTimeSlotAlign=off\nFolder=" + fRoot +
           "/rec0\n"
           "[Slot1]\nName=Tone\nSource=Stream\nStreamURL=lavfi:sine=frequency=1000:sample_rate=44100\n"
           "Samplerate=44100\nFormat=wav16\nCleanupDays=1\nCleanupSpaceEnabled=off\nFolder=" +
           folder + "\n");
  TIniFile ini(fIniPath);
  TLoggerMain controller(ini, Values(2, 0), Options());
  // The tone slot's first file is its rotation.
  ASSERT_TRUE(RunUntil([&] { return controller.Slot(1).Recording(); }, 10000));
  // The cleanup ticks a second after the rotation; a loaded machine gets a
  // little more.
  EXPECT_TRUE(RunUntil([&] { return !std::filesystem::exists(folder + "/old/expired.wav"); }, 3000));
  {
    auto connection = GetSlotDatabaseConnection(folder + "/Vantorel.db");
    EXPECT_EQ(SelectRecordingsOldestFirst(*connection).size(), 1u);  // the tone's own file only
  }
}

// A slot set to record without rotation (one file, cut by hand) must start
// that file when the program starts, aligned or not: after a restart of the
// machine nobody opens its settings, and the station would record nothing.
TEST_F(LoggerMainTest, ASlotWithoutAutoRotationStartsItsFileAtStartUp) {
  std::string text;
  for (int i = 0; i < 2; ++i)
    text += "[Slot" + std::to_string(i) + "]\nName=Endless" + std::to_string(i) +
            "\nSource=Stream\nStreamURL=lavfi:sine=frequency=1000:sample_rate=44100\nSamplerate=44100\n"
            "Format=wav16\nNoAutoRotate=on\nTimeSlotLength=1\nTimeSlotAlign=" + (i == 0 ? "on" : "off") +
            "\nFolder=" + fRoot + "/rec" + std::to_string(i) + "\n";
  WriteIni(text);
  TIniFile ini(fIniPath);
  TLoggerMain controller(ini, Values(2, 0), Options());
  ASSERT_TRUE(RunUntil([&] { return controller.Slot(0).Recording() && controller.Slot(1).Recording(); }, 10000))
      << "aligned: " << controller.Slot(0).Recording() << ", not aligned: " << controller.Slot(1).Recording();
  // ... and keeps that one file: ticks go by without a second one.
  const std::string first0 = controller.Slot(0).CurrentFilename(), first1 = controller.Slot(1).CurrentFilename();
  int ticks = 0;
  controller.SetOnTimerTick([&] { ++ticks; });
  ASSERT_TRUE(RunUntil([&] { return ticks >= 10; }, 10000));
  EXPECT_EQ(controller.Slot(0).CurrentFilename(), first0);
  EXPECT_EQ(controller.Slot(1).CurrentFilename(), first1);
}

// An alarm mail to a server that accepts and never answers must not hold the
// controller: its 100 ms tick (every slot's rotation) keeps running while the
// mail hangs, and the controller ends without waiting out the SMTP time-out.
TEST_F(LoggerMainTest, AStalledMailServerHoldsNeitherTheTickNorTheEnd) {
  TSilentServer server;
  WriteIni("[EMail]\nSMTPServer=127.0.0.1\nSMTPPort=" + std::to_string(server.Port()) +
           "\nEncryption=none\nFromAddress=logger@station.example\nReceipients=ops@station.example\n"
           "[Slot0]\nName=Quiet\nSource=None\nSilenceDetection=1\nSendEmailSilenceDetected=on\nFolder=" +
           fRoot + "/rec0\n");
  TIniFile ini(fIniPath);
  auto controller = std::make_unique<TLoggerMain>(ini, Values(1, 0), Options());
  using Clock = std::chrono::steady_clock;
  int ticks = 0;
  Clock::time_point twentiethTick;
  int ticksAtAlarm = -1;
  Clock::time_point alarmTime;
  controller->SetOnTimerTick([&] {
    if (++ticks == ticksAtAlarm + 20) twentiethTick = Clock::now();
  });
  // The line is logged just before the mail is handed on (or, before the fix,
  // sent on this thread).
  controller->SetOnLogChanged([&] {
    if (ticksAtAlarm >= 0) return;
    for (const std::string& line : controller->MessageLogLines())
      if (line.find("Slot \"Quiet\" SILENCE DETECTED") != std::string::npos) {
        ticksAtAlarm = ticks;
        alarmTime = Clock::now();
      }
  });
  ASSERT_TRUE(RunUntil([&] { return ticksAtAlarm >= 0; }, 10000));
  ASSERT_TRUE(RunUntil([&] { return ticks >= ticksAtAlarm + 20; }, 60000));
  // Twenty ticks take two seconds; the mail hangs for half a minute.
  EXPECT_LT(twentiethTick - alarmTime, std::chrono::seconds(15));
  const auto start = std::chrono::steady_clock::now();
  controller.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}
