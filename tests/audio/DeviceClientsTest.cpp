// The fan-out of one input to its clients, against an input whose start and
// stop are only counted, and the engine's real push streams.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "ClientStream.h"
#include "audio/AudioDevices.h"

using namespace vt::test;

namespace {

class TCountingInput : public TDeviceInfoWithClients {
public:
  TCountingInput() : TDeviceInfoWithClients(0, "Counting") {}
  void SetChannelCount(int iCount) { fChannelCount = iCount; }
  void StartDevice(int iSampleRate, bool& i16bit, bool) override {
    if (!fFailWith.empty()) throw std::runtime_error(fFailWith);
    ++fStarts;
    fRate = iSampleRate;
    fAsked16Bit = i16bit;
    if (fAlwaysFloat) i16bit = false;
  }
  void StopDevice() override { ++fStops; }
  int GetSampleRate() override { return fRate; }

  int fStarts = 0, fStops = 0, fRate = 0;
  bool fAsked16Bit = false, fAlwaysFloat = false;
  std::string fFailWith;
};

struct TClients {
  TCountingInput& fInput;
  std::vector<DWORD> fHandles;
  DWORD Add(int iRate, bool i16bit) {
    DWORD h = fInput.AddClient(iRate, i16bit, false);
    if (h) fHandles.push_back(h);
    return h;
  }
  ~TClients() {
    for (DWORD h : fHandles) {
      fInput.RemoveClient(h);
      BASS_StreamFree(h);
    }
  }
};

}  // namespace

TEST(DeviceClients, TheFirstClientSettlesRateAndFormatForEveryLaterOne) {
  for (bool first16 : {false, true}) {
    TCountingInput input;
    TClients clients{input, {}};
    DWORD a = clients.Add(44100, first16);
    DWORD b = clients.Add(22050, !first16);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_EQ(input.fStarts, 1);
    EXPECT_EQ(input.fRate, 44100);
    for (DWORD h : {a, b}) {
      auto info = StreamInfo(h);
      EXPECT_EQ(info.freq, 44100u);
      EXPECT_EQ(info.chans, 2u);
      EXPECT_EQ((info.flags & BASS_SAMPLE_FLOAT) != 0, !first16) << "first client 16-bit: " << first16;
      EXPECT_NE(info.flags & BASS_STREAM_DECODE, 0u);
    }
  }
}

TEST(DeviceClients, EveryClientReceivesTheSameBytes) {
  TCountingInput input;
  TClients clients{input, {}};
  DWORD a = clients.Add(48000, true);
  DWORD b = clients.Add(48000, true);
  std::vector<int16_t> block(960);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<int16_t>(i * 7 - 3000);
  input.HandleInput(block.data(), static_cast<DWORD>(block.size() * 2));
  input.HandleInput(block.data(), static_cast<DWORD>(block.size() * 2));
  for (DWORD h : {a, b}) {
    auto got = ReadSamples<int16_t>(h, block.size() * 2, std::chrono::seconds(2));
    ASSERT_EQ(got.size(), block.size() * 2);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), got.begin()));
    EXPECT_TRUE(std::equal(block.begin(), block.end(), got.begin() + block.size()));
  }
}

TEST(DeviceClients, AnInputThatAlwaysDeliversFloatGivesFloatStreams) {
  TCountingInput input;
  input.fAlwaysFloat = true;
  TClients clients{input, {}};
  DWORD a = clients.Add(48000, true);
  EXPECT_TRUE(input.fAsked16Bit);
  EXPECT_NE(StreamInfo(a).flags & BASS_SAMPLE_FLOAT, 0u);
}

TEST(DeviceClients, TheLastRemovalStopsAndTheNextClientRestartsWithItsOwnRequest) {
  TCountingInput input;
  DWORD a = input.AddClient(44100, false, false);
  DWORD b = input.AddClient(48000, false, false);
  input.RemoveClient(12345);  // not a client: nothing changes
  input.RemoveClient(a);
  EXPECT_EQ(input.fStops, 0);
  EXPECT_EQ(input.Clients(), std::vector<DWORD>{b});
  input.RemoveClient(b);
  EXPECT_EQ(input.fStops, 1);
  EXPECT_FALSE(input.Running());
  BASS_StreamFree(a);
  BASS_StreamFree(b);

  DWORD c = input.AddClient(32000, true, false);
  EXPECT_EQ(input.fStarts, 2);
  EXPECT_EQ(StreamInfo(c).freq, 32000u);
  EXPECT_EQ(StreamInfo(c).flags & BASS_SAMPLE_FLOAT, 0u);
  input.RemoveClient(c);
  BASS_StreamFree(c);
}

TEST(DeviceClients, AFailedStartLeavesNoClientAndTheNextAddTriesAgain) {
  TCountingInput input;
  input.fFailWith = "Init: invalid handle (BASS error 5)";
  try {
    input.AddClient(48000, false, false);
    FAIL() << "no error raised";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Init: invalid handle (BASS error 5)");
  }
  EXPECT_TRUE(input.Clients().empty());
  input.fFailWith.clear();
  DWORD a = input.AddClient(48000, false, false);
  EXPECT_NE(a, 0u);
  EXPECT_EQ(input.fStarts, 1);
  input.RemoveClient(a);
  BASS_StreamFree(a);
}

TEST(DeviceClients, AStreamTheEngineRefusesLeavesNoInputRunningForNobody) {
  TCountingInput input;
  input.SetChannelCount(0);  // the engine refuses streams without channels
  EXPECT_EQ(input.AddClient(48000, false, false), 0u);
  EXPECT_NE(BASS_ErrorGetCode(), BASS_OK);
  EXPECT_EQ(input.fStarts, 1);
  EXPECT_EQ(input.fStops, 1);
  EXPECT_TRUE(input.Clients().empty());
}

// A capture thread keeps putting while clients come and go: once RemoveClient
// has returned, the removed stream gets nothing more, so freeing it right
// after is safe (ASan/TSan builds see any use after free or race).
TEST(DeviceClients, RemovedClientsGetNoMoreDataWhileCaptureGoesOn) {
  TCountingInput input;
  DWORD keeper = input.AddClient(48000, false, false);
  std::atomic<bool> stop{false};
  std::thread capture([&] {
    std::vector<float> block(256, 0.25f);
    while (!stop.load()) input.HandleInput(block.data(), static_cast<DWORD>(block.size() * 4));
  });
  for (int round = 0; round < 50; ++round) {
    DWORD h = input.AddClient(48000, false, false);
    ASSERT_NE(h, 0u);
    input.RemoveClient(h);
    Drain(h);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(BASS_ChannelGetData(h, nullptr, BASS_DATA_AVAILABLE), 0u) << "round " << round;
    BASS_StreamFree(h);
    Drain(keeper);
  }
  stop.store(true);
  capture.join();
  input.RemoveClient(keeper);
  BASS_StreamFree(keeper);
}

TEST(DeviceList, LooksIdsUpWithoutRegardToCaseInTheirOrder) {
  TCountingInput a, b;
  TDeviceList list;
  list.Add("WDM:0", &a);
  list.Add("WASAPI:logtest.monitor", &b);
  EXPECT_EQ(list.Find("wdm:0"), &a);
  EXPECT_EQ(list.Find("WASAPI:LOGTEST.MONITOR"), &b);
  EXPECT_EQ(list.Find("WDM:1"), nullptr);
  EXPECT_EQ(list.Find("WDM:"), nullptr);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Id(1), "WASAPI:logtest.monitor");
}
