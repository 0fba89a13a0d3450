#include "ks/KsAudFilter.h"

#include <new>

#include "ks/KsTrace.h"

namespace {

unsigned LowHandleBits(HANDLE handle) {
  return static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(handle));
}

// Every pin of an audio filter's lists is an audio pin: EnumeratePins makes
// nothing else.
CKsAudPin* AudioPin(CKsList<CKsPin>::Node* pNode) {
  return static_cast<CKsAudPin*>(pNode->pData);
}

CKsAudPin* FirstAdmitting(const CKsList<CKsPin>& list, const WAVEFORMATEX* pwfx) {
  for (auto* pNode = list.m_pFirst; pNode && pwfx; pNode = pNode->pNext) {
    if (AudioPin(pNode)->IsFormatSupported(pwfx)) {
      return AudioPin(pNode);
    }
  }
  return nullptr;
}

}  // namespace

CKsAudFilter::CKsAudFilter(LPCSTR pszName, HRESULT& hr) : CKsFilter(pszName, &hr) {
  KsTraceEnter("CKsAudFilter::CKsAudFilter()");
  KsTraceLeaveResult("CKsAudFilter::CKsAudFilter", hr);
}

BOOL CKsAudFilter::LoopedFlag(int nInterface, const CKsAudPin* pPin) {
  if (nInterface == 1) {
    return FALSE;
  }
  if (nInterface == 2) {
    return TRUE;
  }
  if (nInterface == 3) {
    const PinDescriptor& d = pPin->m_Descriptor;
    for (ULONG i = 0; i < d.InterfacesCount; ++i) {
      if (IsEqualGUID(d.Interfaces[i].Set, KsGuid::InterfaceSetStandard) &&
          d.Interfaces[i].Id == KSINTERFACE_STANDARD_LOOPED_STREAMING) {
        return TRUE;
      }
    }
    return FALSE;
  }
  return pPin->m_ulInterfaceId != 0;
}

