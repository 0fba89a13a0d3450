// The virtual device behind the seam: installing it, the handles it owns and
// closes, and the operations tests call. What it answers is described in
// VirtualDevice.h; the answers themselves live in the files that
// VirtualDeviceImpl.h lists.
#include "virtual-device/VirtualDevice.h"

#include "virtual-device/VirtualDeviceImpl.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace {

const LONG kStatusCancelled = static_cast<LONG>(0xC0000120);

}  // namespace

CVirtualDevice::Impl* CVirtualDevice::Impl::s_pInstalled = nullptr;
BYTE CVirtualDevice::Impl::s_ksuserModule = 0;

// ------------------------------------------------------------- handles

void CVirtualDevice::Impl::CancelPending(PinInstance* pInstance) {
  while (!pInstance->pending.empty()) {
    VdPendingIo io = pInstance->pending.front();
    pInstance->pending.pop_front();
    CompleteRequest(io, kStatusCancelled, 0);
  }
}

void CVirtualDevice::Impl::FreeBuffers(PinInstance* pInstance) {
  if (pInstance->pBuffer) {
    pInstance->retiredBuffers.push_back(pInstance->pBuffer);
  }
  for (BYTE* pb : pInstance->retiredBuffers) {
    VirtualFree(pb, 0, MEM_RELEASE);
  }
  pInstance->retiredBuffers.clear();
  pInstance->pBuffer = nullptr;
  pInstance->cbBuffer = 0;
}

void CVirtualDevice::Impl::ClosePin(HANDLE hPin) {
  m_engine.DeliverScheduled(hPin);
  auto it = m_pins.find(hPin);
  CancelPending(it->second.get());
  FreeBuffers(it->second.get());
  m_pins.erase(it);
  m_pinOrder.erase(std::find(m_pinOrder.begin(), m_pinOrder.end(), hPin));
  CloseIdentity(hPin);
}

bool CVirtualDevice::Impl::CancelHeld(HANDLE handle, LPOVERLAPPED pOverlapped) {
  bool bFound = false;
  auto range = m_heldRequests.equal_range(handle);
  for (auto it = range.first; it != range.second;) {
    if (pOverlapped && it->second.pOverlapped != pOverlapped) {
      ++it;
      continue;
    }
    CompleteRequest(it->second, kStatusCancelled, 0);
    it = m_heldRequests.erase(it);
    bFound = true;
  }
  return bFound;
}

BOOL CVirtualDevice::Impl::CancelIoEx(HANDLE handle, LPOVERLAPPED pOverlapped) {
  {
    Lock lock(this);
    if (m_filterHandles.count(handle) || m_pins.count(handle)) {
      const bool bFound = CancelHeld(handle, pOverlapped);
      SetLastError(bFound ? 0 : ERROR_NOT_FOUND);
      return bFound;
    }
  }
  return m_saved.CancelIoEx(handle, pOverlapped);
}

void CVirtualDevice::Impl::CloseAll() {
  while (!m_heldRequests.empty()) {
    CancelHeld(m_heldRequests.begin()->first, nullptr);
  }
  while (!m_pinOrder.empty()) {
    ClosePin(m_pinOrder.front());
  }
  for (auto& entry : m_filterHandles) CloseIdentity(entry.first);
  for (auto& entry : m_sets) CloseIdentity(entry.first);
  for (auto& entry : m_keys) CloseIdentity(reinterpret_cast<HANDLE>(entry.first));
  m_filterHandles.clear();
  m_sets.clear();
  m_keys.clear();
}

ULONG CVirtualDevice::Impl::InstanceCount(int iFilter, int iPin) const {
  ULONG ulCount = 0;
  for (const auto& entry : m_pins) {
    ulCount += entry.second->iFilter == iFilter && entry.second->iPin == iPin;
  }
  return ulCount;
}

