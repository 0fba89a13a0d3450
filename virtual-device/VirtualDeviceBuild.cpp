// The virtual-device build of the driver DLL: the same library, with the
// default virtual Vor OD installed behind the device seam from the moment the
// library loads, so that any host can load it and find a Vor OD. Only the
// virtual-device build links this file.
#include "virtual-device/VirtualDevice.h"

namespace {

class VirtualDeviceBuild {
 public:
  VirtualDeviceBuild() { m_device.Install(); }
  ~VirtualDeviceBuild() { m_device.Uninstall(); }

 private:
  CVirtualDevice m_device;
};

VirtualDeviceBuild g_virtualDeviceBuild;

}  // namespace
