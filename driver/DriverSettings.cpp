// The per-user settings store.
#include "driver/AsioDriver.h"

// Placeholder until the settings store lands: the constructor's defaults stay.
void CAsioDriver::LoadSettings() {}

// Placeholder until the settings store lands: nothing is written, so stored
// preferences cannot be overwritten with defaults.
void CAsioDriver::SaveSettings() {}
