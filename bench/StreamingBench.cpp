// vorod-bench: speed and latency of the streaming engine, reported, never
// asserted. Usage: vorod-bench [seconds of each real-time run, default 60]
//                              [pass] [realtime] [start] [roundtrip] [low]
//                              [callback=N]
// (the parts named, or all of them; `low`: the driver in its low-latency
// mode, for the parts that do not measure both; `callback=N`: the busy
// callback of the real-time runs spends N% of the period, not 70%):
//
// pass       One streaming pass's data work for 16 inputs and 2 outputs
//            (capture sweep, the buffer switch's output conversion, render
//            sweep) against memcpy of the same bytes, with the capture sweep
//            on SSE2 and on AVX2.
// realtime   Strict real-time runs at 96 frames (StrictRuns.h).
// start      How long start takes to return.
// roundtrip  Round-trip latency through the device's loopback (output 0
//            into input 14, as in the virtual-device build) in each streaming
//            mode, by default and in low latency, against what getLatencies
//            reports, start after start with the other core busy.
// Every figure also goes out at the end as a line `name = value`.
#include <windows.h>
#include <mmsystem.h>
#include <process.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchData.h"
#include "bench/BenchSupport.h"
#include "bench/StrictRuns.h"
#include "driver/SampleBuffer.h"
#include "streaming/PacketConversion.h"
#include "streaming/SampleConversion.h"
#include "tests/support/DriverTestAccess.h"
#include "virtual-device/VirtualDevice.h"

namespace {

using Access = CAsioDriverTestAccess;

// ------------------------------------------------------------- one pass

void PassBench(bool avx2) {
  if (UseAvx2CaptureSweep(avx2) != avx2) {
    printf("One streaming pass with the capture sweep on AVX2: this processor has no AVX2.\n");
    return;
  }
  printf("One streaming pass, 16 inputs and 2 outputs (data work only), capture sweep %s:\n",
         avx2 ? "AVX2" : "SSE2");
  printf("  frames  pass (us)  memcpy (us)  ratio  capture sweep alone (us)\n");
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
    double best = 1e9, bestCopy = 1e9, bestCapture = 1e9;
    for (int trial = 0; trial < batches; ++trial) {
      double start = Now();
      for (int r = 0; r < rounds; ++r) pass();
      best = std::min(best, (Now() - start) / rounds);
      start = Now();
      for (int r = 0; r < rounds; ++r)
        DeinterleaveCaptureToHost(capture.data(), frames, inputs, in.data(), inChannels, inputs, 0);
      bestCapture = std::min(bestCapture, (Now() - start) / rounds);
      start = Now();
      for (int r = 0; r < rounds; ++r) {
        memcpy(dest.data(), source.data(), bytes);
        source[r % bytes] = static_cast<char>(dest[(r * 7) % bytes]);
      }
      bestCopy = std::min(bestCopy, (Now() - start) / rounds);
    }
    printf("  %6u  %9.2f  %11.2f  %5.1f  %8.2f\n", frames, best * 1e6, bestCopy * 1e6, best / bestCopy, bestCapture * 1e6);
    const std::string name = std::string("pass.") + (avx2 ? "avx2." : "sse2.") + std::to_string(frames);
    AddFigure(name + ".us", best * 1e6);
    AddFigure(name + ".memcpy_us", bestCopy * 1e6);
    AddFigure(name + ".capture_sweep_us", bestCapture * 1e6);
    AddFigure(name + ".ratio", best / bestCopy);
    for (uint32_t k = 0; k < inputs; ++k) FreeSampleBuffer(in[k]);
    for (uint32_t k = 0; k < outputs; ++k) {
      FreeSampleBuffer(out[k]);
      FreeSampleBuffer(outFloat[k]);
    }
  }
}

// ------------------------------------------------------ driver and host

// The host: counts, and plays an impulse on output 0 once, listening for it
// on input 14 (the loopback); while `recording`, it keeps what output 0
// played and input 14 heard from the impulse's switch on, as far as there is
// room.
struct BenchHost {
  static BenchHost* current;
  ASIOCallbacks callbacks = {};
  std::vector<ASIOBufferInfo> infos;
  long bufferSize = 0;
  volatile long switches = 0;
  long impulseSwitch = -1;  // the switch whose output carries the impulse
  long long heardAt = -1;   // host input frame where it came back
  volatile bool recording = false;
  std::vector<int32_t> played, heard;  // reserved before the run
  static void BufferSwitch(long index, ASIOBool) {
    BenchHost* host = current;
    const long s = host->switches;
    int32_t* out = static_cast<int32_t*>(host->infos[1].buffers[index]);
    memset(out, 0, host->bufferSize * sizeof(int32_t));
    if (s == host->impulseSwitch) out[0] = 1 << 30;
    const int32_t* in = static_cast<const int32_t*>(host->infos[0].buffers[index]);
    for (long f = 0; f < host->bufferSize && host->heardAt < 0 && host->impulseSwitch >= 0; ++f)
      if (in[f] != 0) host->heardAt = static_cast<long long>(s) * host->bufferSize + f;
    for (long f = 0; f < host->bufferSize && host->recording && s >= host->impulseSwitch &&
                     host->heard.size() < host->heard.capacity();
         ++f) {
      host->played.push_back(out[f]);
      host->heard.push_back(in[f]);
    }
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
    infos = {{ASIOTrue, 14, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    return asio->createBuffers(infos.data(), 3, size, &callbacks);
  }
};
BenchHost* BenchHost::current = nullptr;

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
      if (!ms.empty() && ms.front() >= 0) {
        printf("  %-8s %3ld frames: median %5.1f ms, max %5.1f ms\n", ModeName(mode), size,
               ms[ms.size() / 2], ms.back());
        const std::string name = std::string("start.") + ModeName(mode) + "." + std::to_string(size);
        AddFigure(name + ".median_ms", ms[ms.size() / 2]);
        AddFigure(name + ".max_ms", ms.back());
      }
      if (asio != nullptr) asio->Release();
    }
  }
}

