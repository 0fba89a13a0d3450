// createBuffers and disposeBuffers: slots, fillers, the host's callbacks and
// every way a careless host can call them.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "tests/support/DriverTestAccess.h"
#include "tests/support/FakeHost.h"

namespace {

using Access = CAsioDriverTestAccess;

ASIOBufferInfo Input(long channel) { return ASIOBufferInfo{ASIOTrue, channel, {nullptr, nullptr}}; }
ASIOBufferInfo Output(long channel) {
  return ASIOBufferInfo{ASIOFalse, channel, {nullptr, nullptr}};
}

class CreateBuffersTest : public ::testing::Test {
 protected:
  void SetUp() override { Access::SetChannelCounts(driver.get(), 16, 2); }

  // The driver holds no buffers and no callbacks.
  void ExpectNothingPrepared() {
    EXPECT_EQ(Access::Callbacks(driver.get()), nullptr);
    EXPECT_EQ(Access::ActiveInputs(driver.get()), 0);
    EXPECT_EQ(Access::ActiveOutputs(driver.get()), 0);
    for (int slot = 0; slot < 16; ++slot) EXPECT_EQ(Access::InputBuffer(driver.get(), slot), nullptr);
    for (int slot = 0; slot < 2; ++slot) {
      EXPECT_EQ(Access::OutputBuffer(driver.get(), slot), nullptr);
      EXPECT_EQ(Access::OutputFloatBuffer(driver.get(), slot), nullptr);
    }
    EXPECT_EQ(driver->start(), ASE_NotPresent);
  }

  bool IsActive(long channel, bool isInput) {
    ASIOChannelInfo info = {};
    info.channel = channel;
    info.isInput = isInput ? ASIOTrue : ASIOFalse;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    return info.isActive == ASIOTrue;
  }

