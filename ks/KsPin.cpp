#include "ks/KsPin.h"

#include <stdlib.h>
#include <string.h>

#include "ks/KsDeviceSeam.h"
#include "ks/KsFilter.h"
#include "ks/KsTrace.h"

CKsDataRangeWalk::CKsDataRangeWalk(const PinDescriptor& descriptor)
    : m_pbNext(reinterpret_cast<BYTE*>(descriptor.DataRanges)),
      m_cbLeft(descriptor.DataRanges ? descriptor.cbDataRanges : 0),
      m_ulLeft(descriptor.DataRangesCount) {}

PKSDATARANGE CKsDataRangeWalk::Next() {
  if (m_ulLeft == 0 || m_cbLeft < sizeof(KSDATARANGE)) {
    return nullptr;
  }
  PKSDATARANGE pRange = reinterpret_cast<PKSDATARANGE>(m_pbNext);
  if (pRange->FormatSize < sizeof(KSDATARANGE) || pRange->FormatSize > m_cbLeft) {
    m_ulLeft = 0;
    return nullptr;
  }
  ULONG cbStep = (pRange->FormatSize + 7) & ~7UL;
  if (cbStep > m_cbLeft) {
    cbStep = m_cbLeft;  // the last range needs no padding behind it
  }
  m_pbNext += cbStep;
  m_cbLeft -= cbStep;
  --m_ulLeft;
  return pRange;
}

CKsPin::CKsPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr)
    : CKsIrpTarget(INVALID_HANDLE_VALUE),
      m_pksPinCreate(nullptr),
      m_cbPinCreate(0),
      m_nId(nId),
      m_pFilter(pFilter),
      m_guidCategory(KsGuid::Null),
      m_nType(0),
      m_ksState(KSSTATE_STOP),
      m_bLooped(FALSE) {
  KsTraceEnter("CKsPin::CKsPin()");
  memset(&m_Descriptor, 0, sizeof(m_Descriptor));
  memset(m_szName, 0, sizeof(m_szName));
  HRESULT hr = Init();
  KsTraceLeaveResult("CKsPin::CKsPin", hr);
  *phr = hr;
}

CKsPin::~CKsPin() {
  KsTraceEnter("CKsPin::~CKsPin()");
  ClosePin();
  free(m_pksPinCreate);
  free(m_Descriptor.pmiDataRanges);
  free(m_Descriptor.pmiMediums);
  free(m_Descriptor.pmiInterfaces);
  KsTraceLeave("CKsPin::~CKsPin()");
}

// One multiple-item description query. The reply is kept only when its
// Count items of at least cbItemMin bytes fit the bytes received; otherwise
// the step counts as failed and nothing is kept.
HRESULT CKsPin::ReadMultipleItem(ULONG nProperty, ULONG cbItemMin, PKSMULTIPLE_ITEM* ppReply,
                                 PULONG pulCount, PULONG pcbItems) {
  PKSMULTIPLE_ITEM pReply = nullptr;
  ULONG cbReply = 0;
  HRESULT hr = m_pFilter->GetPinPropertyMulti(m_nId, KsGuid::PropSetPin, nProperty, &pReply,
                                              &cbReply);
  if (SUCCEEDED(hr) && pReply) {
    ULONG cbItems = cbReply - static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM));
    if (pReply->Count > cbItems / cbItemMin) {
      hr = E_FAIL;
    } else {
      *ppReply = pReply;
      *pulCount = pReply->Count;
      *pcbItems = cbItems;
      return hr;
    }
  }
  free(pReply);
  return FAILED(hr) ? hr : E_FAIL;
}

