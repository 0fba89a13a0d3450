#include "ks/KsFilter.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "ks/KsDeviceSeam.h"
#include "ks/KsPin.h"
#include "ks/KsTrace.h"

CKsFilter::CKsFilter(LPCSTR pszName, HRESULT* phr)
    : CKsIrpTarget(INVALID_HANDLE_VALUE), m_eType(eUnknown) {
  KsTraceEnter("CKsFilter::CKsFilter()");
  InternalInit();
  HRESULT hr = S_OK;
  if (!pszName) {
    KsTrace(1, "pszName cannot be NULL");
    hr = E_INVALIDARG;
  } else {
    strncpy(m_szFilterName, pszName, MAX_PATH - 1);
    m_szFilterName[MAX_PATH - 1] = '\0';
  }
  KsTraceLeaveResult("CKsFilter::CKsFilter", hr);
  *phr = hr;
}

CKsFilter::~CKsFilter() {
  KsTraceEnter("CKsFilter::~CKsFilter()");
  HRESULT hr = DestroyLists();
  SafeCloseHandle(m_handle);
  KsTraceLeaveResult("CKsFilter::~CKsFilter", hr);
}

HRESULT CKsFilter::InternalInit() {
  KsTraceEnter("CKsFilter::InternalInit()");
  memset(m_szFilterName, 0, sizeof(m_szFilterName));
  memset(m_szFriendlyName, 0, sizeof(m_szFriendlyName));
  KsTraceLeaveResult("CKsFilter::InternalInit", S_OK);
  return S_OK;
}

