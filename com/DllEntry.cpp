// The library's COM entry points and its table of creatable classes.
#include <windows.h>
#include <objbase.h>

#include "com/ClassFactory.h"
#include "com/ClassIds.h"
#include "com/ModuleHandle.h"
#include "driver/AsioDriver.h"

const CLSID CLSID_QuorvexVorOdAsio = {
    0x35b2aaa7, 0xcd03, 0x421c, {0xb3, 0x25, 0x5d, 0x71, 0x84, 0xac, 0xc1, 0x76}};

HMODULE g_hModule = nullptr;

const ClassTemplate g_ClassTemplates[] = {
    {L"Quorvex Vor OD ASIO", &CLSID_QuorvexVorOdAsio, CAsioDriver::CreateInstance, nullptr},
};
const int g_cClassTemplates = sizeof(g_ClassTemplates) / sizeof(g_ClassTemplates[0]);

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
    return E_NOINTERFACE;
  if (ppv == nullptr) return E_POINTER;

  for (int i = 0; i < g_cClassTemplates; ++i) {
    if (!IsEqualCLSID(rclsid, *g_ClassTemplates[i].m_pClassId)) continue;
    CClassFactory* pFactory = new (std::nothrow) CClassFactory(&g_ClassTemplates[i]);
    *ppv = pFactory;
    if (pFactory == nullptr) return E_OUTOFMEMORY;
    pFactory->AddRef();
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

// Only live objects and server locks keep the library loaded; factories
// do not count.
STDAPI DllCanUnloadNow() {
  return (g_cServerLocks > 0 || g_cActiveObjects != 0) ? S_FALSE : S_OK;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD dwReason, LPVOID /*lpReserved*/) {
  switch (dwReason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(hModule);
      g_hModule = hModule;
      for (int i = 0; i < g_cClassTemplates; ++i)
        if (g_ClassTemplates[i].m_pfnInit != nullptr)
          g_ClassTemplates[i].m_pfnInit(TRUE, g_ClassTemplates[i].m_pClassId);
      break;
    case DLL_PROCESS_DETACH:
      for (int i = 0; i < g_cClassTemplates; ++i)
        if (g_ClassTemplates[i].m_pfnInit != nullptr)
          g_ClassTemplates[i].m_pfnInit(FALSE, g_ClassTemplates[i].m_pClassId);
      break;
    default:
      break;
  }
  return TRUE;
}
