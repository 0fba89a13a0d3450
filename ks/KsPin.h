// CKsPin: one pin factory of a KS filter and, once instantiated, the pin
// instance created on it. It reads the pin's description at construction,
// holds the connect record (KSPIN_CONNECT and data format) that the audio pin
// classes build, moves the instance between KS states, resets it, and queues
// stream reads and writes on it.
#ifndef VOROD_KS_KSPIN_H
#define VOROD_KS_KSPIN_H

#include "ks/KsIrpTarget.h"

class CKsFilter;

// The description of a pin factory as its filter reports it. Interfaces,
// Mediums and DataRanges point into the three reply buffers, which the pin
// owns; a reply whose Count does not fit its bytes is not kept.
struct PinDescriptor {
  ULONG InterfacesCount;
  PKSPIN_INTERFACE Interfaces;
  ULONG MediumsCount;
  PKSPIN_MEDIUM Mediums;
  ULONG DataRangesCount;
  PKSDATARANGE DataRanges;
  ULONG DataFlow;
  ULONG Communication;
  KSPIN_CINSTANCES CInstances;
  KSPIN_CINSTANCES CInstancesGlobal;
  PKSMULTIPLE_ITEM pmiDataRanges;
  PKSMULTIPLE_ITEM pmiMediums;
  PKSMULTIPLE_ITEM pmiInterfaces;
  ULONG cbDataRanges;  // bytes of the data-range reply from DataRanges on
};

// Walks the data ranges of a pin description in order. Each range starts at
// the previous one plus its FormatSize rounded up to 8 bytes (KS aligns data
// ranges to 64 bits). The walk ends after DataRangesCount ranges, or early at
// a range whose FormatSize is smaller than a KSDATARANGE or runs past the end
// of the reply.
class CKsDataRangeWalk {
 public:
  explicit CKsDataRangeWalk(const PinDescriptor& descriptor);
  PKSDATARANGE Next();

 private:
  BYTE* m_pbNext;
  ULONG m_cbLeft;
  ULONG m_ulLeft;
};

class CKsPin : public CKsIrpTarget {
 public:
  CKsPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
  virtual ~CKsPin();

  virtual HRESULT Instantiate(BOOL bLooped);
  virtual HRESULT Reinstantiate();
  virtual HRESULT SetState(KSSTATE ksState);

  HRESULT Init();
  void ClosePin();
  HRESULT GetState(PKSSTATE pksState);
  HRESULT Reset();
  // Queue one stream request; completion signals the event of the caller's
  // OVERLAPPED. The real-time path: nothing is allocated and nothing waits.
  HRESULT WriteData(PKSSTREAM_HEADER pksStreamHeader, LPOVERLAPPED pOverlapped);
  HRESULT ReadData(PKSSTREAM_HEADER pksStreamHeader, LPOVERLAPPED pOverlapped);
  HRESULT SetFormat(PKSDATAFORMAT pksDataFormat);
  HRESULT SetPinConnect(PKSPIN_CONNECT pksPinConnect, ULONG cbKsPinConnect);
  HRESULT GetChannelConfig(PULONG pulChannelConfig);
  ULONG GetId();
  ULONG GetType();
  PinDescriptor* GetPinDescriptor();
  HRESULT GetDataFlow(PULONG pulDataFlow);
  HRESULT GetCommunication(PULONG pulCommunication);
  BOOL HasDataRangeWithSpecifier(REFGUID guidSpecifier);

  PKSPIN_CONNECT m_pksPinCreate;  // owned; KSPIN_CONNECT + data format
  ULONG m_cbPinCreate;
  ULONG m_nId;
  CKsFilter* m_pFilter;           // not owned; outlives the pin
  GUID m_guidCategory;
  PinDescriptor m_Descriptor;
  ULONG m_nType;                  // 0 plain, 1 render, 2 capture
  KSSTATE m_ksState;              // the last state SetState set
  WCHAR m_szName[MAX_PATH / 2];   // raw KSPROPERTY_PIN_NAME reply, 260 bytes
  BOOL m_bLooped;                 // the looped flag of the last Instantiate

 private:
  // Sends one stream request; 0 when it completed or is pending, else the
  // Windows error.
  DWORD SendStreamRequest(ULONG ulIoctl, PKSSTREAM_HEADER pksStreamHeader,
                          LPOVERLAPPED pOverlapped);
  HRESULT ReadMultipleItem(ULONG nProperty, ULONG cbItemMin, PKSMULTIPLE_ITEM* ppReply,
                           PULONG pulCount, PULONG pcbItems);
};

#endif  // VOROD_KS_KSPIN_H
