#include "tools/RunStatistics.h"

#include <algorithm>
#include <cmath>
#include <vector>

CallbackTiming AnalyseCallbackTiming(const int64_t* ticks, long count, int64_t ticksPerSecond,
                                     double periodSeconds) {
  CallbackTiming timing;
  timing.periodMs = periodSeconds * 1000.0;
  if (count < 2 || ticksPerSecond <= 0) return timing;

  std::vector<double> intervals(static_cast<size_t>(count - 1));
  double sum = 0;
  for (long i = 1; i < count; ++i) {
    const double ms =
        static_cast<double>(ticks[i] - ticks[i - 1]) * 1000.0 / static_cast<double>(ticksPerSecond);
    intervals[static_cast<size_t>(i - 1)] = ms;
    sum += ms;
    if (timing.periodMs > 0 && ms > kLateIntervalPeriods * timing.periodMs) {
      ++timing.lateSwitches;
      timing.missedPeriods += std::lround(ms / timing.periodMs) - 1;
    }
  }
  timing.intervals = count - 1;
  timing.meanMs = sum / static_cast<double>(timing.intervals);
  std::sort(intervals.begin(), intervals.end());
  const size_t n = intervals.size();
  timing.medianMs = n % 2 ? intervals[n / 2] : (intervals[n / 2 - 1] + intervals[n / 2]) / 2;
  timing.shortestMs = intervals.front();
  timing.worstMs = intervals.back();
  return timing;
}

PositionCheck AnalyseSamplePositions(const int64_t* positions, long count, long bufferFrames) {
  PositionCheck check;
  for (long i = 1; i < count; ++i) {
    if (positions[i - 1] < 0 || positions[i] < 0) continue;
    ++check.checked;
    const int64_t step = positions[i] - positions[i - 1];
    if (step == bufferFrames) continue;
    ++check.jumps;
    if (step <= 0)
      ++check.backwards;
    else if (step > bufferFrames)
      check.framesSkipped += step - bufferFrames;
  }
  return check;
}
