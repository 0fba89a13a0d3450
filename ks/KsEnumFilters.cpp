#include "ks/KsEnumFilters.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "ks/KsAudFilter.h"
#include "ks/KsDeviceSeam.h"
#include "ks/KsTrace.h"

namespace {

const DWORD kDetailBytes = 528;
// A friendly name longer than this is not read (a broken value, not a name).
const DWORD kMaxFriendlyNameBytes = 64 * 1024;

// The interface key's "FriendlyName", cut at MAX_PATH - 1 characters; empty
// when the key or the value is missing.
void ReadFriendlyName(HDEVINFO hDevInfo, SP_DEVICE_INTERFACE_DATA* pInterface,
                      char (&szName)[MAX_PATH]) {
  memset(szName, 0, sizeof(szName));
  HKEY hKey = g_ksDeviceSeam.SetupDiOpenDeviceInterfaceRegKey(hDevInfo, pInterface, 0, KEY_READ);
  if (hKey == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
    return;
  }
  DWORD dwType = 0;
  DWORD cbName = sizeof(szName);
  LONG lResult = g_ksDeviceSeam.RegQueryValueExA(hKey, "FriendlyName", nullptr, &dwType,
                                                 reinterpret_cast<BYTE*>(szName), &cbName);
  if (lResult == ERROR_MORE_DATA && cbName <= kMaxFriendlyNameBytes) {
    // Longer than the buffer: read it whole and keep its beginning.
    char* pszLong = static_cast<char*>(calloc(1, cbName + 1));
    if (pszLong) {
      if (g_ksDeviceSeam.RegQueryValueExA(hKey, "FriendlyName", nullptr, &dwType,
                                          reinterpret_cast<BYTE*>(pszLong), &cbName) ==
          ERROR_SUCCESS) {
        strncpy(szName, pszLong, MAX_PATH - 1);
      }
      free(pszLong);
    }
  } else if (lResult != ERROR_SUCCESS) {
    memset(szName, 0, sizeof(szName));
  }
  szName[MAX_PATH - 1] = '\0';  // a value that fills the buffer has no zero of its own
  g_ksDeviceSeam.RegCloseKey(hKey);
}

CKsFilter* NewFilter(ULONG eFilterType, LPCSTR pszPath, HRESULT* phr) {
  switch (eFilterType) {
    case eUnknown: {
      CKsFilter* pFilter = new (std::nothrow) CKsFilter(pszPath, phr);
      KsTrace(3, "new CKsFilter(eUnknown)");
      return pFilter;
    }
    case eRender: {
      CKsFilter* pFilter = new (std::nothrow) CKsAudRenFilter(pszPath, *phr);
      KsTrace(3, "new CKsAudRenFilter()");
      return pFilter;
    }
    case eCapture: {
      CKsFilter* pFilter = new (std::nothrow) CKsAudCapFilter(pszPath, *phr);
      KsTrace(3, "new CKsAudCapFilter()");
      return pFilter;
    }
    default: {
      CKsFilter* pFilter = new (std::nothrow) CKsFilter(pszPath, phr);
      KsTrace(3, "new CKsFilter()");
      return pFilter;
    }
  }
}

}  // namespace

CKsEnumFilters::CKsEnumFilters(HRESULT* phr) {
  KsTraceEnter("CKsEnumFilters::CKsEnumFilters()");
  *phr = S_OK;
  KsTraceLeaveResult("CKsEnumFilters::CKsEnumFilters", S_OK);
}

CKsEnumFilters::~CKsEnumFilters() {
  KsTraceEnter("CKsEnumFilters::~CKsEnumFilters()");
  DestroyLists();
  KsTraceLeaveResult("CKsEnumFilters::~CKsEnumFilters", S_OK);
}

HRESULT CKsEnumFilters::DestroyLists() {
  KsTraceEnter("CKsEnumFilters::DestroyLists()");
  m_listFilters.DeleteAll();
  KsTraceLeaveResult("CKsEnumFilters::DestroyLists", S_OK);
  return S_OK;
}

