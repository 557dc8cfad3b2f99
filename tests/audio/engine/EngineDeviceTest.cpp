// Output devices: the no-sound device keeps time by the system clock, an ALSA
// device by the card; a playing mixer on either pulls its decoding mixer.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "audio/engine/Engine.h"

using namespace std::chrono_literals;

namespace {

DWORD FindDevice(const std::string& iDriver) {
  BASS_DEVICEINFO info;
  for (DWORD n = 1; BASS_GetDeviceInfo(n, &info); ++n)
    if (iDriver == info.driver) return n;
  return 0;
}

// A playing mixer on device iDevice pulls the slot mixer, muted.
void ExpectClockedPull(int iDevice, bool iRealTime) {
  BASS_Init(iDevice, 48000, BASS_DEVICE_LATENCY, nullptr, nullptr);
  BASS_Start();
  const DWORD mixer = BASS_Mixer_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT | BASS_MIXER_NONSTOP | BASS_STREAM_DECODE);
  const DWORD playing = BASS_Mixer_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT);
  ASSERT_NE(playing, 0u) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_ChannelSetAttribute(playing, BASS_ATTRIB_VOL, 0.0f));
  ASSERT_TRUE(BASS_Mixer_StreamAddChannel(playing, mixer, 0));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(BASS_ChannelPlay(playing, FALSE));
  EXPECT_EQ(BASS_ChannelIsActive(playing), DWORD(BASS_ACTIVE_PLAYING));
  const auto until = start + 10s;
  while (BASS_ChannelGetPosition(mixer, BASS_POS_BYTE) < BASS_ChannelSeconds2Bytes(mixer, 0.5) &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(10ms);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(BASS_ChannelGetPosition(mixer, BASS_POS_BYTE), BASS_ChannelSeconds2Bytes(mixer, 0.5));
  if (iRealTime) EXPECT_GE(elapsed, 400ms) << "pulled faster than the clock";
  BASS_StreamFree(playing);
  BASS_StreamFree(mixer);
  BASS_Free();
}

}  // namespace

TEST(EngineDevice, ListStartsWithNoSoundAndDefault) {
  BASS_DEVICEINFO info;
  ASSERT_TRUE(BASS_GetDeviceInfo(0, &info));
  ASSERT_TRUE(BASS_GetDeviceInfo(1, &info));
  EXPECT_STREQ(info.driver, "default");
  EXPECT_TRUE(info.flags & BASS_DEVICE_DEFAULT);
  EXPECT_FALSE(BASS_GetDeviceInfo(100000, &info));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
  EXPECT_FALSE(BASS_Init(100000, 44100, 0, nullptr, nullptr));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
}

TEST(EngineDevice, NoSoundDeviceClocksAPlayingMixer) { ExpectClockedPull(0, true); }

TEST(EngineDevice, AlsaNullDeviceClocksAPlayingMixer) {
  const DWORD device = FindDevice("null");
  if (!device) GTEST_SKIP() << "no ALSA null PCM";
  ExpectClockedPull(int(device), false);  // the null PCM has no clock of its own
}

TEST(EngineDevice, PlayingNeedsAnInitialisedDevice) {
  BASS_SetDevice(0);
  const DWORD decode = BASS_Mixer_StreamCreate(44100, 2, BASS_SAMPLE_FLOAT | BASS_STREAM_DECODE);
  EXPECT_FALSE(BASS_ChannelPlay(decode, FALSE));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DECODE);
  BASS_StreamFree(decode);
}
