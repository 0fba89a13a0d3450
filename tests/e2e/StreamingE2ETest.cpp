// Streaming on the virtual Vor OD's real-time clock, driven as a host drives
// the driver. Lossless: a loaded machine costs time, never data. Counts and
// data are checked, not timing.
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/DriverDll.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RegistrySandbox.h"
#include "tests/support/StreamingRig.h"

namespace {

using Access = CAsioDriverTestAccess;

class StreamingE2ETest : public ::testing::TestWithParam<StreamMode> {};

TEST_P(StreamingE2ETest, LosslessRunCarriesThePatternAndTheHostOutput) {
  StreamingRig rig(GetParam());
  rig.device.SetClockMode(VdClockMode::RealTimeLossless);
  ASSERT_TRUE(rig.Init());
  const long B = 96;
  ASSERT_EQ(rig.Prepare(B, {0, 8, 15}, {0, 1}), ASE_OK);
  rig.UseRecordingHost();
  ASSERT_EQ(rig.Asio()->start(), ASE_OK);
  const uint32_t switches = 200;
  ASSERT_TRUE(rig.device.WaitUntil(
      [&](const CVirtualDevice&) { return Access::SwitchCount(rig.Asio()) >= switches; }, 60000));
  ASSERT_EQ(rig.Asio()->stop(), ASE_OK);
  const int calls = rig.host.switches;
  const VdStreamStats stats = rig.device.Stats();
  rig.device.WaitUntil([&](const CVirtualDevice& d) { return d.Stats().ullFrame > stats.ullFrame + 4 * B; },
                       1000);
  EXPECT_EQ(rig.host.switches, calls) << "a callback after stop returned";

  ASSERT_GE(rig.seen.size(), switches);
  // The capture pin started a little after the clock: its first frame says when.
  ULONG first = 0;
  WORD channel = 0;
  ASSERT_TRUE(VdDecodeCaptureSample(DeviceSampleOf(rig.seen[0][0][0]), &first, &channel));
  rig.ExpectCapturedPattern(first);
  // The same round trip as on the stepped clock, whenever each pin started.
  const long latency = GetParam() == StreamMode::Looped ? 4 * B : 6 * B;
  EXPECT_EQ(Access::LatencyFrames(rig.Asio()),
            static_cast<uint32_t>(latency) + kVdCaptureDelayFrames + kVdRenderDelayFrames);
  rig.ExpectRenderedHostOutput(latency, static_cast<long>(rig.seen.size()) * B, {0, 1}, first);
  EXPECT_EQ(stats.ullOverrunFrames, 0u);
  EXPECT_EQ(stats.ullUnderrunFrames, 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, StreamingE2ETest,
                         ::testing::Values(StreamMode::Looped, StreamMode::Standard),
                         [](const ::testing::TestParamInfo<StreamMode>& info) {
                           return std::string(StreamModeName(info.param));
                         });

// Twenty runs in one process, on the real-time clock: each streams, and every
// handle each run opened goes back to the device.
TEST(StreamingCyclesTest, TwentyRunsLeaveNoHandleOpen) {
  StreamingRig rig(StreamMode::Looped);
  rig.device.SetClockMode(VdClockMode::RealTimeLossless);
  ASSERT_TRUE(rig.Init());
  const size_t handlesAfterInit = rig.device.OpenHandleCount();
  const long sizes[] = {96, 288, 576};
  for (int cycle = 0; cycle < 20; ++cycle) {
    ASSERT_EQ(rig.Prepare(sizes[cycle % 3], {0, 15}, {0, 1}), ASE_OK) << cycle;
    const int before = rig.host.switches;
    ASSERT_EQ(rig.Asio()->start(), ASE_OK) << cycle;
    rig.device.WaitUntil([&](const CVirtualDevice&) { return rig.host.switches > before + 2; });
    ASSERT_EQ(rig.Asio()->stop(), ASE_OK) << cycle;
    EXPECT_GT(rig.host.switches, before + 2) << cycle;
    ASSERT_EQ(rig.Asio()->disposeBuffers(), ASE_OK) << cycle;
    EXPECT_EQ(rig.device.OpenHandleCount(), handlesAfterInit) << cycle;
  }
  rig.driver.Release();
  EXPECT_EQ(rig.device.OpenHandleCount(), 0u);
}

// The virtual-device build of the DLL, loaded as a host loads a driver.
TEST(VirtualDeviceBuildStreamingTest, StreamsThePatternUntilStopped) {
  RegistrySandbox sandbox;
  DriverDll dll(VirtualDeviceDllPath());
  ASSERT_TRUE(dll.Loaded());
  IASIO* driver = dll.CreateDriver();
  ASSERT_NE(driver, nullptr);
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  FakeHost host(1);
  const long B = 192;
  std::vector<ASIOBufferInfo> infos = {{ASIOTrue, 2, {}}, {ASIOTrue, 13, {}}, {ASIOFalse, 0, {}}};
  ASSERT_EQ(driver->createBuffers(infos.data(), 3, B, host.Callbacks()), ASE_OK);
  std::vector<std::vector<int32_t>> two, thirteen;
  host.onSwitch = [&](long index) {
    two.emplace_back(static_cast<int32_t*>(infos[0].buffers[index]),
                     static_cast<int32_t*>(infos[0].buffers[index]) + B);
    thirteen.emplace_back(static_cast<int32_t*>(infos[1].buffers[index]),
                          static_cast<int32_t*>(infos[1].buffers[index]) + B);
  };
  ASSERT_EQ(driver->start(), ASE_OK);
  const DWORD started = GetTickCount();
  while (host.switches < 100 && GetTickCount() - started < 60000) Sleep(10);
  ASSERT_EQ(driver->stop(), ASE_OK);
  const int calls = host.switches;
  ASSERT_GE(calls, 100);
  ASSERT_EQ(host.timeInfoSwitches, calls);
  // Once start has returned, positions go on by one buffer per switch.
  ASIOSamples position;
  ASIOTimeStamp stamp;
  ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
  ASSERT_EQ(host.timeRecords.size(), static_cast<size_t>(calls));
  EXPECT_EQ(host.timeRecords.back().timeInfo.samplePosition.lo, position.lo);
  for (int i = calls - 50; i < calls; ++i)
    EXPECT_EQ(host.timeRecords[i].timeInfo.samplePosition.lo,
              host.timeRecords[i - 1].timeInfo.samplePosition.lo + B);

  ULONG first = 0;
  WORD channel = 0;
  ASSERT_TRUE(VdDecodeCaptureSample(DeviceSampleOf(two[0][0]), &first, &channel));
  for (size_t s = 0; s < two.size(); ++s)
    for (long f = 0; f < B; ++f) {
      const ULONGLONG frame = first + s * B + f;
      ASSERT_EQ(two[s][f], HostSampleOf(VdCaptureSample(frame, 2))) << s << " " << f;
      ASSERT_EQ(thirteen[s][f], HostSampleOf(VdCaptureSample(frame, 13))) << s << " " << f;
    }
  EXPECT_EQ(host.switches, calls);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(driver->Release(), 0u);
}

}  // namespace
