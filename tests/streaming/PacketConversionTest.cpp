// The loop's sweeps between device packets and staged floats, followed
// through the buffer switch's conversions to and from the host.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "streaming/PacketConversion.h"
#include "streaming/SampleConversion.h"

namespace {

// A device sample on channel 2 of a 3-channel frame, as the host gets it.
int32_t CaptureToHost(int32_t device) {
  const int32_t packet[3] = {11, 22, device};
  int32_t cell = 0;
  int32_t* slots[1] = {&cell};
  const long channels[1] = {2};
  DeinterleaveCapture(packet, 1, 3, slots, channels, 1, 0);
  FloatToInt32InPlace(&cell, 1);
  return cell;
}

// A host output sample on device channel 1 of 2, as the device gets it.
int32_t HostToDevice(int32_t host) {
  float staged = 0;
  Int32ToFloat(&host, &staged, 1);
  float* slots[1] = {&staged};
  const long channels[1] = {1};
  int32_t frame[2] = {-1, -1};
  InterleaveRender(slots, channels, 1, 0, 1, 2, frame);
  EXPECT_EQ(frame[0], 0) << "an unfed channel carries silence";
  return frame[1];
}

TEST(PacketConversionTest, CaptureInvertsPolarityOnItsWayToTheHost) {
  EXPECT_EQ(CaptureToHost(1000000), -999999);
  EXPECT_EQ(CaptureToHost(256), -255);
  EXPECT_EQ(CaptureToHost(-256), 255);
  EXPECT_EQ(CaptureToHost(0), 0);
  EXPECT_EQ(CaptureToHost(INT32_MIN), INT32_MAX);
  EXPECT_EQ(CaptureToHost(INT32_MAX & ~0xFF), -(INT32_MAX & ~0xFF) + 1);
}

TEST(PacketConversionTest, RenderInvertsPolarityAndSaturates) {
  EXPECT_EQ(HostToDevice(256), -256);
  EXPECT_EQ(HostToDevice(-256), 256);
  EXPECT_EQ(HostToDevice(INT32_MAX), INT32_MIN);
  // -2^31 stages -1.0, whose product 2^31 is beyond the range.
  EXPECT_EQ(HostToDevice(INT32_MIN), INT32_MAX);
  EXPECT_EQ(SaturateToInt32(std::nanf("")), 0);
  EXPECT_EQ(SaturateToInt32(-3e9f), INT32_MIN);
}

TEST(PacketConversionTest, SlotsWriteOnlyTheirOwnDeviceChannels) {
  const uint32_t frames = 4, channels = 3;
  std::vector<int32_t> packet(frames * channels);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<int32_t>(i + 1) << 8;
  std::vector<int32_t> a(8, 7), filler(8, 7), b(8, 7);
  int32_t* slots[3] = {a.data(), filler.data(), b.data()};
  const long slotChannels[3] = {2, 255, 0};
  DeinterleaveCapture(packet.data(), frames, channels, slots, slotChannels, 3, 4);
  for (uint32_t f = 0; f < frames; ++f) {
    float x, y;
    memcpy(&x, &a[4 + f], 4);
    memcpy(&y, &b[4 + f], 4);
    EXPECT_EQ(x, static_cast<float>(packet[f * channels + 2]) * kCaptureScale);
    EXPECT_EQ(y, static_cast<float>(packet[f * channels]) * kCaptureScale);
    EXPECT_EQ(a[f], 7) << "cells before the destination stay";
  }
  EXPECT_EQ(filler, std::vector<int32_t>(8, 7));

  std::vector<float> left(4, 0.25f), beyond(4, 0.5f);
  float* outs[2] = {left.data(), beyond.data()};
  const long outChannels[2] = {0, 2};
  std::vector<int32_t> rendered(frames * 2, 99);
  InterleaveRender(outs, outChannels, 2, 0, frames, 2, rendered.data());
  for (uint32_t f = 0; f < frames; ++f) {
    EXPECT_EQ(rendered[2 * f], -536870912);
    EXPECT_EQ(rendered[2 * f + 1], 0);
  }
}

TEST(PacketConversionTest, FadeRisesLinearlyOverThePacket) {
  const uint32_t frames = 288;
  std::vector<int32_t> packet(frames * 2);
  for (uint32_t f = 0; f < frames; ++f) {
    packet[2 * f] = 1 << 28;
    packet[2 * f + 1] = -(1 << 28);
  }
  float gain = 0.0f;
  FadeIn(packet.data(), frames, 2, &gain, 1.0f / frames);
  for (uint32_t f = 0; f < frames; ++f) {
    const double expected = std::ldexp(1.0, 28) * f / frames;
    // The gain accumulates by single-precision steps.
    EXPECT_NEAR(packet[2 * f], expected, 1e-5 * std::ldexp(1.0, 28)) << f;
    EXPECT_NEAR(packet[2 * f + 1], -expected, 1e-5 * std::ldexp(1.0, 28)) << f;
  }
  EXPECT_NEAR(gain, 1.0f, 1e-4f);
}

}  // namespace
