// Timing of the buffer switches against the buffer period, and the sample
// positions a driver reports.
#include <gtest/gtest.h>

#include <vector>

#include "tools/RunStatistics.h"

namespace {
// Ticks of one millisecond; a 10 ms buffer period.
constexpr int64_t kTicksPerSecond = 1000;
constexpr double kPeriod = 0.010;

CallbackTiming TimingOf(const std::vector<int64_t>& ticks) {
  return AnalyseCallbackTiming(ticks.data(), static_cast<long>(ticks.size()), kTicksPerSecond,
                               kPeriod);
}
}  // namespace

TEST(RunStatisticsTest, SteadySwitchesHaveNoLateOnes) {
  CallbackTiming timing = TimingOf({0, 10, 19, 30, 40, 51, 60});
  EXPECT_EQ(6, timing.intervals);
  EXPECT_DOUBLE_EQ(10, timing.periodMs);
  EXPECT_DOUBLE_EQ(10, timing.medianMs);
  EXPECT_DOUBLE_EQ(11, timing.worstMs);
  EXPECT_DOUBLE_EQ(9, timing.shortestMs);
  EXPECT_DOUBLE_EQ(10, timing.meanMs);
  EXPECT_EQ(0, timing.lateSwitches);
}

TEST(RunStatisticsTest, LateSwitchesCountTheBuffersTheyMissed) {
  // Intervals 10, 15 (on the limit), 16, 30, 10: two late, 1 + 2 missed.
  CallbackTiming timing = TimingOf({0, 10, 25, 41, 71, 81});
  EXPECT_EQ(2, timing.lateSwitches);
  EXPECT_EQ(3, timing.missedPeriods);
  EXPECT_DOUBLE_EQ(30, timing.worstMs);
  EXPECT_DOUBLE_EQ(15, timing.medianMs);
  // An even number of intervals takes the mean of the middle two.
  EXPECT_DOUBLE_EQ(13, TimingOf({0, 10, 22, 42, 56}).medianMs);
  EXPECT_EQ(0, TimingOf({5}).intervals);
  EXPECT_EQ(0, TimingOf({}).intervals);
}

TEST(RunStatisticsTest, SamplePositionsThatDoNotAdvanceOneBufferAreJumps) {
  const std::vector<int64_t> positions = {0, 64, 128, 256, 256, 320, -1, 384, 448};
  PositionCheck check =
      AnalyseSamplePositions(positions.data(), static_cast<long>(positions.size()), 64);
  EXPECT_EQ(6, check.checked);  // pairs with an unknown position are left out
  EXPECT_EQ(2, check.jumps);
  EXPECT_EQ(64, check.framesSkipped);
  EXPECT_EQ(1, check.backwards);
}
