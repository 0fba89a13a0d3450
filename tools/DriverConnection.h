// One opened driver: the IASIO object and, when the host loaded the DLL by
// path, the module that serves it. The object is released before its DLL
// is unloaded.
#ifndef VOROD_TOOLS_DRIVERCONNECTION_H
#define VOROD_TOOLS_DRIVERCONNECTION_H

#include <windows.h>

#include <string>

#include "driver/AsioTypes.h"
#include "tools/DriverList.h"

// The Quorvex Vor OD driver's class, the default for a DLL given by path.
extern const CLSID kQuorvexVorOdClassId;
// The file the console opens when no driver is named: beside the program.
std::string DefaultDriverDllPath();

class CDriverConnection {
 public:
  CDriverConnection() = default;
  ~CDriverConnection() { Close(); }
  CDriverConnection(const CDriverConnection&) = delete;
  CDriverConnection& operator=(const CDriverConnection&) = delete;

  // As hosts do: CoCreateInstance of the registered class on this thread,
  // asking for the class id as the interface.
  bool OpenInstalled(const InstalledDriver& driver, std::string* error);
  // LoadLibrary, DllGetClassObject and IClassFactory::CreateInstance with
  // the class id as the interface.
  bool OpenDll(const std::string& path, REFCLSID classId, std::string* error);
  void Close();

  IASIO* Driver() const { return m_driver; }

 private:
  IASIO* m_driver = nullptr;
  HMODULE m_module = nullptr;
};

#endif  // VOROD_TOOLS_DRIVERCONNECTION_H
