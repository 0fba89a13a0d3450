// What the host is told about time, on the stepped clock: the position of
// every switch from the first, the round trip its latencies promise, and
// the end of a run whose device went away.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "tests/support/StreamingRig.h"

namespace {

using Access = CAsioDriverTestAccess;

const StreamMode kModes[] = {StreamMode::Looped, StreamMode::Standard};
const long kSizes[] = {96, 288, 576};

bool WaitForSwitches(StreamingRig& rig, uint32_t count) {
  return rig.device.WaitUntil(
      [&](const CVirtualDevice&) { return Access::SwitchCount(rig.Asio()) >= count; });
}

uint64_t Frames(const ASIOSamples& samples) {
  return (static_cast<uint64_t>(samples.hi) << 32) | samples.lo;
}

// Every switch of a run, those before start returns included, carries the
// position of its own half, in both callback forms; inside the callback
// getSamplePosition tells the same switch.
TEST(HostTimelineTest, PositionsCountEverySwitchFromTheFirst) {
  for (StreamMode mode : kModes)
    for (long B : kSizes)
      for (long timeInfo : {0L, 1L}) {
        SCOPED_TRACE(std::string(StreamModeName(mode)) + " B=" + std::to_string(B) +
                     (timeInfo ? " time info" : " bufferSwitch"));
        StreamingRig rig(mode);
        rig.host.SetTimeInfoAnswer(timeInfo);
        ASSERT_TRUE(rig.Init());
        ASSERT_EQ(rig.Prepare(B, {0}, {0, 1}), ASE_OK);
        std::vector<uint64_t> asked, handed;
        std::vector<bool> sameStamp;
        rig.host.onSwitch = [&](long) {
          ASIOSamples position = {};
          ASIOTimeStamp stamp = {};
          rig.Asio()->getSamplePosition(&position, &stamp);
          asked.push_back(Frames(position));
          if (timeInfo) {
            const AsioTimeInfo& info = rig.host.timeRecords.back().timeInfo;
            handed.push_back(Frames(info.samplePosition));
            sameStamp.push_back(info.systemTime.hi == stamp.hi && info.systemTime.lo == stamp.lo);
          }
        };
        ASSERT_EQ(rig.Start(2 * B), ASE_OK);
        ASSERT_TRUE(rig.device.Step(4 * B));
        ASSERT_TRUE(WaitForSwitches(rig, 6));
        rig.Asio()->stop();
        ASSERT_GE(asked.size(), 6u);
        for (size_t k = 0; k < asked.size(); ++k) {
          EXPECT_EQ(asked[k], k * B) << "switch " << k;
          if (timeInfo) {
            EXPECT_EQ(handed[k], k * B) << "switch " << k;
            EXPECT_TRUE(sameStamp[k]) << "switch " << k;
          }
        }
      }
}

// Through the virtual device's loopback, whatever time passes between the
// two pins' starts: a host output frame comes back exactly as many frames
// later as the input and output latencies add up to.
// In low latency the round trip is two buffers (three with render packets)
// and the safety offset.
TEST(HostTimelineTest, RoundTripIsWhatTheLatenciesSayWhateverTheStartSkew) {
  for (bool lowLatency : {false, true})
  for (StreamMode mode : kModes)
    for (long B : kSizes)
      for (ULONG skew : {0ul, 37ul, static_cast<ULONG>(B) + 11}) {
        SCOPED_TRACE(std::string(StreamModeName(mode)) + " B=" + std::to_string(B) +
                     " skew=" + std::to_string(skew) + (lowLatency ? " low latency" : ""));
        StreamingRig rig(mode);
        rig.device.Machine().streaming.loopbacks = {{0, 14}};
        rig.device.Machine().streaming.ulRunSkewFrames = skew;
        ASSERT_TRUE(rig.Init());
        Access::SetLowLatency(rig.Asio(), lowLatency);
        ASSERT_EQ(rig.Prepare(B, {14}, {0}), ASE_OK);
        rig.UseRecordingHost();
        long in = 0, out = 0;
        ASSERT_EQ(rig.Asio()->getLatencies(&in, &out), ASE_OK);
        ASSERT_EQ(rig.Start(2 * B), ASE_OK);
        const uint32_t switches = static_cast<uint32_t>((in + out) / B + 9);
        ASSERT_TRUE(rig.device.Step((switches - 2) * B));
        ASSERT_TRUE(WaitForSwitches(rig, switches));
        rig.Asio()->stop();

        // The host wrote ((h % 4096) + 1) x 65536 at frame h: the last half
        // it heard names the frame it played, polarity restored twice.
        const std::vector<int32_t>& last = rig.seen[switches - 1][0];
        const long heardAt = static_cast<long>(switches - 1) * B;
        const long echo = (DeviceSampleOf(-last[0]) >> 16) - 1;
        const long roundTrip = (heardAt - echo) % 4096;
        EXPECT_EQ(roundTrip, in + out);
        EXPECT_EQ(Access::DropOuts(rig.Asio()), 0u);
        if (lowLatency) {
          EXPECT_EQ(in + out, (mode == StreamMode::Looped ? 2 : 3) * B + 48 + 96);
        }
      }
}

// The device is pulled out mid-run: a host that can reset hears so exactly
// once, no callback follows, its clock reads as stopped, and stop, dispose
// and release leave nothing behind. A host that cannot reset hears nothing.
TEST(HostTimelineTest, ADeviceGoneMidRunAsksForOneResetAndStopsTheClock) {
  for (StreamMode mode : kModes)
    for (bool canReset : {true, false}) {
      SCOPED_TRACE(std::string(StreamModeName(mode)) + (canReset ? " reset" : " no reset"));
      StreamingRig rig(mode);
      if (canReset) rig.host.supported = {kAsioResetRequest};
      ASSERT_TRUE(rig.Init());
      ASSERT_EQ(rig.Prepare(96, {0}, {0, 1}), ASE_OK);
      ASSERT_EQ(rig.Start(2 * 96), ASE_OK);
      ASSERT_TRUE(rig.device.Step(2 * 96));
      ASSERT_TRUE(WaitForSwitches(rig, 4));
      rig.device.Unplug();
      ASSERT_TRUE(rig.device.WaitUntil(
          [&](const CVirtualDevice&) {
            return Access::DeviceLost(rig.Asio()) && !Access::StreamThreadAlive(rig.Asio());
          },
          3000));
      const int atEnd = rig.host.switches;
      rig.device.Step(4 * 96);
      Sleep(50);
      EXPECT_EQ(rig.host.switches, atEnd);
      if (canReset)
        EXPECT_EQ(rig.host.messages, (std::vector<std::pair<long, long>>{{kAsioResetRequest, 0}}));
      else
        EXPECT_TRUE(rig.host.messages.empty());
      ASIOSamples position;
      ASIOTimeStamp stamp;
      EXPECT_EQ(rig.Asio()->getSamplePosition(&position, &stamp), ASE_SPNotAdvancing);
      EXPECT_EQ(rig.Asio()->stop(), ASE_OK);
      EXPECT_EQ(rig.Asio()->disposeBuffers(), ASE_OK);
      rig.driver.Release();
      EXPECT_EQ(rig.device.OpenHandleCount(), 0u);
    }
}

}  // namespace

