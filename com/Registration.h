// Self-registration: the COM class entry under HKEY_CLASSES_ROOT\CLSID and
// the ASIO driver entry under HKEY_LOCAL_MACHINE\SOFTWARE\ASIO.
#ifndef VOROD_COM_REGISTRATION_H
#define VOROD_COM_REGISTRATION_H

#include <windows.h>

// Result codes of RegisterDriverClass and UnregisterDriverClass.
constexpr int kRegistrationOk = 0;
constexpr int kRegistrationNoModule = -101;          // library not loaded under its name
constexpr int kRegistrationNoModulePath = -102;      // module path empty or cut short
constexpr int kRegistrationNoClassIdText = -103;     // StringFromCLSID failed
constexpr int kRegistrationClassIdConversion = -104;  // class id text not convertible
constexpr int kRegistrationKeyNotCreated = -105;
constexpr int kRegistrationValueNotWritten = -106;
constexpr int kRegistrationKeyNotDeleted = -107;

// Bytes of the module path buffer, terminating zero included.
constexpr DWORD kRegistrationPathBytes = 360;

// Writes the class entry (unless it already names this library's path, in
// any letter case; then only a different threading model is rewritten) and
// rebuilds the ASIO driver entry.
int RegisterDriverClass(REFCLSID clsid, const char* pszLibraryName, const char* pszDriverKeyName,
                        const char* pszDescription, const char* pszThreadingModel);

// Removes the class entry, whatever path it names, and the ASIO driver entry;
// SOFTWARE\ASIO itself and other drivers' keys stay.
int UnregisterDriverClass(REFCLSID clsid, const char* pszLibraryName,
                          const char* pszDriverKeyName);

#endif  // VOROD_COM_REGISTRATION_H