HRESULT CKsEnumFilters::EnumFilters(ULONG eFilterType, const GUID* aguidCategories,
                                    ULONG cCategories, BOOL bEnumPins, BOOL bEnumNodes,
                                    BOOL bInstantiate) {
  KsTraceEnter("CKsEnumFilters::EnumFilters()");
  HRESULT hr = DestroyLists();
  HDEVINFO hDevInfo = INVALID_HANDLE_VALUE;

  if (SUCCEEDED(hr) && aguidCategories && cCategories &&
      !IsEqualGUID(aguidCategories[0], KsGuid::Null)) {
    hDevInfo = g_ksDeviceSeam.SetupDiGetClassDevsA(&aguidCategories[0], nullptr, nullptr,
                                                   DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (!CKsIrpTarget::IsValidHandle(hDevInfo)) {
      KsTrace(4, "No devices found");
      hr = E_FAIL;
    } else {
      SP_DEVICE_INTERFACE_DATA interfaceData;
      interfaceData.cbSize = sizeof(interfaceData);
      for (DWORD dwIndex = 0;
           g_ksDeviceSeam.SetupDiEnumDeviceInterfaces(hDevInfo, nullptr, &aguidCategories[0],
                                                      dwIndex, &interfaceData);
           ++dwIndex) {
        char szFriendlyName[MAX_PATH];
        ReadFriendlyName(hDevInfo, &interfaceData, szFriendlyName);

        PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail =
            static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(calloc(1, kDetailBytes + 1));
        if (!pDetail) {
          KsTrace(4, "Failed to allocate SP_DEVICE_INTERFACE_DETAIL_DATA structure");
          hr = E_OUTOFMEMORY;
          break;
        }
        pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA devInfoData;
        devInfoData.cbSize = sizeof(devInfoData);
        bool bTake = g_ksDeviceSeam.SetupDiGetDeviceInterfaceDetailA(
                         hDevInfo, &interfaceData, pDetail, kDetailBytes, nullptr,
                         &devInfoData) != FALSE;
        // The filter must be exposed, and not removed, under every further category.
        for (ULONG i = 1; bTake && i < cCategories; ++i) {
          SP_DEVICE_INTERFACE_DATA aliasData;
          aliasData.cbSize = sizeof(aliasData);
          if (!g_ksDeviceSeam.SetupDiGetDeviceInterfaceAlias(hDevInfo, &interfaceData,
                                                             &aguidCategories[i], &aliasData)) {
            KsTrace(5, "Failed to get requested DeviceInterfaceAlias");
            bTake = false;
          } else if (aliasData.Flags == 0 || (aliasData.Flags & SPINT_REMOVED)) {
            KsTrace(5, "DeviceInterfaceAlias disabled.");
            bTake = false;
          }
        }
        if (bTake) {
          // One zero byte lies behind the 528 bytes offered, so DevicePath is
          // always terminated.
          const char* pszPath = pDetail->DevicePath;
          KsTrace(3, "Found Device: %s", pszPath);
          HRESULT hrFilter = S_OK;
          CKsFilter* pFilter = NewFilter(eFilterType, pszPath, &hrFilter);
          if (!pFilter) {
            KsTrace(1, "Failed to create filter for %s", pszPath);
          } else {
            strncpy(pFilter->m_szFriendlyName, szFriendlyName, MAX_PATH - 1);
            pFilter->m_szFriendlyName[MAX_PATH - 1] = '\0';
            KsTrace(3, "Filter Friendly Name = %s", pFilter->m_szFriendlyName);
            if (SUCCEEDED(hrFilter) && (bInstantiate || bEnumNodes || bEnumPins)) {
              hrFilter = pFilter->Instantiate();
              if (bEnumNodes && SUCCEEDED(hrFilter)) {
                hrFilter = pFilter->EnumerateNodes();
              }
              if (bEnumPins && SUCCEEDED(hrFilter)) {
                hrFilter = pFilter->EnumeratePins();
              }
              // A filter whose driver left a request unanswered is not used.
              if (pFilter->m_bUnresponsive) {
                hrFilter = kHrKsRequestTimedOut;
              }
            }
            if (SUCCEEDED(hrFilter) && !m_listFilters.AddTail(pFilter)) {
              hrFilter = E_OUTOFMEMORY;
            }
            if (FAILED(hrFilter)) {
              delete pFilter;
              KsTrace(1, "Failed to create filter for %s", pszPath);
            }
          }
        }
        free(pDetail);
      }
    }
  } else if (SUCCEEDED(hr)) {
    hr = E_FAIL;
  }

  if (CKsIrpTarget::IsValidHandle(hDevInfo)) {
    g_ksDeviceSeam.SetupDiDestroyDeviceInfoList(hDevInfo);
  }
  if (SUCCEEDED(hr) && m_listFilters.IsEmpty()) {
    hr = E_FAIL;
  }
  KsTraceLeaveResult("CKsEnumFilters::EnumFilters", hr);
  return hr;
}
