// The console host finding and opening a driver through the Wine prefix's
// own registry, as hosts do: the fake driver's DLL (a copy in a folder of
// this test's own) registered under HKLM\SOFTWARE\ASIO and HKCR\CLSID.
// These tests hold the "wine-registry" lock and put both keys back as they
// found them.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/support/ConsoleProcess.h"
#include "tests/support/DriverDll.h"
#include "tests/support/FakeAsioDriver.h"
#include "tests/support/TestRegistry.h"

namespace {

const char kDriverKey[] = "SOFTWARE\\ASIO\\Fake Test Driver";

class RegisteredDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    m_folder = std::string(temp) + "vorod-registered-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(m_folder.c_str(), nullptr);
    m_dll = m_folder + "\\FakeAsioDriver-x64.dll";
    ASSERT_TRUE(CopyFileA((TestProgramFolder() + "\\FakeAsioDriver-x64.dll").c_str(), m_dll.c_str(),
                          FALSE));
    SetRegistryText(HKEY_LOCAL_MACHINE, kDriverKey, "CLSID", kFakeAsioDriverClassIdText);
    SetRegistryText(HKEY_LOCAL_MACHINE, kDriverKey, "Description", "Fake Test Driver");
    SetRegistryText(HKEY_CLASSES_ROOT, m_classKey + "\\InprocServer32", nullptr, m_dll);
    SetRegistryText(HKEY_CLASSES_ROOT, m_classKey + "\\InprocServer32", "ThreadingModel",
                    "Apartment");
  }

  void TearDown() override {
    SetEnvironmentVariableA(kFakeScriptVariable, nullptr);
    DeleteFileA(m_dll.c_str());
    RemoveDirectoryA(m_folder.c_str());
  }

  ConsoleRun Console(const std::string& arguments) {
    return RunConsoleProgram("\"" + AsioConsolePath() + "\" " + arguments);
  }

  const std::string m_classKey = std::string("CLSID\\") + kFakeAsioDriverClassIdText;
  RegistrySnapshot m_asio{HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO"};
  RegistrySnapshot m_class{HKEY_CLASSES_ROOT, m_classKey};
  std::string m_folder;
  std::string m_dll;
};

}  // namespace

TEST_F(RegisteredDriverTest, TheListingShowsTheDriverItsClassAndItsDll) {
  ConsoleRun run = Console("--list");
  EXPECT_EQ(0u, run.exitCode) << run.err;
  EXPECT_NE(
      std::string::npos,
      run.out.find("  Fake Test Driver\n      class:  " + std::string(kFakeAsioDriverClassIdText) +
                   "\n      DLL:    " + m_dll + ", threading model Apartment\n"))
      << run.out;
}

TEST_F(RegisteredDriverTest, ADriverOpenedByNameThroughComStreams) {
  SetEnvironmentVariableA(kFakeScriptVariable, "loopback=0>1@192");
  ConsoleRun run = Console("\"fake test driver\" --stream 1 --signal click -o 0 -i 0-1");
  EXPECT_EQ(0u, run.exitCode) << run.err;
  EXPECT_NE(std::string::npos,
            run.out.find("opened:        \"Fake Test Driver\" through "
                         "CoCreateInstance: class " +
                         std::string(kFakeAsioDriverClassIdText) + ", " + m_dll + "\n"))
      << run.out;
  EXPECT_NE(std::string::npos,
            run.out.find("round trip:    clicks on outputs 0 came back on input 1 after 192 "
                         "frames"));
}

// From a multithreaded apartment only a class registered as "Both" can be
// created, and the console says so.
TEST_F(RegisteredDriverTest, AMultithreadedHostNeedsThreadingModelBoth) {
  ConsoleRun run = Console("\"Fake Test Driver\" --apartment mta");
  EXPECT_NE(std::string::npos, run.err.find("needs ThreadingModel Both (it has \"Apartment\")"));
  SetRegistryText(HKEY_CLASSES_ROOT, m_classKey + "\\InprocServer32", "ThreadingModel", "Both");
  EXPECT_EQ(0u, Console("\"Fake Test Driver\" --apartment mta --stream 0.3").exitCode);
}

TEST_F(RegisteredDriverTest, ANameNotInstalledListsTheInstalledOnes) {
  ConsoleRun run = Console("--driver \"Fake Test\"");
  EXPECT_EQ(2u, run.exitCode);
  EXPECT_EQ("", run.out);
  EXPECT_EQ(0u, run.err.find("asio-console: no ASIO driver named \"Fake Test\" is installed "
                             "(installed: "))
      << run.err;
  EXPECT_NE(std::string::npos, run.err.find("\"Fake Test Driver\""));
}
