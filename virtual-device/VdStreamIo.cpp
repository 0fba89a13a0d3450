// Device I/O control on the virtual device's handles: the dispatch of every
// request (properties go on to VdProperties.cpp), the queueing of stream
// reads and writes, and reset.
#include "virtual-device/VirtualDeviceImpl.h"

#include <string.h>

namespace {

const LONG kStatusPending = 0x00000103;
const LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005);

HANDLE EventOf(LPOVERLAPPED pOverlapped) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(pOverlapped->hEvent) &
                                  ~static_cast<ULONG_PTR>(1));
}

}  // namespace

// ---------------------------------------------------- device I/O control

BOOL CVirtualDevice::Impl::DeviceIoControl(HANDLE handle, DWORD dwIoctl, LPVOID pvIn, DWORD cbIn,
                                           LPVOID pvOut, DWORD cbOut, LPDWORD pcbReturned,
                                           LPOVERLAPPED pOverlapped) {
  {
    Lock lock(this);
    if (m_filterHandles.count(handle) || m_pins.count(handle)) {
      return OwnDeviceIoControl(handle, dwIoctl, pvIn, cbIn, pvOut, cbOut, pcbReturned,
                                pOverlapped);
    }
  }
  return m_saved.DeviceIoControl(handle, dwIoctl, pvIn, cbIn, pvOut, cbOut, pcbReturned,
                                 pOverlapped);
}

BOOL CVirtualDevice::Impl::OwnDeviceIoControl(HANDLE handle, DWORD dwIoctl, LPVOID pvIn, DWORD cbIn,
                                              LPVOID pvOut, DWORD cbOut, LPDWORD pcbReturned,
                                              LPOVERLAPPED pOverlapped) {
  auto itFilter = m_filterHandles.find(handle);
  auto itPin = m_pins.find(handle);
  PinInstance* pInstance = itPin != m_pins.end() ? itPin->second.get() : nullptr;

  VdRequest request;
  request.call = VdCall::DeviceIoControl;
  request.handle = handle;
  request.ulIoctl = dwIoctl;
  request.cbOutput = cbOut;
  request.iFilter = pInstance ? pInstance->iFilter : itFilter->second;
  request.iPin = pInstance ? pInstance->iPin : -1;
  if (pvIn && cbIn && Logging()) {
    const BYTE* pb = static_cast<const BYTE*>(pvIn);
    request.input.assign(pb, pb + cbIn);
  }

  DWORD dwError;
  ULONG cbReturned = 0;
  if (m_engine.Unplugged() || Gone(handle)) {
    dwError = ERROR_DEVICE_NOT_CONNECTED;
  } else if (dwIoctl == IOCTL_KS_PROPERTY && m_machine.filters[request.iFilter].bPropertiesHang) {
    // Held until cancelled, as a write: its completion writes no header back.
    dwError = ERROR_INVALID_PARAMETER;
    if (pOverlapped) {
      pOverlapped->Internal = static_cast<ULONG_PTR>(kStatusPending);
      if (pOverlapped->hEvent) ResetEvent(EventOf(pOverlapped));
      m_heldRequests.insert({handle, VdPendingIo{nullptr, pOverlapped, true, 0}});
      dwError = ERROR_IO_PENDING;
    }
  } else if (dwIoctl == IOCTL_KS_PROPERTY) {
    dwError = Property(pInstance, request, static_cast<BYTE*>(pvIn), cbIn,
                       static_cast<BYTE*>(pvOut), cbOut, &cbReturned);
  } else if (!pInstance) {
    dwError = ERROR_INVALID_FUNCTION;
  } else if ((dwError = IoctlFault(dwIoctl)) != 0) {
    // a failing request on demand
  } else if (dwIoctl == IOCTL_KS_READ_STREAM || dwIoctl == IOCTL_KS_WRITE_STREAM) {
    dwError = QueueStreamIo(pInstance, dwIoctl == IOCTL_KS_WRITE_STREAM,
                            static_cast<PKSSTREAM_HEADER>(pvOut), cbOut, pOverlapped);
  } else if (dwIoctl == IOCTL_KS_RESET_STATE) {
    m_engine.DeliverScheduled(handle);
    dwError = ResetState(pInstance, static_cast<const BYTE*>(pvIn), cbIn);
  } else {
    dwError = ERROR_INVALID_FUNCTION;
  }

  request.dwError = dwError;
  request.cbReturned = cbReturned;
  if (m_machine.streaming.bLogStreamIo ||
      (dwIoctl != IOCTL_KS_READ_STREAM && dwIoctl != IOCTL_KS_WRITE_STREAM)) {
    Log(request);
  }

  // Completion as an overlapped handle sees it: a success or a warning
  // (more data) writes the status block and signals the event.
  if (dwError == 0 || dwError == ERROR_MORE_DATA) {
    if (pcbReturned) {
      *pcbReturned = cbReturned;
    }
    if (pOverlapped) {
      pOverlapped->Internal =
          static_cast<ULONG_PTR>(static_cast<ULONG>(dwError ? kStatusBufferOverflow : 0));
      pOverlapped->InternalHigh = cbReturned;
      if (pOverlapped->hEvent) {
        SetEvent(EventOf(pOverlapped));
      }
    }
  } else if (dwError != ERROR_IO_PENDING && pcbReturned) {
    *pcbReturned = 0;
  }
  SetLastError(dwError);
  return dwError == 0;
}

