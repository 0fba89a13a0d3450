// Streaming on the virtual Vor OD's real-time clock, driven as a host drives
// the driver. Lossless: a loaded machine costs time, never data. Counts and
// data are checked, not timing.
#include <gtest/gtest.h>

#include <windows.h>
#include <process.h>

#include <map>
#include <utility>
#include <vector>

#include "tests/support/DriverDll.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RegistrySandbox.h"
#include "tests/support/StreamingRig.h"

namespace {

using Access = CAsioDriverTestAccess;

class StreamingE2ETest : public ::testing::TestWithParam<StreamMode> {};

TEST_P(StreamingE2ETest, LosslessRunCarriesThePatternAndTheHostOutput) {
  StreamingRig rig(GetParam());
  rig.device.SetClockMode(VdClockMode::RealTimeLossless);
  ASSERT_TRUE(rig.Init());
  const long B = 96;
  ASSERT_EQ(rig.Prepare(B, {0, 8, 15}, {0, 1}), ASE_OK);
  rig.UseRecordingHost();
  ASSERT_EQ(rig.Asio()->start(), ASE_OK);
  const uint32_t switches = 200;
  ASSERT_TRUE(rig.device.WaitUntil(
      [&](const CVirtualDevice&) { return Access::SwitchCount(rig.Asio()) >= switches; }, 60000));
  ASSERT_EQ(rig.Asio()->stop(), ASE_OK);
  const int calls = rig.host.switches;
  const VdStreamStats stats = rig.device.Stats();
  rig.device.WaitUntil([&](const CVirtualDevice& d) { return d.Stats().ullFrame > stats.ullFrame + 4 * B; },
                       1000);
  EXPECT_EQ(rig.host.switches, calls) << "a callback after stop returned";

  ASSERT_GE(rig.seen.size(), switches);
  // The capture pin started a little after the clock: its first frame says when.
  ULONG first = 0;
  WORD channel = 0;
  ASSERT_TRUE(VdDecodeCaptureSample(DeviceSampleOf(rig.seen[0][0][0]), &first, &channel));
  rig.ExpectCapturedPattern(first);
  // The same round trip as on the stepped clock, whenever each pin started.
  const long latency = GetParam() == StreamMode::Looped ? 4 * B : 6 * B;
  EXPECT_EQ(Access::LatencyFrames(rig.Asio()),
            static_cast<uint32_t>(latency) + kVdCaptureDelayFrames + kVdRenderDelayFrames);
  rig.ExpectRenderedHostOutput(latency, static_cast<long>(rig.seen.size()) * B, {0, 1}, first);
  EXPECT_EQ(stats.ullOverrunFrames, 0u);
  EXPECT_EQ(stats.ullUnderrunFrames, 0u);
  EXPECT_GE(stats.ulTimedSignals, switches) << "every signal is timed against device time";
}

INSTANTIATE_TEST_SUITE_P(Modes, StreamingE2ETest,
                         ::testing::Values(StreamMode::Looped, StreamMode::Standard),
                         [](const ::testing::TestParamInfo<StreamMode>& info) {
                           return std::string(StreamModeName(info.param));
                         });

// Twenty runs in one process, on the real-time clock: each streams, and every
// handle each run opened goes back to the device.
TEST(StreamingCyclesTest, TwentyRunsLeaveNoHandleOpen) {
  StreamingRig rig(StreamMode::Looped);
  rig.device.SetClockMode(VdClockMode::RealTimeLossless);
  ASSERT_TRUE(rig.Init());
  const size_t handlesAfterInit = rig.device.OpenHandleCount();
  const long sizes[] = {96, 288, 576};
  for (int cycle = 0; cycle < 20; ++cycle) {
    ASSERT_EQ(rig.Prepare(sizes[cycle % 3], {0, 15}, {0, 1}), ASE_OK) << cycle;
    const int before = rig.host.switches;
    ASSERT_EQ(rig.Asio()->start(), ASE_OK) << cycle;
    rig.device.WaitUntil([&](const CVirtualDevice&) { return rig.host.switches > before + 2; });
    ASSERT_EQ(rig.Asio()->stop(), ASE_OK) << cycle;
    EXPECT_GT(rig.host.switches, before + 2) << cycle;
    ASSERT_EQ(rig.Asio()->disposeBuffers(), ASE_OK) << cycle;
    EXPECT_EQ(rig.device.OpenHandleCount(), handlesAfterInit) << cycle;
  }
  rig.driver.Release();
  EXPECT_EQ(rig.device.OpenHandleCount(), 0u);
}

// The virtual-device build of the DLL, loaded as a host loads a driver.
TEST(VirtualDeviceBuildStreamingTest, StreamsThePatternUntilStopped) {
  RegistrySandbox sandbox;
  DriverDll dll(VirtualDeviceDllPath());
  ASSERT_TRUE(dll.Loaded());
  IASIO* driver = dll.CreateDriver();
  ASSERT_NE(driver, nullptr);
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  FakeHost host(1);
  const long B = 192;
  std::vector<ASIOBufferInfo> infos = {{ASIOTrue, 2, {}}, {ASIOTrue, 13, {}}, {ASIOFalse, 0, {}}};
  ASSERT_EQ(driver->createBuffers(infos.data(), 3, B, host.Callbacks()), ASE_OK);
  std::vector<std::vector<int32_t>> two, thirteen;
  host.onSwitch = [&](long index) {
    two.emplace_back(static_cast<int32_t*>(infos[0].buffers[index]),
                     static_cast<int32_t*>(infos[0].buffers[index]) + B);
    thirteen.emplace_back(static_cast<int32_t*>(infos[1].buffers[index]),
                          static_cast<int32_t*>(infos[1].buffers[index]) + B);
  };
  ASSERT_EQ(driver->start(), ASE_OK);
  const DWORD started = GetTickCount();
  while (host.switches < 100 && GetTickCount() - started < 60000) Sleep(10);
  ASSERT_EQ(driver->stop(), ASE_OK);
  const int calls = host.switches;
  ASSERT_GE(calls, 100);
  ASSERT_EQ(host.timeInfoSwitches, calls);
  // Once start has returned, positions go on by one buffer per switch.
  ASIOSamples position;
  ASIOTimeStamp stamp;
  ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
  ASSERT_EQ(host.timeRecords.size(), static_cast<size_t>(calls));
  EXPECT_EQ(host.timeRecords.back().timeInfo.samplePosition.lo, position.lo);
  for (int i = calls - 50; i < calls; ++i)
    EXPECT_EQ(host.timeRecords[i].timeInfo.samplePosition.lo,
              host.timeRecords[i - 1].timeInfo.samplePosition.lo + B);

  ULONG first = 0;
  WORD channel = 0;
  ASSERT_TRUE(VdDecodeCaptureSample(DeviceSampleOf(two[0][0]), &first, &channel));
  for (size_t s = 0; s < two.size(); ++s)
    for (long f = 0; f < B; ++f) {
      const ULONGLONG frame = first + s * B + f;
      ASSERT_EQ(two[s][f], HostSampleOf(VdCaptureSample(frame, 2))) << s << " " << f;
      ASSERT_EQ(thirteen[s][f], HostSampleOf(VdCaptureSample(frame, 13))) << s << " " << f;
    }
  EXPECT_EQ(host.switches, calls);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(driver->Release(), 0u);
}

}  // namespace

