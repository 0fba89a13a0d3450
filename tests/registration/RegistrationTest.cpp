// Self-registration through the library's exports, with HKEY_CLASSES_ROOT and
// HKEY_LOCAL_MACHINE of the test process redirected to scratch keys.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/DllCopy.h"
#include "tests/support/DriverDll.h"
#include "tests/support/DriverRegistration.h"
#include "tests/support/MessageBoxWatcher.h"
#include "tests/support/TestRegistry.h"

namespace {

using Names = std::vector<std::string>;

const HKEY kClasses = HKEY_CLASSES_ROOT;
const HKEY kMachine = HKEY_LOCAL_MACHINE;

std::string UpperCase(std::string text) {
  CharUpperA(&text[0]);
  return text;
}

std::string WholeRegistry() {
  return DumpRegistryTree(kClasses, "") + DumpRegistryTree(kMachine, "");
}

// Runs an export that must fail and returns the text of the box it showed.
std::string FailureText(DriverDll::PfnRegister exportFn) {
  MessageBoxWatcher watcher("Quorvex Vor OD ASIO Driver");
  EXPECT_EQ(static_cast<HRESULT>(-1), exportFn());
  EXPECT_TRUE(watcher.Wait()) << "no message box";
  return watcher.Text();
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_scratch.Ready());
    ASSERT_TRUE(m_dll.Loaded());
  }

  const std::string m_path = LowerCase(ProductionDllPath());
  ScratchRegistry m_scratch;
  DriverDll m_dll{ProductionDllPath()};
};

TEST_F(RegistrationTest, WritesClassEntryAndDriverEntryCreatingSoftwareAsio) {
  ASSERT_FALSE(RegistryKeyPresent(kMachine, kAsioKey));
  ASSERT_EQ(S_OK, m_dll.RegisterServer());
  ExpectRegisteredFrom(m_path);
}

TEST_F(RegistrationTest, RegisteringAgainKeepsClassEntryAndRebuildsDriverEntry) {
  ASSERT_EQ(S_OK, m_dll.RegisterServer());
  SetRegistryText(kClasses, kClassKey, "Added", "kept");
  CreateRegistryKey(kClasses, kClassKey + "\\Added");
  SetRegistryText(kMachine, kDriverKey, "Stale", "gone");
  CreateRegistryKey(kMachine, kDriverKey + "\\Stale\\Deeper");
  const std::string classEntry = DumpRegistryTree(kClasses, kClassKey);

  ASSERT_EQ(S_OK, m_dll.RegisterServer());
  EXPECT_EQ(classEntry, DumpRegistryTree(kClasses, kClassKey));
  EXPECT_EQ(Names({"CLSID", "Description"}), RegistryValueNames(kMachine, kDriverKey));
  EXPECT_EQ(Names{}, RegistrySubkeyNames(kMachine, kDriverKey));
}

