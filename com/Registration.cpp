// Self-registration and its exports.
#include "com/Registration.h"

#include <objbase.h>

#include <cstdio>
#include <cstring>

#include "com/ClassIds.h"
#include "com/RegistryKeys.h"

namespace {

const char kLibraryName[] = "Quorvex-Vor-OD-ASIO-x64";
const char kDriverKeyName[] = "Quorvex Vor OD ASIO Driver";
const char kDescription[] = "Quorvex Vor OD ASIO";
// The driver has no thread affinity: hosts call it from several threads, and
// one in a multithreaded apartment must get the object itself (IASIO has no
// proxy to marshal it with).
const char kThreadingModel[] = "Both";

const char kAsioParentPath[] = "SOFTWARE";
const char kAsioPath[] = "SOFTWARE\\ASIO";

constexpr int kClassIdTextBytes = 100;

// The lower-cased full path of the loaded library and the class id text.
int IdentifyLibrary(REFCLSID clsid, const char* pszLibraryName,
                    char (&szPath)[kRegistrationPathBytes], char (&szClassId)[kClassIdTextBytes]) {
  HMODULE hModule = GetModuleHandleA(pszLibraryName);
  if (hModule == nullptr) return kRegistrationNoModule;

  szPath[0] = '\0';
  DWORD cch = GetModuleFileNameA(hModule, szPath, kRegistrationPathBytes);
  // A path that fills the whole buffer has been cut short and may be unterminated.
  if (cch == 0 || cch >= kRegistrationPathBytes) return kRegistrationNoModulePath;
  CharLowerA(szPath);

  LPOLESTR pwszClassId = nullptr;
  if (FAILED(StringFromCLSID(clsid, &pwszClassId)) || pwszClassId == nullptr)
    return kRegistrationNoClassIdText;
  int cb = WideCharToMultiByte(CP_ACP, 0, pwszClassId, -1, szClassId, kClassIdTextBytes, nullptr,
                               nullptr);
  CoTaskMemFree(pwszClassId);
  return cb == 0 ? kRegistrationClassIdConversion : kRegistrationOk;
}

// Reads a value (the default one for a null name) of HKCR\<pszInprocPath>
// and lower-cases it. False when there is no value of at most the path
// buffer's size.
bool ReadRegisteredText(const char* pszInprocPath, const char* pszName,
                        char (&szValue)[kRegistrationPathBytes + 1]) {
  HKEY hKey = nullptr;
  if (RegOpenKeyA(HKEY_CLASSES_ROOT, pszInprocPath, &hKey) != ERROR_SUCCESS) return false;
  bool bRead = false;
  DWORD cb = 0;
  if (RegQueryValueExA(hKey, pszName, nullptr, nullptr, nullptr, &cb) == ERROR_SUCCESS &&
      cb <= kRegistrationPathBytes &&
      RegQueryValueExA(hKey, pszName, nullptr, nullptr, reinterpret_cast<BYTE*>(szValue), &cb) ==
          ERROR_SUCCESS &&
      cb <= kRegistrationPathBytes) {
    // The stored text need not carry its own terminating zero.
    szValue[cb] = '\0';
    CharLowerA(szValue);
    bRead = true;
  }
  RegCloseKey(hKey);
  return bRead;
}

HRESULT ReportFailure(const char* pszText) {
  MessageBoxA(nullptr, pszText, kDriverKeyName, MB_OK);
  return static_cast<HRESULT>(-1);
}

}  // namespace

