// CInputCaptureKS and COutputRenderKS on pins of the virtual Vor OD, opened
// here through the KS client, in packet and looped streaming.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "ks/KsAudPin.h"
#include "ks/KsFilter.h"
#include "streaming/InputCaptureKS.h"
#include "streaming/OutputRenderKS.h"
#include "tests/support/KsTestFormats.h"
#include "virtual-device/VirtualDevice.h"

namespace {

const uint32_t B = 288;

class KsStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device.Machine().streaming.ulRecordFramesMax = 1u << 22;
    device.Install();
  }
  void TearDown() override {
    capturePin.reset();
    renderPin.reset();
    captureFilter.reset();
    renderFilter.reset();
    EXPECT_EQ(device.OpenHandleCount(), 0u);
  }

  void OpenCapture(bool looped) {
    HRESULT hr = S_OK;
    captureFilter.reset(new CKsFilter(
        device.Machine().filters[kVdVorOdCapture].DevicePath(KsGuid::CategoryAudio).c_str(), &hr));
    ASSERT_EQ(captureFilter->Instantiate(), S_OK);
    capturePin.reset(new CKsAudCapPin(captureFilter.get(), 1, hr));
    WAVEFORMATEXTENSIBLE wfx = KsTestWave(16, 0);
    ASSERT_EQ(capturePin->SetFormat(&wfx.Format), S_OK);
    ASSERT_EQ(capturePin->Instantiate(looped), S_OK);
  }
  void OpenRender(bool looped) {
    HRESULT hr = S_OK;
    renderFilter.reset(new CKsFilter(
        device.Machine().filters[kVdVorOdMain].DevicePath(KsGuid::CategoryAudio).c_str(), &hr));
    ASSERT_EQ(renderFilter->Instantiate(), S_OK);
    renderPin.reset(new CKsAudRenPin(renderFilter.get(), 0, hr));
    WAVEFORMATEXTENSIBLE wfx = KsTestWave(2, KSAUDIO_SPEAKER_STEREO);
    ASSERT_EQ(renderPin->SetFormat(&wfx.Format), S_OK);
    ASSERT_EQ(renderPin->Instantiate(looped), S_OK);
  }
  // The device's stop and reset both refused: queued requests stay queued.
  void RefuseCancellation() {
    device.Machine().ioctlFaults.push_back({IOCTL_KS_RESET_STATE, ERROR_GEN_FAILURE});
    VdPropertyFault fault = {KsGuid::PropSetConnection, KSPROPERTY_CONNECTION_STATE,
                             ERROR_GEN_FAILURE};
    fault.ulFlags = KSPROPERTY_TYPE_SET;
    device.Machine().propertyFaults.push_back(fault);
  }
  void AllowCancellation() {
    device.Machine().ioctlFaults.clear();
    device.Machine().propertyFaults.clear();
  }

  CVirtualDevice device;
  std::unique_ptr<CKsFilter> captureFilter, renderFilter;
  std::unique_ptr<CKsAudPin> capturePin, renderPin;
};

TEST_F(KsStreamTest, CapturePacketsComeInOrderAsTheDeviceFillsThem) {
  OpenCapture(false);
  CInputCaptureKS capture(4, 16 * B, capturePin.get());
  EXPECT_EQ(capture.GetSamplesPerPacket(), 16 * B);
  EXPECT_EQ(capture.GetBufferSampleCount(), 16 * B);
  EXPECT_FALSE(capture.SplitsFrames());
  EXPECT_EQ(device.PendingReads(capturePin->m_handle), 4u);
  EXPECT_EQ(capture.Start(), S_OK);
  EXPECT_FALSE(capture.WaitForPacket(0));

  std::vector<int32_t*> data;
  for (uint32_t k = 0; k < 6; ++k) {
    ASSERT_TRUE(device.Step(B));
    ASSERT_TRUE(capture.WaitForPacket(0)) << k;
    EXPECT_FALSE(capture.IsLate());
    data.push_back(capture.GetPacketData());
    ASSERT_EQ(capture.GetPacketSampleCount(), 16 * B);
    EXPECT_EQ(data[k][0], VdCaptureSample(k * B, 0));
    EXPECT_EQ(data[k][16 * B - 1], VdCaptureSample(k * B + B - 1, 15));
    capture.ReleasePacket();
    EXPECT_EQ(capture.GetPacketData(), nullptr);
    EXPECT_EQ(capture.GetPacketSampleCount(), 0u);
    EXPECT_EQ(device.PendingReads(capturePin->m_handle), 4u);
    // Nothing more has completed: a timed-out wait hands out nothing.
    EXPECT_FALSE(capture.WaitForPacket(0));
  }
  // 18432-byte packets, consecutive, in the order 0, 1, 2, 3, 0, 1.
  for (uint32_t k = 1; k < 4; ++k) EXPECT_EQ(data[k] - data[k - 1], 16 * B);
  EXPECT_EQ(data[4], data[0]);
  EXPECT_EQ(data[5], data[1]);
}

