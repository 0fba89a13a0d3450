#include "ks/KsIrpTarget.h"

#include <stdlib.h>
#include <string.h>

#include "ks/KsDeviceSeam.h"
#include "ks/KsTrace.h"

DWORD CKsIrpTarget::s_dwRequestTimeoutMs = CKsIrpTarget::kRequestTimeoutMs;

CKsIrpTarget::CKsIrpTarget(HANDLE handle)
    : m_handle(handle), m_bUnresponsive(false), m_hRequestEvent(nullptr), m_bRequestEventInUse(false) {
  KsTraceEnter("CKsIrpTarget::CKsIrpTarget()");
  KsTraceLeave("CKsIrpTarget::CKsIrpTarget()");
}

CKsIrpTarget::~CKsIrpTarget() {
  if (m_hRequestEvent != nullptr) CloseHandle(m_hRequestEvent);
}

HANDLE CKsIrpTarget::GetHandle() {
  KsTraceEnter("CKsIrpTarget::GetHandle()");
  KsTraceLeave("CKsIrpTarget::GetHandle()");
  return m_handle;
}

BOOL CKsIrpTarget::IsValidHandle(HANDLE handle) {
  KsTraceEnter("CKsIrpTarget::IsValidHandle()");
  BOOL bValid = handle != nullptr && handle != INVALID_HANDLE_VALUE;
  KsTraceLeave("CKsIrpTarget::IsValidHandle()");
  return bValid;
}

BOOL CKsIrpTarget::SafeCloseHandle(HANDLE& handle) {
  KsTraceEnter("CKsIrpTarget::SafeCloseHandle()");
  BOOL bResult = TRUE;
  if (IsValidHandle(handle)) {
    bResult = g_ksDeviceSeam.CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  KsTraceLeave("CKsIrpTarget::SafeCloseHandle()");
  return bResult;
}

BOOL CKsIrpTarget::Close() {
  KsTraceEnter("CKsIrpTarget::Close()");
  BOOL bResult = SafeCloseHandle(m_handle);
  KsTraceLeave("CKsIrpTarget::Close()");
  return bResult;
}

HRESULT CKsIrpTarget::SyncIoctl(HANDLE handle, ULONG ulIoctl, PVOID pvInBuffer, ULONG cbInBuffer,
                                PVOID pvOutBuffer, ULONG cbOutBuffer, PULONG pulBytesReturned,
                                HANDLE hKeptEvent) {
  KsTraceEnter("CKsIrpTarget::SyncIoctl()");
  ULONG ulLocalBytes = 0;
  if (!pulBytesReturned) {
    pulBytesReturned = &ulLocalBytes;
  }

  HRESULT hr = E_FAIL;
  if (!IsValidHandle(handle)) {
    KsTrace(1, "CKsIrpTarget::SyncIoctl Invalid Handle");
  } else {
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof(overlapped));
    HANDLE hEvent = hKeptEvent != nullptr ? hKeptEvent : CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!hEvent) {
      KsTrace(1, "CKsIrpTarget::SyncIoctl CreateEvent failed");
      hr = E_OUTOFMEMORY;
    } else {
      // The low-order bit keeps the completion off any I/O completion port
      // bound to the handle.
      overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(hEvent) | 1);
      SetLastError(ERROR_SUCCESS);
      BOOL bResult = g_ksDeviceSeam.DeviceIoControl(handle, ulIoctl, pvInBuffer, cbInBuffer,
                                                    pvOutBuffer, cbOutBuffer, pulBytesReturned,
                                                    &overlapped);
      if (bResult) {
        hr = S_OK;
      } else {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_IO_PENDING) {
          DWORD dwWait = WaitForSingleObject(hEvent, s_dwRequestTimeoutMs);
          *pulBytesReturned = 0;
          if (dwWait == WAIT_TIMEOUT) {
            // The buffers are the caller's: the request must have ended
            // before they go, so its cancellation is waited for.
            g_ksDeviceSeam.CancelIoEx(handle, &overlapped);
            WaitForSingleObject(hEvent, INFINITE);
            KsTrace(1, "CKsIrpTarget::SyncIoctl request not completed within %lu ms, cancelled",
                    static_cast<unsigned long>(s_dwRequestTimeoutMs));
            hr = kHrKsRequestTimedOut;
          } else if (dwWait == WAIT_OBJECT_0) {
            hr = S_OK;
          } else {
            KsTrace(1, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x",
                    static_cast<unsigned>(dwWait));
            hr = E_FAIL;
          }
        } else if ((dwError == ERROR_INSUFFICIENT_BUFFER || dwError == ERROR_MORE_DATA) &&
                   ulIoctl == IOCTL_KS_PROPERTY && cbOutBuffer == 0) {
          hr = S_OK;  // a size query: the byte count holds the required size
        } else {
          *pulBytesReturned = 0;
          hr = E_FAIL;
        }
      }
      if (hEvent != hKeptEvent) CloseHandle(hEvent);
    }
  }
  KsTraceLeaveResult("CKsIrpTarget::SyncIoctl", hr);
  return hr;
}