HRESULT CKsAudFilter::EnumeratePins() {
  KsTraceEnter("CKsAudFilter::EnumeratePins()");
  ULONG cPins = 0;
  if (FAILED(GetPinPropertySimple(0, KsGuid::PropSetPin, KSPROPERTY_PIN_CTYPES, &cPins,
                                  sizeof(cPins)))) {
    KsTrace(1, "Failed to retrieve count of pins in audio filter");
    cPins = 0;
  }
  for (ULONG nPinId = 0; nPinId < cPins; ++nPinId) {
    ULONG ulCommunication = 0;
    if (FAILED(GetPinPropertySimple(nPinId, KsGuid::PropSetPin, KSPROPERTY_PIN_COMMUNICATION,
                                    &ulCommunication, sizeof(ulCommunication)))) {
      KsTrace(1, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION");
      continue;
    }
    if (ulCommunication == KSPIN_COMMUNICATION_NONE) {
      continue;
    }
    if (ulCommunication > KSPIN_COMMUNICATION_BOTH) {
      KsTrace(1, "Pin communication value doesn't make sense");
      continue;
    }
    ULONG ulDataFlow = 0;
    if (FAILED(GetPinPropertySimple(nPinId, KsGuid::PropSetPin, KSPROPERTY_PIN_DATAFLOW,
                                    &ulDataFlow, sizeof(ulDataFlow)))) {
      KsTrace(1, "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW");
      continue;
    }

    const bool bSink = ulCommunication == KSPIN_COMMUNICATION_SINK ||
                       ulCommunication == KSPIN_COMMUNICATION_BOTH;
    HRESULT hrPin = S_OK;
    CKsAudPin* pPin;
    if (bSink && ulDataFlow == KSPIN_DATAFLOW_IN) {
      KsTrace(6, "new CKsAudRenPin()");
      pPin = new (std::nothrow) CKsAudRenPin(this, nPinId, hrPin);
    } else if (bSink && ulDataFlow == KSPIN_DATAFLOW_OUT) {
      KsTrace(6, "new CKsAudCapPin()");
      pPin = new (std::nothrow) CKsAudCapPin(this, nPinId, hrPin);
    } else {
      KsTrace(6, "new CKsAudPin()");
      pPin = new (std::nothrow) CKsAudPin(this, nPinId, hrPin);
    }
    if (!pPin) {
      KsTrace(1, "Failed to create audio pin");
      goto OutOfMemory;
    }
    if (FAILED(hrPin)) {
      delete pPin;
      continue;
    }
    KsTrace(6, "Adding pin to m_listPins ksPinCommunication=%u",
            static_cast<unsigned>(ulCommunication));
    if (!m_listPins.AddTail(pPin)) {
      delete pPin;
      KsTrace(1, "Unable to allocate list entry to save pin in");
      goto OutOfMemory;
    }
  }

  {
    ClassifyPins();
    HRESULT hr = S_OK;
    if (m_listRenderSinkPins.IsEmpty() && m_listRenderSourcePins.IsEmpty() &&
        m_listCaptureSinkPins.IsEmpty() && m_listCaptureSourcePins.IsEmpty()) {
      KsTrace(1, "No valid pins found on the filter");
      hr = E_FAIL;
    }
    KsTraceLeaveResult("CKsAudFilter::EnumeratePins", hr);
    return hr;
  }

OutOfMemory:
  KsTrace(1, "Ran out of memory enumerating pins - deleting all pins");
  m_listPins.DeleteAll();
  KsTraceLeaveResult("CKsAudFilter::EnumeratePins", E_OUTOFMEMORY);
  return E_OUTOFMEMORY;
}

CKsAudRenFilter::CKsAudRenFilter(LPCSTR pszName, HRESULT& hr) : CKsAudFilter(pszName, hr) {
  KsTraceEnter("CKsAudRenFilter::CKsAudRenFilter()");
  m_eType = eRender;
  KsTraceLeaveResult("CKsAudRenFilter::CKsAudRenFilter", hr);
}

CKsAudPin* CKsAudRenFilter::FindViablePin(const WAVEFORMATEX* pwfx) {
  KsTraceEnter("CKsAudRenFilter::FindViablePin()");
  CKsAudPin* pPin = FirstAdmitting(m_listRenderSinkPins, pwfx);
  KsTraceLeave("CKsAudRenFilter::FindViablePin()");
  return pPin;
}

BOOL CKsAudRenFilter::CanCreateRenderPin(const WAVEFORMATEX* pwfx) {
  KsTraceEnter("CKsAudRenFilter::CanCreateRenderPin()");
  HRESULT hr = S_OK;
  if (!FindViablePin(pwfx)) {
    KsTrace(4, "Could not find a Render pin that supports the given wave format");
    hr = E_FAIL;
  }
  KsTraceLeaveResult("CKsAudRenFilter::CanCreateRenderPin", hr);
  return SUCCEEDED(hr);
}

CKsAudPin* CKsAudRenFilter::CreateRenderPin(const WAVEFORMATEX* pwfx, int nInterface) {
  KsTraceEnter("CKsAudRenFilter::CreateRenderPin()");
  HRESULT hr = E_FAIL;
  CKsAudPin* pResult = nullptr;
  if (pwfx) {
    CKsAudPin* pViable = FindViablePin(pwfx);
    if (!pViable) {
      KsTrace(4, "Could not find a Render pin that supports the given wave format");
    } else if (FAILED(hr = pViable->SetFormat(pwfx))) {
      KsTrace(1, "Failed to set Render Pin format - the pin lied about its supported formats");
    } else if (SUCCEEDED(hr = pViable->Instantiate(LoopedFlag(nInterface, pViable)))) {
      KsTrace(5, "Successfully instantiated Render Pin.  Handle = 0x%08x",
              LowHandleBits(pViable->GetHandle()));
      pResult = pViable;
    } else {
      KsTrace(1, "Failed to instantiate Render Pin");
    }
    // Second chance, data ranges unconsidered: the driver decides.
    for (auto* pNode = m_listRenderSinkPins.m_pFirst; pNode && !pResult; pNode = pNode->pNext) {
      CKsAudPin* pPin = AudioPin(pNode);
      if (SUCCEEDED(hr = pPin->SetFormat(pwfx)) &&
          SUCCEEDED(hr = pPin->Instantiate(LoopedFlag(nInterface, pPin)))) {
        pResult = pPin;
      }
    }
  }
  KsTraceLeaveResult("CKsAudRenFilter::CreateRenderPin", hr);
  return pResult;
}

CKsAudCapFilter::CKsAudCapFilter(LPCSTR pszName, HRESULT& hr) : CKsAudFilter(pszName, hr) {
  KsTraceEnter("CKsAudCapFilter::CKsAudCapFilter()");
  m_eType = eCapture;
  KsTraceLeaveResult("CKsAudCapFilter::CKsAudCapFilter", hr);
}

CKsAudPin* CKsAudCapFilter::FindViablePin(const WAVEFORMATEX* pwfx) {
  KsTraceEnter("CKsAudCapFilter::FindViablePin()");
  CKsAudPin* pPin = FirstAdmitting(m_listCaptureSinkPins, pwfx);
  KsTraceLeave("CKsAudCapFilter::FindViablePin()");
  return pPin;
}

CKsAudPin* CKsAudCapFilter::CreateCapturePin(const WAVEFORMATEX* pwfx, int nInterface) {
  KsTraceEnter("CKsAudCapFilter::CreateCapturePin()");
  HRESULT hr = E_FAIL;
  CKsAudPin* pPin = pwfx ? FindViablePin(pwfx) : nullptr;
  if (!pPin) {
    if (pwfx) {
      KsTrace(1, "Could not find a Capture pin that supports the given wave format");
    }
  } else if (FAILED(hr = pPin->SetFormat(pwfx))) {
    KsTrace(1, "Failed to set Capture Pin format");
  } else if (FAILED(hr = pPin->Instantiate(LoopedFlag(nInterface, pPin)))) {
    KsTrace(1, "Failed to instantiate Capture Pin");
  } else {
    KsTrace(5, "Successfully instantiated Capture Pin.  Handle = 0x%08x",
            LowHandleBits(pPin->GetHandle()));
  }
  KsTraceLeaveResult("CKsAudCapFilter::CreateCapturePin", hr);
  return SUCCEEDED(hr) ? pPin : nullptr;
}

HRESULT CKsAudCapFilter::GetCapturePin(CKsAudPin** ppPin) {
  KsTraceEnter("CKsAudCapFilter::GetCapturePin()");
  HRESULT hr = S_OK;
  if (!ppPin) {
    hr = E_POINTER;
  } else if (m_listPins.IsEmpty()) {
    hr = E_FAIL;
  } else {
    *ppPin = AudioPin(m_listPins.m_pFirst);
  }
  KsTraceLeaveResult("CKsAudCapFilter::GetCapturePin", hr);
  return hr;
}