TEST_F(KsStreamTest, CaptureCountsOnlyWhatThePacketHolds) {
  OpenCapture(false);
  device.Machine().streaming.cbShortRead = 100;
  {
    CInputCaptureKS capture(4, 16 * B, capturePin.get());
    capture.Start();
    ASSERT_TRUE(device.Step(1));
    ASSERT_TRUE(capture.WaitForPacket(0));
    EXPECT_EQ(capture.GetPacketSampleCount(), 25u);  // 100 bytes
  }
  device.Machine().streaming.cbShortRead = 0;
  device.Machine().streaming.cbDataUsedExcess = 1000;
  CInputCaptureKS capture(4, 16 * B, capturePin.get());
  capture.Start();
  ASSERT_TRUE(device.Step(B));
  ASSERT_TRUE(capture.WaitForPacket(0));
  EXPECT_EQ(capture.GetPacketSampleCount(), 16 * B);
}

// Frames the device lost with no read queued: reads stamped with the
// device's time say how many, before the read that follows them; unstamped
// ones only that the device ran dry.
TEST_F(KsStreamTest, CaptureOverrunIsMissedBeforeTheNextRead) {
  OpenCapture(false);
  device.Machine().streaming.dwHostWaitMs = 0;
  for (bool stamped : {true, false}) {
    SCOPED_TRACE(stamped ? "stamped" : "unstamped");
    device.Machine().streaming.bStampReads = stamped;
    CInputCaptureKS capture(4, 16 * B, capturePin.get());
    capture.Start();
    ASSERT_TRUE(device.Step(5 * B));
    for (uint32_t k = 0; k < 4; ++k) {
      ASSERT_TRUE(capture.WaitForPacket(0));
      EXPECT_EQ(capture.IsLate(), !stamped && k == 0);
      EXPECT_EQ(capture.GetMissedSampleCount(), 0u);
      capture.ReleasePacket();
    }
    ASSERT_TRUE(device.Step(B));
    ASSERT_TRUE(capture.WaitForPacket(0));
    EXPECT_EQ(capture.GetPacketData()[0], VdCaptureSample(device.Stats().ullFrame - B, 0));
    EXPECT_EQ(capture.IsLate(), stamped);
    EXPECT_EQ(capture.GetMissedSampleCount(), stamped ? 16 * B : 0u);
  }
  EXPECT_EQ(device.Stats().ullOverrunFrames, 2 * B);
}

TEST_F(KsStreamTest, CaptureDestroyedWithReadsPendingCancelsThemFirst) {
  OpenCapture(false);
  {
    CInputCaptureKS capture(4, 16 * B, capturePin.get());
    capture.Start();
    ASSERT_TRUE(device.Step(B / 2));
  }
  EXPECT_EQ(device.PendingReads(capturePin->m_handle), 0u);

  // A device that cancels nothing: the reads' memory stays with the device,
  // which writes into it when the pin finally closes.
  RefuseCancellation();
  {
    CInputCaptureKS capture(4, 16 * B, capturePin.get());
  }
  EXPECT_EQ(device.PendingReads(capturePin->m_handle), 4u);
  AllowCancellation();
  capturePin->ClosePin();
}

TEST_F(KsStreamTest, LoopedCaptureHandsOutTheHalvesOfItsBuffer) {
  OpenCapture(true);
  CInputCaptureKS capture(4, 16 * B, capturePin.get());
  ASSERT_EQ(capture.GetSamplesPerPacket(), 16 * B);  // 36864 bytes asked and given
  EXPECT_TRUE(capture.SplitsFrames());
  capture.Start();
  // A device that never waits for its host, as hardware.
  device.Machine().streaming.dwHostWaitMs = 0;
  const int32_t* buffer = static_cast<const int32_t*>(capturePin->m_pBuffer);
  for (uint32_t k = 0; k < 4; ++k) {
    ASSERT_TRUE(device.Step(B));
    ASSERT_TRUE(capture.WaitForPacket(0));
    EXPECT_FALSE(capture.IsLate());
    EXPECT_EQ(capture.GetPacketData(), buffer + (k % 2) * 16 * B);
    EXPECT_EQ(capture.GetPacketSampleCount(), 16 * B);
    EXPECT_EQ(capture.GetPacketData()[0], VdCaptureSample(k * B, 0));
    capture.ReleasePacket();
  }
  // A packet and a half late: the device is writing the half handed out.
  ASSERT_TRUE(device.Step(2 * B + B / 2));
  ASSERT_TRUE(capture.WaitForPacket(0));
  EXPECT_TRUE(capture.IsLate());
}

