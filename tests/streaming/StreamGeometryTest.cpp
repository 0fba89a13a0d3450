// Packets that do not match the host's buffer: smaller packets, frames split
// between the halves of a cyclic buffer, short reads and mismatched cyclic
// buffers; and the streaming thread's own set-up and end.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "ks/KsAudPin.h"
#include "tests/support/StreamingRig.h"

namespace {

using Access = CAsioDriverTestAccess;

struct Seen {
  std::vector<std::vector<int32_t>> halves;  // per switch, input 0's half
};

void KeepInput(StreamingRig& rig, Seen* seen) {
  rig.host.onSwitch = [&rig, seen](long index) {
    seen->halves.emplace_back(rig.In(0, index), rig.In(0, index) + rig.bufferSize);
  };
}

bool WaitForSwitches(StreamingRig& rig, uint32_t count) {
  return rig.device.WaitUntil(
      [&](const CVirtualDevice&) { return Access::SwitchCount(rig.Asio()) >= count; });
}

// Input 0 (device channel `channel`) saw every device frame in order.
void ExpectContinuousPattern(const Seen& seen, long bufferSize, WORD channel) {
  for (size_t s = 0; s < seen.halves.size(); ++s)
    for (long f = 0; f < bufferSize; ++f)
      ASSERT_EQ(seen.halves[s][f], HostSampleOf(VdCaptureSample(s * bufferSize + f, channel)))
          << "switch " << s << " frame " << f;
}

class PacketGeometryTest : public ::testing::TestWithParam<StreamMode> {};

// A device that gives smaller cyclic buffers than asked: two passes a half.
TEST_P(PacketGeometryTest, SeveralPassesFillOneHalf) {
  const long B = 192;
  VdMachine machine = GetParam() == StreamMode::Looped ? VdDefaultMachine() : StandardFirstMachine();
  machine.rtAudio.cbMaximum = (B / 2) * 16 * 4 * 2;
  machine.rtAudio.bClampToMaximum = true;
  StreamingRig rig(GetParam(), machine);
  ASSERT_TRUE(rig.Init());
  ASSERT_EQ(rig.Prepare(B, {7}, {0, 1}), ASE_OK);
  Seen seen;
  KeepInput(rig, &seen);
  ASSERT_EQ(rig.Start(2 * B), ASE_OK);
  ASSERT_TRUE(rig.device.Step(6 * B));
  ASSERT_TRUE(WaitForSwitches(rig, 8));
  rig.Asio()->stop();

  EXPECT_EQ(seen.halves.size(), 8u);
  ExpectContinuousPattern(seen, B, 7);
  for (size_t i = 0; i < rig.host.indices.size(); ++i) EXPECT_EQ(rig.host.indices[i], long(i % 2));
  EXPECT_EQ(Access::DropOuts(rig.Asio()), 0u);
  // The round trip the run went by is the one reported, from the sizes the
  // device granted.
  long in = 0, out = 0;
  ASSERT_EQ(rig.Asio()->getLatencies(&in, &out), ASE_OK);
  EXPECT_EQ(Access::LatencyFrames(rig.Asio()), static_cast<uint32_t>(in + out));
  // Looped: output written ahead in the render ring; mixed: render packets
  // of a host buffer.
  EXPECT_EQ(in + out, (GetParam() == StreamMode::Looped ? 4 * B : 6 * B) + kVdCaptureDelayFrames + kVdRenderDelayFrames);
}

INSTANTIATE_TEST_SUITE_P(LoopedCapture, PacketGeometryTest,
                         ::testing::Values(StreamMode::Looped, StreamMode::Mixed),
                         [](const ::testing::TestParamInfo<StreamMode>& info) {
                           return std::string(StreamModeName(info.param));
                         });

// A cyclic buffer whose halves end inside a frame: the frame that straddles
// them is joined, and the frames beyond a half go into the next one.
TEST(StreamGeometryTest, FramesSplitBetweenHalvesAreJoined) {
  const long B = 96;
  VdMachine machine = StandardFirstMachine();
  machine.rtAudio.cbRoundUp = 8 * (B * 16 + 8);  // 96.5 frames a half
  StreamingRig rig(StreamMode::Mixed, machine);
  ASSERT_TRUE(rig.Init());
  ASSERT_EQ(rig.Prepare(B, {0, 9}, {0, 1}), ASE_OK);
  std::vector<std::vector<int32_t>> nine;
  Seen seen;
  rig.host.onSwitch = [&](long index) {
    seen.halves.emplace_back(rig.In(0, index), rig.In(0, index) + B);
    nine.emplace_back(rig.In(1, index), rig.In(1, index) + B);
  };
  // The second half of the cyclic buffer ends one frame after two buffers.
  ASSERT_EQ(rig.Start(2 * B + 1), ASE_OK);
  // Its halves fall half a frame further behind the render packets each pass.
  ASSERT_TRUE(rig.device.Step(14 * B + B / 2));
  ASSERT_TRUE(WaitForSwitches(rig, 16));
  rig.Asio()->stop();

  ExpectContinuousPattern(seen, B, 0);
  for (size_t s = 0; s < nine.size(); ++s)
    for (long f = 0; f < B; ++f)
      ASSERT_EQ(nine[s][f], HostSampleOf(VdCaptureSample(s * B + f, 9)));
  EXPECT_EQ(Access::DropOuts(rig.Asio()), 0u);
}

// Reads that come back short, ending in part of a frame: the loop waits for
// the reads that complete the half, so every frame reaches the host in order
// and on its own channel, and the torn frame never does.
TEST(StreamGeometryTest, ShortReadsLoseNothingAndTearNoFrame) {
  const long B = 96;
  StreamingRig rig(StreamMode::Standard);
  rig.device.Machine().streaming.cbShortRead = B * 64 - 160;  // 93.5 frames
  ASSERT_TRUE(rig.Init());
  ASSERT_EQ(rig.Prepare(B, {6}, {0, 1}), ASE_OK);
  Seen seen;
  KeepInput(rig, &seen);
  ASSERT_EQ(rig.Start(2 * B, B / 4), ASE_OK);
  for (uint32_t s = 3; s <= 10; ++s) {
    rig.device.Step(B);
    ASSERT_TRUE(WaitForSwitches(rig, s));
  }
  rig.Asio()->stop();

  ASSERT_GE(seen.halves.size(), 10u);
  ExpectContinuousPattern(seen, B, 6);
  EXPECT_EQ(Access::DropOuts(rig.Asio()), 0u);
}

// A host late by two and a half halves of a cyclic capture buffer: the half
// the device began to overwrite reaches the host as silence, never as what
// its cells held, the host's timeline stays on the device's, and the loss is
// counted once, also where the pass was long enough to count by itself.
void HostLateByTwoAndAHalfHalves(DWORD stallMs) {
  const long B = 96;
  StreamingRig rig(StreamMode::Looped);
  ASSERT_TRUE(rig.Init());
  ASSERT_EQ(rig.Prepare(B, {5}, {0, 1}), ASE_OK);
  Seen seen;
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE stalled = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  rig.host.onSwitch = [&](long index) {
    seen.halves.emplace_back(rig.In(0, index), rig.In(0, index) + B);
    if (seen.halves.size() == 5) {
      SetEvent(stalled);
      WaitForSingleObject(release, 5000);
    }
  };
  ASSERT_EQ(rig.Start(2 * B), ASE_OK);
  ASSERT_TRUE(rig.device.Step(3 * B));
  ASSERT_EQ(WaitForSingleObject(stalled, 5000), WAIT_OBJECT_0);
  // Two and a half halves pass while the host sits in its callback.
  rig.device.Machine().streaming.dwHostWaitMs = 0;
  rig.device.Step(2 * B + B / 2);
  rig.device.Machine().streaming.dwHostWaitMs = 2000;
  Sleep(stallMs);
  SetEvent(release);
  ASSERT_TRUE(WaitForSwitches(rig, 7)) << Access::SwitchCount(rig.Asio()) << " switches, "
                                       << Access::DropOuts(rig.Asio()) << " drop-outs";
  ASSERT_TRUE(rig.device.Step(2 * B + B / 2));
  ASSERT_TRUE(WaitForSwitches(rig, 9));
  rig.Asio()->stop();

  ASSERT_GE(seen.halves.size(), 9u);
  for (size_t s = 0; s < seen.halves.size(); ++s)
    for (long f = 0; f < B; ++f) {
      const int32_t expected = s == 5 ? 0 : HostSampleOf(VdCaptureSample(s * B + f, 5));
      ASSERT_EQ(seen.halves[s][f], expected) << "switch " << s << " frame " << f;
    }
  EXPECT_EQ(Access::DropOuts(rig.Asio()), 1u);
  CloseHandle(release);
  CloseHandle(stalled);
}

TEST(StreamGeometryTest, AHalfTheDeviceWentRoundIsSilence) {
  {
    SCOPED_TRACE("short stall");
    HostLateByTwoAndAHalfHalves(0);
  }
  SCOPED_TRACE("a stall that also lasts in real time");
  HostLateByTwoAndAHalfHalves(200);
}

// A host that sits in its callback while the device goes round its whole
// buffer once or twice, from the middle of a half: the notifications, which
// came together, show one boundary where there were three or five, and the
// position one half on or none. The device's clock tells the turns nobody
// saw, and they count, once: output goes out ahead of the device again from
// then on, and what the host plays comes back as many frames later as the
// latencies say.
TEST(StreamGeometryTest, ATurnNoNotificationShowedCounts) {
  const ULONG B = 96;
  for (ULONG stall : {3 * B, 4 * B + B / 2}) {
    SCOPED_TRACE("stall " + std::to_string(stall));
    StreamingRig rig(StreamMode::Looped);
    rig.device.Machine().streaming.loopbacks = {{0, 14}};
    ASSERT_TRUE(rig.Init());
    ASSERT_EQ(rig.Prepare(B, {14}, {0}), ASE_OK);
    rig.UseRecordingHost();
    const auto record = rig.host.onSwitch;
    HANDLE stalled = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> switches{0};
    rig.host.onSwitch = [&](long index) {
      record(index);
      const int n = ++switches;
      if (n == 4 || n == 5) {
        SetEvent(stalled);
        WaitForSingleObject(release, 5000);
      }
    };
    // While the host is held, the device moves as hardware does.
    auto stepWhileHeld = [&](ULONG frames) {
      ASSERT_EQ(WaitForSingleObject(stalled, 5000), WAIT_OBJECT_0);
      rig.device.Machine().streaming.dwHostWaitMs = 0;
      ASSERT_TRUE(rig.device.Step(frames));
      rig.device.Machine().streaming.dwHostWaitMs = 2000;
      SetEvent(release);
    };
    long in = 0, out = 0;
    ASSERT_EQ(rig.Asio()->getLatencies(&in, &out), ASE_OK);
    ASSERT_EQ(rig.Start(2 * B), ASE_OK);
    ASSERT_TRUE(rig.device.Step(2 * B));
    stepWhileHeld(B + B / 2);  // the last look before the next hold: mid-half
    stepWhileHeld(stall);
    for (uint32_t s = 6; s <= 20; ++s) {
      ASSERT_TRUE(rig.device.Step(B));
      ASSERT_TRUE(WaitForSwitches(rig, s));
    }
    rig.Asio()->stop();
    EXPECT_EQ(Access::DropOuts(rig.Asio()), 1u);
    // The last half heard names the host frame it played.
    const long echo = (DeviceSampleOf(-rig.seen.back()[0][0]) >> 16) - 1;
    EXPECT_EQ((static_cast<long>(rig.seen.size() - 1) * static_cast<long>(B) - echo) % 4096, in + out);
    CloseHandle(stalled);
    CloseHandle(release);
  }
}

// A device that lost a captured frame on its own, as a bus loses a packet,
// marks the next read discontinuous: the loss counts once, though no read
// ran dry.
TEST(StreamGeometryTest, AFrameTheDeviceLostCountsOnce) {
  const long B = 96;
  StreamingRig rig(StreamMode::Standard);
  ASSERT_TRUE(rig.Init());
  ASSERT_EQ(rig.Prepare(B, {0}, {0, 1}), ASE_OK);
  rig.device.Machine().streaming.ullLoseCaptureFrame = 6 * B + 10;
  ASSERT_EQ(rig.Start(2 * B), ASE_OK);
  ASSERT_TRUE(rig.device.Step(10 * B));
  ASSERT_TRUE(WaitForSwitches(rig, 10));
  rig.Asio()->stop();
  EXPECT_EQ(Access::DropOuts(rig.Asio()), 1u);
  EXPECT_EQ(rig.device.Stats().ullOverrunFrames, 0u);
}

// Cyclic buffers whose halves last differently for capture and render, and
// render halves longer than two host buffers: the loop cannot keep both in
// step; it stays inside its buffers and counts what it could not place.
TEST(StreamGeometryTest, MismatchedCyclicBuffersStayInBoundsAndCount) {
  const long B = 96;
  VdMachine machine = VdDefaultMachine();
  machine.rtAudio.cbRoundUp = 3200;  // capture halves of 100 frames, render of 200
  // No position at all on the render pin: each pass is a render half.
  VdPropertyFault noRegister = {KsGuid::PropSetRtAudio, KSPROPERTY_RTAUDIO_POSITIONREGISTER,
                                ERROR_NOT_FOUND};
  noRegister.iFilter = kVdVorOdMain;
  machine.propertyFaults.push_back(noRegister);
  VdPropertyFault noPosition = {KsGuid::PropSetAudio, KSPROPERTY_AUDIO_POSITION, ERROR_NOT_FOUND};
  noPosition.iFilter = kVdVorOdMain;
  machine.propertyFaults.push_back(noPosition);
  // Each half waits for the other's pass: the device gives up on the host soon.
  machine.streaming.dwHostWaitMs = 20;
  StreamingRig rig(StreamMode::Looped, machine);
  ASSERT_TRUE(rig.Init());
  ASSERT_EQ(rig.Prepare(B, {0}, {0, 1}), ASE_OK);
  // The first pass alone makes two switches, the second short of capture.
  ASSERT_EQ(rig.Start(2 * B, B), ASE_OK);
  EXPECT_TRUE(rig.device.WaitUntil(
      [&](const CVirtualDevice&) { return Access::DropOuts(rig.Asio()) > 0; }));
  rig.device.Step(20 * B);
  EXPECT_GE(rig.host.indices.size(), 2u);
  rig.Asio()->disposeBuffers();
  rig.driver.Release();
  EXPECT_EQ(rig.device.OpenHandleCount(), 0u);
}

// A host whose callback never returns: stop ends the thread after its
// limit, stops the pins, and the driver streams again afterwards.
TEST(StreamThreadTest, NeverReturningCallbackIsTerminatedAndStreamingRecovers) {
  const long B = 96;
  StreamingRig rig(StreamMode::Standard);
  ASSERT_TRUE(rig.Init());
  Access::SetStreamStopWait(rig.Asio(), 300);
  ASSERT_EQ(rig.Prepare(B, {0}, {0, 1}), ASE_OK);
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  bool block = true;
  rig.host.onSwitch = [&](long) {
    if (block && rig.host.indices.size() == 3) WaitForSingleObject(never, INFINITE);
  };
  ASSERT_EQ(rig.Start(2 * B), ASE_OK);
  ASSERT_TRUE(rig.device.Step(B));
  ASSERT_TRUE(rig.device.WaitUntil([&](const CVirtualDevice&) { return rig.host.indices.size() == 3; }));

  EXPECT_EQ(rig.Asio()->stop(), ASE_OK);
  EXPECT_FALSE(Access::HasStreamThread(rig.Asio()));
  VdPinInstanceInfo capture, render;
  ASSERT_TRUE(rig.device.GetPinInstance(rig.CapturePin(), &capture));
  ASSERT_TRUE(rig.device.GetPinInstance(rig.RenderPin(), &render));
  EXPECT_EQ(capture.state, KSSTATE_STOP);
  EXPECT_EQ(render.state, KSSTATE_STOP);
  EXPECT_EQ(capture.cPendingReads, 0u);
  EXPECT_EQ(render.cPendingWrites, 0u);

  block = false;
  const size_t before = rig.host.indices.size();
  EXPECT_EQ(rig.Start(2 * B), ASE_OK);
  EXPECT_EQ(rig.host.indices.size(), before + 2);
  rig.Asio()->stop();
  rig.driver.Release();
  EXPECT_EQ(rig.device.OpenHandleCount(), 0u);
  CloseHandle(never);
}

struct MmcssCalls {
  static MmcssCalls* current;
  std::string task;
  DWORD thread = 0;
  int priority = 0;
  HANDLE reverted = nullptr;
};
MmcssCalls* MmcssCalls::current = nullptr;
HANDLE const kTaskHandle = reinterpret_cast<HANDLE>(0x5150);

HANDLE WINAPI FakeSetMm(LPCSTR task, LPDWORD index) {
  MmcssCalls::current->task = task;
  MmcssCalls::current->thread = GetCurrentThreadId();
  MmcssCalls::current->priority = GetThreadPriority(GetCurrentThread());
  *index = 7;
  return kTaskHandle;
}

BOOL WINAPI FakeRevertMm(HANDLE task) {
  MmcssCalls::current->reverted = task;
  return TRUE;
}

TEST(StreamThreadTest, RunsTimeCriticalInTheProAudioTask) {
  StreamingRig rig(StreamMode::Looped);
  MmcssCalls calls;
  MmcssCalls::current = &calls;
  ASSERT_TRUE(rig.Init());
  Access::SetMmcssEntryPoints(rig.Asio(), &FakeSetMm, &FakeRevertMm);
  ASSERT_EQ(rig.Prepare(96, {0}, {0, 1}), ASE_OK);
  DWORD switchThread = 0;
  rig.host.onSwitch = [&](long) { switchThread = GetCurrentThreadId(); };
  ASSERT_EQ(rig.Start(2 * 96), ASE_OK);
  rig.Asio()->stop();
  EXPECT_EQ(calls.task, "Pro Audio");
  EXPECT_EQ(calls.thread, switchThread);
  EXPECT_NE(calls.thread, GetCurrentThreadId());
  EXPECT_EQ(calls.priority, THREAD_PRIORITY_TIME_CRITICAL);
  EXPECT_EQ(calls.reverted, kTaskHandle);
  MmcssCalls::current = nullptr;
}

TEST(StreamThreadTest, WithoutAPinOrItsBufferNoRunStarts) {
  StreamingRig rig(StreamMode::Looped);
  ASSERT_TRUE(rig.Init());
  ASSERT_EQ(rig.Prepare(96, {0}, {0, 1}), ASE_OK);
  CKsAudPin* render = Access::RenderPin(rig.Asio());
  ASSERT_NE(render, nullptr);

  // No render pin: the thread idles until it is stopped again.
  Access::SetPins(rig.Asio(), Access::CapturePin(rig.Asio()), nullptr);
  EXPECT_FALSE(Access::StartStreamThread(rig.Asio()));
  EXPECT_FALSE(Access::HasStreamThread(rig.Asio()));

  // A render pin without a cyclic buffer: the first wait ends the run.
  Access::SetPins(rig.Asio(), Access::CapturePin(rig.Asio()), render);
  render->ClosePin();
  EXPECT_EQ(rig.Asio()->start(), ASE_HWMalfunction);
  EXPECT_FALSE(Access::HasStreamThread(rig.Asio()));
  EXPECT_TRUE(rig.host.indices.empty());
  VdPinInstanceInfo capture;
  ASSERT_TRUE(rig.device.GetPinInstance(rig.CapturePin(), &capture));
  EXPECT_EQ(capture.state, KSSTATE_STOP);
}

}  // namespace
