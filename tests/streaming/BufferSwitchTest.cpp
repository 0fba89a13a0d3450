// The buffer switch: which half the host gets, what it finds there, and what
// the render side receives back.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <cstring>
#include <vector>

#include "tests/support/DriverTestAccess.h"
#include "tests/support/FakeHost.h"

namespace {

using Access = CAsioDriverTestAccess;

void StageFloat(int32_t* cell, float value) { memcpy(cell, &value, 4); }

class BufferSwitchTest : public ::testing::Test {
 protected:
  // One input (channel 2), both outputs, 16 device inputs.
  void Prepare(FakeHost& host, long bufferSize) {
    Access::SetChannelCounts(driver.get(), 16, 2);
    infos = {{ASIOTrue, 2, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASSERT_EQ(driver->createBuffers(infos.data(), 3, bufferSize, host.Callbacks()), ASE_OK);
  }
  int32_t* In(int half) { return static_cast<int32_t*>(infos[0].buffers[half]); }
  int32_t* Out(int slot, int half) { return static_cast<int32_t*>(infos[1 + slot].buffers[half]); }

  InProcessDriver driver;
  std::vector<ASIOBufferInfo> infos;
};

TEST_F(BufferSwitchTest, WithoutBuffersNothingHappens) {
  Access::SetBufferIndex(driver.get(), 1);
  Access::SetSamplePosition(driver.get(), 0);
  Access::DoBufferSwitch(driver.get());
  Access::DoBufferSwitch(driver.get());
  EXPECT_EQ(Access::BufferIndex(driver.get()), 1);
  EXPECT_EQ(Access::SamplePosition(driver.get()), 0u);
  ASIOSamples position;
  ASIOTimeStamp stamp;
  driver->getSamplePosition(&position, &stamp);
  EXPECT_EQ(stamp.hi, 0u);
  EXPECT_EQ(stamp.lo, 0u);
}

TEST_F(BufferSwitchTest, HalvesAlternateAndOnlyTheCurrentHalfIsConverted) {
  FakeHost host;
  const int B = 96;
  Prepare(host, B);
  for (int i = 0; i < B; ++i) {
    StageFloat(In(0) + i, 0.5f);
    StageFloat(In(1) + i, -0.5f);
  }
  std::vector<int32_t> seenHalf0, seenHalf1;
  host.onSwitch = [&](long index) {
    (index == 0 ? seenHalf0 : seenHalf1).assign(In(index), In(index) + B);
  };

  Access::DoBufferSwitch(driver.get());
  EXPECT_EQ(Access::BufferIndex(driver.get()), 1);
  ASSERT_EQ(host.indices.size(), 1u);
  EXPECT_EQ(host.indices[0], 0);
  EXPECT_EQ(seenHalf0, std::vector<int32_t>(B, 1073741823));
  // Half 1 still holds its staged floats.
  float staged = 0;
  memcpy(&staged, In(1), 4);
  EXPECT_EQ(staged, -0.5f);

  Access::DoBufferSwitch(driver.get());
  EXPECT_EQ(Access::BufferIndex(driver.get()), 0);
  ASSERT_EQ(host.indices.size(), 2u);
  EXPECT_EQ(host.indices[1], 1);
  EXPECT_EQ(seenHalf1, std::vector<int32_t>(B, -1073741823));
}

TEST_F(BufferSwitchTest, HostOutputOfTheHalfReachesTheFloatBuffers) {
  FakeHost host;
  const int B = 96;
  Prepare(host, B);
  host.onSwitch = [&](long index) {
    for (int i = 0; i < B; ++i) {
      Out(0, index)[i] = 1073741824;
      Out(1, index)[i] = -2147483647 - 1;
    }
  };
  float* floats0 = Access::OutputFloatBuffer(driver.get(), 0);
  float* floats1 = Access::OutputFloatBuffer(driver.get(), 1);
  for (int i = 0; i < 2 * B; ++i) floats0[i] = floats1[i] = 7.0f;

  Access::DoBufferSwitch(driver.get());
  for (int i = 0; i < B; ++i) {
    EXPECT_EQ(floats0[i], 0.5f);
    EXPECT_EQ(floats1[i], -1.0f);
    EXPECT_EQ(floats0[B + i], 7.0f);  // the other half is left for later
  }
  Access::DoBufferSwitch(driver.get());
  EXPECT_EQ(floats0[B], 0.5f);
  EXPECT_EQ(floats1[2 * B - 1], -1.0f);
}

TEST_F(BufferSwitchTest, FillerSlotsAreConvertedLikeTheOthers) {
  FakeHost host;
  Prepare(host, 96);
  int32_t* filler = Access::InputBuffer(driver.get(), 5);
  ASSERT_EQ(Access::InputChannel(driver.get(), 5), 255);
  StageFloat(filler, 1.0f);
  StageFloat(filler + 1, -1.0f);
  Access::DoBufferSwitch(driver.get());
  EXPECT_EQ(filler[0], 2147483647);
  EXPECT_EQ(filler[1], -2147483647);
}

TEST_F(BufferSwitchTest, TimeStampIsTheMillisecondClockInNanoseconds) {
  FakeHost host;
  Prepare(host, 96);
  const DWORD before = timeGetTime();
  Access::DoBufferSwitch(driver.get());
  const DWORD after = timeGetTime();
  ASIOSamples position;
  ASIOTimeStamp stamp;
  ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
  const unsigned long long ns = (static_cast<unsigned long long>(stamp.hi) << 32) | stamp.lo;
  EXPECT_EQ(ns % 1000000u, 0u);
  EXPECT_GE(ns / 1000000u, before);
  EXPECT_LE(ns / 1000000u, after);
}

TEST_F(BufferSwitchTest, TimeInfoHostGetsPositionStampAndClearedChangeFlags) {
  FakeHost host(1);
  Prepare(host, 288);
  Access::AsioTime(driver.get()).timeInfo.flags = 0x37;

  Access::DoBufferSwitch(driver.get());
  Access::DoBufferSwitch(driver.get());

  ASSERT_EQ(host.timeInfoSwitches, 2);
  ASSERT_EQ(host.timeRecords.size(), 2u);
  // The host sees the change flags once; they are cleared after its call.
  EXPECT_EQ(host.timeRecords[0].timeInfo.flags, 0x37u);
  EXPECT_EQ(host.timeRecords[1].timeInfo.flags, 0x07u);
  EXPECT_EQ(Access::AsioTime(driver.get()).timeInfo.flags, 0x07u);
  // Each switch hands over the position of its own half's first frame.
  EXPECT_EQ(host.timeRecords[0].timeInfo.samplePosition.lo, 0u);
  EXPECT_EQ(host.timeRecords[1].timeInfo.samplePosition.lo, 288u);
  EXPECT_EQ(host.timeRecords[1].timeInfo.samplePosition.hi, 0u);
  ASIOSamples position;
  ASIOTimeStamp stamp;
  driver->getSamplePosition(&position, &stamp);
  EXPECT_EQ(host.timeRecords[1].timeInfo.systemTime.lo, stamp.lo);
  EXPECT_EQ(host.timeRecords[1].timeInfo.systemTime.hi, stamp.hi);
  EXPECT_EQ(host.indices, (std::vector<long>{0, 1}));
}

TEST_F(BufferSwitchTest, ClockSourceChangeIsReportedOnceToTimeInfoHosts) {
  FakeHost host(1);
  Prepare(host, 96);
  driver->setClockSource(0);
  Access::DoBufferSwitch(driver.get());
  Access::DoBufferSwitch(driver.get());
  ASSERT_EQ(host.timeRecords.size(), 2u);
  EXPECT_NE(host.timeRecords[0].timeInfo.flags & kClockSourceChanged, 0u);
  EXPECT_EQ(host.timeRecords[1].timeInfo.flags & kClockSourceChanged, 0u);
}

}  // namespace
