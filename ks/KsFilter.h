// CKsFilter: one KS filter, named by its device-interface path. It opens the
// filter, reads its topology nodes, creates a CKsPin for every pin factory
// and files the pins by data flow and communication.
#ifndef VOROD_KS_KSFILTER_H
#define VOROD_KS_KSFILTER_H

#include "ks/KsIrpTarget.h"
#include "ks/KsList.h"
#include "ks/KsNode.h"

class CKsPin;

// Values of CKsFilter::m_eType.
enum KsFilterType : ULONG { eUnknown = 0, eRender = 1, eCapture = 2 };

class CKsFilter : public CKsIrpTarget {
 public:
  CKsFilter(LPCSTR pszName, HRESULT* phr);
  virtual ~CKsFilter();

  virtual HRESULT Instantiate();
  virtual HRESULT EnumerateNodes();
  virtual HRESULT EnumeratePins();
  virtual HRESULT DestroyLists();

  HRESULT InternalInit();
  HRESULT GetPinPropertySimple(ULONG nPinId, REFGUID guidPropertySet, ULONG nProperty,
                               PVOID pvValue, ULONG cbValue);
  // A KSMULTIPLE_ITEM reply for the pin: size query, then a fetch into a
  // zero-filled buffer (at least the 8-byte header) that the caller frees
  // with free(). pcbBuffer, if given, receives the bytes allocated.
  HRESULT GetPinPropertyMulti(ULONG nPinId, REFGUID guidPropertySet, ULONG nProperty,
                              PKSMULTIPLE_ITEM* ppBuffer, PULONG pcbBuffer = nullptr);
  HRESULT ClassifyPins();
  ULONG GetType();

  CKsList<CKsNode> m_listNodes;               // owned, in node-id order
  CKsList<CKsPin> m_listPins;                 // owned, in pin-id order
  CKsList<CKsPin> m_listRenderSinkPins;       // data flow in, sink (or both)
  CKsList<CKsPin> m_listCaptureSourcePins;    // data flow out, source (or both)
  CKsList<CKsPin> m_listCaptureSinkPins;      // data flow out, sink (or both)
  CKsList<CKsPin> m_listRenderSourcePins;     // data flow in, source (or both)
  CKsList<CKsPin> m_listNoCommPins;           // communication none
  ULONG m_eType;                              // a KsFilterType
  CHAR m_szFilterName[MAX_PATH];              // the device-interface path
  CHAR m_szFriendlyName[MAX_PATH];            // filled by the enumerator
};

#endif  // VOROD_KS_KSFILTER_H
