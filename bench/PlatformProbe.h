// The bare platform probe: what the machine lets a time-critical thread do
// without any driver or device. One thread signals an event at every period
// boundary the way the virtual device's clock used to pace itself (Sleep(1)
// and the performance counter), another waits on it; a wake more than one
// period after its boundary, or a boundary that never got its own signal,
// counts as late.
#ifndef VOROD_BENCH_PLATFORMPROBE_H
#define VOROD_BENCH_PLATFORMPROBE_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <vector>

class CPlatformProbe {
 public:
  struct Result {
    uint32_t periods = 0;    // boundaries passed
    uint32_t lateWakes = 0;  // of them late by more than one period
    double maxLateMs = 0;    // the latest wake
    // When each late wake came (and each boundary passed without a signal of
    // its own), in seconds on Now()'s clock, in order; the first kKeptLate.
    std::vector<double> lateTimes;
  };
  static constexpr size_t kKeptLate = 100000;

  // Starts both threads.
  explicit CPlatformProbe(double periodSeconds);
  ~CPlatformProbe();
  CPlatformProbe(const CPlatformProbe&) = delete;
  CPlatformProbe& operator=(const CPlatformProbe&) = delete;

  // Ends both threads and tells what they saw.
  Result Stop();

 private:
  static unsigned __stdcall Signaller(void* probe);
  static unsigned __stdcall Waiter(void* probe);

  LONGLONG m_periodTicks;
  LONGLONG m_startTicks;
  HANDLE m_event;
  HANDLE m_threads[2];
  std::atomic<bool> m_stop{false};
  std::atomic<LONGLONG> m_boundaryTicks{0};  // the boundary last signalled
  std::atomic<uint32_t> m_periods{0};
  std::atomic<uint32_t> m_skipped{0};        // boundaries without a signal of their own
  uint32_t m_lateWakes = 0;                  // the waiter's
  LONGLONG m_maxLateTicks = 0;
  // Ticks of the late wakes (the waiter's) and of the skipped boundaries
  // (the signaller's), reserved before the threads start.
  std::vector<LONGLONG> m_lateWakeTicks;
  std::vector<LONGLONG> m_skippedTicks;
  Result m_result;
};

#endif  // VOROD_BENCH_PLATFORMPROBE_H
