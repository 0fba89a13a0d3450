// Hardware bring-up against the virtual Vor OD and variations of its machine.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ks/KsAudFilter.h"
#include "tests/support/DriverTestAccess.h"
#include "tests/support/FakeHost.h"
#include "driver/DeviceWaveFormat.h"
#include "tests/support/KsIrpTargetTestAccess.h"
#include "tests/support/KsTestFormats.h"
#include "tests/support/StreamingRig.h"
#include "tests/support/KsTraceCapture.h"
#include "virtual-device/VirtualDevice.h"

namespace {

using Access = CAsioDriverTestAccess;

// The channel count and mask of a pin creation's wave format.
struct Creation {
  WORD channels;
  WORD tag;
  DWORD mask;
  bool accepted;
  int filter;
};

std::vector<Creation> Creations(const CVirtualDevice& device) {
  std::vector<Creation> creations;
  for (const VdRequest& request : KsTestRequests(device, VdCall::CreatePin)) {
    const BYTE* format = request.input.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);
    Creation c = {};
    memcpy(&c.tag, format, 2);
    memcpy(&c.channels, format + 2, 2);
    if (c.tag == WAVE_FORMAT_EXTENSIBLE) memcpy(&c.mask, format + 20, 4);
    c.accepted = request.dwError == 0;
    c.filter = request.iFilter;
    creations.push_back(c);
  }
  return creations;
}

class BringUpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device.Machine().bLogRequests = true;
    device.Install();
  }
  void TearDown() override {
    driver.Release();
    EXPECT_EQ(device.OpenHandleCount(), 0u) << "a KS handle outlived the driver";
  }

  VdFilter& Filter(int index) { return device.Machine().filters[index]; }
  void RemoveFilter(int index) {
    auto& filters = device.Machine().filters;
    filters.erase(filters.begin() + index);
  }
  std::string ErrorMessage() {
    char message[124] = {};
    driver->getErrorMessage(message);
    return message;
  }
  std::string InputName(long channel) {
    ASIOChannelInfo info = {};
    info.channel = channel;
    info.isInput = ASIOTrue;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    return info.name;
  }
  std::string FriendlyNameOf(CKsAudPin* pin) { return pin->m_pFilter->m_szFriendlyName; }

  CVirtualDevice device;
  InProcessDriver driver;
};

TEST_F(BringUpTest, FindsTheVorOdAndOpensBothPins) {
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  EXPECT_EQ(ErrorMessage(), "ASIO OK");
  long inputs = 0, outputs = 0;
  ASSERT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
  EXPECT_EQ(inputs, 16);
  EXPECT_EQ(outputs, 2);
  EXPECT_EQ(InputName(0), "Left");
  EXPECT_EQ(InputName(15), "USB2 Main Right");

  CKsAudPin* capture = Access::CapturePin(driver.get());
  CKsAudPin* render = Access::RenderPin(driver.get());
  ASSERT_NE(capture, nullptr);
  ASSERT_NE(render, nullptr);
  // The capture filter's path spells the identifier in capitals.
  EXPECT_EQ(FriendlyNameOf(capture), "Quorvex Vor OD Multitrack");
  EXPECT_EQ(FriendlyNameOf(render), "Quorvex Vor OD Main");
  EXPECT_TRUE(capture->m_bLooped);
  // The headset's filters are no device filters. Mended: they are closed.
  EXPECT_EQ(Access::CaptureFilterCount(driver.get()), 1u);
  EXPECT_EQ(Access::RenderFilterCount(driver.get()), 2u);
  EXPECT_EQ(device.OpenHandleCount(VdHandleKind::Filter), 3u);

  // 16 channels: SPEAKER_ALL refused, direct out accepted.
  std::vector<Creation> creations = Creations(device);
  ASSERT_GE(creations.size(), 2u);
  EXPECT_EQ(creations[0].channels, 16);
  EXPECT_EQ(creations[0].mask, 0x80000000u);
  EXPECT_FALSE(creations[0].accepted);
  EXPECT_EQ(creations[1].channels, 16);
  EXPECT_EQ(creations[1].mask, 0u);
  EXPECT_TRUE(creations[1].accepted);
}

// Mended: a filter whose driver never answers costs one bounded request,
// cancelled, and is skipped like one that cannot be used.
TEST_F(BringUpTest, AFilterThatNeverAnswersIsSkipped) {
  device.Machine().filters.insert(device.Machine().filters.begin(), VdHangingFilter());
  CKsIrpTargetTestAccess bound(100);
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  EXPECT_EQ(FriendlyNameOf(Access::RenderPin(driver.get())), "Quorvex Vor OD Main");
  EXPECT_EQ(device.OpenHandleCount(VdHandleKind::Filter), 3u);
  size_t requests = 0;
  for (const VdRequest& request : KsTestRequests(device, VdCall::DeviceIoControl))
    requests += request.iFilter == 0;
  EXPECT_EQ(requests, 1u);
}

