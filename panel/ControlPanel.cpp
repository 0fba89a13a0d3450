// The control panel launcher and its closing.
#include "driver/AsioDriver.h"

// Placeholder until the control panel lands: no dialog can be shown, which
// controlPanel reports to the host as ASE_NotPresent.
int CAsioDriver::OpenControlPanel(bool /*noWait*/) { return -1; }

// Placeholder: a panel can never be open yet, so there is nothing to close.
void CAsioDriver::ClosePanel() {}
