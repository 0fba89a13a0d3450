#include "bench/StrictRuns.h"

#include <process.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchData.h"
#include "bench/BenchSupport.h"
#include "bench/PlatformProbe.h"
#include "tests/support/DriverTestAccess.h"

namespace {

using Access = CAsioDriverTestAccess;

const long kBufferFrames = 96;
const double kPeriodSeconds = kBufferFrames / 48000.0;
// A drop-out is the device's when one of the device's own notifications or
// completions at least half a period late came within two buffers of device
// time around the half it was seen in, or after it while the driver was
// still catching up on that lateness: the host's callback leaves it
// (1 - busy) of each period for that, so the window after a signal L late
// is L / (1 - busy) longer. Otherwise it came with a late switch when one
// of the switches up to it came three quarters of a period or more after its
// time: the streaming thread ran late with the device on time, and as the
// loop waits only for the device's signals, the system held it (as it holds
// the probe's thread at times). Render output is written a period ahead of the
// device, just before the switch, and a pass takes microseconds: a pass that
// wrote it too late left a switch at least that late. It is the loop's own
// when neither.
const ULONG kDeviceLateUs = static_cast<ULONG>(kPeriodSeconds * 1e6 / 2);
const double kLateSwitchSeconds = kPeriodSeconds * 3 / 4;
const uint32_t kWindowFrames = 2 * kBufferFrames;
// The input the device loops output 1 back into.
const long kLoopInput = 15;
// A device figure that does not apply to the run.
const ULONGLONG kNotKnown = ~0ull;

enum class Load { Idle, OtherCoreBusy, BusyCallback };
// The share of the buffer period a busy callback spends, in percent.
int g_callbackPercent = 70;
std::string LoadName(Load load) {
  if (load == Load::Idle) return "idle";
  if (load == Load::OtherCoreBusy) return "busy_core";
  return "callback_" + std::to_string(g_callbackPercent);
}

// The device sample behind a host sample: the driver inverts polarity and
// moves it one step toward zero on the way.
int32_t DeviceSampleOf(int32_t host) {
  if (host == 0) return 0;
  if (host == INT32_MAX) return INT32_MIN;
  return host < 0 ? 1 - host : -host - 1;
}

// How far frame a lies after frame b modulo the pattern's period (negative:
// before it).
int64_t FramesAfter(uint32_t a, uint32_t b) {
  const uint32_t d = (a + kVdPatternFrameModulo - b % kVdPatternFrameModulo) % kVdPatternFrameModulo;
  return d < kVdPatternFrameModulo / 2 ? static_cast<int64_t>(d)
                                       : static_cast<int64_t>(d) - static_cast<int64_t>(kVdPatternFrameModulo);
}

// The host: plays a ramp on output 1, which the device loops back into
// input 15, and silence on output 0; checks that input 0 carries the
// pattern frame after frame and that the ramp comes back unbroken (a loss on
// either side breaks it); notes at which device frame the driver's drop-out
// count went up, and with `busyFraction` spends that much of each period.
struct StrictHost {
  struct DropOut {
    uint32_t frame;  // device frame of the half the host was handed
    uint32_t switchNumber;
    uint32_t count;
  };
  static StrictHost* current;
  ASIOCallbacks callbacks = {};
  ASIOBufferInfo infos[4] = {{ASIOTrue, 0, {}}, {ASIOTrue, kLoopInput, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
  IASIO* asio = nullptr;
  double busyFraction = 0;
  std::atomic<long> switches{0};
  long breaks = 0;
  long loopBreaks = 0;
  uint32_t ramp = 0;  // the next output frame's ramp value
  int32_t heard = 0;  // the last ramp sample heard back
  int64_t step = 0;   // what the ramp moves by a frame once back
  int steady = 0;     // frames the ramp came back moving by `step`
  bool started = false;
  bool inPattern = false;
  bool lostSilence = false;  // in silence for frames lost, since a break
  uint32_t expected = 0;
  uint32_t dropOutsSeen = 0;
  std::vector<DropOut> dropOuts;  // reserved before the run
  std::vector<double> entered;    // each switch's time, reserved before the run
  std::vector<uint32_t> broken;   // the switch of each break, reserved before the run
  std::atomic<bool> stopping{false};  // breaks while the run stops are not losses

  void Break(long* count) {
    if (stopping) return;
    ++*count;
    if (broken.size() < broken.capacity()) broken.push_back(static_cast<uint32_t>(switches));
  }

  static void BufferSwitch(long index, ASIOBool) { current->OnSwitch(index); }
  static long AsioMessage(long, long, void*, double*) { return 0; }
  StrictHost() {
    callbacks.bufferSwitch = &BufferSwitch;
    callbacks.asioMessage = &AsioMessage;
    current = this;
  }
  void OnSwitch(long index) {
    const double now = Now();
    if (entered.size() < entered.capacity()) entered.push_back(now);
    memset(infos[2].buffers[index], 0, kBufferFrames * sizeof(int32_t));
    int32_t* rampOut = static_cast<int32_t*>(infos[3].buffers[index]);
    for (long f = 0; f < kBufferFrames; ++f) rampOut[f] = static_cast<int32_t>((ramp++ & 0x3FFFFFu) << 8);
    // The ramp back: one break where its step changes or silence begins.
    const int32_t* back = static_cast<const int32_t*>(infos[1].buffers[index]);
    for (long f = 0; f < kBufferFrames; ++f) {
      const int64_t d = static_cast<int64_t>(back[f]) - heard;
      if (heard != 0 && back[f] != 0) {
        if (steady < 8) {
          steady = d == step ? steady + 1 : 0;
          step = d;
        } else if (d < step - 4 || d > step + 4) {
          Break(&loopBreaks);
        }
      } else if (heard != 0 && steady >= 8) {
        Break(&loopBreaks);
      }
      heard = back[f];
    }
    const int32_t* in = static_cast<const int32_t*>(infos[0].buffers[index]);
    uint32_t halfFrame = expected;
    for (long f = 0; f < kBufferFrames; ++f) {
      ULONG frame = 0;
      WORD channel = 0;
      // Silence is no pattern, unless the pattern's frame 0 (a 0 too) is due.
      const bool pattern = (in[f] != 0 || expected == 0) &&
                           VdDecodeCaptureSample(DeviceSampleOf(in[f]), &frame, &channel) && channel == 0;
      if (f == 0 && pattern) halfFrame = frame;
      // One break per loss: where the pattern jumps, or where a stretch
      // without it (silence for frames lost) begins. The pattern that comes
      // back after such silence may jump (the rest of the frames lost shown
      // as a jump of the position): that is the same loss.
      if (started && (pattern ? frame != expected && !lostSilence : inPattern)) Break(&breaks);
      lostSilence = !pattern && (lostSilence || (started && inPattern));
      inPattern = pattern;
      expected = (pattern ? frame + 1 : expected + 1) % kVdPatternFrameModulo;
      started = started || pattern;
    }
    const uint32_t seen = Access::DropOuts(asio);
    if (seen > dropOutsSeen && dropOuts.size() < dropOuts.capacity())
      dropOuts.push_back({halfFrame, static_cast<uint32_t>(switches), seen - dropOutsSeen});
    dropOutsSeen = seen;
    ++switches;
    while (busyFraction > 0 && Now() - now < busyFraction * kPeriodSeconds) {
    }
  }
};
StrictHost* StrictHost::current = nullptr;

std::atomic<bool> g_stopLoad{false};
unsigned __stdcall Spin(void*) {
  volatile unsigned long long x = 0;
  while (!g_stopLoad) x = x + 1;
  return 0;
}

struct RunFigures {
  long switches = 0;
  uint32_t dropOuts = 0, deviceDropOuts = 0, lateSwitchDropOuts = 0, loopDropOuts = 0;
  ULONGLONG captureLost = 0, renderLost = 0;
  VdStreamStats device = {};
  CPlatformProbe::Result probe;
  long breaks = 0, loopBreaks = 0;
  long uncounted = 0;  // breaks with no drop-out counted in the switches around
  long unheard = 0;    // drop-outs with no break in the switches around
};

// The run's name: its streaming mode, the device (the usb profile's rough
// edges or none) and the load.
std::string RunName(Mode mode, bool usb, Load load) {
  return std::string(ModeName(mode)) + (usb ? "_usb." : ".") + LoadName(load);
}

// Splits the drop-outs by what explains them and matches them with the
// breaks the host heard.
void JudgeDropOuts(const StrictHost& host, const std::vector<VdLateSignal>& late, IASIO* asio,
                   RunFigures* figures) {
  // How late each switch came: against the earliest time the last 50
  // switches predict for it (robust to a timeline that moved on).
  const std::vector<double>& t = host.entered;
  std::vector<bool> lateSwitch(t.size(), false);
  for (size_t n = 0; n < t.size(); ++n) {
    double due = t[n];
    for (size_t k = n > 50 ? n - 50 : 0; k < n; ++k) due = std::min(due, t[k] + (n - k) * kPeriodSeconds);
    lateSwitch[n] = t[n] - due >= kLateSwitchSeconds;
  }
  for (const StrictHost::DropOut& dropOut : host.dropOuts) {
    bool explained = false;
    for (const VdLateSignal& signal : late) {
      const int64_t after = FramesAfter(dropOut.frame, static_cast<uint32_t>(signal.ullFrame % kVdPatternFrameModulo));
      const double catchUp = signal.ulLateUs * 48000e-6 / (1 - host.busyFraction);
      explained |= signal.ulLateUs >= kDeviceLateUs && after >= -static_cast<int64_t>(kWindowFrames) &&
                   after <= kWindowFrames + static_cast<int64_t>(catchUp);
    }
    // The switch that showed it and the three before: the pass that
    // counted it and the ones that could have made it late.
    bool switchLate = false;
    for (uint32_t n = dropOut.switchNumber >= 3 ? dropOut.switchNumber - 3 : 0;
         n <= dropOut.switchNumber && n < lateSwitch.size(); ++n)
      switchLate |= lateSwitch[n];
    (explained    ? figures->deviceDropOuts
     : switchLate ? figures->lateSwitchDropOuts
                  : figures->loopDropOuts) += dropOut.count;
  }
  // A loss is counted by the pass that finds it, which may hand over a
  // half or two more before the count goes up (the silence for a skipped
  // half, the half after it), or, where the device wrote into a half
  // before its register showed it, by the next pass; output lost comes
  // back through the loopback a round trip after the switch that wrote it.
  long in = 0, out = 0;
  asio->getLatencies(&in, &out);
  const uint32_t after = 3 + static_cast<uint32_t>((in + out) / kBufferFrames);
  auto around = [after](const StrictHost::DropOut& dropOut, uint32_t n) {
    return dropOut.switchNumber + 3 >= n && dropOut.switchNumber <= n + after;
  };
  for (uint32_t n : host.broken) {
    bool counted = false;
    for (const StrictHost::DropOut& dropOut : host.dropOuts) counted |= around(dropOut, n);
    figures->uncounted += counted ? 0 : 1;
  }
  for (const StrictHost::DropOut& dropOut : host.dropOuts) {
    bool heard = false;
    for (uint32_t n : host.broken) heard |= around(dropOut, n);
    figures->unheard += heard ? 0 : dropOut.count;
  }
}

bool Run(Mode mode, bool usb, Load load, int seconds, RunFigures* figures) {
  VdMachine machine = MachineFor(mode);
  if (usb) VdUseUsbProfile(&machine);
  machine.streaming.loopbacks = {{1, kLoopInput}};
  CVirtualDevice device(machine);
  device.Install();
  device.SetClockMode(VdClockMode::RealTimeStrict);
  IASIO* asio = CreateDriver();
  StrictHost host;
  host.asio = asio;
  host.busyFraction = load == Load::BusyCallback ? g_callbackPercent / 100.0 : 0;
  host.dropOuts.reserve(static_cast<size_t>(seconds) * 1000 + 1000);
  host.entered.reserve(static_cast<size_t>(seconds) * 1000 + 1000);
  host.broken.reserve(static_cast<size_t>(seconds) * 1000 + 1000);
  HANDLE spinner = nullptr;
  if (load == Load::OtherCoreBusy) {
    g_stopLoad = false;
    spinner = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Spin, nullptr, 0, nullptr));
  }
  bool ok = InitDriver(asio, mode) &&
            asio->createBuffers(host.infos, 4, kBufferFrames, &host.callbacks) == ASE_OK;
  const double started = Now();
  if (ok) {
    CPlatformProbe probe(kPeriodSeconds);
    ok = asio->start() == ASE_OK;
    if (ok) {
      Sleep(static_cast<DWORD>(seconds) * 1000);
      host.stopping = true;
      asio->stop();
    }
    figures->probe = probe.Stop();
  }
  if (spinner != nullptr) {
    g_stopLoad = true;
    WaitForSingleObject(spinner, INFINITE);
    CloseHandle(spinner);
  }
  if (ok) {
    figures->switches = host.switches;
    figures->dropOuts = Access::DropOuts(asio);
    figures->breaks = host.breaks;
    figures->loopBreaks = host.loopBreaks;
    figures->device = device.Stats();
    figures->captureLost = mode == Mode::Looped ? figures->device.ullOverwrittenFrames
                                                : figures->device.ullOverrunFrames;
    // Looped output is written ahead of the device without waiting for its
    // signals, so the device cannot tell a half left stale: the ramp shows it.
    figures->renderLost = mode == Mode::Looped ? kNotKnown : figures->device.ullUnderrunFrames;
    JudgeDropOuts(host, device.LateSignals(), asio, figures);
    // Counted before the first switch or after the last: the driver's.
    figures->loopDropOuts += figures->dropOuts - figures->deviceDropOuts -
                               figures->lateSwitchDropOuts - figures->loopDropOuts;
    // For the picture scripts/bench.sh draws.
    std::vector<std::pair<uint32_t, uint32_t>> counted;
    for (const StrictHost::DropOut& dropOut : host.dropOuts)
      counted.push_back({dropOut.switchNumber, dropOut.count});
    SaveStrictRun(RunName(mode, usb, load), started, host.entered, counted, host.broken,
                  figures->probe.lateTimes);
  }
  if (asio != nullptr) asio->Release();
  return ok;
}

// One run's line of the table, and its figures.
void PrintRun(const std::string& name, const RunFigures& f) {
  char lost[32], late[32];
  if (f.renderLost == kNotKnown)
    snprintf(lost, sizeof(lost), "%llu/-", f.captureLost);
  else
    snprintf(lost, sizeof(lost), "%llu/%llu", f.captureLost, f.renderLost);
  snprintf(late, sizeof(late), "%lu/%lu", static_cast<unsigned long>(f.device.aulLateSignals[2]),
           static_cast<unsigned long>(f.device.aulLateSignals[3]));
  printf("  %-25s %8ld %9u %7u %8u %7u %13s %13s %6.2f ms %7u %7ld %7ld %10ld %8ld\n", name.c_str(),
         f.switches, f.dropOuts, f.deviceDropOuts, f.lateSwitchDropOuts, f.loopDropOuts, lost, late,
         f.device.ulMaxLateUs / 1000.0, f.probe.lateWakes, f.breaks, f.loopBreaks, f.uncounted, f.unheard);
  const std::string p = "realtime." + name + ".";
  AddFigure(p + "switches", f.switches);
  AddFigure(p + "dropouts", f.dropOuts);
  AddFigure(p + "dropouts_device", f.deviceDropOuts);
  AddFigure(p + "dropouts_late_switch", f.lateSwitchDropOuts);
  AddFigure(p + "dropouts_loop", f.loopDropOuts);
  AddFigure(p + "device_capture_lost_frames", static_cast<double>(f.captureLost));
  if (f.renderLost != kNotKnown)
    AddFigure(p + "device_render_lost_frames", static_cast<double>(f.renderLost));
  AddFigure(p + "device_missed_notifications", f.device.ulMissedNotifications);
  AddFigure(p + "device_signals", f.device.ulTimedSignals);
  for (int i = 0; i < 5; ++i)
    AddFigure(p + "device_late_" + std::to_string(kVdLateThresholdsUs[i]) + "us",
              f.device.aulLateSignals[i]);
  AddFigure(p + "device_max_late_us", f.device.ulMaxLateUs);
  AddFigure(p + "probe_periods", f.probe.periods);
  AddFigure(p + "probe_late_wakes", f.probe.lateWakes);
  AddFigure(p + "probe_max_late_ms", f.probe.maxLateMs);
  AddFigure(p + "pattern_breaks", f.breaks);
  AddFigure(p + "loopback_breaks", f.loopBreaks);
  AddFigure(p + "uncounted_breaks", f.uncounted);
  AddFigure(p + "unheard_dropouts", f.unheard);
}

}  // namespace

