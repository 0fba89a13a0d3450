// Faults on demand (VdMachine::propertyFaults, replyOverrides, ioctlFaults):
// which requests fail, and the malformed replies given instead of the real
// ones.
#include "virtual-device/VirtualDeviceImpl.h"

DWORD CVirtualDevice::Impl::Fault(const VdRequest& request) {
  for (VdPropertyFault& fault : m_machine.propertyFaults) {
    if (fault.iRemaining != 0 && IsEqualGUID(fault.guidSet, request.guidSet) &&
        fault.ulId == request.ulId && (fault.iFilter < 0 || fault.iFilter == request.iFilter) &&
        (fault.iPin < 0 || fault.iPin == request.iPin) &&
        (fault.ulFlags == 0 || (fault.ulFlags & request.ulFlags))) {
      if (fault.iRemaining > 0) {
        --fault.iRemaining;
      }
      return fault.dwError;
    }
  }
  return 0;
}

DWORD CVirtualDevice::Impl::IoctlFault(ULONG ulIoctl) {
  for (VdIoctlFault& fault : m_machine.ioctlFaults) {
    if (fault.iRemaining != 0 && fault.ulIoctl == ulIoctl) {
      if (fault.iRemaining > 0) {
        --fault.iRemaining;
      }
      return fault.dwError;
    }
  }
  return 0;
}

bool CVirtualDevice::Impl::Override(const VdRequest& request, PropertyCall& call, DWORD* pdwError) {
  for (const VdReplyOverride& reply : m_machine.replyOverrides) {
    if (reply.iFilter == request.iFilter && (reply.iPin < 0 || reply.iPin == request.iPin) &&
        IsEqualGUID(reply.guidSet, request.guidSet) && reply.ulId == request.ulId) {
      *pdwError = ReplyMultiple(call, reply.reply);
      return true;
    }
  }
  return false;
}
