// The driver against a virtual Vor OD with a USB device's rough edges, on the
// stepped clock: every switch where it belongs on the device's timeline, the
// round trip what the latencies say, no drop-out where nothing was lost;
// stalls cost a drop-out each and leave the timeline as it was; a device
// quiet for under two seconds is waited for, one that stops for good is lost.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "tests/support/StreamingRig.h"

namespace {

using Access = CAsioDriverTestAccess;

struct Case {
  const char* name;
  StreamMode mode;
  bool noRegister;
  void (*rough)(VdMachine*);
  long bufferSize;
  bool lowLatency = false;
};

void Steps(VdMachine* machine) { machine->streaming.ulPositionStepFrames = 48; }
void Lag(VdMachine* machine) { machine->streaming.ulRegisterLagUs = 250; }
void Jitter(VdMachine* machine) { machine->streaming.ulSignalJitterUs = 500; }
void Drift(VdMachine* machine) {
  machine->streaming.lClockPpm = -20000;
  machine->streaming.bClockRegister = false;
}
void Stalls(VdMachine* machine) {
  machine->streaming.ulStallMs = 14;
  machine->streaming.ulStallEveryMs = 100;
}

VdMachine MachineFor(const Case& c) {
  VdMachine machine = c.mode == StreamMode::Looped ? VdDefaultMachine() : StandardFirstMachine();
  machine.streaming.bPositionRegister = !c.noRegister;
  machine.streaming.loopbacks = {{0, 14}};
  if (c.rough != nullptr) c.rough(&machine);
  return machine;
}

// A host that keeps input 0 and 14 and the position of every switch, and
// plays TestHostOutput of its position on output 0.
struct RoughRun {
  explicit RoughRun(const Case& c) : rig(c.mode, MachineFor(c)), B(c.bufferSize), lowLatency(c.lowLatency) {
    rig.host.supported = {kAsioResetRequest};
  }
  bool Prepare() {
    if (!rig.Init()) return false;
    Access::SetLowLatency(rig.Asio(), lowLatency);
    if (rig.Prepare(B, {0, 14}, {0}) != ASE_OK) return false;
    rig.host.onSwitch = [this](long index) {
      ASIOSamples position = {};
      ASIOTimeStamp stamp = {};
      rig.Asio()->getSamplePosition(&position, &stamp);
      const uint64_t at = (static_cast<uint64_t>(position.hi) << 32) | position.lo;
      positions.push_back(at);
      rig.seen.push_back({{rig.In(0, index), rig.In(0, index) + B}, {rig.In(1, index), rig.In(1, index) + B}});
      for (long f = 0; f < B; ++f) rig.Out(0, index)[f] = TestHostOutput(static_cast<long>(at) + f, 0);
    };
    return rig.Asio()->getLatencies(&in, &out) == ASE_OK;
  }
  bool WaitForSwitches(uint32_t count) {
    return rig.device.WaitUntil([&](const CVirtualDevice&) { return Access::SwitchCount(rig.Asio()) >= count; });
  }
  // The device frame of the first frame of switch k's half, from input 0's
  // pattern (its second frame: frame 0 of the pattern is 0); false for a
  // half of silence.
  bool FrameOf(size_t k, ULONG* frame) {
    WORD channel = 0;
    if (rig.seen[k][0][1] == 0 || !VdDecodeCaptureSample(DeviceSampleOf(rig.seen[k][0][1]), frame, &channel))
      return false;
    *frame = (*frame + kVdPatternFrameModulo - 1) % kVdPatternFrameModulo;
    return true;
  }
  // Every half not silent carries the device's frames in order, at the
  // device frame its position says; the last half heard names the host
  // frame it played as many frames before as the latencies say.
  void ExpectTimelineAndRoundTrip() {
    ULONG first = 0;
    ASSERT_TRUE(FrameOf(0, &first));
    for (size_t k = 0; k < rig.seen.size(); ++k) {
      ULONG frame = 0;
      if (!FrameOf(k, &frame)) continue;
      ASSERT_EQ((frame - first) % kVdPatternFrameModulo, positions[k] % kVdPatternFrameModulo) << "switch " << k;
      for (long f = 0; f < B; ++f)
        ASSERT_EQ(rig.seen[k][0][f], HostSampleOf(VdCaptureSample(frame + f, 0))) << "switch " << k << " frame " << f;
    }
    ExpectRoundTrip();
  }
  void ExpectRoundTrip() {
    const std::vector<int32_t>& last = rig.seen.back()[1];
    const long echo = (DeviceSampleOf(-last[0]) >> 16) - 1;
    EXPECT_EQ((static_cast<long>(positions.back()) - echo) % 4096, in + out);
  }
  StreamingRig rig;
  long B;
  bool lowLatency;
  long in = 0, out = 0;
  std::vector<uint64_t> positions;
};

class RoughDeviceTest : public ::testing::TestWithParam<Case> {};

TEST_P(RoughDeviceTest, SwitchesKeepTheDevicesTimelineAndTheRoundTrip) {
  RoughRun run(GetParam());
  ASSERT_TRUE(run.Prepare());
  const long B = run.B;
  const uint32_t switches = static_cast<uint32_t>((run.in + run.out) / B + 12);
  // Signals may come a little after the frames they end.
  ASSERT_EQ(run.rig.Start(2 * B, B / 4), ASE_OK);
  ASSERT_TRUE(run.rig.device.Step((switches - 2) * B + B / 2));
  ASSERT_TRUE(run.WaitForSwitches(switches));
  run.rig.Asio()->stop();
  EXPECT_EQ(Access::DropOuts(run.rig.Asio()), 0u);
  for (size_t k = 0; k < run.positions.size(); ++k) ASSERT_EQ(run.positions[k], k * B) << "switch " << k;
  run.ExpectTimelineAndRoundTrip();
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  const struct {
    const char* name;
    StreamMode mode;
    bool noRegister;
  } modes[] = {{"Looped", StreamMode::Looped, false},
               {"LoopedNoRegister", StreamMode::Looped, true},
               {"Standard", StreamMode::Standard, false},
               {"Mixed", StreamMode::Mixed, false}};
  const struct {
    const char* name;
    void (*rough)(VdMachine*);
  } edges[] = {{"Steps", Steps}, {"Lag", Lag}, {"Jitter", Jitter}, {"Drift", Drift}};
  for (const auto& mode : modes) {
    for (const auto& edge : edges) cases.push_back({edge.name, mode.mode, mode.noRegister, edge.rough, 96});
    for (long B : {96L, 288L, 576L}) cases.push_back({"Usb", mode.mode, mode.noRegister, VdUseUsbProfile, B});
    cases.push_back({"UsbLowLatency", mode.mode, mode.noRegister, VdUseUsbProfile, 96, true});
  }
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  const Case& c = info.param;
  return std::string(StreamModeName(c.mode)) + (c.noRegister ? "NoRegister" : "") + c.name +
         std::to_string(c.bufferSize);
}

INSTANTIATE_TEST_SUITE_P(Edges, RoughDeviceTest, ::testing::ValuesIn(Cases()), CaseName);

void UsbWithStalls(VdMachine* machine) {
  VdUseUsbProfile(machine);
  Stalls(machine);
}

class StallTest : public ::testing::TestWithParam<Case> {};

// Stalls of 14 ms every 100 ms of device time, stepped through while the
// driver looks on: one drop-out each, the timeline and the round trip as
// before, no reset.
TEST_P(StallTest, StallsCostOneDropOutEachAndKeepTheTimeline) {
  RoughRun run(GetParam());
  ASSERT_TRUE(run.Prepare());
  const long B = run.B;
  ASSERT_EQ(run.rig.Start(2 * B, B / 4), ASE_OK);
  const ULONG frames = 48 * 560;  // five stalls
  while (run.rig.device.Stats().ullFrame < frames) {
    run.rig.device.Step(24);
    // In a stall: time for the driver to see the device stand still.
    if (run.rig.device.Stats().ullFrame % (48 * 100) < 48 * 16) Sleep(2);
  }
  // Each stall jumps the position over all but a half of its frames.
  ASSERT_TRUE(run.WaitForSwitches(static_cast<uint32_t>((frames - 5 * 48 * 14) / B - 2)))
      << Access::SwitchCount(run.rig.Asio()) << " switches, " << Access::DropOuts(run.rig.Asio())
      << " drop-outs, " << run.rig.device.Stats().ulStalls << " stalls";
  run.rig.Asio()->stop();
  EXPECT_EQ(run.rig.device.Stats().ulStalls, 5u);
  // The render queue never ran dry after a stall while the driver waited
  // for capture (the device waits for its host rather than play silence).
  EXPECT_EQ(run.rig.device.Stats().ulHostWaitTimeouts, 0u);
  EXPECT_EQ(Access::DropOuts(run.rig.Asio()), 5u);
  EXPECT_TRUE(run.rig.host.messages.empty());
  run.ExpectTimelineAndRoundTrip();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, StallTest,
    ::testing::Values(Case{"Stalls", StreamMode::Looped, false, UsbWithStalls, 96},
                      Case{"Stalls", StreamMode::Looped, true, UsbWithStalls, 96},
                      Case{"Stalls", StreamMode::Standard, false, UsbWithStalls, 96},
                      Case{"Stalls", StreamMode::Mixed, false, UsbWithStalls, 96},
                      Case{"StallsLowLatency", StreamMode::Looped, false, UsbWithStalls, 96, true},
                      Case{"StallsLowLatency", StreamMode::Standard, false, UsbWithStalls, 96, true}),
    CaseName);

}  // namespace

