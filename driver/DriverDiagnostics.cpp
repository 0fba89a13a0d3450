// What the driver writes to the diagnostics log: the host's calls, and each
// streaming run's start and end. Only on the host's threads (and the panel's);
// a run's story is written after its streaming thread ended.
#include "driver/AsioDriver.h"

#include <mmsystem.h>

#include <cstdio>

#include "driver/DiagnosticsLog.h"
#include "ks/KsAudPin.h"

const char* AsioResultName(long result) {
  switch (result) {
    case ASE_OK: return "ASE_OK";
    case ASE_SUCCESS: return "ASE_SUCCESS";
    case ASE_NotPresent: return "ASE_NotPresent";
    case ASE_HWMalfunction: return "ASE_HWMalfunction";
    case ASE_InvalidParameter: return "ASE_InvalidParameter";
    case ASE_InvalidMode: return "ASE_InvalidMode";
    case ASE_SPNotAdvancing: return "ASE_SPNotAdvancing";
    case ASE_NoClock: return "ASE_NoClock";
    case ASE_NoMemory: return "ASE_NoMemory";
    default: return "?";
  }
}

namespace {

const char* StreamingMode(const CKsAudPin* pin) {
  if (pin == nullptr) return "no pin";
  return pin->m_ulInterfaceId == 1 ? "looped streaming" : "standard streaming";
}

}  // namespace

bool CAsioDriver::Logging() const {
  return CDiagnosticsLog::Instance().Enabled() && !OnStreamThread();
}

void CAsioDriver::LogCall(const char* pszFormat, ...) {
  if (!Logging()) return;
  va_list args;
  va_start(args, pszFormat);
  CDiagnosticsLog::Instance().WriteV(pszFormat, args);
  va_end(args);
}

void CAsioDriver::LogRunStart() {
  m_runStartTime = timeGetTime();
  ++m_runNumber;
  m_runLogged = Logging();
  LogCall("run %lu started: %ld frames per buffer, %ld of %ld inputs and %ld of %ld outputs for "
          "the host, capture pin in %s, render pin in %s, %s",
          static_cast<unsigned long>(m_runNumber), m_bufferSize, m_activeInputs, m_numInputs,
          m_activeOutputs, m_numOutputs, StreamingMode(m_capturePin), StreamingMode(m_renderPin),
          m_timeInfoMode ? "bufferSwitchTimeInfo" : "bufferSwitch");
}

void CAsioDriver::LogRunEnd(const char* pszHowEnded) {
  // A run that started while the log was off is told all the same.
  if (!m_runLogged && !Logging()) {
    m_runTrace.Clear();
    return;
  }
  m_runLogged = false;
  long inputLatency = 0, outputLatency = 0;
  ComputeLatencies(m_bufferSize, m_lowLatencyRun, &inputLatency, &outputLatency);
  CDiagnosticsLog& log = CDiagnosticsLog::Instance();
  log.Write("run %lu ended after %lu ms, %s: %lu buffer switches, %lu drop-outs, measured "
            "latency %lu frames (reported: input %ld, output %ld)",
            static_cast<unsigned long>(m_runNumber),
            static_cast<unsigned long>(timeGetTime() - m_runStartTime), pszHowEnded,
            static_cast<unsigned long>(m_streamSwitchCount.Get()),
            static_cast<unsigned long>(m_dropOuts.Get()),
            static_cast<unsigned long>(m_latencyFrames.Get()), inputLatency, outputLatency);
  const CKsAudPin* pins[2] = {m_capturePin, m_renderPin};
  for (const CKsAudPin* pin : pins) {
    if (pin != nullptr && pin->m_ulInterfaceId == 1)
      log.Write("run %lu: %s pin's cyclic buffer %lu bytes", static_cast<unsigned long>(m_runNumber),
                pin == m_capturePin ? "capture" : "render",
                static_cast<unsigned long>(pin->m_cbBuffer));
  }
  log.WriteRunTrace(&m_runTrace);
}
