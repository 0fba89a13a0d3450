// The virtual device answers as Windows documents: size queries, refusals,
// instance limits, pin creation checks, SetupAPI and registry answers, the
// RtAudio properties, stream I/O and handle accounting.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "ks/KsDeviceSeam.h"
#include "tests/support/KsTestFormats.h"
#include "virtual-device/VirtualDevice.h"

namespace {

class VirtualDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_device.Install();
    m_hFilter = Open(kVdVorOdCapture);
  }
  void TearDown() override {
    if (m_hFilter != INVALID_HANDLE_VALUE) g_ksDeviceSeam.CloseHandle(m_hFilter);
  }
  HANDLE Open(int iFilter) {
    return g_ksDeviceSeam.CreateFileA(
        m_device.Machine().filters[iFilter].DevicePath(KsGuid::CategoryAudio).c_str(),
        GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  }
  // One pin property get on the filter; returns the error (0 on success).
  DWORD PinGet(ULONG ulId, ULONG nPinId, void* pvOut, ULONG cbOut, DWORD* pcbReturned,
               ULONG ulFlags = KSPROPERTY_TYPE_GET, REFGUID guidSet = KsGuid::PropSetPin) {
    KSP_PIN request = {};
    request.Property.Set = guidSet;
    request.Property.Id = ulId;
    request.Property.Flags = ulFlags;
    request.PinId = nPinId;
    *pcbReturned = 0xDEAD;
    SetLastError(0);
    BOOL bOk = g_ksDeviceSeam.DeviceIoControl(m_hFilter, IOCTL_KS_PROPERTY, &request,
                                              sizeof(request), pvOut, cbOut, pcbReturned, nullptr);
    return bOk ? 0 : GetLastError();
  }
  PFN_KSCREATEPIN EntryPoint(const char* pszName) {
    HMODULE hKsUser = g_ksDeviceSeam.LoadLibraryA("ksuser.dll");
    return reinterpret_cast<PFN_KSCREATEPIN>(
        reinterpret_cast<void*>(g_ksDeviceSeam.GetProcAddress(hKsUser, pszName)));
  }
  DWORD CreatePin(const WAVEFORMATEX* pwfx, HANDLE* phPin, ULONG ulInterface = 0,
                  ULONG nPinId = 1) {
    std::vector<BYTE> connect = KsTestConnect(nPinId, pwfx, ulInterface);
    *phPin = nullptr;
    return static_cast<DWORD>(EntryPoint("KsCreatePin")(
        m_hFilter, reinterpret_cast<PKSPIN_CONNECT>(connect.data()),
        GENERIC_READ | GENERIC_WRITE, phPin));
  }
  DWORD PinIoctl(HANDLE hPin, ULONG ulIoctl, void* pvIn, ULONG cbIn, void* pvOut, ULONG cbOut,
                 LPOVERLAPPED pOverlapped = nullptr) {
    DWORD cbReturned = 0;
    SetLastError(0);
    return g_ksDeviceSeam.DeviceIoControl(hPin, ulIoctl, pvIn, cbIn, pvOut, cbOut, &cbReturned,
                                          pOverlapped)
               ? 0
               : GetLastError();
  }
  CVirtualDevice m_device;
  HANDLE m_hFilter = INVALID_HANDLE_VALUE;
};