HRESULT CKsPin::Init() {
  KsTraceEnter("CKsPin::Init()");
  HRESULT hr = S_OK;
  PinDescriptor& d = m_Descriptor;
  ULONG cbItems = 0;

  if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, KsGuid::PropSetPin,
                                             KSPROPERTY_PIN_COMMUNICATION, &d.Communication,
                                             sizeof(d.Communication)))) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: %d",
            static_cast<int>(m_nId));
    hr = S_FALSE;
  }
  if (SUCCEEDED(ReadMultipleItem(KSPROPERTY_PIN_INTERFACES, sizeof(KSPIN_INTERFACE),
                                 &d.pmiInterfaces, &d.InterfacesCount, &cbItems))) {
    d.Interfaces = reinterpret_cast<PKSPIN_INTERFACE>(d.pmiInterfaces + 1);
  } else {
    KsTrace(3, "Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: %d",
            static_cast<int>(m_nId));
    hr = S_FALSE;
  }
  if (SUCCEEDED(ReadMultipleItem(KSPROPERTY_PIN_MEDIUMS, sizeof(KSPIN_MEDIUM), &d.pmiMediums,
                                 &d.MediumsCount, &cbItems))) {
    d.Mediums = reinterpret_cast<PKSPIN_MEDIUM>(d.pmiMediums + 1);
  } else {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_MEDIUMS on PinID: %d",
            static_cast<int>(m_nId));
    hr = S_FALSE;
  }
  if (SUCCEEDED(ReadMultipleItem(KSPROPERTY_PIN_DATARANGES, sizeof(KSDATARANGE),
                                 &d.pmiDataRanges, &d.DataRangesCount, &d.cbDataRanges))) {
    d.DataRanges = reinterpret_cast<PKSDATARANGE>(d.pmiDataRanges + 1);
  } else {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: %d",
            static_cast<int>(m_nId));
    hr = S_FALSE;
  }
  if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, KsGuid::PropSetPin, KSPROPERTY_PIN_DATAFLOW,
                                             &d.DataFlow, sizeof(d.DataFlow)))) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW on PinID: %d",
            static_cast<int>(m_nId));
    hr = S_FALSE;
  }
  if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, KsGuid::PropSetPin, KSPROPERTY_PIN_CINSTANCES,
                                             &d.CInstances, sizeof(d.CInstances)))) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_CINSTANCES on PinID: %d",
            static_cast<int>(m_nId));
    hr = S_FALSE;
  }
  if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, KsGuid::PropSetPin,
                                             KSPROPERTY_PIN_GLOBALCINSTANCES, &d.CInstancesGlobal,
                                             sizeof(d.CInstancesGlobal)))) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_GLOBALCINSTANCES on PinID: %d",
            static_cast<int>(m_nId));
    hr = S_FALSE;
  }
  if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, KsGuid::PropSetPin, KSPROPERTY_PIN_CATEGORY,
                                             &m_guidCategory, sizeof(m_guidCategory)))) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: %d",
            static_cast<int>(m_nId));
    hr = S_FALSE;
  }
  // The name is UTF-16: its last character stays zero, so the name is always
  // terminated.
  if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, KsGuid::PropSetPin, KSPROPERTY_PIN_NAME,
                                             m_szName, sizeof(m_szName) - sizeof(WCHAR)))) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: %d",
            static_cast<int>(m_nId));
  }
  KsTraceLeaveResult("CKsPin::Init", hr);
  return hr;
}

HRESULT CKsPin::Instantiate(BOOL bLooped) {
  KsTraceEnter("CKsPin::Instantiate()");
  HRESULT hr = S_OK;
  if (m_pksPinCreate) {
    m_bLooped = bLooped;
    m_pksPinCreate->Interface.Id =
        bLooped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;

    PFN_KSCREATEPIN pfnCreatePin = KsGetPinCreationEntryPoint();
    if (!pfnCreatePin) {
      hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    } else {
      // KsCreatePin answers a Windows error code, KsCreatePin2 an HRESULT.
      // The handle is taken only on success, so a refusal leaves none.
      HANDLE hPin = INVALID_HANDLE_VALUE;
      LONG lResult = pfnCreatePin(m_pFilter->GetHandle(), m_pksPinCreate,
                                  GENERIC_READ | GENERIC_WRITE, &hPin);
      if (lResult == 0) {
        m_handle = hPin;
        m_bUnresponsive = false;
      } else if (lResult > 0) {
        hr = static_cast<HRESULT>(0x80070000UL | (static_cast<ULONG>(lResult) & 0xFFFF));
      } else {
        hr = lResult;
      }
    }
    if (FAILED(hr)) {
      KsTrace(1, "Failed to instantiate pin. hr=0x%08x", static_cast<unsigned>(hr));
    }
  }
  KsTraceLeaveResult("CKsPin::Instantiate", hr);
  return hr;
}

