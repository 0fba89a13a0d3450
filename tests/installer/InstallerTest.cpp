// The installer, run silently as an administrator runs it, in a Wine prefix
// of these tests' own (build/installer-test): what it installs and
// registers, what a host then finds, and what the uninstaller leaves. The
// cases share the prefix and run one at a time; each starts from a machine
// without the driver.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "resources/resource.h"
#include "tests/support/ConsoleProcess.h"
#include "tests/support/DriverDll.h"
#include "tests/support/DriverRegistration.h"
#include "tests/support/MessageBoxWatcher.h"
#include "tests/support/TestRegistry.h"

namespace {

const HKEY kMachine = HKEY_LOCAL_MACHINE;
const std::string kProgramFiles = "C:\\Program Files";
const std::string kInstallFolder = kProgramFiles + "\\Quorvex\\Vor OD ASIO";
const std::string kInstalledDll = kInstallFolder + "\\Quorvex-Vor-OD-ASIO-x64.dll";
const std::string kUninstaller = kInstallFolder + "\\Uninstall.exe";
const std::string kAppsKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvex Vor OD ASIO";
const std::string kOtherDriverKey = kAsioKey + "\\Other Test Driver";
const std::string kSettingsKey = "SOFTWARE\\Halvorn\\Quorvex Vor OD ASIO\\1.00";

const std::string kBufferSize288("\x20\x01\x00\x00", 4);

// The bytes of a REG_DWORD value; empty when there is none.
std::string RegistryDword(HKEY root, const std::string& path, const char* name) {
  auto values = ReadRegistryTree(root, path).values;
  auto value = values.find(name);
  return value != values.end() && value->second.first == REG_DWORD ? value->second.second : "";
}

std::string InstallerPath() {
  return TestProgramFolder() + "\\..\\Quorvex-Vor-OD-ASIO-Setup-" VOROD_VERSION_TEXT ".exe";
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

DWORD RunSilently(const std::string& program) {
  return RunConsoleProgram("\"" + program + "\" /S").exitCode;
}

// The uninstaller runs from a copy of itself in the temporary folder and
// returns at once: wait until its work shows.
bool UninstallAndWait() {
  if (RunSilently(kUninstaller) != 0) return false;
  for (int i = 0; i < 600; ++i) {
    if (!Exists(kInstallFolder) && !RegistryKeyPresent(kMachine, kAppsKey)) return true;
    Sleep(100);
  }
  return false;
}

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Exists(InstallerPath())) << InstallerPath();
    if (Exists(kUninstaller)) {
      ASSERT_TRUE(UninstallAndWait());
    }
    DeleteRegistryTree(kMachine, kOtherDriverKey);
    DeleteRegistryTree(HKEY_CURRENT_USER, kSettingsKey);
  }

  void ExpectNothingLeft() {
    EXPECT_FALSE(Exists(kInstallFolder));
    EXPECT_FALSE(Exists(kProgramFiles + "\\Quorvex"));
    EXPECT_FALSE(RegistryKeyPresent(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(RegistryKeyPresent(kMachine, kDriverKey));
    EXPECT_FALSE(RegistryKeyPresent(kMachine, kAppsKey));
  }

  // Another driver's key and the user's settings are as they were.
  void ExpectOthersKept() {
    EXPECT_EQ("Other", GetRegistryText(kMachine, kOtherDriverKey, "Description"));
    EXPECT_EQ(kBufferSize288, RegistryDword(HKEY_CURRENT_USER, kSettingsKey, "Buffer Size Preferred"));
  }

  void KeepOtherEntries() {
    SetRegistryText(kMachine, kOtherDriverKey, "Description", "Other");
    SetRegistryValue(HKEY_CURRENT_USER, kSettingsKey, "Buffer Size Preferred", REG_DWORD,
                     kBufferSize288);
  }
};

TEST_F(InstallerTest, SilentInstallRegistersTheDriverThatHostsFindByName) {
  ASSERT_EQ(0u, RunSilently(InstallerPath()));
  EXPECT_TRUE(Exists(kInstalledDll));
  ExpectRegisteredFrom(LowerCase(kInstalledDll));

  EXPECT_EQ("Quorvex Vor OD ASIO", GetRegistryText(kMachine, kAppsKey, "DisplayName"));
  EXPECT_EQ("Halvorn", GetRegistryText(kMachine, kAppsKey, "Publisher"));
  EXPECT_EQ(VOROD_VERSION_TEXT, GetRegistryText(kMachine, kAppsKey, "DisplayVersion"));
  EXPECT_EQ("\"" + kUninstaller + "\"", GetRegistryText(kMachine, kAppsKey, "UninstallString"));
  EXPECT_TRUE(Exists(kUninstaller));
  // Kilobytes of the installed files, as "Apps & features" shows them.
  const std::string size = RegistryDword(kMachine, kAppsKey, "EstimatedSize");
  ASSERT_EQ(4u, size.size());
  DWORD kilobytes = 0;
  memcpy(&kilobytes, size.data(), 4);
  EXPECT_GE(kilobytes, ReadFile(kInstalledDll).size() / 1024);

  // A host finds the driver by its name and opens it; this machine has no Vor OD.
  ConsoleRun run = RunConsoleProgram("\"" + AsioConsolePath() + "\" \"Quorvex Vor OD ASIO\"");
  EXPECT_NE(std::string::npos, run.out.find("Quorvex Vor OD hardware not found.")) << run.out
                                                                                  << run.err;
}

TEST_F(InstallerTest, SilentUninstallRemovesEverythingButOtherDriversAndSettings) {
  ASSERT_EQ(0u, RunSilently(InstallerPath()));
  KeepOtherEntries();
  ASSERT_TRUE(UninstallAndWait());
  ExpectNothingLeft();
  ExpectOthersKept();
}

// A second installation replaces the DLL; one uninstall then removes all.
TEST_F(InstallerTest, InstallingTwiceAndUninstallingOnceLeavesNothing) {
  ASSERT_EQ(0u, RunSilently(InstallerPath()));
  KeepOtherEntries();
  const std::string shipped = ReadFile(kInstalledDll);
  {
    std::ofstream changed(kInstalledDll, std::ios::binary | std::ios::app);
    changed << "changed";
  }
  ASSERT_EQ(0u, RunSilently(InstallerPath()));
  EXPECT_TRUE(shipped == ReadFile(kInstalledDll));
  ExpectRegisteredFrom(LowerCase(kInstalledDll));
  ASSERT_TRUE(UninstallAndWait());
  ExpectNothingLeft();
  ExpectOthersKept();
}

// A host holding the driver keeps it: the installation stops, says why, and
// changes nothing.
TEST_F(InstallerTest, DllInUseIsReportedAndLeftWhole) {
  ASSERT_EQ(0u, RunSilently(InstallerPath()));
  {
    std::ofstream changed(kInstalledDll, std::ios::binary | std::ios::app);
    changed << "changed";
  }
  const std::string inUse = ReadFile(kInstalledDll);
  HMODULE host = LoadLibraryA(kInstalledDll.c_str());
  ASSERT_NE(nullptr, host);
  EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), RunSilently(InstallerPath()));
  FreeLibrary(host);
  EXPECT_TRUE(inUse == ReadFile(kInstalledDll));
  ExpectRegisteredFrom(LowerCase(kInstalledDll));
}

// A registration that fails undoes the installation. The DLL reports its
// failure in a box of its own, which regsvr32 shows even when silent.
TEST_F(InstallerTest, FailedRegistrationLeavesNothingBehind) {
  // A volatile SOFTWARE\ASIO refuses the driver's (lasting) key.
  DeleteRegistryTree(kMachine, kAsioKey);
  HKEY asio = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(kMachine, kAsioKey.c_str(), 0, nullptr,
                                           REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &asio,
                                           nullptr));
  RegCloseKey(asio);
  MessageBoxWatcher box("Quorvex Vor OD ASIO Driver", MessageBoxWatcher::kAnyProcess, 30000);
  EXPECT_EQ(3u, RunSilently(InstallerPath()));
  EXPECT_TRUE(box.Wait());
  EXPECT_EQ("Quorvex Vor OD ASIO Register Server failed (-105)", box.Text());
  DeleteRegistryTree(kMachine, kAsioKey);
  ExpectNothingLeft();
}

}  // namespace