TEST_F(VirtualDeviceTest, SizeQueriesAndShortBuffersOfMultipleItems) {
  DWORD cbReturned;
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA),
            PinGet(KSPROPERTY_PIN_DATARANGES, 1, nullptr, 0, &cbReturned));
  EXPECT_EQ(sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO), cbReturned);
  std::vector<BYTE> reply(cbReturned);
  ULONG ulSize = 0;
  EXPECT_EQ(0u, PinGet(KSPROPERTY_PIN_DATARANGES, 1, &ulSize, 4, &cbReturned));
  EXPECT_EQ(reply.size(), ulSize);
  KSMULTIPLE_ITEM header = {};
  EXPECT_EQ(0u, PinGet(KSPROPERTY_PIN_DATARANGES, 1, &header, 8, &cbReturned));
  EXPECT_EQ(1u, header.Count);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
            PinGet(KSPROPERTY_PIN_DATARANGES, 1, reply.data(), 20, &cbReturned));
  EXPECT_EQ(0u, cbReturned);
  EXPECT_EQ(0u, PinGet(KSPROPERTY_PIN_DATARANGES, 1, reply.data(),
                       static_cast<ULONG>(reply.size()), &cbReturned));
  // A bridge's plain KSDATARANGE is padded to 8 bytes; the analog sub-type.
  EXPECT_EQ(0u, PinGet(KSPROPERTY_PIN_DATARANGES, 0, reply.data(),
                       static_cast<ULONG>(reply.size()), &cbReturned));
  EXPECT_EQ(sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE), cbReturned);
  // Fixed-size values have size queries too.
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA),
            PinGet(KSPROPERTY_PIN_CINSTANCES, 1, nullptr, 0, &cbReturned));
  EXPECT_EQ(sizeof(KSPIN_CINSTANCES), cbReturned);
  WCHAR szName[32];
  EXPECT_EQ(0u, PinGet(KSPROPERTY_PIN_NAME, 1, szName, sizeof(szName), &cbReturned));
  EXPECT_EQ(sizeof(L"Multitrack"), cbReturned);
}

TEST_F(VirtualDeviceTest, RefusesUnknownSetsIdsPinsAndSets) {
  DWORD cbReturned;
  ULONG ulValue;
  EXPECT_EQ(static_cast<DWORD>(ERROR_SET_NOT_FOUND),
            PinGet(0, 1, &ulValue, 4, &cbReturned, KSPROPERTY_TYPE_GET, KsGuid::PropSetAudio));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), PinGet(40, 1, &ulValue, 4, &cbReturned));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            PinGet(KSPROPERTY_PIN_DATAFLOW, 9, &ulValue, 4, &cbReturned));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION),
            PinGet(KSPROPERTY_PIN_DATAFLOW, 1, &ulValue, 4, &cbReturned, KSPROPERTY_TYPE_SET));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            PinIoctl(m_hFilter, IOCTL_KS_PROPERTY, &ulValue, 4, &ulValue, 4));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION),
            PinIoctl(m_hFilter, IOCTL_KS_RESET_STATE, &ulValue, 4, nullptr, 0));
}

TEST_F(VirtualDeviceTest, PinCreationChecksTheConnectAndTheInstanceLimit) {
  WAVEFORMATEXTENSIBLE direct = KsTestWave(16, 0);
  HANDLE hPin, hSecond;
  ASSERT_EQ(0u, CreatePin(&direct.Format, &hPin));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES), CreatePin(&direct.Format, &hSecond));
  KSPIN_CINSTANCES instances = {};
  DWORD cbReturned;
  ASSERT_EQ(0u, PinGet(KSPROPERTY_PIN_CINSTANCES, 1, &instances, sizeof(instances), &cbReturned));
  EXPECT_EQ(1u, instances.CurrentCount);
  EXPECT_TRUE(g_ksDeviceSeam.CloseHandle(hPin));
  ASSERT_EQ(0u, PinGet(KSPROPERTY_PIN_CINSTANCES, 1, &instances, sizeof(instances), &cbReturned));
  EXPECT_EQ(0u, instances.CurrentCount);

  const DWORD kNoMatch = ERROR_NO_MATCH;
  WAVEFORMATEXTENSIBLE wrong = KsTestWave(16, KSAUDIO_SPEAKER_STEREO);
  EXPECT_EQ(kNoMatch, CreatePin(&wrong.Format, &hPin));       // mask
  wrong = KsTestWave(2, KSAUDIO_SPEAKER_STEREO, 48000, 24, 24);
  EXPECT_EQ(kNoMatch, CreatePin(&wrong.Format, &hPin));       // container
  wrong = KsTestWave(2, KSAUDIO_SPEAKER_STEREO);
  wrong.Format.nBlockAlign = 6;
  EXPECT_EQ(kNoMatch, CreatePin(&wrong.Format, &hPin));       // block alignment
  WAVEFORMATEX plain = KsTestPlainWave(2);
  EXPECT_EQ(kNoMatch, CreatePin(&plain, &hPin));              // 32 valid bits
  EXPECT_EQ(kNoMatch, CreatePin(&direct.Format, &hPin, 5));   // interface
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES),
            CreatePin(&direct.Format, &hPin, 0, 0));          // a bridge has no instances
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), CreatePin(&direct.Format, &hPin, 0, 7));
  EXPECT_EQ(nullptr, hPin);

  // KsCreatePin2 answers the HRESULT of the same refusal.
  std::vector<BYTE> connect = KsTestConnect(1, &wrong.Format);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NO_MATCH),
            EntryPoint("KsCreatePin2")(m_hFilter, reinterpret_cast<PKSPIN_CONNECT>(connect.data()),
                                       GENERIC_READ, &hPin));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE),
            EntryPoint("KsCreatePin2")(INVALID_HANDLE_VALUE,
                                       reinterpret_cast<PKSPIN_CONNECT>(connect.data()),
                                       GENERIC_READ, &hPin));
  m_device.Machine().bHasKsCreatePin2 = false;
  EXPECT_EQ(nullptr, EntryPoint("KsCreatePin2"));
  EXPECT_EQ(0u, m_device.OpenHandleCount(VdHandleKind::Pin));
}