HRESULT CKsPin::Reinstantiate() {
  ClosePin();
  return Instantiate(m_bLooped);
}

void CKsPin::ClosePin() {
  KsTraceEnter("CKsPin::ClosePin()");
  if (IsValidHandle(m_handle)) {
    SetState(KSSTATE_STOP);
    SafeCloseHandle(m_handle);
  }
  KsTraceLeave("CKsPin::ClosePin()");
}

HRESULT CKsPin::SetState(KSSTATE ksState) {
  KsTraceEnter("CKsPin::SetState()");
  HRESULT hr = SetPropertySimple(KsGuid::PropSetConnection, KSPROPERTY_CONNECTION_STATE, &ksState,
                                 sizeof(ksState));
  if (SUCCEEDED(hr)) {
    m_ksState = ksState;
  } else {
    KsTrace(1, "Failed to Set Pin State");
  }
  KsTraceLeaveResult("CKsPin::SetState", hr);
  return hr;
}

HRESULT CKsPin::GetState(PKSSTATE pksState) {
  KsTraceEnter("CKsPin::GetState()");
  HRESULT hr;
  if (!pksState) {
    KsTrace(1, "pksState == NULL");
    hr = E_INVALIDARG;
  } else if (!IsValidHandle(m_handle)) {
    KsTrace(1, "No valid pin handle");
    hr = E_FAIL;
  } else {
    hr = GetPropertySimple(KsGuid::PropSetConnection, KSPROPERTY_CONNECTION_STATE, pksState,
                           sizeof(*pksState));
  }
  KsTraceLeaveResult("CKsPin::GetState", hr);
  return hr;
}

HRESULT CKsPin::Reset() {
  KsTraceEnter("CKsPin::Reset()");
  ULONG ulState = KSRESET_BEGIN;
  HRESULT hr = Request(IOCTL_KS_RESET_STATE, &ulState, sizeof(ulState), nullptr, 0, nullptr);
  if (FAILED(hr)) {
    KsTrace(1, "IOCTL_KS_RESET_STATE failed");
  }
  ulState = KSRESET_END;
  hr = Request(IOCTL_KS_RESET_STATE, &ulState, sizeof(ulState), nullptr, 0, nullptr);
  if (FAILED(hr)) {
    KsTrace(1, "IOCTL_KS_RESET_STATE failed");
  }
  KsTraceLeaveResult("CKsPin::Reset", hr);
  return hr;
}

DWORD CKsPin::SendStreamRequest(ULONG ulIoctl, PKSSTREAM_HEADER pksStreamHeader,
                                LPOVERLAPPED pOverlapped) {
  DWORD dwReturned = 0;
  if (g_ksDeviceSeam.DeviceIoControl(m_handle, ulIoctl, nullptr, 0, pksStreamHeader,
                                     pksStreamHeader->Size, &dwReturned, pOverlapped)) {
    return 0;
  }
  DWORD dwError = GetLastError();
  return dwError == ERROR_IO_PENDING ? 0 : dwError;
}

HRESULT CKsPin::WriteData(PKSSTREAM_HEADER pksStreamHeader, LPOVERLAPPED pOverlapped) {
  KsTraceEnter("CKsPin::WriteData()");
  HRESULT hr = S_OK;
  DWORD dwError = SendStreamRequest(IOCTL_KS_WRITE_STREAM, pksStreamHeader, pOverlapped);
  if (dwError) {
    KsTrace(1, "CKsPin::WriteData's DeviceIoControl Failed!  Error=0x%#08x",
            static_cast<unsigned>(dwError));
    hr = E_FAIL;
  }
  KsTraceLeaveResult("CKsPin::WriteData", hr);
  return hr;
}

