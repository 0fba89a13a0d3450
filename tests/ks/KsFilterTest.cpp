// CKsFilter, CKsNode and CKsList against the virtual device.
#include <gtest/gtest.h>

#include <string>

#include "ks/KsFilter.h"
#include "ks/KsPin.h"
#include "tests/support/KsTestFormats.h"
#include "tests/support/KsTraceCapture.h"
#include "virtual-device/VirtualDevice.h"

namespace {

class KsFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_device.Machine().bLogRequests = true;
    m_device.Install();
  }
  std::string Path(int iFilter) {
    return m_device.Machine().filters[iFilter].DevicePath(KsGuid::CategoryAudio);
  }
  VdFilter& Filter(int iFilter) { return m_device.Machine().filters[iFilter]; }
  CVirtualDevice m_device;
};

TEST_F(KsFilterTest, OpensByPathAndClosesOnDestruction) {
  HRESULT hr = E_FAIL;
  {
    CKsFilter filter(Path(kVdVorOdCapture).c_str(), &hr);
    ASSERT_EQ(S_OK, hr);
    EXPECT_EQ(static_cast<ULONG>(eUnknown), filter.GetType());
    EXPECT_STREQ("", filter.m_szFriendlyName);
    ASSERT_EQ(S_OK, filter.Instantiate());
    std::vector<VdRequest> opens = KsTestRequests(m_device, VdCall::CreateFile);
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ(kVdVorOdCapture, opens[0].iFilter);
    const DWORD* pdwArgs = reinterpret_cast<const DWORD*>(opens[0].input.data());
    EXPECT_EQ(GENERIC_READ | GENERIC_WRITE, pdwArgs[0]);
    EXPECT_EQ(0u, pdwArgs[1]);
    EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), pdwArgs[2]);
    EXPECT_EQ(0x40000080u, pdwArgs[3]);
    EXPECT_EQ(1u, m_device.OpenHandleCount(VdHandleKind::Filter));
  }
  EXPECT_EQ(0u, m_device.OpenHandleCount());
}

TEST_F(KsFilterTest, FilterInUseFailsToOpenWithItsError) {
  Filter(kVdVorOdMain).dwOpenError = ERROR_SHARING_VIOLATION;
  KsTraceCapture trace(1);
  HRESULT hr;
  CKsFilter filter(Path(kVdVorOdMain).c_str(), &hr);
  EXPECT_EQ(E_FAIL, filter.Instantiate());
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(filter.m_handle));
  EXPECT_TRUE(trace.Has("CKsFilter::Instantiate: CreateFile failed for device " +
                        Path(kVdVorOdMain) + ".  ErrorCode = 0x00000020"));
}

TEST_F(KsFilterTest, NullAndOverlongPaths) {
  KsTraceCapture trace(1);
  HRESULT hr = S_OK;
  CKsFilter unnamed(nullptr, &hr);
  EXPECT_EQ(E_INVALIDARG, hr);
  EXPECT_TRUE(trace.Has("pszName cannot be NULL"));
  std::string longPath(300, 'p');
  CKsFilter longFilter(longPath.c_str(), &hr);
  EXPECT_EQ(S_OK, hr);
  EXPECT_EQ(longPath.substr(0, 259), longFilter.m_szFilterName);
}

TEST_F(KsFilterTest, NodesAreListedInIdOrderAndReplacedOnASecondCall) {
  HRESULT hr;
  CKsFilter filter(Path(kVdVorOdChat).c_str(), &hr);
  ASSERT_EQ(S_OK, filter.Instantiate());
  ASSERT_EQ(S_OK, filter.EnumerateNodes());
  ASSERT_EQ(S_OK, filter.EnumerateNodes());
  ASSERT_EQ(3u, filter.m_listNodes.m_ulCount);
  ULONG nId = 0;
  for (auto* pNode = filter.m_listNodes.m_pFirst; pNode; pNode = pNode->pNext, ++nId) {
    EXPECT_EQ(nId, pNode->pData->GetId());
    EXPECT_TRUE(IsEqualGUID(Filter(kVdVorOdChat).nodes[nId], pNode->pData->GetType()));
    EXPECT_EQ(0x454E4F4Eu, pNode->pData->GetCpuResources());
  }
  HRESULT hrCopy = E_FAIL;
  CKsNode copy(filter.m_listNodes.m_pLast->pData, &hrCopy);
  EXPECT_EQ(S_OK, hrCopy);
  EXPECT_EQ(2u, copy.GetId());
  CKsNode empty(static_cast<CKsNode*>(nullptr), &hrCopy);
  EXPECT_TRUE(IsEqualGUID(KsGuid::Null, empty.GetType()));
}

// Malformed topology replies: shorter than the header, or a Count that runs
// past the bytes. The zero-filled buffer and the Count check keep every read
// inside the reply.
TEST_F(KsFilterTest, MalformedNodeRepliesLeaveNoNodes) {
  HRESULT hr;
  CKsFilter filter(Path(kVdVorOdChat).c_str(), &hr);
  ASSERT_EQ(S_OK, filter.Instantiate());
  ASSERT_EQ(S_OK, filter.EnumerateNodes());

  KSMULTIPLE_ITEM header = {sizeof(KSMULTIPLE_ITEM) + sizeof(GUID), 1000};
  std::vector<BYTE> runsPast(sizeof(header) + sizeof(GUID));
  memcpy(runsPast.data(), &header, sizeof(header));
  m_device.Machine().replyOverrides = {
      {kVdVorOdChat, -1, KsGuid::PropSetTopology, KSPROPERTY_TOPOLOGY_NODES, runsPast}};
  EXPECT_EQ(E_FAIL, filter.EnumerateNodes());
  EXPECT_TRUE(filter.m_listNodes.IsEmpty());

  m_device.Machine().replyOverrides[0].reply = {1, 0, 0};  // three bytes
  EXPECT_EQ(S_OK, filter.EnumerateNodes());
  EXPECT_TRUE(filter.m_listNodes.IsEmpty());

  m_device.Machine().propertyFaults = {
      {KsGuid::PropSetTopology, KSPROPERTY_TOPOLOGY_NODES, ERROR_NOT_FOUND}};
  KsTraceCapture trace(4);
  EXPECT_EQ(E_FAIL, filter.EnumerateNodes());
  EXPECT_TRUE(trace.Has("Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES"));
}