HRESULT CKsIrpTarget::Request(ULONG ulIoctl, PVOID pvInBuffer, ULONG cbInBuffer,
                              PVOID pvOutBuffer, ULONG cbOutBuffer, PULONG pulBytesReturned) {
  if (m_bUnresponsive) {
    return kHrKsRequestTimedOut;
  }
  const bool bOwnEvent = !m_bRequestEventInUse.exchange(true, std::memory_order_acquire);
  if (bOwnEvent && m_hRequestEvent == nullptr) m_hRequestEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HRESULT hr = SyncIoctl(m_handle, ulIoctl, pvInBuffer, cbInBuffer, pvOutBuffer, cbOutBuffer,
                         pulBytesReturned, bOwnEvent ? m_hRequestEvent : nullptr);
  if (bOwnEvent) m_bRequestEventInUse.store(false, std::memory_order_release);
  m_bUnresponsive = hr == kHrKsRequestTimedOut;
  return hr;
}

HRESULT CKsIrpTarget::SendProperty(const char* pszName, ULONG cbRecord, ULONG ulFlags,
                                   REFGUID guidPropertySet, ULONG nProperty, ULONG nNodeId,
                                   ULONG nChannel, PVOID pvValue, ULONG cbValue, PVOID pvExtra,
                                   ULONG cbExtra) {
  HRESULT hr;
  // Zero-filled, so every Reserved word of the node records is 0. Most
  // requests fit on the stack: a position read while streaming allocates
  // nothing.
  alignas(8) BYTE abSmall[64] = {};
  const size_t cbRequest = static_cast<size_t>(cbRecord) + cbExtra;
  BYTE* pbRequest = cbRequest <= sizeof(abSmall) ? abSmall : static_cast<BYTE*>(calloc(1, cbRequest));
  if (!pbRequest) {
    hr = E_OUTOFMEMORY;
  } else {
    KSPROPERTY* pProperty = reinterpret_cast<KSPROPERTY*>(pbRequest);
    pProperty->Set = guidPropertySet;
    pProperty->Id = nProperty;
    pProperty->Flags = ulFlags;
    if (cbRecord >= sizeof(KSNODEPROPERTY)) {
      reinterpret_cast<KSNODEPROPERTY*>(pbRequest)->NodeId = nNodeId;
    }
    if (cbRecord >= sizeof(KSNODEPROPERTY_AUDIO_CHANNEL)) {
      reinterpret_cast<KSNODEPROPERTY_AUDIO_CHANNEL*>(pbRequest)->Channel = nChannel;
    }
    if (pvExtra) {
      memcpy(pbRequest + cbRecord, pvExtra, cbExtra);
    }
    ULONG ulBytes = 0;
    hr = Request(IOCTL_KS_PROPERTY, pbRequest, cbRecord + cbExtra, pvValue, cbValue, &ulBytes);
    if (pbRequest != abSmall) free(pbRequest);
  }
  KsTraceLeaveResult(pszName, hr);
  return hr;
}

HRESULT CKsIrpTarget::PropertySetSupport(REFGUID guidPropertySet) {
  KsTraceEnter("CKsIrpTarget::PropertySetSupport()");
  return SendProperty("CKsIrpTarget::PropertySetSupport", sizeof(KSPROPERTY),
                      KSPROPERTY_TYPE_SETSUPPORT, guidPropertySet, 0, 0, 0, nullptr, 0, nullptr,
                      0);
}

HRESULT CKsIrpTarget::PropertyBasicSupport(REFGUID guidPropertySet, ULONG nProperty,
                                           PULONG pulAccessFlags) {
  KsTraceEnter("CKsIrpTarget::PropertyBasicSupport()");
  return SendProperty("CKsIrpTarget::PropertyBasicSupport", sizeof(KSPROPERTY),
                      KSPROPERTY_TYPE_BASICSUPPORT, guidPropertySet, nProperty, 0, 0,
                      pulAccessFlags, sizeof(ULONG), nullptr, 0);
}

HRESULT CKsIrpTarget::GetPropertySimple(REFGUID guidPropertySet, ULONG nProperty, PVOID pvValue,
                                        ULONG cbValue, PVOID pvExtra, ULONG cbExtra) {
  KsTraceEnter("CKsIrpTarget::GetPropertySimple()");
  return SendProperty("CKsIrpTarget::GetPropertySimple", sizeof(KSPROPERTY), KSPROPERTY_TYPE_GET,
                      guidPropertySet, nProperty, 0, 0, pvValue, cbValue, pvExtra, cbExtra);
}

HRESULT CKsIrpTarget::SetPropertySimple(REFGUID guidPropertySet, ULONG nProperty, PVOID pvValue,
                                        ULONG cbValue, PVOID pvExtra, ULONG cbExtra) {
  KsTraceEnter("CKsIrpTarget::SetPropertySimple()");
  return SendProperty("CKsIrpTarget::SetPropertySimple", sizeof(KSPROPERTY), KSPROPERTY_TYPE_SET,
                      guidPropertySet, nProperty, 0, 0, pvValue, cbValue, pvExtra, cbExtra);
}