TEST_F(VirtualDeviceTest, HandlesAreCountedAndForeignOnesPassedOn) {
  EXPECT_EQ(1u, m_device.OpenHandleCount());
  HANDLE hOwn = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_TRUE(g_ksDeviceSeam.CloseHandle(hOwn));  // closed by Windows
  DWORD dwFlags;
  EXPECT_FALSE(GetHandleInformation(hOwn, &dwFlags));
  EXPECT_EQ(1u, m_device.OpenHandleCount());
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            g_ksDeviceSeam.CreateFileA("\\\\?\\nothing", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  m_device.Machine().filters[kVdVorOdMain].dwOpenError = ERROR_SHARING_VIOLATION;
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(kVdVorOdMain));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_EQ(1u, m_device.OpenHandleCount(VdHandleKind::Filter));

  g_ksDeviceSeam.CloseHandle(m_hFilter);
  m_hFilter = INVALID_HANDLE_VALUE;
  EXPECT_EQ(0u, m_device.OpenHandleCount());
  m_device.Uninstall();
  KsDeviceSeam windows = KsWindowsDeviceSeam();
  EXPECT_EQ(windows.DeviceIoControl, g_ksDeviceSeam.DeviceIoControl);
  EXPECT_EQ(windows.SetupDiGetClassDevsA, g_ksDeviceSeam.SetupDiGetClassDevsA);
}

