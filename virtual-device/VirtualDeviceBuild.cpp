// The virtual-device build of the driver DLL: the same library, with the
// default virtual Vor OD installed behind the device seam from the moment the
// library loads, so that any host can load it and find a Vor OD. Only the
// virtual-device build links this file.
//
// The device runs on the real-time clock. It is lossless (it waits for a late
// host instead of losing audio) unless the environment variable
// VOROD_VIRTUAL_CLOCK is "strict", which makes it lose frames as hardware does.
// Render channels 0 and 1 are looped back into capture channels 14 and 15, so
// that a host can measure its round trip; channels 0 to 13 carry the capture
// pattern (see VirtualDevice.h).
#include <stdlib.h>
#include <string.h>

#include "virtual-device/VirtualDevice.h"

namespace {

VdMachine BuildMachine() {
  VdMachine machine = VdDefaultMachine();
  machine.streaming.loopbacks = {{0, 14}, {1, 15}};
  // A host may stream for hours: no log of every stream request.
  machine.streaming.bLogStreamIo = false;
  machine.streaming.ulRecordFramesMax = 0;
  return machine;
}

class VirtualDeviceBuild {
 public:
  VirtualDeviceBuild() : m_device(BuildMachine()) {
    m_device.Install();
    const char* clock = getenv("VOROD_VIRTUAL_CLOCK");
    m_device.SetClockMode(clock != nullptr && _stricmp(clock, "strict") == 0
                              ? VdClockMode::RealTimeStrict
                              : VdClockMode::RealTimeLossless);
  }
  ~VirtualDeviceBuild() { m_device.Uninstall(); }

 private:
  CVirtualDevice m_device;
};

VirtualDeviceBuild g_virtualDeviceBuild;

}  // namespace