namespace {

struct PositionReader {
  IASIO* driver;
  volatile LONG stop;
  std::vector<std::pair<uint64_t, uint64_t>> seen;  // position, time stamp
};

unsigned __stdcall ReadPositions(void* arg) {
  PositionReader* reader = static_cast<PositionReader*>(arg);
  while (!reader->stop) {
    ASIOSamples position;
    ASIOTimeStamp stamp;
    reader->driver->getSamplePosition(&position, &stamp);
    if (reader->seen.size() < 2000000)
      reader->seen.emplace_back((static_cast<uint64_t>(position.hi) << 32) | position.lo,
                                (static_cast<uint64_t>(stamp.hi) << 32) | stamp.lo);
  }
  return 0;
}

// A host thread that asks for the position all the time: every answer is
// the position and time stamp of one and the same switch.
TEST(VirtualDeviceBuildStreamingTest, APositionAndItsTimeStampAlwaysComeFromOneSwitch) {
  RegistrySandbox sandbox;
  DriverDll dll(VirtualDeviceDllPath());
  ASSERT_TRUE(dll.Loaded());
  IASIO* driver = dll.CreateDriver();
  ASSERT_NE(driver, nullptr);
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  FakeHost host(1);
  const long B = 96;
  ASIOBufferInfo infos[] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
  ASSERT_EQ(driver->createBuffers(infos, 2, B, host.Callbacks()), ASE_OK);
  PositionReader reader = {driver, 0, {}};
  HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &ReadPositions, &reader, 0, nullptr));
  ASSERT_EQ(driver->start(), ASE_OK);
  const DWORD started = GetTickCount();
  while (host.switches < 300 && GetTickCount() - started < 30000) Sleep(10);
  ASSERT_EQ(driver->stop(), ASE_OK);
  InterlockedExchange(&reader.stop, 1);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  ASSERT_GE(host.switches, 300);

  std::map<uint64_t, uint64_t> stampOf = {{0, 0}};
  for (const ASIOTime& record : host.timeRecords)
    stampOf[(static_cast<uint64_t>(record.timeInfo.samplePosition.hi) << 32) |
            record.timeInfo.samplePosition.lo] =
        (static_cast<uint64_t>(record.timeInfo.systemTime.hi) << 32) | record.timeInfo.systemTime.lo;
  size_t checked = 0;
  for (const auto& pair : reader.seen) {
    const auto found = stampOf.find(pair.first);
    ASSERT_NE(found, stampOf.end()) << "position " << pair.first;
    if (pair.first != 0) {
      ASSERT_EQ(found->second, pair.second) << "position " << pair.first;
      ++checked;
    }
  }
  EXPECT_GT(checked, 1000u);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(driver->Release(), 0u);
}

