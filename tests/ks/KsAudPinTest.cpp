// CKsAudPin: the connect record, Init's interface/medium/range rules, format
// matching, SetFormat's resizing and the looped-streaming buffer.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>

#include "ks/KsAudPin.h"
#include "ks/KsFilter.h"
#include "tests/support/KsTestFormats.h"
#include "tests/support/KsTraceCapture.h"
#include "virtual-device/VirtualDevice.h"

namespace {

class KsAudPinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_device.Machine().bLogRequests = true;
    m_device.Install();
  }
  void TearDown() override {
    m_pPin.reset();
    m_pFilter.reset();
    EXPECT_EQ(0u, m_device.OpenHandleCount());
  }
  VdPinFactory& Factory() { return m_device.Machine().filters[kVdVorOdCapture].pins[1]; }
  HRESULT Open() {
    HRESULT hr;
    m_pFilter.reset(new CKsFilter(
        m_device.Machine().filters[kVdVorOdCapture].DevicePath(KsGuid::CategoryAudio).c_str(),
        &hr));
    EXPECT_EQ(S_OK, m_pFilter->Instantiate());
    m_pPin.reset(new CKsAudCapPin(m_pFilter.get(), 1, hr));
    return hr;
  }
  // Instantiated for looped streaming with a 16-channel direct-out format.
  void OpenLooped() {
    ASSERT_EQ(S_OK, Open());
    WAVEFORMATEXTENSIBLE wfx = KsTestWave(16, 0);
    ASSERT_EQ(S_OK, m_pPin->SetFormat(&wfx.Format));
    ASSERT_EQ(S_OK, m_pPin->Instantiate(TRUE));
  }
  BOOL Supports(const WAVEFORMATEXTENSIBLE& wfx) { return m_pPin->IsFormatSupported(&wfx.Format); }
  VdPinInstanceInfo Instance() {
    VdPinInstanceInfo info = {};
    EXPECT_TRUE(m_device.GetPinInstance(m_pPin->m_handle, &info));
    return info;
  }
  CVirtualDevice m_device;
  std::unique_ptr<CKsFilter> m_pFilter;
  std::unique_ptr<CKsAudPin> m_pPin;
};

TEST_F(KsAudPinTest, ConnectRecordIsLaidOutByteForByte) {
  ASSERT_EQ(S_OK, Open());
  EXPECT_EQ(2u, m_pPin->GetType());
  EXPECT_EQ(154u, m_pPin->m_cbPinCreate);
  const BYTE* pb = reinterpret_cast<const BYTE*>(m_pPin->m_pksPinCreate);
  auto ulAt = [pb](size_t offset) { return *reinterpret_cast<const ULONG*>(pb + offset); };
  auto guidAt = [pb](size_t offset) { return *reinterpret_cast<const GUID*>(pb + offset); };
  EXPECT_TRUE(IsEqualGUID(KsGuid::InterfaceSetStandard, guidAt(0)));
  EXPECT_EQ(0u, ulAt(16));
  EXPECT_EQ(0u, ulAt(20));
  EXPECT_TRUE(IsEqualGUID(KsGuid::MediumSetStandard, guidAt(24)));
  EXPECT_EQ(0u, ulAt(40) | ulAt(44));
  EXPECT_EQ(1u, ulAt(48));
  EXPECT_EQ(nullptr, *reinterpret_cast<void* const*>(pb + 56));
  EXPECT_EQ(0x40000000u, ulAt(64));
  EXPECT_EQ(1u, ulAt(68));
  EXPECT_EQ(82u, ulAt(72));
  EXPECT_EQ(0u, ulAt(76) | ulAt(84));
  EXPECT_TRUE(IsEqualGUID(KsGuid::DataFormatTypeAudio, guidAt(88)));
  EXPECT_TRUE(IsEqualGUID(KsGuid::DataFormatSubtypePcm, guidAt(104)));
  EXPECT_TRUE(IsEqualGUID(KsGuid::DataFormatSpecifierWaveFormatEx, guidAt(120)));
  EXPECT_EQ(reinterpret_cast<const void*>(pb + 72), m_pPin->m_pksDataFormatWfx);
  EXPECT_EQ(1u, m_pPin->m_ulInterfaceId);  // looped streaming is listed first
  EXPECT_EQ(1u, m_pPin->m_listDataRanges.m_ulCount);
  EXPECT_EQ(nullptr, m_pPin->GetNode(0));
}

