// The streaming thread.
#include "driver/AsioDriver.h"

// Placeholder until the capture and render streams land: no streaming thread
// can run yet, so start-up reports that no buffer switch happened.
bool CAsioDriver::StartStreamThread() {
  m_streamSwitchCount = 0;
  m_streamStop = false;
  m_dropOuts = 0;
  m_latencyFrames = 0;
  return false;
}

// Placeholder: there is never a thread to wait for yet.
void CAsioDriver::StopStreamThread() { m_streamStop = true; }
