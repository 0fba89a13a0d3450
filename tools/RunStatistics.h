// What the buffer switches of a run tell about its timing: intervals between
// callbacks against the buffer period, and the sample positions the driver
// reported.
#ifndef VOROD_TOOLS_RUNSTATISTICS_H
#define VOROD_TOOLS_RUNSTATISTICS_H

#include <cstdint>

// An interval longer than this many buffer periods is a late switch: the
// host had less than half a buffer of its time left.
constexpr double kLateIntervalPeriods = 1.5;

struct CallbackTiming {
  long intervals = 0;  // switches - 1
  double periodMs = 0;
  double medianMs = 0;
  double shortestMs = 0;
  double worstMs = 0;
  double meanMs = 0;
  long lateSwitches = 0;
  // Buffer periods that passed without a switch, judged from the late
  // intervals (an interval of 3 periods leaves 2 out).
  long missedPeriods = 0;
};

// From the arrival times of consecutive switches in ticks of ticksPerSecond.
CallbackTiming AnalyseCallbackTiming(const int64_t* ticks, long count, int64_t ticksPerSecond,
                                     double periodSeconds);

struct PositionCheck {
  long checked = 0;           // consecutive pairs with known positions
  long jumps = 0;             // pairs that did not advance by one buffer
  int64_t framesSkipped = 0;  // frames beyond one buffer, summed over forward jumps
  long backwards = 0;         // pairs that stood still or went back
};

// From the sample position reported at each switch; negative means unknown.
PositionCheck AnalyseSamplePositions(const int64_t* positions, long count, long bufferFrames);

#endif  // VOROD_TOOLS_RUNSTATISTICS_H
