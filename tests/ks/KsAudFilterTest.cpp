// CKsAudFilter, CKsAudRenFilter, CKsAudCapFilter and CKsEnumFilters against
// the default virtual machine and variations of it.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>

#include "ks/KsAudFilter.h"
#include "ks/KsEnumFilters.h"
#include "tests/support/KsTestFormats.h"
#include "tests/support/KsTraceCapture.h"
#include "virtual-device/VirtualDevice.h"

namespace {

const GUID kRenderCategories[] = {KsGuid::CategoryAudio, KsGuid::CategoryRender};
const GUID kCaptureCategories[] = {KsGuid::CategoryAudio, KsGuid::CategoryCapture};

class KsAudFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_device.Machine().bLogRequests = true;
    m_device.Install();
  }
  void TearDown() override {
    m_pEnum.reset();
    EXPECT_EQ(0u, m_device.OpenHandleCount());
  }
  VdFilter& Filter(int iFilter) { return m_device.Machine().filters[iFilter]; }
  HRESULT Enumerate(ULONG eType, const GUID* aguid, ULONG cCategories = 2) {
    HRESULT hr;
    if (!m_pEnum) m_pEnum.reset(new CKsEnumFilters(&hr));
    return m_pEnum->EnumFilters(eType, aguid, cCategories, TRUE, FALSE, TRUE);
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (auto* pNode = m_pEnum->m_listFilters.m_pFirst; pNode; pNode = pNode->pNext) {
      names.push_back(pNode->pData->m_szFriendlyName);
    }
    return names;
  }
  template <class T>
  T* FilterAt(size_t index) {
    auto* pNode = m_pEnum->m_listFilters.m_pFirst;
    while (index--) pNode = pNode->pNext;
    return dynamic_cast<T*>(pNode->pData);
  }
  CVirtualDevice m_device;
  std::unique_ptr<CKsEnumFilters> m_pEnum;
};

TEST_F(KsAudFilterTest, EnumeratesCaptureAndRenderFiltersInOrderSkippingTheRemovedAlias) {
  KsTraceCapture trace(5);
  ASSERT_EQ(S_OK, Enumerate(eCapture, kCaptureCategories));
  EXPECT_EQ(std::vector<std::string>({"USB Headset Microphone", "Quorvex Vor OD Multitrack"}),
            Names());
  EXPECT_EQ(Filter(kVdVorOdCapture).DevicePath(KsGuid::CategoryAudio),
            FilterAt<CKsFilter>(1)->m_szFilterName);
  ASSERT_NE(nullptr, FilterAt<CKsAudCapFilter>(1));
  EXPECT_EQ(static_cast<ULONG>(eCapture), FilterAt<CKsFilter>(1)->GetType());
  EXPECT_EQ(1u, trace.Count("DeviceInterfaceAlias disabled."));  // the stereo interface
  EXPECT_EQ(3u, trace.Count("Failed to get requested DeviceInterfaceAlias"));  // 3 render filters

  ASSERT_EQ(S_OK, Enumerate(eRender, kRenderCategories));
  EXPECT_EQ(std::vector<std::string>(
                {"USB Headset Earphone", "Quorvex Vor OD Chat", "Quorvex Vor OD Main"}),
            Names());
  ASSERT_NE(nullptr, FilterAt<CKsAudRenFilter>(2));
  // The first call's filters are gone: only the render filters stay open.
  EXPECT_EQ(3u, m_device.OpenHandleCount(VdHandleKind::Filter));
  EXPECT_EQ(0u, m_device.OpenHandleCount(VdHandleKind::DeviceInfoSet));
  EXPECT_EQ(0u, m_device.OpenHandleCount(VdHandleKind::InterfaceKey));
}

TEST_F(KsAudFilterTest, AudioFiltersCreateTheRightPinClasses) {
  ASSERT_EQ(S_OK, Enumerate(eCapture, kCaptureCategories));
  CKsAudCapFilter* pCapture = FilterAt<CKsAudCapFilter>(1);
  ASSERT_EQ(1u, pCapture->m_listPins.m_ulCount);  // the bridge pin is not created
  EXPECT_NE(nullptr, dynamic_cast<CKsAudCapPin*>(pCapture->m_listPins.m_pFirst->pData));
  CKsAudPin* pFirst = nullptr;
  EXPECT_EQ(S_OK, pCapture->GetCapturePin(&pFirst));
  EXPECT_EQ(pCapture->m_listPins.m_pFirst->pData, pFirst);
  EXPECT_EQ(E_POINTER, pCapture->GetCapturePin(nullptr));
}