void StrictRuns(int seconds, int callbackPercent, const std::string& only) {
  g_callbackPercent = callbackPercent;
  printf("Strict real-time runs, %ld frames, %d s each, beside the platform probe (%.0f us period):\n",
         kBufferFrames, seconds, kPeriodSeconds * 1e6);
  printf("  drop-outs: the driver's count, split into those a device signal at least %lu us late\n"
         "  explains (within %lu frames, and after it while the driver catches up on it), those with\n"
         "  a switch 3/4 of a period or more late just before (late switch: the system held the streaming\n"
         "  thread; the loop waits only for the device's signals) and the rest (loop); device lost: frames the device lost\n"
         "  or overwrote (capture/render; looped output, written ahead without the device's signals,\n"
         "  only the ramp can judge); late: device signals at least 1 / 2 ms late, and the latest;\n"
         "  probe: wakes more than one period late; breaks: losses seen in input 0's pattern\n"
         "  (where it jumps, or where silence for lost frames begins: a jump where it comes back\n"
         "  after that silence is the same loss); ramp: the same in a ramp played\n"
         "  on output 1 and looped back into input 15 (a loss on either side breaks it); uncounted:\n"
         "  breaks of either with no drop-out counted from three switches before to three after (and\n"
         "  a round trip more: lost output comes back through the loopback that late);\n"
         "  unheard: drop-outs with no break of either as near.\n",
         static_cast<unsigned long>(kDeviceLateUs), static_cast<unsigned long>(kWindowFrames));
  printf("  runs named _usb: the device with a USB 2 mixer's rough edges (48-frame position steps,\n"
         "  registers up to 250 us behind, signals up to 500 us late, its clock 80 ppm off, no clock register).\n");
  printf("  %-25s %8s %9s %7s %8s %7s %13s %13s %9s %7s %7s %7s %10s %8s\n", "run", "switches", "drop-outs",
         "device", "late sw", "loop", "device lost", "late 1/2 ms", "max late", "probe", "breaks", "ramp",
         "uncounted", "unheard");
  for (bool usb : {false, true})
    for (Mode mode : {Mode::Looped, Mode::Standard})
      for (Load load : {Load::Idle, Load::OtherCoreBusy, Load::BusyCallback}) {
        RunFigures f;
        const std::string name = RunName(mode, usb, load);
        if (name.find(only) == std::string::npos) continue;
        if (!Run(mode, usb, load, seconds, &f)) {
          printf("  %-25s could not start\n", name.c_str());
          continue;
        }
        PrintRun(name, f);
      }
}
