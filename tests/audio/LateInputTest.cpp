// Inputs that come up after the catalogue was built: a JACK server started
// late is added with its bundles, once, and can be recorded from.
#include <gtest/gtest.h>

#include "ClientStream.h"
#include "audio/AudioDevices.h"

using namespace vt::test;

namespace {

TEST(LateInputs, AJackServerThatComesUpLaterIsAddedWithItsBundles) {
  setenv("PULSE_SERVER", "unix:/nonexistent/pulse.sock", 1);
  TJackServer server;
  ASSERT_TRUE(server.Ready());
  ASSERT_TRUE(server.Crash());  // down at the start, as at boot before jackd
  TAudioDevices devices(nullptr);
  EXPECT_TRUE(devices.ASIODevices().empty());
  EXPECT_FALSE(ASIODriverReachable());

  ASSERT_TRUE(server.Restart());
  EXPECT_TRUE(ASIODriverReachable());
  const size_t before = devices.DeviceList().Count();
  EXPECT_EQ(devices.AddASIODrivers(nullptr), std::vector<std::string>{"ASIO:0:0:2"});
  EXPECT_EQ(devices.DeviceList().Id(before), "ASIO:0:0:2");  // at the end: no id moves
  EXPECT_TRUE(devices.AddASIODrivers(nullptr).empty());       // a driver is added once
  EXPECT_EQ(devices.ChannelBundles(), (std::vector<std::vector<int>>{{2, 0}}));

  auto* input = dynamic_cast<TDeviceInfoWithClients*>(devices.DeviceList().Find("ASIO:0:0:2"));
  ASSERT_NE(input, nullptr);
  const DWORD client = input->AddClient(48000, false, false);
  ASSERT_NE(client, 0u);
  input->RemoveClient(client);
  BASS_StreamFree(client);
  unsetenv("PULSE_SERVER");
}

}  // namespace
