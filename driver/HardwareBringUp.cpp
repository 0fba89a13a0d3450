// Hardware bring-up: finding the device's KS filters and opening its pins.
#include "driver/AsioDriver.h"

// Placeholder until filter enumeration and the audio filters land: no device
// can be found yet, so bring-up reports the device missing and init fails.
bool CAsioDriver::FindHardware() {
  ReleaseHardware();
  SetErrorMessage("Quorvex Vor OD hardware not found.");
  return false;
}

// Placeholder: nothing is enumerated yet, so there is nothing to release
// beyond forgetting the (empty) filter lists and pins.
void CAsioDriver::ReleaseHardware() {
  m_captureFilters.clear();
  m_renderFilters.clear();
  m_capturePin = nullptr;
  m_renderPin = nullptr;
}

// Placeholder until the audio pin classes land: no pin can be open yet.
void CAsioDriver::ReinstantiatePins() {}
