#include "ks/KsDeviceSeam.h"

namespace {

// Windows' functions behind the seam. Forwarders of our own, rather than the
// imported functions' addresses, so that the table is initialised statically:
// a stand-in installed while the library loads can then never be overwritten
// by a later dynamic initialiser.
HANDLE WINAPI WinCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flags, HANDLE templateFile) {
  return ::CreateFileA(name, access, share, sa, disposition, flags, templateFile);
}
BOOL WINAPI WinDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                               DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
  return ::DeviceIoControl(handle, code, in, inSize, out, outSize, returned, overlapped);
}
BOOL WINAPI WinCancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
  return ::CancelIoEx(handle, overlapped);
}
BOOL WINAPI WinCloseHandle(HANDLE handle) { return ::CloseHandle(handle); }
HMODULE WINAPI WinLoadLibraryA(LPCSTR name) { return ::LoadLibraryA(name); }
FARPROC WINAPI WinGetProcAddress(HMODULE module, LPCSTR name) {
  return ::GetProcAddress(module, name);
}
HDEVINFO WINAPI WinSetupDiGetClassDevsA(const GUID* category, PCSTR enumerator, HWND parent,
                                        DWORD flags) {
  return ::SetupDiGetClassDevsA(category, enumerator, parent, flags);
}
BOOL WINAPI WinSetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info,
                                           const GUID* category, DWORD index,
                                           PSP_DEVICE_INTERFACE_DATA data) {
  return ::SetupDiEnumDeviceInterfaces(set, info, category, index, data);
}
BOOL WINAPI WinSetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                DWORD size, PDWORD required,
                                                PSP_DEVINFO_DATA info) {
  return ::SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, info);
}
BOOL WINAPI WinSetupDiGetDeviceInterfaceAlias(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                              const GUID* category,
                                              PSP_DEVICE_INTERFACE_DATA alias) {
  return ::SetupDiGetDeviceInterfaceAlias(set, data, category, alias);
}
HKEY WINAPI WinSetupDiOpenDeviceInterfaceRegKey(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                DWORD reserved, REGSAM access) {
  return ::SetupDiOpenDeviceInterfaceRegKey(set, data, reserved, access);
}
BOOL WINAPI WinSetupDiDestroyDeviceInfoList(HDEVINFO set) {
  return ::SetupDiDestroyDeviceInfoList(set);
}
LONG WINAPI WinRegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD size) {
  return ::RegQueryValueExA(key, name, reserved, type, data, size);
}
LONG WINAPI WinRegCloseKey(HKEY key) { return ::RegCloseKey(key); }

constexpr KsDeviceSeam kWindowsDeviceSeam = {
    WinCreateFileA,
    WinDeviceIoControl,
    WinCancelIoEx,
    WinCloseHandle,
    WinLoadLibraryA,
    WinGetProcAddress,
    WinSetupDiGetClassDevsA,
    WinSetupDiEnumDeviceInterfaces,
    WinSetupDiGetDeviceInterfaceDetailA,
    WinSetupDiGetDeviceInterfaceAlias,
    WinSetupDiOpenDeviceInterfaceRegKey,
    WinSetupDiDestroyDeviceInfoList,
    WinRegQueryValueExA,
    WinRegCloseKey,
};

}  // namespace

KsDeviceSeam KsWindowsDeviceSeam() { return kWindowsDeviceSeam; }

KsDeviceSeam g_ksDeviceSeam = kWindowsDeviceSeam;

// Filled without a lock: pins are only instantiated on the control thread.
static HMODULE s_hKsUser = nullptr;
static PFN_KSCREATEPIN s_pfnKsCreatePin = nullptr;

PFN_KSCREATEPIN KsGetPinCreationEntryPoint() {
  if (s_pfnKsCreatePin) {
    return s_pfnKsCreatePin;
  }
  if (!s_hKsUser) {
    s_hKsUser = g_ksDeviceSeam.LoadLibraryA("ksuser.dll");
    if (!s_hKsUser) {
      return nullptr;
    }
  }
  FARPROC pfn = g_ksDeviceSeam.GetProcAddress(s_hKsUser, "KsCreatePin2");
  if (!pfn) {
    pfn = g_ksDeviceSeam.GetProcAddress(s_hKsUser, "KsCreatePin");
  }
  s_pfnKsCreatePin = reinterpret_cast<PFN_KSCREATEPIN>(reinterpret_cast<void*>(pfn));
  return s_pfnKsCreatePin;
}

void KsResetPinCreationEntryPoint() {
  s_hKsUser = nullptr;
  s_pfnKsCreatePin = nullptr;
}
