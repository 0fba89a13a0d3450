// The driver object's IASIO answers that need no device.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/DriverTestAccess.h"
#include "tests/support/FakeHost.h"

namespace {

using Access = CAsioDriverTestAccess;

class AsioDriverTest : public ::testing::Test {
 protected:
  InProcessDriver driver;
};

TEST_F(AsioDriverTest, IdentityAndFixedAnswers) {
  char name[40];
  memset(name, 'x', sizeof(name));
  driver->getDriverName(name);
  EXPECT_STREQ(name, "Quorvex Vor OD ASIO");
  EXPECT_EQ(name[32], 'x');
  EXPECT_EQ(driver->getDriverVersion(), 1);

  long minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
  EXPECT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
  EXPECT_EQ(minSize, 96);
  EXPECT_EQ(maxSize, 576);
  EXPECT_EQ(preferred, 288);
  EXPECT_EQ(granularity, 96);

  // Without a device: a half in, three halves out through a cyclic buffer.
  long inputLatency = 0, outputLatency = 0;
  EXPECT_EQ(driver->getLatencies(&inputLatency, &outputLatency), ASE_OK);
  EXPECT_EQ(inputLatency, 288);
  EXPECT_EQ(outputLatency, 864);

  EXPECT_EQ(driver->stop(), ASE_OK);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(driver->outputReady(), ASE_NotPresent);
}

TEST_F(AsioDriverTest, OnlyFortyEightKilohertz) {
  EXPECT_EQ(driver->canSampleRate(48000.0), ASE_OK);
  EXPECT_EQ(driver->canSampleRate(44100.0), ASE_NoClock);
  EXPECT_EQ(driver->canSampleRate(96000.0), ASE_NoClock);
  EXPECT_EQ(driver->canSampleRate(0.0), ASE_NoClock);
  EXPECT_EQ(driver->setSampleRate(44100.0), ASE_NoClock);
  EXPECT_EQ(driver->setSampleRate(48000.0), ASE_OK);
  ASIOSampleRate rate = 0;
  EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 48000.0);
}

