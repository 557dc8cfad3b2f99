// ASIO drivers and their channel bundles against a private JACK server with
// the dummy driver and a tone client feeding the recorder's input ports.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "ClientStream.h"
#include "audio/AudioDevices.h"
#include "shell/IniFile.h"

using namespace vt::test;

namespace {

// Frames whose values do not follow the tone's counter on the expected ports.
size_t RampFaults(const std::vector<float>& iSamples, int iChannels, int iFirstPort) {
  size_t faults = 0;
  long last = -1;
  for (size_t f = 0; f + iChannels <= iSamples.size(); f += iChannels) {
    const float base = iSamples[f] - static_cast<float>(iFirstPort) * 0.125f;
    const long counter = std::lround(base * 8192.0f);
    if (base < 0 || counter >= 1024) {
      ++faults;
      continue;
    }
    for (int k = 1; k < iChannels; ++k)
      if (iSamples[f + k] != TJackTone::Value(iFirstPort + k, static_cast<uint64_t>(counter))) ++faults;
    if (last >= 0 && counter != (last + 1) % 1024) ++faults;
    last = counter;
  }
  return faults;
}

class AsioDriver : public ::testing::Test {
protected:
  void SetUp() override { setenv("PULSE_SERVER", "unix:/nonexistent/pulse.sock", 1); }
  void TearDown() override { unsetenv("PULSE_SERVER"); }

  void StartServer(int iInputs) {
    fServer = std::make_unique<TJackServer>(iInputs);
    ASSERT_TRUE(fServer->Ready()) << "jackd did not come up";
  }
  TIniFile& Ini() {
    if (!fIni) fIni = std::make_unique<TIniFile>(fFolder.Path() + "/Vantorel.ini");
    return *fIni;
  }
  void Build() { fDevices = std::make_unique<TAudioDevices>(&Ini()); }
  std::vector<std::string> AsioIds() {
    std::vector<std::string> ids;
    // ALSA's default device is listed as well, as WDM:0
    for (size_t i = 0; i < fDevices->DeviceList().Count(); ++i)
      if (fDevices->DeviceList().Id(i).rfind("ASIO:", 0) == 0) ids.push_back(fDevices->DeviceList().Id(i));
    return ids;
  }
  TDeviceInfoWithClients& Input(const std::string& iId) {
    auto* device = dynamic_cast<TDeviceInfoWithClients*>(fDevices->DeviceList().Find(iId));
    if (!device) throw std::runtime_error("no input " + iId);
    return *device;
  }
  // The tone on every recorder input port.
  void FeedTone(int iPorts) {
    fTone = std::make_unique<TJackTone>(iPorts);
    ASSERT_TRUE(fTone->Ready());
    for (int k = 0; k < iPorts; ++k) ASSERT_TRUE(fTone->Connect(k, "vantorel:in_" + std::to_string(k + 1)));
    // What the recorder's clients hold from now on, once drained, is the tone on every port.
    ASSERT_TRUE(fTone->WaitCycles()) << "the tone client stopped running";
  }

  TTempFolder fFolder;
  std::unique_ptr<TJackServer> fServer;
  std::unique_ptr<TIniFile> fIni;
  std::unique_ptr<TAudioDevices> fDevices;
  std::unique_ptr<TJackTone> fTone;
};

}  // namespace