namespace {

// A device that makes no progress at all for a second and a half is waited
// for: the run goes on when it does, with no reset request; one silent for
// good is lost after two seconds: one reset request, no switch after it.
TEST(SilentDeviceTest, ASilenceUnderTwoSecondsIsWaitedForOneForGoodIsLost) {
  for (StreamMode mode : {StreamMode::Looped, StreamMode::Standard}) {
    SCOPED_TRACE(StreamModeName(mode));
    RoughRun run({"Silent", mode, false, nullptr, 96});
    ASSERT_TRUE(run.Prepare());
    ASSERT_EQ(run.rig.Start(2 * 96, 24), ASE_OK);
    ASSERT_TRUE(run.rig.device.Step(10 * 96));
    Sleep(1500);
    ASSERT_TRUE(run.rig.device.Step(10 * 96));
    ASSERT_TRUE(run.WaitForSwitches(20));
    EXPECT_TRUE(run.rig.host.messages.empty());
    const DWORD quiet = GetTickCount();
    ASSERT_TRUE(run.rig.device.WaitUntil([&](const CVirtualDevice&) { return !run.rig.host.messages.empty(); }, 6000));
    EXPECT_GE(GetTickCount() - quiet, 1900u);
    EXPECT_EQ(run.rig.host.messages, (std::vector<std::pair<long, long>>{{kAsioResetRequest, 0}}));
    EXPECT_EQ(Access::DropOuts(run.rig.Asio()), 0u);
    run.rig.Asio()->stop();
  }
}

}  // namespace

