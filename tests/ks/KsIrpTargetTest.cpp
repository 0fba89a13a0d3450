// CKsIrpTarget: SyncIoctl's answer mapping, the property records it sends,
// GetPropertyMulti, SafeCloseHandle, and the trace printer.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "ks/KsDeviceSeam.h"
#include "ks/KsIrpTarget.h"
#include "ks/KsTrace.h"
#include "tests/support/KsIrpTargetTestAccess.h"
#include "tests/support/KsTestFormats.h"
#include "tests/support/KsTraceCapture.h"
#include "virtual-device/VirtualDevice.h"

namespace {

// A device I/O control answer scripted by the test.
struct Script {
  BOOL bResult = FALSE;
  DWORD dwError = 0;
  DWORD cbReturned = 0;
  bool bSignal = false;  // signal the OVERLAPPED's event before answering
  int calls = 0;
  ULONG_PTR hEventSeen = 0;
  std::vector<BYTE> input;
} g_script;

BOOL WINAPI ScriptedIoctl(HANDLE, DWORD, LPVOID pvIn, DWORD cbIn, LPVOID, DWORD,
                          LPDWORD pcbReturned, LPOVERLAPPED pOverlapped) {
  ++g_script.calls;
  g_script.hEventSeen = reinterpret_cast<ULONG_PTR>(pOverlapped->hEvent);
  g_script.input.assign(static_cast<BYTE*>(pvIn), static_cast<BYTE*>(pvIn) + cbIn);
  if (g_script.bSignal) {
    SetEvent(reinterpret_cast<HANDLE>(g_script.hEventSeen & ~static_cast<ULONG_PTR>(1)));
  }
  *pcbReturned = g_script.cbReturned;
  SetLastError(g_script.dwError);
  return g_script.bResult;
}

class ScriptedSeam : public ::testing::Test {
 protected:
  void SetUp() override {
    m_saved = g_ksDeviceSeam;
    g_ksDeviceSeam.DeviceIoControl = ScriptedIoctl;
    g_script = Script();
    m_hDevice = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // any valid handle
  }
  void TearDown() override {
    CloseHandle(m_hDevice);
    g_ksDeviceSeam = m_saved;
  }
  HRESULT Ioctl(ULONG ulIoctl, ULONG cbOut, ULONG* pulBytes) {
    static BYTE abOut[64];
    KSPROPERTY property = {};
    return CKsIrpTarget::SyncIoctl(m_hDevice, ulIoctl, &property, sizeof(property),
                                   cbOut ? abOut : nullptr, cbOut, pulBytes);
  }
  KsDeviceSeam m_saved;
  HANDLE m_hDevice;
};

TEST_F(ScriptedSeam, SizeQueryAnsweredWithMoreDataOrShortBufferGivesRequiredSize) {
  for (DWORD dwError : {static_cast<DWORD>(ERROR_MORE_DATA),
                        static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)}) {
    g_script.dwError = dwError;
    g_script.cbReturned = 120;
    ULONG ulBytes = 7;
    EXPECT_EQ(S_OK, Ioctl(IOCTL_KS_PROPERTY, 0, &ulBytes));
    EXPECT_EQ(120u, ulBytes);
    // The same answer to a request with an output buffer, or to another
    // control code, is a failure with no bytes.
    ulBytes = 7;
    EXPECT_EQ(E_FAIL, Ioctl(IOCTL_KS_PROPERTY, 16, &ulBytes));
    EXPECT_EQ(0u, ulBytes);
    ulBytes = 7;
    EXPECT_EQ(E_FAIL, Ioctl(IOCTL_KS_RESET_STATE, 0, &ulBytes));
    EXPECT_EQ(0u, ulBytes);
  }
}

TEST_F(ScriptedSeam, PendingRequestWaitsForTheEventAndReportsNoBytes) {
  g_script.dwError = ERROR_IO_PENDING;
  g_script.cbReturned = 40;
  g_script.bSignal = true;
  ULONG ulBytes = 9;
  EXPECT_EQ(S_OK, Ioctl(IOCTL_KS_PROPERTY, 16, &ulBytes));
  EXPECT_EQ(0u, ulBytes);
  // The event went out with its low-order bit set.
  EXPECT_EQ(1u, g_script.hEventSeen & 1);
}

