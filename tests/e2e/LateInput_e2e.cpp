// A slot whose input is missing at start does not hold up the others, and
// starts recording once the input appears: here a PulseAudio source that is
// created a few seconds after the program started.
#include <gtest/gtest.h>

#include "E2EServices.h"

namespace {
// Frames of the 1 kHz test tone (well above silence) in a WAV file.
size_t LoudFrames(const std::string& iPath) {
  size_t loud = 0;
  for (int16_t v : ReadWavLeft(iPath))
    if (std::abs(v) > 8000) ++loud;
  return loud;
}
}  // namespace

TEST(LateInputE2E, ASourceThatAppearsAfterTheStartIsRecordedAndHoldsUpNoOtherSlot) {
  TE2ETempFolder run;
  TPulseServer pulse(run / "pulse");
  WriteTestWav(run / "tone.wav", 60, &Sine1k);
  pulse.Play(run / "tone.wav");

  const std::string root = run / "root";
  std::filesystem::create_directories(root);
  WriteFileText(root + "/Vantorel.ini",
                "[General]\nInstanceNumber=" + std::to_string(RecordingInstanceNumber(3)) + "\nFullSlotCount=2\n" +
                    SoundcardSlotSection(0, "Late", "wav16", 60, "WASAPI:late.monitor", root + "/late") +
                    SoundcardSlotSection(1, "Live", "wav16", 60, pulse.Device(), root + "/live"));
  const auto started = std::chrono::steady_clock::now();
  auto program = StartVantorel(root, pulse.Env());
  const auto log = [&] { return ReadFileText(root + "/out.txt"); };

  // The healthy slot records at once; before, every slot waited up to 30 s
  // for the missing input.
  ASSERT_TRUE(WaitUntil([&] { return log().find("Live: Encoding to file") != std::string::npos || !program->Running(); },
                        20000))
      << log();
  ASSERT_TRUE(program->Running()) << log();
  EXPECT_NE(log().find("Late: Waiting for input WASAPI:late.monitor"), std::string::npos) << log();

  // The source comes 5 s after the start, with the tone playing into it.
  std::this_thread::sleep_until(started + std::chrono::seconds(5));
  TChildProcess load({"pactl", "load-module", "module-null-sink", "sink_name=late", "rate=48000", "channels=2"},
                     run / "pactl.out", pulse.Env());
  ASSERT_EQ(load.WaitExit(10000), std::optional<int>(0)) << ReadFileText(run / "pactl.out");
  TChildProcess player({"paplay", "-d", "late", run / "tone.wav"}, run / "paplay-late.out", pulse.Env());

  ASSERT_TRUE(WaitUntil([&] { return log().find("Late: Encoding to file") != std::string::npos || !program->Running(); },
                        20000))
      << log();
  EXPECT_NE(log().find("Late: Input WASAPI:late.monitor is available, recording starts"), std::string::npos) << log();
  // A second of the tone reaches the file (frames past the header count too).
  const auto toneInFile = [&] {
    const auto rows = ReadRecordings(root + "/late/Vantorel.db");
    return rows.size() == 1 && LoudFrames(root + "/late/" + rows[0].FileName) > 32000;
  };
  EXPECT_TRUE(WaitUntil(toneInFile, 20000)) << "the late source's tone is not in its file";
  program->Signal(SIGTERM);
  ASSERT_EQ(program->WaitExit(10000), std::optional<int>(0)) << log();
  EXPECT_EQ(ReadRecordings(root + "/late/Vantorel.db").size(), 1u) << log();
  EXPECT_EQ(ReadRecordings(root + "/live/Vantorel.db").size(), 1u);
}

// ALSA's default device leads to the sound server, which comes up 5 s after the
// recorder: the slot on WDM:0 keeps its id, says once that it cannot start, and
// begins when the server is there. The default is the server's for good here,
// as PipeWire's ALSA configuration makes it (Debian's PulseAudio hook makes it
// so only for programs started while the server runs).
TEST(LateInputE2E, TheDefaultDeviceIsRecordedOnceItsSoundServerComesUp) {
  TE2ETempFolder run;
  const std::string root = run / "root";
  std::filesystem::create_directories(root);
  WriteFileText(root + "/Vantorel.ini", "[General]\nInstanceNumber=" + std::to_string(RecordingInstanceNumber(4)) +
                                            "\nFullSlotCount=1\n" +
                                            SoundcardSlotSection(0, "Default", "wav16", 60, "WDM:0", root + "/rec"));
  // The variables TPulseServer gives its clients, before it runs.
  const std::string pulseFolder = run / "pulse";
  std::filesystem::create_directories(pulseFolder + "/xdg");
  std::filesystem::permissions(pulseFolder + "/xdg", std::filesystem::perms::owner_all);
  std::filesystem::create_directories(run / "config/alsa");
  WriteFileText(run / "config/alsa/asoundrc", "pcm.!default { type pulse }\nctl.!default { type pulse }\n");
  std::map<std::string, std::optional<std::string>> env = {{"XDG_RUNTIME_DIR", pulseFolder + "/xdg"},
                                                           {"PULSE_SERVER", "unix:" + pulseFolder + "/pulse.sock"},
                                                           {"PULSE_SOURCE", "logtest.monitor"},
                                                           {"XDG_CONFIG_HOME", run / "config"}};
  const auto started = std::chrono::steady_clock::now();
  auto program = StartVantorel(root, env);
  const auto log = [&] { return ReadFileText(root + "/out.txt"); };
  ASSERT_TRUE(WaitUntil([&] { return log().find("Default: Error recording from") != std::string::npos || !program->Running(); },
                        20000))
      << log();

  std::this_thread::sleep_until(started + std::chrono::seconds(5));
  TPulseServer pulse(pulseFolder);
  WriteTestWav(run / "tone.wav", 60, &Sine1k);
  pulse.Play(run / "tone.wav");
  ASSERT_TRUE(WaitUntil([&] { return log().find("Default: Encoding to file") != std::string::npos || !program->Running(); },
                        20000))
      << log();
  EXPECT_NE(log().find("Default: Input WDM:0 is available, recording starts"), std::string::npos) << log();
  EXPECT_EQ(CountOccurrences(log(), "Default: Error recording from"), 1u) << log();  // not once per try
  const auto toneInFile = [&] {
    const auto rows = ReadRecordings(root + "/rec/Vantorel.db");
    return rows.size() == 1 && LoudFrames(root + "/rec/" + rows[0].FileName) > 32000;
  };
  EXPECT_TRUE(WaitUntil(toneInFile, 20000)) << "the tone is not in the file";
  program->Signal(SIGTERM);
  ASSERT_EQ(program->WaitExit(10000), std::optional<int>(0)) << log();
}
