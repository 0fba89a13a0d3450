// The virtual device's streaming side: its clock, standard and looped
// streaming, the capture pattern, the recorder, the loopback and unplugging.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "ks/KsAudPin.h"
#include "ks/KsFilter.h"
#include "tests/support/KsTestFormats.h"
#include "virtual-device/VirtualDevice.h"

namespace {

const LONG kStatusDeviceNotConnected = static_cast<LONG>(0xC000009D);

struct Request {
  KSSTREAM_HEADER header = {};
  OVERLAPPED overlapped = {};
  std::vector<int32_t> data;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  explicit Request(size_t samples, size_t used = 0) : data(samples) {
    header.Size = sizeof(header);
    header.FrameExtent = static_cast<ULONG>(samples * 4);
    header.DataUsed = static_cast<ULONG>(used * 4);
    header.Data = data.data();
    // The low bit keeps a completion off a completion port; the device masks it.
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
  }
  ~Request() { CloseHandle(event); }
  bool Done() { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
};

class VdStreamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device.Machine().streaming.ulRecordFramesMax = 1u << 22;
    device.Install();
  }
  void TearDown() override {
    pins.clear();
    filters.clear();
    EXPECT_EQ(device.OpenHandleCount(), 0u);
  }
  CKsAudPin* Open(int filter, ULONG pinId, WORD channels, bool looped) {
    HRESULT hr = S_OK;
    filters.emplace_back(new CKsFilter(
        device.Machine().filters[filter].DevicePath(KsGuid::CategoryAudio).c_str(), &hr));
    EXPECT_EQ(filters.back()->Instantiate(), S_OK);
    CKsAudPin* pin = new CKsAudPin(filters.back().get(), pinId, hr);
    pins.emplace_back(pin);
    WAVEFORMATEXTENSIBLE wfx = KsTestWave(channels, channels == 2 ? KSAUDIO_SPEAKER_STEREO : 0);
    EXPECT_EQ(pin->SetFormat(&wfx.Format), S_OK);
    EXPECT_EQ(pin->Instantiate(looped), S_OK);
    return pin;
  }
  CKsAudPin* Capture(bool looped) { return Open(kVdVorOdCapture, 1, 16, looped); }
  CKsAudPin* Render(bool looped) { return Open(kVdVorOdMain, 0, 2, looped); }

  CVirtualDevice device;
  std::vector<std::unique_ptr<CKsFilter>> filters;
  std::vector<std::unique_ptr<CKsAudPin>> pins;
};

TEST(VdCapturePatternTest, TellsFrameAndChannelWithTwentyFourValidBits) {
  bool negative = false;
  for (ULONGLONG frame : {0ull, 1ull, 4095ull, 524287ull, 524288ull, 1048575ull, 1048576ull + 9}) {
    for (WORD channel = 0; channel < 16; ++channel) {
      const int32_t sample = VdCaptureSample(frame, channel);
      EXPECT_EQ(sample & 0xFF, 0);
      negative |= sample < 0;
      ULONG decodedFrame = 0;
      WORD decodedChannel = 0;
      ASSERT_TRUE(VdDecodeCaptureSample(sample, &decodedFrame, &decodedChannel));
      EXPECT_EQ(decodedFrame, frame % kVdPatternFrameModulo);
      EXPECT_EQ(decodedChannel, channel);
    }
  }
  EXPECT_TRUE(negative);
  EXPECT_EQ(VdCaptureSample(524288, 0), INT32_MIN);
  ULONG frame;
  WORD channel;
  EXPECT_FALSE(VdDecodeCaptureSample(0x101, &frame, &channel));
}

TEST_F(VdStreamingTest, ReadsFillInOrderAsTheClockAdvances) {
  CKsAudPin* pin = Capture(false);
  Request first(16 * 10), second(16 * 10);
  ASSERT_EQ(pin->ReadData(&first.header, &first.overlapped), S_OK);
  ASSERT_EQ(pin->ReadData(&second.header, &second.overlapped), S_OK);
  ASSERT_TRUE(device.Step(100));  // stopped: nothing moves
  EXPECT_FALSE(first.Done());
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
  ASSERT_TRUE(device.Step(9));
  EXPECT_FALSE(first.Done());
  ASSERT_TRUE(device.Step(1));
  ASSERT_TRUE(first.Done());
  EXPECT_FALSE(second.Done());
  EXPECT_EQ(first.overlapped.Internal, 0u);
  EXPECT_EQ(first.overlapped.InternalHigh, 16u * 10 * 4);
  EXPECT_EQ(first.header.DataUsed, 16u * 10 * 4);
  // Device frames 100 to 109: the clock ran while the pin was stopped.
  for (int f = 0; f < 10; ++f)
    for (WORD c = 0; c < 16; ++c) ASSERT_EQ(first.data[16 * f + c], VdCaptureSample(100 + f, c));
  device.Machine().streaming.dwHostWaitMs = 0;
  ASSERT_TRUE(device.Step(15));
  EXPECT_TRUE(second.Done());
  EXPECT_EQ(device.Stats().ullOverrunFrames, 5u);
  EXPECT_EQ(device.Stats().ulCompletedReads, 2u);
}