// The virtual Vor OD pulled out 300 ms into a run and put back a second
// later, as a host meets it: one reset request and no callback after it, a
// clock that reads as stopped, a clean release; a new driver object finds no
// hardware while it is out, and streams once it is back.
TEST(VirtualDeviceBuildStreamingTest, AHostHearsOfAnUnplugAndStreamsAfterTheReplug) {
  SetEnvironmentVariableA("VOROD_VIRTUAL_UNPLUG_MS", "300");
  SetEnvironmentVariableA("VOROD_VIRTUAL_REPLUG_MS", "1000");
  RegistrySandbox sandbox;
  DriverDll dll(VirtualDeviceDllPath());
  SetEnvironmentVariableA("VOROD_VIRTUAL_UNPLUG_MS", nullptr);
  SetEnvironmentVariableA("VOROD_VIRTUAL_REPLUG_MS", nullptr);
  ASSERT_TRUE(dll.Loaded());
  IASIO* driver = dll.CreateDriver();
  ASSERT_NE(driver, nullptr);
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  FakeHost host;
  host.supported = {kAsioResetRequest};
  const long B = 96;
  ASIOBufferInfo infos[] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
  ASSERT_EQ(driver->createBuffers(infos, 2, B, host.Callbacks()), ASE_OK);
  ASSERT_EQ(driver->start(), ASE_OK);
  const DWORD started = GetTickCount();
  while (host.messages.empty() && GetTickCount() - started < 5000) Sleep(5);
  ASSERT_EQ(host.messages, (std::vector<std::pair<long, long>>{{kAsioResetRequest, 0}}));
  const int atReset = host.switches;
  Sleep(100);
  EXPECT_EQ(host.switches, atReset);
  ASIOSamples position;
  ASIOTimeStamp stamp;
  EXPECT_EQ(driver->getSamplePosition(&position, &stamp), ASE_SPNotAdvancing);
  EXPECT_EQ(driver->stop(), ASE_OK);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(driver->Release(), 0u);

  // What a host does after a reset request: a new driver object.
  IASIO* again = dll.CreateDriver();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->init(nullptr), ASIOFalse);
  char message[124] = {};
  again->getErrorMessage(message);
  EXPECT_STREQ(message, "Quorvex Vor OD hardware not found.");
  EXPECT_EQ(again->Release(), 0u);
  IASIO* back = nullptr;
  while (GetTickCount() - started < 10000) {
    back = dll.CreateDriver();
    if (back->init(nullptr) == ASIOTrue) break;
    back->Release();
    back = nullptr;
    Sleep(50);
  }
  ASSERT_NE(back, nullptr) << "the device never came back";
  FakeHost later;
  ASSERT_EQ(back->createBuffers(infos, 2, B, later.Callbacks()), ASE_OK);
  ASSERT_EQ(back->start(), ASE_OK);
  EXPECT_GE(later.switches, 2);
  EXPECT_EQ(back->stop(), ASE_OK);
  EXPECT_EQ(back->disposeBuffers(), ASE_OK);
  EXPECT_EQ(back->Release(), 0u);
}

}  // namespace
