// The fake driver as a COM in-process server: a class factory for
// kFakeAsioDriverClassId whose drivers follow the script in VOROD_FAKE_ASIO
// at the moment they are created.
#include <unknwn.h>
#include <windows.h>

#include <string>

#include "tests/support/FakeAsioDriver.h"

namespace {

std::atomic<long> g_locks{0};

FakeDriverScript ScriptFromEnvironment() {
  char text[1024] = {};
  const DWORD length = GetEnvironmentVariableA(kFakeScriptVariable, text, sizeof(text));
  return ParseFakeScript(length < sizeof(text) ? std::string(text, length) : std::string());
}

class CFakeFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    CFakeAsioDriver* driver = new CFakeAsioDriver(ScriptFromEnvironment());
    const HRESULT hr = driver->QueryInterface(riid, ppv);
    driver->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    g_locks += lock ? 1 : -1;
    return S_OK;
  }
};

CFakeFactory g_factory;

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(clsid, kFakeAsioDriverClassId)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return CFakeAsioDriver::LiveObjects() == 0 && g_locks == 0 ? S_OK : S_FALSE;
}
