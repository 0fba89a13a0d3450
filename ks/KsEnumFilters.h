// CKsEnumFilters: finds the KS filters exposed under a set of device-interface
// categories, creates a filter object per interface (opened and enumerated
// as asked) and keeps the ones that succeed, in the order found. It owns them.
#ifndef VOROD_KS_KSENUMFILTERS_H
#define VOROD_KS_KSENUMFILTERS_H

#include "ks/KsFilter.h"

class CKsEnumFilters {
 public:
  explicit CKsEnumFilters(HRESULT* phr);
  virtual ~CKsEnumFilters();

  // eFilterType selects the class: eRender a CKsAudRenFilter, eCapture a
  // CKsAudCapFilter, anything else a CKsFilter. An interface is taken only if
  // it is also exposed, and not removed, under every further category.
  HRESULT EnumFilters(ULONG eFilterType, const GUID* aguidCategories, ULONG cCategories,
                      BOOL bEnumPins, BOOL bEnumNodes, BOOL bInstantiate);
  virtual HRESULT DestroyLists();

  CKsList<CKsFilter> m_listFilters;
};

#endif  // VOROD_KS_KSENUMFILTERS_H