HRESULT CKsIrpTarget::GetNodePropertySimple(ULONG nNodeId, REFGUID guidPropertySet,
                                            ULONG nProperty, PVOID pvValue, ULONG cbValue,
                                            PVOID pvExtra, ULONG cbExtra) {
  KsTraceEnter("CKsIrpTarget::GetNodePropertySimple()");
  return SendProperty("CKsIrpTarget::GetNodePropertySimple", sizeof(KSNODEPROPERTY),
                      KSPROPERTY_TYPE_TOPOLOGY | KSPROPERTY_TYPE_GET, guidPropertySet, nProperty,
                      nNodeId, 0, pvValue, cbValue, pvExtra, cbExtra);
}

HRESULT CKsIrpTarget::SetNodePropertySimple(ULONG nNodeId, REFGUID guidPropertySet,
                                            ULONG nProperty, PVOID pvValue, ULONG cbValue,
                                            PVOID pvExtra, ULONG cbExtra) {
  KsTraceEnter("CKsIrpTarget::SetNodePropertySimple()");
  return SendProperty("CKsIrpTarget::SetNodePropertySimple", sizeof(KSNODEPROPERTY),
                      KSPROPERTY_TYPE_TOPOLOGY | KSPROPERTY_TYPE_SET, guidPropertySet, nProperty,
                      nNodeId, 0, pvValue, cbValue, pvExtra, cbExtra);
}

HRESULT CKsIrpTarget::GetNodePropertyChannel(ULONG nNodeId, ULONG nChannel,
                                             REFGUID guidPropertySet, ULONG nProperty,
                                             PVOID pvValue, ULONG cbValue, PVOID pvExtra,
                                             ULONG cbExtra) {
  KsTraceEnter("CKsIrpTarget::GetNodePropertyChannel()");
  return SendProperty("CKsIrpTarget::GetNodePropertyChannel", sizeof(KSNODEPROPERTY_AUDIO_CHANNEL),
                      KSPROPERTY_TYPE_TOPOLOGY | KSPROPERTY_TYPE_GET, guidPropertySet, nProperty,
                      nNodeId, nChannel, pvValue, cbValue, pvExtra, cbExtra);
}

HRESULT CKsIrpTarget::SetNodePropertyChannel(ULONG nNodeId, ULONG nChannel,
                                             REFGUID guidPropertySet, ULONG nProperty,
                                             PVOID pvValue, ULONG cbValue, PVOID pvExtra,
                                             ULONG cbExtra) {
  KsTraceEnter("CKsIrpTarget::SetNodePropertyChannel()");
  return SendProperty("CKsIrpTarget::SetNodePropertyChannel", sizeof(KSNODEPROPERTY_AUDIO_CHANNEL),
                      KSPROPERTY_TYPE_TOPOLOGY | KSPROPERTY_TYPE_SET, guidPropertySet, nProperty,
                      nNodeId, nChannel, pvValue, cbValue, pvExtra, cbExtra);
}

HRESULT CKsIrpTarget::FetchMultipleItem(PVOID pvRequest, ULONG cbRequest, ULONG cbRequired,
                                        PKSMULTIPLE_ITEM* ppBuffer, PULONG pcbBuffer) {
  // At least the header, zero-filled: whatever the device answers, its
  // header can be read and nothing stale lies behind it.
  const ULONG cbBuffer =
      cbRequired < sizeof(KSMULTIPLE_ITEM) ? static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM)) : cbRequired;
  void* pvBuffer = calloc(1, cbBuffer);
  if (!pvBuffer) {
    return E_OUTOFMEMORY;
  }
  *ppBuffer = static_cast<PKSMULTIPLE_ITEM>(pvBuffer);
  if (pcbBuffer) {
    *pcbBuffer = cbBuffer;
  }
  ULONG ulBytes = 0;
  return Request(IOCTL_KS_PROPERTY, pvRequest, cbRequest, pvBuffer, cbRequired, &ulBytes);
}

HRESULT CKsIrpTarget::GetPropertyMulti(REFGUID guidPropertySet, ULONG nProperty,
                                       PKSMULTIPLE_ITEM* ppBuffer, PULONG pcbBuffer) {
  KsTraceEnter("CKsIrpTarget::GetPropertyMulti()");
  KSPROPERTY property;
  property.Set = guidPropertySet;
  property.Id = nProperty;
  property.Flags = KSPROPERTY_TYPE_GET;

  ULONG cbRequired = 0;
  HRESULT hr = Request(IOCTL_KS_PROPERTY, &property, sizeof(property), nullptr, 0, &cbRequired);
  if (SUCCEEDED(hr) && cbRequired != 0) {
    hr = FetchMultipleItem(&property, sizeof(property), cbRequired, ppBuffer, pcbBuffer);
  }
  KsTraceLeaveResult("CKsIrpTarget::GetPropertyMulti", hr);
  return hr;
}
