// CKsPin against the virtual device: description, instantiation through the
// "ksuser.dll" entry point, states, reset and queued stream requests.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "ks/KsDeviceSeam.h"
#include "ks/KsFilter.h"
#include "ks/KsPin.h"
#include "tests/support/KsTestFormats.h"
#include "tests/support/KsTraceCapture.h"
#include "virtual-device/VirtualDevice.h"

namespace {

const ULONG kCapturePin = 1;  // pin 0 of a capture filter is its bridge

class KsPinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_device.Machine().bLogRequests = true;
    m_device.Install();
  }

  // Opens a filter of the machine (as it is now) and makes a pin on it.
  void Open(int iFilter, ULONG nPinId) {
    HRESULT hr;
    m_pFilter.reset(new CKsFilter(
        m_device.Machine().filters[iFilter].DevicePath(KsGuid::CategoryAudio).c_str(), &hr));
    ASSERT_EQ(S_OK, m_pFilter->Instantiate());
    m_pPin.reset(new CKsPin(m_pFilter.get(), nPinId, &m_hrPin));
  }

  // A pin of the multitrack filter with a 16-channel direct-out connect record.
  void OpenConnected(ULONG ulInterfaceId = KSINTERFACE_STANDARD_STREAMING) {
    Open(kVdVorOdCapture, kCapturePin);
    WAVEFORMATEXTENSIBLE wfx = KsTestWave(16, 0);
    std::vector<BYTE> connect = KsTestConnect(kCapturePin, &wfx.Format, ulInterfaceId);
    ASSERT_EQ(S_OK, m_pPin->SetPinConnect(reinterpret_cast<PKSPIN_CONNECT>(connect.data()),
                                          static_cast<ULONG>(connect.size())));
  }

  VdPinInstanceInfo Instance() {
    VdPinInstanceInfo info = {};
    EXPECT_TRUE(m_device.GetPinInstance(m_pPin->m_handle, &info));
    return info;
  }

  void TearDown() override {
    m_pPin.reset();
    m_pFilter.reset();
    EXPECT_EQ(0u, m_device.OpenHandleCount());
  }

  CVirtualDevice m_device;
  std::unique_ptr<CKsFilter> m_pFilter;
  std::unique_ptr<CKsPin> m_pPin;
  HRESULT m_hrPin = E_FAIL;
};

TEST_F(KsPinTest, ReadsTheWholeDescription) {
  Open(kVdVorOdCapture, kCapturePin);
  ASSERT_EQ(S_OK, m_hrPin);
  const PinDescriptor& d = *m_pPin->GetPinDescriptor();
  EXPECT_EQ(static_cast<ULONG>(KSPIN_COMMUNICATION_SINK), d.Communication);
  EXPECT_EQ(static_cast<ULONG>(KSPIN_DATAFLOW_OUT), d.DataFlow);
  ASSERT_EQ(2u, d.InterfacesCount);
  EXPECT_EQ(static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING), d.Interfaces[0].Id);
  EXPECT_EQ(static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING), d.Interfaces[1].Id);
  ASSERT_EQ(1u, d.MediumsCount);
  EXPECT_TRUE(IsEqualGUID(KsGuid::MediumSetStandard, d.Mediums[0].Set));
  ASSERT_EQ(1u, d.DataRangesCount);
  const KSDATARANGE_AUDIO* pRange = reinterpret_cast<const KSDATARANGE_AUDIO*>(d.DataRanges);
  EXPECT_EQ(16u, pRange->MaximumChannels);
  EXPECT_EQ(1u, d.CInstances.PossibleCount);
  EXPECT_EQ(0u, d.CInstances.CurrentCount);
  EXPECT_EQ(1u, d.CInstancesGlobal.PossibleCount);
  EXPECT_TRUE(IsEqualGUID(m_device.Machine().filters[kVdVorOdCapture].pins[1].guidCategory,
                          m_pPin->m_guidCategory));
  EXPECT_EQ(std::wstring(L"Multitrack"), m_pPin->m_szName);
  EXPECT_TRUE(m_pPin->HasDataRangeWithSpecifier(KsGuid::DataFormatSpecifierWaveFormatEx));
  EXPECT_FALSE(m_pPin->HasDataRangeWithSpecifier(KsGuid::Null));
  EXPECT_EQ(kCapturePin, m_pPin->GetId());
  EXPECT_EQ(0u, m_pPin->GetType());
}

