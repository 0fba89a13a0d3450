#include "com/RegistryKeys.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

// Subkey names of a tree walk. Shared by the whole walk: registration runs on
// one thread and never walks two trees at once.
char s_szSubkeyName[360];

char* CopyName(const char* pszName) {
  size_t cb = strlen(pszName) + 1;
  char* pszCopy = new (std::nothrow) char[cb];
  if (pszCopy != nullptr) memcpy(pszCopy, pszName, cb);
  return pszCopy;
}

}  // namespace

bool ComposeKeyPath(char* pszPath, size_t cbPath, const char* pszFirst, const char* pszSecond,
                    const char* pszThird) {
  int cch = pszThird != nullptr
                ? snprintf(pszPath, cbPath, "%s\\%s\\%s", pszFirst, pszSecond, pszThird)
                : snprintf(pszPath, cbPath, "%s\\%s", pszFirst, pszSecond);
  return cch >= 0 && static_cast<size_t>(cch) < cbPath;
}

bool RegistryKeyExists(HKEY hRoot, const char* pszPath) {
  HKEY hKey = nullptr;
  if (RegOpenKeyA(hRoot, pszPath, &hKey) != ERROR_SUCCESS) return false;
  RegCloseKey(hKey);
  return true;
}

bool EnsureRegistryKey(HKEY hRoot, const char* pszParentPath, const char* pszName) {
  char szPath[kRegistryKeyPathBytes];
  if (!ComposeKeyPath(szPath, sizeof(szPath), pszParentPath, pszName)) return false;
  if (RegistryKeyExists(hRoot, szPath)) return true;

  HKEY hParent = nullptr;
  if (RegOpenKeyA(hRoot, pszParentPath, &hParent) != ERROR_SUCCESS) return false;
  HKEY hKey = nullptr;
  LONG lResult = RegCreateKeyA(hParent, pszName, &hKey);
  if (lResult == ERROR_SUCCESS) RegCloseKey(hKey);
  RegCloseKey(hParent);
  return lResult == ERROR_SUCCESS;
}

bool WriteRegistryText(HKEY hRoot, const char* pszPath, const char* pszValueName,
                       const char* pszText) {
  HKEY hKey = nullptr;
  if (RegOpenKeyA(hRoot, pszPath, &hKey) != ERROR_SUCCESS) return false;
  LONG lResult = RegSetValueExA(hKey, pszValueName, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(pszText),
                                static_cast<DWORD>(strlen(pszText) + 1));
  RegCloseKey(hKey);
  return lResult == ERROR_SUCCESS;
}

bool DeleteRegistryKeyTree(HKEY hRoot, const char* pszParentPath, const char* pszName) {
  HKEY hParent = nullptr;
  if (RegOpenKeyA(hRoot, pszParentPath, &hParent) != ERROR_SUCCESS) return true;

  // The whole list is built before anything is deleted, so that enumeration
  // indices stay valid; each handle stays open until its own key goes.
  RegistryKeyEntry head = {};
  char* pszCopy = CopyName(pszName);
  if (pszCopy != nullptr) CollectRegistryKeyTree(hParent, nullptr, 0, pszCopy, &head);

  RegistryKeyEntry* pEntry = head.m_pNext;
  while (pEntry != nullptr) {
    RegCloseKey(pEntry->m_hKey);
    RegDeleteKeyA(pEntry->m_hParentKey, pEntry->m_pszName);
    RegistryKeyEntry* pNext = pEntry->m_pNext;
    delete[] pEntry->m_pszName;
    delete pEntry;
    pEntry = pNext;
  }

  HKEY hLeft = nullptr;
  bool bGone = RegOpenKeyA(hParent, pszName, &hLeft) != ERROR_SUCCESS;
  if (!bGone) RegCloseKey(hLeft);
  RegCloseKey(hParent);
  return bGone;
}

RegistryKeyEntry* CollectRegistryKeyTree(HKEY hParentKey, HKEY hKey, DWORD dwIndex,
                                         char* pszName, RegistryKeyEntry* pTail) {
  if (hKey == nullptr &&
      RegOpenKeyExA(hParentKey, pszName, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) {
    delete[] pszName;
    return pTail;
  }
  // The entry exists before any child is listed: the children are deleted
  // through this key's handle, which must therefore stay open until then.
  RegistryKeyEntry* pEntry =
      new (std::nothrow) RegistryKeyEntry{hParentKey, hKey, pszName, nullptr};
  if (pEntry == nullptr) {
    RegCloseKey(hKey);
    delete[] pszName;
    return pTail;
  }

  for (;; ++dwIndex) {
    if (RegEnumKeyA(hKey, dwIndex, s_szSubkeyName, sizeof(s_szSubkeyName)) != ERROR_SUCCESS)
      break;
    char* pszChild = CopyName(s_szSubkeyName);
    if (pszChild != nullptr) pTail = CollectRegistryKeyTree(hKey, nullptr, 0, pszChild, pTail);
  }

  pTail->m_pNext = pEntry;
  return pEntry;
}