TEST_F(KsAudPinTest, SetFormatResizesTheRecordAndKeepsTheSubFormat) {
  ASSERT_EQ(S_OK, Open());
  WAVEFORMATEXTENSIBLE wfx = KsTestWave(2, KSAUDIO_SPEAKER_STEREO);
  wfx.SubFormat.Data1 = WAVE_FORMAT_IEEE_FLOAT;
  ASSERT_EQ(S_OK, m_pPin->SetFormat(&wfx.Format));
  EXPECT_EQ(176u, m_pPin->m_cbPinCreate);
  EXPECT_EQ(104u, m_pPin->m_pksDataFormatWfx->FormatSize);
  EXPECT_EQ(8u, m_pPin->m_pksDataFormatWfx->SampleSize);
  EXPECT_TRUE(IsEqualGUID(KsGuid::DataFormatSubtypePcm, m_pPin->m_pksDataFormatWfx->SubFormat));
  EXPECT_EQ(0, memcmp(m_pPin->m_pksDataFormatWfx + 1, &wfx, sizeof(wfx)));
  EXPECT_EQ(0, memcmp(m_pPin->m_pwfx, &wfx, sizeof(wfx)));
  EXPECT_EQ(1u, m_pPin->m_pksPinCreate->PinId);  // the head survives the move

  WAVEFORMATEX plain = KsTestPlainWave(2);
  plain.cbSize = 99;  // ignored for WAVE_FORMAT_PCM
  ASSERT_EQ(S_OK, m_pPin->SetFormat(&plain));
  EXPECT_EQ(154u, m_pPin->m_cbPinCreate);
  EXPECT_EQ(82u, m_pPin->m_pksDataFormatWfx->FormatSize);

  KsTraceCapture trace(1);
  EXPECT_EQ(E_FAIL, m_pPin->SetFormat(nullptr));
  EXPECT_TRUE(trace.Has("pwfx or m_pksDataFormatWfx are NULL"));
}

TEST_F(KsAudPinTest, FormatMatchingUsesValidBitsChannelsAndRateLimits) {
  ASSERT_EQ(S_OK, Open());
  WAVEFORMATEXTENSIBLE wfx = KsTestWave(16, 0x80000000);  // masks play no part here
  EXPECT_TRUE(m_pPin->IsFormatSupported(&wfx.Format));
  EXPECT_TRUE(Supports(KsTestWave(1, 4)));
  EXPECT_FALSE(Supports(KsTestWave(17, 0)));
  EXPECT_FALSE(Supports(KsTestWave(2, 3, 44100)));
  EXPECT_FALSE(Supports(KsTestWave(2, 3, 48000, 32)));
  WAVEFORMATEX plain = KsTestPlainWave(2, 48000, 32);  // 32 bits against 24..24
  EXPECT_FALSE(m_pPin->IsFormatSupported(&plain));
  plain.wBitsPerSample = 24;
  EXPECT_TRUE(m_pPin->IsFormatSupported(&plain));
  wfx.SubFormat.Data1 = WAVE_FORMAT_IEEE_FLOAT;
  EXPECT_FALSE(m_pPin->IsFormatSupported(&wfx.Format));
  EXPECT_FALSE(m_pPin->IsFormatSupported(nullptr));
}

TEST_F(KsAudPinTest, InitNeedsStandardInterfaceMediumAndWaveRanges) {
  KsTraceCapture trace(1);
  Factory().interfaces[0].Id = 7;
  Factory().interfaces[1].Set.Data1 ^= 1;
  EXPECT_EQ(E_FAIL, Open());
  EXPECT_TRUE(trace.Has("No standard streaming interfaces on the pin"));

  m_device.Machine() = VdDefaultMachine();
  Factory().interfaces[0].Id = 7;  // the second one decides
  EXPECT_EQ(S_OK, Open());
  EXPECT_EQ(0u, m_pPin->m_ulInterfaceId);

  m_device.Machine() = VdDefaultMachine();
  KSPIN_MEDIUM foreign = Factory().mediums[0];
  foreign.Id = 3;
  Factory().mediums = {foreign};
  EXPECT_EQ(E_FAIL, Open());
  EXPECT_TRUE(trace.Has("No standard streaming mediums on the pin"));
  Factory().mediums.push_back(VdDefaultMachine().filters[kVdVorOdCapture].pins[1].mediums[0]);
  EXPECT_EQ(S_OK, Open());

  // A foreign first range is skipped; once one range passes, later foreign
  // ones are kept as well.
  VdDataRange pcm = Factory().dataRanges[0];
  VdDataRange foreignRange = pcm;
  foreignRange.range.DataRange.SubFormat = KsGuid::DataFormatSpecifierWaveFormatEx;
  Factory().dataRanges = {foreignRange, pcm, foreignRange};
  EXPECT_EQ(S_OK, Open());
  EXPECT_EQ(2u, m_pPin->m_listDataRanges.m_ulCount);
  Factory().dataRanges = {foreignRange};
  EXPECT_EQ(E_FAIL, Open());
  EXPECT_TRUE(trace.Has("No audio dataranges on the pin"));

  // Wave-format ranges of a non-audio major format: viable, but nothing kept.
  pcm.range.DataRange.MajorFormat = KsGuid::DataFormatSubtypePcm;
  Factory().dataRanges = {pcm};
  EXPECT_EQ(S_OK, Open());
  EXPECT_TRUE(m_pPin->m_listDataRanges.IsEmpty());
  EXPECT_FALSE(Supports(KsTestWave(2, 3)));
}