TEST_F(AsioDriverTest, OneInternalClockSource) {
  ASIOClockSource clocks[3];
  memset(clocks, 0x5A, sizeof(clocks));
  long count = 3;
  EXPECT_EQ(driver->getClockSources(clocks, &count), ASE_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(clocks[0].index, 0);
  EXPECT_EQ(clocks[0].associatedChannel, -1);
  EXPECT_EQ(clocks[0].associatedGroup, -1);
  EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
  EXPECT_STREQ(clocks[0].name, "Internal");
  EXPECT_EQ(clocks[1].index, 0x5A5A5A5A);  // only one entry is ever written

  count = 1;
  EXPECT_EQ(driver->getClockSources(clocks, &count), ASE_OK);
  EXPECT_EQ(count, 1);

  EXPECT_EQ(driver->setClockSource(1), ASE_NotPresent);
  EXPECT_EQ(driver->setClockSource(-1), ASE_NotPresent);
  EXPECT_EQ(driver->setClockSource(0), ASE_OK);
}

TEST_F(AsioDriverTest, FutureSelectors) {
  for (long selector : {kAsioCanInputMonitor, kAsioCanTimeInfo})
    EXPECT_EQ(driver->future(selector, nullptr), ASE_SUCCESS) << selector;
  // Mended: a monitoring request needs its record.
  long monitor[5] = {};
  EXPECT_EQ(driver->future(kAsioSetInputMonitor, monitor), ASE_SUCCESS);
  EXPECT_EQ(driver->future(kAsioSetInputMonitor, nullptr), ASE_InvalidParameter);
  // Mended: the record must name an input (-1: all) and an output that exist.
  ASIOInputMonitor all = {-1, 1, 0x7FFFFFFF, ASIOTrue, 0};
  EXPECT_EQ(driver->future(kAsioSetInputMonitor, &all), ASE_SUCCESS);
  for (ASIOInputMonitor bad : {ASIOInputMonitor{16, 0, 0, ASIOTrue, 0},
                               ASIOInputMonitor{-2, 0, 0, ASIOTrue, 0},
                               ASIOInputMonitor{static_cast<long>(0xCDCDCDCD), 0, 0, ASIOTrue, 0},
                               ASIOInputMonitor{15, 2, 0, ASIOFalse, 0},
                               ASIOInputMonitor{0, -1, 0, ASIOFalse, 0}})
    EXPECT_EQ(driver->future(kAsioSetInputMonitor, &bad), ASE_InvalidParameter)
        << bad.input << " -> " << bad.output;
  // Mended: there is no time-code source to read.
  for (long selector : {0L, static_cast<long>(kAsioEnableTimeCodeRead),
                        static_cast<long>(kAsioDisableTimeCodeRead),
                        static_cast<long>(kAsioCanTimeCode), static_cast<long>(kAsioTransport),
                        static_cast<long>(kAsioSetInputGain),
                        static_cast<long>(kAsioCanReportOverload), -1L})
    EXPECT_EQ(driver->future(selector, nullptr), ASE_NotPresent) << selector;
}

TEST_F(AsioDriverTest, ChannelInfoNamesAndRange) {
  Access::SetChannelCounts(driver.get(), 16, 2);

  ASIOChannelInfo info = {};
  info.channel = 15;
  info.isInput = ASIOTrue;
  ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
  EXPECT_STREQ(info.name, "USB2 Main Right");
  EXPECT_EQ(info.type, ASIOSTInt32LSB);
  EXPECT_EQ(info.channelGroup, 0);
  EXPECT_EQ(info.isActive, ASIOFalse);

  info.channel = 0;
  ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
  EXPECT_STREQ(info.name, "Left");
  info.channel = 6;
  ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
  EXPECT_STREQ(info.name, "Bluetooth Left");

  info.isInput = ASIOFalse;
  info.channel = 0;
  ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
  EXPECT_STREQ(info.name, "Output L");
  info.channel = 1;
  ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
  EXPECT_STREQ(info.name, "Output R");
  EXPECT_EQ(info.type, ASIOSTInt32LSB);

  // Rejections write nothing.
  for (auto [channel, isInput] : {std::pair<long, ASIOBool>{16, ASIOTrue}, {-1, ASIOTrue},
                                  {2, ASIOFalse}, {-1, ASIOFalse}}) {
    ASIOChannelInfo rejected;
    memset(&rejected, 0x5A, sizeof(rejected));
    rejected.channel = channel;
    rejected.isInput = isInput;
    EXPECT_EQ(driver->getChannelInfo(&rejected), ASE_InvalidParameter) << channel;
    EXPECT_EQ(rejected.type, 0x5A5A5A5A);
    EXPECT_EQ(rejected.name[0], 0x5A);
  }
}

TEST_F(AsioDriverTest, WithoutADeviceEveryChannelIsRejected) {
  ASIOChannelInfo info = {};
  info.channel = 0;
  info.isInput = ASIOTrue;
  EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter);
  info.isInput = ASIOFalse;
  EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter);
}

TEST_F(AsioDriverTest, SamplePositionSplitsIntoHighAndLowHalves) {
  ASIOSamples position = {};
  ASIOTimeStamp stamp = {};
  Access::SetSamplePosition(driver.get(), (1ull << 32) + 5);
  ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
  EXPECT_EQ(position.hi, 1u);
  EXPECT_EQ(position.lo, 5u);

  Access::SetSamplePosition(driver.get(), 1000);
  ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
  EXPECT_EQ(position.hi, 0u);
  EXPECT_EQ(position.lo, 1000u);

  Access::SetSamplePosition(driver.get(), (3ull << 32) + 4294967295u);
  ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
  EXPECT_EQ(position.hi, 3u);
  EXPECT_EQ(position.lo, 4294967295u);
  EXPECT_EQ(stamp.hi, 0u);
  EXPECT_EQ(stamp.lo, 0u);
}