TEST_F(VdStreamingTest, WritesPlayInOrderAndADryQueuePlaysSilence) {
  CKsAudPin* pin = Render(false);
  Request a(2 * 4, 2 * 4), b(2 * 4, 2 * 3);  // b: only 3 of its 4 frames used
  for (int i = 0; i < 8; ++i) {
    a.data[i] = 100 + i;
    b.data[i] = 200 + i;
  }
  ASSERT_EQ(pin->WriteData(&a.header, &a.overlapped), S_OK);
  ASSERT_EQ(pin->WriteData(&b.header, &b.overlapped), S_OK);
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
  device.Machine().streaming.dwHostWaitMs = 0;
  ASSERT_TRUE(device.Step(4));
  EXPECT_TRUE(a.Done());
  EXPECT_FALSE(b.Done());
  ASSERT_TRUE(device.Step(5));
  EXPECT_TRUE(b.Done());
  const std::vector<VdRecording> recordings = device.Recordings();
  ASSERT_EQ(recordings.size(), 1u);
  EXPECT_EQ(recordings[0].ullFirstFrame, 0u);
  const std::vector<int32_t> expected = {100, 101, 102, 103, 104, 105, 106, 107,
                                         200, 201, 202, 203, 204, 205, 0, 0, 0, 0};
  EXPECT_EQ(recordings[0].samples, expected);
  EXPECT_EQ(device.Stats().ullUnderrunFrames, 2u);
}

TEST_F(VdStreamingTest, LosslessDeviceWaitsForTheHostAndGivesUpInTime) {
  CKsAudPin* pin = Render(false);
  Request a(2 * 4, 2 * 4), b(2 * 4, 2 * 4);
  ASSERT_EQ(pin->WriteData(&a.header, &a.overlapped), S_OK);
  ASSERT_EQ(pin->WriteData(&b.header, &b.overlapped), S_OK);
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
  device.Machine().streaming.dwHostWaitMs = 50;
  // The last queued write is not completed while the host may queue more.
  EXPECT_FALSE(device.Step(8));
  EXPECT_TRUE(a.Done());
  EXPECT_TRUE(b.Done());
  const VdStreamStats stats = device.Stats();
  EXPECT_EQ(stats.ulHostWaitTimeouts, 1u);
  EXPECT_GE(stats.ulHostWaitMs, 40u);
}

TEST_F(VdStreamingTest, LoopedCaptureSignalsEachHalfAndMovesItsRegister) {
  CKsAudPin* pin = Capture(true);
  PVOID buffer = nullptr;
  ULONG bytes = 0;
  ASSERT_EQ(pin->AllocateBuffersWithNotification(16 * 4 * 20, &buffer, &bytes), S_OK);
  VdPinInstanceInfo info;
  ASSERT_TRUE(device.GetPinInstance(pin->m_handle, &info));
  ASSERT_EQ(info.events.size(), 1u);
  HANDLE event = pin->m_hNotificationEvent;
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
  ASSERT_TRUE(device.Step(9));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_EQ(*info.pulPositionRegister, 9u * 64);
  // The pin's event is reset by hand: a notification is taken so.
  ASSERT_TRUE(device.Step(1));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ResetEvent(event);
  ASSERT_TRUE(device.Step(10));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ResetEvent(event);
  EXPECT_EQ(*info.pulPositionRegister, 0u);
  const int32_t* ring = static_cast<const int32_t*>(buffer);
  EXPECT_EQ(ring[0], VdCaptureSample(0, 0));
  EXPECT_EQ(ring[16 * 19 + 15], VdCaptureSample(19, 15));

  // A notification nobody takes: stepped, the device waits, then gives up;
  // strict, it counts it as missed.
  device.Machine().streaming.dwHostWaitMs = 30;
  ASSERT_TRUE(device.Step(10));
  EXPECT_FALSE(device.Step(1));
  EXPECT_EQ(device.Stats().ulHostWaitTimeouts, 1u);
  device.Machine().streaming.dwHostWaitMs = 0;
  ASSERT_TRUE(device.Step(20));
  EXPECT_GE(device.Stats().ulMissedNotifications, 1u);
  EXPECT_EQ(device.Stats().ulNotifications, 5u);
}

