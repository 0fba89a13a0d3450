// The real-time clock of the virtual device: its thread, which paces device
// time to the performance counter and sleeps until each signal is due, and
// the timing of every notification and completion against device time.
#include "virtual-device/VdStreamEngine.h"

#include <process.h>

#include <algorithm>

namespace {

typedef LONG(NTAPI* PfnNtDelayExecution)(BOOLEAN, PLARGE_INTEGER);

}  // namespace

LONGLONG CVdStreamEngine::Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// -------------------------------------------------------- real-time thread

unsigned __stdcall CVdStreamEngine::ClockThread(void* pvEngine) {
  static_cast<CVdStreamEngine*>(pvEngine)->RunRealTime();
  return 0;
}

void CVdStreamEngine::RunRealTime() {
  // Hardware is never late: the device's own thread must not be either.
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  EnterCriticalSection(m_pcs);
  m_ullClockFrame = m_ullFrame;
  m_llClockTicks = Ticks();
  m_llPausedTicks = 0;
  m_llOvershootTicks = m_llTicksPerSecond / 10000;  // 0.1 ms until measured
  m_bTimed = true;
  LeaveCriticalSection(m_pcs);
  DWORD dwWaitedMs = 0;  // lossless: the clock stands while the device waits
  LONGLONG llPlanned = Ticks();
  while (!m_lStopThread) {
    AdvanceTo(FramesDueAt(Ticks()), &dwWaitedMs);
    NoteLateShow(llPlanned);
    // Wake for the next signal, and every millisecond meanwhile so that the
    // position moves on as hardware's does.
    const LONGLONG llNext = NextSignalTicks();
    const LONGLONG llTick = Ticks() + m_llTicksPerSecond / 1000;
    const bool bSignal = llNext >= 0 && llNext < llTick;
    llPlanned = bSignal ? llNext : llTick;
    SleepUntil(llPlanned, bSignal);
  }
  m_bTimed = false;
}

// Device frames run FramesPerTick() to a tick of the performance counter,
// which holds the device clock's drift.
LONGLONG CVdStreamEngine::DueTicks(ULONGLONG ullFrame) const {
  const double dFrames = static_cast<double>(static_cast<LONGLONG>(ullFrame - m_ullClockFrame));
  return m_llClockTicks + m_llPausedTicks + static_cast<LONGLONG>(dFrames / FramesPerTick());
}

ULONGLONG CVdStreamEngine::FramesDueAt(LONGLONG llTicks) const {
  const LONGLONG llElapsed = llTicks - m_llClockTicks - m_llPausedTicks;
  return m_ullClockFrame +
         (llElapsed > 0 ? static_cast<ULONGLONG>(static_cast<double>(llElapsed) * FramesPerTick()) : 0);
}

LONGLONG CVdStreamEngine::NextSignalTicks() {
  EnterCriticalSection(m_pcs);
  ULONG ulFrames = kNoBoundary;
  for (auto& entry : *m_pPins) {
    const VdPinInstance& instance = *entry.second;
    if (instance.state == KSSTATE_RUN && instance.cbFrame) {
      ulFrames = std::min(ulFrames, FramesToBoundary(instance));
    }
  }
  // The signal ends the ulFrames-th frame from now; a late one, or the end
  // of a stall, may come first.
  ULONGLONG ullNext = ulFrames == kNoBoundary ? ~0ull : m_ullFrame + ulFrames;
  if (!m_scheduled.empty()) ullNext = std::min(ullNext, NextScheduledFrame());
  // A register that lags shows the device's next step once the lag has
  // passed, not at the next wake after it.
  const ULONG ulStep = m_pMachine->streaming.ulPositionStepFrames;
  if (ulStep > 1 && m_ulLagFrames > 0) {
    const ULONGLONG ullShownUpTo = m_ullFrame > m_ulLagFrames ? m_ullFrame - m_ulLagFrames : 0;
    ullNext = std::min(ullNext, (ullShownUpTo / ulStep + 1) * ulStep + m_ulLagFrames);
  }
  ULONGLONG ullStallEnd = 0, ullNextStall = 0;
  if (InStall(m_ullFrame, &ullStallEnd, &ullNextStall)) ullNext = std::min(ullNext, ullStallEnd);
  const LONGLONG llNext = ullNext == ~0ull ? -1 : DueTicks(ullNext);
  LeaveCriticalSection(m_pcs);
  return llNext;
}

