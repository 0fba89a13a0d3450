#include "bench/PlatformProbe.h"

#include <process.h>

#include <algorithm>

#include "bench/BenchSupport.h"

CPlatformProbe::CPlatformProbe(double periodSeconds)
    : m_periodTicks(static_cast<LONGLONG>(periodSeconds * TicksPerSecond())),
      m_startTicks(Ticks()),
      m_event(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_threads() {
  m_boundaryTicks = m_startTicks;
  m_lateWakeTicks.reserve(kKeptLate);
  m_skippedTicks.reserve(kKeptLate);
  m_threads[0] = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Signaller, this, 0, nullptr));
  m_threads[1] = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Waiter, this, 0, nullptr));
}

CPlatformProbe::~CPlatformProbe() {
  Stop();
  CloseHandle(m_event);
}

CPlatformProbe::Result CPlatformProbe::Stop() {
  if (!m_stop.exchange(true)) {
    SetEvent(m_event);
    for (HANDLE& thread : m_threads) {
      if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        thread = nullptr;
      }
    }
    m_result.periods = m_periods;
    m_result.lateWakes = m_lateWakes + m_skipped;
    m_result.maxLateMs = static_cast<double>(m_maxLateTicks) * 1000.0 / TicksPerSecond();
    for (const std::vector<LONGLONG>* ticks : {&m_lateWakeTicks, &m_skippedTicks})
      for (LONGLONG t : *ticks)
        m_result.lateTimes.push_back(static_cast<double>(t) / TicksPerSecond());
    std::sort(m_result.lateTimes.begin(), m_result.lateTimes.end());
    if (m_result.lateTimes.size() > kKeptLate) m_result.lateTimes.resize(kKeptLate);
  }
  return m_result;
}

unsigned __stdcall CPlatformProbe::Signaller(void* context) {
  CPlatformProbe* probe = static_cast<CPlatformProbe*>(context);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  LONGLONG next = 1;  // the boundary awaited
  while (!probe->m_stop) {
    Sleep(1);
    const LONGLONG passed = (Ticks() - probe->m_startTicks) / probe->m_periodTicks;
    if (passed < next) continue;
    probe->m_skipped += static_cast<uint32_t>(passed - next);
    if (passed > next && probe->m_skippedTicks.size() < kKeptLate)
      probe->m_skippedTicks.push_back(Ticks());
    probe->m_periods += static_cast<uint32_t>(passed - next + 1);
    probe->m_boundaryTicks = probe->m_startTicks + passed * probe->m_periodTicks;
    next = passed + 1;
    SetEvent(probe->m_event);
  }
  return 0;
}

unsigned __stdcall CPlatformProbe::Waiter(void* context) {
  CPlatformProbe* probe = static_cast<CPlatformProbe*>(context);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  while (!probe->m_stop) {
    if (WaitForSingleObject(probe->m_event, 100) != WAIT_OBJECT_0 || probe->m_stop) continue;
    const LONGLONG now = Ticks();
    const LONGLONG late = now - probe->m_boundaryTicks;
    if (late > probe->m_periodTicks) {
      ++probe->m_lateWakes;
      if (probe->m_lateWakeTicks.size() < kKeptLate) probe->m_lateWakeTicks.push_back(now);
    }
    if (late > probe->m_maxLateTicks) probe->m_maxLateTicks = late;
  }
  return 0;
}