DWORD CVirtualDevice::Impl::QueueStreamIo(PinInstance* pInstance, bool bWrite,
                                          PKSSTREAM_HEADER pHeader, ULONG cbOut,
                                          LPOVERLAPPED pOverlapped) {
  if (pInstance->ulInterfaceId != KSINTERFACE_STANDARD_STREAMING) {
    return ERROR_INVALID_FUNCTION;
  }
  if (!pOverlapped || !pHeader || cbOut < sizeof(KSSTREAM_HEADER) ||
      pHeader->Size < sizeof(KSSTREAM_HEADER) || pHeader->Size > cbOut) {
    return ERROR_INVALID_PARAMETER;
  }
  if (pHeader->FrameExtent && !pHeader->Data) {
    return ERROR_NOACCESS;
  }
  if (bWrite && pHeader->DataUsed > pHeader->FrameExtent) {
    return ERROR_INVALID_PARAMETER;
  }
  if (pInstance->bInReset) {
    return ERROR_NOT_READY;
  }
  pOverlapped->Internal = static_cast<ULONG_PTR>(kStatusPending);
  pOverlapped->InternalHigh = 0;
  if (pOverlapped->hEvent) {
    ResetEvent(EventOf(pOverlapped));
  }
  // A running render queue that has run dry takes the write up later.
  if (bWrite && pInstance->state == KSSTATE_RUN && pInstance->pending.empty())
    pInstance->ullHoldWritesUntil = m_engine.Frame() + m_machine.streaming.ulIdleWriteDelayFrames;
  pInstance->pending.push_back({pHeader, pOverlapped, bWrite, 0});
  m_engine.OnRequestQueued();
  return ERROR_IO_PENDING;
}

DWORD CVirtualDevice::Impl::ResetState(PinInstance* pInstance, const BYTE* pbIn, ULONG cbIn) {
  ULONG ulReset = 0;
  if (!pbIn || cbIn < sizeof(ulReset)) {
    return ERROR_INVALID_PARAMETER;
  }
  memcpy(&ulReset, pbIn, sizeof(ulReset));
  if (ulReset == KSRESET_BEGIN) {
    CancelPending(pInstance);
    pInstance->bInReset = true;
  } else if (ulReset == KSRESET_END) {
    pInstance->bInReset = false;
  } else {
    return ERROR_INVALID_PARAMETER;
  }
  return 0;
}