TEST_F(VirtualDeviceTest, SetupApiListsInterfacesAliasesPathsAndNames) {
  HDEVINFO hSet = g_ksDeviceSeam.SetupDiGetClassDevsA(&KsGuid::CategoryCapture, nullptr, nullptr,
                                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, hSet);
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof(data);
  std::vector<int> listed;
  for (DWORD i = 0; g_ksDeviceSeam.SetupDiEnumDeviceInterfaces(hSet, nullptr,
                                                              &KsGuid::CategoryCapture, i, &data);
       ++i) {
    listed.push_back(static_cast<int>(data.Reserved - 1));
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  EXPECT_EQ(std::vector<int>({kVdHeadsetCapture, kVdVorOdCapture}), listed);

  ASSERT_TRUE(g_ksDeviceSeam.SetupDiEnumDeviceInterfaces(hSet, nullptr, &KsGuid::CategoryCapture,
                                                         1, &data));
  DWORD cbRequired = 0;
  EXPECT_FALSE(g_ksDeviceSeam.SetupDiGetDeviceInterfaceDetailA(hSet, &data, nullptr, 0,
                                                               &cbRequired, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  std::vector<BYTE> detailBytes(cbRequired);
  auto* pDetail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detailBytes.data());
  pDetail->cbSize = 5;
  EXPECT_FALSE(g_ksDeviceSeam.SetupDiGetDeviceInterfaceDetailA(hSet, &data, pDetail, cbRequired,
                                                               nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), GetLastError());
  pDetail->cbSize = sizeof(*pDetail);
  ASSERT_TRUE(g_ksDeviceSeam.SetupDiGetDeviceInterfaceDetailA(hSet, &data, pDetail, cbRequired,
                                                              nullptr, nullptr));
  EXPECT_EQ(std::string("\\\\?\\USB#VID_5E5E&PID_0A0A&MI_01#7&2B3C4D5E&0&0001"
                        "#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\multitrack"),
            pDetail->DevicePath);

  SP_DEVICE_INTERFACE_DATA alias = {};
  alias.cbSize = sizeof(alias);
  ASSERT_TRUE(g_ksDeviceSeam.SetupDiGetDeviceInterfaceAlias(hSet, &data, &KsGuid::CategoryAudio,
                                                            &alias));
  EXPECT_EQ(static_cast<DWORD>(SPINT_ACTIVE), alias.Flags);
  EXPECT_FALSE(g_ksDeviceSeam.SetupDiGetDeviceInterfaceAlias(hSet, &data, &KsGuid::CategoryRender,
                                                             &alias));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DEVICE_INTERFACE), GetLastError());

  HKEY hKey = g_ksDeviceSeam.SetupDiOpenDeviceInterfaceRegKey(hSet, &data, 0, KEY_READ);
  ASSERT_NE(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE), hKey);
  DWORD cbName = 0, dwType = 0;
  EXPECT_EQ(ERROR_SUCCESS, g_ksDeviceSeam.RegQueryValueExA(hKey, "FriendlyName", nullptr, &dwType,
                                                           nullptr, &cbName));
  EXPECT_EQ(sizeof("Quorvex Vor OD Multitrack"), cbName);
  char szShort[8];
  cbName = sizeof(szShort);
  EXPECT_EQ(ERROR_MORE_DATA, g_ksDeviceSeam.RegQueryValueExA(hKey, "FriendlyName", nullptr,
                                                             &dwType,
                                                             reinterpret_cast<BYTE*>(szShort),
                                                             &cbName));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, g_ksDeviceSeam.RegQueryValueExA(hKey, "Other", nullptr, nullptr,
                                                                  nullptr, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, g_ksDeviceSeam.RegCloseKey(hKey));
  m_device.Machine().filters[kVdVorOdCapture].bHasRegistryKey = false;
  EXPECT_EQ(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE),
            g_ksDeviceSeam.SetupDiOpenDeviceInterfaceRegKey(hSet, &data, 0, KEY_READ));
  EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST), GetLastError());
  EXPECT_TRUE(g_ksDeviceSeam.SetupDiDestroyDeviceInfoList(hSet));
  EXPECT_EQ(1u, m_device.OpenHandleCount());
}

