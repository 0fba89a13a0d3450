// The streaming thread: started by start, ended by stop and the destructor.
#include "driver/AsioDriver.h"

#include <mmsystem.h>
#include <process.h>

#include "ks/KsAudPin.h"

namespace {

const DWORD kStartConfirmMs = 1000;
const DWORD kStartPollMs = 10;
const uint32_t kStartSwitches = 2;
const DWORD kStopWaitMs = 10000;

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
  StopStreamThread();
  return false;
}

void CAsioDriver::StopStreamThread() {
  m_streamStop = true;
  if (m_streamStopEvent != nullptr) SetEvent(m_streamStopEvent);
  if (m_streamThread == INVALID_HANDLE_VALUE) return;
  if (WaitForSingleObject(m_streamThread, kStopWaitMs) == WAIT_TIMEOUT) {
    // A host callback that never returns. The thread's streams die with it,
    // unfreed, so the device's cancellations land in memory still allocated;
    // stopping the pins cancels their requests and lets a later start
    // set the pins up again.
    TerminateThread(m_streamThread, kStatusPossibleDeadlock);
    WaitForSingleObject(m_streamThread, kStopWaitMs);
    if (m_capturePin != nullptr) m_capturePin->SetState(KSSTATE_STOP);
    if (m_renderPin != nullptr) {
      m_renderPin->Reset();
      m_renderPin->SetState(KSSTATE_STOP);
    }
  }
  CloseHandle(m_streamThread);
  m_streamThread = INVALID_HANDLE_VALUE;
  m_streamThreadId = 0;
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
  const HRESULT com = CoInitialize(nullptr);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  HANDLE task = nullptr;
  DWORD taskIndex = 0;
  if (self->m_avSetMmThreadCharacteristics != nullptr)
    task = self->m_avSetMmThreadCharacteristics("Pro Audio", &taskIndex);
  self->StreamLoop();
  if (self->m_avRevertMmThreadCharacteristics != nullptr && task != nullptr)
    self->m_avRevertMmThreadCharacteristics(task);
  // A failed initialisation (other than a changed mode) has nothing to balance.
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}