TEST_F(AsioDriver, BundlesFollowTheBundleKeys) {
  struct TCase {
    int fInputs;
    std::map<int, int> fKeys;
    std::vector<std::string> fIds;
    std::vector<int> fChannels;
  };
  const TCase cases[] = {
      {8, {}, {"ASIO:0:0:2", "ASIO:0:2:2", "ASIO:0:4:2", "ASIO:0:6:2"}, {2, 2, 2, 2}},
      {4, {{0, 1}, {1, 1}}, {"ASIO:0:0:1", "ASIO:0:1:1", "ASIO:0:2:2"}, {1, 1, 2}},
      // below 1 counts as 1; the default 2 at the last channel keeps its id
      // but carries only the channel that exists
      {4, {{0, 0}}, {"ASIO:0:0:1", "ASIO:0:1:2", "ASIO:0:3:2"}, {1, 2, 1}},
      {4, {{0, -3}}, {"ASIO:0:0:1", "ASIO:0:1:2", "ASIO:0:3:2"}, {1, 2, 1}},
      {4, {{1, 1}}, {"ASIO:0:0:2", "ASIO:0:2:2"}, {2, 2}},  // a key inside a bundle is ignored
      {4, {{0, 4}}, {"ASIO:0:0:4"}, {4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fIds.front() + " with " + std::to_string(c.fInputs) + " inputs");
    fDevices.reset();
    fServer.reset();
    StartServer(c.fInputs);
    for (int ch = 0; ch < 8; ++ch) Ini().DeleteKey("ASIODevice0", "ChannelBundle" + std::to_string(ch));
    for (auto [channel, size] : c.fKeys) Ini().WriteInteger("ASIODevice0", "ChannelBundle" + std::to_string(channel), size);
    Build();
    EXPECT_EQ(AsioIds(), c.fIds);
    ASSERT_EQ(fDevices->ASIODevices().size(), 1u);
    const auto& driver = *fDevices->ASIODevices()[0];
    ASSERT_EQ(driver.SubDevices().size(), c.fChannels.size());
    for (size_t i = 0; i < c.fChannels.size(); ++i) EXPECT_EQ(driver.SubDevices()[i]->ChannelCount(), c.fChannels[i]);
    EXPECT_EQ(driver.ChannelCount(), c.fInputs);
    EXPECT_EQ(driver.GetChannelName(0), "system:capture_1");
    EXPECT_FALSE(BASS_ASIO_IsStarted());
  }
  // names: driver, then the bundle's channels
  TDeviceInfo* bundle = fDevices->DeviceList().Find("ASIO:0:0:4");
  ASSERT_NE(bundle, nullptr);
  EXPECT_EQ(bundle->Name(),
            "ASIO: JACK (" + fServer->Name() + ") - system:capture_1, system:capture_2, system:capture_3, system:capture_4");
  EXPECT_TRUE(bundle->HasControlPanel());
}

TEST_F(AsioDriver, TwoClientsOfABundleAndASecondBundleAllReceiveEveryBuffer) {
  StartServer(4);
  Build();
  auto& first = Input("ASIO:0:0:2");
  auto& second = Input("asio:0:2:2");
  const auto& driver = *fDevices->ASIODevices()[0];

  // the slots ask for 44100; JACK runs at its own rate and says so
  DWORD a1 = first.AddClient(44100, false, false);
  DWORD a2 = first.AddClient(44100, false, false);
  ASSERT_NE(a1, 0u);
  ASSERT_NE(a2, 0u);
  EXPECT_EQ(StreamInfo(a1).freq, 48000u);
  EXPECT_EQ(StreamInfo(a2).chans, 2u);
  EXPECT_EQ(driver.ActiveChannels(), 1);
  FeedTone(4);
  Drain(a1);
  Drain(a2);
  for (DWORD h : {a1, a2}) {
    auto got = ReadSamples<float>(h, 2 * 48000);
    ASSERT_EQ(got.size(), 2u * 48000) << "client " << h;
    EXPECT_EQ(RampFaults(got, 2, 0), 0u) << "client " << h;
  }

  // the second bundle restarts the driver; the first keeps delivering
  DWORD b1 = second.AddClient(48000, false, false);
  ASSERT_NE(b1, 0u);
  EXPECT_EQ(driver.ActiveChannels(), 2);
  Drain(a1);
  Drain(b1);
  auto fromFirst = ReadSamples<float>(a1, 2 * 24000);
  auto fromSecond = ReadSamples<float>(b1, 2 * 24000);
  ASSERT_EQ(fromFirst.size(), 2u * 24000);
  ASSERT_EQ(fromSecond.size(), 2u * 24000);
  EXPECT_EQ(RampFaults(fromFirst, 2, 0), 0u);
  EXPECT_EQ(RampFaults(fromSecond, 2, 2), 0u);

  // the first bundle goes; the second goes on
  for (DWORD h : {a1, a2}) {
    first.RemoveClient(h);
    BASS_StreamFree(h);
  }
  EXPECT_EQ(driver.ActiveChannels(), 1);
  Drain(b1);
  fromSecond = ReadSamples<float>(b1, 2 * 12000);
  ASSERT_EQ(fromSecond.size(), 2u * 12000);
  EXPECT_EQ(RampFaults(fromSecond, 2, 2), 0u);

  // the last client frees the driver
  second.RemoveClient(b1);
  BASS_StreamFree(b1);
  EXPECT_EQ(driver.ActiveChannels(), 0);
  BASS_ASIO_INFO info;
  EXPECT_FALSE(BASS_ASIO_SetDevice(0));
  EXPECT_FALSE(BASS_ASIO_GetInfo(&info));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
}

// The capture callback takes no lock that the controller side holds: with the
// catalogue's lock held for a second, audio keeps arriving.
TEST_F(AsioDriver, CaptureGoesOnWhileTheControllerHoldsTheCatalogueLock) {
  StartServer(2);
  Build();
  auto& input = Input("ASIO:0:0:2");
  DWORD client = input.AddClient(48000, false, false);
  ASSERT_NE(client, 0u);
  FeedTone(2);
  Drain(client);
  std::vector<float> got;
  {
    std::lock_guard busy(DeviceControlLock());
    got = ReadSamples<float>(client, 2 * 24000, std::chrono::milliseconds(1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(got.size(), 2u * 24000) << "capture stalled while the lock was held";
  EXPECT_EQ(RampFaults(got, 2, 0), 0u);
  input.RemoveClient(client);
  BASS_StreamFree(client);
}

namespace {
// Callbacks that take a while, so that a cycle's channels can overlap; they
// count the threads they run on and how many run at once.
struct TThreadProbe {
  std::atomic<int> fRunning{0}, fMostAtOnce{0}, fCalls{0};
  std::mutex fLock;
  std::set<std::thread::id> fThreads;

  static DWORD Proc(BOOL, DWORD, void*, DWORD iLength, void* iUser) {
    auto* self = static_cast<TThreadProbe*>(iUser);
    const int now = ++self->fRunning;
    for (int most = self->fMostAtOnce.load(); now > most && !self->fMostAtOnce.compare_exchange_weak(most, now);) {
    }
    {
      std::lock_guard lock(self->fLock);
      self->fThreads.insert(std::this_thread::get_id());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    --self->fRunning;
    ++self->fCalls;
    return iLength;
  }
  size_t Threads() {
    std::lock_guard lock(fLock);
    return fThreads.size();
  }
};
}  // namespace

// The thread count of a start: with 1 every channel's callback runs on one
// thread, one after the other; with 3, three channels are served by up to
// three threads at the same time.
TEST_F(AsioDriver, TheThreadCountServesChannelsInParallel) {
  StartServer(4);
  for (DWORD threads : {1u, 3u}) {
    SCOPED_TRACE(threads);
    TThreadProbe probe;
    ASSERT_TRUE(BASS_ASIO_Init(0, 0));
    for (DWORD c = 0; c < 3; ++c) ASSERT_TRUE(BASS_ASIO_ChannelEnable(TRUE, c, &TThreadProbe::Proc, &probe));
    ASSERT_TRUE(BASS_ASIO_Start(0, threads));
    if (threads == 1) {
      EXPECT_TRUE(WaitFor([&] { return probe.fCalls.load() >= 60; }, std::chrono::seconds(10)));
    } else {
      EXPECT_TRUE(WaitFor([&] { return probe.fMostAtOnce.load() >= 2 && probe.Threads() >= 2; }, std::chrono::seconds(10)))
          << "callbacks never overlapped";
    }
    ASSERT_TRUE(BASS_ASIO_Stop());
    ASSERT_TRUE(BASS_ASIO_Free());
    if (threads == 1) {
      EXPECT_EQ(probe.fMostAtOnce.load(), 1);
      EXPECT_EQ(probe.Threads(), 1u);
    } else {
      EXPECT_LE(probe.Threads(), 3u);
    }
  }
}

TEST_F(AsioDriver, TheForcedRateIsUsedOrTheServersRateReported) {
  for (int forced : {48000, 44100}) {
    SCOPED_TRACE(forced);
    fDevices.reset();
    fServer.reset();
    StartServer(2);
    Ini().WriteInteger("ASIODevice0", "Samplerate", forced);
    Build();
    EXPECT_EQ(fDevices->ASIODevices()[0]->SampleRate(), forced);
    auto& input = Input("ASIO:0:0:2");
    DWORD client = input.AddClient(22050, false, false);
    ASSERT_NE(client, 0u);
    EXPECT_EQ(StreamInfo(client).freq, 48000u);
    EXPECT_EQ(input.GetSampleRate(), 48000);
    input.RemoveClient(client);
    BASS_StreamFree(client);
  }
}

TEST_F(AsioDriver, SixteenBitBundlesDeliverSixteenBitSamples) {
  StartServer(2);
  Build();
  auto& input = Input("ASIO:0:0:2");
  DWORD client = input.AddClient(48000, true, true);  // with the output workaround
  ASSERT_NE(client, 0u);
  EXPECT_EQ(StreamInfo(client).flags & BASS_SAMPLE_FLOAT, 0u);
  FeedTone(2);
  Drain(client);
  auto got = ReadSamples<int16_t>(client, 2 * 4800);
  ASSERT_EQ(got.size(), 2u * 4800);
  size_t faults = 0;
  for (size_t f = 0; f < got.size(); f += 2) {
    // channel 2 runs 0.125 (4096 in 16 bits) above channel 1
    if (std::abs(got[f + 1] - got[f] - 4096) > 2) ++faults;
    if (got[f] < 0 || got[f] > 4096) ++faults;
  }
  EXPECT_EQ(faults, 0u);
  input.RemoveClient(client);
  BASS_StreamFree(client);
}

TEST_F(AsioDriver, ControlPanelAndAVanishedServerFailCleanly) {
  StartServer(2);
  Build();
  auto& input = Input("ASIO:0:0:2");
  // JACK has no panel: nothing happens, and the driver is free again after
  EXPECT_NO_THROW(input.RunControlPanel());
  EXPECT_EQ(fDevices->ASIODevices()[0]->ActiveChannels(), 0);
  EXPECT_FALSE(BASS_ASIO_SetDevice(0));

  fServer.reset();
  try {
    input.AddClient(48000, false, false);
    FAIL() << "no error raised";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "ASIOInit: illegal device number (BASS error 23)");
  }
  EXPECT_TRUE(input.Clients().empty());
  EXPECT_THROW(input.RunControlPanel(), std::runtime_error);
}

TEST_F(AsioDriver, NoServerMeansNoDriverAndNoneIsStarted) {
  setenv("JACK_DEFAULT_SERVER", "vt-devices-nobody-here", 1);
  BASS_ASIO_DEVICEINFO info;
  EXPECT_FALSE(BASS_ASIO_GetDeviceInfo(0, &info));
  Build();
  EXPECT_TRUE(fDevices->ASIODevices().empty());
  jack_status_t status;
  jack_client_t* probe = jack_client_open("vt-probe", JackNoStartServer, &status);
  EXPECT_EQ(probe, nullptr) << "a server was started";
  if (probe) jack_client_close(probe);
  unsetenv("JACK_DEFAULT_SERVER");
}

TEST(AsioSettings, SavingWritesBundleStartsAndDeletesTheKeysInsideBundles) {
  TTempFolder folder;
  TIniFile ini(folder.Path() + "/Vantorel.ini");
  ini.WriteInteger("ASIODevice3", "ChannelBundle1", 1);
  ini.WriteInteger("ASIODevice3", "ChannelBundle2", 2);
  TDeviceList list;
  BASS_ASIO_DEVICEINFO device{"Four inputs", "four"};
  BASS_ASIO_INFO info{};
  info.inputs = 4;
  TASIODeviceInfo driver(3, device, info, &ini, list);  // not initialised: the names stay empty
  driver.SetSampleRate(48000);
  driver.SetBufferSize(256);
  // the page set channel 0 to 3: rows 1 and 2 lie inside, row 3 became mono
  driver.WriteSettings(ini, {3, 0, 2, 0});
  EXPECT_EQ(ini.ReadInteger("ASIODevice3", "ChannelBundle0", -1), 3);
  EXPECT_EQ(ini.ReadString("ASIODevice3", "ChannelBundle1", "none"), "none");
  EXPECT_EQ(ini.ReadString("ASIODevice3", "ChannelBundle2", "none"), "none");
  EXPECT_EQ(ini.ReadInteger("ASIODevice3", "ChannelBundle3", -1), 1);
  EXPECT_EQ(ini.ReadInteger("ASIODevice3", "Samplerate", -1), 48000);
  EXPECT_EQ(ini.ReadInteger("ASIODevice3", "BufferSize", -1), 256);
  EXPECT_EQ(ini.ReadInteger("ASIODevice3", "ThreadCount", -1), 1);

  // read back, the saved layout gives the page's bundles
  TDeviceList again;
  TASIODeviceInfo reread(3, device, info, &ini, again);
  ASSERT_EQ(again.Count(), 2u);
  EXPECT_EQ(again.Id(0), "ASIO:3:0:3");
  EXPECT_EQ(again.Id(1), "ASIO:3:3:1");
  EXPECT_EQ(reread.SampleRate(), 48000);
  EXPECT_EQ(reread.BufferSize(), 256);
}

// ---------------------------------------------------------------- a server that goes away

namespace {
// A channel callback that counts its calls and the ones that carried the
// tone's first port (values above zero; the dummy driver's capture is silence).
struct TToneProbe {
  std::atomic<int> fCalls{0}, fToneCalls{0};

  static DWORD Proc(BOOL, DWORD, void* iBuffer, DWORD iLength, void* iUser) {
    auto* self = static_cast<TToneProbe*>(iUser);
    const auto* samples = static_cast<const float*>(iBuffer);
    bool tone = false;
    for (DWORD i = 0; i < iLength / sizeof(float) && !tone; ++i) tone = samples[i] > 0.001f;
    ++self->fCalls;
    if (tone) ++self->fToneCalls;
    return iLength;
  }
  // Tone calls from now on, within a generous bound.
  bool HearsTone() {
    const int before = fToneCalls.load();
    return WaitFor([&] { return fToneCalls.load() >= before + 10; }, std::chrono::seconds(20));
  }
};

// Whether iPort has a connection to iOther, as the server sees it.
bool Connected(const std::string& iPort, const std::string& iOther) {
  jack_status_t status;
  jack_client_t* client = jack_client_open("vt-look", JackNoStartServer, &status);
  if (!client) return false;
  bool found = false;
  if (jack_port_t* port = jack_port_by_name(client, iPort.c_str()))
    if (const char** cons = jack_port_get_all_connections(client, port)) {
      for (const char** p = cons; *p; ++p) found = found || iOther == *p;
      jack_free(cons);
    }
  jack_client_close(client);
  return found;
}

// Throws away what has queued up; true when nothing had.
bool Drained(DWORD iStream) {
  std::vector<char> block(65536);
  bool empty = true;
  while (BASS_ChannelGetData(iStream, block.data(), static_cast<DWORD>(block.size())) + 1 > 1) empty = false;
  return empty;
}

// An ASIO call for a thread of its own, which selects the driver first (the
// selection is per thread).
std::function<BOOL()> OnAnotherThread(std::function<BOOL()> iCall) {
  return [iCall] { return BASS_ASIO_SetDevice(0) && iCall(); };
}

// Runs iCall on a thread of its own; false when it did not return within a
// generous bound (a hang, not a slow call).
bool ReturnsPromptly(const std::function<BOOL()>& iCall, BOOL& oResult) {
  std::packaged_task<BOOL()> task(iCall);
  auto done = task.get_future();
  std::thread thread(std::move(task));
  const bool returned = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!returned) {
    thread.detach();  // the test fails; better than hanging the suite
    return false;
  }
  thread.join();
  oResult = done.get();
  return true;
}
}  // namespace

class AsioRecovery : public AsioDriver {
protected:
  // Kills the server. The dead tone client is closed before a new server is
  // there: libjack cannot close a client of a killed server once another
  // client of the process has opened on the new one.
  void CrashServer() {
    ASSERT_TRUE(fServer->Crash());
    fTone.reset();
  }
  // Once the driver is back on the restarted server (iBack, seen from its
  // callbacks: no client of this process may open before the driver has
  // closed its dead one), a new tone client feeds "vantorel:in_<k+1>".
  void FeedToneWhenBack(int iPorts, const std::function<bool()>& iBack) {
    ASSERT_TRUE(WaitFor(iBack, std::chrono::seconds(20))) << "the driver did not come back";
    FeedTone(iPorts);
  }
  // A started driver with input channel 0 feeding iProbe.
  void StartWithProbe(TToneProbe& iProbe) {
    StartServer(2);
    ASSERT_TRUE(BASS_ASIO_Init(0, 0));
    ASSERT_TRUE(BASS_ASIO_ChannelEnable(TRUE, 0, &TToneProbe::Proc, &iProbe));
    ASSERT_TRUE(BASS_ASIO_Start(0, 1));
  }
};

// Two bundles of the catalogue (joined channels, one float and one 16-bit
// format) record through a crash of the server and its restart under the
// same name; nothing is done to the clients in between.
TEST_F(AsioRecovery, ACrashedServerComingBackResumesTheSameChannels) {
  StartServer(4);
  Build();
  auto& first = Input("ASIO:0:0:2");
  auto& second = Input("ASIO:0:2:2");
  DWORD a = first.AddClient(48000, false, false);
  DWORD b = second.AddClient(48000, true, false);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  FeedTone(4);
  Drain(a);
  auto before = ReadSamples<float>(a, 2 * 4800);
  ASSERT_EQ(before.size(), 2u * 4800);
  EXPECT_EQ(RampFaults(before, 2, 0), 0u);

  CrashServer();
  EXPECT_TRUE(BASS_ASIO_IsStarted()) << "a lost server is an outage, not a stop";
  ASSERT_TRUE(WaitFor([&] { return Drained(a); }, std::chrono::seconds(10)));  // what came before the crash
  ASSERT_TRUE(fServer->Restart());
  FeedToneWhenBack(4, [&] { return !Drained(a); });
  // the physical ports the channels were connected to are connected again
  for (int k = 1; k <= 4; ++k)
    EXPECT_TRUE(WaitFor([&] { return Connected("vantorel:in_" + std::to_string(k), "system:capture_" + std::to_string(k)); },
                        std::chrono::seconds(5)))
        << "in_" << k;

  Drain(a);
  Drain(b);
  auto fromFirst = ReadSamples<float>(a, 2 * 4800, std::chrono::seconds(20));
  ASSERT_EQ(fromFirst.size(), 2u * 4800) << "the first bundle did not come back";
  EXPECT_EQ(RampFaults(fromFirst, 2, 0), 0u);
  auto fromSecond = ReadSamples<int16_t>(b, 2 * 4800, std::chrono::seconds(20));
  ASSERT_EQ(fromSecond.size(), 2u * 4800) << "the second bundle did not come back";
  size_t faults = 0;
  for (size_t f = 0; f < fromSecond.size(); f += 2) {
    // ports 3 and 4 of the tone: 0.25 and 0.375 plus the ramp, 4096 apart in 16 bits
    if (std::abs(fromSecond[f + 1] - fromSecond[f] - 4096) > 2) ++faults;
    if (fromSecond[f] < 8190 || fromSecond[f] > 12290) ++faults;
  }
  EXPECT_EQ(faults, 0u);
  EXPECT_EQ(BASS_ASIO_GetRate(), 48000.0);

  for (auto [input, h] : {std::pair{&first, a}, std::pair{&second, b}}) {
    input->RemoveClient(h);
    BASS_StreamFree(h);
  }
  EXPECT_FALSE(BASS_ASIO_IsStarted());
}

// Stop and Free while the server is gone (the recovery thread retrying) return
// at once; a start during the outage is taken and the channel comes back with
// the server, as when a slot adds a bundle while the server restarts.
TEST_F(AsioRecovery, StopStartAndFreeDuringAnOutage) {
  TToneProbe probe;
  StartWithProbe(probe);
  if (HasFatalFailure()) return;
  FeedTone(1);
  EXPECT_TRUE(probe.HearsTone());

  CrashServer();
  // long enough for the driver to notice and retry a few times
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  BOOL result = FALSE;
  ASSERT_TRUE(ReturnsPromptly(OnAnotherThread(BASS_ASIO_Stop), result)) << "Stop hung while the server was gone";
  EXPECT_TRUE(result);
  ASSERT_TRUE(ReturnsPromptly(OnAnotherThread([] { return BASS_ASIO_Start(0, 1); }), result));
  EXPECT_TRUE(result) << "a start during an outage fails the channel for good";
  EXPECT_TRUE(BASS_ASIO_IsStarted());

  const int callsBefore = probe.fCalls.load();
  ASSERT_TRUE(fServer->Restart());
  FeedToneWhenBack(1, [&] { return probe.fCalls.load() > callsBefore; });
  EXPECT_TRUE(probe.HearsTone()) << "the channel did not come back";

  CrashServer();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ASSERT_TRUE(ReturnsPromptly(OnAnotherThread(BASS_ASIO_Free), result)) << "Free hung while the server was gone";
  EXPECT_TRUE(result);
  const int calls = probe.fCalls.load();
  ASSERT_TRUE(fServer->Restart());
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(probe.fCalls.load(), calls) << "a freed driver came back";
}

// A server back at another rate would record at the wrong speed into streams
// made at the first rate: the driver leaves it alone and waits for a server
// at the rate it had.
TEST_F(AsioRecovery, AServerBackAtAnotherRateIsNotUsed) {
  TToneProbe probe;
  StartWithProbe(probe);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitFor([&] { return probe.fCalls.load() > 0; }, std::chrono::seconds(10)));

  CrashServer();
  ASSERT_TRUE(fServer->Restart(44100));
  const int calls = probe.fCalls.load();
  // several retry periods on the wrong-rate server
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  EXPECT_EQ(probe.fCalls.load(), calls) << "audio at 44100 went to a 48000 channel";
  EXPECT_EQ(BASS_ASIO_GetRate(), 48000.0);

  ASSERT_TRUE(fServer->Restart(48000));
  FeedToneWhenBack(1, [&] { return probe.fCalls.load() > calls; });
  EXPECT_TRUE(probe.HearsTone());
  ASSERT_TRUE(BASS_ASIO_Free());
}
