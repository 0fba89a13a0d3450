// The console host's check of the virtual device's capture pattern, on
// samples that went through the driver's own conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "streaming/SampleConversion.h"
#include "tools/CapturePattern.h"
#include "virtual-device/VirtualDevice.h"

namespace {

// What the host receives for a device sample: inverted into the float stage,
// then converted to the host's integers.
int32_t HostSample(int32_t device) {
  const float staged = static_cast<float>(device) * -4.656612873077392578125e-10f;
  int32_t cell;
  memcpy(&cell, &staged, 4);
  FloatToInt32InPlace(&cell, 1);
  return cell;
}

std::vector<int32_t> Capture(uint32_t firstFrame, long channel, int frames) {
  std::vector<int32_t> host;
  for (int i = 0; i < frames; ++i) host.push_back(HostSample(VdCaptureSample(firstFrame + i, channel)));
  return host;
}

TEST(CapturePatternTest, HostSamplesLeadBackToTheDeviceSamples) {
  for (int32_t device : {256, -256, 0, INT32_MIN, INT32_MAX & ~255, VdCaptureSample(524288, 0),
                         VdCaptureSample(12345, 9)}) {
    EXPECT_EQ(DeviceSampleFromHost(HostSample(device)), device) << device;
  }
  EXPECT_EQ(HostSample(256), -255);
  uint32_t frame = 0;
  long channel = 0;
  ASSERT_TRUE(DecodePatternSample(VdCaptureSample(0x9ABCD, 13), &frame, &channel));
  EXPECT_EQ(frame, 0x9ABCDu);
  EXPECT_EQ(channel, 13);
  EXPECT_FALSE(DecodePatternSample(257, &frame, &channel));
}

TEST(CapturePatternTest, AnUnbrokenRunIsIntactAcrossTheFrameWrap) {
  const std::vector<int32_t> host = Capture((1u << 20) - 50, 7, 200);
  EXPECT_EQ(CheckCapturePattern(host.data(), 200, 7).outcome, PatternCheck::kIntact);
}

TEST(CapturePatternTest, ALostOrRepeatedFrameBreaksThePattern) {
  std::vector<int32_t> host = Capture(1000, 3, 100);
  host.erase(host.begin() + 40);  // one frame lost
  PatternCheck check = CheckCapturePattern(host.data(), 99, 3);
  EXPECT_EQ(check.outcome, PatternCheck::kBroken);
  EXPECT_EQ(check.brokenAt, 40);
  EXPECT_EQ(check.expected, 1040u);
  EXPECT_EQ(check.found, 1041u);

  host = Capture(1000, 3, 100);
  host[60] = host[59];  // a frame repeated
  EXPECT_EQ(CheckCapturePattern(host.data(), 100, 3).brokenAt, 60);

  host = Capture(1000, 3, 100);
  host[70] ^= 0x1000;  // one corrupted sample
  EXPECT_EQ(CheckCapturePattern(host.data(), 100, 3).brokenAt, 70);
}

TEST(CapturePatternTest, AnotherChannelsPatternOrSilenceIsAbsent) {
  const std::vector<int32_t> other = Capture(0, 2, 10);
  EXPECT_EQ(CheckCapturePattern(other.data(), 10, 5).outcome, PatternCheck::kAbsent);
  const std::vector<int32_t> noise = {12345, 1, 2};
  EXPECT_EQ(CheckCapturePattern(noise.data(), 3, 0).outcome, PatternCheck::kAbsent);
  EXPECT_EQ(CheckCapturePattern(other.data(), 0, 2).outcome, PatternCheck::kAbsent);
  const std::vector<int32_t> silence(64, 0);  // decodes as frame 0 of channel 0
  EXPECT_EQ(CheckCapturePattern(silence.data(), 64, 0).outcome, PatternCheck::kAbsent);
}

}  // namespace