HRESULT CKsPin::ReadData(PKSSTREAM_HEADER pksStreamHeader, LPOVERLAPPED pOverlapped) {
  KsTraceEnter("CKsPin::ReadData()");
  HRESULT hr = S_OK;
  DWORD dwError = SendStreamRequest(IOCTL_KS_READ_STREAM, pksStreamHeader, pOverlapped);
  if (dwError) {
    KsTrace(1, "DeviceIoControl Failed!  Error=0x%08x", static_cast<unsigned>(dwError));
    hr = E_FAIL;
  }
  KsTraceLeaveResult("CKsPin::ReadData", hr);
  return hr;
}

HRESULT CKsPin::SetFormat(PKSDATAFORMAT pksDataFormat) {
  KsTraceEnter("CKsPin::SetFormat()");
  HRESULT hr = SetPropertySimple(KsGuid::PropSetConnection, KSPROPERTY_CONNECTION_DATAFORMAT,
                                 pksDataFormat, pksDataFormat->FormatSize);
  KsTraceLeaveResult("CKsPin::SetFormat", hr);
  return hr;
}

HRESULT CKsPin::SetPinConnect(PKSPIN_CONNECT pksPinConnect, ULONG cbKsPinConnect) {
  KsTraceEnter("CKsPin::SetPinConnect()");
  HRESULT hr = S_OK;
  if (!pksPinConnect || cbKsPinConnect < sizeof(KSPIN_CONNECT)) {
    hr = E_INVALIDARG;
  } else {
    free(m_pksPinCreate);
    m_pksPinCreate = static_cast<PKSPIN_CONNECT>(malloc(cbKsPinConnect));
    if (!m_pksPinCreate) {
      hr = E_OUTOFMEMORY;
    } else {
      memcpy(m_pksPinCreate, pksPinConnect, cbKsPinConnect);
    }
  }
  KsTraceLeave("CKsPin::SetPinConnect()");
  return hr;
}

HRESULT CKsPin::GetChannelConfig(PULONG pulChannelConfig) {
  KsTraceEnter("CKsPin::GetChannelConfig()");
  HRESULT hr = GetNodePropertySimple(0, KsGuid::PropSetAudio, KSPROPERTY_AUDIO_CHANNEL_CONFIG,
                                     pulChannelConfig, sizeof(ULONG));
  KsTraceLeaveResult("CKsPin::GetChannelConfig", hr);
  return hr;
}

ULONG CKsPin::GetId() {
  KsTraceEnter("CKsPin::GetId()");
  KsTraceLeave("CKsPin::GetId()");
  return m_nId;
}

ULONG CKsPin::GetType() {
  KsTraceEnter("CKsPin::GetType()");
  KsTraceLeave("CKsPin::GetType()");
  return m_nType;
}

PinDescriptor* CKsPin::GetPinDescriptor() {
  KsTraceEnter("CKsPin::GetPinDescriptor()");
  KsTraceLeave("CKsPin::GetPinDescriptor()");
  return &m_Descriptor;
}

HRESULT CKsPin::GetDataFlow(PULONG pulDataFlow) {
  KsTraceEnter("CKsPin::GetDataFlow()");
  *pulDataFlow = m_Descriptor.DataFlow;
  KsTraceLeaveResult("CKsPin::GetDataFlow", S_OK);
  return S_OK;
}

HRESULT CKsPin::GetCommunication(PULONG pulCommunication) {
  KsTraceEnter("CKsPin::GetCommunication()");
  *pulCommunication = m_Descriptor.Communication;
  KsTraceLeaveResult("CKsPin::GetCommunication", S_OK);
  return S_OK;
}

BOOL CKsPin::HasDataRangeWithSpecifier(REFGUID guidSpecifier) {
  KsTraceEnter("CKsPin::HasDataRangeWithSpecifier()");
  BOOL bFound = FALSE;
  CKsDataRangeWalk walk(m_Descriptor);
  for (PKSDATARANGE pRange = walk.Next(); pRange && !bFound; pRange = walk.Next()) {
    bFound = IsEqualGUID(pRange->Specifier, guidSpecifier);
  }
  KsTraceLeave("CKsPin::HasDataRangeWithSpecifier()");
  return bFound;
}