TEST_F(KsFilterTest, DefaultPinsAreClassifiedAndBridgesOnlyListed) {
  KsTraceCapture trace(5);
  HRESULT hr;
  CKsFilter capture(Path(kVdVorOdCapture).c_str(), &hr);
  ASSERT_EQ(S_OK, capture.Instantiate());
  ASSERT_EQ(S_OK, capture.EnumeratePins());
  EXPECT_EQ(2u, capture.m_listPins.m_ulCount);
  ASSERT_EQ(1u, capture.m_listCaptureSinkPins.m_ulCount);
  EXPECT_EQ(1u, capture.m_listCaptureSinkPins.m_pFirst->pData->GetId());
  EXPECT_TRUE(capture.m_listRenderSinkPins.IsEmpty());
  EXPECT_TRUE(capture.m_listNoCommPins.IsEmpty());
  EXPECT_EQ(1u, trace.Count("Pin communication type not recognized"));
}

// Every row of the classification table on one made-up filter: in/both,
// out/sink, out/source, in/none, data flow 0 with sink (taken as out), and a
// bridge.
TEST_F(KsFilterTest, ClassificationFollowsDataFlowAndCommunication) {
  VdFilter& filter = Filter(kVdVorOdMain);
  VdPinFactory base = filter.pins[0];
  filter.pins.clear();
  const ULONG aFlowComm[][2] = {{KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BOTH},
                                {KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK},
                                {KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SOURCE},
                                {KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE},
                                {0, KSPIN_COMMUNICATION_SINK},
                                {KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BRIDGE}};
  for (const auto& flowComm : aFlowComm) {
    base.ulDataFlow = flowComm[0];
    base.ulCommunication = flowComm[1];
    filter.pins.push_back(base);
  }
  HRESULT hr;
  CKsFilter ksFilter(Path(kVdVorOdMain).c_str(), &hr);
  ASSERT_EQ(S_OK, ksFilter.Instantiate());
  ASSERT_EQ(S_OK, ksFilter.EnumeratePins());
  auto ids = [](const CKsList<CKsPin>& list) {
    std::vector<ULONG> result;
    for (auto* pNode = list.m_pFirst; pNode; pNode = pNode->pNext) {
      result.push_back(pNode->pData->GetId());
    }
    return result;
  };
  EXPECT_EQ(6u, ksFilter.m_listPins.m_ulCount);
  EXPECT_EQ(std::vector<ULONG>({0}), ids(ksFilter.m_listRenderSinkPins));
  EXPECT_EQ(std::vector<ULONG>({0}), ids(ksFilter.m_listRenderSourcePins));
  EXPECT_EQ(std::vector<ULONG>({1, 4}), ids(ksFilter.m_listCaptureSinkPins));
  EXPECT_EQ(std::vector<ULONG>({2}), ids(ksFilter.m_listCaptureSourcePins));
  EXPECT_EQ(std::vector<ULONG>({3}), ids(ksFilter.m_listNoCommPins));

  // Pins shared by several lists are destroyed exactly once.
  KsTraceCapture trace(6);
  EXPECT_EQ(S_OK, ksFilter.DestroyLists());
  EXPECT_EQ(6u, trace.Count("CKsPin::~CKsPin() Enter"));
  EXPECT_TRUE(ksFilter.m_listRenderSinkPins.IsEmpty());
  EXPECT_TRUE(ksFilter.m_listCaptureSinkPins.IsEmpty());
}

TEST_F(KsFilterTest, FailedPinCountMakesTheFilterNotViable) {
  m_device.Machine().propertyFaults = {
      {KsGuid::PropSetPin, KSPROPERTY_PIN_CTYPES, ERROR_GEN_FAILURE}};
  KsTraceCapture trace(1);
  HRESULT hr;
  CKsFilter filter(Path(kVdVorOdCapture).c_str(), &hr);
  ASSERT_EQ(S_OK, filter.Instantiate());
  EXPECT_EQ(E_FAIL, filter.EnumeratePins());
  EXPECT_TRUE(filter.m_listPins.IsEmpty());
  EXPECT_TRUE(trace.Has("Filter is not viable. It has no pins."));
}

TEST(KsListTest, RemoveUnlinksOnlyKnownElements) {
  int a = 1, b = 2, c = 3, stranger = 4;
  CKsList<int> list;
  list.AddTail(&a);
  list.AddTail(&b);
  list.AddTail(&c);
  EXPECT_EQ(E_FAIL, list.Remove(&stranger));
  EXPECT_EQ(3u, list.m_ulCount);
  EXPECT_EQ(S_OK, list.Remove(&b));
  EXPECT_EQ(&a, list.m_pFirst->pData);
  EXPECT_EQ(&c, list.m_pFirst->pNext->pData);
  EXPECT_EQ(list.m_pFirst, list.m_pLast->pPrev);
  EXPECT_EQ(S_OK, list.Remove(&a));
  EXPECT_EQ(S_OK, list.Remove(&c));
  EXPECT_EQ(nullptr, list.m_pFirst);
  EXPECT_EQ(nullptr, list.m_pLast);
  EXPECT_EQ(0u, list.m_ulCount);
}

}  // namespace