namespace {

// A host held in its callback until the device has played out the output
// queued (no input lost): the output that follows finds the queue run dry,
// and a USB device starts it a millisecond late. The round trip is the one
// reported again afterwards, and no input was lost.
TEST(DryQueueTest, OutputStartedLateOnAQueueRunDryKeepsTheRoundTrip) {
  RoughRun run({"Usb", StreamMode::Standard, false, VdUseUsbProfile, 96, true});
  ASSERT_TRUE(run.Prepare());
  const long B = run.B;
  HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const auto record = run.rig.host.onSwitch;
  run.rig.host.onSwitch = [&](long index) {
    record(index);
    if (run.positions.size() == 20) {
      // The device plays on as hardware does until its output queue is empty.
      run.rig.device.Machine().streaming.dwHostWaitMs = 0;
      SetEvent(entered);
      WaitForSingleObject(release, 10000);
    }
  };
  ASSERT_EQ(run.rig.Start(2 * B, B / 4), ASE_OK);
  while (WaitForSingleObject(entered, 0) != WAIT_OBJECT_0) ASSERT_TRUE(run.rig.device.Step(8));
  const ULONGLONG underrun = run.rig.device.Stats().ullUnderrunFrames;
  while (run.rig.device.Stats().ullUnderrunFrames < underrun + 8) ASSERT_TRUE(run.rig.device.Step(8));
  run.rig.device.Machine().streaming.dwHostWaitMs = 2000;
  SetEvent(release);
  const uint32_t switches = static_cast<uint32_t>(run.positions.size() + (run.in + run.out) / B + 12);
  while (Access::SwitchCount(run.rig.Asio()) < switches) ASSERT_TRUE(run.rig.device.Step(24));
  run.rig.Asio()->stop();
  EXPECT_EQ(run.rig.device.Stats().ullOverrunFrames, 0u);
  run.ExpectTimelineAndRoundTrip();
  CloseHandle(entered);
  CloseHandle(release);
}

}  // namespace

