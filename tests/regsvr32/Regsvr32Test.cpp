// The prefix's own regsvr32 registers and unregisters the DLL in the real
// registry of the Wine prefix; a host then finds the driver there and creates
// it through COM. These tests hold the "wine-registry" lock and put the keys
// they touch back as they found them.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "com/ClassIds.h"
#include "driver/AsioTypes.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DllCopy.h"
#include "tests/support/DriverDll.h"
#include "tests/support/DriverRegistration.h"
#include "tests/support/FakeHost.h"
#include "tests/support/MessageBoxWatcher.h"
#include "tests/support/TestRegistry.h"

namespace {

const HKEY kClasses = HKEY_CLASSES_ROOT;
const HKEY kMachine = HKEY_LOCAL_MACHINE;

// Starts regsvr32 with the given arguments and the DLL path.
PROCESS_INFORMATION StartRegsvr32(const std::string& arguments, const std::string& dllPath) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  StartChildProcess("regsvr32.exe " + arguments + " \"" + dllPath + "\"", startup, &process);
  return process;
}

// Its exit code, with a start Wine failed retried.
DWORD RunRegsvr32(const std::string& arguments, const std::string& dllPath) {
  return RetryFailedStart([&] {
    PROCESS_INFORMATION process = StartRegsvr32(arguments, dllPath);
    return FinishChildProcess(&process);
  });
}

// Runs `body` on a thread of its own with COM initialised in the apartment
// given, and waits for it.
template <typename Fn>
void OnComThread(DWORD apartment, Fn&& body) {
  std::pair<DWORD, Fn*> call(apartment, &body);
  auto run = [](void* param) -> DWORD {
    auto* c = static_cast<std::pair<DWORD, Fn*>*>(param);
    const HRESULT hr = CoInitializeEx(nullptr, c->first);
    (*c->second)();
    if (SUCCEEDED(hr)) CoUninitialize();
    return 0;
  };
  HANDLE thread = CreateThread(nullptr, 0, run, &call, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

// What a host sees when it creates the registered driver on a thread of its
// own.
struct HostRun {
  HRESULT created = E_FAIL;
  std::string modulePath;
  std::string driverName;
  ASIOBool initialised = ASIOTrue;
  std::string errorMessage;
  // With a device: a short run through the driver.
  bool stream = false;
  ASIOError buffers = ASE_NotPresent;
  ASIOError started = ASE_NotPresent;
  int switches = 0;
};

void CreateLikeAHost(HostRun* run) {
  IASIO* driver = nullptr;
  run->created = CoCreateInstance(CLSID_QuorvexVorOdAsio, nullptr, CLSCTX_INPROC_SERVER,
                                  CLSID_QuorvexVorOdAsio, reinterpret_cast<void**>(&driver));
  if (SUCCEEDED(run->created) && driver != nullptr) {
    char text[1024] = {};
    GetModuleFileNameA(GetModuleHandleA("Quorvex-Vor-OD-ASIO-x64"), text, sizeof(text));
    run->modulePath = LowerCase(text);
    driver->getDriverName(text);
    run->driverName = text;
    run->initialised = driver->init(nullptr);
    driver->getErrorMessage(text);
    run->errorMessage = text;
    if (run->stream && run->initialised) {
      FakeHost host;
      ASIOBufferInfo infos[] = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}},
                                {ASIOFalse, 1, {}}};
      run->buffers = driver->createBuffers(infos, 4, 288, host.Callbacks());
      if (run->buffers == ASE_OK) run->started = driver->start();
      const DWORD begin = GetTickCount();
      while (run->started == ASE_OK && host.switches < 50 && GetTickCount() - begin < 30000)
        Sleep(10);
      driver->stop();
      run->switches = host.switches;
      driver->disposeBuffers();
    }
    driver->Release();
  }
}

HostRun CreateDriverLikeAHost(bool stream = false, DWORD apartment = COINIT_APARTMENTTHREADED) {
  HostRun run;
  run.stream = stream;
  OnComThread(apartment, [&] { CreateLikeAHost(&run); });
  return run;
}

class Regsvr32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteRegistryTree(kClasses, kClassKey);
    DeleteRegistryTree(kMachine, kDriverKey);
  }

  const std::string m_dllPath = ProductionDllPath();
  RegistrySnapshot m_classEntry{kClasses, kClassKey};
  RegistrySnapshot m_asio{kMachine, kAsioKey};
};

TEST_F(Regsvr32Test, RegisteredDriverIsFoundAndCreatedAsHostsDo) {
  ASSERT_EQ(0u, RunRegsvr32("/s", m_dllPath));
  ExpectRegisteredFrom(LowerCase(m_dllPath));

  HostRun run = CreateDriverLikeAHost();
  ASSERT_EQ(S_OK, run.created);
  EXPECT_EQ(LowerCase(m_dllPath), run.modulePath);
  EXPECT_EQ("Quorvex Vor OD ASIO", run.driverName);
  // There is no Vor OD on this machine: init runs, fails and says why.
  EXPECT_EQ(ASIOFalse, run.initialised);
  EXPECT_FALSE(run.errorMessage.empty());
}

