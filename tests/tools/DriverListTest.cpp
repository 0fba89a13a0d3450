// The installed drivers as hosts find them, read from redirected registry
// roots: names, classes, servers, and why an entry cannot be opened.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/support/DriverDll.h"
#include "tests/support/DriverRegistration.h"
#include "tests/support/FakeAsioDriver.h"
#include "tests/support/TestRegistry.h"
#include "tools/AsioConsole.h"
#include "tools/DriverList.h"

namespace {

const char kOtherClass[] = "{0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D}";
const char kUnregisteredClass[] = "{11111111-2222-4333-8444-555555555555}";

class DriverListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_registry.Ready());
    AddDriver("Fake", "Fake ASIO Driver", kFakeAsioDriverClassIdText);
    AddServer(kFakeAsioDriverClassIdText, m_dll);
    AddDriver("NoDescription", nullptr, kOtherClass);
    AddServer(kOtherClass, m_dll);
    AddDriver("Unregistered", "Unregistered Driver", kUnregisteredClass);
    AddDriver("Garbled", "Garbled Driver", "not a class id");
    AddDriver("NoClassId", "Driver Without Class", nullptr);
  }

  void AddDriver(const std::string& key, const char* description, const char* classId) {
    CreateRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\" + key);
    if (description != nullptr)
      SetRegistryText(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\" + key, "Description", description);
    if (classId != nullptr)
      SetRegistryText(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\" + key, "CLSID", classId);
  }

  void AddServer(const std::string& classId, const std::string& path) {
    const std::string key = "CLSID\\" + classId + "\\InprocServer32";
    SetRegistryText(HKEY_CLASSES_ROOT, key, nullptr, path);
    SetRegistryText(HKEY_CLASSES_ROOT, key, "ThreadingModel", "Apartment");
  }

  ScratchRegistry m_registry;
  const std::string m_dll = TestProgramFolder() + "\\FakeAsioDriver-x64.dll";
};

}  // namespace

TEST_F(DriverListTest, EntriesAreReadAsHostsReadThem) {
  InstalledDrivers installed = ReadInstalledDrivers();
  ASSERT_TRUE(installed.asioKeyPresent);
  ASSERT_EQ(5u, installed.drivers.size());

  const InstalledDriver* fake = FindInstalledDriver(installed, "fake asio DRIVER");
  ASSERT_NE(nullptr, fake);
  EXPECT_TRUE(fake->Openable()) << fake->problem;
  EXPECT_TRUE(IsEqualCLSID(kFakeAsioDriverClassId, fake->classId));
  EXPECT_EQ(m_dll, fake->serverPath);
  EXPECT_EQ("Apartment", fake->threadingModel);
  EXPECT_EQ(fake, FindInstalledDriver(installed, "fake"));  // the key name also selects it

  const InstalledDriver* bare = FindInstalledDriver(installed, "NoDescription");
  ASSERT_NE(nullptr, bare);
  EXPECT_EQ("NoDescription", bare->name);
  EXPECT_TRUE(bare->Openable());

  EXPECT_EQ(nullptr, FindInstalledDriver(installed, "Fake ASIO"));

  CLSID found = {};
  EXPECT_TRUE(FindClassOfDll(installed, LowerCase(m_dll), &found));
  EXPECT_TRUE(IsEqualCLSID(kFakeAsioDriverClassId, found));
  EXPECT_FALSE(FindClassOfDll(installed, TestProgramFolder() + "\\other.dll", &found));
}

TEST_F(DriverListTest, EntriesHostsCannotOpenSayWhy) {
  AddDriver("Gone", "Gone Driver", "{22222222-2222-4333-8444-555555555555}");
  AddServer("{22222222-2222-4333-8444-555555555555}", "C:\\nowhere\\gone.dll");
  InstalledDrivers installed = ReadInstalledDrivers();
  const struct {
    const char* name;
    const char* problem;
  } kCases[] = {
      {"Unregistered Driver", "its class is not registered (no HKEY_CLASSES_ROOT\\CLSID\\"},
      {"Garbled Driver", "its CLSID \"not a class id\" is not a class id"},
      {"Driver Without Class", "it has no CLSID value"},
      {"Gone Driver", "its DLL C:\\nowhere\\gone.dll does not exist"},
  };
  for (const auto& c : kCases) {
    const InstalledDriver* driver = FindInstalledDriver(installed, c.name);
    ASSERT_NE(nullptr, driver) << c.name;
    EXPECT_FALSE(driver->Openable());
    EXPECT_NE(std::string::npos, driver->problem.find(c.problem)) << driver->problem;
  }
}

TEST_F(DriverListTest, ListingShowsEveryEntryAndOpeningByNameExplainsFailures) {
  AddDriver("Long", "A Driver Name Of Forty Characters, Long!", kOtherClass);
  CConsoleText text;
  CAsioConsole console(text);
  const char* list[] = {"asio-console", "--list"};
  EXPECT_EQ(0, console.Run(2, list));
  const std::string& out = text.OutText();
  EXPECT_NE(std::string::npos,
            out.find("  Fake ASIO Driver\n      key:    Fake\n      class:  " +
                     std::string(kFakeAsioDriverClassIdText) + "\n      DLL:    " + m_dll +
                     ", threading model Apartment\n"))
      << out;
  EXPECT_NE(std::string::npos, out.find("  Garbled Driver\n      key:    Garbled\n      class:  "
                                        "not a class id\n      cannot be opened: its CLSID"));
  EXPECT_NE(std::string::npos, out.find("the name has 40 characters; hosts that keep names in 32 bytes"));
  EXPECT_NE(std::string::npos, out.find("6 drivers, 3 can be opened.\n"));

  const char* missing[] = {"asio-console", "--driver", "Nothing Like It"};
  EXPECT_EQ(2, console.Run(3, missing));
  const char* unregistered[] = {"asio-console", "Unregistered Driver"};
  EXPECT_EQ(2, console.Run(2, unregistered));
  EXPECT_NE(std::string::npos,
            text.ErrText().find("asio-console: no ASIO driver named \"Nothing Like It\" is "
                                "installed (installed: \"Fake ASIO Driver\", "))
      << text.ErrText();
  EXPECT_NE(std::string::npos,
            text.ErrText().find("asio-console: the driver \"Unregistered Driver\" cannot be "
                                "opened: its class is not registered"));
}

TEST(DriverListEmptyTest, NoAsioKeyMeansNoDrivers) {
  ScratchRegistry registry;
  ASSERT_TRUE(registry.Ready());
  EXPECT_FALSE(ReadInstalledDrivers().asioKeyPresent);
  CConsoleText text;
  CAsioConsole console(text);
  const char* list[] = {"asio-console", "-l"};
  EXPECT_EQ(0, console.Run(2, list));
  EXPECT_EQ("No ASIO drivers are installed: HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO does not exist.\n",
            text.OutText());
}