void CVdStreamEngine::SleepUntil(LONGLONG llWake, bool bSpin) {
  static const PfnNtDelayExecution pfnDelay = reinterpret_cast<PfnNtDelayExecution>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDelayExecution")));
  // Sleeps end late by about m_llOvershootTicks (a running mean of what a
  // sleep overshoots, each taken as at most 0.25 ms): stop sleeping twice
  // that, and 50 us, before a signal, never more than 0.3 ms. A machine
  // that keeps the thread off its core for longer than that is late
  // whatever the device does; spinning longer would only take the core
  // from the host.
  const LONGLONG llMargin =
      bSpin ? std::min(2 * m_llOvershootTicks + m_llTicksPerSecond / 20000, m_llTicksPerSecond * 3 / 10000)
            : 0;
  const LONGLONG llSleepEnd = llWake - llMargin;
  const LONGLONG llStart = Ticks();
  if (llSleepEnd > llStart) {
    LARGE_INTEGER delay;  // relative, in 100 ns units
    delay.QuadPart = -std::max<LONGLONG>(1, (llSleepEnd - llStart) * 10000000 / m_llTicksPerSecond);
    if (pfnDelay) {
      pfnDelay(FALSE, &delay);
    } else {
      Sleep(1);
    }
    const LONGLONG llOvershoot =
        std::min(std::max<LONGLONG>(0, Ticks() - llSleepEnd), m_llTicksPerSecond / 4000);
    m_llOvershootTicks += (llOvershoot - m_llOvershootTicks) / 8;
  }
  while (bSpin && !m_lStopThread && Ticks() < llWake) {
    YieldProcessor();
  }
}

void CVdStreamEngine::StartThread() {
  m_lStopThread = 0;
  m_hThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &ClockThread, this, 0, nullptr));
}

void CVdStreamEngine::StopThread() {
  if (!m_hThread) {
    return;
  }
  InterlockedExchange(&m_lStopThread, 1);
  SetEvent(m_hActivity);
  WaitForSingleObject(m_hThread, 5000);
  CloseHandle(m_hThread);
  m_hThread = nullptr;
  m_lStopThread = 0;
}

// ------------------------------------------------------------ punctuality

ULONG CVdStreamEngine::LateUs(LONGLONG llLate) const {
  return llLate > 0 ? static_cast<ULONG>(std::min<LONGLONG>(llLate * 1000000 / m_llTicksPerSecond, 0xFFFFFFFF)) : 0;
}

void CVdStreamEngine::NoteSignal(ULONGLONG ullFrame, const VdPinInstance& instance) {
  if (!m_bTimed) {
    return;
  }
  const ULONG ulLateUs = LateUs(Ticks() - DueTicks(ullFrame + 1));
  ++m_stats.ulTimedSignals;
  for (size_t i = 0; i < 5; ++i) {
    m_stats.aulLateSignals[i] += ulLateUs >= kVdLateThresholdsUs[i];
  }
  m_stats.ulMaxLateUs = std::max(m_stats.ulMaxLateUs, ulLateUs);
  if (ulLateUs >= kVdLateThresholdsUs[0]) {
    const bool bCompletion = instance.ulInterfaceId == KSINTERFACE_STANDARD_STREAMING;
    m_lateSignals[m_cLateSignals++ % kLateSignalRing] = {ullFrame, ulLateUs, instance.iFilter,
                                                         bCompletion};
  }
}

void CVdStreamEngine::NoteLateShow(LONGLONG llPlanned) {
  if (m_mode != VdClockMode::RealTimeStrict) {
    return;  // a lossless device waits for its host: not late then
  }
  const ULONG ulLateUs = LateUs(Ticks() - llPlanned);
  if (ulLateUs < kVdLateThresholdsUs[0]) {
    return;
  }
  EnterCriticalSection(m_pcs);
  if (m_bTimed) {
    m_lateSignals[m_cLateSignals++ % kLateSignalRing] = {m_ullFrame, ulLateUs, -1, false};
  }
  LeaveCriticalSection(m_pcs);
}

std::vector<VdLateSignal> CVdStreamEngine::LateSignals() const {
  std::vector<VdLateSignal> signals;
  const size_t cKept = std::min(m_cLateSignals, kLateSignalRing);
  for (size_t i = m_cLateSignals - cKept; i < m_cLateSignals; ++i) {
    signals.push_back(m_lateSignals[i % kLateSignalRing]);
  }
  return signals;
}

void CVdStreamEngine::JoinIfIdle() {
  EnterCriticalSection(m_pcs);
  const bool bIdle = m_pPins->empty();
  LeaveCriticalSection(m_pcs);
  if (bIdle) {
    StopThread();
  }
}
