// The COM server as a host meets it: the built DLL loaded by path, its class
// factory, aggregation and the unload rule.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "com/ClassIds.h"
#include "tests/support/DriverDll.h"

namespace {

// {4C1A0E3B-7F22-4E57-9A6B-2D3E4F5A6B7C}: a class id the library does not serve.
const CLSID kOtherClassId = {
    0x4c1a0e3b, 0x7f22, 0x4e57, {0x9a, 0x6b, 0x2d, 0x3e, 0x4f, 0x5a, 0x6b, 0x7c}};

// An aggregating outer object that counts the calls delegated to it.
class OuterUnknown : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    ++queries;
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++addRefs; }
  ULONG STDMETHODCALLTYPE Release() override { return ++releases; }
  int queries = 0;
  ULONG addRefs = 0;
  ULONG releases = 0;
};

class ComServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll.Loaded()) << ProductionDllPath();
    ASSERT_NE(dll.GetClassObject, nullptr);
    ASSERT_NE(dll.CanUnloadNow, nullptr);
  }

  IClassFactory* Factory() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(dll.GetClassObject(CLSID_QuorvexVorOdAsio, IID_IClassFactory,
                                 reinterpret_cast<void**>(&factory)),
              S_OK);
    return factory;
  }

  DriverDll dll{ProductionDllPath()};
};

TEST_F(ComServerTest, ExportsExactlyTheFiveEntryPoints) {
  EXPECT_NE(GetProcAddress(dll.Module(), "DllMain"), nullptr);
  EXPECT_NE(dll.RegisterServer, nullptr);
  EXPECT_NE(dll.UnregisterServer, nullptr);

  auto* base = reinterpret_cast<const BYTE*>(dll.Module());
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  EXPECT_EQ(exports->NumberOfNames, 5u);
  EXPECT_EQ(exports->NumberOfFunctions, 5u);
}

// The runtimes are linked in: a user's machine needs nothing but Windows.
TEST_F(ComServerTest, ImportsOnlyWindowsSystemLibraries) {
  auto* base = reinterpret_cast<const BYTE*>(dll.Module());
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  const char* const system[] = {"kernel32.dll", "user32.dll", "advapi32.dll", "ole32.dll",
                                "winmm.dll",    "setupapi.dll", "msvcrt.dll",  "gdi32.dll", "version.dll"};
  int count = 0;
  for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       entry->Name != 0; ++entry, ++count) {
    std::string name(reinterpret_cast<const char*>(base + entry->Name));
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    bool known = false;
    for (const char* allowed : system) known = known || name == allowed;
    EXPECT_TRUE(known) << name;
  }
  EXPECT_GT(count, 0);
}

TEST_F(ComServerTest, VersionResourceSaysOnePointZero) {
  HRSRC info = FindResourceA(dll.Module(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
  ASSERT_NE(info, nullptr);
  HGLOBAL loaded = LoadResource(dll.Module(), info);
  ASSERT_NE(loaded, nullptr);
  // The version functions may write into the block: query a copy.
  const DWORD size = SizeofResource(dll.Module(), info);
  std::vector<BYTE> copy(static_cast<const BYTE*>(LockResource(loaded)),
                         static_cast<const BYTE*>(LockResource(loaded)) + size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(copy.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
}

TEST_F(ComServerTest, ClassObjectIsAFreshFactoryHoldingOneReference) {
  IClassFactory* first = Factory();
  IClassFactory* second = Factory();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(first->AddRef(), 2u);
  EXPECT_EQ(first->Release(), 1u);
  EXPECT_EQ(first->Release(), 0u);
  EXPECT_EQ(second->Release(), 0u);

  IUnknown* unknown = nullptr;
  EXPECT_EQ(dll.GetClassObject(CLSID_QuorvexVorOdAsio, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
            S_OK);
  ASSERT_NE(unknown, nullptr);
  EXPECT_EQ(unknown->Release(), 0u);
}

TEST_F(ComServerTest, ClassObjectRefusesUnknownClassesInterfacesAndNullOut) {
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(dll.GetClassObject(kOtherClassId, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  // The interface is checked first, whatever the class, and the out-pointer
  // is left alone.
  EXPECT_EQ(dll.GetClassObject(CLSID_QuorvexVorOdAsio, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(dll.GetClassObject(kOtherClassId, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(dll.GetClassObject(CLSID_QuorvexVorOdAsio, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(ComServerTest, FactoryQueryInterface) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(factory->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  IUnknown* unknown = nullptr;
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(unknown, static_cast<IUnknown*>(factory));
  EXPECT_EQ(unknown->Release(), 1u);
  EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(ComServerTest, CreateInstanceHandsOutTheDriverByItsClassId) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  IASIO* driver = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_QuorvexVorOdAsio,
                                    reinterpret_cast<void**>(&driver)),
            S_OK);
  EXPECT_EQ(factory->Release(), 0u);
  ASSERT_NE(driver, nullptr);

  // A live driver keeps the library loaded even with every factory gone.
  EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
  EXPECT_EQ(driver->getDriverVersion(), 1);

  // IUnknown identity: every query for IUnknown gives the same pointer.
  IUnknown* a = nullptr;
  IUnknown* b = nullptr;
  ASSERT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a)), S_OK);
  ASSERT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b)), S_OK);
  EXPECT_EQ(a, b);
  IASIO* again = nullptr;
  ASSERT_EQ(a->QueryInterface(CLSID_QuorvexVorOdAsio, reinterpret_cast<void**>(&again)), S_OK);
  EXPECT_EQ(again, driver);
  void* none = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(driver->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(driver->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

  EXPECT_EQ(again->Release(), 3u);
  EXPECT_EQ(b->Release(), 2u);
  EXPECT_EQ(a->Release(), 1u);
  EXPECT_EQ(driver->Release(), 0u);
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(ComServerTest, CreateInstanceFailuresLeaveNoObject) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);

  EXPECT_EQ(factory->CreateInstance(nullptr, CLSID_QuorvexVorOdAsio, nullptr), E_POINTER);

  OuterUnknown outer;
  out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(factory->CreateInstance(&outer, CLSID_QuorvexVorOdAsio, &out), E_NOINTERFACE);
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
  factory->Release();
}

TEST_F(ComServerTest, AggregationGoesThroughTheInnerUnknown) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  OuterUnknown outer;
  IUnknown* inner = nullptr;
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
  factory->Release();
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);

  // The inner unknown answers for itself, never delegating.
  IUnknown* innerAgain = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&innerAgain)), S_OK);
  EXPECT_EQ(innerAgain, inner);
  EXPECT_EQ(innerAgain->Release(), 1u);

  // The driver interface delegates its IUnknown calls to the outer object,
  // including the reference its own hand-out takes.
  IASIO* driver = nullptr;
  ASSERT_EQ(inner->QueryInterface(CLSID_QuorvexVorOdAsio, reinterpret_cast<void**>(&driver)), S_OK);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(outer.addRefs, 1u);
  driver->AddRef();
  driver->Release();
  void* out = nullptr;
  driver->QueryInterface(IID_IDispatch, &out);
  EXPECT_EQ(outer.addRefs, 2u);
  EXPECT_EQ(outer.releases, 1u);
  EXPECT_EQ(outer.queries, 1);

  // Only the outer object's own reference keeps the inner one alive.
  EXPECT_EQ(inner->Release(), 0u);
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(ComServerTest, ServerLocksKeepTheLibraryLoaded) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);

  // A surplus unlock drives the count negative: objects alone decide then.
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
  IASIO* driver = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_QuorvexVorOdAsio,
                                    reinterpret_cast<void**>(&driver)),
            S_OK);
  EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
  driver->Release();
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
  factory->LockServer(TRUE);
  factory->Release();
}