// Mended: a capture pin that offers standard streaming only is opened for
// it, and streams.
TEST(BringUpStreamingTest, ACapturePinWithoutLoopedStreamingStreams) {
  VdMachine machine = VdDefaultMachine();
  VdPinFactory& pin = machine.filters[kVdVorOdCapture].pins[1];
  pin.interfaces.erase(pin.interfaces.begin());  // looped streaming
  StreamingRig rig(StreamMode::Looped, machine);
  ASSERT_TRUE(rig.Init());
  EXPECT_FALSE(Access::CapturePin(rig.Asio())->m_bLooped);
  ASSERT_EQ(rig.Prepare(96, {0}, {0, 1}), ASE_OK);
  EXPECT_EQ(rig.Start(2 * 96), ASE_OK);
}

TEST_F(BringUpTest, SecondInitAfterSuccessSearchesNothing) {
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  const size_t requests = device.Requests().size();
  EXPECT_EQ(driver->init(nullptr), ASIOTrue);
  EXPECT_EQ(device.Requests().size(), requests);
}

TEST_F(BringUpTest, RenderFiltersWithoutCaptureFiltersFailInit) {
  RemoveFilter(kVdVorOdCapture);
  EXPECT_EQ(driver->init(nullptr), ASIOFalse);
  EXPECT_EQ(ErrorMessage(), "Quorvex Vor OD hardware not found.");
  long inputs = -1, outputs = -1;
  driver->getChannels(&inputs, &outputs);
  EXPECT_EQ(inputs, 0);
  EXPECT_EQ(outputs, 2);
  // The render pin found on the way stays until the next attempt.
  EXPECT_NE(Access::RenderPin(driver.get()), nullptr);
}

TEST_F(BringUpTest, ASecondInitAfterAFailureEnumeratesAfresh) {
  const VdFilter capture = Filter(kVdVorOdCapture);
  RemoveFilter(kVdVorOdCapture);
  ASSERT_EQ(driver->init(nullptr), ASIOFalse);
  const size_t handlesAfterFailure = device.OpenHandleCount();
  EXPECT_GT(handlesAfterFailure, 0u);

  auto& filters = device.Machine().filters;
  filters.insert(filters.begin() + kVdVorOdCapture, capture);
  device.ClearRequests();
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  EXPECT_EQ(ErrorMessage(), "ASIO OK");
  EXPECT_FALSE(KsTestRequests(device, VdCall::GetClassDevs).empty());
  long inputs = 0, outputs = 0;
  driver->getChannels(&inputs, &outputs);
  EXPECT_EQ(inputs, 16);
  // The first attempt's filters went before the second attempt's were made.
  EXPECT_EQ(device.OpenHandleCount(VdHandleKind::Pin), 2u);
}

TEST_F(BringUpTest, CaptureRefusingSixteenChannelsFallsBackToTwo) {
  Filter(kVdVorOdCapture).pins[1].channelConfigs = {{2, 3}};
  KsTraceCapture trace(1);
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  std::vector<Creation> creations;
  for (const Creation& c : Creations(device))
    if (c.filter == kVdVorOdCapture) creations.push_back(c);
  // Eleven masks at 16 channels reach the device and are refused, in order.
  ASSERT_EQ(creations.size(), 12u);
  for (size_t i = 0; i < 11; ++i) {
    EXPECT_EQ(creations[i].channels, 16);
    EXPECT_EQ(creations[i].mask, CaptureChannelMasks[i].dwMask);
    EXPECT_FALSE(creations[i].accepted);
  }
  // The plain PCM fallback at 16 channels fits no data range, so the pin
  // refuses it before the device is asked; then 2 channels open.
  EXPECT_EQ(trace.Count("Could not find a Capture pin that supports the given wave format"), 1u);
  EXPECT_EQ(creations[11].channels, 2);
  EXPECT_EQ(creations[11].mask, 3u);
  EXPECT_TRUE(creations[11].accepted);

  long inputs = 0, outputs = 0;
  driver->getChannels(&inputs, &outputs);
  EXPECT_EQ(inputs, 2);
  EXPECT_EQ(InputName(0), "Left");
  EXPECT_EQ(InputName(1), "Right");
  ASIOChannelInfo info = {};
  info.channel = 2;
  info.isInput = ASIOTrue;
  EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter);
}

TEST_F(BringUpTest, MainRenderFilterIsTriedFirstAndMainMeansCapitalM) {
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  std::vector<Creation> renders;
  for (const Creation& c : Creations(device))
    if (c.filter == kVdVorOdChat || c.filter == kVdVorOdMain) renders.push_back(c);
  ASSERT_EQ(renders.size(), 1u);
  EXPECT_EQ(renders[0].filter, kVdVorOdMain);
  EXPECT_EQ(renders[0].channels, 2);
  EXPECT_EQ(renders[0].mask, 3u);
}

