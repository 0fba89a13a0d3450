// Shortens the KS client's bound on a request for as long as it lives: for
// tests that meet a device whose driver never answers.
#ifndef VOROD_TESTS_SUPPORT_KSIRPTARGETTESTACCESS_H
#define VOROD_TESTS_SUPPORT_KSIRPTARGETTESTACCESS_H

#include "ks/KsIrpTarget.h"

class CKsIrpTargetTestAccess {
 public:
  explicit CKsIrpTargetTestAccess(DWORD ms) : m_saved(CKsIrpTarget::s_dwRequestTimeoutMs) {
    CKsIrpTarget::s_dwRequestTimeoutMs = ms;
  }
  ~CKsIrpTargetTestAccess() { CKsIrpTarget::s_dwRequestTimeoutMs = m_saved; }
  CKsIrpTargetTestAccess(const CKsIrpTargetTestAccess&) = delete;
  CKsIrpTargetTestAccess& operator=(const CKsIrpTargetTestAccess&) = delete;

 private:
  DWORD m_saved;
};

#endif  // VOROD_TESTS_SUPPORT_KSIRPTARGETTESTACCESS_H