  InProcessDriver driver;
  FakeHost host;
};

TEST_F(CreateBuffersTest, HostInputsComeFirstInRequestOrderThenFillers) {
  std::vector<ASIOBufferInfo> infos = {Input(3), Output(0), Input(0), Output(1)};
  ASSERT_EQ(driver->createBuffers(infos.data(), 4, 288, host.Callbacks()), ASE_OK);

  EXPECT_EQ(Access::ActiveInputs(driver.get()), 16);
  EXPECT_EQ(Access::ActiveOutputs(driver.get()), 2);
  EXPECT_EQ(Access::InputChannel(driver.get(), 0), 3);
  EXPECT_EQ(Access::InputChannel(driver.get(), 1), 0);
  for (int slot = 2; slot < 16; ++slot) {
    EXPECT_EQ(Access::InputChannel(driver.get(), slot), 255) << slot;
    EXPECT_NE(Access::InputBuffer(driver.get(), slot), nullptr) << slot;
  }
  EXPECT_EQ(Access::OutputChannel(driver.get(), 0), 0);
  EXPECT_EQ(Access::OutputChannel(driver.get(), 1), 1);

  // Half 1 starts one buffer size after half 0.
  for (const ASIOBufferInfo& info : infos) {
    ASSERT_NE(info.buffers[0], nullptr);
    EXPECT_EQ(static_cast<int32_t*>(info.buffers[1]), static_cast<int32_t*>(info.buffers[0]) + 288);
  }
  EXPECT_EQ(infos[0].buffers[0], Access::InputBuffer(driver.get(), 0));
  EXPECT_EQ(infos[2].buffers[0], Access::InputBuffer(driver.get(), 1));
  EXPECT_EQ(infos[1].buffers[0], Access::OutputBuffer(driver.get(), 0));
  EXPECT_NE(Access::OutputFloatBuffer(driver.get(), 0), nullptr);

  for (long channel = 0; channel < 16; ++channel)
    EXPECT_EQ(IsActive(channel, true), channel == 0 || channel == 3) << channel;
  EXPECT_TRUE(IsActive(0, false));
  EXPECT_TRUE(IsActive(1, false));

  EXPECT_NE(Access::Callbacks(driver.get()), nullptr);
  EXPECT_EQ(host.timeInfoQueries, 1);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  ExpectNothingPrepared();
  EXPECT_FALSE(IsActive(0, true));
}

// The host hears of new figures only when they change, and only if it asks.
TEST_F(CreateBuffersTest, LatencyFollowsTheBufferSizeAndTheHostIsTold) {
  ASIOBufferInfo info = Input(0);
  host.supported = {kAsioLatenciesChanged};
  ASSERT_EQ(driver->createBuffers(&info, 1, 288, host.Callbacks()), ASE_OK);
  EXPECT_TRUE(host.messages.empty()) << "the preferred size: nothing changed";
  ASSERT_EQ(driver->createBuffers(&info, 1, 192, host.Callbacks()), ASE_OK);
  long inputLatency = 0, outputLatency = 0;
  EXPECT_EQ(driver->getLatencies(&inputLatency, &outputLatency), ASE_OK);
  EXPECT_EQ(inputLatency, 192);
  EXPECT_EQ(outputLatency, 576);
  EXPECT_EQ(Access::BufferSize(driver.get()), 192);
  EXPECT_EQ(host.messages, (std::vector<std::pair<long, long>>{{kAsioLatenciesChanged, 0}}));
  host.supported.clear();
  ASSERT_EQ(driver->createBuffers(&info, 1, 96, host.Callbacks()), ASE_OK);
  EXPECT_EQ(host.messages.size(), 1u);
}

TEST_F(CreateBuffersTest, TheSameChannelTwiceGetsTwoSlots) {
  std::vector<ASIOBufferInfo> infos = {Input(5), Input(5), Output(1), Output(1)};
  ASSERT_EQ(driver->createBuffers(infos.data(), 4, 96, host.Callbacks()), ASE_OK);
  EXPECT_EQ(Access::InputChannel(driver.get(), 0), 5);
  EXPECT_EQ(Access::InputChannel(driver.get(), 1), 5);
  EXPECT_NE(infos[0].buffers[0], infos[1].buffers[0]);
  EXPECT_NE(infos[2].buffers[0], infos[3].buffers[0]);
}

TEST_F(CreateBuffersTest, NoChannelsGivesFillerSlotsOnly) {
  ASSERT_EQ(driver->createBuffers(nullptr, 0, 96, host.Callbacks()), ASE_OK);
  EXPECT_EQ(Access::ActiveInputs(driver.get()), 16);
  EXPECT_EQ(Access::ActiveOutputs(driver.get()), 0);
  for (int slot = 0; slot < 16; ++slot) EXPECT_EQ(Access::InputChannel(driver.get(), slot), 255);
  for (long channel = 0; channel < 16; ++channel) EXPECT_FALSE(IsActive(channel, true));
}

TEST_F(CreateBuffersTest, RequestsBeyondTheDeviceLeaveNothingBehind) {
  std::vector<ASIOBufferInfo> seventeen;
  for (long channel = 0; channel < 16; ++channel) seventeen.push_back(Input(channel));
  seventeen.push_back(Input(0));
  EXPECT_EQ(driver->createBuffers(seventeen.data(), 17, 288, host.Callbacks()),
            ASE_InvalidParameter);
  ExpectNothingPrepared();
  // No pointer into freed memory stays with the host.
  for (const ASIOBufferInfo& info : seventeen) EXPECT_EQ(info.buffers[0], nullptr);

  std::vector<ASIOBufferInfo> badOutput = {Input(0), Output(2)};
  EXPECT_EQ(driver->createBuffers(badOutput.data(), 2, 288, host.Callbacks()),
            ASE_InvalidParameter);
  ExpectNothingPrepared();

  std::vector<ASIOBufferInfo> threeOutputs = {Output(0), Output(1), Output(0)};
  EXPECT_EQ(driver->createBuffers(threeOutputs.data(), 3, 288, host.Callbacks()),
            ASE_InvalidParameter);
  ExpectNothingPrepared();

  for (ASIOBufferInfo bad : {Input(-1), Input(16), Output(-1)}) {
    EXPECT_EQ(driver->createBuffers(&bad, 1, 288, host.Callbacks()), ASE_InvalidParameter);
    ExpectNothingPrepared();
  }

  // The driver stays usable after a refusal.
  ASIOBufferInfo good = Input(15);
  EXPECT_EQ(driver->createBuffers(&good, 1, 288, host.Callbacks()), ASE_OK);
}

TEST_F(CreateBuffersTest, BeforeBringUpEveryChannelIsRefused) {
  Access::SetChannelCounts(driver.get(), 0, 0);
  ASIOBufferInfo info = Input(0);
  EXPECT_EQ(driver->createBuffers(&info, 1, 288, host.Callbacks()), ASE_InvalidParameter);
  info = Output(0);
  EXPECT_EQ(driver->createBuffers(&info, 1, 288, host.Callbacks()), ASE_InvalidParameter);
  ExpectNothingPrepared();
}

TEST_F(CreateBuffersTest, ARepeatedCallReplacesTheBuffers) {
  ASIOBufferInfo first = Input(0);
  ASSERT_EQ(driver->createBuffers(&first, 1, 288, host.Callbacks()), ASE_OK);
  std::vector<ASIOBufferInfo> second = {Input(1), Input(2), Output(0)};
  ASSERT_EQ(driver->createBuffers(second.data(), 3, 576, host.Callbacks()), ASE_OK);
  EXPECT_EQ(Access::InputChannel(driver.get(), 0), 1);
  EXPECT_EQ(Access::InputChannel(driver.get(), 1), 2);
  EXPECT_EQ(Access::InputChannel(driver.get(), 2), 255);
  EXPECT_EQ(Access::ActiveOutputs(driver.get()), 1);
  EXPECT_EQ(Access::BufferSize(driver.get()), 576);
  EXPECT_EQ(host.timeInfoQueries, 2);
}

// Mended: arguments that could only crash or overflow are refused, leaving
// no buffers and no callbacks.
TEST_F(CreateBuffersTest, MalformedRequestsAreRefused) {
  ASIOBufferInfo info = Input(0);
  EXPECT_EQ(driver->createBuffers(nullptr, 1, 288, host.Callbacks()), ASE_InvalidParameter);
  ExpectNothingPrepared();
  EXPECT_EQ(driver->createBuffers(&info, -1, 288, host.Callbacks()), ASE_InvalidParameter);
  ExpectNothingPrepared();
  EXPECT_EQ(driver->createBuffers(&info, 1, 288, nullptr), ASE_InvalidParameter);
  ExpectNothingPrepared();

  for (long size : {0L, -1L, -288L, LONG_MIN, LONG_MAX, 0x2000000L, 0x7FFFFFF0L}) {
    EXPECT_EQ(driver->createBuffers(&info, 1, size, host.Callbacks()), ASE_InvalidParameter)
        << size;
    ExpectNothingPrepared();
  }
  // An absurd size never becomes the driver's buffer size.
  EXPECT_EQ(Access::BufferSize(driver.get()), 288);
  // Mended: sizes outside 96 to 576 are refused before anything changes;
  // inside, other sizes than multiples of 96 still work.
  ASSERT_EQ(driver->createBuffers(&info, 1, 100, host.Callbacks()), ASE_OK);
  for (long size : {1L, 95L, 577L, 1152L, 1L << 20})
    EXPECT_EQ(driver->createBuffers(&info, 1, size, host.Callbacks()), ASE_InvalidParameter) << size;
  EXPECT_EQ(Access::BufferSize(driver.get()), 100);
  EXPECT_NE(Access::Callbacks(driver.get()), nullptr);

  ASIOCallbacks noMessage = *host.Callbacks();
  noMessage.asioMessage = nullptr;
  EXPECT_EQ(driver->createBuffers(&info, 1, 288, &noMessage), ASE_InvalidParameter);
  ExpectNothingPrepared();
}

TEST_F(CreateBuffersTest, AHostWithoutBufferSwitchIsRefused) {
  ASIOBufferInfo info = Input(0);
  FakeHost plainHost(0);
  ASIOCallbacks callbacks = *plainHost.Callbacks();
  callbacks.bufferSwitch = nullptr;
  EXPECT_EQ(driver->createBuffers(&info, 1, 288, &callbacks), ASE_InvalidParameter);
  ExpectNothingPrepared();
  EXPECT_EQ(info.buffers[0], nullptr);

  // A time-info host needs no bufferSwitch.
  FakeHost timeInfoHost(1);
  callbacks = *timeInfoHost.Callbacks();
  callbacks.bufferSwitch = nullptr;
  EXPECT_EQ(driver->createBuffers(&info, 1, 288, &callbacks), ASE_OK);
  EXPECT_TRUE(Access::TimeInfoMode(driver.get()));
}

TEST_F(CreateBuffersTest, TimeInfoHostGetsAPreparedRecord) {
  FakeHost timeInfoHost(1);
  ASIOBufferInfo info = Input(0);
  ASSERT_EQ(driver->createBuffers(&info, 1, 288, timeInfoHost.Callbacks()), ASE_OK);
  EXPECT_TRUE(Access::TimeInfoMode(driver.get()));
  const ASIOTime& time = Access::AsioTime(driver.get());
  EXPECT_EQ(time.timeInfo.speed, 1.0);
  EXPECT_EQ(time.timeInfo.sampleRate, 48000.0);
  EXPECT_EQ(time.timeInfo.flags, static_cast<unsigned long>(kSystemTimeValid | kSamplePositionValid |
                                                            kSampleRateValid));
  // No time-code source: the time code is never marked valid or running.
  EXPECT_EQ(time.timeCode.flags, 0u);
}

// Mended: a host that claims time info but has no callback for it is served
// through bufferSwitch.
TEST_F(CreateBuffersTest, TimeInfoClaimWithoutItsCallbackUsesBufferSwitch) {
  FakeHost claimingHost(1);
  ASIOCallbacks callbacks = *claimingHost.Callbacks();
  callbacks.bufferSwitchTimeInfo = nullptr;
  ASIOBufferInfo info = Input(0);
  ASSERT_EQ(driver->createBuffers(&info, 1, 96, &callbacks), ASE_OK);
  EXPECT_FALSE(Access::TimeInfoMode(driver.get()));
  Access::DoBufferSwitch(driver.get());
  EXPECT_EQ(claimingHost.switches, 1);
  EXPECT_EQ(claimingHost.timeInfoSwitches, 0);
}

TEST_F(CreateBuffersTest, OddCallOrdersAreHarmless) {
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(driver->outputReady(), ASE_NotPresent);
  EXPECT_EQ(driver->stop(), ASE_OK);
  EXPECT_EQ(driver->start(), ASE_NotPresent);
  ASIOBufferInfo info = Output(1);
  EXPECT_EQ(driver->createBuffers(&info, 1, 288, host.Callbacks()), ASE_OK);
  EXPECT_EQ(driver->outputReady(), ASE_NotPresent);
  EXPECT_EQ(driver->stop(), ASE_OK);
  EXPECT_EQ(driver->stop(), ASE_OK);
  // Released with buffers still in place: the destructor frees them.
}

}  // namespace