volatile LONG g_stopLoad = 0;
unsigned __stdcall Spin(void*) {
  volatile unsigned long long x = 0;
  while (!g_stopLoad) x = x + 1;
  return 0;
}

// The round trip a host measures through the loopback against the one
// getLatencies promises, start after start with the other core busy (each
// start lets a different time pass between the two pins' starts).
void RoundTrips() {
  const int kStarts = 50;
  printf("Round trip through the loopback (output 0 into input 14, lossless device, other core "
         "busy, %d starts each):\n", kStarts);
  printf("  mode          frames  getLatencies in+out      measured min..max  starts off by >1\n");
  g_stopLoad = 0;
  HANDLE load = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Spin, nullptr, 0, nullptr));
  const bool lowLatency = g_lowLatency;
  for (bool low : {false, true})
  for (Mode mode : {Mode::Looped, Mode::Standard}) {
    g_lowLatency = low;
    for (long size : {96L, 288L, 576L}) {
      VdMachine machine = MachineFor(mode);
      machine.streaming.loopbacks = {{0, 14}};
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
        // The first start's click and what came back, for the picture.
        host.played.reserve(in + out + 2 * size);
        host.heard.reserve(in + out + 2 * size);
        host.recording = true;
        for (int i = 0; i < kStarts; ++i) {
          host.switches = 0;
          host.heardAt = -1;
          host.impulseSwitch = 20;
          host.played.clear();
          host.heard.clear();
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
          if (host.recording)
            SaveRoundTrip(ModeName(mode), size, in, out, measured, host.played, host.heard);
          host.recording = false;
          least = least < 0 || measured < least ? measured : least;
          most = measured > most ? measured : most;
          if (measured > in + out + 1 || measured < in + out - 1) ++off;
        }
      }
      const std::string name = std::string("roundtrip.") + ModeName(mode) + "." + std::to_string(size);
      AddFigure(name + ".reported_frames", in + out);
      AddFigure(name + ".least_frames", static_cast<double>(least));
      AddFigure(name + ".most_frames", static_cast<double>(most));
      AddFigure(name + ".starts_off", off);
      AddFigure(name + ".starts_failed", failed);
      printf("  %-12s %6ld  %6ld + %-6ld = %5ld  %8lld..%-8lld  %d%s\n", ModeName(mode), size, in,
             out, in + out, least, most, off,
             failed ? (" (" + std::to_string(failed) + " starts failed)").c_str() : "");
      if (asio != nullptr) asio->Release();
    }
  }
  g_lowLatency = lowLatency;
  g_stopLoad = 1;
  WaitForSingleObject(load, INFINITE);
  CloseHandle(load);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  int callbackPercent = 70;
  std::string only;
  std::vector<std::string> parts;
  for (int i = 1; i < argc; ++i) {
    if (atoi(argv[i]) > 0)
      seconds = atoi(argv[i]);
    else if (strcmp(argv[i], "low") == 0)
      g_lowLatency = true;
    else if (strncmp(argv[i], "callback=", 9) == 0 && atoi(argv[i] + 9) > 0 && atoi(argv[i] + 9) < 100)
      callbackPercent = atoi(argv[i] + 9);
    else if (strncmp(argv[i], "only=", 5) == 0)
      only = argv[i] + 5;
    else
      parts.push_back(argv[i]);
  }
  auto wanted = [&](const char* part) {
    return parts.empty() || std::find(parts.begin(), parts.end(), part) != parts.end();
  };
  CoInitialize(nullptr);
  // The driver saves its settings on release: keep them off the user's key.
  HKEY scratch = nullptr;
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\vorod-bench", 0, nullptr, 0, KEY_ALL_ACCESS,
                  nullptr, &scratch, nullptr);
  RegOverridePredefKey(HKEY_CURRENT_USER, scratch);
  timeBeginPeriod(1);

  if (wanted("pass")) {
    PassBench(false);
    PassBench(true);
  }
  if (wanted("realtime")) StrictRuns(seconds, callbackPercent, only);
  if (wanted("start")) StartTimes();
  if (wanted("roundtrip")) RoundTrips();
  PrintFigures();

  timeEndPeriod(1);
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegCloseKey(scratch);
  CoUninitialize();
  return 0;
}
