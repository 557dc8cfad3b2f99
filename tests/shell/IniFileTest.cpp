#include "shell/IniFile.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "TempFolder.h"
#include "support/FileSizeLimit.h"

namespace {

class IniFileTest : public testing::Test {
protected:
  std::string Path() const { return fFolder / "Vantorel.ini"; }
  TTempFolder fFolder;
};

TEST_F(IniFileTest, MissingFileGivesDefaultsAndIsNotCreatedByReads) {
  TIniFile ini(Path());
  EXPECT_EQ(ini.FileName(), Path());
  EXPECT_EQ(ini.ReadString("General", "DatabaseFolder", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadInteger("General", "ColumnCount", 1), 1);
  EXPECT_FALSE(ini.ReadBool("General", "VerticalAutoSize", false));
  EXPECT_TRUE(ini.ReadSwitch("General", "CloseConfirmation", true));
  EXPECT_FALSE(ini.SectionExists("MainWindowPosition"));
  ini.DeleteKey("General", "ColumnCount");
  ini.UpdateFile();
  EXPECT_FALSE(std::filesystem::exists(Path()));
}

TEST_F(IniFileTest, HandWrittenFileKeepsCommentsUnknownKeysAndMatchesWithoutCase) {
  WriteWholeFile(Path(),
                 "; written by hand\n"
                 "[General]\n"
                 "ColumnCount = 3 \n"
                 "Unknown=keep me\n"
                 "\n"
                 "# another comment\n"
                 "[Other]\n"
                 "x=1\n");
  TIniFile ini(Path());
  EXPECT_EQ(ini.ReadInteger("GENERAL", "columncount", 1), 3);
  EXPECT_EQ(ini.ReadString("general", "UNKNOWN", ""), "keep me");
  EXPECT_FALSE(ini.SectionExists("; written by hand"));

  ini.WriteInteger("general", "COLUMNCOUNT", 5);  // replaces the line where it stands
  ini.WriteBool("General", "VerticalAutoSize", true);  // new key after the section's last key
  ini.WriteString("Webserver", "Port", "5252");        // new section at the end
  EXPECT_EQ(ReadWholeFile(Path()),
            "; written by hand\n"
            "[General]\n"
            "COLUMNCOUNT=5\n"
            "Unknown=keep me\n"
            "VerticalAutoSize=1\n"
            "\n"
            "# another comment\n"
            "[Other]\n"
            "x=1\n"
            "\n"
            "[Webserver]\n"
            "Port=5252\n");
  TIniFile fresh(Path());
  EXPECT_EQ(fresh.ReadInteger("General", "ColumnCount", 1), 5);
  EXPECT_TRUE(fresh.ReadBool("General", "VerticalAutoSize", false));
}

TEST_F(IniFileTest, ValueIsTextAfterFirstEqualsSignTrimmed) {
  WriteWholeFile(Path(), "[S]\nUrl = http://h/?a=b&c=d  \nEmpty=\n  Spaced Key\t=\tv\n");
  TIniFile ini(Path());
  EXPECT_EQ(ini.ReadString("S", "Url", ""), "http://h/?a=b&c=d");
  EXPECT_EQ(ini.ReadString("S", "Empty", "dflt"), "");  // present but empty is not missing
  EXPECT_EQ(ini.ReadString("S", "spaced key", ""), "v");
}

struct TIntegerCase {
  const char* text;
  int expected;  // the default is 77
};

TEST_F(IniFileTest, IntegerEncodings) {
  const TIntegerCase cases[] = {
      {"0x3", 3},        {"0X1f", 31},      {"$FF", 255},          {"-12", -12},
      {"+7", 7},         {"2147483647", 2147483647}, {"-2147483648", INT32_MIN},
      {"$FFFFFFFF", -1}, {"-$10", -16},     {"2147483648", 77},    {"0x100000000", 77},
      {"12abc", 77},     {"", 77},          {"0x", 77},            {"$", 77},
      {"-", 77},         {"1 2", 77},       {"3.5", 77},           {"0xG", 77},
  };
  TIniFile ini(Path());
  {
    TIniUpdate batch(ini);
    for (size_t i = 0; i < std::size(cases); ++i) ini.WriteString("N", "k" + std::to_string(i), cases[i].text);
    batch.Commit();
  }
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(ini.ReadInteger("N", "k" + std::to_string(i), 77), cases[i].expected) << '"' << cases[i].text << '"';
  EXPECT_EQ(ini.ReadInteger("N", "missing", 77), 77);
}

TEST_F(IniFileTest, SwitchesAndFlags) {
  WriteWholeFile(Path(), "[S]\non=on\nOn=x\nupper=ON\noff=off\nempty=\nf1=1\nf0=0\nf2=2\nfx=yes\n");
  TIniFile ini(Path());
  EXPECT_TRUE(ini.ReadSwitch("S", "on", false));
  EXPECT_FALSE(ini.ReadSwitch("S", "upper", true));  // only exactly "on" is true
  EXPECT_FALSE(ini.ReadSwitch("S", "off", true));
  EXPECT_FALSE(ini.ReadSwitch("S", "empty", true));
  EXPECT_TRUE(ini.ReadSwitch("S", "missing", true));
  EXPECT_TRUE(ini.ReadBool("S", "f1", false));
  EXPECT_FALSE(ini.ReadBool("S", "f0", true));
  EXPECT_TRUE(ini.ReadBool("S", "f2", false));
  EXPECT_TRUE(ini.ReadBool("S", "fx", true));  // unreadable: the default
  EXPECT_FALSE(ini.ReadBool("S", "fx", false));

  ini.WriteSwitch("S", "w1", true);
  ini.WriteSwitch("S", "w0", false);
  ini.WriteBool("S", "b1", true);
  ini.WriteBool("S", "b0", false);
  ini.WriteInteger("S", "neg", -42);
  std::string text = ReadWholeFile(Path());
  for (const char* line : {"w1=on\n", "w0=off\n", "b1=1\n", "b0=0\n", "neg=-42\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST_F(IniFileTest, Utf8RoundTripAndValuesCutAt2047Characters) {
  const std::string name = "Radio Z\xC3\xBCrich \xE2\x80\x93 \xE6\x97\xA5\xE6\x9C\xAC";
  TIniFile ini(Path());
  ini.WriteString("Slot0", "Name", name);
  ini.WriteString("Slot0", "Folder", "/srv/aufnahmen/\xC3\xA4\xC3\xB6\xC3\xBC");
  TIniFile fresh(Path());
  EXPECT_EQ(fresh.ReadString("slot0", "name", ""), name);
  EXPECT_EQ(fresh.ReadString("Slot0", "Folder", ""), "/srv/aufnahmen/\xC3\xA4\xC3\xB6\xC3\xBC");

  const std::string ascii(3000, 'a');
  ini.WriteString("Long", "Ascii", ascii);
  EXPECT_EQ(fresh.ReadString("Long", "Ascii", ""), std::string(2047, 'a'));
  EXPECT_NE(ReadWholeFile(Path()).find(ascii), std::string::npos);  // the file keeps it whole

  // 2046 single-byte characters, then two-byte ones: the cut keeps the 2047th whole
  const std::string mixed = std::string(2046, 'b') + "\xC3\xA9\xC3\xA9\xC3\xA9";
  ini.WriteString("Long", "Mixed", mixed);
  EXPECT_EQ(fresh.ReadString("Long", "Mixed", ""), std::string(2046, 'b') + "\xC3\xA9");
}

TEST_F(IniFileTest, LineBreakInValueCannotForgeKeysOrSections) {
  TIniFile ini(Path());
  ini.WriteString("Slot0", "Name", "evil\n[Webserver]\nAnonymousAccess=Admin");
  TIniFile fresh(Path());
  EXPECT_FALSE(fresh.SectionExists("Webserver"));
  EXPECT_EQ(fresh.ReadString("Slot0", "Name", ""), "evil [Webserver] AnonymousAccess=Admin");
}

TEST_F(IniFileTest, DeleteKeyAndSectionExists) {
  WriteWholeFile(Path(), "[ASIODevice0]\nChannelBundle0=2\nChannelBundle1=2\nchannelbundle1=9\n[Empty]\n");
  TIniFile ini(Path());
  EXPECT_TRUE(ini.SectionExists("asiodevice0"));
  EXPECT_FALSE(ini.SectionExists("Empty"));  // a header alone holds no key
  ini.DeleteKey("ASIODevice0", "CHANNELBUNDLE1");
  EXPECT_EQ(ini.ReadInteger("ASIODevice0", "ChannelBundle1", -1), -1);  // duplicates go too
  ini.DeleteKey("ASIODevice0", "ChannelBundle0");
  EXPECT_FALSE(ini.SectionExists("ASIODevice0"));
  EXPECT_EQ(ReadWholeFile(Path()), "[ASIODevice0]\n[Empty]\n");
}

TEST_F(IniFileTest, ChangesMadeOnDiskAreSeen) {
  TIniFile ini(Path());
  EXPECT_TRUE(ini.ReadSwitch("General", "CloseConfirmation", true));
  WriteWholeFile(Path(), "[General]\nCloseConfirmation=off\n");
  EXPECT_EQ(ini.ReadString("General", "CloseConfirmation", "on"), "off");
  WriteWholeFile(Path(), "[General]\nCloseConfirmation=on\nColumnCount=2\n");
  EXPECT_EQ(ini.ReadString("General", "CloseConfirmation", ""), "on");
  // a write merges into the file as it is now, not into an old copy
  WriteWholeFile(Path(), "[General]\nColumnCount=9\nHandAdded=yes\n");
  ini.WriteInteger("General", "VerticalAutoSize", 0);
  TIniFile fresh(Path());
  EXPECT_EQ(fresh.ReadInteger("General", "ColumnCount", 0), 9);
  EXPECT_EQ(fresh.ReadString("General", "HandAdded", ""), "yes");
  std::filesystem::remove(Path());
  EXPECT_EQ(ini.ReadInteger("General", "ColumnCount", 1), 1);
}

TEST_F(IniFileTest, RefusedWriteRaisesAndIsNotReadBack) {
  const std::string path = fFolder / "missing/Vantorel.ini";
  TIniFile ini(path);
  try {
    ini.WriteString("General", "ColumnCount", "3");
    FAIL() << "no error raised";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
  EXPECT_EQ(ini.ReadInteger("General", "ColumnCount", 1), 1);

  // a folder standing where the file should be
  std::filesystem::create_directory(Path());
  TIniFile blocked(Path());
  EXPECT_THROW(blocked.WriteSwitch("Webserver", "Enabled", true), std::runtime_error);
  EXPECT_FALSE(blocked.ReadSwitch("Webserver", "Enabled", false));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(fFolder.Path()),
                          std::filesystem::directory_iterator()),
            1)
      << "no temporary file left behind";
}

TEST_F(IniFileTest, WriteFailingHalfWayKeepsTheOldFile) {
  TIniFile ini(Path());
  ini.WriteString("General", "ColumnCount", "2");
  const std::string before = ReadWholeFile(Path());
  {
    TFileSizeLimit limit(4096);
    EXPECT_THROW(ini.WriteString("Slot0", "Name", std::string(10000, 'n')), std::runtime_error);
    TIniUpdate batch(ini);
    ini.WriteString("Slot0", "Name", std::string(10000, 'n'));
    EXPECT_THROW(batch.Commit(), std::runtime_error);
  }
  EXPECT_EQ(ReadWholeFile(Path()), before);
  EXPECT_EQ(ini.ReadString("Slot0", "Name", "none"), "none");
  EXPECT_EQ(ini.ReadInteger("General", "ColumnCount", 1), 2);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(fFolder.Path()),
                          std::filesystem::directory_iterator()),
            1)
      << "no temporary file left behind";
}

TEST_F(IniFileTest, UnreadableFileIsNeitherWaitedForNorOverwritten) {
  ASSERT_EQ(mkfifo(Path().c_str(), 0600), 0);  // opening a FIFO for reading would block
  TIniFile ini(Path());
  EXPECT_EQ(ini.ReadInteger("General", "ColumnCount", 1), 1);
  EXPECT_THROW(ini.WriteInteger("General", "ColumnCount", 3), std::runtime_error);
  struct stat st;
  ASSERT_EQ(lstat(Path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "what could not be read must not be replaced";
}

TEST_F(IniFileTest, TemporaryFilesOfDeadWritersAreRemoved) {
  const std::string dead = fFolder / ".Vantorel.ini.999999999.0.tmp";  // beyond any pid
  const std::string alive = fFolder / (".Vantorel.ini." + std::to_string(getpid()) + ".77.tmp");
  const std::string foreign = fFolder / ".other.ini.999999999.0.tmp";
  for (const auto& path : {dead, alive, foreign}) WriteWholeFile(path, "[Half");
  TIniFile ini(Path());
  ini.WriteString("General", "ColumnCount", "2");
  EXPECT_FALSE(std::filesystem::exists(dead));
  EXPECT_TRUE(std::filesystem::exists(alive)) << "may still be renamed by its writer";
  EXPECT_TRUE(std::filesystem::exists(foreign));
}

TEST_F(IniFileTest, BatchWritesTheFileOnceAtTheOutermostEnd) {
  TIniFile ini(Path());
  ini.WriteString("General", "ColumnCount", "1");
  struct stat before;
  ASSERT_EQ(stat(Path().c_str(), &before), 0);
  {
    TIniUpdate outer(ini);
    {
      TIniUpdate inner(ini);
      for (int slot = 0; slot < 255; ++slot)
        for (int key = 0; key < 60; ++key)
          ini.WriteInteger("Slot" + std::to_string(slot), "Key" + std::to_string(key), slot * 100 + key);
      ini.DeleteKey("General", "ColumnCount");
      inner.Commit();
    }
    EXPECT_EQ(ini.ReadInteger("Slot254", "Key59", -1), 25459);  // visible in memory
    struct stat during;
    ASSERT_EQ(stat(Path().c_str(), &during), 0);
    EXPECT_EQ(during.st_ino, before.st_ino) << "the file was rewritten inside the batch";
    EXPECT_EQ(during.st_size, before.st_size);
    outer.Commit();
  }
  TIniFile fresh(Path());
  EXPECT_EQ(fresh.ReadInteger("Slot254", "Key59", -1), 25459);
  EXPECT_EQ(fresh.ReadInteger("Slot0", "Key0", -1), 0);
  EXPECT_EQ(fresh.ReadInteger("General", "ColumnCount", -1), -1);
}

TEST_F(IniFileTest, BatchLeftByExceptionEndsWithoutThrowingAgain) {
  TIniFile ini(fFolder / "missing/Vantorel.ini");
  EXPECT_THROW(
      {
        TIniUpdate batch(ini);
        ini.WriteString("S", "k", "v");
        throw std::logic_error("flush broke off");
      },
      std::logic_error);
  // the batch is over: the next write goes to the file (and fails loudly)
  EXPECT_THROW(ini.WriteString("S", "k", "v"), std::runtime_error);
  EXPECT_EQ(ini.ReadString("S", "k", "none"), "none");
}

TEST_F(IniFileTest, UpdateFileInsideBatchWritesPendingChanges) {
  TIniFile ini(Path());
  TIniUpdate batch(ini);
  ini.WriteString("EMail", "SMTPPort", "25");
  EXPECT_FALSE(std::filesystem::exists(Path()));
  ini.UpdateFile();
  EXPECT_EQ(ReadWholeFile(Path()), "[EMail]\nSMTPPort=25\n");
  batch.Commit();
}

TEST_F(IniFileTest, KeepsByteOrderMarkLineEndingsModeAndSymlink) {
  const std::string real = fFolder / "real.ini";
  WriteWholeFile(real, "\xEF\xBB\xBF[General]\r\nColumnCount=2\r\n");
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  std::filesystem::create_symlink(real, Path());
  TIniFile ini(Path());
  EXPECT_EQ(ini.ReadInteger("General", "ColumnCount", 1), 2);
  ini.WriteInteger("General", "ColumnCount", 4);
  EXPECT_TRUE(std::filesystem::is_symlink(Path()));
  EXPECT_EQ(ReadWholeFile(real), "\xEF\xBB\xBF[General]\r\nColumnCount=4\r\n");
  struct stat st;
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(IniFileTest, ReaderNeverSeesPartialFile) {
  TIniFile ini(Path());
  const std::string payload(20000, 'x');
  ini.WriteString("A", "Payload", payload);
  ini.WriteString("Z", "End", "marker");

  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, bad{0};
  std::thread reader([&] {
    while (!done.load()) {
      std::string text = ReadWholeFile(Path());
      if (text.size() < payload.size() || text.find("[Z]\nEnd=marker\n") == std::string::npos) ++bad;
      ++reads;
    }
  });
  for (int i = 0; i < 200; ++i) ini.WriteString("A", "Payload", payload + std::to_string(i % 10));
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(IniFileTest, SharedBetweenThreads) {
  TIniFile ini(Path());
  std::thread writer([&] {
    TIniUpdate batch(ini);
    for (int i = 0; i < 500; ++i) ini.WriteInteger("W", "k" + std::to_string(i % 20), i);
    batch.Commit();
  });
  for (int i = 0; i < 500; ++i) (void)ini.ReadString("W", "k" + std::to_string(i % 20), "");
  writer.join();
  EXPECT_EQ(TIniFile(Path()).ReadInteger("W", "k19", -1), 499);
}

}  // namespace