TEST_F(BringUpTest, LowerCaseMainDoesNotCount) {
  Filter(kVdVorOdMain).friendlyName = "Quorvex Vor OD main";
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  EXPECT_EQ(FriendlyNameOf(Access::RenderPin(driver.get())), "Quorvex Vor OD Chat");
}

TEST_F(BringUpTest, MainFilterThatFailsLeavesTheOthersToTry) {
  Filter(kVdVorOdMain).pins[0].dwCreateError = ERROR_BUSY;
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  EXPECT_EQ(FriendlyNameOf(Access::RenderPin(driver.get())), "Quorvex Vor OD Chat");
  // Every attempt on "Main" comes before the first on "Chat": it is not
  // tried a second time.
  std::vector<int> order;
  for (const Creation& c : Creations(device))
    if (c.filter == kVdVorOdMain || c.filter == kVdVorOdChat) order.push_back(c.filter);
  ASSERT_GE(order.size(), 2u);
  EXPECT_EQ(order.front(), kVdVorOdMain);
  EXPECT_EQ(order.back(), kVdVorOdChat);
  size_t firstChat = 0;
  while (order[firstChat] != kVdVorOdChat) ++firstChat;
  for (size_t i = firstChat; i < order.size(); ++i) EXPECT_EQ(order[i], kVdVorOdChat);
}

TEST_F(BringUpTest, FirstCaptureFilterTakingSixteenChannelsWins) {
  // A second multitrack filter, listed first, that only takes 2 channels.
  VdFilter twoChannel = Filter(kVdVorOdCapture);
  twoChannel.referenceString = "multitrack2";
  twoChannel.instancePath = "\\\\?\\usb#vid_5e5e&pid_0a0a&mi_05#7&2b3c4d5e&0&0005";
  twoChannel.friendlyName = "Quorvex Vor OD Two";
  twoChannel.pins[1].channelConfigs = {{2, 3}};
  auto& filters = device.Machine().filters;
  filters.insert(filters.begin(), twoChannel);
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  EXPECT_EQ(FriendlyNameOf(Access::CapturePin(driver.get())), "Quorvex Vor OD Multitrack");
  long inputs = 0, outputs = 0;
  driver->getChannels(&inputs, &outputs);
  EXPECT_EQ(inputs, 16);
}

TEST_F(BringUpTest, NoCapturePinStillInitialisesButCannotStart) {
  Filter(kVdVorOdCapture).pins[1].dwCreateError = ERROR_ACCESS_DENIED;
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  EXPECT_EQ(Access::CapturePin(driver.get()), nullptr);
  long inputs = 0, outputs = 0;
  driver->getChannels(&inputs, &outputs);
  EXPECT_EQ(inputs, 2);
  FakeHost host;
  ASIOBufferInfo info = {ASIOTrue, 0, {}};
  ASSERT_EQ(driver->createBuffers(&info, 1, 288, host.Callbacks()), ASE_OK);
  EXPECT_EQ(driver->start(), ASE_NotPresent);
}

TEST_F(BringUpTest, NoDeviceAtAll) {
  device.Machine().filters.resize(2);  // the headset only
  EXPECT_EQ(driver->init(nullptr), ASIOFalse);
  EXPECT_EQ(ErrorMessage(), "Quorvex Vor OD hardware not found.");
  long inputs = -1, outputs = -1;
  driver->getChannels(&inputs, &outputs);
  EXPECT_EQ(inputs, 0);
  EXPECT_EQ(outputs, 0);
}

TEST_F(BringUpTest, ANewBufferSizeReopensBothPins) {
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  FakeHost host;
  ASIOBufferInfo info = {ASIOTrue, 0, {}};
  ASSERT_EQ(driver->createBuffers(&info, 1, 288, host.Callbacks()), ASE_OK);
  device.ClearRequests();
  ASSERT_EQ(driver->createBuffers(&info, 1, 288, host.Callbacks()), ASE_OK);
  EXPECT_TRUE(KsTestRequests(device, VdCall::CreatePin).empty());

  ASSERT_EQ(driver->createBuffers(&info, 1, 96, host.Callbacks()), ASE_OK);
  std::vector<Creation> creations = Creations(device);
  ASSERT_EQ(creations.size(), 2u);
  EXPECT_TRUE(creations[0].accepted);
  EXPECT_EQ(creations[0].filter, kVdVorOdCapture);
  EXPECT_TRUE(creations[1].accepted);
  EXPECT_EQ(creations[1].filter, kVdVorOdMain);
  EXPECT_EQ(device.OpenHandleCount(VdHandleKind::Pin), 2u);
}

}  // namespace