// The class entry is left alone, but for its threading model, exactly when
// its InprocServer32 default value names this library; otherwise the whole
// entry is replaced.
TEST_F(RegistrationTest, ClassEntryIsKeptOnlyWhenItNamesThisLibrary) {
  struct Case {
    const char* what;
    bool hasValue;
    std::string data;
    bool kept;
  };
  const Case cases[] = {
      {"same path in upper case", true, UpperCase(m_path) + '\0', true},
      {"same path without terminating zero", true, m_path, true},
      {"another path", true, std::string("c:\\elsewhere\\quorvex-vor-od-asio-x64.dll") + '\0',
       false},
      {"no value", false, "", false},
      {"360 bytes without terminating zero", true, std::string(360, 'x'), false},
      {"longer than a path", true, m_path + std::string(400, 'x') + '\0', false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeleteRegistryTree(kClasses, kClassKey);
    SetRegistryText(kClasses, kClassKey, "Added", "kept");
    CreateRegistryKey(kClasses, kInprocKey + "\\Nested\\Deeper");
    CreateRegistryKey(kClasses, kClassKey + "\\ProgID\\A");
    CreateRegistryKey(kClasses, kClassKey + "\\ProgID\\B");
    if (c.hasValue) SetRegistryValue(kClasses, kInprocKey, nullptr, REG_SZ, c.data);
    SetRegistryText(kClasses, kInprocKey, "ThreadingModel", "Apartment");
    const std::string classEntry = DumpRegistryTree(kClasses, kClassKey);

    ASSERT_EQ(S_OK, m_dll.RegisterServer());
    if (c.kept) {
      // Mended: an upgrade in place rewrites the earlier threading model.
      EXPECT_EQ("Both", GetRegistryText(kClasses, kInprocKey, "ThreadingModel"));
      SetRegistryText(kClasses, kInprocKey, "ThreadingModel", "Apartment");
      EXPECT_EQ(classEntry, DumpRegistryTree(kClasses, kClassKey));
    } else {
      ExpectRegisteredFrom(m_path);
    }
  }
}

TEST_F(RegistrationTest, UnregisteringWithNothingRegisteredChangesNothing) {
  const std::string bare = WholeRegistry();
  EXPECT_EQ(S_OK, m_dll.UnregisterServer());
  EXPECT_EQ(bare, WholeRegistry());

  const std::string otherId = "{00000000-0000-0000-0000-000000000001}";
  SetRegistryText(kMachine, kAsioKey + "\\Other Driver", "CLSID", otherId);
  SetRegistryText(kClasses, "CLSID\\" + otherId, nullptr, "Other");
  const std::string others = WholeRegistry();
  EXPECT_EQ(S_OK, m_dll.UnregisterServer());
  EXPECT_EQ(others, WholeRegistry());
}

TEST_F(RegistrationTest, UnregisteringRemovesOnlyThisDriversEntries) {
  ASSERT_EQ(S_OK, m_dll.RegisterServer());
  // Whatever path the class entry names, it goes.
  SetRegistryText(kClasses, kInprocKey, nullptr, "c:\\elsewhere\\driver.dll");
  CreateRegistryKey(kMachine, kDriverKey + "\\Settings\\Deeper");
  CreateRegistryKey(kMachine, kDriverKey + "\\More");
  SetRegistryText(kMachine, kAsioKey + "\\Other Driver", "Description", "Other");
  CreateRegistryKey(kMachine, kAsioKey + "\\Other Driver\\Sub");
  const std::string otherDriver = DumpRegistryTree(kMachine, kAsioKey + "\\Other Driver");

  ASSERT_EQ(S_OK, m_dll.UnregisterServer());
  EXPECT_FALSE(RegistryKeyPresent(kClasses, kClassKey));
  EXPECT_EQ(Names{"Other Driver"}, RegistrySubkeyNames(kMachine, kAsioKey));
  EXPECT_EQ(otherDriver, DumpRegistryTree(kMachine, kAsioKey + "\\Other Driver"));
}

// A user without write access to either root must not be told that
// registration worked.
TEST_F(RegistrationTest, RefusedWritesAreReportedNotIgnored) {
  ASSERT_EQ(S_OK, m_dll.RegisterServer());
  {
    const std::string registered = WholeRegistry();
    ReadOnlyRegistryTree asio(kMachine, kAsioKey);
    ASSERT_TRUE(asio.Ready());
    EXPECT_EQ("Quorvex Vor OD ASIO Register Server failed (-106)",
              FailureText(m_dll.RegisterServer));
    EXPECT_EQ(registered, WholeRegistry());
    EXPECT_EQ("Quorvex Vor OD ASIO Unregister Server failed (-107)",
              FailureText(m_dll.UnregisterServer));
    EXPECT_TRUE(RegistryKeyPresent(kMachine, kDriverKey));
  }
  ASSERT_EQ(S_OK, m_dll.RegisterServer());
  {
    // Another path, so that the class entry must be rewritten.
    SetRegistryText(kClasses, kInprocKey, nullptr, "c:\\elsewhere\\driver.dll");
    ReadOnlyRegistryTree classEntry(kClasses, kClassKey);
    ASSERT_TRUE(classEntry.Ready());
    EXPECT_EQ("Quorvex Vor OD ASIO Register Server failed (-106)",
              FailureText(m_dll.RegisterServer));
    EXPECT_EQ("Quorvex Vor OD ASIO Unregister Server failed (-107)",
              FailureText(m_dll.UnregisterServer));
    EXPECT_EQ("c:\\elsewhere\\driver.dll", GetRegistryText(kClasses, kInprocKey, nullptr));
  }
  // Nothing to remove is still success, however locked the registry.
  ASSERT_EQ(S_OK, m_dll.UnregisterServer());
  ReadOnlyRegistryTree classes(kClasses, "CLSID"), software(kMachine, "SOFTWARE");
  ASSERT_TRUE(classes.Ready() && software.Ready());
  EXPECT_EQ(S_OK, m_dll.UnregisterServer());
}

// Parents that take no new (non-volatile) subkeys: key creation is refused.
TEST(RegistrationRefusedKeys, KeyThatCannotBeCreatedIsReported) {
  for (bool volatileClasses : {true, false}) {
    SCOPED_TRACE(volatileClasses ? "classes root" : "local machine");
    ScratchRegistry scratch(volatileClasses, !volatileClasses);
    ASSERT_TRUE(scratch.Ready());
    DriverDll dll(ProductionDllPath());
    EXPECT_EQ("Quorvex Vor OD ASIO Register Server failed (-105)", FailureText(dll.RegisterServer));
    EXPECT_FALSE(RegistryKeyPresent(kMachine, kDriverKey));
  }
}

TEST(RegistrationElsewhere, LibraryUnderAnotherNameShowsCode101AndTouchesNothing) {
  ScratchRegistry scratch;
  ASSERT_TRUE(scratch.Ready());
  SetRegistryText(kClasses, kInprocKey, nullptr, "c:\\drivers\\quorvex-vor-od-asio-x64.dll");
  SetRegistryText(kMachine, kDriverKey, "CLSID", ClassIdText());
  const std::string before = WholeRegistry();
  ASSERT_EQ(nullptr, GetModuleHandleA("Quorvex-Vor-OD-ASIO-x64"));
  DllCopy copy("Quorvex-Vor-OD-ASIO-x64-renamed.dll");
  ASSERT_TRUE(copy.Ready());
  DriverDll dll(copy.Path());
  ASSERT_TRUE(dll.Loaded());

  EXPECT_EQ("Quorvex Vor OD ASIO Register Server failed (-101)", FailureText(dll.RegisterServer));
  EXPECT_EQ("Quorvex Vor OD ASIO Unregister Server failed (-101)",
            FailureText(dll.UnregisterServer));
  EXPECT_EQ(before, WholeRegistry());
}

// The module path buffer holds 360 bytes: 359 characters and the zero fit; a
// longer path is refused rather than registered cut short.
TEST(RegistrationElsewhere, ModulePathMustFitItsBuffer) {
  for (size_t length : {359u, 360u}) {
    SCOPED_TRACE(length);
    ScratchRegistry scratch;
    ASSERT_TRUE(scratch.Ready());
    ASSERT_EQ(nullptr, GetModuleHandleA("Quorvex-Vor-OD-ASIO-x64"));
    DllCopy copy("Quorvex-Vor-OD-ASIO-x64.dll", length);
    ASSERT_TRUE(copy.Ready());
    std::wstring widePath(copy.Path().begin(), copy.Path().end());
    HMODULE module = LoadLibraryW(widePath.c_str());
    ASSERT_NE(nullptr, module);
    auto exportOf = [&](const char* name) {
      return reinterpret_cast<DriverDll::PfnRegister>(
          reinterpret_cast<void*>(GetProcAddress(module, name)));
    };
    const std::string bare = WholeRegistry();

    if (length == 359) {
      EXPECT_EQ(S_OK, exportOf("DllRegisterServer")());
      ExpectRegisteredFrom(LowerCase(copy.Path()));
      // Read back in full, the stored path is recognised as this library's.
      SetRegistryText(kClasses, kClassKey, "Added", "kept");
      const std::string classEntry = DumpRegistryTree(kClasses, kClassKey);
      EXPECT_EQ(S_OK, exportOf("DllRegisterServer")());
      EXPECT_EQ(classEntry, DumpRegistryTree(kClasses, kClassKey));
    } else {
      EXPECT_EQ("Quorvex Vor OD ASIO Register Server failed (-102)",
                FailureText(exportOf("DllRegisterServer")));
      EXPECT_EQ("Quorvex Vor OD ASIO Unregister Server failed (-102)",
                FailureText(exportOf("DllUnregisterServer")));
      EXPECT_EQ(bare, WholeRegistry());
    }
    FreeLibrary(module);
  }
}

}  // namespace
