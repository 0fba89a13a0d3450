// The ASIO drivers installed on this machine, read as hosts read them:
// every subkey of HKEY_LOCAL_MACHINE\SOFTWARE\ASIO with its CLSID and
// Description, and the class's InprocServer32 under HKEY_CLASSES_ROOT.
// A 64-bit build sees the 64-bit drivers, a 32-bit build the 32-bit ones:
// each host can load only drivers of its own kind.
#ifndef VOROD_TOOLS_DRIVERLIST_H
#define VOROD_TOOLS_DRIVERLIST_H

#include <windows.h>

#include <string>
#include <vector>

// Names this long or longer cannot be chosen by name in common hosts,
// which keep 32 bytes for them.
constexpr size_t kHostDriverNameLimit = 32;

struct InstalledDriver {
  std::string keyName;
  std::string name;         // the Description, else the key name
  std::string classIdText;  // as stored
  CLSID classId = {};
  std::string serverPath;  // InprocServer32's default value
  std::string threadingModel;
  // Why a host cannot create the driver; empty when it can.
  std::string problem;

  bool Openable() const { return problem.empty(); }
};

struct InstalledDrivers {
  bool asioKeyPresent = false;
  std::vector<InstalledDriver> drivers;  // in the registry's order
};

InstalledDrivers ReadInstalledDrivers();

// The entry whose name or key name is `name`, letter case ignored; null
// when there is none.
const InstalledDriver* FindInstalledDriver(const InstalledDrivers& installed,
                                           const std::string& name);

// The class registered for this DLL file by an installed driver entry.
bool FindClassOfDll(const InstalledDrivers& installed, const std::string& dllPath, CLSID* classId);

std::string ClassIdText(REFCLSID classId);

#endif  // VOROD_TOOLS_DRIVERLIST_H