// An audio range shorter than a KSDATARANGE_AUDIO is copied only as far as
// its FormatSize goes; the numbers behind it read as zero.
TEST_F(KsAudPinTest, ShortAudioRangeIsNotCopiedPastItsSize) {
  VdDataRange shortRange = Factory().dataRanges[0];
  shortRange.range.DataRange.FormatSize = sizeof(KSDATARANGE) + 8;  // channels and min bits
  Factory().dataRanges = {shortRange};
  ASSERT_EQ(S_OK, Open());
  ASSERT_EQ(1u, m_pPin->m_listDataRanges.m_ulCount);
  const KSDATARANGE_AUDIO* pCopy = m_pPin->m_listDataRanges.m_pFirst->pData;
  EXPECT_EQ(16u, pCopy->MaximumChannels);
  EXPECT_EQ(24u, pCopy->MinimumBitsPerSample);
  EXPECT_EQ(0u, pCopy->MaximumBitsPerSample);
  EXPECT_EQ(0u, pCopy->MaximumSampleFrequency);
}

TEST_F(KsAudPinTest, BufferRequestRetriesByTheChannelCountAndGivesUp) {
  m_device.Machine().rtAudio.cbAlign = 1024;
  OpenLooped();
  PVOID pBuffer = reinterpret_cast<PVOID>(1);
  ULONG cbBuffer = 1;
  ASSERT_EQ(S_OK, m_pPin->AllocateBuffersWithNotification(976, &pBuffer, &cbBuffer));
  std::vector<VdRequest> tries = KsTestProperties(m_device, KsGuid::PropSetRtAudio,
                                                  KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION);
  ASSERT_EQ(4u, tries.size());  // 976, 992, 1008 refused; 1024 taken
  const ULONG* pulSizes = nullptr;
  for (size_t i = 0; i < tries.size(); ++i) {
    pulSizes = reinterpret_cast<const ULONG*>(tries[i].input.data() + sizeof(KSPROPERTY) + 8);
    EXPECT_EQ(976u + 16u * i, pulSizes[0]);
    EXPECT_EQ(2u, pulSizes[1]);  // NotificationCount
  }
  EXPECT_EQ(Instance().pBuffer, pBuffer);
  EXPECT_EQ(1024u, cbBuffer);
  EXPECT_EQ(std::vector<HANDLE>({m_pPin->m_hNotificationEvent}), Instance().events);
  EXPECT_EQ(1u, KsTestProperties(m_device, KsGuid::PropSetRtAudio,
                                 KSPROPERTY_RTAUDIO_POSITIONREGISTER).size());
  m_pPin->FreeBuffersWithNotification();
  EXPECT_TRUE(Instance().events.empty());
  EXPECT_EQ(nullptr, m_pPin->m_hNotificationEvent);

  m_device.Machine().rtAudio.cbAlign = 0;
  m_device.Machine().rtAudio.cbMaximum = 100;
  m_pPin->Reinstantiate();
  m_device.ClearRequests();
  KsTraceCapture trace(1);
  EXPECT_EQ(E_FAIL, m_pPin->AllocateBuffersWithNotification(65000, &pBuffer, &cbBuffer));
  EXPECT_EQ(nullptr, pBuffer);
  EXPECT_EQ(0u, cbBuffer);
  EXPECT_EQ(34u, KsTestProperties(m_device, KsGuid::PropSetRtAudio,
                                  KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION).size());
  EXPECT_TRUE(trace.Has("Failed to allocate audio buffers - 0x80004005"));
  EXPECT_EQ(nullptr, m_pPin->m_hNotificationEvent);
}

