// The machine's performance counter in microseconds: the clock of the
// streaming thread's own timing (passes, spins, the wait for a silent device).
#ifndef VOROD_STREAMING_PERFORMANCECOUNTER_H
#define VOROD_STREAMING_PERFORMANCECOUNTER_H

#include <cstdint>

uint64_t PerformanceCounterMicroseconds();
// The same as a device clock (CInputCapture::DeviceClock); the context is unused.
uint64_t PerformanceCounterClock(void* context);

#endif  // VOROD_STREAMING_PERFORMANCECOUNTER_H
