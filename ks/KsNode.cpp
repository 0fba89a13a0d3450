#include "ks/KsNode.h"

#include "ks/KsTrace.h"

CKsNode::CKsNode(ULONG nId, REFGUID guidType, HRESULT* phr)
    : m_nId(nId), m_ulCpuResources(kCpuResourcesNone), m_guidType(guidType) {
  KsTraceEnter("CKsNode::CKsNode()");
  *phr = S_OK;
  KsTraceLeaveResult("CKsNode::CKsNode", S_OK);
}

CKsNode::CKsNode(CKsNode* pksnCopy, HRESULT* phr)
    : m_nId(0), m_ulCpuResources(kCpuResourcesNone), m_guidType(KsGuid::Null) {
  KsTraceEnter("CKsNode::CKsNode()");
  if (pksnCopy) {
    m_nId = pksnCopy->m_nId;
    m_ulCpuResources = pksnCopy->m_ulCpuResources;
    m_guidType = pksnCopy->m_guidType;
  }
  *phr = S_OK;
  KsTraceLeaveResult("CKsNode::CKsNode", S_OK);
}

GUID CKsNode::GetType() {
  KsTraceEnter("CKsNode::GetType()");
  KsTraceLeave("CKsNode::GetType()");
  return m_guidType;
}

ULONG CKsNode::GetId() {
  KsTraceEnter("CKsNode::GetId()");
  KsTraceLeave("CKsNode::GetId()");
  return m_nId;
}

ULONG CKsNode::GetCpuResources() {
  KsTraceEnter("CKsNode::GetCpuResources()");
  KsTraceLeave("CKsNode::GetCpuResources()");
  return m_ulCpuResources;
}