BOOL CVirtualDevice::Impl::CloseHandle(HANDLE handle) {
  bool bClosedPin = false;
  {
    Lock lock(this);
    VdRequest request;
    request.call = VdCall::CloseHandle;
    request.handle = handle;
    m_goneHandles.erase(handle);
    CancelHeld(handle, nullptr);
    auto itFilter = m_filterHandles.find(handle);
    if (itFilter != m_filterHandles.end()) {
      request.iFilter = itFilter->second;
      m_filterHandles.erase(itFilter);
      CloseIdentity(handle);
      Log(request);
      return TRUE;
    }
    auto itPin = m_pins.find(handle);
    if (itPin != m_pins.end()) {
      request.iFilter = itPin->second->iFilter;
      request.iPin = itPin->second->iPin;
      ClosePin(handle);
      Log(request);
      bClosedPin = true;
    }
  }
  if (bClosedPin) {
    m_engine.JoinIfIdle();
    return TRUE;
  }
  return m_saved.CloseHandle(handle);
}

// ------------------------------------------------------------------ thunks

namespace {

using Impl = CVirtualDevice::Impl;

HANDLE WINAPI VdCreateFileA(LPCSTR pszPath, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES,
                            DWORD dwDisposition, DWORD dwFlags, HANDLE) {
  return Impl::s_pInstalled->CreateFile(pszPath, dwAccess, dwShare, dwDisposition, dwFlags);
}

BOOL WINAPI VdDeviceIoControl(HANDLE handle, DWORD dwIoctl, LPVOID pvIn, DWORD cbIn, LPVOID pvOut,
                              DWORD cbOut, LPDWORD pcbReturned, LPOVERLAPPED pOverlapped) {
  return Impl::s_pInstalled->DeviceIoControl(handle, dwIoctl, pvIn, cbIn, pvOut, cbOut,
                                             pcbReturned, pOverlapped);
}

BOOL WINAPI VdCancelIoEx(HANDLE handle, LPOVERLAPPED pOverlapped) {
  return Impl::s_pInstalled->CancelIoEx(handle, pOverlapped);
}

BOOL WINAPI VdCloseHandle(HANDLE handle) { return Impl::s_pInstalled->CloseHandle(handle); }

HMODULE WINAPI VdLoadLibraryA(LPCSTR pszName) { return Impl::s_pInstalled->LoadLibrary(pszName); }

FARPROC WINAPI VdGetProcAddress(HMODULE hModule, LPCSTR pszName) {
  return Impl::s_pInstalled->GetProcAddress(hModule, pszName);
}

HDEVINFO WINAPI VdSetupDiGetClassDevsA(const GUID* pguid, PCSTR, HWND, DWORD dwFlags) {
  return Impl::s_pInstalled->GetClassDevs(pguid, dwFlags);
}

BOOL WINAPI VdSetupDiEnumDeviceInterfaces(HDEVINFO hSet, PSP_DEVINFO_DATA pDevInfo,
                                          const GUID* pguid, DWORD dwIndex,
                                          PSP_DEVICE_INTERFACE_DATA pData) {
  return Impl::s_pInstalled->EnumDeviceInterfaces(hSet, pDevInfo, pguid, dwIndex, pData);
}

BOOL WINAPI VdSetupDiGetDeviceInterfaceDetailA(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData,
                                               PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail,
                                               DWORD cbDetail, PDWORD pcbRequired,
                                               PSP_DEVINFO_DATA pDevInfo) {
  return Impl::s_pInstalled->GetInterfaceDetail(hSet, pData, pDetail, cbDetail, pcbRequired,
                                                pDevInfo);
}

BOOL WINAPI VdSetupDiGetDeviceInterfaceAlias(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData,
                                             const GUID* pguidAlias,
                                             PSP_DEVICE_INTERFACE_DATA pAlias) {
  return Impl::s_pInstalled->GetInterfaceAlias(hSet, pData, pguidAlias, pAlias);
}

HKEY WINAPI VdSetupDiOpenDeviceInterfaceRegKey(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData,
                                               DWORD dwReserved, REGSAM samDesired) {
  return Impl::s_pInstalled->OpenInterfaceKey(hSet, pData, dwReserved, samDesired);
}

BOOL WINAPI VdSetupDiDestroyDeviceInfoList(HDEVINFO hSet) {
  return Impl::s_pInstalled->DestroyDeviceInfoList(hSet);
}

LONG WINAPI VdRegQueryValueExA(HKEY hKey, LPCSTR pszName, LPDWORD pdwReserved, LPDWORD pdwType,
                               LPBYTE pbData, LPDWORD pcbData) {
  return Impl::s_pInstalled->QueryValue(hKey, pszName, pdwReserved, pdwType, pbData, pcbData);
}

LONG WINAPI VdRegCloseKey(HKEY hKey) { return Impl::s_pInstalled->CloseKey(hKey); }

}  // namespace

