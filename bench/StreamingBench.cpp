// vorod-bench: speed and latency of the streaming engine, reported, never
// asserted. Usage: vorod-bench [seconds of each real-time run, default 60]
//
// 1. One streaming pass's data work for 16 inputs and 2 outputs (de-interleave,
//    the buffer switch's conversions, interleave) against memcpy of the bytes.
// 2. Strict real-time runs at 96 frames, idle and with the other core busy:
//    the driver's drop-outs and the frames the device lost.
// 3. How long start takes to return.
// 4. Round-trip latency through the device's loopback in each streaming mode,
//    beside what getLatencies reports and the driver's own latency figure.
#include <windows.h>
#include <mmsystem.h>
#include <process.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "com/ClassFactory.h"
#include "com/ClassIds.h"
#include "driver/SampleBuffer.h"
#include "ks/KsAudPin.h"
#include "streaming/PacketConversion.h"
#include "streaming/SampleConversion.h"
#include "tests/support/DriverTestAccess.h"
#include "virtual-device/VirtualDevice.h"

namespace {

using Access = CAsioDriverTestAccess;

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency.QuadPart;
}

// ------------------------------------------------------------- one pass

void PassBench(bool avx2) {
  printf("One streaming pass, 16 inputs and 2 outputs (data work only), capture sweep %s:\n",
         UseAvx2CaptureSweep(avx2) ? "AVX2" : "SSE2");
  printf("  frames  pass (us)  memcpy (us)  ratio\n");
  for (uint32_t frames : {96u, 288u, 576u}) {
    const uint32_t inputs = 16, outputs = 2;
    std::vector<int32_t> capture(frames * inputs), render(frames * outputs);
    for (size_t i = 0; i < capture.size(); ++i) capture[i] = static_cast<int32_t>(i * 2654435761u) & ~0xFF;
    std::vector<int32_t*> in(inputs);
    std::vector<int32_t*> out(outputs);
    std::vector<float*> outFloat(outputs);
    long inChannels[16], outChannels[2] = {0, 1};
    for (uint32_t k = 0; k < inputs; ++k) {
      in[k] = AllocateSamples<int32_t>(2 * frames);
      inChannels[k] = static_cast<long>(k);
    }
    for (uint32_t k = 0; k < outputs; ++k) {
      out[k] = AllocateSamples<int32_t>(2 * frames);
      outFloat[k] = AllocateSamples<float>(2 * frames);
      for (uint32_t f = 0; f < 2 * frames; ++f) out[k][f] = static_cast<int32_t>(f * 40503u) << 8;
    }
    const size_t bytes = (capture.size() + render.size()) * sizeof(int32_t);
    std::vector<char> source(bytes), dest(bytes);
    // The best of many short batches: a batch that the scheduler interrupts
    // (the machine is shared) is simply not the best.
    const int rounds = 50, batches = 2000;
    // As the loop and the buffer switch do it: the capture sweep writes host
    // integers, so the switch converts only the output.
    auto pass = [&]() {
      DeinterleaveCaptureToHost(capture.data(), frames, inputs, in.data(), inChannels, inputs, 0);
      for (uint32_t k = 0; k < outputs; ++k) Int32ToFloat(out[k], outFloat[k], frames);
      InterleaveRender(outFloat.data(), outChannels, outputs, 0, frames, outputs, render.data());
    };
    double best = 1e9, bestCopy = 1e9;
    for (int trial = 0; trial < batches; ++trial) {
      double start = Now();
      for (int r = 0; r < rounds; ++r) pass();
      best = std::min(best, (Now() - start) / rounds);
      start = Now();
      for (int r = 0; r < rounds; ++r) {
        memcpy(dest.data(), source.data(), bytes);
        source[r % bytes] = static_cast<char>(dest[(r * 7) % bytes]);
      }
      bestCopy = std::min(bestCopy, (Now() - start) / rounds);
    }
    printf("  %6u  %9.2f  %11.2f  %5.1f\n", frames, best * 1e6, bestCopy * 1e6, best / bestCopy);
    for (uint32_t k = 0; k < inputs; ++k) FreeSampleBuffer(in[k]);
    for (uint32_t k = 0; k < outputs; ++k) {
      FreeSampleBuffer(out[k]);
      FreeSampleBuffer(outFloat[k]);
    }
  }
}

// ------------------------------------------------------ driver and host