// A device that waits for its host goes on into a half once its
// notification is taken: neither this stream nor another stream's wait takes
// it before the half before has been read, so that the device never comes
// nearer the half being read than the other half; nor before the next wait,
// so that it waits for the whole pass (the host's callback and the output
// written ahead).
TEST_F(KsStreamTest, LoopedCaptureLetsADeviceOnOnlyOnceTheHalfBeforeIsRead) {
  OpenCapture(true);
  CInputCaptureKS capture(4, 16 * B, capturePin.get());
  capture.Start();
  HANDLE notification = capture.NotificationEvent();
  ULONG* takenElsewhere = capture.NotificationTally();
  const ULONG* allowed = capture.NotificationAllowance();
  for (uint32_t k = 0; k < 3; ++k) {
    ASSERT_TRUE(device.Step(B));
    EXPECT_EQ(*allowed, *takenElsewhere) << "another stream may let the device into half " << k + 1;
    ASSERT_TRUE(capture.WaitForPacket(0));
    EXPECT_EQ(capture.GetPacketData()[0], VdCaptureSample(k * B, 0));
    EXPECT_FALSE(capture.IsLate());
    EXPECT_EQ(WaitForSingleObject(notification, 0), WAIT_OBJECT_0) << "not yet taken: half " << k;
    capture.ReleasePacket();
    EXPECT_EQ(WaitForSingleObject(notification, 0), WAIT_OBJECT_0) << "taken before the next wait";
    // Half k is read and the pass over: the next wait takes the notification
    // that lets the device into half k + 1.
    EXPECT_FALSE(capture.WaitForPacket(5));
    EXPECT_EQ(WaitForSingleObject(notification, 0), WAIT_TIMEOUT);
  }
}

// The wait for a half wakes at the notification that completes it, though
// it may take the notification only once that half is read: it does not
// sleep on to the end of a look's slice (a half's time, here 100 ms).
TEST_F(KsStreamTest, LoopedCaptureWakesAtTheNotificationOfTheHalfItWaitsFor) {
  OpenCapture(true);
  const uint32_t frames = 4800;
  struct Waiter {
    CInputCaptureKS capture;
    bool got;
    DWORD tookMs;
    static DWORD WINAPI Run(void* self) {
      Waiter* waiter = static_cast<Waiter*>(self);
      const DWORD started = GetTickCount();
      waiter->got = waiter->capture.WaitForPacket(5000);
      waiter->tookMs = GetTickCount() - started;
      return 0;
    }
  } waiter{CInputCaptureKS(4, 16 * frames, capturePin.get()), false, 0};
  ASSERT_EQ(waiter.capture.GetSamplesPerPacket(), 16 * frames);
  waiter.capture.Start();
  HANDLE thread = CreateThread(nullptr, 0, &Waiter::Run, &waiter, 0, nullptr);
  Sleep(20);
  ASSERT_TRUE(device.Step(frames));
  ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_TRUE(waiter.got);
  EXPECT_LT(waiter.tookMs, 60u);
}

TEST_F(KsStreamTest, LoopedCaptureTakesTheSizeThePinAllocates) {
  OpenCapture(true);
  device.Machine().rtAudio.cbRoundUp = 40000;
  {
    CInputCaptureKS capture(4, 16 * B, capturePin.get());
    EXPECT_EQ(capture.GetSamplesPerPacket(), 5000u);
  }
  capturePin->Reinstantiate();
  device.Machine().rtAudio.cbRoundUp = 0;
  device.Machine().rtAudio.cbMaximum = 1000;
  CInputCaptureKS capture(4, 16 * B, capturePin.get());
  EXPECT_EQ(capture.GetSamplesPerPacket(), 0u);
  EXPECT_EQ(capture.GetBufferSampleCount(), 0u);
  EXPECT_FALSE(capture.WaitForPacket(5000));
  EXPECT_EQ(capture.GetPacketData(), nullptr);
  EXPECT_EQ(capture.GetPacketSampleCount(), 0u);
}