TEST_F(KsAudFilterTest, CapturePinRefusesMaskAllAndOpensDirectOut) {
  ASSERT_EQ(S_OK, Enumerate(eCapture, kCaptureCategories));
  CKsAudCapFilter* pCapture = FilterAt<CKsAudCapFilter>(1);
  KsTraceCapture trace(1);
  WAVEFORMATEXTENSIBLE wfx = KsTestWave(16, 0x80000000);
  EXPECT_EQ(nullptr, pCapture->CreateCapturePin(&wfx.Format, 2));
  EXPECT_TRUE(trace.Has("Failed to instantiate Capture Pin"));
  wfx.dwChannelMask = 0;
  CKsAudPin* pPin = pCapture->CreateCapturePin(&wfx.Format, 2);
  ASSERT_NE(nullptr, pPin);
  EXPECT_TRUE(CKsIrpTarget::IsValidHandle(pPin->m_handle));

  // The record sent to the device, byte for byte: the constructed head with
  // looped streaming, then the KSDATAFORMAT and the extensible format.
  std::vector<VdRequest> creations = KsTestRequests(m_device, VdCall::CreatePin);
  ASSERT_EQ(2u, creations.size());
  std::vector<BYTE> expected = KsTestConnect(1, &wfx.Format, KSINTERFACE_STANDARD_LOOPED_STREAMING);
  reinterpret_cast<KSDATAFORMAT*>(expected.data() + sizeof(KSPIN_CONNECT))->SampleSize = 64;
  ASSERT_EQ(176u, creations[1].input.size());
  // Bytes 52 to 55 are padding and not written.
  EXPECT_EQ(0, memcmp(expected.data(), creations[1].input.data(), 52));
  EXPECT_EQ(0, memcmp(expected.data() + 56, creations[1].input.data() + 56, 176 - 56));

  // A second pin is refused by the device; no format fits: nothing is tried.
  m_device.ClearRequests();
  wfx.Format.nSamplesPerSec = 44100;
  wfx.Format.nAvgBytesPerSec = 44100 * wfx.Format.nBlockAlign;
  EXPECT_EQ(nullptr, pCapture->CreateCapturePin(&wfx.Format, 2));
  EXPECT_TRUE(KsTestRequests(m_device, VdCall::CreatePin).empty());
  EXPECT_EQ(nullptr, pCapture->CreateCapturePin(nullptr, 2));
  EXPECT_EQ(nullptr, pCapture->FindViablePin(nullptr));
}

TEST_F(KsAudFilterTest, RenderPinOpensForTwoChannelsWithTheInterfaceChoice) {
  ASSERT_EQ(S_OK, Enumerate(eRender, kRenderCategories));
  CKsAudRenFilter* pMain = FilterAt<CKsAudRenFilter>(2);
  WAVEFORMATEXTENSIBLE wfx = KsTestWave(2, KSAUDIO_SPEAKER_STEREO);
  EXPECT_TRUE(pMain->CanCreateRenderPin(&wfx.Format));
  CKsAudPin* pPin = pMain->CreateRenderPin(&wfx.Format, 0);
  ASSERT_NE(nullptr, pPin);
  EXPECT_NE(nullptr, dynamic_cast<CKsAudRenPin*>(pPin));
  std::vector<HANDLE> pins = m_device.PinInstances();
  ASSERT_EQ(1u, pins.size());
  VdPinInstanceInfo info = {};
  ASSERT_TRUE(m_device.GetPinInstance(pins[0], &info));
  EXPECT_EQ(kVdVorOdMain, info.iFilter);
  EXPECT_EQ(static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING), info.ulInterfaceId);

  std::vector<VdRequest> creations = KsTestRequests(m_device, VdCall::CreatePin);
  std::vector<BYTE> expected = KsTestConnect(0, &wfx.Format, KSINTERFACE_STANDARD_LOOPED_STREAMING);
  reinterpret_cast<KSDATAFORMAT*>(expected.data() + sizeof(KSPIN_CONNECT))->SampleSize = 8;
  ASSERT_EQ(expected.size(), creations[0].input.size());
  EXPECT_EQ(0, memcmp(expected.data(), creations[0].input.data(), 52));
  EXPECT_EQ(0, memcmp(expected.data() + 56, creations[0].input.data() + 56, expected.size() - 56));

  // Interface choice 1 means standard streaming whatever the pin prefers.
  pPin->ClosePin();
  ASSERT_EQ(pPin, pMain->CreateRenderPin(&wfx.Format, 1));
  ASSERT_TRUE(m_device.GetPinInstance(m_device.PinInstances()[0], &info));
  EXPECT_EQ(static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING), info.ulInterfaceId);
  WAVEFORMATEXTENSIBLE surround = KsTestWave(6, 0x3F);
  EXPECT_FALSE(pMain->CanCreateRenderPin(&surround.Format));
  EXPECT_EQ(nullptr, pMain->CreateRenderPin(nullptr, 0));
}