// A USB device's rough edges: a register that moves in steps (and says so),
// lags the device and never goes back; notifications signalled late; stalls
// that leave the register still and signal nothing, then jump on to where
// the clock reached; a clock off the performance counter; buffers of whole
// milliseconds; and, without a register, none to map.
TEST_F(VdStreamingTest, RoughEdgesOfAUsbDevice) {
  VdStreamingConfig& config = device.Machine().streaming;
  config.dwHostWaitMs = 0;
  config.ulPositionStepFrames = 48;
  config.ulRegisterLagUs = 250;
  config.ulSignalJitterUs = 500;
  config.ulStallMs = 10;
  config.ulStallEveryMs = 40;
  config.lClockPpm = 2000;
  device.Machine().rtAudio.ulRoundUpFrames = 48;
  CKsAudPin* pin = Capture(true);
  PVOID buffer = nullptr;
  ULONG bytes = 0;
  ASSERT_EQ(pin->AllocateBuffersWithNotification(16 * 4 * 2 * 100, &buffer, &bytes), S_OK);
  EXPECT_EQ(bytes, 16u * 4 * 240);  // 200 frames asked, five milliseconds given
  EXPECT_EQ(pin->m_cbPositionAccuracy, 48u * 64);
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
  ULONG last = 0, position = 0;
  uint64_t behind = 0, late = 0;
  const ULONG stallFrom = 40 * 48, stallTo = 50 * 48;
  for (ULONG frame = 1; frame <= 60 * 48; ++frame) {
    ASSERT_TRUE(device.Step(1));
    ASSERT_EQ(pin->GetBufferPosition(&position), S_OK);
    const ULONG moved = (position - last + bytes) % bytes / 64;
    last = position;
    const bool signalled = WaitForSingleObject(pin->m_hNotificationEvent, 0) == WAIT_OBJECT_0;
    ResetEvent(pin->m_hNotificationEvent);  // taken
    if (frame > stallFrom && frame <= stallTo) {
      // Inside the stall nothing moves and nothing is signalled, once the
      // register has caught up and what was signalled late is through.
      if (frame > stallFrom + 60) {
        EXPECT_EQ(moved, 0u) << "frame " << frame;
        EXPECT_FALSE(signalled) << "frame " << frame;
      }
      continue;
    }
    if (frame > stallTo) continue;
    EXPECT_EQ(moved % 48, 0u) << "frame " << frame;
    behind = std::max<uint64_t>(behind, (frame + 240 - position / 64) % 240);
    if (signalled) late = std::max<uint64_t>(late, frame % 120);
  }
  EXPECT_LE(behind, 47u + 12);  // a step and 250 us
  EXPECT_GT(late, 0u);
  EXPECT_LE(late, 24u);  // 500 us
  EXPECT_EQ(device.Stats().ulStalls, 1u);
  EXPECT_EQ(device.Stats().ullStalledFrames, 480u);
  // The machine's clock: 60 ms of device frames are 2000 ppm fewer microseconds.
  EXPECT_EQ(device.PerformanceCounterMicroseconds(), static_cast<uint64_t>(60000 / 1.002));

  // Without a register, positions come through the audio position property.
  pins.clear();
  filters.clear();
  config.bPositionRegister = false;
  pin = Capture(true);
  ASSERT_EQ(pin->AllocateBuffersWithNotification(16 * 4 * 2 * 96, &buffer, &bytes), S_OK);
  EXPECT_EQ(pin->m_pulPositionRegister, nullptr);
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
  ASSERT_TRUE(device.Step(96));
  ASSERT_EQ(pin->GetBufferPosition(&position), S_OK);
  EXPECT_LE(position, 96u * 64);
  EXPECT_GE(position, 36u * 64);
}

