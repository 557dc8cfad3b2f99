#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "shell/CmdLineHelper.h"
#include "slot/SlotEncoderCommand.h"
#include "slot/SlotFileNames.h"
#include "slot/SlotInfo.h"

namespace {

TEST(SlotFileNames, NamingSchemes) {
  const TDateTime t = EncodeDateTime(2024, 3, 5, 14, 7, 9, 0);
  struct {
    const char* fWhat;
    TSlotFileNaming fNaming;
    const char* fRelative;
  } cases[] = {
      {"dated folders", {sfMP3, "", "", false, "news-"}, "2024/03/05/news-2024-03-05-14-07-09.mp3"},
      {"flat", {sfMP3, "", "", true, "news-"}, "news-2024-03-05-14-07-09.mp3"},
      {"pattern with folders, no prefix", {sfMP3, "", "%Y/%M/%D/%h%m", true, "news-"}, "2024/03/05/1407.mp3"},
      {"short year and seconds", {sfCustomWAV, "flac", "%y%M%D-%h%m%s", false, ""}, "240305-140709.flac"},
      {"month and minute told apart", {sfOggVorbis, "", "%M%m", false, ""}, "0307.ogg"},
      {"every occurrence", {sfMP2, "", "%h-%h", false, ""}, "14-14.mp2"},
      {"no placeholder", {sfWAV16, "", "fixed", false, ""}, "fixed.wav"},
      {"wav32", {sfWAV32, "", "x", false, ""}, "x.wav"},
      {"custom without extension", {sfCustomRaw, "", "x", false, ""}, "x."},
  };
  for (const auto& c : cases) EXPECT_EQ(BuildRelativeFileName(c.fNaming, t), c.fRelative) << c.fWhat;
  EXPECT_EQ(BuildFullFileName("/rec/Slot 1", "a.mp3"), "/rec/Slot 1/a.mp3");
  EXPECT_EQ(BuildFullFileName("/rec/Slot 1/", "a.mp3"), "/rec/Slot 1/a.mp3");
}

TEST(SlotFileNames, TakenNamesGetANumber) {
  std::set<std::string> taken{"2024/03/05/1400.mp3", "2024/03/05/1400_2.mp3", "fixed"};
  auto isTaken = [&](const std::string& n) { return taken.count(n) > 0; };
  EXPECT_EQ(UniqueRelativeFileName("2024/03/05/1500.mp3", isTaken), "2024/03/05/1500.mp3");
  EXPECT_EQ(UniqueRelativeFileName("2024/03/05/1400.mp3", isTaken), "2024/03/05/1400_3.mp3");
  EXPECT_EQ(UniqueRelativeFileName("fixed", isTaken), "fixed_2");
  taken.insert("a.b/c");
  EXPECT_EQ(UniqueRelativeFileName("a.b/c", isTaken), "a.b/c_2") << "a dot in a folder is no extension";
}

TEST(SlotFileNames, CueSheetFileLine) {
  EXPECT_EQ(CueSheetFileLine("/rec/2024/03/05/2024-03-05-14-00-00.mp3"), "FILE \"2024-03-05-14-00-00.mp3\" MP3");
  EXPECT_EQ(CueSheetFileLine("/rec/a.wav"), "FILE \"a.wav\" WAVE");
  EXPECT_EQ(CueSheetFileLine("/rec/a.flac"), "FILE \"a.flac\" FLAC");
}

TEST(SlotEncoderCommand, ExactCommandLines) {
  struct {
    const char* fWhat;
    TEncoderSettings fSettings;
    const char* fTarget;
    const char* fCommand;
    DWORD fFlags;
  } cases[] = {
      {"mp3 stereo", {sfMP3, smStereo, 44100, 128, "", ""}, "/r/a.mp3",
       "\"lame\" --flush -r -s 44100  -b 128 -m s  - \"/r/a.mp3\"", BASS_ENCODE_NOHEAD},
      {"mp3 mono to stdout", {sfMP3, smMono, 48000, 64, "-q 2", ""}, "-",
       "\"lame\" --flush -r -s 48000 -a -b 64 -m m -q 2 - -", BASS_ENCODE_NOHEAD},
      {"mp2 joint stereo", {sfMP2, smJointStereo, 48000, 192, "", "/opt/twolame"}, "/r/a.mp2",
       "\"/opt/twolame\" -m j -r -s 48000 -b 192  - \"/r/a.mp2\"", BASS_ENCODE_NOHEAD},
      {"ogg mono", {sfOggVorbis, smMono, 44100, 96, "-Q", ""}, "/r/a.ogg",
       "\"oggenc\" -r -R 44100 -b 96 -m 16 --downmix -Q -o \"/r/a.ogg\" -", BASS_ENCODE_NOHEAD},
      {"wav16", {sfWAV16, smStereo, 44100, 128, "ignored", "ignored"}, "/r/a.wav", "/r/a.wav",
       BASS_ENCODE_PCM | BASS_ENCODE_FP_16BIT},
      {"wav32", {sfWAV32, smStereo, 44100, 128, "", ""}, "/r/a.wav", "/r/a.wav", BASS_ENCODE_PCM},
      {"custom wav", {sfCustomWAV, smStereo, 44100, 128, "-q 5 -o $FILENAME -", "flac"}, "/r/a.flac",
       "\"flac\" -q 5 -o \"/r/a.flac\" -", 0},
      {"custom raw, placeholder twice", {sfCustomRaw, smStereo, 44100, 128, "$FILENAME $FILENAME", "enc"}, "-",
       "\"enc\" - -", BASS_ENCODE_NOHEAD},
      {"custom without program", {sfCustomRaw, smStereo, 44100, 128, "x", ""}, "/r/a", "\"\" x", BASS_ENCODE_NOHEAD},
  };
  for (const auto& c : cases) {
    const TEncoderCommand command = BuildEncoderCommandLine(c.fSettings, c.fTarget);
    EXPECT_EQ(command.fCommand, c.fCommand) << c.fWhat;
    EXPECT_EQ(command.fFlags, c.fFlags) << c.fWhat;
  }
  EXPECT_THROW(
      {
        try {
          BuildEncoderCommandLine({sfNone, smStereo, 44100, 128, "", ""}, "-");
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "Invalid format");
          throw;
        }
      },
      std::runtime_error);
}

TEST(SlotEncoderCommand, ArgumentsReachTheProgramIntact) {
  // The engine splits the command text into the child's arguments: doubled
  // blanks vanish and a quoted target with blanks stays one argument.
  const TEncoderCommand command =
      BuildEncoderCommandLine({sfMP3, smStereo, 44100, 128, "", ""}, "/rec/Slot 1/a b.mp3");
  const std::vector<std::string> expected{"lame", "--flush", "-r", "-s", "44100", "-b", "128",
                                          "-m", "s", "-", "/rec/Slot 1/a b.mp3"};
  EXPECT_EQ(CmdLineSplit(command.fCommand), expected);
}

}  // namespace