TEST_F(ScriptedSeam, SuccessKeepsTheByteCountAndOtherFailuresDoNot) {
  g_script.bResult = TRUE;
  g_script.cbReturned = 12;
  ULONG ulBytes = 0;
  EXPECT_EQ(S_OK, Ioctl(IOCTL_KS_PROPERTY, 16, &ulBytes));
  EXPECT_EQ(12u, ulBytes);
  g_script = Script();
  g_script.dwError = ERROR_ACCESS_DENIED;
  g_script.cbReturned = 12;
  EXPECT_EQ(E_FAIL, Ioctl(IOCTL_KS_PROPERTY, 16, &ulBytes));
  EXPECT_EQ(0u, ulBytes);
  EXPECT_EQ(E_FAIL, Ioctl(IOCTL_KS_PROPERTY, 16, nullptr));  // a null count is fine
}

TEST_F(ScriptedSeam, InvalidHandleSendsNothingAndLeavesTheCount) {
  KsTraceCapture trace(1);
  for (HANDLE handle : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    ULONG ulBytes = 5;
    EXPECT_EQ(E_FAIL, CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0,
                                              &ulBytes));
    EXPECT_EQ(5u, ulBytes);
  }
  EXPECT_EQ(0, g_script.calls);
  EXPECT_EQ(2u, trace.Count("CKsIrpTarget::SyncIoctl Invalid Handle"));
}

TEST_F(ScriptedSeam, NodeAndChannelRecordsCarryTheirFieldsAndExtraBytes) {
  g_script.bResult = TRUE;
  CKsIrpTarget target(m_hDevice);
  ULONG ulValue = 0;
  ULONGLONG ullExtra = 0x1122334455667788ULL;
  ASSERT_EQ(S_OK, target.GetNodePropertyChannel(3, 5, KsGuid::PropSetAudio, 9, &ulValue,
                                                sizeof(ulValue), &ullExtra, sizeof(ullExtra)));
  ASSERT_EQ(sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) + 8, g_script.input.size());
  KSNODEPROPERTY_AUDIO_CHANNEL record;
  memcpy(&record, g_script.input.data(), sizeof(record));
  EXPECT_TRUE(IsEqualGUID(KsGuid::PropSetAudio, record.NodeProperty.Property.Set));
  EXPECT_EQ(9u, record.NodeProperty.Property.Id);
  EXPECT_EQ(0x10000001u, record.NodeProperty.Property.Flags);
  EXPECT_EQ(3u, record.NodeProperty.NodeId);
  EXPECT_EQ(0u, record.NodeProperty.Reserved);
  EXPECT_EQ(5u, record.Channel);
  EXPECT_EQ(0u, record.Reserved);
  EXPECT_EQ(0, memcmp(&ullExtra, g_script.input.data() + sizeof(record), 8));

  ASSERT_EQ(S_OK, target.SetNodePropertySimple(2, KsGuid::PropSetAudio, 4, &ulValue, 4));
  ASSERT_EQ(sizeof(KSNODEPROPERTY), g_script.input.size());
  KSNODEPROPERTY node;
  memcpy(&node, g_script.input.data(), sizeof(node));
  EXPECT_EQ(0x10000002u, node.Property.Flags);
  EXPECT_EQ(2u, node.NodeId);

  // A null extra pointer copies nothing but still counts in the length.
  ASSERT_EQ(S_OK, target.GetPropertySimple(KsGuid::PropSetAudio, 4, &ulValue, 4, nullptr, 8));
  EXPECT_EQ(sizeof(KSPROPERTY) + 8, g_script.input.size());
  target.m_handle = INVALID_HANDLE_VALUE;  // the test owns the handle
}

