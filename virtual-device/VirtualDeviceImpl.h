// The inside of the virtual device, shared by the files that answer the
// seam's calls. Private to virtual-device/.
//   VirtualDevice.cpp   installation, the handles it owns, the operations tests call
//   VdPinCreation.cpp   filter open, the virtual ksuser.dll, pin creation and formats
//   VdStreamIo.cpp      device I/O control: dispatch, stream requests, reset
//   VdProperties.cpp    property requests on filters and pin instances
//   VdFaults.cpp        faults on demand
//   VdEnumeration.cpp   SetupAPI and the interface keys
//   VdStreamEngine.cpp  the device clock and running pin instances
//   VdRealTimeClock.cpp its real-time clock thread and the timing of signals
//   VirtualMachine.cpp  the default machine
// Every entry point takes the lock (Lock) for as long as it touches the model.
#ifndef VOROD_VIRTUAL_DEVICE_VIRTUALDEVICEIMPL_H
#define VOROD_VIRTUAL_DEVICE_VIRTUALDEVICEIMPL_H

#include "virtual-device/VirtualDevice.h"

#include "virtual-device/VdStreamEngine.h"

#include <map>
#include <set>
#include <vector>

struct CVirtualDevice::Impl {
  typedef VdPinInstance PinInstance;

  struct DeviceInfoSet {
    GUID guidCategory;
  };

  // The answer to one property request.
  struct PropertyCall {
    const KSPROPERTY* pProperty;
    const BYTE* pbInput;
    ULONG cbInput;
    BYTE* pbOutput;
    ULONG cbOutput;
    ULONG cbReturned;
    bool bGet;
    bool bSet;
  };

  static constexpr ULONG kMaxFormatSize = 4096;

  explicit Impl(VdMachine* pMachine) : m_machine(*pMachine), m_engine(pMachine, &m_cs, &m_pins) {
    InitializeCriticalSection(&m_cs);
  }
  ~Impl() { DeleteCriticalSection(&m_cs); }

  class Lock {
   public:
    explicit Lock(const Impl* pImpl) : m_pcs(&pImpl->m_cs) { EnterCriticalSection(m_pcs); }
    ~Lock() { LeaveCriticalSection(m_pcs); }

   private:
    CRITICAL_SECTION* m_pcs;
  };

  VdMachine& m_machine;
  mutable CRITICAL_SECTION m_cs;
  KsDeviceSeam m_saved = {};
  bool m_bInstalled = false;
  std::vector<VdRequest> m_log;
  std::map<HANDLE, int> m_filterHandles;
  // Filter and pin handles that were open when the device was unplugged.
  std::set<HANDLE> m_goneHandles;
  VdPinMap m_pins;
  std::vector<HANDLE> m_pinOrder;
  CVdStreamEngine m_engine;
  std::map<HANDLE, DeviceInfoSet> m_sets;
  std::map<HKEY, int> m_keys;
  // Property requests of a hanging filter (bPropertiesHang), by handle.
  std::multimap<HANDLE, VdPendingIo> m_heldRequests;

  static Impl* s_pInstalled;
  static BYTE s_ksuserModule;

  HMODULE KsUserModule() const { return reinterpret_cast<HMODULE>(&s_ksuserModule); }

  // Whether requests are logged; the copies a log entry holds are made only then.
  bool Logging() const { return m_machine.bLogRequests; }
  void Log(const VdRequest& request) {
    if (Logging()) m_log.push_back(request);
  }
  bool Gone(HANDLE handle) const { return m_goneHandles.count(handle) != 0; }

  // ------------------------------------------------------------- handles

  // Filter and pin handles, device-information sets and interface keys are
  // unnamed events made for the purpose, so they never collide with others.
  static HANDLE NewIdentity() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  void CloseIdentity(HANDLE handle) { m_saved.CloseHandle(handle); }

