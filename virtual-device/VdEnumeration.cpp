// The virtual device's enumeration: the SetupAPI calls that list its device
// interfaces by category, with their paths and aliases, and the interface
// keys with their "FriendlyName" values.
#include "virtual-device/VirtualDeviceImpl.h"

#include <stddef.h>
#include <string.h>

int CVirtualDevice::Impl::FilterOf(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData) const {
  if (!m_sets.count(hSet) || !pData || pData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      pData->Reserved == 0 || pData->Reserved > m_machine.filters.size()) {
    return -1;
  }
  return static_cast<int>(pData->Reserved - 1);
}

const VdInterface* CVirtualDevice::Impl::InterfaceOf(int iFilter, const GUID& guidCategory) const {
  for (const VdInterface& vdInterface : m_machine.filters[iFilter].interfaces) {
    if (IsEqualGUID(vdInterface.guidCategory, guidCategory)) {
      return &vdInterface;
    }
  }
  return nullptr;
}

HDEVINFO CVirtualDevice::Impl::GetClassDevs(const GUID* pguid, DWORD dwFlags) {
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::GetClassDevs;
  request.ulFlags = dwFlags;
  HANDLE hSet = INVALID_HANDLE_VALUE;
  if (!pguid || !(dwFlags & DIGCF_DEVICEINTERFACE)) {
    request.dwError = ERROR_INVALID_PARAMETER;
  } else {
    request.guidCategory = *pguid;
    hSet = NewIdentity();
    m_sets[hSet].guidCategory = *pguid;
  }
  request.hResult = hSet;
  Log(request);
  SetLastError(request.dwError);
  return hSet;
}

BOOL CVirtualDevice::Impl::EnumDeviceInterfaces(HDEVINFO hSet, PSP_DEVINFO_DATA pDevInfo,
                                                const GUID* pguid, DWORD dwIndex,
                                                PSP_DEVICE_INTERFACE_DATA pData) {
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::EnumDeviceInterfaces;
  request.handle = hSet;
  request.dwIndex = dwIndex;
  if (pguid) {
    request.guidCategory = *pguid;
  }
  if (!m_sets.count(hSet)) {
    request.dwError = ERROR_INVALID_HANDLE;
  } else if (!pguid || !pData || pDevInfo) {
    request.dwError = ERROR_INVALID_PARAMETER;
  } else if (pData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    request.dwError = ERROR_INVALID_USER_BUFFER;
  } else {
    request.dwError = ERROR_NO_MORE_ITEMS;
    DWORD dwSeen = 0;
    for (size_t i = 0; i < m_machine.filters.size(); ++i) {
      const VdInterface* pInterface = InterfaceOf(static_cast<int>(i), *pguid);
      if (!pInterface || (pInterface->dwFlags & SPINT_REMOVED)) {
        continue;
      }
      if (dwSeen++ == dwIndex) {
        pData->InterfaceClassGuid = *pguid;
        pData->Flags = pInterface->dwFlags;
        pData->Reserved = i + 1;
        request.iFilter = static_cast<int>(i);
        request.dwError = 0;
        break;
      }
    }
  }
  Log(request);
  SetLastError(request.dwError);
  return request.dwError == 0;
}