// Two render pins: the first admits no 24-bit format by its ranges, the
// second does. Then ranges that admit nothing: the second chance asks the
// device pin by pin.
TEST_F(KsAudFilterTest, RenderSecondChanceTriesEveryPinInOrder) {
  VdFilter& main = Filter(kVdVorOdMain);
  VdPinFactory narrow = main.pins[0];
  narrow.dataRanges[0].range.MaximumChannels = 1;
  main.pins = {narrow, main.pins[0], main.pins[1]};
  ASSERT_EQ(S_OK, Enumerate(eRender, kRenderCategories));
  CKsAudRenFilter* pMain = FilterAt<CKsAudRenFilter>(2);
  WAVEFORMATEXTENSIBLE wfx = KsTestWave(2, KSAUDIO_SPEAKER_STEREO);
  CKsAudPin* pPin = pMain->CreateRenderPin(&wfx.Format, 0);
  ASSERT_NE(nullptr, pPin);
  EXPECT_EQ(1u, pPin->GetId());
  pPin->ClosePin();

  // The device is generous where the ranges are strict: pin 1's ranges now
  // refuse 2 channels, but the device still accepts them.
  auto* pNode = pMain->m_listRenderSinkPins.m_pLast;
  static_cast<CKsAudPin*>(pNode->pData)->m_listDataRanges.m_pFirst->pData->MaximumChannels = 1;
  m_device.ClearRequests();
  KsTraceCapture trace(4);
  pPin = pMain->CreateRenderPin(&wfx.Format, 0);
  ASSERT_NE(nullptr, pPin);
  EXPECT_EQ(1u, pPin->GetId());
  EXPECT_TRUE(trace.Has("Could not find a Render pin that supports the given wave format"));
  std::vector<VdRequest> creations = KsTestRequests(m_device, VdCall::CreatePin);
  ASSERT_EQ(2u, creations.size());
  EXPECT_EQ(0, creations[0].iPin);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MATCH), creations[0].dwError);
  EXPECT_EQ(1, creations[1].iPin);
}

TEST_F(KsAudFilterTest, PinsThatAreNoneBridgeOrFailingAreSkipped) {
  VdFilter& chat = Filter(kVdVorOdChat);
  VdPinFactory none = chat.pins[0];
  none.ulCommunication = KSPIN_COMMUNICATION_NONE;
  VdPinFactory broken = chat.pins[0];
  broken.mediums.clear();  // fails its audio initialisation
  VdPinFactory source = chat.pins[0];
  source.ulCommunication = KSPIN_COMMUNICATION_SOURCE;
  chat.pins = {none, chat.pins[1], broken, source};
  KsTraceCapture trace(6);
  ASSERT_EQ(S_OK, Enumerate(eRender, kRenderCategories));
  CKsAudRenFilter* pChat = FilterAt<CKsAudRenFilter>(1);
  ASSERT_EQ(1u, pChat->m_listPins.m_ulCount);
  EXPECT_EQ(3u, pChat->m_listPins.m_pFirst->pData->GetId());
  EXPECT_EQ(typeid(CKsAudPin), typeid(*pChat->m_listPins.m_pFirst->pData));
  EXPECT_EQ(1u, pChat->m_listRenderSourcePins.m_ulCount);
  EXPECT_TRUE(pChat->m_listRenderSinkPins.IsEmpty());
  WAVEFORMATEXTENSIBLE stereo = KsTestWave(2, KSAUDIO_SPEAKER_STEREO);
  EXPECT_EQ(nullptr, pChat->CreateRenderPin(&stereo.Format, 0));
  // One bridge pin on each of the three render filters.
  EXPECT_EQ(3u, trace.Count("Pin communication value doesn't make sense"));

  // Without the source pin nothing is kept: the filter is dropped.
  chat.pins.pop_back();
  trace.Clear();
  ASSERT_EQ(S_OK, Enumerate(eRender, kRenderCategories));
  EXPECT_EQ(std::vector<std::string>({"USB Headset Earphone", "Quorvex Vor OD Main"}), Names());
  EXPECT_TRUE(trace.Has("No valid pins found on the filter"));
  EXPECT_TRUE(trace.Has("Failed to create filter for " +
                        chat.DevicePath(KsGuid::CategoryAudio)));
}