// The virtual-device build of the same DLL finds a Vor OD: the registered
// driver streams for a host that found it in the registry, on a thread of
// either apartment.
TEST_F(Regsvr32Test, RegisteredVirtualDeviceBuildStreamsForAHost) {
  const std::string dllPath = VirtualDeviceDllPath();
  ASSERT_EQ(0u, RunRegsvr32("/s", dllPath));
  for (DWORD apartment : {COINIT_APARTMENTTHREADED, COINIT_MULTITHREADED}) {
    HostRun run = CreateDriverLikeAHost(true, apartment);
    ASSERT_EQ(S_OK, run.created) << apartment;
    EXPECT_EQ(ASIOTrue, run.initialised) << run.errorMessage;
    EXPECT_EQ(ASE_OK, run.buffers);
    EXPECT_EQ(ASE_OK, run.started);
    EXPECT_GE(run.switches, 50);
  }
  EXPECT_EQ(0u, RunRegsvr32("/u /s", dllPath));
  EXPECT_FALSE(RegistryKeyPresent(kClasses, kClassKey));
}

// Mended: the class registers as "Both", also over an earlier registration's
// "Apartment", so that a host on a multithreaded apartment gets the driver
// itself (IASIO has no proxy); and the driver balances its COM initialisation
// on the thread that made it, never on the thread that releases it.
TEST_F(Regsvr32Test, HostsOnAnyApartmentAndAnyThread) {
  ASSERT_EQ(0u, RunRegsvr32("/s", m_dllPath));
  SetRegistryText(kClasses, kInprocKey, "ThreadingModel", "Apartment");
  EXPECT_EQ(E_NOINTERFACE, CreateDriverLikeAHost(false, COINIT_MULTITHREADED).created);
  ASSERT_EQ(0u, RunRegsvr32("/s", m_dllPath));
  EXPECT_EQ(S_OK, CreateDriverLikeAHost(false, COINIT_MULTITHREADED).created);
  HRESULT again = E_FAIL;
  OnComThread(COINIT_APARTMENTTHREADED, [&] {
    IASIO* driver = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_QuorvexVorOdAsio, nullptr, CLSCTX_INPROC_SERVER,
                                     CLSID_QuorvexVorOdAsio, reinterpret_cast<void**>(&driver)));
    OnComThread(COINIT_APARTMENTTHREADED, [&] {
      driver->Release();
      // Still initialised: one more initialisation only adds to the count.
      again = CoInitialize(nullptr);
      if (SUCCEEDED(again)) CoUninitialize();
    });
  });
  EXPECT_EQ(S_FALSE, again);
}

TEST_F(Regsvr32Test, UnregisteringRemovesTheDriverAndLeavesOthers) {
  ASSERT_EQ(0u, RunRegsvr32("/s", m_dllPath));
  SetRegistryText(kMachine, kAsioKey + "\\Other Test Driver", "Description", "Other");
  const std::string otherDriver = DumpRegistryTree(kMachine, kAsioKey + "\\Other Test Driver");

  ASSERT_EQ(0u, RunRegsvr32("/u /s", m_dllPath));
  EXPECT_FALSE(RegistryKeyPresent(kClasses, kClassKey));
  EXPECT_FALSE(RegistryKeyPresent(kMachine, kDriverKey));
  EXPECT_EQ(otherDriver, DumpRegistryTree(kMachine, kAsioKey + "\\Other Test Driver"));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CreateDriverLikeAHost().created);
}

// Even silent, regsvr32 cannot hide the library's own message; the failed
// export makes regsvr32 exit with 5.
TEST_F(Regsvr32Test, LibraryUnderAnotherNameFailsWithItsMessage) {
  DllCopy copy("Vor-OD-ASIO-renamed.dll");
  ASSERT_TRUE(copy.Ready());
  auto entries = [] {
    return DumpRegistryTree(kClasses, kClassKey) + DumpRegistryTree(kMachine, kAsioKey);
  };
  const std::string before = entries();

  PROCESS_INFORMATION process = StartRegsvr32("/s", copy.Path());
  ASSERT_NE(nullptr, process.hProcess);
  MessageBoxWatcher watcher("Quorvex Vor OD ASIO Driver", process.dwProcessId);
  EXPECT_TRUE(watcher.Wait()) << "no message box";
  EXPECT_EQ(5u, FinishChildProcess(&process));
  EXPECT_EQ("Quorvex Vor OD ASIO Register Server failed (-101)", watcher.Text());
  EXPECT_EQ(before, entries());
}

}  // namespace