// ------------------------------------------------------------------ device

CVirtualDevice::CVirtualDevice(const VdMachine& machine)
    : m_machine(machine), m_pImpl(new Impl(&m_machine)) {}

CVirtualDevice::~CVirtualDevice() {
  m_pImpl->m_engine.SetMode(VdClockMode::Stepped);
  Uninstall();
  Impl::Lock lock(m_pImpl.get());
  m_pImpl->CloseAll();
}

void CVirtualDevice::Install() {
  if (m_pImpl->m_bInstalled) {
    return;
  }
  m_pImpl->m_saved = g_ksDeviceSeam;
  Impl::s_pInstalled = m_pImpl.get();
  g_ksDeviceSeam.CreateFileA = VdCreateFileA;
  g_ksDeviceSeam.DeviceIoControl = VdDeviceIoControl;
  g_ksDeviceSeam.CancelIoEx = VdCancelIoEx;
  g_ksDeviceSeam.CloseHandle = VdCloseHandle;
  g_ksDeviceSeam.LoadLibraryA = VdLoadLibraryA;
  g_ksDeviceSeam.GetProcAddress = VdGetProcAddress;
  g_ksDeviceSeam.SetupDiGetClassDevsA = VdSetupDiGetClassDevsA;
  g_ksDeviceSeam.SetupDiEnumDeviceInterfaces = VdSetupDiEnumDeviceInterfaces;
  g_ksDeviceSeam.SetupDiGetDeviceInterfaceDetailA = VdSetupDiGetDeviceInterfaceDetailA;
  g_ksDeviceSeam.SetupDiGetDeviceInterfaceAlias = VdSetupDiGetDeviceInterfaceAlias;
  g_ksDeviceSeam.SetupDiOpenDeviceInterfaceRegKey = VdSetupDiOpenDeviceInterfaceRegKey;
  g_ksDeviceSeam.SetupDiDestroyDeviceInfoList = VdSetupDiDestroyDeviceInfoList;
  g_ksDeviceSeam.RegQueryValueExA = VdRegQueryValueExA;
  g_ksDeviceSeam.RegCloseKey = VdRegCloseKey;
  m_pImpl->m_bInstalled = true;
  KsResetPinCreationEntryPoint();
}

void CVirtualDevice::Uninstall() {
  if (!m_pImpl->m_bInstalled) {
    return;
  }
  g_ksDeviceSeam = m_pImpl->m_saved;
  Impl::s_pInstalled = nullptr;
  m_pImpl->m_bInstalled = false;
  KsResetPinCreationEntryPoint();
}

namespace {

// A test that reads a log the device does not keep would see nothing happen.
void RequireKept(bool bKept, const char* pszWhat) {
  if (!bKept) {
    fprintf(stderr, "CVirtualDevice: %s read, but the machine keeps none\n", pszWhat);
    abort();
  }
}

}  // namespace

std::vector<VdRequest> CVirtualDevice::Requests() const {
  RequireKept(m_machine.bLogRequests, "Requests() (VdMachine::bLogRequests)");
  Impl::Lock lock(m_pImpl.get());
  return m_pImpl->m_log;
}

void CVirtualDevice::ClearRequests() {
  Impl::Lock lock(m_pImpl.get());
  m_pImpl->m_log.clear();
}

size_t CVirtualDevice::OpenHandleCount() const {
  Impl::Lock lock(m_pImpl.get());
  return m_pImpl->m_filterHandles.size() + m_pImpl->m_pins.size() + m_pImpl->m_sets.size() +
         m_pImpl->m_keys.size();
}

