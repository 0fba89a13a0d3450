// The virtual-device build of the DLL, loaded exactly as a host loads a
// driver: it finds a Vor OD behind the device seam.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "tests/support/DriverDll.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RegistrySandbox.h"
#include "virtual-device/VirtualDevice.h"

namespace {

class VirtualDeviceBuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll.Loaded()) << VirtualDeviceDllPath();
    driver = dll.CreateDriver();
    ASSERT_NE(driver, nullptr);
  }
  void TearDown() override {
    if (driver != nullptr) {
      EXPECT_EQ(driver->Release(), 0u);
    }
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
  }
  // init, and a run on input 0 and output 0 for this host.
  void Stream(IASIO* asio, FakeHost& host) {
    ASSERT_EQ(asio->init(nullptr), ASIOTrue);
    ASIOBufferInfo infos[] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
    ASSERT_EQ(asio->createBuffers(infos, 2, 96, host.Callbacks()), ASE_OK);
    ASSERT_EQ(asio->start(), ASE_OK);
  }
  RegistrySandbox sandbox;
  DriverDll dll{VirtualDeviceDllPath()};
  IASIO* driver = nullptr;
};

TEST_F(VirtualDeviceBuildTest, InitFindsTheVorOd) {
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  char message[124] = {};
  driver->getErrorMessage(message);
  EXPECT_STREQ(message, "ASIO OK");
  long inputs = 0, outputs = 0;
  ASSERT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
  EXPECT_EQ(inputs, 16);
  EXPECT_EQ(outputs, 2);
  ASIOChannelInfo info = {};
  info.channel = 9;
  info.isInput = ASIOTrue;
  ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
  EXPECT_STREQ(info.name, "Sounds Right");
}

// Mended, for a careless host: controlPanel from inside a callback opens the
// panel without holding up the audio thread. While one object holds the
// device, a second one's init fails and says why. The first, released from
// inside its own callback, frees itself on its streaming thread at once, and
// the second's next init gets the device (TearDown: the library can then
// unload).
TEST_F(VirtualDeviceBuildTest, ACarelessHostsSecondObjectGetsTheDeviceOnceTheFirstHasGone) {
  FakeHost host;
  std::atomic<bool> release{false};
  std::atomic<long> panel{-1};
  host.onSwitch = [&](long) {
    if (host.switches >= 3 && panel == -1) panel = driver->controlPanel();
    if (release.exchange(false)) driver->Release();
  };
  Stream(driver, host);
  IASIO* second = dll.CreateDriver();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->init(nullptr), ASIOFalse);
  char message[124] = {};
  second->getErrorMessage(message);
  EXPECT_NE(strstr(message, "in use by another program"), nullptr) << message;
  // Released only after the panel call, whichever switch that came in.
  for (const DWORD asked = GetTickCount(); panel == -1 && GetTickCount() - asked < 5000;) Sleep(1);
  release = true;
  const DWORD begin = GetTickCount();
  while (second->init(nullptr) != ASIOTrue && GetTickCount() - begin < 5000) Sleep(10);
  EXPECT_EQ(panel, ASE_OK);
  driver = second;
  Stream(driver, host);
  EXPECT_EQ(driver->stop(), ASE_OK);
}

TEST_F(VirtualDeviceBuildTest, BuffersForSeveralChannelSetsAndSizes) {
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  FakeHost host;
  const std::vector<std::vector<ASIOBufferInfo>> sets = {
      {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}},
      {{ASIOTrue, 15, {}}, {ASIOFalse, 1, {}}},
      {},
  };
  for (long size : {96L, 288L, 576L}) {
    for (std::vector<ASIOBufferInfo> set : sets) {
      ASSERT_EQ(driver->createBuffers(set.data(), static_cast<long>(set.size()), size,
                                      host.Callbacks()),
                ASE_OK)
          << size;
      for (const ASIOBufferInfo& info : set) EXPECT_NE(info.buffers[0], nullptr);
      // A half and the converter in; three halves and the converter out.
      long inputLatency = 0, outputLatency = 0;
      driver->getLatencies(&inputLatency, &outputLatency);
      EXPECT_EQ(inputLatency, size + static_cast<long>(kVdCaptureDelayFrames));
      EXPECT_EQ(outputLatency, 3 * size + static_cast<long>(kVdRenderDelayFrames));
      EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    }
  }
}

}  // namespace
