// The device seam: the only OS entry points through which the KS client
// reaches the audio class driver.
//
// A plain table of function pointers with the Win32 signatures, filled with
// Windows' own functions. The KS code calls g_ksDeviceSeam.CreateFileA(...)
// and so on exactly as it would call the functions themselves; a stand-in
// (the virtual device of the tests) may replace the entries. Events, waits and
// threads are not part of the seam: they call Windows directly.
#ifndef VOROD_KS_KSDEVICESEAM_H
#define VOROD_KS_KSDEVICESEAM_H

#include <windows.h>
#include <setupapi.h>

#include "ks/KsDefinitions.h"

struct KsDeviceSeam {
  // Filter open, device I/O control (properties, stream I/O, reset), the
  // cancellation of a request that does not complete, and the close of every
  // kernel handle the KS client owns.
  HANDLE(WINAPI* CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* DeviceIoControl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* CancelIoEx)(HANDLE, LPOVERLAPPED);
  BOOL(WINAPI* CloseHandle)(HANDLE);

  // "ksuser.dll" and the lookup of its pin-creation entry point.
  HMODULE(WINAPI* LoadLibraryA)(LPCSTR);
  FARPROC(WINAPI* GetProcAddress)(HMODULE, LPCSTR);

  // Device-interface enumeration.
  HDEVINFO(WINAPI* SetupDiGetClassDevsA)(const GUID*, PCSTR, HWND, DWORD);
  BOOL(WINAPI* SetupDiEnumDeviceInterfaces)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                            PSP_DEVICE_INTERFACE_DATA);
  BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailA)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD,
                                                 PDWORD, PSP_DEVINFO_DATA);
  BOOL(WINAPI* SetupDiGetDeviceInterfaceAlias)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, const GUID*,
                                               PSP_DEVICE_INTERFACE_DATA);
  HKEY(WINAPI* SetupDiOpenDeviceInterfaceRegKey)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, DWORD,
                                                 REGSAM);
  BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO);

  // Reads of a device-interface key that SetupDiOpenDeviceInterfaceRegKey opened.
  LONG(WINAPI* RegQueryValueExA)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
  LONG(WINAPI* RegCloseKey)(HKEY);
};

// Filled with Windows' functions at start-up.
extern KsDeviceSeam g_ksDeviceSeam;

// The table as Windows' own functions fill it (for a stand-in to restore).
KsDeviceSeam KsWindowsDeviceSeam();

// The pin-creation entry point: "KsCreatePin2" of "ksuser.dll", else
// "KsCreatePin". Looked up through the seam on first need and cached for the
// process (the library stays loaded); while it is missing every call tries
// again. Null when neither exists.
PFN_KSCREATEPIN KsGetPinCreationEntryPoint();

// Forgets the cached module and entry point, so that the next pin creation
// looks them up again through the seam (used when the seam's entries change).
void KsResetPinCreationEntryPoint();

#endif  // VOROD_KS_KSDEVICESEAM_H
