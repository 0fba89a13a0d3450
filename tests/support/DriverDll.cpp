#include "tests/support/DriverDll.h"

#include "com/ClassIds.h"

std::string TestProgramFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  size_t slash = folder.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
}

std::string ProductionDllPath() {
  return TestProgramFolder() + "\\Quorvex-Vor-OD-ASIO-x64.dll";
}

std::string VirtualDeviceDllPath() {
  return TestProgramFolder() + "\\..\\virtual-device-build\\Quorvex-Vor-OD-ASIO-x64.dll";
}

namespace {
template <typename T>
T Export(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
}  // namespace

DriverDll::DriverDll(const std::string& path) : m_module(LoadLibraryA(path.c_str())) {
  if (m_module == nullptr) return;
  GetClassObject = Export<PfnGetClassObject>(m_module, "DllGetClassObject");
  CanUnloadNow = Export<PfnCanUnloadNow>(m_module, "DllCanUnloadNow");
  RegisterServer = Export<PfnRegister>(m_module, "DllRegisterServer");
  UnregisterServer = Export<PfnRegister>(m_module, "DllUnregisterServer");
}

DriverDll::~DriverDll() {
  if (m_module != nullptr) FreeLibrary(m_module);
}

IASIO* DriverDll::CreateDriver() {
  if (GetClassObject == nullptr) return nullptr;
  IClassFactory* factory = nullptr;
  if (FAILED(GetClassObject(CLSID_QuorvexVorOdAsio, IID_IClassFactory,
                            reinterpret_cast<void**>(&factory))))
    return nullptr;
  IASIO* driver = nullptr;
  HRESULT hr = factory->CreateInstance(nullptr, CLSID_QuorvexVorOdAsio,
                                       reinterpret_cast<void**>(&driver));
  factory->Release();
  return SUCCEEDED(hr) ? driver : nullptr;
}
