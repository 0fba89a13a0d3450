// Clicks and their echoes: where the clicks go, and which inputs are found
// to carry them back, on synthetic captures.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/support/FakeAsioDriver.h"
#include "tools/LoopbackDetector.h"

namespace {

constexpr double kRate = 8000;
constexpr long kBuffer = 64;
constexpr int64_t kFrames = 16000;  // 2 s

// Low noise from a fixed generator, so that every run is the same.
std::vector<int32_t> Noise(int32_t amplitude) {
  std::vector<int32_t> samples(kFrames);
  uint32_t state = 12345;
  for (int32_t& sample : samples) {
    state = state * 1664525u + 1013904223u;
    sample = static_cast<int32_t>(state % (2u * amplitude)) - amplitude;
  }
  return samples;
}

// Adds each click's echo `delay` frames later, with a gain, from click `from` on.
void AddEchoes(std::vector<int32_t>& samples, const CClickSchedule& clicks, long delay, double gain,
               int from = 0) {
  for (int64_t k = from; clicks.Click(k) + delay < kFrames; ++k)
    samples[clicks.Click(k) + delay] += static_cast<int32_t>(gain * kClickLevel);
}

}  // namespace

TEST(LoopbackDetectorTest, EveryClickFallsInExactlyOneBuffer) {
  CClickSchedule clicks(kRate, kBuffer);
  std::vector<int64_t> found;
  for (int64_t first = 0; first < kFrames; first += kBuffer) {
    const long offset = clicks.ClickIn(first, kBuffer);
    if (offset >= 0) found.push_back(first + offset);
  }
  ASSERT_GE(found.size(), 5u);
  for (size_t k = 0; k < found.size(); ++k) EXPECT_EQ(clicks.Click(k), found[k]);
  // Gaps exceed the search window, so echoes cannot be taken for the next click's.
  for (size_t k = 1; k < found.size(); ++k)
    EXPECT_GT(found[k] - found[k - 1], clicks.SearchFrames());
}

TEST(LoopbackDetectorTest, EchoesAreFoundAtTheirDelayWhateverTheirPolarity) {
  CClickSchedule clicks(kRate, kBuffer);
  std::vector<int32_t> loop = Noise(1 << 18);
  AddEchoes(loop, clicks, 333, -0.25);
  LoopbackEcho echo = FindLoopbackEcho(loop.data(), kFrames, clicks);
  EXPECT_TRUE(echo.found);
  EXPECT_EQ(333, echo.delayFrames);
  EXPECT_EQ(echo.clicks, echo.echoes);
  EXPECT_GE(echo.clicks, 5);

  // A first click lost while the driver fades in still leaves an answer.
  std::vector<int32_t> late = Noise(1 << 18);
  AddEchoes(late, clicks, 200, 1.0, 1);
  echo = FindLoopbackEcho(late.data(), kFrames, clicks);
  EXPECT_TRUE(echo.found);
  EXPECT_EQ(200, echo.delayFrames);
  EXPECT_EQ(echo.clicks - 1, echo.echoes);
}

TEST(LoopbackDetectorTest, InputsWithoutConsistentEchoesAreNoLoopback) {
  CClickSchedule clicks(kRate, kBuffer);
  std::vector<int32_t> noise = Noise(1 << 24);
  EXPECT_FALSE(FindLoopbackEcho(noise.data(), kFrames, clicks).found);

  std::vector<int32_t> pattern(kFrames);
  for (int64_t f = 0; f < kFrames; ++f) pattern[f] = FakeInputSample(5, f);
  EXPECT_FALSE(FindLoopbackEcho(pattern.data(), kFrames, clicks).found);

  // Echoes later than the search window land inconsistently after later clicks.
  std::vector<int32_t> tooLate = Noise(1 << 18);
  AddEchoes(tooLate, clicks, clicks.SearchFrames() + kBuffer, 0.5);
  EXPECT_FALSE(FindLoopbackEcho(tooLate.data(), kFrames, clicks).found);

  // Echoes buried in a loud signal do not stand out.
  std::vector<int32_t> buried = Noise(1 << 28);
  AddEchoes(buried, clicks, 100, 0.1);
  EXPECT_FALSE(FindLoopbackEcho(buried.data(), kFrames, clicks).found);

  // Too short a capture to search three clicks gives no answer either.
  std::vector<int32_t> loop = Noise(1 << 18);
  AddEchoes(loop, clicks, 150, 0.5);
  const int64_t short_ = clicks.Click(1) + clicks.SearchFrames();
  LoopbackEcho echo = FindLoopbackEcho(loop.data(), short_, clicks);
  EXPECT_FALSE(echo.found);
  EXPECT_EQ(2, echo.clicks);
}