TEST_F(KsAudFilterTest, FriendlyNamesMissingFullOrTooLong) {
  Filter(kVdHeadsetRender).bHasRegistryKey = false;
  Filter(kVdVorOdChat).bHasFriendlyName = false;
  Filter(kVdVorOdMain).friendlyName = std::string(260, 'M');
  Filter(kVdVorOdMain).bFriendlyNameUnterminated = true;
  ASSERT_EQ(S_OK, Enumerate(eRender, kRenderCategories));
  EXPECT_EQ(std::vector<std::string>({"", "", std::string(259, 'M')}), Names());

  Filter(kVdVorOdMain).friendlyName = "Main " + std::string(400, 'x');
  Filter(kVdVorOdMain).bFriendlyNameUnterminated = false;
  ASSERT_EQ(S_OK, Enumerate(eRender, kRenderCategories));
  EXPECT_EQ(("Main " + std::string(400, 'x')).substr(0, 259), Names()[2]);
}

TEST_F(KsAudFilterTest, OneCategoryTakesEveryInterfaceAndOtherTypesArePlainFilters) {
  KsTraceCapture trace(3);
  const GUID audioOnly[] = {KsGuid::CategoryAudio};
  ASSERT_EQ(S_OK, Enumerate(7, audioOnly, 1));
  EXPECT_EQ(6u, m_pEnum->m_listFilters.m_ulCount);  // the stereo interface too
  EXPECT_TRUE(KsTestRequests(m_device, VdCall::GetDeviceInterfaceAlias).empty());
  EXPECT_EQ(6u, trace.Count("new CKsFilter()"));
  const CKsFilter& first = *m_pEnum->m_listFilters.m_pFirst->pData;
  EXPECT_EQ(typeid(CKsFilter), typeid(first));
  EXPECT_EQ(S_OK, m_pEnum->DestroyLists());
  EXPECT_TRUE(m_pEnum->m_listFilters.IsEmpty());
}

TEST_F(KsAudFilterTest, NothingToListIsAFailure) {
  HRESULT hr;
  m_pEnum.reset(new CKsEnumFilters(&hr));
  const GUID none[] = {KsGuid::Null};
  EXPECT_EQ(E_FAIL, m_pEnum->EnumFilters(eRender, nullptr, 2, TRUE, FALSE, TRUE));
  EXPECT_EQ(E_FAIL, m_pEnum->EnumFilters(eRender, none, 1, TRUE, FALSE, TRUE));
  EXPECT_TRUE(m_device.Requests().empty());

  // The only capture filter of a machine is not viable (its pin count fails).
  for (int iFilter : {kVdHeadsetCapture, kVdVorOdCapture}) {
    m_device.Machine().propertyFaults.push_back(
        {KsGuid::PropSetPin, KSPROPERTY_PIN_CTYPES, ERROR_GEN_FAILURE, iFilter});
  }
  KsTraceCapture trace(1);
  EXPECT_EQ(E_FAIL, Enumerate(eCapture, kCaptureCategories));
  EXPECT_TRUE(trace.Has("Failed to retrieve count of pins in audio filter"));
  EXPECT_TRUE(m_pEnum->m_listFilters.IsEmpty());
}

}  // namespace
