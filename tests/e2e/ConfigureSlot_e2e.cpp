// The slot dialog in the running program with a display: the tile's dialog of
// a recording slot opened from the keyboard, its format changed from MP3 to
// WAV and OK pressed. The MP3 file ends and the WAV file follows without a
// gap in the recorded input, and the settings file holds the new format after
// the end.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "E2EProcess.h"
#include "E2EServices.h"
#include "XDisplay.h"

namespace {

int DialogInstanceNumber() { return 900000 + static_cast<int>(getpid() % 50000) * 4; }

// A ramp that climbs 4 per frame and wraps every 8192 frames, as in the
// recording tests: a frame's value tells its place in the input.
int16_t Ramp(int64_t n) { return static_cast<int16_t>(4 * (n % 8192) - 16384); }
int64_t RampPosition(int16_t v) { return (static_cast<int64_t>(std::lround((v + 16384) / 4.0)) % 8192 + 8192) % 8192; }
int64_t Wrap(int64_t d) {
  d %= 8192;
  if (d < 0) d += 8192;
  return d > 4096 ? d - 8192 : d;
}

std::vector<std::string> Files(const std::string& iFolder, const std::string& iExtension) {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(iFolder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file() && it->path().extension() == iExtension) files.push_back(it->path().string());
  std::sort(files.begin(), files.end());
  return files;
}

// A key with modifiers (Alt for a label's or a tab's underlined letter), sent
// to the window that has the input focus.
void PressKey(Display* iDisplay, Window iWindow, KeySym iKey, unsigned iState = 0) {
  XSetInputFocus(iDisplay, iWindow, RevertToParent, CurrentTime);
  for (int type : {KeyPress, KeyRelease}) {
    XEvent event{};
    event.xkey.type = type;
    event.xkey.display = iDisplay;
    event.xkey.window = iWindow;
    event.xkey.root = DefaultRootWindow(iDisplay);
    event.xkey.time = CurrentTime;
    event.xkey.same_screen = True;
    event.xkey.state = iState;
    event.xkey.keycode = XKeysymToKeycode(iDisplay, iKey);
    XSendEvent(iDisplay, iWindow, True, type == KeyPress ? KeyPressMask : KeyReleaseMask, &event);
  }
  XFlush(iDisplay);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the program takes each key in turn
}

// A left click at a point of the window.
void Click(Display* iDisplay, Window iWindow, int iX, int iY) {
  for (int type : {ButtonPress, ButtonRelease}) {
    XEvent event{};
    event.xbutton.type = type;
    event.xbutton.display = iDisplay;
    event.xbutton.window = iWindow;
    event.xbutton.root = DefaultRootWindow(iDisplay);
    event.xbutton.time = CurrentTime;
    event.xbutton.x = iX;
    event.xbutton.y = iY;
    event.xbutton.button = Button1;
    event.xbutton.state = type == ButtonRelease ? Button1Mask : 0;
    event.xbutton.same_screen = True;
    XSendEvent(iDisplay, iWindow, True, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &event);
  }
  XFlush(iDisplay);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

// The left channel of an MP3 as ffmpeg decodes it (16-bit).
std::vector<int16_t> DecodeLeft(const std::string& iFile, const std::string& iScratch) {
  const std::string wav = iScratch + "/decoded.wav";
  if (RunCommand({"ffmpeg", "-v", "error", "-y", "-i", iFile, "-c:a", "pcm_s16le", wav}, iScratch + "/ffmpeg.txt") != 0)
    return {};
  return ReadWavLeft(wav);
}

// Ramp position of the last input frame an MP3 holds. The encoder stores its
// delay and padding in the file, so the decoder gives back exactly the frames
// it was fed: the last decoded frame is the last input frame. Its place is
// found by fitting the ramp over half a second before the end (a circular mean
// of position minus index, away from the ramp's jumps, where the codec rings);
// -1 when the tail does not follow the ramp.
int64_t Mp3LastPosition(const std::vector<int16_t>& iSamples) {
  if (iSamples.size() < 48000) return -1;
  const size_t fitEnd = iSamples.size() - 2000, fitStart = fitEnd - 24000;
  double sumSin = 0, sumCos = 0;
  size_t used = 0;
  for (size_t i = fitStart; i < fitEnd; ++i) {
    if (std::abs(iSamples[i]) > 15000) continue;
    const double angle = 2 * M_PI * double(((RampPosition(iSamples[i]) - int64_t(i)) % 8192 + 8192) % 8192) / 8192;
    sumSin += std::sin(angle);
    sumCos += std::cos(angle);
    ++used;
  }
  // Samples that agree on one place give a mean vector near length 1.
  if (used < 10000 || std::hypot(sumSin, sumCos) < 0.9 * double(used)) return -1;
  const int64_t offset = std::lround(std::atan2(sumSin, sumCos) / (2 * M_PI) * 8192);
  return ((int64_t(iSamples.size()) - 1 + offset) % 8192 + 8192) % 8192;
}

}  // namespace

TEST(ConfigureSlotE2E, FormatChangedFromMp3ToWavInTheDialogCutsWithoutAGap) {
  TXvfb x;
  ASSERT_TRUE(x.Ready());
  TE2ETempFolder run;
  TPulseServer pulse(run / "pulse");
  WriteTestWav(run / "ramp.wav", 120, &Ramp);
  pulse.Play(run / "ramp.wav");

  const std::string root = run / "root";
  std::filesystem::create_directories(root);
  const std::string folder = root + "/rec";
  WriteFileText(root + "/Vantorel.ini", "[General]\nInstanceNumber=" + std::to_string(DialogInstanceNumber()) +
                                            "\nDisplayName=Dialog\nFullSlotCount=1\n" +
                                            SoundcardSlotSection(0, "Studio", "mp3", 60, pulse.Device(), folder) +
                                            "Bitrate=320\n");
  auto env = pulse.Env();
  env["DISPLAY"] = x.Name();
  env["QT_QPA_PLATFORM"] = std::nullopt;
  auto program = StartVantorel(root, env);
  const std::string caption = "Quorvane Vantorel [ Dialog / " + std::to_string(DialogInstanceNumber()) + " ]";
  Window window = 0;
  ASSERT_TRUE(WaitUntil([&] { return (window = x.Shown(caption)) != 0 || !program->Running(); }, 20000))
      << ReadFileText(root + "/out.txt");
  ASSERT_TRUE(WaitUntil([&] { return Files(folder, ".mp3").size() == 1 && std::filesystem::file_size(Files(folder, ".mp3")[0]) > 80000; },
                        20000))
      << ReadFileText(root + "/out.txt");

  // A click on the first tile (below the page tabs) focuses it; Return opens
  // the focused tile's settings.
  Display* display = XOpenDisplay(x.Name().c_str());
  ASSERT_NE(display, nullptr);
  PressKey(display, window, XK_Escape);
  Click(display, window, 60, 50);
  PressKey(display, window, XK_Return);
  Window dialog = 0;
  ASSERT_TRUE(WaitUntil([&] { return (dialog = x.Shown("Configure Slot 1")) != 0; }, 10000)) << "the dialog did not open";
  // Output tab, the format list, the first entry beginning with W, OK.
  PressKey(display, dialog, XK_o, Mod1Mask);
  PressKey(display, dialog, XK_f, Mod1Mask);
  PressKey(display, dialog, XK_w);
  PressKey(display, dialog, XK_Return);
  XCloseDisplay(display);
  EXPECT_TRUE(WaitUntil([&] { return x.Shown("Configure Slot 1") == 0; }, 10000)) << "the dialog is still open";
  ASSERT_TRUE(WaitUntil([&] { return !Files(folder, ".wav").empty(); }, 10000)) << ReadFileText(root + "/out.txt");
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::file_size(Files(folder, ".wav")[0]) > 300000; }, 20000));
  ASSERT_TRUE(pulse.Playing()) << "the test signal ended too early";
  program->Signal(SIGTERM);
  ASSERT_EQ(program->WaitExit(10000), std::optional<int>(0)) << ReadFileText(root + "/out.txt");

  EXPECT_NE(ReadFileText(root + "/Vantorel.ini").find("Format=wav16"), std::string::npos);
  const auto mp3s = Files(folder, ".mp3"), wavs = Files(folder, ".wav");
  ASSERT_EQ(mp3s.size(), 1u);
  ASSERT_EQ(wavs.size(), 1u);

  // The WAV is the input unbroken from its first frame on.
  const std::vector<int16_t> wav = ReadWavLeft(wavs[0]);
  ASSERT_GT(wav.size(), 48000u);
  int64_t broken = 0;
  for (size_t i = 1; i < wav.size(); ++i)
    if (Wrap(RampPosition(wav[i]) - RampPosition(wav[i - 1]) - 1) != 0) ++broken;
  EXPECT_EQ(broken, 0) << "frames lost or repeated inside the WAV file";

  // The MP3 reaches up to the WAV's first frame: overlap is allowed (the new
  // file starts before the old one stops), a gap is not.
  const int64_t mp3End = Mp3LastPosition(DecodeLeft(mp3s[0], run.Path()));
  ASSERT_GE(mp3End, 0) << "the MP3's tail does not follow the input";
  const int64_t step = Wrap(RampPosition(wav.front()) - mp3End - 1);
  RecordProperty("CutStepFrames", static_cast<int>(step));
  EXPECT_LE(step, 0) << step << " frames lost at the cut";
  EXPECT_GE(step, -480) << "overlap longer than 10 ms at the cut";
}