TEST_F(KsPinTest, UnansweredQueriesLeaveZerosAndOnlyTheNameIsOptional) {
  VdMachine& machine = m_device.Machine();
  for (ULONG ulId : {0u, 2u, 3u, 5u, 6u, 7u, 8u, 11u, 12u}) {
    machine.propertyFaults.push_back({KsGuid::PropSetPin, ulId, ERROR_NOT_FOUND});
  }
  KsTraceCapture trace(3);
  Open(kVdVorOdCapture, kCapturePin);
  EXPECT_EQ(S_FALSE, m_hrPin);
  const PinDescriptor& d = *m_pPin->GetPinDescriptor();
  EXPECT_EQ(0u, d.InterfacesCount + d.MediumsCount + d.DataRangesCount + d.Communication +
                    d.DataFlow + d.CInstances.PossibleCount);
  EXPECT_EQ(nullptr, d.Interfaces);
  EXPECT_EQ(nullptr, d.DataRanges);
  EXPECT_TRUE(IsEqualGUID(KsGuid::Null, m_pPin->m_guidCategory));
  EXPECT_FALSE(m_pPin->HasDataRangeWithSpecifier(KsGuid::DataFormatSpecifierWaveFormatEx));
  EXPECT_TRUE(trace.Has("Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: 1"));
  EXPECT_TRUE(trace.Has("Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: 1"));

  machine.propertyFaults = {{KsGuid::PropSetPin, KSPROPERTY_PIN_NAME, ERROR_NOT_FOUND}};
  Open(kVdVorOdCapture, kCapturePin);
  EXPECT_EQ(S_OK, m_hrPin);
}

// Malformed description replies: shorter than the header, a Count running
// past the bytes, and data ranges whose FormatSize is 0 or runs past the
// reply. Nothing is read out of bounds and no walk loops.
TEST_F(KsPinTest, MalformedRepliesAreNotTrusted) {
  VdMachine& machine = m_device.Machine();
  KSMULTIPLE_ITEM header = {sizeof(KSMULTIPLE_ITEM) + sizeof(KSPIN_INTERFACE), 50};
  std::vector<BYTE> interfaces(sizeof(header) + sizeof(KSPIN_INTERFACE));
  memcpy(interfaces.data(), &header, sizeof(header));
  machine.replyOverrides = {
      {kVdVorOdCapture, 1, KsGuid::PropSetPin, KSPROPERTY_PIN_INTERFACES, interfaces},
      {kVdVorOdCapture, 1, KsGuid::PropSetPin, KSPROPERTY_PIN_MEDIUMS, {8, 0, 0}}};
  Open(kVdVorOdCapture, kCapturePin);
  EXPECT_EQ(S_FALSE, m_hrPin);
  EXPECT_EQ(0u, m_pPin->GetPinDescriptor()->InterfacesCount);
  EXPECT_EQ(nullptr, m_pPin->GetPinDescriptor()->Interfaces);
  EXPECT_EQ(0u, m_pPin->GetPinDescriptor()->MediumsCount);

  // Two ranges announced; the first has FormatSize 0.
  std::vector<BYTE> ranges(sizeof(KSMULTIPLE_ITEM) + 2 * sizeof(KSDATARANGE_AUDIO));
  KSMULTIPLE_ITEM rangeHeader = {static_cast<ULONG>(ranges.size()), 2};
  memcpy(ranges.data(), &rangeHeader, sizeof(rangeHeader));
  KSDATARANGE_AUDIO range =
      VdAudioRange(KsGuid::DataFormatSubtypePcm, 2, 24, 24, 48000, 48000);
  range.DataRange.FormatSize = 0;
  memcpy(ranges.data() + sizeof(rangeHeader), &range, sizeof(range));
  machine.replyOverrides = {
      {kVdVorOdCapture, 1, KsGuid::PropSetPin, KSPROPERTY_PIN_DATARANGES, ranges}};
  Open(kVdVorOdCapture, kCapturePin);
  EXPECT_FALSE(m_pPin->HasDataRangeWithSpecifier(KsGuid::DataFormatSpecifierWaveFormatEx));

  // The first range is sound, the second claims more bytes than remain.
  range.DataRange.FormatSize = sizeof(range);
  memcpy(ranges.data() + sizeof(rangeHeader), &range, sizeof(range));
  range.DataRange.FormatSize = 0x7FFFFFF0;
  range.DataRange.Specifier = KsGuid::Null;
  memcpy(ranges.data() + sizeof(rangeHeader) + sizeof(range), &range, sizeof(range));
  machine.replyOverrides[0].reply = ranges;
  Open(kVdVorOdCapture, kCapturePin);
  EXPECT_TRUE(m_pPin->HasDataRangeWithSpecifier(KsGuid::DataFormatSpecifierWaveFormatEx));
  EXPECT_FALSE(m_pPin->HasDataRangeWithSpecifier(KsGuid::Null));
}