int RegisterDriverClass(REFCLSID clsid, const char* pszLibraryName, const char* pszDriverKeyName,
                        const char* pszDescription, const char* pszThreadingModel) {
  char szPath[kRegistrationPathBytes];
  char szClassId[kClassIdTextBytes];
  int result = IdentifyLibrary(clsid, pszLibraryName, szPath, szClassId);
  if (result != kRegistrationOk) return result;

  char szClassPath[kRegistryKeyPathBytes];
  char szInprocPath[kRegistryKeyPathBytes];
  if (!ComposeKeyPath(szClassPath, sizeof(szClassPath), "CLSID", szClassId) ||
      !ComposeKeyPath(szInprocPath, sizeof(szInprocPath), "CLSID", szClassId, "InprocServer32"))
    return kRegistrationKeyNotCreated;

  // A class entry that already names this library is left as it is, but for
  // its threading model.
  bool bClassCurrent = false;
  if (RegistryKeyExists(HKEY_CLASSES_ROOT, szClassPath)) {
    char szRegistered[kRegistrationPathBytes + 1];
    bClassCurrent = ReadRegisteredText(szInprocPath, nullptr, szRegistered) &&
                    strcmp(szRegistered, szPath) == 0;
    if (!bClassCurrent) DeleteRegistryKeyTree(HKEY_CLASSES_ROOT, "CLSID", szClassId);
    // An upgrade in place: an earlier version's threading model goes.
    if (bClassCurrent &&
        (!ReadRegisteredText(szInprocPath, "ThreadingModel", szRegistered) ||
         _stricmp(szRegistered, pszThreadingModel) != 0) &&
        !WriteRegistryText(HKEY_CLASSES_ROOT, szInprocPath, "ThreadingModel", pszThreadingModel))
      return kRegistrationValueNotWritten;
  }
  if (!bClassCurrent) {
    if (!EnsureRegistryKey(HKEY_CLASSES_ROOT, "CLSID", szClassId))
      return kRegistrationKeyNotCreated;
    if (!WriteRegistryText(HKEY_CLASSES_ROOT, szClassPath, nullptr, pszDescription))
      return kRegistrationValueNotWritten;
    if (!EnsureRegistryKey(HKEY_CLASSES_ROOT, szClassPath, "InprocServer32"))
      return kRegistrationKeyNotCreated;
    if (!WriteRegistryText(HKEY_CLASSES_ROOT, szInprocPath, nullptr, szPath) ||
        !WriteRegistryText(HKEY_CLASSES_ROOT, szInprocPath, "ThreadingModel", pszThreadingModel))
      return kRegistrationValueNotWritten;
  }

  // The driver entry is always rebuilt, so that no value of an earlier
  // registration survives.
  if (!RegistryKeyExists(HKEY_LOCAL_MACHINE, kAsioPath)) {
    if (!EnsureRegistryKey(HKEY_LOCAL_MACHINE, kAsioParentPath, "ASIO"))
      return kRegistrationKeyNotCreated;
  } else {
    DeleteRegistryKeyTree(HKEY_LOCAL_MACHINE, kAsioPath, pszDriverKeyName);
  }
  if (!EnsureRegistryKey(HKEY_LOCAL_MACHINE, kAsioPath, pszDriverKeyName))
    return kRegistrationKeyNotCreated;
  char szDriverPath[kRegistryKeyPathBytes];
  if (!ComposeKeyPath(szDriverPath, sizeof(szDriverPath), kAsioPath, pszDriverKeyName) ||
      !WriteRegistryText(HKEY_LOCAL_MACHINE, szDriverPath, "CLSID", szClassId) ||
      !WriteRegistryText(HKEY_LOCAL_MACHINE, szDriverPath, "Description", pszDescription))
    return kRegistrationValueNotWritten;
  return kRegistrationOk;
}

int UnregisterDriverClass(REFCLSID clsid, const char* pszLibraryName,
                          const char* pszDriverKeyName) {
  char szPath[kRegistrationPathBytes];
  char szClassId[kClassIdTextBytes];
  int result = IdentifyLibrary(clsid, pszLibraryName, szPath, szClassId);
  if (result != kRegistrationOk) return result;

  // A key that was never there counts as removed.
  if (!DeleteRegistryKeyTree(HKEY_CLASSES_ROOT, "CLSID", szClassId))
    return kRegistrationKeyNotDeleted;
  if (!DeleteRegistryKeyTree(HKEY_LOCAL_MACHINE, kAsioPath, pszDriverKeyName))
    return kRegistrationKeyNotDeleted;
  return kRegistrationOk;
}

STDAPI DllRegisterServer() {
  int result = RegisterDriverClass(CLSID_QuorvexVorOdAsio, kLibraryName, kDriverKeyName,
                                   kDescription, kThreadingModel);
  if (result == kRegistrationOk) return S_OK;
  char szText[128] = {};
  snprintf(szText, sizeof(szText), "Quorvex Vor OD ASIO Register Server failed (%d)", result);
  return ReportFailure(szText);
}

STDAPI DllUnregisterServer() {
  int result = UnregisterDriverClass(CLSID_QuorvexVorOdAsio, kLibraryName, kDriverKeyName);
  if (result == kRegistrationOk) return S_OK;
  char szText[128] = {};
  snprintf(szText, sizeof(szText), "Quorvex Vor OD ASIO Unregister Server failed (%d)", result);
  return ReportFailure(szText);
}
