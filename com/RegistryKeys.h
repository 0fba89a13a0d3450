// Registry key helpers of the self-registration: creating a key under an
// existing parent, writing text values, and deleting a key with its subtree.
#ifndef VOROD_COM_REGISTRYKEYS_H
#define VOROD_COM_REGISTRYKEYS_H

#include <windows.h>

#include <cstddef>

// Room for any composed key path: a key name has at most 255 characters.
constexpr size_t kRegistryKeyPathBytes = 512;

// One key of a deletion list: deleted through its parent's handle after its
// own handle is closed.
struct RegistryKeyEntry {
  HKEY m_hParentKey;
  HKEY m_hKey;
  char* m_pszName;  // heap copy, owned by the entry
  RegistryKeyEntry* m_pNext;
};

// Joins two or three names with single backslashes ("%s\%s", "%s\%s\%s").
// False when the result does not fit; callers then treat the key as absent.
bool ComposeKeyPath(char* pszPath, size_t cbPath, const char* pszFirst, const char* pszSecond,
                    const char* pszThird = nullptr);

bool RegistryKeyExists(HKEY hRoot, const char* pszPath);

// Creates root\parent\name unless it exists; the parent must exist.
// True when the key exists afterwards.
bool EnsureRegistryKey(HKEY hRoot, const char* pszParentPath, const char* pszName);

// Writes a REG_SZ value, terminating zero included, to root\path.
bool WriteRegistryText(HKEY hRoot, const char* pszPath, const char* pszValueName,
                       const char* pszText);

// Deletes root\parent\name with all its subkeys. True when the key is absent
// afterwards, including when it was never there.
bool DeleteRegistryKeyTree(HKEY hRoot, const char* pszParentPath, const char* pszName);

// Appends parent\name and its whole subtree to the deletion list after pTail,
// every key after all of its descendants, and returns the new tail. Takes
// ownership of pszName (allocated with new[]). A key that does not open with
// full access is left out together with everything below it. With hKey given,
// that already open key is walked from subkey index dwIndex.
RegistryKeyEntry* CollectRegistryKeyTree(HKEY hParentKey, HKEY hKey, DWORD dwIndex,
                                         char* pszName, RegistryKeyEntry* pTail);

#endif  // VOROD_COM_REGISTRYKEYS_H