TEST_F(KsStreamTest, RenderPlaysSilenceFirstThenWhatIsWrittenInOrder) {
  OpenRender(false);
  COutputRenderKS render(4, 2 * B, renderPin.get());
  EXPECT_EQ(render.GetSamplesPerPacket(), 2 * B);
  EXPECT_EQ(device.PendingWrites(renderPin->m_handle), 4u);
  EXPECT_FALSE(render.WaitForPacket(0));
  render.Start();
  EXPECT_FALSE(render.WaitForPacket(0));

  std::vector<int32_t> packet(2 * B);
  for (int32_t k = 0; k < 6; ++k) {
    ASSERT_TRUE(device.Step(B));
    ASSERT_TRUE(render.WaitForPacket(0)) << k;
    EXPECT_FALSE(render.IsLate());
    for (uint32_t i = 0; i < 2 * B; ++i) packet[i] = k * 10000 + static_cast<int32_t>(i);
    render.WritePacket(packet.data());
    render.SubmitPacket();
    EXPECT_EQ(device.PendingWrites(renderPin->m_handle), 4u);
  }
  EXPECT_EQ(render.GetQueuedAheadSamples(), 3 * 2 * B);
  device.Machine().streaming.dwHostWaitMs = 0;
  ASSERT_TRUE(device.Step(4 * B));
  const std::vector<VdRecording> recordings = device.Recordings();
  ASSERT_EQ(recordings.size(), 1u);
  const std::vector<int32_t>& played = recordings[0].samples;
  ASSERT_EQ(played.size(), 10 * 2 * B);
  for (uint32_t i = 0; i < 4 * 2 * B; ++i) ASSERT_EQ(played[i], 0);
  for (uint32_t k = 0; k < 6; ++k)
    for (uint32_t i = 0; i < 2 * B; ++i)
      ASSERT_EQ(played[(4 + k) * 2 * B + i], static_cast<int32_t>(k * 10000 + i));
  EXPECT_EQ(device.Stats().ullUnderrunFrames, 0u);
}

TEST_F(KsStreamTest, RenderDestroyedWithWritesPendingKeepsTheirMemory) {
  OpenRender(false);
  RefuseCancellation();
  {
    COutputRenderKS render(4, 2 * B, renderPin.get());
  }
  EXPECT_EQ(device.PendingWrites(renderPin->m_handle), 4u);
  AllowCancellation();
  renderPin->ClosePin();
}

TEST_F(KsStreamTest, LoopedRenderWritesTheHalvesInTurn) {
  OpenRender(true);
  COutputRenderKS render(4, 2 * B, renderPin.get());
  ASSERT_EQ(render.GetSamplesPerPacket(), 2 * B);
  EXPECT_EQ(render.GetQueuedAheadSamples(), 2 * B);
  const int32_t* buffer = static_cast<const int32_t*>(renderPin->m_pBuffer);
  std::vector<int32_t> packet(2 * B);
  render.Start();
  for (int32_t k = 0; k < 3; ++k) {
    ASSERT_TRUE(device.Step(B));
    ASSERT_TRUE(render.WaitForPacket(0));
    for (uint32_t i = 0; i < 2 * B; ++i) packet[i] = k + 1;
    render.WritePacket(packet.data());
    render.SubmitPacket();
    EXPECT_EQ(buffer[(k % 2) * 2 * B], k + 1);
    EXPECT_EQ(buffer[(k % 2) * 2 * B + 2 * B - 1], k + 1);
  }
  // Played a half after it was written.
  ASSERT_TRUE(device.Step(B));
  // A copy: Recordings() returns the recordings by value.
  const std::vector<int32_t> played = device.Recordings()[0].samples;
  EXPECT_EQ(played[2 * 2 * B], 1);
  EXPECT_EQ(played[3 * 2 * B], 2);
}

TEST_F(KsStreamTest, InertStreamsDoNothing) {
  OpenRender(true);
  renderPin->ClosePin();
  COutputRenderKS render(4, 2 * B, renderPin.get());
  EXPECT_EQ(render.GetSamplesPerPacket(), 0u);
  EXPECT_FALSE(render.WaitForPacket(5000));
  std::vector<int32_t> packet(2 * B, 7);
  render.WritePacket(packet.data());
  render.SubmitPacket();
  EXPECT_FALSE(render.IsLate());
  EXPECT_EQ(render.GetQueuedAheadSamples(), 0u);
}

}  // namespace
