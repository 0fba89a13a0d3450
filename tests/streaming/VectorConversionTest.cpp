// The vector sweeps against plain per-sample conversions written from their
// definitions, on random data and on the edge values, for every channel
// count the sweeps may meet and both capture paths (SSE2, and AVX2 where
// the processor has it).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "streaming/PacketConversion.h"
#include "streaming/SampleConversion.h"

namespace {

int32_t Bits(float x) {
  int32_t bits;
  memcpy(&bits, &x, 4);
  return bits;
}

float Float(int32_t bits) {
  float x;
  memcpy(&x, &bits, 4);
  return x;
}

// The definitions: staging scales by -2^-31 in single precision; the host
// gets the staged float times 2147483647.49999 in double, saturated, NaN 0,
// truncated; the device gets the float times -2^31, saturated, NaN 0.
int32_t PlainHost(float staged) {
  const double value = static_cast<double>(staged) * 2147483647.49999;
  if (value != value) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}
float PlainStaged(int32_t device) {
  return static_cast<float>(device) * -4.656612873077392578125e-10f;
}
int32_t PlainDevice(float staged) {
  const float value = staged * -2147483648.0f;
  if (value != value) return 0;
  if (value >= 2147483648.0f) return INT32_MAX;
  if (value <= -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// Random words, a quarter of them replaced by edge values: 24-bit samples,
// the ends of the range, values that round up to 2^31 in single precision,
// NaNs, infinities, +/-1.0, denormals and values just beyond full scale.
std::vector<int32_t> Samples(size_t count, uint32_t seed) {
  const float inf = std::numeric_limits<float>::infinity();
  const int32_t edges[] = {0,
                           1,
                           -1,
                           INT32_MIN,
                           INT32_MAX,
                           INT32_MIN + 1,
                           INT32_MAX - 64,
                           0x7FFFFF00,
                           -0x7FFFFF00,
                           0x100,
                           -0x100,
                           1 << 24,
                           (1 << 24) + 1,
                           -(1 << 24) - 3,
                           Bits(std::nanf("")),
                           Bits(-std::nanf("")),
                           0x7F800001,
                           Bits(inf),
                           Bits(-inf),
                           Bits(1.0f),
                           Bits(-1.0f),
                           Bits(1.0000001f),
                           Bits(-1.0000001f),
                           Bits(0.5f),
                           Bits(-0.0f),
                           3,
                           Bits(1e-40f),
                           Bits(4.656613e-10f),
                           Bits(-2.5f)};
  std::mt19937 random(seed);
  std::vector<int32_t> samples(count);
  for (int32_t& sample : samples) {
    const uint32_t word = random();
    sample = word % 4 == 0 ? edges[(word >> 2) % (sizeof(edges) / sizeof(edges[0]))]
                           : static_cast<int32_t>(word % 3 == 0 ? word & ~0xFFu : word);
  }
  return samples;
}

class VectorConversionTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (UseAvx2CaptureSweep(GetParam()) != GetParam()) GTEST_SKIP() << "no AVX2 here";
  }
  void TearDown() override { UseAvx2CaptureSweep(true); }
};

TEST_P(VectorConversionTest, CaptureSweepsGiveThePlainConversionsBits) {
  const int32_t guard = 0x5A5A5A5A;
  for (uint32_t channels = 1; channels <= 16; ++channels) {
    for (uint32_t frames : {1u, 3u, 4u, 7u, 8u, 13u, 96u, 291u}) {
      const std::vector<int32_t> packet =
          Samples(size_t{frames} * channels, channels * 1000 + frames);
      // Every channel once in reverse, a filler, a channel beyond the
      // packet, and channel 0 a second time.
      std::vector<long> slotChannels;
      for (uint32_t c = channels; c-- > 0;) slotChannels.push_back(c);
      slotChannels.insert(slotChannels.end(), {255, static_cast<long>(channels), 0});
      const size_t slots = slotChannels.size(), destFrame = 5, cells = destFrame + frames + 3;
      for (bool toHost : {false, true}) {
        std::vector<std::vector<int32_t>> buffers(slots, std::vector<int32_t>(cells, guard));
        std::vector<int32_t*> slotBuffers;
        for (auto& buffer : buffers) slotBuffers.push_back(buffer.data());
        (toHost ? DeinterleaveCaptureToHost : DeinterleaveCapture)(
            packet.data(), frames, channels, slotBuffers.data(), slotChannels.data(),
            static_cast<long>(slots), destFrame);
        for (size_t k = 0; k < slots; ++k) {
          for (size_t i = 0; i < cells; ++i) {
            const size_t f = i - destFrame;
            int32_t expected = guard;
            if (slotChannels[k] < static_cast<long>(channels) && i >= destFrame && f < frames) {
              const float staged = PlainStaged(packet[f * channels + slotChannels[k]]);
              expected = toHost ? PlainHost(staged) : Bits(staged);
            }
            ASSERT_EQ(buffers[k][i], expected)
                << channels << " channels, " << frames << " frames, slot " << k << ", cell " << i
                << (toHost ? ", host" : ", staged");
          }
        }
      }
    }
  }
}

TEST_P(VectorConversionTest, BufferSwitchAndRenderSweepsGiveThePlainConversionsBits) {
  const std::vector<int32_t> words = Samples(1003, 7);
  for (long count : {0L, 1L, 3L, 4L, 5L, 1000L}) {
    for (long offset : {0L, 1L, 3L}) {
      std::vector<int32_t> cells(words.begin(), words.end());
      FloatToInt32InPlace(cells.data() + offset, count);
      std::vector<float> floats(words.size(), 99.0f);
      Int32ToFloat(words.data() + offset, floats.data() + offset, count);
      for (size_t i = 0; i < words.size(); ++i) {
        const bool inside = static_cast<long>(i) >= offset && static_cast<long>(i) < offset + count;
        ASSERT_EQ(cells[i], inside ? PlainHost(Float(words[i])) : words[i]) << i;
        ASSERT_EQ(
            Bits(floats[i]),
            Bits(inside ? static_cast<float>(words[i]) * 4.656612873077392578125e-10f : 99.0f))
            << i;
      }
    }
  }

  for (uint32_t channels = 1; channels <= 16; ++channels) {
    for (uint32_t frames : {1u, 3u, 4u, 9u, 96u}) {
      // Slots feed channel 0 twice (the last wins), channel 1, and one
      // beyond the packet; other channels stay silent.
      std::vector<std::vector<float>> buffers;
      for (int k = 0; k < 4; ++k) {
        const std::vector<int32_t> bits = Samples(frames + 2, channels * 100 + frames + k);
        buffers.emplace_back();
        for (int32_t b : bits) buffers.back().push_back(Float(b));
      }
      float* slotBuffers[4] = {buffers[0].data(), buffers[1].data(), buffers[2].data(),
                               buffers[3].data()};
      const long slotChannels[4] = {0, 1, 0, static_cast<long>(channels)};
      std::vector<int32_t> packet(size_t{frames} * channels + 1, 0x5A5A5A5A);
      InterleaveRender(slotBuffers, slotChannels, 4, 2, frames, channels, packet.data());
      for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < channels; ++c) {
          const int32_t expected = c == 0   ? PlainDevice(buffers[2][2 + f])
                                   : c == 1 ? PlainDevice(buffers[1][2 + f])
                                            : 0;
          ASSERT_EQ(packet[f * channels + c], expected)
              << channels << " channels, frame " << f << ", channel " << c;
        }
      }
      EXPECT_EQ(packet.back(), 0x5A5A5A5A);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(CapturePath, VectorConversionTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Avx2" : "Sse2";
                         });

}  // namespace