size_t CVirtualDevice::OpenHandleCount(VdHandleKind kind) const {
  Impl::Lock lock(m_pImpl.get());
  switch (kind) {
    case VdHandleKind::Filter:
      return m_pImpl->m_filterHandles.size();
    case VdHandleKind::Pin:
      return m_pImpl->m_pins.size();
    case VdHandleKind::DeviceInfoSet:
      return m_pImpl->m_sets.size();
    case VdHandleKind::InterfaceKey:
      return m_pImpl->m_keys.size();
  }
  return 0;
}

std::vector<HANDLE> CVirtualDevice::PinInstances() const {
  Impl::Lock lock(m_pImpl.get());
  return m_pImpl->m_pinOrder;
}

bool CVirtualDevice::GetPinInstance(HANDLE hPin, VdPinInstanceInfo* pInfo) const {
  Impl::Lock lock(m_pImpl.get());
  auto it = m_pImpl->m_pins.find(hPin);
  if (it == m_pImpl->m_pins.end()) {
    return false;
  }
  const Impl::PinInstance& instance = *it->second;
  pInfo->iFilter = instance.iFilter;
  pInfo->iPin = instance.iPin;
  pInfo->ulInterfaceId = instance.ulInterfaceId;
  pInfo->state = instance.state;
  pInfo->format = instance.format;
  pInfo->cPendingReads = 0;
  pInfo->cPendingWrites = 0;
  for (const VdPendingIo& io : instance.pending) {
    ++(io.bWrite ? pInfo->cPendingWrites : pInfo->cPendingReads);
  }
  pInfo->bInReset = instance.bInReset;
  pInfo->pBuffer = instance.pBuffer;
  pInfo->cbBuffer = instance.cbBuffer;
  pInfo->ulNotificationCount = instance.ulNotificationCount;
  pInfo->events = instance.events;
  pInfo->position = instance.position;
  pInfo->pulPositionRegister = &it->second->ulPositionRegister;
  return true;
}

void CVirtualDevice::SetClockMode(VdClockMode mode) { m_pImpl->m_engine.SetMode(mode); }

bool CVirtualDevice::Step(ULONG ulFrames) { return m_pImpl->m_engine.Step(ulFrames); }

uint64_t CVirtualDevice::PerformanceCounterMicroseconds() const {
  Impl::Lock lock(m_pImpl.get());
  return m_pImpl->m_engine.PerformanceCounterMicroseconds();
}

VdStreamStats CVirtualDevice::Stats() const {
  Impl::Lock lock(m_pImpl.get());
  return m_pImpl->m_engine.Stats();
}

std::vector<VdLateSignal> CVirtualDevice::LateSignals() const {
  Impl::Lock lock(m_pImpl.get());
  return m_pImpl->m_engine.LateSignals();
}

std::vector<VdRecording> CVirtualDevice::Recordings() const {
  RequireKept(m_machine.streaming.ulRecordFramesMax != 0,
              "Recordings() (VdStreamingConfig::ulRecordFramesMax)");
  Impl::Lock lock(m_pImpl.get());
  return m_pImpl->m_engine.Recordings();
}

void CVirtualDevice::Unplug() {
  Impl::Lock lock(m_pImpl.get());
  for (const auto& entry : m_pImpl->m_filterHandles) m_pImpl->m_goneHandles.insert(entry.first);
  for (const auto& entry : m_pImpl->m_pins) m_pImpl->m_goneHandles.insert(entry.first);
  m_pImpl->m_engine.Unplug();
}

void CVirtualDevice::Replug() {
  Impl::Lock lock(m_pImpl.get());
  m_pImpl->m_engine.Replug();
}

size_t CVirtualDevice::PendingReads(HANDLE hPin) const {
  VdPinInstanceInfo info;
  return GetPinInstance(hPin, &info) ? info.cPendingReads : 0;
}

size_t CVirtualDevice::PendingWrites(HANDLE hPin) const {
  VdPinInstanceInfo info;
  return GetPinInstance(hPin, &info) ? info.cPendingWrites : 0;
}