// Encoders on a mixer: in-process callbacks, command-line encoders, WAV files,
// dead and stalled children.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "EngineTestSupport.h"
#include "support/FileSizeLimit.h"
#include "audio/engine/Engine.h"
#include "audio/engine/EngineTestHook.h"

using namespace vt::engine::testing;
using namespace std::chrono_literals;

namespace {

constexpr DWORD kDecodeMixer = BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE;

std::string ReadFile(const std::string& iPath) {
  std::ifstream in(iPath, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

template <class F>
bool WaitFor(F iCondition, std::chrono::milliseconds iTimeout = 10s) {
  const auto until = std::chrono::steady_clock::now() + iTimeout;
  while (!iCondition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

struct TEncoderFixture : ::testing::Test {
  void SetUp() override {
    BASS_SetConfig(BASS_CONFIG_ENCODE_QUEUE, 2000);
    fDir = TempDir();
    fMixer = BASS_Mixer_StreamCreate(44100, 2, kDecodeMixer);
    fPush = BASS_StreamCreate(44100, 2, BASS_STREAM_DECODE, STREAMPROC_PUSH, nullptr);
    BASS_Mixer_StreamAddChannel(fMixer, fPush, 0);
  }
  void TearDown() override {
    BASS_StreamFree(fPush);
    BASS_StreamFree(fMixer);
    EXPECT_TRUE(vt::engine::test::WaitForEncoders(20s));
    RunCommand("rm -rf " + fDir);
  }
  // Pushes and pulls iFrames of a known 16-bit pattern; returns the pattern.
  std::vector<int16_t> Run(size_t iFrames) {
    std::vector<int16_t> pattern(iFrames * 2);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = int16_t((i * 7919) % 60000 - 30000);
    std::vector<float> sink(2 * 1000);
    for (size_t at = 0; at < iFrames; at += 1000) {
      const size_t n = std::min<size_t>(1000, iFrames - at);
      BASS_StreamPutData(fPush, pattern.data() + 2 * at, DWORD(n * 4));
      BASS_ChannelGetData(fMixer, sink.data(), DWORD(n * 8));
    }
    return pattern;
  }
  std::string fDir;
  DWORD fMixer = 0, fPush = 0;
};

void Collect(HENCODE, DWORD, const void* buffer, DWORD length, void* user) {
  auto* out = static_cast<std::string*>(user);
  out->append(static_cast<const char*>(buffer), length);
}

}  // namespace

// Two encoders on one mixer each get every block, converted to 16 bits, and the
// one without NOHEAD gets a WAV header first.
TEST_F(TEncoderFixture, EveryEncoderReceivesEveryBlock) {
  std::string raw, withHeader;
  const HENCODE a = BASS_Encode_Start(fMixer, nullptr, BASS_ENCODE_NOHEAD | BASS_ENCODE_FP_16BIT, Collect, &raw);
  const HENCODE b = BASS_Encode_Start(fMixer, nullptr, BASS_ENCODE_FP_16BIT, Collect, &withHeader);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  const auto pattern = Run(20000);
  BASS_Encode_Stop(a);
  BASS_Encode_Stop(b);
  ASSERT_TRUE(vt::engine::test::WaitForEncoders(10s));
  const std::string expect(reinterpret_cast<const char*>(pattern.data()), pattern.size() * 2);
  EXPECT_EQ(raw, expect);
  ASSERT_EQ(withHeader.size(), expect.size() + 44);
  EXPECT_EQ(withHeader.substr(0, 4), "RIFF");
  EXPECT_EQ(withHeader.substr(44), expect);
}

// Many times round the smallest queue: every sample reaches the encoder as it
// was converted into the queue, in each sample size (3-byte samples included).
TEST_F(TEncoderFixture, QueuesStayExactWhereTheyWrap) {
  BASS_SetConfig(BASS_CONFIG_ENCODE_QUEUE, 1);  // the least the engine allows: two blocks
  struct TCase {
    DWORD fFlag;
    size_t fBytes;
  } cases[] = {{BASS_ENCODE_FP_16BIT, 2}, {BASS_ENCODE_FP_24BIT, 3}, {0, 4}};
  std::string got[3];
  HENCODE encoders[3];
  for (int i = 0; i < 3; ++i) {
    encoders[i] = BASS_Encode_Start(fMixer, nullptr, BASS_ENCODE_NOHEAD | cases[i].fFlag, Collect, &got[i]);
    ASSERT_NE(encoders[i], 0u);
  }
  std::vector<int16_t> pattern;
  // Blocks of over a quarter of a queue, which wake its thread at once.
  std::vector<float> sink(2 * 3000);
  for (size_t at = 0; at < 108000; at += 3000) {  // thirteen times round
    std::vector<int16_t> block(2 * 3000);
    for (size_t i = 0; i < block.size(); ++i) block[i] = int16_t(((2 * at + i) * 7919) % 60000 - 30000);
    pattern.insert(pattern.end(), block.begin(), block.end());
    BASS_StreamPutData(fPush, block.data(), DWORD(block.size() * 2));
    BASS_ChannelGetData(fMixer, sink.data(), DWORD(sink.size() * 4));
    for (HENCODE e : encoders)  // the queues are small: give the encoder threads time
      ASSERT_TRUE(WaitFor([e] { return BASS_Encode_GetCount(e, BASS_ENCODE_COUNT_QUEUE) == 0; }));
  }
  for (HENCODE e : encoders) {
    EXPECT_EQ(BASS_Encode_GetCount(e, BASS_ENCODE_COUNT_QUEUE_FAIL), 0u);
    BASS_Encode_Stop(e);
  }
  ASSERT_TRUE(vt::engine::test::WaitForEncoders(10s));
  for (int i = 0; i < 3; ++i) {
    std::string expect;
    for (const int16_t v : pattern) {
      if (cases[i].fBytes == 4) {
        const float f = v / 32768.0f;
        expect.append(reinterpret_cast<const char*>(&f), 4);
      } else {
        const int32_t s = cases[i].fBytes == 3 ? v * 256 : v;
        for (size_t b = 0; b < cases[i].fBytes; ++b) expect.push_back(char(s >> (8 * b)));
      }
    }
    EXPECT_TRUE(got[i] == expect) << cases[i].fBytes << "-byte samples: " << got[i].size() << " bytes, "
                                  << expect.size() << " expected";
  }
}

// A command-line encoder gets the exact PCM on its stdin (tee copies it to a file).
TEST_F(TEncoderFixture, CommandLineEncoderReceivesExactBytes) {
  const std::string out = fDir + "/copy.raw";
  const HENCODE e = BASS_Encode_Start(fMixer, ("tee \"" + out + "\"").c_str(),
                                      BASS_ENCODE_NOHEAD | BASS_ENCODE_FP_16BIT | BASS_ENCODE_QUEUE | BASS_UNICODE, nullptr, nullptr);
  ASSERT_NE(e, 0u) << BASS_ErrorGetCode();
  EXPECT_EQ(BASS_Encode_IsActive(e), DWORD(BASS_ACTIVE_PLAYING));
  const auto pattern = Run(44100);
  ASSERT_TRUE(BASS_Encode_Stop(e));
  ASSERT_TRUE(vt::engine::test::WaitForEncoders(10s));
  EXPECT_EQ(ReadFile(out), std::string(reinterpret_cast<const char*>(pattern.data()), pattern.size() * 2));
}

// Real encoders write files that decode to the length that was recorded.
TEST_F(TEncoderFixture, ExternalEncodersWriteDecodableFiles) {
  struct TCase {
    const char* fName;
    std::string fCommand;
  } cases[] = {
      {"out.mp3", "lame --flush -r -s 44100 -b 128 -m j - \"" + fDir + "/out.mp3\""},
      {"out.mp2", "twolame -m s -r -s 44100 -b 128 - \"" + fDir + "/out.mp2\""},
      {"out.ogg", "oggenc -Q -r -R 44100 -B 16 -C 2 -b 128 -o \"" + fDir + "/out.ogg\" -"},
  };
  // The test pulls far faster than real time: the queue must hold it all.
  BASS_SetConfig(BASS_CONFIG_ENCODE_QUEUE, 10000);
  std::vector<HENCODE> encoders;
  for (const auto& c : cases) {
    encoders.push_back(BASS_Encode_Start(fMixer, c.fCommand.c_str(), BASS_ENCODE_NOHEAD | BASS_ENCODE_FP_16BIT, nullptr, nullptr));
    ASSERT_NE(encoders.back(), 0u) << c.fName;
  }
  Run(3 * 44100);
  for (HENCODE e : encoders) BASS_Encode_Stop(e);
  ASSERT_TRUE(vt::engine::test::WaitForEncoders(20s));
  for (const auto& c : cases) {
    const std::string seconds = RunCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 \"" + fDir + "/" + c.fName + "\"");
    EXPECT_NEAR(atof(seconds.c_str()), 3.0, 0.1) << c.fName << ": " << seconds;
  }
}

TEST_F(TEncoderFixture, StartFailuresAreReported) {
  EXPECT_EQ(BASS_Encode_Start(fMixer, "\"\" -r - out.mp3", BASS_ENCODE_NOHEAD, nullptr, nullptr), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
  EXPECT_EQ(BASS_Encode_Start(fMixer, "/no/such/encoder -", 0, nullptr, nullptr), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
  EXPECT_EQ(BASS_Encode_Start(fMixer, "/no/such/dir/x.wav", BASS_ENCODE_PCM, nullptr, nullptr), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CREATE);
  EXPECT_EQ(BASS_Encode_Start(424242, "cat", 0, nullptr, nullptr), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

// A child that dies is reported by IsActive and by the notify callback, and the
// mixer goes on.
TEST_F(TEncoderFixture, KilledChildIsReported) {
  const HENCODE e = BASS_Encode_Start(fMixer, "cat", BASS_ENCODE_NOHEAD | BASS_ENCODE_FP_16BIT, nullptr, nullptr);
  ASSERT_NE(e, 0u);
  std::atomic<DWORD> status{0};
  ASSERT_TRUE(BASS_Encode_SetNotify(e, [](HENCODE, DWORD s, void* u) { static_cast<std::atomic<DWORD>*>(u)->store(s); }, &status));
  Run(4410);
  const pid_t pid = vt::engine::test::EncoderProcessId(e);
  ASSERT_GT(pid, 0);
  kill(pid, SIGKILL);
  EXPECT_TRUE(WaitFor([&] { return BASS_Encode_IsActive(e) == BASS_ACTIVE_STOPPED; }));
  EXPECT_TRUE(WaitFor([&] { return status.load() == BASS_ENCODE_NOTIFY_ENCODER; }));
  Run(44100);  // a dead encoder costs the mixer nothing
  EXPECT_TRUE(BASS_Encode_Stop(e));
  EXPECT_EQ(BASS_Encode_IsActive(e), DWORD(BASS_ACTIVE_STOPPED));
}

// A child that never reads fills its queue; blocks are then dropped and counted,
// and neither the pull nor the stop waits for the child.
TEST_F(TEncoderFixture, StalledChildDropsWithoutHoldingTheMixer) {
  BASS_SetConfig(BASS_CONFIG_ENCODE_QUEUE, 500);
  const HENCODE e = BASS_Encode_Start(fMixer, "sleep 1000", BASS_ENCODE_NOHEAD | BASS_ENCODE_FP_16BIT | BASS_ENCODE_QUEUE, nullptr, nullptr);
  ASSERT_NE(e, 0u);
  const pid_t pid = vt::engine::test::EncoderProcessId(e);
  Run(30 * 44100);  // far more than the queue and the pipe hold, pulled without pause
  EXPECT_GT(BASS_Encode_GetCount(e, BASS_ENCODE_COUNT_QUEUE_FAIL), 0u);
  EXPECT_LE(BASS_Encode_GetCount(e, BASS_ENCODE_COUNT_QUEUE), BASS_Encode_GetCount(e, BASS_ENCODE_COUNT_QUEUE_LIMIT));
  EXPECT_EQ(BASS_Encode_IsActive(e), DWORD(BASS_ACTIVE_PLAYING));
  EXPECT_TRUE(BASS_Encode_Stop(e));  // returns at once; the child is reaped in the background
  kill(pid, SIGKILL);
}

// WAV files written in-process: exact samples and a header that matches.
TEST_F(TEncoderFixture, WavFilesHoldTheSamples) {
  const std::string wav16 = fDir + "/a.wav", wav32 = fDir + "/b.wav";
  const HENCODE a = BASS_Encode_Start(fMixer, wav16.c_str(), BASS_ENCODE_PCM | BASS_ENCODE_FP_16BIT | BASS_ENCODE_QUEUE, nullptr, nullptr);
  const HENCODE b = BASS_Encode_Start(fMixer, wav32.c_str(), BASS_ENCODE_PCM | BASS_ENCODE_QUEUE, nullptr, nullptr);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  const auto pattern = Run(44100);
  BASS_Encode_Stop(a);
  BASS_Encode_Stop(b);
  ASSERT_TRUE(vt::engine::test::WaitForEncoders(10s));
  const std::string data = ReadFile(wav16);
  ASSERT_EQ(data.size(), 44 + pattern.size() * 2);
  EXPECT_EQ(data.substr(44), std::string(reinterpret_cast<const char*>(pattern.data()), pattern.size() * 2));
  EXPECT_EQ(RunCommand("soxi -s \"" + wav16 + "\""), "44100\n");
  EXPECT_EQ(RunCommand("soxi -s \"" + wav32 + "\""), "44100\n");
  EXPECT_EQ(RunCommand("soxi -e \"" + wav32 + "\""), "Floating Point PCM\n");
}

// A WAV file on a full disk. Too full for the header: the start fails and the
// empty file it made is gone (retried every few seconds, such files would pile
// up with no database row to find them by). Full in mid-recording: the encoder
// ends and says so, and the header covers every whole frame that reached the
// file.
TEST_F(TEncoderFixture, WavFileOnAFullDisk) {
  const std::string early = fDir + "/early.wav", late = fDir + "/late.wav";
  std::atomic<DWORD> status{0};
  HENCODE e = 0;
  std::vector<int16_t> pattern;
  {
    TFileSizeLimit full(20);
    EXPECT_EQ(BASS_Encode_Start(fMixer, early.c_str(), BASS_ENCODE_PCM | BASS_ENCODE_FP_16BIT, nullptr, nullptr), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CREATE);
  }
  EXPECT_NE(access(early.c_str(), F_OK), 0) << "a failed start left its file behind";
  // The disk fills part-way into a frame: in the first write, and (3-byte
  // samples) in the second one, after a first write of a whole number of frames
  // but not of a round number of bytes.
  const struct {
    DWORD fFlag;
    size_t fSampleBytes, fRoom;
  } cases[] = {{BASS_ENCODE_FP_16BIT, 2, 10003}, {BASS_ENCODE_FP_24BIT, 3, 66539}};
  for (const auto& c : cases) {
    const size_t frame = 2 * c.fSampleBytes;
    {
      status = 0;
      TFileSizeLimit full(44 + c.fRoom);
      e = BASS_Encode_Start(fMixer, late.c_str(), BASS_ENCODE_PCM | c.fFlag, nullptr, nullptr);
      ASSERT_NE(e, 0u);
      ASSERT_TRUE(BASS_Encode_SetNotify(e, [](HENCODE, DWORD s, void* u) { static_cast<std::atomic<DWORD>*>(u)->store(s); }, &status));
      pattern = Run(44100);
      EXPECT_TRUE(WaitFor([&] { return BASS_Encode_IsActive(e) == BASS_ACTIVE_STOPPED; }));
      EXPECT_TRUE(WaitFor([&] { return status.load() == BASS_ENCODE_NOTIFY_ENCODER; }));
      BASS_Encode_Stop(e);
      ASSERT_TRUE(vt::engine::test::WaitForEncoders(10s));
    }
    std::string samples;
    for (const int16_t v : pattern) {
      const int32_t s = c.fSampleBytes == 3 ? v * 256 : v;
      for (size_t b = 0; b < c.fSampleBytes; ++b) samples.push_back(char(s >> (8 * b)));
    }
    const std::string data = ReadFile(late);
    ASSERT_EQ(data.size(), 44u + c.fRoom);
    const uint32_t declared = uint8_t(data[40]) | uint8_t(data[41]) << 8 | uint8_t(data[42]) << 16 | uint32_t(uint8_t(data[43])) << 24;
    EXPECT_EQ(declared, c.fRoom / frame * frame) << c.fSampleBytes << "-byte samples";
    EXPECT_EQ(data.substr(44, declared), samples.substr(0, declared)) << c.fSampleBytes << "-byte samples";
    EXPECT_EQ(RunCommand("soxi -s \"" + late + "\""), std::to_string(declared / frame) + "\n");
  }
}

// A recorder killed with SIGKILL leaves a WAV file whose header is less than a
// second behind its data (readers trust the header). Killed 5.8 s in, a header
// refreshed every 2 s would be 1.8 s behind.
TEST(EngineWav, FileOfAKilledProcessIsPlayable) {
  const std::string dir = TempDir(), path = dir + "/killed.wav";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const DWORD mixer = BASS_Mixer_StreamCreate(8000, 2, kDecodeMixer);
    BASS_Encode_Start(mixer, path.c_str(), BASS_ENCODE_PCM | BASS_ENCODE_FP_16BIT, nullptr, nullptr);
    std::vector<float> block(2 * 800);
    // Real time: 0.1 s of audio every 0.1 s, until killed.
    for (;;) {
      BASS_ChannelGetData(mixer, block.data(), DWORD(block.size() * 4));
      std::this_thread::sleep_for(100ms);
    }
  }
  std::this_thread::sleep_for(5800ms);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  const std::string data = ReadFile(path);
  ASSERT_GE(data.size(), 44u);
  const uint32_t declared = uint8_t(data[40]) | uint8_t(data[41]) << 8 | uint8_t(data[42]) << 16 | uint32_t(uint8_t(data[43])) << 24;
  const double inFile = double(data.size() - 44) / (8000 * 4), inHeader = double(declared) / (8000 * 4);
  EXPECT_GT(inFile, 4.0);
  EXPECT_LE(inFile - inHeader, 1.0) << "header behind its data";
  const double seconds = atof(RunCommand("soxi -D \"" + path + "\" 2>/dev/null").c_str());
  EXPECT_NEAR(seconds, inHeader, 0.01);
  RunCommand("rm -rf " + dir);
}

// What an encoder delivered is what its child read, not what was fed: a child
// that leaves after 20000 bytes has taken exactly those, however much more
// was queued and piped for it.
TEST_F(TEncoderFixture, OutcomeCountsWhatTheChildRead) {
  const std::string out = fDir + "/head.raw";
  const HENCODE e = BASS_Encode_Start(fMixer, ("dd iflag=fullblock bs=1000 count=20 status=none of=\"" + out + "\"").c_str(),
                                      BASS_ENCODE_NOHEAD | BASS_ENCODE_FP_16BIT | BASS_ENCODE_QUEUE, nullptr, nullptr);
  ASSERT_NE(e, 0u);
  const auto outcome = VT_Encode_GetOutcome(e);
  ASSERT_TRUE(outcome);
  Run(44100);
  EXPECT_TRUE(WaitFor([&] { return BASS_Encode_IsActive(e) == BASS_ACTIVE_STOPPED; }));
  BASS_Encode_Stop(e);
  ASSERT_TRUE(WaitFor([&] { return outcome->finished.load(); }));
  EXPECT_EQ(outcome->accepted.load(), 20000u);
  EXPECT_EQ(ReadFile(out).size(), 20000u);
  // a WAV file: the samples written, without the header
  const std::string wav = fDir + "/o.wav";
  const HENCODE w = BASS_Encode_Start(fMixer, wav.c_str(), BASS_ENCODE_PCM | BASS_ENCODE_FP_16BIT | BASS_ENCODE_QUEUE, nullptr, nullptr);
  const auto wavOutcome = VT_Encode_GetOutcome(w);
  ASSERT_TRUE(wavOutcome);
  Run(22050);
  BASS_Encode_Stop(w);
  ASSERT_TRUE(WaitFor([&] { return wavOutcome->finished.load(); }));
  EXPECT_EQ(wavOutcome->accepted.load(), 22050u * 4);
}

// A child that stopped reading (SIGSTOP, a write stuck on a dead share) is
// killed and reaped at once by an abort, and its outcome holds what it read
// before it stopped (dd writes each 512-byte block it reads).
TEST_F(TEncoderFixture, AbortKillsAStoppedChild) {
  const std::string out = fDir + "/stopped.raw";
  const HENCODE e = BASS_Encode_Start(fMixer, ("dd bs=512 status=none of=\"" + out + "\"").c_str(),
                                      BASS_ENCODE_NOHEAD | BASS_ENCODE_FP_16BIT | BASS_ENCODE_QUEUE, nullptr, nullptr);
  ASSERT_NE(e, 0u);
  const auto outcome = VT_Encode_GetOutcome(e);
  const pid_t pid = vt::engine::test::EncoderProcessId(e);
  ASSERT_GT(pid, 0);
  Run(4410);
  ASSERT_TRUE(WaitFor([&] { return ReadFile(out).size() > 0 && ReadFile(out).size() == outcome->accepted.load(); }));
  kill(pid, SIGSTOP);
  Run(3 * 44100);  // more than the pipe and the queue hold
  EXPECT_GT(BASS_Encode_GetCount(e, BASS_ENCODE_COUNT_QUEUE_FAIL), 0u);
  const auto aborted = std::chrono::steady_clock::now();
  ASSERT_TRUE(VT_Encode_Abort(e));
  ASSERT_TRUE(WaitFor([&] { return outcome->finished.load(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - aborted, 2s);
  EXPECT_EQ(kill(pid, 0), -1) << "the child is still there (or not reaped)";
  const size_t inFile = ReadFile(out).size();
  EXPECT_GE(outcome->accepted.load(), inFile);
  EXPECT_LE(outcome->accepted.load(), inFile + 512);
  EXPECT_EQ(BASS_Encode_IsActive(e), DWORD(BASS_ACTIVE_STOPPED));
}

// A mixer freed with encoders on it stops them and the files are complete.
TEST_F(TEncoderFixture, FreeingTheMixerFinishesItsEncoders) {
  const std::string path = fDir + "/c.wav";
  const HENCODE e = BASS_Encode_Start(fMixer, path.c_str(), BASS_ENCODE_PCM | BASS_ENCODE_FP_16BIT | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
  ASSERT_NE(e, 0u);
  Run(22050);
  ASSERT_TRUE(BASS_StreamFree(fMixer));
  EXPECT_EQ(BASS_Encode_IsActive(e), DWORD(BASS_ACTIVE_STOPPED));
  ASSERT_TRUE(vt::engine::test::WaitForEncoders(10s));
  EXPECT_EQ(RunCommand("soxi -s \"" + path + "\""), "22050\n");
}