BOOL CVirtualDevice::Impl::GetInterfaceDetail(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData,
                                              PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail,
                                              DWORD cbDetail, PDWORD pcbRequired,
                                              PSP_DEVINFO_DATA pDevInfo) {
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::GetDeviceInterfaceDetail;
  request.handle = hSet;
  request.cbOutput = cbDetail;
  request.iFilter = FilterOf(hSet, pData);
  if (request.iFilter < 0) {
    request.dwError = m_sets.count(hSet) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
  } else {
    const std::string path =
        m_machine.filters[request.iFilter].DevicePath(pData->InterfaceClassGuid);
    const DWORD cbRequired = static_cast<DWORD>(
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    request.text = path;
    if (pcbRequired) {
      *pcbRequired = cbRequired;
    }
    if (pDetail && pDetail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      request.dwError = ERROR_INVALID_USER_BUFFER;
    } else if (pDevInfo && pDevInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
      request.dwError = ERROR_INVALID_USER_BUFFER;
    } else if (!pDetail || cbDetail < cbRequired) {
      request.dwError = ERROR_INSUFFICIENT_BUFFER;
    } else {
      memcpy(pDetail->DevicePath, path.c_str(), path.size() + 1);
      if (pDevInfo) {
        // The MEDIA setup class; DevInst names the filter.
        const GUID guidMedia = {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
        pDevInfo->ClassGuid = guidMedia;
        pDevInfo->DevInst = static_cast<DWORD>(request.iFilter + 1);
        pDevInfo->Reserved = 0;
      }
    }
  }
  Log(request);
  SetLastError(request.dwError);
  return request.dwError == 0;
}

BOOL CVirtualDevice::Impl::GetInterfaceAlias(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData,
                                             const GUID* pguidAlias,
                                             PSP_DEVICE_INTERFACE_DATA pAlias) {
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::GetDeviceInterfaceAlias;
  request.handle = hSet;
  request.iFilter = FilterOf(hSet, pData);
  if (pguidAlias) {
    request.guidCategory = *pguidAlias;
  }
  const VdInterface* pInterface =
      request.iFilter >= 0 && pguidAlias ? InterfaceOf(request.iFilter, *pguidAlias) : nullptr;
  if (request.iFilter < 0 || !pguidAlias || !pAlias) {
    request.dwError = m_sets.count(hSet) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
  } else if (pAlias->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    request.dwError = ERROR_INVALID_USER_BUFFER;
  } else if (!pInterface) {
    request.dwError = ERROR_NO_SUCH_DEVICE_INTERFACE;
  } else {
    pAlias->InterfaceClassGuid = *pguidAlias;
    pAlias->Flags = pInterface->dwFlags;
    pAlias->Reserved = pData->Reserved;
  }
  Log(request);
  SetLastError(request.dwError);
  return request.dwError == 0;
}

HKEY CVirtualDevice::Impl::OpenInterfaceKey(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData,
                                            DWORD dwReserved, REGSAM samDesired) {
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::OpenDeviceInterfaceRegKey;
  request.handle = hSet;
  request.ulFlags = samDesired;
  request.iFilter = FilterOf(hSet, pData);
  HKEY hKey = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
  if (request.iFilter < 0 || dwReserved != 0) {
    request.dwError = m_sets.count(hSet) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
  } else if (!m_machine.filters[request.iFilter].bHasRegistryKey) {
    request.dwError = ERROR_KEY_DOES_NOT_EXIST;
  } else {
    hKey = reinterpret_cast<HKEY>(NewIdentity());
    m_keys[hKey] = request.iFilter;
  }
  request.hResult = hKey;
  Log(request);
  SetLastError(request.dwError);
  return hKey;
}

BOOL CVirtualDevice::Impl::DestroyDeviceInfoList(HDEVINFO hSet) {
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::DestroyDeviceInfoList;
  request.handle = hSet;
  auto it = m_sets.find(hSet);
  if (it == m_sets.end()) {
    request.dwError = ERROR_INVALID_HANDLE;
  } else {
    m_sets.erase(it);
    CloseIdentity(hSet);
  }
  Log(request);
  SetLastError(request.dwError);
  return request.dwError == 0;
}

LONG CVirtualDevice::Impl::QueryValue(HKEY hKey, LPCSTR pszName, LPDWORD pdwReserved,
                                      LPDWORD pdwType, LPBYTE pbData, LPDWORD pcbData) {
  {
    Lock lock(this);
    auto it = m_keys.find(hKey);
    if (it != m_keys.end()) {
      VdRequest request;
      request.call = VdCall::RegQueryValue;
      request.handle = hKey;
      request.iFilter = it->second;
      request.text = pszName ? pszName : "";
      request.cbOutput = pcbData ? *pcbData : 0;
      const VdFilter& filter = m_machine.filters[it->second];
      LONG lError = ERROR_SUCCESS;
      if (pdwReserved || (pbData && !pcbData)) {
        lError = ERROR_INVALID_PARAMETER;
      } else if (!filter.bHasFriendlyName || !pszName || _stricmp(pszName, "FriendlyName") != 0) {
        lError = ERROR_FILE_NOT_FOUND;
      } else {
        const DWORD cbValue = static_cast<DWORD>(filter.friendlyName.size() +
                                                 (filter.bFriendlyNameUnterminated ? 0 : 1));
        if (pdwType) {
          *pdwType = REG_SZ;
        }
        if (pbData && *pcbData < cbValue) {
          lError = ERROR_MORE_DATA;
        } else if (pbData) {
          memcpy(pbData, filter.friendlyName.c_str(), cbValue);
        }
        if (pcbData) {
          *pcbData = cbValue;
        }
        request.cbReturned = cbValue;
      }
      request.dwError = static_cast<DWORD>(lError);
      Log(request);
      return lError;
    }
  }
  return m_saved.RegQueryValueExA(hKey, pszName, pdwReserved, pdwType, pbData, pcbData);
}

LONG CVirtualDevice::Impl::CloseKey(HKEY hKey) {
  {
    Lock lock(this);
    auto it = m_keys.find(hKey);
    if (it != m_keys.end()) {
      VdRequest request;
      request.call = VdCall::RegCloseKey;
      request.handle = hKey;
      request.iFilter = it->second;
      m_keys.erase(it);
      CloseIdentity(reinterpret_cast<HANDLE>(hKey));
      Log(request);
      return ERROR_SUCCESS;
    }
  }
  return m_saved.RegCloseKey(hKey);
}