// Calls the driver through raw vtable slots, numbered as the published ABI
// numbers them, independently of this project's interface declaration.
TEST_F(ComServerTest, DriverVtableSlotsMatchThePublishedLayout) {
  IASIO* driver = dll.CreateDriver();
  ASSERT_NE(driver, nullptr);
  void** vtable = *reinterpret_cast<void***>(driver);
  auto slot = [&](int index) { return vtable[index]; };

  auto getDriverName = reinterpret_cast<void (*)(void*, char*)>(slot(4));
  auto getDriverVersion = reinterpret_cast<long (*)(void*)>(slot(5));
  auto getChannels = reinterpret_cast<long (*)(void*, long*, long*)>(slot(9));
  auto getBufferSize = reinterpret_cast<long (*)(void*, long*, long*, long*, long*)>(slot(11));
  auto canSampleRate = reinterpret_cast<long (*)(void*, double)>(slot(12));
  auto setClockSource = reinterpret_cast<long (*)(void*, long)>(slot(16));
  auto future = reinterpret_cast<long (*)(void*, long, void*)>(slot(22));
  auto outputReady = reinterpret_cast<long (*)(void*)>(slot(23));

  char name[32];
  memset(name, 'x', sizeof(name));
  getDriverName(driver, name);
  EXPECT_STREQ(name, "Quorvex Vor OD ASIO");
  EXPECT_EQ(getDriverVersion(driver), 1);
  long in = -1, out = -1;
  EXPECT_EQ(getChannels(driver, &in, &out), ASE_OK);
  long sizes[4] = {};
  EXPECT_EQ(getBufferSize(driver, &sizes[0], &sizes[1], &sizes[2], &sizes[3]), ASE_OK);
  EXPECT_EQ(sizes[0], 96);
  EXPECT_EQ(sizes[1], 576);
  EXPECT_EQ(sizes[3], 96);
  // The double argument travels in XMM1.
  EXPECT_EQ(canSampleRate(driver, 48000.0), ASE_OK);
  EXPECT_EQ(canSampleRate(driver, 44100.0), ASE_NoClock);
  EXPECT_EQ(setClockSource(driver, 1), ASE_NotPresent);
  EXPECT_EQ(future(driver, kAsioCanTimeInfo, nullptr), ASE_SUCCESS);
  EXPECT_EQ(outputReady(driver), ASE_NotPresent);
  driver->Release();
}

// Wine has no Vor OD: the production DLL must say so rather than pretend.
TEST_F(ComServerTest, InitWithoutTheDeviceFailsAndSaysSo) {
  IASIO* driver = dll.CreateDriver();
  ASSERT_NE(driver, nullptr);
  char message[124];
  memset(message, 'x', sizeof(message));
  driver->getErrorMessage(message);
  EXPECT_STREQ(message, "");
  EXPECT_EQ(driver->init(nullptr), ASIOFalse);
  driver->getErrorMessage(message);
  EXPECT_STREQ(message, "Quorvex Vor OD hardware not found.");
  long in = -1, out = -1;
  EXPECT_EQ(driver->getChannels(&in, &out), ASE_OK);
  EXPECT_EQ(in, 0);
  EXPECT_EQ(out, 0);
  driver->Release();
}

}  // namespace