TEST_F(ScriptedSeam, GetPropertyMultiWithNothingToReadAllocatesNothing) {
  g_script.dwError = ERROR_MORE_DATA;
  g_script.cbReturned = 0;
  CKsIrpTarget target(m_hDevice);
  PKSMULTIPLE_ITEM pReply = reinterpret_cast<PKSMULTIPLE_ITEM>(&g_script);  // a sentinel
  EXPECT_EQ(S_OK, target.GetPropertyMulti(KsGuid::PropSetTopology, 1, &pReply));
  EXPECT_EQ(reinterpret_cast<PKSMULTIPLE_ITEM>(&g_script), pReply);
  EXPECT_EQ(1, g_script.calls);
  target.m_handle = INVALID_HANDLE_VALUE;
}

TEST(KsIrpTargetHandles, SafeCloseHandleClosesOnceAndResetsTheVariable) {
  HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE hCopy = hEvent;
  EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(hEvent));
  EXPECT_EQ(INVALID_HANDLE_VALUE, hEvent);
  EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(hEvent));  // no second close
  DWORD dwFlags = 0;
  EXPECT_FALSE(GetHandleInformation(hCopy, &dwFlags));
  HANDLE hNull = nullptr;
  EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(hNull));
  EXPECT_EQ(nullptr, hNull);
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(nullptr));
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(INVALID_HANDLE_VALUE));
}

TEST(KsIrpTargetProperties, RealDeviceAnswersThroughGetPropertyMulti) {
  CVirtualDevice device;
  device.Install();
  HANDLE hFilter = g_ksDeviceSeam.CreateFileA(
      device.Machine().filters[kVdVorOdCapture].DevicePath(KsGuid::CategoryAudio).c_str(),
      GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  CKsIrpTarget target(hFilter);
  PKSMULTIPLE_ITEM pReply = nullptr;
  ULONG cbReply = 0;
  ASSERT_EQ(S_OK, target.GetPropertyMulti(KsGuid::PropSetTopology, KSPROPERTY_TOPOLOGY_NODES,
                                          &pReply, &cbReply));
  ASSERT_NE(nullptr, pReply);
  EXPECT_EQ(3u, pReply->Count);
  EXPECT_EQ(sizeof(KSMULTIPLE_ITEM) + 3 * sizeof(GUID), cbReply);
  free(pReply);
  // Unknown sets and ids are refused; so are property requests without a handle.
  ULONG ulValue = 0;
  EXPECT_EQ(E_FAIL, target.GetPropertySimple(KsGuid::PropSetRtAudio, 1, &ulValue, 4));
  EXPECT_EQ(E_FAIL, target.GetPropertySimple(KsGuid::PropSetTopology, 77, &ulValue, 4));
  EXPECT_EQ(S_OK, target.PropertySetSupport(KsGuid::PropSetPin));
  EXPECT_EQ(E_FAIL, target.PropertySetSupport(KsGuid::PropSetConnection));
  ULONG ulAccess = 0;
  EXPECT_EQ(S_OK, target.PropertyBasicSupport(KsGuid::PropSetPin, KSPROPERTY_PIN_NAME, &ulAccess));
  EXPECT_EQ(static_cast<ULONG>(KSPROPERTY_TYPE_GET), ulAccess);
  // The target's event, signalled by every answer so far, is cleared when a
  // request goes pending: one that never completes times out.
  device.Machine().filters[kVdVorOdCapture].bPropertiesHang = true;
  CKsIrpTargetTestAccess bound(50);
  EXPECT_EQ(kHrKsRequestTimedOut, target.GetPropertySimple(KsGuid::PropSetPin, KSPROPERTY_PIN_CTYPES, &ulValue, 4));
  EXPECT_TRUE(target.Close());
  EXPECT_EQ(INVALID_HANDLE_VALUE, target.GetHandle());
  EXPECT_EQ(0u, device.OpenHandleCount());
}

TEST(KsTraceOutput, NothingAtLevelZeroAndLongTextsAreCut) {
  {
    KsTraceCapture trace(0);
    for (int level = 1; level <= 6; ++level) {
      KsTrace(level, "level %d", level);
    }
    EXPECT_TRUE(trace.Raw().empty());
  }
  KsTraceCapture trace(3);
  KsTrace(3, "%s", std::string(300, 'x').c_str());
  KsTrace(4, "not shown");
  ASSERT_EQ(1u, trace.Raw().size());
  EXPECT_EQ("\n[KS]:" + std::string(260, 'x'), trace.Raw()[0]);
}

}  // namespace