TEST_F(KsPinTest, InstantiateWithoutConnectRecordCreatesNothing) {
  Open(kVdVorOdCapture, kCapturePin);
  EXPECT_EQ(S_OK, m_pPin->Instantiate(TRUE));
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(m_pPin->m_handle));
  EXPECT_TRUE(KsTestRequests(m_device, VdCall::CreatePin).empty());
}

TEST_F(KsPinTest, InstantiateSendsTheInterfaceOfTheLoopedFlag) {
  OpenConnected();
  ASSERT_EQ(S_OK, m_pPin->Instantiate(TRUE));
  EXPECT_EQ(static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING), Instance().ulInterfaceId);
  EXPECT_TRUE(m_pPin->m_bLooped);
  ASSERT_EQ(S_OK, m_pPin->Reinstantiate());
  EXPECT_EQ(static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING), Instance().ulInterfaceId);
  m_pPin->ClosePin();
  ASSERT_EQ(S_OK, m_pPin->Instantiate(FALSE));
  EXPECT_EQ(static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING), Instance().ulInterfaceId);
  std::vector<VdRequest> creations = KsTestRequests(m_device, VdCall::CreatePin);
  ASSERT_EQ(3u, creations.size());
  const KSPIN_CONNECT* pConnect = reinterpret_cast<const KSPIN_CONNECT*>(creations[0].input.data());
  EXPECT_EQ(1u, pConnect->Interface.Id);
  EXPECT_EQ(GENERIC_READ | GENERIC_WRITE, creations[0].ulFlags);
  EXPECT_EQ(1u, m_device.OpenHandleCount(VdHandleKind::Pin));
}

TEST_F(KsPinTest, EntryPointFallsBackToKsCreatePinAndIsCached) {
  m_device.Machine().bHasKsCreatePin2 = false;
  OpenConnected();
  ASSERT_EQ(S_OK, m_pPin->Instantiate(FALSE));
  m_pPin->ClosePin();
  ASSERT_EQ(S_OK, m_pPin->Instantiate(FALSE));
  std::vector<VdRequest> lookups = KsTestRequests(m_device, VdCall::GetProcAddress);
  ASSERT_EQ(2u, lookups.size());
  EXPECT_EQ("KsCreatePin2", lookups[0].text);
  EXPECT_EQ("KsCreatePin", lookups[1].text);
  EXPECT_EQ(1u, KsTestRequests(m_device, VdCall::LoadLibrary).size());
}

TEST_F(KsPinTest, MissingEntryPointIsFileNotFoundAndRetried) {
  m_device.Machine().bHasKsCreatePin2 = false;
  m_device.Machine().bHasKsCreatePin = false;
  OpenConnected();
  KsTraceCapture trace(1);
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), m_pPin->Instantiate(FALSE));
  EXPECT_TRUE(trace.Has("Failed to instantiate pin. hr=0x80070002"));
  m_device.Machine().bHasKsCreatePin = true;
  EXPECT_EQ(S_OK, m_pPin->Instantiate(FALSE));
  EXPECT_EQ(1u, KsTestRequests(m_device, VdCall::LoadLibrary).size());

  m_pPin->ClosePin();
  m_device.Machine().bKsUserPresent = false;
  KsResetPinCreationEntryPoint();
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), m_pPin->Instantiate(FALSE));
}

TEST_F(KsPinTest, CreationErrorsAreMappedToHresults) {
  OpenConnected();
  VdPinFactory& factory = m_device.Machine().filters[kVdVorOdCapture].pins[kCapturePin];
  factory.dwCreateError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(static_cast<HRESULT>(0x80070005), m_pPin->Instantiate(FALSE));  // KsCreatePin2
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(m_pPin->m_handle));
  factory.dwCreateError = 0x88890008;  // already an HRESULT: passed through
  EXPECT_EQ(static_cast<HRESULT>(0x88890008), m_pPin->Instantiate(FALSE));

  m_device.Machine().bHasKsCreatePin2 = false;  // KsCreatePin returns the error itself
  KsResetPinCreationEntryPoint();
  factory.dwCreateError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(static_cast<HRESULT>(0x80070005), m_pPin->Instantiate(FALSE));
  factory.dwCreateError = 0;

  // A second instance of a one-instance pin is refused by the device.
  ASSERT_EQ(S_OK, m_pPin->Instantiate(FALSE));
  HRESULT hr;
  CKsPin second(m_pFilter.get(), kCapturePin, &hr);
  EXPECT_EQ(1u, second.GetPinDescriptor()->CInstances.CurrentCount);
  WAVEFORMATEXTENSIBLE wfx = KsTestWave(16, 0);
  std::vector<BYTE> connect = KsTestConnect(kCapturePin, &wfx.Format);
  second.SetPinConnect(reinterpret_cast<PKSPIN_CONNECT>(connect.data()),
                       static_cast<ULONG>(connect.size()));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NO_SYSTEM_RESOURCES), second.Instantiate(FALSE));
}