enum class Mode { Looped, Standard };
const char* ModeName(Mode mode) { return mode == Mode::Looped ? "looped" : "standard"; }

VdMachine MachineFor(Mode mode) {
  VdMachine machine = VdDefaultMachine();
  if (mode == Mode::Standard) {
    for (int filter : {kVdVorOdCapture, kVdVorOdChat, kVdVorOdMain})
      for (VdPinFactory& pin : machine.filters[filter].pins)
        std::reverse(pin.interfaces.begin(), pin.interfaces.end());
  }
  machine.streaming.bLogStreamIo = false;
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

// Bring-up, then (standard) the capture pin as a packet pin.
bool InitDriver(IASIO* asio, Mode mode) {
  if (asio == nullptr || asio->init(nullptr) != ASIOTrue) return false;
  CKsAudPin* capture = Access::CapturePin(asio);
  if (mode == Mode::Standard && capture != nullptr) {
    capture->ClosePin();
    return SUCCEEDED(capture->Instantiate(FALSE));
  }
  return capture != nullptr;
}

// The host: counts, and plays an impulse on output 0 once, listening for it
// on input 0 (the loopback).
struct BenchHost {
  static BenchHost* current;
  ASIOCallbacks callbacks = {};
  std::vector<ASIOBufferInfo> infos;
  long bufferSize = 0;
  volatile long switches = 0;
  long impulseSwitch = -1;  // the switch whose output carries the impulse
  long long heardAt = -1;   // host input frame where it came back
  static void BufferSwitch(long index, ASIOBool) {
    BenchHost* host = current;
    const long s = host->switches;
    int32_t* out = static_cast<int32_t*>(host->infos[1].buffers[index]);
    memset(out, 0, host->bufferSize * sizeof(int32_t));
    if (s == host->impulseSwitch) out[0] = 1 << 30;
    const int32_t* in = static_cast<const int32_t*>(host->infos[0].buffers[index]);
    for (long f = 0; f < host->bufferSize && host->heardAt < 0 && host->impulseSwitch >= 0; ++f)
      if (in[f] != 0) host->heardAt = static_cast<long long>(s) * host->bufferSize + f;
    host->switches = s + 1;
  }
  static long AsioMessage(long, long, void*, double*) { return 0; }
  BenchHost() {
    callbacks.bufferSwitch = &BufferSwitch;
    callbacks.asioMessage = &AsioMessage;
    current = this;
  }
  ASIOError Prepare(IASIO* asio, long size) {
    bufferSize = size;
    infos = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    return asio->createBuffers(infos.data(), 3, size, &callbacks);
  }
};
BenchHost* BenchHost::current = nullptr;

volatile LONG g_stopLoad = 0;
unsigned __stdcall Spin(void*) {
  volatile unsigned long long x = 0;
  while (!g_stopLoad) x = x + 1;
  return 0;
}

// ------------------------------------------------------- real-time runs

void StrictRun(Mode mode, int seconds, bool loaded) {
  CVirtualDevice device(MachineFor(mode));
  device.Machine().streaming.ulRecordFramesMax = 0;
  device.Install();
  device.SetClockMode(VdClockMode::RealTimeStrict);
  IASIO* asio = CreateDriver();
  BenchHost host;
  HANDLE load = nullptr;
  if (loaded) {
    g_stopLoad = 0;
    load = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Spin, nullptr, 0, nullptr));
  }
  if (!InitDriver(asio, mode) || host.Prepare(asio, 96) != ASE_OK ||
      asio->start() != ASE_OK) {
    printf("  %-8s %s: could not start\n", ModeName(mode), loaded ? "loaded" : "idle");
  } else {
    Sleep(static_cast<DWORD>(seconds) * 1000);
    const uint32_t dropOuts = Access::DropOuts(asio);
    asio->stop();
    const VdStreamStats stats = device.Stats();
    printf("  %-8s %-6s %3d s: %6ld switches, driver drop-outs %u; device lost %llu capture "
           "and %llu render frames, %lu notifications missed\n",
           ModeName(mode), loaded ? "loaded" : "idle", seconds, static_cast<long>(host.switches), dropOuts,
           stats.ullOverrunFrames, stats.ullUnderrunFrames, stats.ulMissedNotifications);
  }
  if (load != nullptr) {
    g_stopLoad = 1;
    WaitForSingleObject(load, INFINITE);
    CloseHandle(load);
  }
  if (asio != nullptr) asio->Release();
}

