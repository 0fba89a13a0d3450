// The streaming thread and loop driven through IASIO against the virtual
// Vor OD on its stepped clock, in each streaming mode.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "tests/support/StreamingRig.h"

namespace {

using Access = CAsioDriverTestAccess;

class StreamLoopTest : public ::testing::TestWithParam<StreamMode> {
 protected:
  StreamLoopTest() : rig(GetParam()) {}
  // Whatever happened, releasing the driver leaves no device handle open.
  void TearDown() override {
    rig.driver.Release();
    EXPECT_EQ(rig.device.OpenHandleCount(), 0u);
  }

  void RecordingHost() { rig.UseRecordingHost(); }

  bool WaitForSwitches(uint32_t count) {
    return rig.device.WaitUntil(
        [&](const CVirtualDevice&) { return Access::SwitchCount(rig.Asio()) >= count; });
  }

  void ExpectCapturedPattern() { rig.ExpectCapturedPattern(0); }
  void ExpectRenderedHostOutput(long latency, long hostFrames, const std::vector<size_t>& fed) {
    rig.ExpectRenderedHostOutput(latency, hostFrames, fed);
  }

  StreamingRig rig;
};

TEST_P(StreamLoopTest, CaptureAndRenderReachTheirEndsInverted) {
  ASSERT_TRUE(rig.Init());
  const long B = 96;
  ASSERT_EQ(rig.Prepare(B, {0, 5, 15}, {0, 1}), ASE_OK);
  RecordingHost();
  ASSERT_EQ(rig.Start(2 * B), ASE_OK);
  const uint32_t switches = 12;
  ASSERT_TRUE(rig.device.Step((switches - 2) * B));
  ASSERT_TRUE(WaitForSwitches(switches));
  ASSERT_EQ(rig.Asio()->stop(), ASE_OK);

  // Whatever the device does after stop, the host hears nothing more.
  const int calls = rig.host.switches;
  rig.device.Step(4 * B);
  EXPECT_EQ(rig.host.switches, calls);
  ASSERT_GE(rig.seen.size(), switches);

  for (size_t i = 0; i < rig.host.indices.size(); ++i) EXPECT_EQ(rig.host.indices[i], long(i % 2));
  ExpectCapturedPattern();
  // Frame 1 of channel 0 carries 256.
  EXPECT_EQ(VdCaptureSample(1, 0), 256);
  EXPECT_EQ(rig.seen[0][0][1], -255);

  // Round trip: a half gathered, two halves of output, and the device's
  // render queue (three packets ahead, or the other half of the cyclic buffer).
  const long latency = GetParam() == StreamMode::Looped ? 4 * B : 6 * B;
  EXPECT_EQ(Access::LatencyFrames(rig.Asio()),
            static_cast<uint32_t>(latency) + kVdCaptureDelayFrames + kVdRenderDelayFrames);
  ExpectRenderedHostOutput(latency, static_cast<long>(switches) * B, {0, 1});
  EXPECT_EQ(Access::DropOuts(rig.Asio()), 0u);
  const VdStreamStats stats = rig.device.Stats();
  EXPECT_EQ(stats.ullOverrunFrames, 0u);
  EXPECT_EQ(stats.ullUnderrunFrames, 0u);
  EXPECT_EQ(stats.ulHostWaitTimeouts, 0u);
}

TEST_P(StreamLoopTest, FillerSlotsAndUnfedChannelsStayUntouched) {
  ASSERT_TRUE(rig.Init());
  const long B = 96;
  ASSERT_EQ(rig.Prepare(B, {3}, {1}), ASE_OK);
  for (int slot = 1; slot < 16; ++slot) {
    ASSERT_EQ(Access::InputChannel(rig.Asio(), slot), 255);
    memset(Access::InputBuffer(rig.Asio(), slot), 0, 2 * B * sizeof(int32_t));
  }
  RecordingHost();
  ASSERT_EQ(rig.Start(2 * B), ASE_OK);
  ASSERT_TRUE(rig.device.Step(8 * B));
  ASSERT_TRUE(WaitForSwitches(10));
  rig.Asio()->stop();

  for (int slot = 1; slot < 16; ++slot) {
    const int32_t* cells = Access::InputBuffer(rig.Asio(), slot);
    for (long f = 0; f < 2 * B; ++f) ASSERT_EQ(cells[f], 0) << "filler slot " << slot;
  }
  ExpectCapturedPattern();
  const long latency = GetParam() == StreamMode::Looped ? 4 * B : 6 * B;
  // Device channel 0 has no slot: silence throughout.
  ExpectRenderedHostOutput(latency, 10 * B, {1});
}

TEST_P(StreamLoopTest, AnOutputSlotBeyondTheDeviceChannelsContributesNothing) {
  ASSERT_TRUE(rig.Init());
  const long B = 96;
  ASSERT_EQ(rig.Prepare(B, {0}, {0, 1}), ASE_OK);
  Access::SetOutputChannel(rig.Asio(), 0, 2);
  RecordingHost();
  ASSERT_EQ(rig.Start(2 * B), ASE_OK);
  ASSERT_TRUE(rig.device.Step(8 * B));
  ASSERT_TRUE(WaitForSwitches(10));
  rig.Asio()->stop();
  const long latency = GetParam() == StreamMode::Looped ? 4 * B : 6 * B;
  ExpectRenderedHostOutput(latency, 10 * B, {2, 1});
}

TEST_P(StreamLoopTest, StartWhileRunningLeavesTheRunAlone) {
  ASSERT_TRUE(rig.Init());
  const long B = 96;
  ASSERT_EQ(rig.Prepare(B, {0}, {0, 1}), ASE_OK);
  ASSERT_EQ(rig.Start(3 * B), ASE_OK);
  ASSERT_TRUE(WaitForSwitches(3));
  const long index = Access::BufferIndex(rig.Asio());
  const uint64_t position = Access::SamplePosition(rig.Asio());

  EXPECT_EQ(rig.Asio()->start(), ASE_OK);
  EXPECT_EQ(Access::BufferIndex(rig.Asio()), index);
  EXPECT_EQ(Access::SamplePosition(rig.Asio()), position);
  EXPECT_EQ(Access::SwitchCount(rig.Asio()), 3u);
  // The same run goes on.
  ASSERT_TRUE(rig.device.Step(B));
  EXPECT_TRUE(WaitForSwitches(4));
  EXPECT_EQ(rig.host.indices.size(), 4u);
}

TEST_P(StreamLoopTest, HostCallsFromInsideTheCallback) {
  ASSERT_TRUE(rig.Init());
  const long B = 96;
  ASSERT_EQ(rig.Prepare(B, {0}, {0, 1}), ASE_OK);
  ASIOError stopResult = ASE_HWMalfunction, disposeResult = ASE_OK, createResult = ASE_OK;
  rig.host.onSwitch = [&](long) {
    if (rig.host.indices.size() != 4) return;
    ASIOBufferInfo info = {ASIOTrue, 0, {nullptr, nullptr}};
    createResult = rig.Asio()->createBuffers(&info, 1, B, rig.host.Callbacks());
    disposeResult = rig.Asio()->disposeBuffers();
    stopResult = rig.Asio()->stop();
  };
  ASSERT_EQ(rig.Start(2 * B), ASE_OK);
  ASSERT_TRUE(rig.device.Step(2 * B));
  // The loop ends by itself after the switch that asked.
  ASSERT_TRUE(rig.device.WaitUntil(
      [&](const CVirtualDevice&) { return !Access::StreamThreadAlive(rig.Asio()); }));
  EXPECT_EQ(stopResult, ASE_OK);
  EXPECT_EQ(createResult, ASE_InvalidMode);
  EXPECT_EQ(disposeResult, ASE_InvalidMode);
  EXPECT_EQ(rig.host.indices.size(), 4u);
  EXPECT_NE(Access::Callbacks(rig.Asio()), nullptr);

  // The host's own stop and a new start work as usual.
  EXPECT_EQ(rig.Asio()->stop(), ASE_OK);
  rig.host.onSwitch = nullptr;
  EXPECT_EQ(rig.Start(2 * B), ASE_OK);
  EXPECT_EQ(rig.host.indices.size(), 6u);
  EXPECT_EQ(rig.Asio()->disposeBuffers(), ASE_OK);
}

TEST_P(StreamLoopTest, SilentDeviceEndsTheRunAndStopReturnsAtOnce) {
  ASSERT_TRUE(rig.Init());
  const long B = 96;
  ASSERT_EQ(rig.Prepare(B, {0}, {0, 1}), ASE_OK);
  ASSERT_EQ(rig.Start(2 * B), ASE_OK);
  // The halves the device did write are handed over before it stops.
  ASSERT_TRUE(WaitForSwitches(2));
  rig.device.Machine().streaming.bHang = true;
  rig.device.Step(4 * B);
  // Nothing completes or moves: the thread gives up after two seconds.
  ASSERT_TRUE(rig.device.WaitUntil(
      [&](const CVirtualDevice&) { return !Access::StreamThreadAlive(rig.Asio()); }, 10000));
  const DWORD before = timeGetTime();
  EXPECT_EQ(rig.Asio()->stop(), ASE_OK);
  EXPECT_LT(timeGetTime() - before, 5000u) << "stop waited for a thread that had ended";
  EXPECT_EQ(rig.host.indices.size(), 2u);
  // Nothing is left pending on the pins.
  EXPECT_EQ(rig.device.PendingReads(rig.CapturePin()), 0u);
  EXPECT_EQ(rig.device.PendingWrites(rig.RenderPin()), 0u);
}

TEST_P(StreamLoopTest, UnpluggedDeviceEndsTheRunAndEveryHandleCloses) {
  ASSERT_TRUE(rig.Init());
  const long B = 96;
  ASSERT_EQ(rig.Prepare(B, {0}, {0, 1}), ASE_OK);
  ASSERT_EQ(rig.Start(2 * B), ASE_OK);
  ASSERT_TRUE(WaitForSwitches(2));
  rig.device.Unplug();
  rig.device.Step(2 * B);
  ASSERT_TRUE(rig.device.WaitUntil(
      [&](const CVirtualDevice&) { return !Access::StreamThreadAlive(rig.Asio()); }, 10000));
  EXPECT_EQ(rig.Asio()->stop(), ASE_OK);
  // The failed requests carried no audio: no switch came of them.
  EXPECT_EQ(rig.host.indices.size(), 2u);
  EXPECT_EQ(rig.Asio()->start(), ASE_HWMalfunction);
  EXPECT_EQ(rig.Asio()->disposeBuffers(), ASE_OK);
}

TEST_P(StreamLoopTest, StallingCallbackCostsDropOutsAndStreamingGoesOn) {
  ASSERT_TRUE(rig.Init());
  const long B = 96;
  ASSERT_EQ(rig.Prepare(B, {0}, {0, 1}), ASE_OK);
  HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  rig.host.onSwitch = [&](long) {
    if (rig.host.indices.size() == 5) {
      SetEvent(entered);
      WaitForSingleObject(release, 10000);
    }
  };
  ASSERT_EQ(rig.Start(2 * B), ASE_OK);
  ASSERT_TRUE(rig.device.Step(3 * B));
  ASSERT_EQ(WaitForSingleObject(entered, 5000), WAIT_OBJECT_0);
  // The device runs on as hardware does while the host is stuck.
  rig.device.Machine().streaming.dwHostWaitMs = 0;
  rig.device.Step(6 * B + B / 2);
  rig.device.Machine().streaming.dwHostWaitMs = 2000;
  Sleep(30);  // as long as the device took for those frames
  SetEvent(release);
  // The device went round its buffers more often than their positions can
  // tell: the run goes on with what comes next.
  ASSERT_TRUE(rig.device.Step(2 * B));
  ASSERT_TRUE(WaitForSwitches(6));
  ASSERT_TRUE(rig.device.Step(5 * B));
  EXPECT_TRUE(WaitForSwitches(9));
  // Packets count the stall once. A cyclic capture buffer may count once
  // more: a device stepped on at once can race round it again before the
  // loop looks, which is a loss of its own.
  const uint32_t dropOuts = Access::DropOuts(rig.Asio());
  EXPECT_GE(dropOuts, 1u);
  EXPECT_LE(dropOuts, GetParam() == StreamMode::Standard ? 1u : 2u);
  const VdStreamStats stats = rig.device.Stats();
  if (GetParam() == StreamMode::Looped) {
    EXPECT_GT(stats.ulMissedNotifications, 0u);
  } else {
    EXPECT_GT(stats.ullUnderrunFrames, 0u);
  }
  rig.Asio()->stop();
  CloseHandle(entered);
  CloseHandle(release);
}

INSTANTIATE_TEST_SUITE_P(Modes, StreamLoopTest,
                         ::testing::Values(StreamMode::Looped, StreamMode::Standard,
                                           StreamMode::Mixed),
                         [](const ::testing::TestParamInfo<StreamMode>& info) {
                           return std::string(StreamModeName(info.param));
                         });

}  // namespace