// A half whose notification the host has not taken when the device comes
// back to it is lost: capture writes over it, render plays it unrefilled.
TEST_F(VdStreamingTest, LoopedHalvesTheHostDidNotTakeCountAsDeviceLosses) {
  device.Machine().streaming.dwHostWaitMs = 0;
  CKsAudPin* capture = Capture(true);
  CKsAudPin* render = Render(true);
  PVOID buffer = nullptr;
  ULONG bytes = 0;
  ASSERT_EQ(capture->AllocateBuffersWithNotification(16 * 4 * 20, &buffer, &bytes), S_OK);
  ASSERT_EQ(render->AllocateBuffersWithNotification(2 * 4 * 20, &buffer, &bytes), S_OK);
  ASSERT_EQ(capture->SetState(KSSTATE_RUN), S_OK);
  ASSERT_EQ(render->SetState(KSSTATE_RUN), S_OK);
  const HANDLE events[2] = {capture->m_hNotificationEvent, render->m_hNotificationEvent};
  auto take = [&]() {
    for (HANDLE event : events) {
      EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
      ResetEvent(event);
    }
  };
  // Halves of 10 frames: the host takes every notification for a lap and a half.
  for (int half = 0; half < 3; ++half) {
    ASSERT_TRUE(device.Step(10));
    take();
  }
  EXPECT_EQ(device.Stats().ullOverwrittenFrames, 0u);
  EXPECT_EQ(device.Stats().ullUnconsumedPlayedFrames, 0u);
  // It takes none for three halves: the first of them comes round untaken
  // (and two notifications find their events still signalled).
  ASSERT_TRUE(device.Step(30));
  take();
  ASSERT_TRUE(device.Step(10));
  const VdStreamStats stats = device.Stats();
  EXPECT_EQ(stats.ullOverwrittenFrames, 10u);
  EXPECT_EQ(stats.ullUnconsumedPlayedFrames, 10u);
  EXPECT_EQ(stats.ulMissedNotifications, 2u * 2);
}

TEST_F(VdStreamingTest, LoopbackFeedsRenderedChannelsIntoCaptureThroughBothDelays) {
  device.Machine().streaming.loopbacks = {{1, 3}};
  device.Machine().filters[kVdVorOdMain].pins[0].ulDelayFrames = 1;
  device.Machine().filters[kVdVorOdCapture].pins[1].ulDelayFrames = 1;
  CKsAudPin* render = Render(false);
  CKsAudPin* capture = Capture(false);
  Request out(2 * 4, 2 * 4), in(16 * 4);
  for (int f = 0; f < 4; ++f) {
    out.data[2 * f] = 0x11111111;
    out.data[2 * f + 1] = (f + 1) * 0x01000000 + 0x7F;
  }
  ASSERT_EQ(render->WriteData(&out.header, &out.overlapped), S_OK);
  ASSERT_EQ(capture->ReadData(&in.header, &in.overlapped), S_OK);
  ASSERT_EQ(render->SetState(KSSTATE_RUN), S_OK);
  ASSERT_EQ(capture->SetState(KSSTATE_RUN), S_OK);
  device.Machine().streaming.dwHostWaitMs = 0;
  ASSERT_TRUE(device.Step(4));
  ASSERT_TRUE(in.Done());
  for (int f = 0; f < 4; ++f) {
    EXPECT_EQ(in.data[16 * f + 3], f < 2 ? 0 : (f - 1) * 0x01000000)
        << "24 bits of render channel 1, two frames later";
    EXPECT_EQ(in.data[16 * f + 2], VdCaptureSample(f, 2));
  }
}

TEST_F(VdStreamingTest, UnpluggingFailsPendingAndLaterRequests) {
  CKsAudPin* pin = Capture(false);
  Request pending(16 * 4), later(16 * 4);
  ASSERT_EQ(pin->ReadData(&pending.header, &pending.overlapped), S_OK);
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
  device.Unplug();
  ASSERT_TRUE(pending.Done());
  EXPECT_EQ(static_cast<LONG>(pending.overlapped.Internal), kStatusDeviceNotConnected);
  EXPECT_EQ(pending.header.DataUsed, 0u);
  EXPECT_NE(pin->ReadData(&later.header, &later.overlapped), S_OK);
  EXPECT_NE(pin->SetState(KSSTATE_STOP), S_OK);
  ASSERT_TRUE(device.Step(100));
  EXPECT_FALSE(later.Done());
}

TEST_F(VdStreamingTest, RealTimeClockRunsWhilePinsExist) {
  CKsAudPin* pin = Render(false);
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
  device.SetClockMode(VdClockMode::RealTimeStrict);
  EXPECT_FALSE(device.Step(10));
  EXPECT_TRUE(device.WaitUntil(
      [](const CVirtualDevice& d) { return d.Stats().ullUnderrunFrames > 480; }, 10000));
  device.SetClockMode(VdClockMode::Stepped);
  const ULONGLONG frame = device.Stats().ullFrame;
  Sleep(20);
  EXPECT_EQ(device.Stats().ullFrame, frame) << "the stepped clock stands still";
}

}  // namespace