namespace {

// A punctual device and a punctual loop, the loop on its own thread: not one
// drop-out over two thousand halves, and the device lost, overwrote and
// underran nothing either.
TEST(HostTimelineTest, APunctualRunCountsNoDropOutOverThousandsOfHalves) {
  for (StreamMode mode : kModes) {
    SCOPED_TRACE(StreamModeName(mode));
    StreamingRig rig(mode);
    ASSERT_TRUE(rig.Init());
    ASSERT_EQ(rig.Prepare(96, {0, 15}, {0, 1}), ASE_OK);
    ASSERT_EQ(rig.Start(2 * 96), ASE_OK);
    ASSERT_TRUE(rig.device.Step(2000 * 96));
    ASSERT_TRUE(WaitForSwitches(rig, 2002));
    rig.Asio()->stop();
    EXPECT_EQ(Access::DropOuts(rig.Asio()), 0u);
    const VdStreamStats stats = rig.device.Stats();
    EXPECT_EQ(stats.ullOverrunFrames + stats.ullUnderrunFrames, 0u);
    EXPECT_EQ(stats.ullOverwrittenFrames + stats.ullUnconsumedPlayedFrames, 0u);
    EXPECT_EQ(stats.ulHostWaitTimeouts, 0u);
  }
}

}  // namespace