HRESULT CKsFilter::Instantiate() {
  KsTraceEnter("CKsFilter::Instantiate()");
  HRESULT hr = S_OK;
  m_handle = g_ksDeviceSeam.CreateFileA(m_szFilterName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (!IsValidHandle(m_handle)) {
    KsTrace(1, "CKsFilter::Instantiate: CreateFile failed for device %s.  ErrorCode = 0x%08x",
            m_szFilterName, static_cast<unsigned>(GetLastError()));
    hr = E_FAIL;
  }
  KsTraceLeaveResult("CKsFilter::Instantiate", hr);
  return hr;
}

// The KSP_PIN of a get on one pin factory.
static KSP_PIN PinRequest(ULONG nPinId, REFGUID guidPropertySet, ULONG nProperty) {
  KSP_PIN ksPProp;
  ksPProp.Property.Set = guidPropertySet;
  ksPProp.Property.Id = nProperty;
  ksPProp.Property.Flags = KSPROPERTY_TYPE_GET;
  ksPProp.PinId = nPinId;
  ksPProp.Reserved = 0;
  return ksPProp;
}

HRESULT CKsFilter::GetPinPropertySimple(ULONG nPinId, REFGUID guidPropertySet, ULONG nProperty,
                                        PVOID pvValue, ULONG cbValue) {
  KsTraceEnter("CKsFilter::GetPinPropertySimple()");
  KSP_PIN ksPProp = PinRequest(nPinId, guidPropertySet, nProperty);
  ULONG ulBytes = 0;
  HRESULT hr = Request(IOCTL_KS_PROPERTY, &ksPProp, sizeof(ksPProp), pvValue, cbValue, &ulBytes);
  KsTraceLeaveResult("CKsFilter::GetPinPropertySimple", hr);
  return hr;
}

HRESULT CKsFilter::GetPinPropertyMulti(ULONG nPinId, REFGUID guidPropertySet, ULONG nProperty,
                                       PKSMULTIPLE_ITEM* ppBuffer, PULONG pcbBuffer) {
  KsTraceEnter("CKsFilter::GetPinPropertyMulti()");
  KSP_PIN ksPProp = PinRequest(nPinId, guidPropertySet, nProperty);
  ULONG cbRequired = 0;
  HRESULT hr = Request(IOCTL_KS_PROPERTY, &ksPProp, sizeof(ksPProp), nullptr, 0, &cbRequired);
  if (SUCCEEDED(hr)) {
    hr = FetchMultipleItem(&ksPProp, sizeof(ksPProp), cbRequired, ppBuffer, pcbBuffer);
  }
  KsTraceLeaveResult("CKsFilter::GetPinPropertyMulti", hr);
  return hr;
}

HRESULT CKsFilter::EnumerateNodes() {
  KsTraceEnter("CKsFilter::EnumerateNodes()");
  m_listNodes.DeleteAll();

  PKSMULTIPLE_ITEM pReply = nullptr;
  ULONG cbReply = 0;
  HRESULT hr = GetPropertyMulti(KsGuid::PropSetTopology, KSPROPERTY_TOPOLOGY_NODES, &pReply,
                                &cbReply);
  if (FAILED(hr)) {
    KsTrace(4, "Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES");
  } else if (pReply) {
    // The device's Count is untrusted: it must fit the bytes we hold.
    ULONG ulCount = pReply->Count;
    if (ulCount > (cbReply - sizeof(KSMULTIPLE_ITEM)) / sizeof(GUID)) {
      hr = E_FAIL;
    } else {
      const GUID* pguidNodes = reinterpret_cast<const GUID*>(pReply + 1);
      for (ULONG i = 0; i < ulCount; ++i) {
        HRESULT hrNode = S_OK;
        CKsNode* pNode = new (std::nothrow) CKsNode(i, pguidNodes[i], &hrNode);
        if (pNode && !m_listNodes.AddTail(pNode)) {
          delete pNode;
        }
      }
      if (m_listNodes.m_ulCount != ulCount) {
        hr = E_FAIL;
      }
    }
    if (FAILED(hr)) {
      m_listNodes.DeleteAll();
    }
  }
  free(pReply);
  KsTraceLeaveResult("CKsFilter::EnumerateNodes", hr);
  return hr;
}

HRESULT CKsFilter::EnumeratePins() {
  KsTraceEnter("CKsFilter::EnumeratePins()");
  ULONG cPins = 0;
  if (FAILED(GetPinPropertySimple(0, KsGuid::PropSetPin, KSPROPERTY_PIN_CTYPES, &cPins,
                                  sizeof(cPins)))) {
    cPins = 0;
  }
  for (ULONG nPinId = 0; nPinId < cPins; ++nPinId) {
    HRESULT hrPin = S_OK;
    CKsPin* pPin = new (std::nothrow) CKsPin(this, nPinId, &hrPin);
    if (!pPin) {
      KsTrace(1, "Failed to create pin");
    } else if (FAILED(hrPin)) {
      KsTrace(1, "Failed to construct pin");
      delete pPin;
    } else if (!m_listPins.AddTail(pPin)) {
      KsTrace(1, "Failed to add pin to list");
      delete pPin;
    }
  }

  HRESULT hr = ClassifyPins();
  if (m_listRenderSinkPins.IsEmpty() && m_listCaptureSourcePins.IsEmpty() &&
      m_listCaptureSinkPins.IsEmpty() && m_listRenderSourcePins.IsEmpty() &&
      m_listNoCommPins.IsEmpty()) {
    KsTrace(1, "Filter is not viable. It has no pins.");
    hr = E_FAIL;
  }
  KsTraceLeaveResult("CKsFilter::EnumeratePins", hr);
  return hr;
}

HRESULT CKsFilter::ClassifyPins() {
  KsTraceEnter("CKsFilter::ClassifyPins()");
  HRESULT hr = S_OK;
  for (CKsList<CKsPin>::Node* pNode = m_listPins.m_pFirst; pNode && SUCCEEDED(hr);
       pNode = pNode->pNext) {
    CKsPin* pPin = pNode->pData;
    ULONG ulCommunication = 0;
    ULONG ulDataFlow = 0;
    hr = pPin->GetCommunication(&ulCommunication);
    if (SUCCEEDED(hr)) {
      hr = pPin->GetDataFlow(&ulDataFlow);
    }
    if (FAILED(hr)) {
      break;
    }
    const bool bIn = ulDataFlow == KSPIN_DATAFLOW_IN;
    CKsList<CKsPin>* pSinkList = bIn ? &m_listRenderSinkPins : &m_listCaptureSinkPins;
    CKsList<CKsPin>* pSourceList = bIn ? &m_listRenderSourcePins : &m_listCaptureSourcePins;
    switch (ulCommunication) {
      case KSPIN_COMMUNICATION_NONE:
        if (!m_listNoCommPins.AddTail(pPin)) hr = E_OUTOFMEMORY;
        break;
      case KSPIN_COMMUNICATION_SINK:
        if (!pSinkList->AddTail(pPin)) hr = E_OUTOFMEMORY;
        break;
      case KSPIN_COMMUNICATION_SOURCE:
        if (!pSourceList->AddTail(pPin)) hr = E_OUTOFMEMORY;
        break;
      case KSPIN_COMMUNICATION_BOTH:
        if (!pSinkList->AddTail(pPin)) hr = E_OUTOFMEMORY;
        if (!pSourceList->AddTail(pPin)) hr = E_OUTOFMEMORY;
        break;
      default:
        KsTrace(5, "Pin communication type not recognized");
        break;
    }
  }
  KsTraceLeaveResult("CKsFilter::ClassifyPins", hr);
  return hr;
}

HRESULT CKsFilter::DestroyLists() {
  KsTraceEnter("CKsFilter::DestroyLists()");
  m_listNodes.DeleteAll();
  m_listPins.DeleteAll();
  m_listRenderSinkPins.RemoveAll();
  m_listCaptureSourcePins.RemoveAll();
  m_listCaptureSinkPins.RemoveAll();
  m_listRenderSourcePins.RemoveAll();
  m_listNoCommPins.RemoveAll();
  KsTraceLeaveResult("CKsFilter::DestroyLists", S_OK);
  return S_OK;
}

ULONG CKsFilter::GetType() {
  KsTraceEnter("CKsFilter::GetType()");
  KsTraceLeave("CKsFilter::GetType()");
  return m_eType;
}