  static void CompleteRequest(const VdPendingIo& io, LONG lStatus, ULONG cbTransferred) {
    CVdStreamEngine::CompleteRequest(io, lStatus, cbTransferred);
  }
  static void CancelPending(PinInstance* pInstance);
  void FreeBuffers(PinInstance* pInstance);
  void ClosePin(HANDLE hPin);
  void CloseAll();
  ULONG InstanceCount(int iFilter, int iPin) const;
  BOOL CloseHandle(HANDLE handle);
  // Cancels the held requests on a handle (all, or the one of pOverlapped);
  // whether there was one.
  bool CancelHeld(HANDLE handle, LPOVERLAPPED pOverlapped);
  BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED pOverlapped);

  // ------------------------------------------- filter open and pin creation

  HANDLE CreateFile(LPCSTR pszPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                    DWORD dwFlags);
  HMODULE LoadLibrary(LPCSTR pszName);
  FARPROC GetProcAddress(HMODULE hModule, LPCSTR pszName);
  DWORD CreatePin(HANDLE hFilter, PKSPIN_CONNECT pConnect, ACCESS_MASK desiredAccess,
                  PHANDLE phPin);
  DWORD CheckConnect(int iFilter, const KSPIN_CONNECT& connect, const KSDATAFORMAT* pFormat);
  // Whether a pin factory accepts a data format (KSDATAFORMAT and its tail).
  static DWORD CheckFormat(const VdPinFactory& pin, const BYTE* pbFormat, ULONG cbFormat);

  // ---------------------------------------------------- device I/O control

  BOOL DeviceIoControl(HANDLE handle, DWORD dwIoctl, LPVOID pvIn, DWORD cbIn, LPVOID pvOut,
                       DWORD cbOut, LPDWORD pcbReturned, LPOVERLAPPED pOverlapped);
  // A request on one of the device's own handles; the lock is held.
  BOOL OwnDeviceIoControl(HANDLE handle, DWORD dwIoctl, LPVOID pvIn, DWORD cbIn, LPVOID pvOut,
                          DWORD cbOut, LPDWORD pcbReturned, LPOVERLAPPED pOverlapped);
  DWORD QueueStreamIo(PinInstance* pInstance, bool bWrite, PKSSTREAM_HEADER pHeader, ULONG cbOut,
                      LPOVERLAPPED pOverlapped);
  static DWORD ResetState(PinInstance* pInstance, const BYTE* pbIn, ULONG cbIn);

  // ----------------------------------------------------------- properties

  DWORD Property(PinInstance* pInstance, VdRequest& request, BYTE* pbIn, ULONG cbIn, BYTE* pbOut,
                 ULONG cbOut, ULONG* pcbReturned);
  // KSPROPERTY_TYPE_SETSUPPORT and _BASICSUPPORT: the sets a handle speaks,
  // and the access a property allows (get, and set on the pin's state,
  // format and position).
  static DWORD Support(const PinInstance* pInstance, PropertyCall& call, bool bBasic);
  DWORD FilterProperty(int iFilter, PropertyCall& call);
  DWORD PinProperty(PinInstance* pInstance, PropertyCall& call);
  DWORD ConnectionProperty(PinInstance* pInstance, PropertyCall& call);
  DWORD AudioProperty(PinInstance* pInstance, PropertyCall& call);
  DWORD RtAudioProperty(PinInstance* pInstance, PropertyCall& call);
  DWORD AllocateBuffer(PinInstance* pInstance, PropertyCall& call);
  DWORD MapRegister(PinInstance* pInstance, PropertyCall& call);
  // A fixed-size value: a size query learns its size, a short buffer is refused.
  static DWORD ReplyValue(PropertyCall& call, const void* pvValue, ULONG cbValue);
  // A KSMULTIPLE_ITEM reply: besides the size query, a 4-byte buffer receives
  // its Size and an 8-byte one its header, as KS answers sized lists.
  static DWORD ReplyMultiple(PropertyCall& call, const std::vector<BYTE>& reply);
  // A value a set reads: the same size rules.
  static DWORD NeedValue(PropertyCall& call, ULONG cbValue);

  // ------------------------------------------------------- faults on demand

  // The error of a property fault that matches the request, or 0.
  DWORD Fault(const VdRequest& request);
  // The error of an I/O control fault that matches, or 0.
  DWORD IoctlFault(ULONG ulIoctl);
  // Answers a filter property get with a malformed reply, if one is set.
  bool Override(const VdRequest& request, PropertyCall& call, DWORD* pdwError);

  // ------------------------------------------------------------- SetupAPI

  HDEVINFO GetClassDevs(const GUID* pguid, DWORD dwFlags);
  BOOL EnumDeviceInterfaces(HDEVINFO hSet, PSP_DEVINFO_DATA pDevInfo, const GUID* pguid,
                            DWORD dwIndex, PSP_DEVICE_INTERFACE_DATA pData);
  BOOL GetInterfaceDetail(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail, DWORD cbDetail,
                          PDWORD pcbRequired, PSP_DEVINFO_DATA pDevInfo);
  BOOL GetInterfaceAlias(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData, const GUID* pguidAlias,
                         PSP_DEVICE_INTERFACE_DATA pAlias);
  HKEY OpenInterfaceKey(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData, DWORD dwReserved,
                        REGSAM samDesired);
  BOOL DestroyDeviceInfoList(HDEVINFO hSet);
  LONG QueryValue(HKEY hKey, LPCSTR pszName, LPDWORD pdwReserved, LPDWORD pdwType, LPBYTE pbData,
                  LPDWORD pcbData);
  LONG CloseKey(HKEY hKey);
  // The filter an interface record names, or -1.
  int FilterOf(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData) const;
  const VdInterface* InterfaceOf(int iFilter, const GUID& guidCategory) const;
};

#endif  // VOROD_VIRTUAL_DEVICE_VIRTUALDEVICEIMPL_H
