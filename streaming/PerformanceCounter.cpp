#include "streaming/PerformanceCounter.h"

#include <windows.h>

namespace {

uint64_t TicksPerSecond() {
  LARGE_INTEGER frequency = {};
  return QueryPerformanceFrequency(&frequency) ? static_cast<uint64_t>(frequency.QuadPart) : 0;
}

}  // namespace

uint64_t PerformanceCounterMicroseconds() {
  static const uint64_t perSecond = TicksPerSecond();
  LARGE_INTEGER now;
  if (perSecond == 0 || !QueryPerformanceCounter(&now)) return 0;
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
  return ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
}

uint64_t PerformanceCounterClock(void* /*context*/) { return PerformanceCounterMicroseconds(); }