TEST_F(KsPinTest, StatesAreSentDirectlyAndRefusalsKeepTheLastState) {
  OpenConnected();
  KSSTATE state = KSSTATE_RUN;
  KsTraceCapture trace(1);
  EXPECT_EQ(E_FAIL, m_pPin->GetState(&state));
  EXPECT_EQ(E_INVALIDARG, m_pPin->GetState(nullptr));
  EXPECT_TRUE(trace.Has("No valid pin handle"));
  EXPECT_TRUE(trace.Has("pksState == NULL"));
  ASSERT_EQ(S_OK, m_pPin->Instantiate(FALSE));
  ASSERT_EQ(S_OK, m_pPin->SetState(KSSTATE_RUN));
  EXPECT_EQ(KSSTATE_RUN, Instance().state);
  ASSERT_EQ(S_OK, m_pPin->GetState(&state));
  EXPECT_EQ(KSSTATE_RUN, state);
  m_device.Machine().propertyFaults = {
      {KsGuid::PropSetConnection, KSPROPERTY_CONNECTION_STATE, ERROR_GEN_FAILURE}};
  EXPECT_EQ(E_FAIL, m_pPin->SetState(KSSTATE_PAUSE));
  EXPECT_EQ(KSSTATE_RUN, m_pPin->m_ksState);
  EXPECT_TRUE(trace.Has("Failed to Set Pin State"));
}

TEST_F(KsPinTest, ClosePinStopsBeforeClosingAndOnlyWithAHandle) {
  OpenConnected();
  m_device.ClearRequests();
  m_pPin->ClosePin();
  EXPECT_TRUE(m_device.Requests().empty());
  ASSERT_EQ(S_OK, m_pPin->Instantiate(FALSE));
  ASSERT_EQ(S_OK, m_pPin->SetState(KSSTATE_RUN));
  m_device.ClearRequests();
  m_pPin->ClosePin();
  std::vector<VdRequest> log = m_device.Requests();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(static_cast<ULONG>(KSPROPERTY_CONNECTION_STATE), log[0].ulId);
  ASSERT_EQ(sizeof(KSSTATE), log[0].value.size());
  EXPECT_EQ(KSSTATE_STOP, *reinterpret_cast<const KSSTATE*>(log[0].value.data()));
  EXPECT_EQ(VdCall::CloseHandle, log[1].call);
  EXPECT_EQ(INVALID_HANDLE_VALUE, m_pPin->m_handle);
}

TEST_F(KsPinTest, ResetSendsBeginAndEndEvenAfterAFailure) {
  OpenConnected();
  ASSERT_EQ(S_OK, m_pPin->Instantiate(FALSE));
  m_device.Machine().ioctlFaults = {{IOCTL_KS_RESET_STATE, ERROR_GEN_FAILURE, 1}};
  m_device.ClearRequests();
  KsTraceCapture trace(1);
  EXPECT_EQ(S_OK, m_pPin->Reset());
  std::vector<VdRequest> resets = m_device.Requests();
  ASSERT_EQ(2u, resets.size());
  EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), resets[0].dwError);
  EXPECT_EQ(static_cast<BYTE>(KSRESET_BEGIN), resets[0].input[0]);
  EXPECT_EQ(static_cast<BYTE>(KSRESET_END), resets[1].input[0]);
  EXPECT_EQ(1u, trace.Count("IOCTL_KS_RESET_STATE failed"));
}

struct Packet {
  KSSTREAM_HEADER header;
  OVERLAPPED overlapped;
  BYTE data[64];
};

void Prepare(Packet* pPacket, HANDLE hEvent) {
  memset(pPacket, 0, sizeof(*pPacket));
  pPacket->header.Size = sizeof(KSSTREAM_HEADER);
  pPacket->header.FrameExtent = sizeof(pPacket->data);
  pPacket->header.DataUsed = sizeof(pPacket->data);
  pPacket->header.Data = pPacket->data;
  pPacket->overlapped.hEvent = hEvent;
}

