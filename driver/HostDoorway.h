// Every IASIO entry runs through here: nothing thrown inside the driver may
// cross into the host, whatever the host passed. A failure that escapes the
// checks of an operation becomes an ASIO error code.
#ifndef VOROD_DRIVER_HOSTDOORWAY_H
#define VOROD_DRIVER_HOSTDOORWAY_H

#include "driver/AsioTypes.h"

template <typename Fn>
long HostDoorway(Fn&& fn, long onFailure = ASE_HWMalfunction) noexcept {
  try {
    return fn();
  } catch (...) {
    return onFailure;
  }
}

// For the operations without a result code.
template <typename Fn>
void HostDoorwayVoid(Fn&& fn) noexcept {
  try {
    fn();
  } catch (...) {
  }
}

#endif  // VOROD_DRIVER_HOSTDOORWAY_H
