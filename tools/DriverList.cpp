#include "tools/DriverList.h"

#include <objbase.h>

namespace {

const char kAsioKey[] = "SOFTWARE\\ASIO";

// Owns one open registry key.
class CRegistryKey {
 public:
  CRegistryKey(HKEY parent, const std::string& path) {
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &m_key) != ERROR_SUCCESS) m_key = nullptr;
  }
  ~CRegistryKey() {
    if (m_key != nullptr) RegCloseKey(m_key);
  }
  CRegistryKey(const CRegistryKey&) = delete;
  CRegistryKey& operator=(const CRegistryKey&) = delete;

  bool IsOpen() const { return m_key != nullptr; }
  HKEY Get() const { return m_key; }

  // A string value (REG_SZ, or REG_EXPAND_SZ expanded); false when absent,
  // of another type or unreasonably long. Values stored without their zero
  // are terminated here.
  bool ReadText(const char* name, std::string* text) const {
    if (m_key == nullptr) return false;
    char buffer[2048];
    DWORD type = 0, bytes = sizeof(buffer) - 1;
    if (RegQueryValueExA(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
      return false;
    buffer[bytes] = '\0';
    *text = buffer;
    if (type == REG_EXPAND_SZ) {
      char expanded[2048];
      const DWORD length = ExpandEnvironmentStringsA(buffer, expanded, sizeof(expanded));
      if (length > 0 && length <= sizeof(expanded)) *text = expanded;
    }
    return true;
  }

 private:
  HKEY m_key = nullptr;
};

std::string FullPath(const std::string& path) {
  char full[MAX_PATH * 2];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
  return length > 0 && length < sizeof(full) ? std::string(full, length) : path;
}

InstalledDriver ReadDriver(HKEY asioKey, const std::string& keyName) {
  InstalledDriver driver;
  driver.keyName = keyName;
  driver.name = keyName;
  CRegistryKey key(asioKey, keyName);
  std::string description;
  if (key.ReadText("Description", &description) && !description.empty()) driver.name = description;

  if (!key.ReadText("CLSID", &driver.classIdText)) {
    driver.problem = "it has no CLSID value";
    return driver;
  }
  wchar_t wide[128] = {};
  if (driver.classIdText.size() >= 128 ||
      MultiByteToWideChar(CP_ACP, 0, driver.classIdText.c_str(), -1, wide, 128) == 0 ||
      FAILED(CLSIDFromString(wide, &driver.classId))) {
    driver.problem = "its CLSID \"" + driver.classIdText + "\" is not a class id";
    return driver;
  }
  const std::string serverKey = "CLSID\\" + ClassIdText(driver.classId) + "\\InprocServer32";
  CRegistryKey server(HKEY_CLASSES_ROOT, serverKey);
  if (!server.IsOpen()) {
    driver.problem = "its class is not registered (no HKEY_CLASSES_ROOT\\" + serverKey + ")";
    return driver;
  }
  server.ReadText(nullptr, &driver.serverPath);
  server.ReadText("ThreadingModel", &driver.threadingModel);
  if (driver.serverPath.empty()) {
    driver.problem = "its InprocServer32 names no DLL";
  } else if (driver.serverPath.find_first_of("\\/") != std::string::npos &&
             GetFileAttributesA(driver.serverPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    driver.problem = "its DLL " + driver.serverPath + " does not exist";
  }
  return driver;
}

}  // namespace

std::string ClassIdText(REFCLSID classId) {
  wchar_t wide[64] = {};
  char text[64] = {};
  StringFromGUID2(classId, wide, 64);
  WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof(text), nullptr, nullptr);
  return text;
}

InstalledDrivers ReadInstalledDrivers() {
  InstalledDrivers installed;
  CRegistryKey asio(HKEY_LOCAL_MACHINE, kAsioKey);
  installed.asioKeyPresent = asio.IsOpen();
  if (!asio.IsOpen()) return installed;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof(name);
    const LONG status =
        RegEnumKeyExA(asio.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) continue;
    installed.drivers.push_back(ReadDriver(asio.Get(), std::string(name, length)));
  }
  return installed;
}

const InstalledDriver* FindInstalledDriver(const InstalledDrivers& installed,
                                           const std::string& name) {
  for (const InstalledDriver& driver : installed.drivers)
    if (_stricmp(driver.name.c_str(), name.c_str()) == 0) return &driver;
  for (const InstalledDriver& driver : installed.drivers)
    if (_stricmp(driver.keyName.c_str(), name.c_str()) == 0) return &driver;
  return nullptr;
}

bool FindClassOfDll(const InstalledDrivers& installed, const std::string& dllPath, CLSID* classId) {
  const std::string wanted = FullPath(dllPath);
  for (const InstalledDriver& driver : installed.drivers) {
    if (driver.serverPath.empty() ||
        _stricmp(FullPath(driver.serverPath).c_str(), wanted.c_str()) != 0)
      continue;
    *classId = driver.classId;
    return true;
  }
  return false;
}
