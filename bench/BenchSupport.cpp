#include "bench/BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "com/ClassFactory.h"
#include "com/ClassIds.h"
#include "ks/KsAudPin.h"
#include "tests/support/DriverTestAccess.h"

namespace {

std::vector<std::pair<std::string, double>>& Figures() {
  static std::vector<std::pair<std::string, double>> figures;
  return figures;
}

}  // namespace

LONGLONG Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

LONGLONG TicksPerSecond() {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  return frequency;
}

double Now() { return static_cast<double>(Ticks()) / TicksPerSecond(); }

void AddFigure(const std::string& name, double value) { Figures().emplace_back(name, value); }

void PrintFigures() {
  printf("Figures:\n");
  for (const auto& figure : Figures()) printf("%s = %.6g\n", figure.first.c_str(), figure.second);
}

bool g_lowLatency = false;

const char* ModeName(Mode mode) {
  if (g_lowLatency) return mode == Mode::Looped ? "looped_low" : "standard_low";
  return mode == Mode::Looped ? "looped" : "standard";
}

VdMachine MachineFor(Mode mode) {
  VdMachine machine = VdDefaultMachine();
  if (mode == Mode::Standard) {
    for (int filter : {kVdVorOdCapture, kVdVorOdChat, kVdVorOdMain})
      for (VdPinFactory& pin : machine.filters[filter].pins)
        std::reverse(pin.interfaces.begin(), pin.interfaces.end());
  }
  return machine;
}

IASIO* CreateDriver() {
  IASIO* asio = nullptr;
  CClassFactory* factory = new CClassFactory(&g_ClassTemplates[0]);
  factory->AddRef();
  factory->CreateInstance(nullptr, CLSID_QuorvexVorOdAsio, reinterpret_cast<void**>(&asio));
  factory->Release();
  return asio;
}

bool InitDriver(IASIO* asio, Mode mode) {
  if (asio == nullptr || asio->init(nullptr) != ASIOTrue) return false;
  CAsioDriverTestAccess::SetLowLatency(asio, g_lowLatency);
  CKsAudPin* capture = CAsioDriverTestAccess::CapturePin(asio);
  if (mode == Mode::Standard && capture != nullptr) {
    capture->ClosePin();
    return SUCCEEDED(capture->Instantiate(FALSE));
  }
  return capture != nullptr;
}
