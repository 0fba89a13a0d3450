// Loads a built driver DLL the way a host does and creates driver objects
// through its exported class factory.
#ifndef VOROD_TESTS_SUPPORT_DRIVERDLL_H
#define VOROD_TESTS_SUPPORT_DRIVERDLL_H

#include <windows.h>
#include <unknwn.h>

#include <string>

#include "driver/AsioTypes.h"

// Folder of the running test program (the build's bin/ folder).
std::string TestProgramFolder();
// The production DLL beside the tests, and the virtual-device build's DLL.
std::string ProductionDllPath();
std::string VirtualDeviceDllPath();

class DriverDll {
 public:
  typedef HRESULT(STDAPICALLTYPE* PfnGetClassObject)(REFCLSID, REFIID, void**);
  typedef HRESULT(STDAPICALLTYPE* PfnCanUnloadNow)();
  typedef HRESULT(STDAPICALLTYPE* PfnRegister)();

  explicit DriverDll(const std::string& path);
  ~DriverDll();
  DriverDll(const DriverDll&) = delete;
  DriverDll& operator=(const DriverDll&) = delete;

  bool Loaded() const { return m_module != nullptr; }
  HMODULE Module() const { return m_module; }

  PfnGetClassObject GetClassObject = nullptr;
  PfnCanUnloadNow CanUnloadNow = nullptr;
  PfnRegister RegisterServer = nullptr;
  PfnRegister UnregisterServer = nullptr;

  // DllGetClassObject, CreateInstance with the class id as interface id.
  // Null on any failure.
  IASIO* CreateDriver();

 private:
  HMODULE m_module;
};

#endif  // VOROD_TESTS_SUPPORT_DRIVERDLL_H
