// asio-console: a console ASIO host for trying and diagnosing a driver.
//
// Loads a driver DLL by path, creates the driver through the DLL's class
// factory exactly as a host would, and prints its answers.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/AsioTypes.h"

namespace {

// The Quorvex Vor OD ASIO driver's class identifier.
const CLSID kVorOdClassId = {
    0x35b2aaa7, 0xcd03, 0x421c, {0xb3, 0x25, 0x5d, 0x71, 0x84, 0xac, 0xc1, 0x76}};

const char* ErrorName(ASIOError error) {
  switch (error) {
    case ASE_OK: return "ASE_OK";
    case ASE_SUCCESS: return "ASE_SUCCESS";
    case ASE_NotPresent: return "ASE_NotPresent";
    case ASE_HWMalfunction: return "ASE_HWMalfunction";
    case ASE_InvalidParameter: return "ASE_InvalidParameter";
    case ASE_InvalidMode: return "ASE_InvalidMode";
    case ASE_SPNotAdvancing: return "ASE_SPNotAdvancing";
    case ASE_NoClock: return "ASE_NoClock";
    case ASE_NoMemory: return "ASE_NoMemory";
    default: return "unknown";
  }
}

std::string DefaultDriverPath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  folder = folder.substr(0, folder.find_last_of("\\/") + 1);
  return folder + "Quorvex-Vor-OD-ASIO-x64.dll";
}

void Usage() {
  printf(
      "usage: asio-console [DRIVER.dll]\n"
      "  Loads the driver DLL (default: Quorvex-Vor-OD-ASIO-x64.dll beside this\n"
      "  program), creates the driver through its class factory and prints what\n"
      "  it reports. Exits non-zero when the driver cannot be created or\n"
      "  initialised.\n");
}

int PrintDriver(IASIO* driver) {
  char name[kAsioDriverNameBytes + 1] = {};
  driver->getDriverName(name);
  printf("driver:        %s (version %ld)\n", name, driver->getDriverVersion());

  const ASIOBool initialised = driver->init(nullptr);
  char message[kAsioErrorMessageBytes + 1] = {};
  driver->getErrorMessage(message);
  printf("init:          %s, \"%s\"\n", initialised ? "ok" : "FAILED", message);

  long inputs = 0, outputs = 0;
  ASIOError error = driver->getChannels(&inputs, &outputs);
  printf("channels:      %ld in, %ld out (%s)\n", inputs, outputs, ErrorName(error));
  for (long i = 0; i < inputs + outputs; ++i) {
    ASIOChannelInfo info = {};
    info.channel = i < inputs ? i : i - inputs;
    info.isInput = i < inputs ? ASIOTrue : ASIOFalse;
    if (driver->getChannelInfo(&info) == ASE_OK)
      printf("  %-6s %2ld   %-20s type %ld\n", info.isInput ? "input" : "output", info.channel,
             info.name, info.type);
  }

  long inputLatency = 0, outputLatency = 0;
  error = driver->getLatencies(&inputLatency, &outputLatency);
  printf("latencies:     %ld in, %ld out (%s)\n", inputLatency, outputLatency, ErrorName(error));

  long minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
  error = driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  printf("buffer sizes:  min %ld, max %ld, preferred %ld, granularity %ld (%s)\n", minSize,
         maxSize, preferred, granularity, ErrorName(error));

  ASIOSampleRate rate = 0;
  error = driver->getSampleRate(&rate);
  printf("sample rate:   %.0f Hz (%s)\n", rate, ErrorName(error));

  ASIOClockSource clocks[4] = {};
  long clockCount = 4;
  error = driver->getClockSources(clocks, &clockCount);
  printf("clock sources: %ld (%s)\n", clockCount, ErrorName(error));
  for (long i = 0; error == ASE_OK && i < clockCount && i < 4; ++i)
    printf("  %ld %s%s\n", clocks[i].index, clocks[i].name,
           clocks[i].isCurrentSource ? " (current)" : "");

  return initialised ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = DefaultDriverPath();
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      Usage();
      return 0;
    }
    path = argv[i];
  }

  CoInitialize(nullptr);
  int status = 0;
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    fprintf(stderr, "asio-console: cannot load %s (error %lu)\n", path.c_str(), GetLastError());
    status = 2;
  } else {
    typedef HRESULT(STDAPICALLTYPE * PfnGetClassObject)(REFCLSID, REFIID, void**);
    PfnGetClassObject getClassObject = reinterpret_cast<PfnGetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    IASIO* driver = nullptr;
    HRESULT hr = getClassObject == nullptr
                     ? E_NOINTERFACE
                     : getClassObject(kVorOdClassId, IID_IClassFactory,
                                      reinterpret_cast<void**>(&factory));
    if (SUCCEEDED(hr)) {
      hr = factory->CreateInstance(nullptr, kVorOdClassId, reinterpret_cast<void**>(&driver));
      factory->Release();
    }
    if (FAILED(hr) || driver == nullptr) {
      fprintf(stderr, "asio-console: cannot create the driver from %s (0x%08lx)\n", path.c_str(),
              static_cast<unsigned long>(hr));
      status = 2;
    } else {
      printf("loaded:        %s\n", path.c_str());
      status = PrintDriver(driver);
      driver->Release();
    }
    FreeLibrary(module);
  }
  CoUninitialize();
  return status;
}