void StartTimes() {
  printf("How long start takes to return (lossless real-time device, 10 starts each):\n");
  for (Mode mode : {Mode::Looped, Mode::Standard}) {
    for (long size : {96L, 288L, 576L}) {
      CVirtualDevice device(MachineFor(mode));
      device.Install();
      device.SetClockMode(VdClockMode::RealTimeLossless);
      IASIO* asio = CreateDriver();
      BenchHost host;
      std::vector<double> ms;
      if (InitDriver(asio, mode) && host.Prepare(asio, size) == ASE_OK) {
        for (int i = 0; i < 10; ++i) {
          const double start = Now();
          const ASIOError result = asio->start();
          ms.push_back((Now() - start) * 1000);
          asio->stop();
          if (result != ASE_OK) ms.back() = -1;
        }
      }
      std::sort(ms.begin(), ms.end());
      if (ms.empty() || ms.front() < 0)
        printf("  %-8s %3ld frames: failed\n", ModeName(mode), size);
      else
        printf("  %-8s %3ld frames: median %5.1f ms, max %5.1f ms\n", ModeName(mode), size,
               ms[ms.size() / 2], ms.back());
      if (asio != nullptr) asio->Release();
    }
  }
}

// The round trip a host measures through the loopback against the one
// getLatencies promises, start after start with the other core busy (each
// start lets a different time pass between the two pins' starts).
void RoundTrips() {
  const int kStarts = 50;
  printf("Round trip through the loopback (render 0 into capture 0, lossless device, other core "
         "busy, %d starts each):\n", kStarts);
  printf("  mode      frames  getLatencies in+out      measured min..max  starts off by >1\n");
  g_stopLoad = 0;
  HANDLE load = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Spin, nullptr, 0, nullptr));
  for (Mode mode : {Mode::Looped, Mode::Standard}) {
    for (long size : {96L, 288L, 576L}) {
      VdMachine machine = MachineFor(mode);
      machine.streaming.loopbacks = {{0, 0}};
      CVirtualDevice device(machine);
      device.Install();
      device.SetClockMode(VdClockMode::RealTimeLossless);
      IASIO* asio = CreateDriver();
      BenchHost host;
      long in = 0, out = 0;
      long long least = -1, most = -1;
      int off = 0, failed = 0;
      if (InitDriver(asio, mode) && host.Prepare(asio, size) == ASE_OK) {
        asio->getLatencies(&in, &out);
        for (int i = 0; i < kStarts; ++i) {
          host.switches = 0;
          host.heardAt = -1;
          host.impulseSwitch = 20;
          if (asio->start() != ASE_OK) {
            ++failed;
            continue;
          }
          const DWORD started = GetTickCount();
          while (host.heardAt < 0 && GetTickCount() - started < 10000) Sleep(2);
          asio->stop();
          const long long measured = host.heardAt < 0 ? -1 : host.heardAt - 20LL * size;
          if (measured < 0) {
            ++failed;
            continue;
          }
          least = least < 0 || measured < least ? measured : least;
          most = measured > most ? measured : most;
          if (measured > in + out + 1 || measured < in + out - 1) ++off;
        }
      }
      printf("  %-8s %6ld  %6ld + %-6ld = %5ld  %8lld..%-8lld  %d%s\n", ModeName(mode), size, in,
             out, in + out, least, most, off,
             failed ? (" (" + std::to_string(failed) + " starts failed)").c_str() : "");
      if (asio != nullptr) asio->Release();
    }
  }
  g_stopLoad = 1;
  WaitForSingleObject(load, INFINITE);
  CloseHandle(load);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 60;
  CoInitialize(nullptr);
  // The driver saves its settings on release: keep them off the user's key.
  HKEY scratch = nullptr;
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\vorod-bench", 0, nullptr, 0, KEY_ALL_ACCESS,
                  nullptr, &scratch, nullptr);
  RegOverridePredefKey(HKEY_CURRENT_USER, scratch);
  timeBeginPeriod(1);

  PassBench(false);
  PassBench(true);
  printf("Strict real-time runs at 96 frames (loaded: a thread spins on the other core):\n");
  for (Mode mode : {Mode::Looped, Mode::Standard}) {
    StrictRun(mode, seconds, false);
    StrictRun(mode, seconds, true);
  }
  StartTimes();
  RoundTrips();

  timeEndPeriod(1);
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegCloseKey(scratch);
  CoUninitialize();
  return 0;
}