namespace {

// A host an eighth of a period slower than the device for 160 switches, then
// on time (it steps the device in its callback, which no longer waits for
// it): the driver falls a capture queue behind and catches up at once,
// instead of losing frames at every switch after; input 0 carries each frame
// where the host's position puts it or silence, and the round trip holds
// afterwards.
TEST(SlowHostTest, AReaderAQueueBehindLosesInputInFewPlaces) {
  CRITICAL_SECTION stepping;
  InitializeCriticalSection(&stepping);
  std::atomic<bool> hostSteps{false};
  RoughRun run({"Slow", StreamMode::Standard, false, nullptr, 96});
  ASSERT_TRUE(run.Prepare());
  const long B = run.B;
  const auto record = run.rig.host.onSwitch;
  run.rig.host.onSwitch = [&](long index) {
    record(index);
    const size_t n = run.positions.size();
    if (n < 20) return;
    run.rig.device.Machine().streaming.dwHostWaitMs = 0;
    hostSteps = true;
    EnterCriticalSection(&stepping);
    run.rig.device.Step(n < 180 ? B + B / 8 : B);
    LeaveCriticalSection(&stepping);
  };
  ASSERT_EQ(run.rig.Start(2 * B, B / 4), ASE_OK);
  const uint32_t switches = static_cast<uint32_t>(180 + (run.in + run.out) / B + 12);
  for (uint32_t last = 0; Access::SwitchCount(run.rig.Asio()) < switches;) {
    // Once the host steps it, the device moves here only while the driver
    // waits for input that is not there yet.
    if (hostSteps && (Sleep(20), Access::SwitchCount(run.rig.Asio()) != last)) {
      last = Access::SwitchCount(run.rig.Asio());
      continue;
    }
    EnterCriticalSection(&stepping);
    const bool stepped = run.rig.device.Step(hostSteps ? B / 4 : 8);
    LeaveCriticalSection(&stepping);
    ASSERT_TRUE(stepped);
  }
  run.rig.Asio()->stop();
  DeleteCriticalSection(&stepping);
  EXPECT_GT(run.rig.device.Stats().ullOverrunFrames, 0u);
  ULONG first = 0;
  ASSERT_TRUE(run.FrameOf(0, &first));
  int breaks = 0;
  bool heard = true;
  for (size_t k = 0; k < run.rig.seen.size(); ++k) {
    for (long f = 0; f < B; ++f) {
      const ULONG due = static_cast<ULONG>(first + run.positions[k] + f) % kVdPatternFrameModulo;
      const int32_t sample = run.rig.seen[k][0][f];
      if (sample != 0) {
        ASSERT_EQ(sample, HostSampleOf(VdCaptureSample(due, 0))) << "switch " << k << " frame " << f;
      }
      breaks += heard && sample == 0 && due != 0;
      heard = sample != 0 || due == 0;
    }
  }
  // Never caught up, it loses input at nearly every slow switch after the 32nd.
  EXPECT_LE(breaks, 160 / 5);
  EXPECT_GE(Access::DropOuts(run.rig.Asio()), 1u);
  run.ExpectRoundTrip();
}

}  // namespace
