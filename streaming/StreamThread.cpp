// The streaming thread: started by start, ended by stop and the destructor.
#include "driver/AsioDriver.h"

#include <mmsystem.h>
#include <process.h>

#include "ks/KsAudPin.h"

namespace {

const DWORD kStartConfirmMs = 1000;
const DWORD kStartPollMs = 10;
const uint32_t kStartSwitches = 2;

}  // namespace

bool CAsioDriver::StartStreamThread() {
  m_streamSwitchCount = 0;
  m_streamStop = false;
  if (m_streamStopEvent != nullptr) ResetEvent(m_streamStopEvent);
  m_dropOuts = 0;
  m_latencyFrames = 0;
  if (m_streamThread == INVALID_HANDLE_VALUE) {
    unsigned id = 0;
    const uintptr_t thread = _beginthreadex(nullptr, 0, &StreamThreadProc, this, 0, &id);
    if (thread == 0) return false;
    m_streamThread = reinterpret_cast<HANDLE>(thread);
    m_streamThreadId = id;
  }
  const DWORD started = timeGetTime();
  while (timeGetTime() - started < kStartConfirmMs && m_streamSwitchCount < kStartSwitches)
    Sleep(kStartPollMs);
  if (m_streamSwitchCount >= kStartSwitches) return true;
  LogCall("run %lu: %lu buffer switches within %lu ms, too few; start gives up",
          static_cast<unsigned long>(m_runNumber),
          static_cast<unsigned long>(m_streamSwitchCount.Get()),
          static_cast<unsigned long>(kStartConfirmMs));
  StopStreamThread();
  return false;
}

void CAsioDriver::StopStreamThread() {
  // Asked from inside a host callback, or already set for this run.
  const bool stopAsked = m_streamStop;
  // Whether the run ended by itself is seen before the stop event can end it.
  const bool endedBefore =
      m_streamThread != INVALID_HANDLE_VALUE && WaitForSingleObject(m_streamThread, 0) == WAIT_OBJECT_0;
  m_streamStop = true;
  if (m_streamStopEvent != nullptr) SetEvent(m_streamStopEvent);
  if (m_streamThread == INVALID_HANDLE_VALUE) return;
  // The destructor of an object released from inside a callback runs on the
  // streaming thread itself, after its loop: nothing to wait for.
  if (OnStreamThread()) {
    CloseHandle(m_streamThread);
    m_streamThread = INVALID_HANDLE_VALUE;
    m_streamThreadId = 0;
    return;
  }
  const char* howEnded = !endedBefore ? "stopped by the host"
                         : stopAsked    ? "stopped by the host from inside a callback"
                         : m_deviceLost ? "ended by itself: the device went away"
                                        : "ended by itself: a wait for the device failed";
  if (WaitForSingleObject(m_streamThread, m_streamStopWaitMs) == WAIT_TIMEOUT) {
    howEnded = "the thread did not end in time (a host callback that never returned) and was "
               "terminated";
    // A host callback that never returns. The thread's streams die with it,
    // unfreed, so the device's cancellations land in memory still allocated;
    // stopping the pins cancels their requests and lets a later start
    // set the pins up again.
    TerminateThread(m_streamThread, kStatusPossibleDeadlock);
    WaitForSingleObject(m_streamThread, m_streamStopWaitMs);
    if (m_capturePin != nullptr) m_capturePin->SetState(KSSTATE_STOP);
    if (m_renderPin != nullptr) {
      m_renderPin->Reset();
      m_renderPin->SetState(KSSTATE_STOP);
    }
  }
  CloseHandle(m_streamThread);
  m_streamThread = INVALID_HANDLE_VALUE;
  m_streamThreadId = 0;
  LogRunEnd(howEnded);
}

bool CAsioDriver::OnStreamThread() const {
  return m_streamThreadId != 0 && GetCurrentThreadId() == m_streamThreadId;
}

bool CAsioDriver::StreamThreadAlive() const {
  return m_streamThread != INVALID_HANDLE_VALUE &&
         WaitForSingleObject(m_streamThread, 0) == WAIT_TIMEOUT;
}

unsigned __stdcall CAsioDriver::StreamThreadProc(void* driver) {
  CAsioDriver* self = static_cast<CAsioDriver*>(driver);
  self->m_streamThreadId = GetCurrentThreadId();
  // From here on this thread's KS trace is kept for the host's thread to log.
  self->m_runTrace.Clear();
  CDiagnosticsLog::SetThreadRunTrace(&self->m_runTrace);
  const HRESULT com = CoInitialize(nullptr);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  HANDLE task = nullptr;
  DWORD taskIndex = 0;
  if (self->m_avSetMmThreadCharacteristics != nullptr)
    task = self->m_avSetMmThreadCharacteristics("Pro Audio", &taskIndex);
  // Time stamps of switches keep their millisecond meaning while the run
  // lasts: Windows' default timer steps can be 15.6 ms.
  timeBeginPeriod(1);
  self->StreamLoop();
  timeEndPeriod(1);
  if (self->m_avRevertMmThreadCharacteristics != nullptr && task != nullptr)
    self->m_avRevertMmThreadCharacteristics(task);
  HMODULE module = nullptr;
  {
    // The run is over; whatever this thread still does is written nowhere.
    CRunTrace afterRun;
    CDiagnosticsLog::SetThreadRunTrace(&afterRun);
    if (self->m_deleteAfterRun) {
      // Released from inside a callback. Once the object is gone the library
      // may be unloaded; this thread's own reference keeps its code until
      // the thread has left it.
      GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCSTR>(&StreamThreadProc), &module);
      delete self;
    }
    // A failed initialisation (other than a changed mode) has nothing to
    // balance.
    if (SUCCEEDED(com)) CoUninitialize();
    CDiagnosticsLog::SetThreadRunTrace(nullptr);
  }
  if (module != nullptr) FreeLibraryAndExitThread(module, 0);
  return 0;
}