TEST_F(AsioDriverTest, StartNeedsBuffersAndPins) {
  EXPECT_EQ(driver->start(), ASE_NotPresent);

  // Buffers exist, but no bring-up opened the pins.
  Access::SetChannelCounts(driver.get(), 16, 2);
  FakeHost host;
  ASSERT_EQ(driver->createBuffers(nullptr, 0, 288, host.Callbacks()), ASE_OK);
  Access::SetSamplePosition(driver.get(), 5000);
  Access::SetBufferIndex(driver.get(), 1);
  EXPECT_EQ(driver->start(), ASE_NotPresent);
  // start resets the position and index before it looks for the pins.
  EXPECT_EQ(Access::SamplePosition(driver.get()), 0u);
  EXPECT_EQ(Access::BufferIndex(driver.get()), 0);
  EXPECT_EQ(driver->stop(), ASE_OK);
}

TEST_F(AsioDriverTest, ErrorMessageBeforeInitIsEmpty) {
  char message[124];
  memset(message, 'x', sizeof(message));
  driver->getErrorMessage(message);
  EXPECT_STREQ(message, "");
}

// Mended: the host's buffer holds 124 bytes; the driver's message may hold
// up to 127 characters.
TEST_F(AsioDriverTest, ErrorMessageNeverOverrunsTheHostBuffer) {
  std::string longText(127, 'm');
  Access::SetErrorMessage(driver.get(), longText.c_str());
  char message[130];
  memset(message, 'x', sizeof(message));
  driver->getErrorMessage(message);
  EXPECT_EQ(strlen(message), 123u);
  EXPECT_EQ(message[124], 'x');
  EXPECT_EQ(message[129], 'x');
}

// Mended: nothing is ever written through a null pointer from the host; the
// other outputs are still filled.
TEST_F(AsioDriverTest, NullOutputsAreRefusedAndTheOthersFilled) {
  driver->getDriverName(nullptr);
  driver->getErrorMessage(nullptr);

  long value = -7;
  EXPECT_EQ(driver->getChannels(nullptr, &value), ASE_InvalidParameter);
  EXPECT_EQ(value, 0);
  value = -7;
  EXPECT_EQ(driver->getChannels(&value, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(value, 0);

  EXPECT_EQ(driver->getLatencies(nullptr, &value), ASE_InvalidParameter);
  EXPECT_EQ(value, 864);
  EXPECT_EQ(driver->getLatencies(&value, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(value, 288);

  long minSize = 0, granularity = 0;
  EXPECT_EQ(driver->getBufferSize(&minSize, nullptr, nullptr, &granularity), ASE_InvalidParameter);
  EXPECT_EQ(minSize, 96);
  EXPECT_EQ(granularity, 96);

  EXPECT_EQ(driver->getSampleRate(nullptr), ASE_InvalidParameter);
  EXPECT_EQ(driver->getChannelInfo(nullptr), ASE_InvalidParameter);

  ASIOTimeStamp stamp = {9, 9};
  EXPECT_EQ(driver->getSamplePosition(nullptr, &stamp), ASE_InvalidParameter);
  EXPECT_EQ(stamp.hi, 0u);
  EXPECT_EQ(stamp.lo, 0u);
  ASIOSamples position = {9, 9};
  EXPECT_EQ(driver->getSamplePosition(&position, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(position.lo, 0u);
}

// Mended: one clock entry is always written, so a host announcing no room
// gets an error instead of an overrun.
TEST_F(AsioDriverTest, ClockSourcesWithoutRoomWriteNothing) {
  ASIOClockSource clock;
  memset(&clock, 0x5A, sizeof(clock));
  long count = 0;
  EXPECT_EQ(driver->getClockSources(&clock, &count), ASE_InvalidParameter);
  EXPECT_EQ(count, 0);
  count = -3;
  EXPECT_EQ(driver->getClockSources(&clock, &count), ASE_InvalidParameter);
  EXPECT_EQ(count, -3);
  EXPECT_EQ(clock.index, 0x5A5A5A5A);
  EXPECT_EQ(driver->getClockSources(&clock, nullptr), ASE_InvalidParameter);
  count = 4;
  EXPECT_EQ(driver->getClockSources(nullptr, &count), ASE_InvalidParameter);
  EXPECT_EQ(count, 1);
}

}  // namespace