TEST_F(KsPinTest, StreamRequestsQueueAndAreCancelledByResetStopAndClose) {
  OpenConnected();
  ASSERT_EQ(S_OK, m_pPin->Instantiate(FALSE));
  HANDLE hEvent = CreateEventA(nullptr, FALSE, TRUE, nullptr);  // starts signalled
  Packet read, write;
  Prepare(&read, hEvent);
  Prepare(&write, nullptr);
  ASSERT_EQ(S_OK, m_pPin->ReadData(&read.header, &read.overlapped));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hEvent, 0));  // reset when queued
  ASSERT_EQ(S_OK, m_pPin->WriteData(&write.header, &write.overlapped));
  EXPECT_EQ(1u, Instance().cPendingReads);
  EXPECT_EQ(1u, Instance().cPendingWrites);

  ASSERT_EQ(S_OK, m_pPin->Reset());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvent, 0));
  EXPECT_EQ(0u, read.header.DataUsed);
  EXPECT_EQ(sizeof(write.data), write.header.DataUsed);  // a write's header is left alone
  EXPECT_EQ(0xC0000120u, static_cast<ULONG>(read.overlapped.Internal));
  EXPECT_EQ(0u, Instance().cPendingReads + Instance().cPendingWrites);

  Prepare(&read, reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(hEvent) | 1));
  ASSERT_EQ(S_OK, m_pPin->ReadData(&read.header, &read.overlapped));
  ASSERT_EQ(S_OK, m_pPin->SetState(KSSTATE_RUN));
  EXPECT_EQ(1u, Instance().cPendingReads);
  ASSERT_EQ(S_OK, m_pPin->SetState(KSSTATE_STOP));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvent, 0));  // low bit masked
  Prepare(&read, hEvent);
  ASSERT_EQ(S_OK, m_pPin->ReadData(&read.header, &read.overlapped));
  m_pPin->ClosePin();
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvent, 0));
  CloseHandle(hEvent);
}

TEST_F(KsPinTest, StreamRequestsOnALoopedPinFail) {
  OpenConnected();
  ASSERT_EQ(S_OK, m_pPin->Instantiate(TRUE));
  Packet packet;
  Prepare(&packet, nullptr);
  KsTraceCapture trace(1);
  EXPECT_EQ(E_FAIL, m_pPin->ReadData(&packet.header, &packet.overlapped));
  EXPECT_EQ(E_FAIL, m_pPin->WriteData(&packet.header, &packet.overlapped));
  char szWrite[128];
  snprintf(szWrite, sizeof(szWrite), "CKsPin::WriteData's DeviceIoControl Failed!  Error=0x%#08x",
           static_cast<unsigned>(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(std::vector<std::string>({"DeviceIoControl Failed!  Error=0x00000001", szWrite}),
            trace.Lines());
}

TEST_F(KsPinTest, ConnectRecordSizeAndChannelConfig) {
  Open(kVdVorOdCapture, kCapturePin);
  std::vector<BYTE> record(sizeof(KSPIN_CONNECT));
  EXPECT_EQ(E_INVALIDARG, m_pPin->SetPinConnect(reinterpret_cast<PKSPIN_CONNECT>(record.data()),
                                                sizeof(KSPIN_CONNECT) - 1));
  EXPECT_EQ(E_INVALIDARG, m_pPin->SetPinConnect(nullptr, 200));
  EXPECT_EQ(S_OK, m_pPin->SetPinConnect(reinterpret_cast<PKSPIN_CONNECT>(record.data()),
                                        sizeof(KSPIN_CONNECT)));
  EXPECT_EQ(0u, m_pPin->m_cbPinCreate);

  OpenConnected();
  ASSERT_EQ(S_OK, m_pPin->Instantiate(FALSE));
  ULONG ulConfig = 0xFFFF;
  ASSERT_EQ(S_OK, m_pPin->GetChannelConfig(&ulConfig));
  EXPECT_EQ(0u, ulConfig);  // direct out
  WAVEFORMATEXTENSIBLE wfx = KsTestWave(2, KSAUDIO_SPEAKER_STEREO);
  std::vector<BYTE> format = KsTestConnect(kCapturePin, &wfx.Format);
  EXPECT_EQ(S_OK, m_pPin->SetFormat(reinterpret_cast<PKSDATAFORMAT>(format.data() +
                                                                    sizeof(KSPIN_CONNECT))));
  ASSERT_EQ(S_OK, m_pPin->GetChannelConfig(&ulConfig));
  EXPECT_EQ(static_cast<ULONG>(KSAUDIO_SPEAKER_STEREO), ulConfig);
}

}  // namespace