TEST_F(VirtualDeviceTest, RtAudioBuffersEventsAndRegisters) {
  m_device.Machine().rtAudio.cbRoundUp = 4096;
  WAVEFORMATEXTENSIBLE wfx = KsTestWave(2, KSAUDIO_SPEAKER_STEREO);
  HANDLE hStandard, hLooped;
  ASSERT_EQ(0u, CreatePin(&wfx.Format, &hLooped, KSINTERFACE_STANDARD_LOOPED_STREAMING));

  KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request = {};
  request.Property.Set = KsGuid::PropSetRtAudio;
  request.Property.Id = KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.RequestedBufferSize = 5000;
  request.NotificationCount = 2;
  KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY registration = {};
  registration.Property.Set = KsGuid::PropSetRtAudio;
  registration.Property.Id = KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT;
  registration.Property.Flags = KSPROPERTY_TYPE_SET;
  registration.NotificationEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED),
            PinIoctl(hLooped, IOCTL_KS_PROPERTY, &registration, sizeof(registration), nullptr, 0));

  KSRTAUDIO_BUFFER buffer = {};
  ASSERT_EQ(0u, PinIoctl(hLooped, IOCTL_KS_PROPERTY, &request, sizeof(request), &buffer,
                         sizeof(buffer)));
  EXPECT_EQ(8192u, buffer.ActualBufferSize);
  memset(buffer.BufferAddress, 0x5A, buffer.ActualBufferSize);  // real, writable memory
  ASSERT_EQ(0u, PinIoctl(hLooped, IOCTL_KS_PROPERTY, &registration, sizeof(registration),
                         nullptr, 0));
  VdPinInstanceInfo info = {};
  ASSERT_TRUE(m_device.GetPinInstance(hLooped, &info));
  EXPECT_EQ(std::vector<HANDLE>({registration.NotificationEvent}), info.events);
  EXPECT_EQ(2u, info.ulNotificationCount);

  KSRTAUDIO_HWREGISTER_PROPERTY regRequest = {};
  regRequest.Property = request.Property;
  regRequest.Property.Id = KSPROPERTY_RTAUDIO_POSITIONREGISTER;
  KSRTAUDIO_HWREGISTER reg = {};
  ASSERT_EQ(0u, PinIoctl(hLooped, IOCTL_KS_PROPERTY, &regRequest, sizeof(regRequest), &reg,
                         sizeof(reg)));
  EXPECT_EQ(const_cast<ULONG*>(info.pulPositionRegister), reg.Register);
  EXPECT_EQ(32u, reg.Width);
  EXPECT_EQ(8u, reg.Accuracy);
  // Mapped once in the instance's life, as Windows maps a register.
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY),
            PinIoctl(hLooped, IOCTL_KS_PROPERTY, &regRequest, sizeof(regRequest), &reg, sizeof(reg)));
  regRequest.Property.Id = KSPROPERTY_RTAUDIO_CLOCKREGISTER;
  ASSERT_EQ(0u, PinIoctl(hLooped, IOCTL_KS_PROPERTY, &regRequest, sizeof(regRequest), &reg,
                         sizeof(reg)));
  EXPECT_EQ(64u, reg.Width);
  EXPECT_EQ(48000u, reg.Numerator / reg.Denominator);

  // Refusals: a size off the configured block, and any allocation while running.
  m_device.Machine().rtAudio.cbAlign = 1024;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            PinIoctl(hLooped, IOCTL_KS_PROPERTY, &request, sizeof(request), &buffer,
                     sizeof(buffer)));
  KSPROPERTY state = {};
  state.Set = KsGuid::PropSetConnection;
  state.Id = KSPROPERTY_CONNECTION_STATE;
  state.Flags = KSPROPERTY_TYPE_SET;
  KSSTATE run = KSSTATE_RUN;
  ASSERT_EQ(0u, PinIoctl(hLooped, IOCTL_KS_PROPERTY, &state, sizeof(state), &run, sizeof(run)));
  request.RequestedBufferSize = 4096;
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_COMMAND),
            PinIoctl(hLooped, IOCTL_KS_PROPERTY, &request, sizeof(request), &buffer,
                     sizeof(buffer)));
  g_ksDeviceSeam.CloseHandle(hLooped);
  CloseHandle(registration.NotificationEvent);

  // A pin instantiated for standard streaming has no RtAudio set.
  ASSERT_EQ(0u, CreatePin(&wfx.Format, &hStandard));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SET_NOT_FOUND),
            PinIoctl(hStandard, IOCTL_KS_PROPERTY, &request, sizeof(request), &buffer,
                     sizeof(buffer)));
  g_ksDeviceSeam.CloseHandle(hStandard);
}

TEST_F(VirtualDeviceTest, StreamRequestsAreRefusedDuringReset) {
  WAVEFORMATEXTENSIBLE wfx = KsTestWave(2, KSAUDIO_SPEAKER_STEREO);
  HANDLE hPin;
  ASSERT_EQ(0u, CreatePin(&wfx.Format, &hPin));
  KSSTREAM_HEADER header = {};
  header.Size = sizeof(header);
  BYTE data[16];
  header.Data = data;
  header.FrameExtent = sizeof(data);
  OVERLAPPED overlapped = {};
  ULONG ulReset = KSRESET_BEGIN;
  ASSERT_EQ(0u, PinIoctl(hPin, IOCTL_KS_RESET_STATE, &ulReset, 4, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY),
            PinIoctl(hPin, IOCTL_KS_READ_STREAM, nullptr, 0, &header, sizeof(header), &overlapped));
  ulReset = KSRESET_END;
  ASSERT_EQ(0u, PinIoctl(hPin, IOCTL_KS_RESET_STATE, &ulReset, 4, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING),
            PinIoctl(hPin, IOCTL_KS_READ_STREAM, nullptr, 0, &header, sizeof(header), &overlapped));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            PinIoctl(hPin, IOCTL_KS_READ_STREAM, nullptr, 0, &header, sizeof(header), nullptr));
  header.Data = nullptr;
  OVERLAPPED second = {};
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOACCESS),
            PinIoctl(hPin, IOCTL_KS_READ_STREAM, nullptr, 0, &header, sizeof(header), &second));
  g_ksDeviceSeam.CloseHandle(hPin);  // cancels the pending read
  EXPECT_EQ(0xC0000120u, static_cast<ULONG>(overlapped.Internal));
}

}  // namespace