TEST_F(KsAudPinTest, LaterAllocationsReuseTheBufferAndReleaseTheOldEvent) {
  OpenLooped();
  PVOID pFirst = nullptr, pSecond = nullptr;
  ULONG cbFirst = 0, cbSecond = 0;
  ASSERT_EQ(S_OK, m_pPin->AllocateBuffersWithNotification(4096, &pFirst, &cbFirst));
  HANDLE hFirstEvent = m_pPin->m_hNotificationEvent;
  m_device.ClearRequests();
  // Still registered: the old event is unregistered and closed first.
  ASSERT_EQ(S_OK, m_pPin->AllocateBuffersWithNotification(4096, &pSecond, &cbSecond));
  EXPECT_EQ(pFirst, pSecond);
  EXPECT_EQ(cbFirst, cbSecond);
  EXPECT_TRUE(KsTestProperties(m_device, KsGuid::PropSetRtAudio,
                               KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION).empty());
  std::vector<VdRequest> log = m_device.Requests();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(static_cast<ULONG>(KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT), log[0].ulId);
  EXPECT_EQ(0u, log[0].dwError);
  EXPECT_EQ(static_cast<ULONG>(KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT), log[1].ulId);
  EXPECT_EQ(std::vector<HANDLE>({m_pPin->m_hNotificationEvent}), Instance().events);
  EXPECT_EQ(0, memcmp(log[0].input.data() + sizeof(KSPROPERTY), &hFirstEvent, sizeof(HANDLE)));

  // Reinstantiate releases the event; the new handle has no buffer yet.
  ASSERT_EQ(S_OK, m_pPin->Reinstantiate());
  EXPECT_EQ(nullptr, m_pPin->m_hNotificationEvent);
  EXPECT_EQ(nullptr, m_pPin->m_pBuffer);
  EXPECT_EQ(0u, m_pPin->m_cbBuffer);
  EXPECT_EQ(nullptr, Instance().pBuffer);
}

TEST_F(KsAudPinTest, FailedRegistrationKeepsTheEventForFree) {
  OpenLooped();
  m_device.Machine().propertyFaults = {{KsGuid::PropSetRtAudio,
                                        KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT,
                                        ERROR_GEN_FAILURE}};
  PVOID pBuffer;
  ULONG cbBuffer;
  EXPECT_EQ(E_FAIL, m_pPin->AllocateBuffersWithNotification(4096, &pBuffer, &cbBuffer));
  EXPECT_NE(nullptr, m_pPin->m_hNotificationEvent);
  EXPECT_NE(nullptr, m_pPin->m_pBuffer);
  m_pPin->FreeBuffersWithNotification();
  EXPECT_EQ(nullptr, m_pPin->m_hNotificationEvent);
}

TEST_F(KsAudPinTest, PositionAndLatency) {
  OpenLooped();
  KSAUDIO_POSITION position = {4800, 9600};
  ASSERT_EQ(S_OK, m_pPin->SetPosition(&position));
  KSAUDIO_POSITION readBack = {};
  ASSERT_EQ(S_OK, m_pPin->GetPosition(&readBack));
  EXPECT_EQ(4800u, readBack.PlayOffset);
  EXPECT_EQ(9600u, readBack.WriteOffset);
  // The device's delay, from the FIFO and the converter's 100-ns units.
  KSRTAUDIO_HWLATENCY latency = {};
  ASSERT_EQ(S_OK, m_pPin->GetHWLatency(&latency));
  EXPECT_EQ(kVdCaptureDelayFrames / 2 * 64, latency.FifoSize);
  ULONG frames = 0;
  ASSERT_EQ(S_OK, m_pPin->GetDeviceDelayFrames(&frames));
  EXPECT_EQ(kVdCaptureDelayFrames, frames);
  m_device.ClearRequests();
  EXPECT_EQ(E_INVALIDARG, m_pPin->GetPosition(nullptr));
  EXPECT_EQ(E_INVALIDARG, m_pPin->SetPosition(nullptr));
  EXPECT_EQ(E_INVALIDARG, m_pPin->GetHWLatency(nullptr));
  EXPECT_TRUE(m_device.Requests().empty());
  m_device.Machine().propertyFaults = {
      {KsGuid::PropSetAudio, KSPROPERTY_AUDIO_POSITION, ERROR_GEN_FAILURE}};
  KsTraceCapture trace(1);
  EXPECT_EQ(E_FAIL, m_pPin->GetPosition(&readBack));
  EXPECT_TRUE(trace.Has("Failed to retrieve audio stream position - 0x80004005"));
}

}  // namespace
