#include "ks/KsDeviceSeam.h"

KsDeviceSeam KsWindowsDeviceSeam() {
  KsDeviceSeam seam;
  seam.CreateFileA = ::CreateFileA;
  seam.DeviceIoControl = ::DeviceIoControl;
  seam.CloseHandle = ::CloseHandle;
  seam.LoadLibraryA = ::LoadLibraryA;
  seam.GetProcAddress = ::GetProcAddress;
  seam.SetupDiGetClassDevsA = ::SetupDiGetClassDevsA;
  seam.SetupDiEnumDeviceInterfaces = ::SetupDiEnumDeviceInterfaces;
  seam.SetupDiGetDeviceInterfaceDetailA = ::SetupDiGetDeviceInterfaceDetailA;
  seam.SetupDiGetDeviceInterfaceAlias = ::SetupDiGetDeviceInterfaceAlias;
  seam.SetupDiOpenDeviceInterfaceRegKey = ::SetupDiOpenDeviceInterfaceRegKey;
  seam.SetupDiDestroyDeviceInfoList = ::SetupDiDestroyDeviceInfoList;
  seam.RegQueryValueExA = ::RegQueryValueExA;
  seam.RegCloseKey = ::RegCloseKey;
  return seam;
}

KsDeviceSeam g_ksDeviceSeam = KsWindowsDeviceSeam();

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
