// CKsNode: one topology node of a KS filter.
#ifndef VOROD_KS_KSNODE_H
#define VOROD_KS_KSNODE_H

#include "ks/KsDefinitions.h"

class CKsNode {
 public:
  CKsNode(ULONG nId, REFGUID guidType, HRESULT* phr);
  // A copy of another node; a null one gives id 0, no CPU resources and
  // GUID_NULL.
  CKsNode(CKsNode* pksnCopy, HRESULT* phr);

  GUID GetType();
  ULONG GetId();
  ULONG GetCpuResources();

  ULONG m_nId;               // the index in the filter's KSPROPERTY_TOPOLOGY_NODES reply
  ULONG m_ulCpuResources;    // "NONE" in little-endian order until set
  GUID m_guidType;

  static const ULONG kCpuResourcesNone = 0x454E4F4E;
};

#endif  // VOROD_KS_KSNODE_H
