#include "tools/DriverConnection.h"

#include <objbase.h>

#include "tools/AsioNames.h"

// {35B2AAA7-CD03-421C-B325-5D7184ACC176}
const CLSID kQuorvexVorOdClassId = {
    0x35b2aaa7, 0xcd03, 0x421c, {0xb3, 0x25, 0x5d, 0x71, 0x84, 0xac, 0xc1, 0x76}};

std::string DefaultDriverDllPath() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length < MAX_PATH ? length : 0);
  folder = folder.substr(0, folder.find_last_of("\\/") + 1);
  return folder + "Quorvex-Vor-OD-ASIO-x64.dll";
}

bool CDriverConnection::OpenInstalled(const InstalledDriver& driver, std::string* error) {
  Close();
  if (!driver.Openable()) {
    *error = "the driver \"" + driver.name + "\" cannot be opened: " + driver.problem;
    return false;
  }
  void* object = nullptr;
  const HRESULT hr =
      CoCreateInstance(driver.classId, nullptr, CLSCTX_INPROC_SERVER, driver.classId, &object);
  if (FAILED(hr) || object == nullptr) {
    *error = "cannot create the driver \"" + driver.name + "\" (class " +
             ClassIdText(driver.classId) + ", " + driver.serverPath +
             "): CoCreateInstance failed with " + DescribeHresult(hr);
    APTTYPE apartment = APTTYPE_STA;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    const bool multithreaded = SUCCEEDED(CoGetApartmentType(&apartment, &qualifier)) &&
                               apartment == APTTYPE_MTA;
    if (hr == E_NOINTERFACE && multithreaded)
      *error += "; from a multithreaded apartment COM would have to marshal IASIO, which has no "
                "proxy: the class needs ThreadingModel Both (it has \"" +
                driver.threadingModel + "\")";
    else if (hr == E_NOINTERFACE)
      *error += "; the object does not answer for its class id, which hosts ask for";
    return false;
  }
  m_driver = static_cast<IASIO*>(object);
  return true;
}

bool CDriverConnection::OpenDll(const std::string& path, REFCLSID classId, std::string* error) {
  Close();
  // A relative path means a file here, not one found on the DLL search path.
  std::string file = path;
  char full[MAX_PATH * 2];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
  if (length > 0 && length < sizeof(full)) file.assign(full, length);
  if (GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
    *error = "cannot load the driver DLL " + file + ": " + DescribeWin32Error(GetLastError());
    return false;
  }
  m_module = LoadLibraryA(file.c_str());
  if (m_module == nullptr) {
    *error = "cannot load the driver DLL " + file + ": " + DescribeWin32Error(GetLastError());
    return false;
  }
  typedef HRESULT(STDAPICALLTYPE * PfnGetClassObject)(REFCLSID, REFIID, void**);
  PfnGetClassObject getClassObject = reinterpret_cast<PfnGetClassObject>(
      reinterpret_cast<void*>(GetProcAddress(m_module, "DllGetClassObject")));
  if (getClassObject == nullptr) {
    *error = file + " exports no DllGetClassObject: it is not a COM driver DLL";
    Close();
    return false;
  }
  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(classId, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr) || factory == nullptr) {
    *error = file + " does not serve the class " + ClassIdText(classId) +
             ": DllGetClassObject failed with " + DescribeHresult(hr) +
             " (name the driver's class with --clsid)";
    Close();
    return false;
  }
  void* object = nullptr;
  hr = factory->CreateInstance(nullptr, classId, &object);
  factory->Release();
  if (FAILED(hr) || object == nullptr) {
    *error = "cannot create the driver from " + file + ": CreateInstance failed with " +
             DescribeHresult(hr);
    Close();
    return false;
  }
  m_driver = static_cast<IASIO*>(object);
  return true;
}

void CDriverConnection::Close() {
  if (m_driver != nullptr) {
    m_driver->Release();
    m_driver = nullptr;
  }
  if (m_module != nullptr) {
    FreeLibrary(m_module);
    m_module = nullptr;
  }
}
