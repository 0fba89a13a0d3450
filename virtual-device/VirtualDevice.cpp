// The virtual device behind the seam: handles, the request log, filter open,
// pin creation, device I/O control and the SetupAPI and registry answers.
// What it answers is described in VirtualDevice.h.
#include "virtual-device/VirtualDevice.h"

#include "virtual-device/VdStreamEngine.h"

#include <string.h>

#include <algorithm>
#include <deque>

namespace {

const LONG kStatusCancelled = static_cast<LONG>(0xC0000120);
const LONG kStatusPending = 0x00000103;
const LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005);
const ULONG kMaxFormatSize = 4096;

bool IsNullGuid(const GUID& guid) { return IsEqualGUID(guid, KsGuid::Null); }

// A range GUID admits a format GUID when equal or a wildcard.
bool Admits(const GUID& guidRange, const GUID& guidFormat) {
  return IsNullGuid(guidRange) || IsEqualGUID(guidRange, guidFormat);
}

bool SameText(const std::string& a, const char* b) {
  return b && _stricmp(a.c_str(), b) == 0;
}

HANDLE NewIdentity() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

HANDLE EventOf(LPOVERLAPPED pOverlapped) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(pOverlapped->hEvent) &
                                  ~static_cast<ULONG_PTR>(1));
}

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

// A fixed-size value: a size query learns its size, a short buffer is refused.
DWORD ReplyValue(PropertyCall& call, const void* pvValue, ULONG cbValue) {
  if (call.cbOutput == 0 && cbValue != 0) {
    call.cbReturned = cbValue;
    return ERROR_MORE_DATA;
  }
  if (call.cbOutput < cbValue) {
    return ERROR_INSUFFICIENT_BUFFER;
  }
  memcpy(call.pbOutput, pvValue, cbValue);
  call.cbReturned = cbValue;
  return 0;
}

// A KSMULTIPLE_ITEM reply: besides the size query, a 4-byte buffer receives
// its Size and an 8-byte one its header, as KS answers sized lists.
DWORD ReplyMultiple(PropertyCall& call, const std::vector<BYTE>& reply) {
  ULONG cbReply = static_cast<ULONG>(reply.size());
  if (call.cbOutput != 0 && call.cbOutput < cbReply &&
      (call.cbOutput == sizeof(ULONG) || call.cbOutput == sizeof(KSMULTIPLE_ITEM))) {
    memcpy(call.pbOutput, reply.data(), call.cbOutput);
    call.cbReturned = call.cbOutput;
    return 0;
  }
  return ReplyValue(call, reply.data(), cbReply);
}

// A value a set reads: the same size rules.
DWORD NeedValue(PropertyCall& call, ULONG cbValue) {
  if (call.cbOutput == 0 && cbValue != 0) {
    call.cbReturned = cbValue;
    return ERROR_MORE_DATA;
  }
  return call.cbOutput < cbValue ? ERROR_INSUFFICIENT_BUFFER : 0;
}

template <class T>
void Append(std::vector<BYTE>* pBytes, const T& value) {
  const BYTE* pb = reinterpret_cast<const BYTE*>(&value);
  pBytes->insert(pBytes->end(), pb, pb + sizeof(T));
}

template <class T>
std::vector<BYTE> MultipleItem(const std::vector<T>& items) {
  std::vector<BYTE> reply;
  KSMULTIPLE_ITEM header;
  header.Size = static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + items.size() * sizeof(T));
  header.Count = static_cast<ULONG>(items.size());
  Append(&reply, header);
  for (const T& item : items) {
    Append(&reply, item);
  }
  return reply;
}

// Data ranges follow each other 64-bit aligned, each FormatSize bytes long.
std::vector<BYTE> DataRangeReply(const std::vector<VdDataRange>& ranges) {
  std::vector<BYTE> reply(sizeof(KSMULTIPLE_ITEM));
  for (const VdDataRange& range : ranges) {
    ULONG cb = std::min<ULONG>(range.range.DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
    const BYTE* pb = reinterpret_cast<const BYTE*>(&range.range);
    reply.insert(reply.end(), pb, pb + cb);
    reply.resize((reply.size() + 7) & ~static_cast<size_t>(7));
  }
  KSMULTIPLE_ITEM header;
  header.Size = static_cast<ULONG>(reply.size());
  header.Count = static_cast<ULONG>(ranges.size());
  memcpy(reply.data(), &header, sizeof(header));
  return reply;
}

// Whether a pin factory accepts a data format (KSDATAFORMAT and its tail).
DWORD CheckFormat(const VdPinFactory& pin, const BYTE* pbFormat, ULONG cbFormat) {
  if (cbFormat < sizeof(KSDATAFORMAT)) {
    return ERROR_INVALID_PARAMETER;
  }
  const KSDATAFORMAT* pFormat = reinterpret_cast<const KSDATAFORMAT*>(pbFormat);
  for (const VdDataRange& vdRange : pin.dataRanges) {
    const KSDATARANGE& header = vdRange.range.DataRange;
    if (!Admits(header.MajorFormat, pFormat->MajorFormat) ||
        !Admits(header.SubFormat, pFormat->SubFormat) ||
        !Admits(header.Specifier, pFormat->Specifier)) {
      continue;
    }
    if (!IsEqualGUID(pFormat->Specifier, KsGuid::DataFormatSpecifierWaveFormatEx)) {
      return 0;
    }
    if (cbFormat < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) ||
        header.FormatSize < sizeof(KSDATARANGE_AUDIO)) {
      continue;
    }
    const KSDATARANGE_AUDIO& range = vdRange.range;
    const WAVEFORMATEX* pwfx = reinterpret_cast<const WAVEFORMATEX*>(pFormat + 1);
    ULONG ulValidBits = pwfx->wBitsPerSample;
    GUID guidSubFormat = KsGuid::DataFormatSubtypeWaveFormatEx;
    guidSubFormat.Data1 = pwfx->wFormatTag;
    bool bChannelsOk;
    if (pwfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
      if (pwfx->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) ||
          cbFormat < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE)) {
        continue;
      }
      const WAVEFORMATEXTENSIBLE* pwfxe = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(pwfx);
      ulValidBits = pwfxe->Samples.wValidBitsPerSample;
      guidSubFormat = pwfxe->SubFormat;
      bChannelsOk = pin.channelConfigs.empty();
      for (const VdChannelConfig& config : pin.channelConfigs) {
        bChannelsOk |= config.nChannels == pwfx->nChannels &&
                       config.dwChannelMask == pwfxe->dwChannelMask;
      }
    } else {
      bChannelsOk = pwfx->nChannels <= pin.wMaxPlainPcmChannels;
    }
    const ULONG ulContainerBits = vdRange.usContainerBits ? vdRange.usContainerBits : ulValidBits;
    const ULONG ulBlockAlign = pwfx->nChannels * pwfx->wBitsPerSample / 8;
    if (bChannelsOk && Admits(header.SubFormat, guidSubFormat) && pwfx->nChannels >= 1 &&
        pwfx->nChannels <= range.MaximumChannels && ulValidBits >= range.MinimumBitsPerSample &&
        ulValidBits <= range.MaximumBitsPerSample && pwfx->wBitsPerSample == ulContainerBits &&
        pwfx->nSamplesPerSec >= range.MinimumSampleFrequency &&
        pwfx->nSamplesPerSec <= range.MaximumSampleFrequency &&
        pwfx->nBlockAlign == ulBlockAlign &&
        pwfx->nAvgBytesPerSec == ulBlockAlign * pwfx->nSamplesPerSec) {
      return 0;
    }
  }
  return ERROR_NO_MATCH;
}

}  // namespace

struct CVirtualDevice::Impl {
  typedef VdPinInstance PinInstance;

  struct DeviceInfoSet {
    GUID guidCategory;
  };

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
  VdPinMap m_pins;
  std::vector<HANDLE> m_pinOrder;
  CVdStreamEngine m_engine;
  std::map<HANDLE, DeviceInfoSet> m_sets;
  std::map<HKEY, int> m_keys;

  static Impl* s_pInstalled;
  static BYTE s_ksuserModule;

  HMODULE KsUserModule() const { return reinterpret_cast<HMODULE>(&s_ksuserModule); }

  void Log(const VdRequest& request) { m_log.push_back(request); }

  // ------------------------------------------------------------- handles

  void CloseIdentity(HANDLE handle) { m_saved.CloseHandle(handle); }

  static void CompleteRequest(const VdPendingIo& io, LONG lStatus, ULONG cbTransferred) {
    CVdStreamEngine::CompleteRequest(io, lStatus, cbTransferred);
  }

  static void CancelPending(PinInstance* pInstance) {
    while (!pInstance->pending.empty()) {
      VdPendingIo io = pInstance->pending.front();
      pInstance->pending.pop_front();
      CompleteRequest(io, kStatusCancelled, 0);
    }
  }

  void FreeBuffers(PinInstance* pInstance) {
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

  void ClosePin(HANDLE hPin) {
    auto it = m_pins.find(hPin);
    CancelPending(it->second.get());
    FreeBuffers(it->second.get());
    m_pins.erase(it);
    m_pinOrder.erase(std::find(m_pinOrder.begin(), m_pinOrder.end(), hPin));
    CloseIdentity(hPin);
  }

  void CloseAll() {
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

  ULONG InstanceCount(int iFilter, int iPin) const {
    ULONG ulCount = 0;
    for (const auto& entry : m_pins) {
      ulCount += entry.second->iFilter == iFilter && entry.second->iPin == iPin;
    }
    return ulCount;
  }

  // --------------------------------------------------------- filter open

  HANDLE CreateFile(LPCSTR pszPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                    DWORD dwFlags) {
    Lock lock(this);
    VdRequest request;
    request.call = VdCall::CreateFile;
    request.text = pszPath ? pszPath : "";
    request.input.resize(4 * sizeof(DWORD));
    DWORD adwArgs[4] = {dwAccess, dwShare, dwDisposition, dwFlags};
    memcpy(request.input.data(), adwArgs, sizeof(adwArgs));
    DWORD dwError = ERROR_FILE_NOT_FOUND;
    for (size_t i = 0; i < m_machine.filters.size() && pszPath; ++i) {
      const VdFilter& filter = m_machine.filters[i];
      for (const VdInterface& vdInterface : filter.interfaces) {
        if (!(vdInterface.dwFlags & SPINT_REMOVED) &&
            SameText(filter.DevicePath(vdInterface.guidCategory), pszPath)) {
          request.iFilter = static_cast<int>(i);
        }
      }
    }
    HANDLE hFilter = INVALID_HANDLE_VALUE;
    if (request.iFilter >= 0) {
      dwError = m_engine.Unplugged() ? ERROR_DEVICE_NOT_CONNECTED
                                     : m_machine.filters[request.iFilter].dwOpenError;
      if (!dwError && dwDisposition != OPEN_EXISTING) {
        dwError = ERROR_INVALID_PARAMETER;
      }
      if (!dwError) {
        hFilter = NewIdentity();
        m_filterHandles[hFilter] = request.iFilter;
      }
    }
    request.dwError = dwError;
    request.hResult = hFilter;
    Log(request);
    SetLastError(dwError);
    return hFilter;
  }

  BOOL CloseHandle(HANDLE handle) {
    bool bClosedPin = false;
    {
      Lock lock(this);
      VdRequest request;
      request.call = VdCall::CloseHandle;
      request.handle = handle;
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

  // ---------------------------------------------------------- ksuser.dll

  HMODULE LoadLibrary(LPCSTR pszName) {
    if (!pszName || _stricmp(pszName, "ksuser.dll") != 0) {
      return m_saved.LoadLibraryA(pszName);
    }
    Lock lock(this);
    VdRequest request;
    request.call = VdCall::LoadLibrary;
    request.text = pszName;
    HMODULE hModule = nullptr;
    if (m_machine.bKsUserPresent) {
      hModule = KsUserModule();
    } else {
      request.dwError = ERROR_MOD_NOT_FOUND;
    }
    request.hResult = hModule;
    Log(request);
    SetLastError(request.dwError);
    return hModule;
  }

  FARPROC GetProcAddress(HMODULE hModule, LPCSTR pszName);

  DWORD CreatePin(HANDLE hFilter, PKSPIN_CONNECT pConnect, ACCESS_MASK desiredAccess,
                  PHANDLE phPin) {
    Lock lock(this);
    VdRequest request;
    request.call = VdCall::CreatePin;
    request.handle = hFilter;
    request.ulFlags = desiredAccess;
    DWORD dwError = 0;
    auto itFilter = m_filterHandles.find(hFilter);
    const KSDATAFORMAT* pFormat =
        pConnect ? reinterpret_cast<const KSDATAFORMAT*>(pConnect + 1) : nullptr;
    if (itFilter == m_filterHandles.end()) {
      dwError = ERROR_INVALID_HANDLE;
    } else if (m_engine.Unplugged()) {
      dwError = ERROR_DEVICE_NOT_CONNECTED;
    } else if (!pConnect || !phPin || pFormat->FormatSize < sizeof(KSDATAFORMAT) ||
               pFormat->FormatSize > kMaxFormatSize) {
      dwError = ERROR_INVALID_PARAMETER;
    } else {
      const BYTE* pbConnect = reinterpret_cast<const BYTE*>(pConnect);
      request.input.assign(pbConnect, pbConnect + sizeof(KSPIN_CONNECT) + pFormat->FormatSize);
      request.iFilter = itFilter->second;
      request.iPin = static_cast<int>(pConnect->PinId);
      dwError = CheckConnect(request.iFilter, *pConnect, pFormat);
    }
    if (!dwError) {
      std::unique_ptr<PinInstance> pInstance(new PinInstance());
      pInstance->iFilter = request.iFilter;
      pInstance->iPin = request.iPin;
      pInstance->ulInterfaceId = pConnect->Interface.Id;
      pInstance->state = KSSTATE_STOP;
      const BYTE* pbFormat = reinterpret_cast<const BYTE*>(pFormat);
      pInstance->format.assign(pbFormat, pbFormat + pFormat->FormatSize);
      pInstance->bInReset = false;
      pInstance->pBuffer = nullptr;
      pInstance->cbBuffer = 0;
      pInstance->ulNotificationCount = 0;
      pInstance->position = {};
      pInstance->ulPositionRegister = 0;
      pInstance->bRender = false;
      pInstance->nChannels = 0;
      pInstance->cbFrame = 0;
      pInstance->ulRingSamples = 0;
      pInstance->ulRingPos = 0;
      pInstance->bAwaitingConsumption = false;
      pInstance->nFrameDone = 0;
      pInstance->bHostGone = false;
      pInstance->iRecording = -1;
      HANDLE hPin = NewIdentity();
      pInstance->hPin = hPin;
      m_pins[hPin] = std::move(pInstance);
      m_pinOrder.push_back(hPin);
      *phPin = hPin;
      request.hResult = hPin;
    }
    request.dwError = dwError;
    Log(request);
    return dwError;
  }

  DWORD CheckConnect(int iFilter, const KSPIN_CONNECT& connect, const KSDATAFORMAT* pFormat) {
    const VdFilter& filter = m_machine.filters[iFilter];
    if (connect.PinId >= filter.pins.size() || connect.PinToHandle) {
      return ERROR_INVALID_PARAMETER;
    }
    const VdPinFactory& pin = filter.pins[connect.PinId];
    bool bInterface = false;
    for (const KSPIN_INTERFACE& ksInterface : pin.interfaces) {
      bInterface |= IsEqualGUID(ksInterface.Set, connect.Interface.Set) &&
                    ksInterface.Id == connect.Interface.Id;
    }
    bool bMedium = false;
    for (const KSPIN_MEDIUM& ksMedium : pin.mediums) {
      bMedium |= IsEqualGUID(ksMedium.Set, connect.Medium.Set) && ksMedium.Id == connect.Medium.Id;
    }
    if (!bInterface || !bMedium) {
      return ERROR_NO_MATCH;
    }
    if (InstanceCount(iFilter, static_cast<int>(connect.PinId)) >= pin.ulPossibleInstances) {
      return ERROR_NO_SYSTEM_RESOURCES;
    }
    if (pin.dwCreateError) {
      return pin.dwCreateError;
    }
    return CheckFormat(pin, reinterpret_cast<const BYTE*>(pFormat), pFormat->FormatSize);
  }

  // ---------------------------------------------------- device I/O control

  BOOL DeviceIoControl(HANDLE handle, DWORD dwIoctl, LPVOID pvIn, DWORD cbIn, LPVOID pvOut,
                       DWORD cbOut, LPDWORD pcbReturned, LPOVERLAPPED pOverlapped) {
    {
      Lock lock(this);
      if (m_filterHandles.count(handle) || m_pins.count(handle)) {
        return OwnDeviceIoControl(handle, dwIoctl, pvIn, cbIn, pvOut, cbOut, pcbReturned,
                                  pOverlapped);
      }
    }
    return m_saved.DeviceIoControl(handle, dwIoctl, pvIn, cbIn, pvOut, cbOut, pcbReturned,
                                   pOverlapped);
  }

  // A request on one of the device's own handles; the lock is held.
  BOOL OwnDeviceIoControl(HANDLE handle, DWORD dwIoctl, LPVOID pvIn, DWORD cbIn, LPVOID pvOut,
                          DWORD cbOut, LPDWORD pcbReturned, LPOVERLAPPED pOverlapped) {
    auto itFilter = m_filterHandles.find(handle);
    auto itPin = m_pins.find(handle);
    PinInstance* pInstance = itPin != m_pins.end() ? itPin->second.get() : nullptr;

    VdRequest request;
    request.call = VdCall::DeviceIoControl;
    request.handle = handle;
    request.ulIoctl = dwIoctl;
    request.cbOutput = cbOut;
    request.iFilter = pInstance ? pInstance->iFilter : itFilter->second;
    request.iPin = pInstance ? pInstance->iPin : -1;
    if (pvIn && cbIn) {
      const BYTE* pb = static_cast<const BYTE*>(pvIn);
      request.input.assign(pb, pb + cbIn);
    }

    DWORD dwError;
    ULONG cbReturned = 0;
    if (m_engine.Unplugged()) {
      dwError = ERROR_DEVICE_NOT_CONNECTED;
    } else if (dwIoctl == IOCTL_KS_PROPERTY) {
      dwError = Property(pInstance, request, static_cast<BYTE*>(pvIn), cbIn,
                         static_cast<BYTE*>(pvOut), cbOut, &cbReturned);
    } else if (!pInstance) {
      dwError = ERROR_INVALID_FUNCTION;
    } else if ((dwError = IoctlFault(dwIoctl)) != 0) {
      // a failing request on demand
    } else if (dwIoctl == IOCTL_KS_READ_STREAM || dwIoctl == IOCTL_KS_WRITE_STREAM) {
      dwError = QueueStreamIo(pInstance, dwIoctl == IOCTL_KS_WRITE_STREAM,
                              static_cast<PKSSTREAM_HEADER>(pvOut), cbOut, pOverlapped);
    } else if (dwIoctl == IOCTL_KS_RESET_STATE) {
      dwError = ResetState(pInstance, static_cast<const BYTE*>(pvIn), cbIn);
    } else {
      dwError = ERROR_INVALID_FUNCTION;
    }

    request.dwError = dwError;
    request.cbReturned = cbReturned;
    if (m_machine.streaming.bLogStreamIo ||
        (dwIoctl != IOCTL_KS_READ_STREAM && dwIoctl != IOCTL_KS_WRITE_STREAM)) {
      Log(request);
    }

    // Completion as an overlapped handle sees it: a success or a warning
    // (more data) writes the status block and signals the event.
    if (dwError == 0 || dwError == ERROR_MORE_DATA) {
      if (pcbReturned) {
        *pcbReturned = cbReturned;
      }
      if (pOverlapped) {
        pOverlapped->Internal =
            static_cast<ULONG_PTR>(static_cast<ULONG>(dwError ? kStatusBufferOverflow : 0));
        pOverlapped->InternalHigh = cbReturned;
        if (pOverlapped->hEvent) {
          SetEvent(EventOf(pOverlapped));
        }
      }
    } else if (dwError != ERROR_IO_PENDING && pcbReturned) {
      *pcbReturned = 0;
    }
    SetLastError(dwError);
    return dwError == 0;
  }

  DWORD QueueStreamIo(PinInstance* pInstance, bool bWrite, PKSSTREAM_HEADER pHeader, ULONG cbOut,
                      LPOVERLAPPED pOverlapped) {
    if (pInstance->ulInterfaceId != KSINTERFACE_STANDARD_STREAMING) {
      return ERROR_INVALID_FUNCTION;
    }
    if (!pOverlapped || !pHeader || cbOut < sizeof(KSSTREAM_HEADER) ||
        pHeader->Size < sizeof(KSSTREAM_HEADER) || pHeader->Size > cbOut) {
      return ERROR_INVALID_PARAMETER;
    }
    if (pHeader->FrameExtent && !pHeader->Data) {
      return ERROR_NOACCESS;
    }
    if (bWrite && pHeader->DataUsed > pHeader->FrameExtent) {
      return ERROR_INVALID_PARAMETER;
    }
    if (pInstance->bInReset) {
      return ERROR_NOT_READY;
    }
    pOverlapped->Internal = static_cast<ULONG_PTR>(kStatusPending);
    pOverlapped->InternalHigh = 0;
    if (pOverlapped->hEvent) {
      ResetEvent(EventOf(pOverlapped));
    }
    pInstance->pending.push_back({pHeader, pOverlapped, bWrite, 0});
    m_engine.OnRequestQueued();
    return ERROR_IO_PENDING;
  }

  static DWORD ResetState(PinInstance* pInstance, const BYTE* pbIn, ULONG cbIn) {
    ULONG ulReset = 0;
    if (!pbIn || cbIn < sizeof(ulReset)) {
      return ERROR_INVALID_PARAMETER;
    }
    memcpy(&ulReset, pbIn, sizeof(ulReset));
    if (ulReset == KSRESET_BEGIN) {
      CancelPending(pInstance);
      pInstance->bInReset = true;
    } else if (ulReset == KSRESET_END) {
      pInstance->bInReset = false;
    } else {
      return ERROR_INVALID_PARAMETER;
    }
    return 0;
  }

  // ----------------------------------------------------------- properties

  DWORD Property(PinInstance* pInstance, VdRequest& request, BYTE* pbIn, ULONG cbIn, BYTE* pbOut,
                 ULONG cbOut, ULONG* pcbReturned) {
    if (!pbIn || cbIn < sizeof(KSPROPERTY)) {
      return ERROR_INVALID_PARAMETER;
    }
    PropertyCall call;
    call.pProperty = reinterpret_cast<const KSPROPERTY*>(pbIn);
    call.pbInput = pbIn;
    call.cbInput = cbIn;
    call.pbOutput = pbOut;
    call.cbOutput = pbOut ? cbOut : 0;
    call.cbReturned = 0;
    const ULONG ulFlags = call.pProperty->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    call.bGet = ulFlags == KSPROPERTY_TYPE_GET;
    call.bSet = ulFlags == KSPROPERTY_TYPE_SET;

    if (call.bSet && call.pbOutput) {
      request.value.assign(call.pbOutput, call.pbOutput + call.cbOutput);
    }
    request.bProperty = true;
    request.guidSet = call.pProperty->Set;
    request.ulId = call.pProperty->Id;
    request.ulFlags = call.pProperty->Flags;
    if ((call.pProperty->Flags & KSPROPERTY_TYPE_TOPOLOGY) && cbIn >= sizeof(KSNODEPROPERTY)) {
      request.ulNodeId = reinterpret_cast<const KSNODEPROPERTY*>(pbIn)->NodeId;
    }
    const bool bPinProperty =
        !pInstance && IsEqualGUID(call.pProperty->Set, KsGuid::PropSetPin) && cbIn >= sizeof(KSP_PIN);
    if (bPinProperty) {
      request.iPin = static_cast<int>(reinterpret_cast<const KSP_PIN*>(pbIn)->PinId);
    }

    DWORD dwError = Fault(request);
    if (!dwError) {
      if (ulFlags == KSPROPERTY_TYPE_SETSUPPORT || ulFlags == KSPROPERTY_TYPE_BASICSUPPORT) {
        dwError = Support(pInstance, call, ulFlags == KSPROPERTY_TYPE_BASICSUPPORT);
      } else if (!pInstance && call.bGet && Override(request, call, &dwError)) {
        // a malformed reply on demand
      } else if (pInstance) {
        dwError = PinProperty(pInstance, call);
      } else {
        dwError = FilterProperty(request.iFilter, call);
      }
    }
    *pcbReturned = call.cbReturned;
    return dwError;
  }

  // KSPROPERTY_TYPE_SETSUPPORT and _BASICSUPPORT: the sets a handle speaks,
  // and the access a property allows (get, and set on the pin's state,
  // format and position).
  static DWORD Support(const PinInstance* pInstance, PropertyCall& call, bool bBasic) {
    const GUID& guidSet = call.pProperty->Set;
    const bool bKnown =
        pInstance ? IsEqualGUID(guidSet, KsGuid::PropSetConnection) ||
                        IsEqualGUID(guidSet, KsGuid::PropSetAudio) ||
                        (IsEqualGUID(guidSet, KsGuid::PropSetRtAudio) &&
                         pInstance->ulInterfaceId == KSINTERFACE_STANDARD_LOOPED_STREAMING)
                  : IsEqualGUID(guidSet, KsGuid::PropSetPin) ||
                        IsEqualGUID(guidSet, KsGuid::PropSetTopology);
    if (!bKnown) {
      return ERROR_SET_NOT_FOUND;
    }
    if (!bBasic) {
      return 0;
    }
    ULONG ulAccess = KSPROPERTY_TYPE_GET;
    if (pInstance && !IsEqualGUID(guidSet, KsGuid::PropSetRtAudio)) {
      ulAccess |= KSPROPERTY_TYPE_SET;
    }
    return ReplyValue(call, &ulAccess, sizeof(ulAccess));
  }

  DWORD Fault(const VdRequest& request) {
    for (VdPropertyFault& fault : m_machine.propertyFaults) {
      if (fault.iRemaining != 0 && IsEqualGUID(fault.guidSet, request.guidSet) &&
          fault.ulId == request.ulId && (fault.iFilter < 0 || fault.iFilter == request.iFilter) &&
          (fault.iPin < 0 || fault.iPin == request.iPin) &&
          (fault.ulFlags == 0 || (fault.ulFlags & request.ulFlags))) {
        if (fault.iRemaining > 0) {
          --fault.iRemaining;
        }
        return fault.dwError;
      }
    }
    return 0;
  }

  DWORD IoctlFault(ULONG ulIoctl) {
    for (VdIoctlFault& fault : m_machine.ioctlFaults) {
      if (fault.iRemaining != 0 && fault.ulIoctl == ulIoctl) {
        if (fault.iRemaining > 0) {
          --fault.iRemaining;
        }
        return fault.dwError;
      }
    }
    return 0;
  }

  bool Override(const VdRequest& request, PropertyCall& call, DWORD* pdwError) {
    for (const VdReplyOverride& reply : m_machine.replyOverrides) {
      if (reply.iFilter == request.iFilter && (reply.iPin < 0 || reply.iPin == request.iPin) &&
          IsEqualGUID(reply.guidSet, request.guidSet) && reply.ulId == request.ulId) {
        *pdwError = ReplyMultiple(call, reply.reply);
        return true;
      }
    }
    return false;
  }

  DWORD FilterProperty(int iFilter, PropertyCall& call) {
    const VdFilter& filter = m_machine.filters[iFilter];
    const KSPROPERTY& property = *call.pProperty;
    if (IsEqualGUID(property.Set, KsGuid::PropSetTopology)) {
      if (property.Id != KSPROPERTY_TOPOLOGY_NODES) {
        return ERROR_NOT_FOUND;
      }
      if (!call.bGet) {
        return ERROR_INVALID_FUNCTION;
      }
      return ReplyMultiple(call, MultipleItem(filter.nodes));
    }
    if (!IsEqualGUID(property.Set, KsGuid::PropSetPin)) {
      return ERROR_SET_NOT_FOUND;
    }
    if (property.Id > KSPROPERTY_PIN_NAME) {
      return ERROR_NOT_FOUND;
    }
    if (!call.bGet) {
      return ERROR_INVALID_FUNCTION;
    }
    if (call.cbInput < sizeof(KSP_PIN)) {
      return ERROR_INVALID_PARAMETER;
    }
    const ULONG ulPinId = reinterpret_cast<const KSP_PIN*>(call.pbInput)->PinId;
    if (property.Id == KSPROPERTY_PIN_CTYPES) {
      ULONG cPins = static_cast<ULONG>(filter.pins.size());
      return ReplyValue(call, &cPins, sizeof(cPins));
    }
    if (ulPinId >= filter.pins.size()) {
      return ERROR_INVALID_PARAMETER;
    }
    const VdPinFactory& pin = filter.pins[ulPinId];
    KSPIN_CINSTANCES instances;
    instances.PossibleCount = pin.ulPossibleInstances;
    instances.CurrentCount = InstanceCount(iFilter, static_cast<int>(ulPinId));
    switch (property.Id) {
      case KSPROPERTY_PIN_CINSTANCES:
      case KSPROPERTY_PIN_GLOBALCINSTANCES:
        return ReplyValue(call, &instances, sizeof(instances));
      case KSPROPERTY_PIN_DATAFLOW:
        return ReplyValue(call, &pin.ulDataFlow, sizeof(ULONG));
      case KSPROPERTY_PIN_COMMUNICATION:
        return ReplyValue(call, &pin.ulCommunication, sizeof(ULONG));
      case KSPROPERTY_PIN_DATARANGES:
        return ReplyMultiple(call, DataRangeReply(pin.dataRanges));
      case KSPROPERTY_PIN_INTERFACES:
        return ReplyMultiple(call, MultipleItem(pin.interfaces));
      case KSPROPERTY_PIN_MEDIUMS:
        return ReplyMultiple(call, MultipleItem(pin.mediums));
      case KSPROPERTY_PIN_CATEGORY:
        return ReplyValue(call, &pin.guidCategory, sizeof(GUID));
      case KSPROPERTY_PIN_NAME:
        if (pin.name.empty()) {
          return ERROR_NOT_FOUND;
        }
        return ReplyValue(call, pin.name.c_str(),
                          static_cast<ULONG>((pin.name.size() + 1) * sizeof(WCHAR)));
      default:
        return ERROR_NOT_FOUND;
    }
  }

  DWORD PinProperty(PinInstance* pInstance, PropertyCall& call) {
    const KSPROPERTY& property = *call.pProperty;
    if (IsEqualGUID(property.Set, KsGuid::PropSetConnection)) {
      return ConnectionProperty(pInstance, call);
    }
    if (IsEqualGUID(property.Set, KsGuid::PropSetAudio)) {
      return AudioProperty(pInstance, call);
    }
    // Only a pin instantiated for looped streaming speaks the RtAudio set.
    if (IsEqualGUID(property.Set, KsGuid::PropSetRtAudio) &&
        pInstance->ulInterfaceId == KSINTERFACE_STANDARD_LOOPED_STREAMING) {
      return RtAudioProperty(pInstance, call);
    }
    return ERROR_SET_NOT_FOUND;
  }

  DWORD ConnectionProperty(PinInstance* pInstance, PropertyCall& call) {
    if (call.pProperty->Id == KSPROPERTY_CONNECTION_STATE) {
      if (call.bGet) {
        return ReplyValue(call, &pInstance->state, sizeof(KSSTATE));
      }
      if (!call.bSet) {
        return ERROR_INVALID_FUNCTION;
      }
      DWORD dwError = NeedValue(call, sizeof(KSSTATE));
      if (dwError) {
        return dwError;
      }
      KSSTATE state;
      memcpy(&state, call.pbOutput, sizeof(state));
      if (state < KSSTATE_STOP || state > KSSTATE_RUN) {
        return ERROR_INVALID_PARAMETER;
      }
      // Stopping cancels every queued stream request, as Windows does.
      if (state == KSSTATE_STOP && pInstance->state != KSSTATE_STOP) {
        CancelPending(pInstance);
      }
      m_engine.OnStateChange(pInstance, state);
      pInstance->state = state;
      return 0;
    }
    if (call.pProperty->Id == KSPROPERTY_CONNECTION_DATAFORMAT) {
      if (call.bGet) {
        return ReplyValue(call, pInstance->format.data(),
                          static_cast<ULONG>(pInstance->format.size()));
      }
      if (!call.bSet) {
        return ERROR_INVALID_FUNCTION;
      }
      if (call.cbOutput < sizeof(KSDATAFORMAT)) {
        return NeedValue(call, sizeof(KSDATAFORMAT));
      }
      if (pInstance->state != KSSTATE_STOP) {
        return ERROR_BAD_COMMAND;
      }
      const VdPinFactory& pin = m_machine.filters[pInstance->iFilter].pins[pInstance->iPin];
      ULONG cbFormat = std::min(call.cbOutput, kMaxFormatSize);
      DWORD dwError = CheckFormat(pin, call.pbOutput, cbFormat);
      if (!dwError) {
        pInstance->format.assign(call.pbOutput, call.pbOutput + cbFormat);
      }
      return dwError;
    }
    return ERROR_NOT_FOUND;
  }

  DWORD AudioProperty(PinInstance* pInstance, PropertyCall& call) {
    if (call.pProperty->Id == KSPROPERTY_AUDIO_POSITION) {
      if (call.bGet) {
        return ReplyValue(call, &pInstance->position, sizeof(KSAUDIO_POSITION));
      }
      DWORD dwError = call.bSet ? NeedValue(call, sizeof(KSAUDIO_POSITION)) : ERROR_INVALID_FUNCTION;
      if (!dwError) {
        memcpy(&pInstance->position, call.pbOutput, sizeof(KSAUDIO_POSITION));
      }
      return dwError;
    }
    if (call.pProperty->Id == KSPROPERTY_AUDIO_CHANNEL_CONFIG) {
      const VdFilter& filter = m_machine.filters[pInstance->iFilter];
      if (!(call.pProperty->Flags & KSPROPERTY_TYPE_TOPOLOGY) ||
          call.cbInput < sizeof(KSNODEPROPERTY) ||
          reinterpret_cast<const KSNODEPROPERTY*>(call.pbInput)->NodeId >= filter.nodes.size()) {
        return ERROR_INVALID_PARAMETER;
      }
      if (!call.bGet) {
        return ERROR_INVALID_FUNCTION;
      }
      KSAUDIO_CHANNEL_CONFIG config;
      config.ActiveSpeakerPositions = 0;
      const BYTE* pbWave = pInstance->format.data() + sizeof(KSDATAFORMAT);
      if (pInstance->format.size() >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE) &&
          reinterpret_cast<const WAVEFORMATEX*>(pbWave)->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        config.ActiveSpeakerPositions = static_cast<LONG>(
            reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(pbWave)->dwChannelMask);
      } else if (pInstance->format.size() >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) {
        WORD nChannels = reinterpret_cast<const WAVEFORMATEX*>(pbWave)->nChannels;
        config.ActiveSpeakerPositions =
            nChannels == 1 ? KSAUDIO_SPEAKER_MONO : nChannels == 2 ? KSAUDIO_SPEAKER_STEREO : 0;
      }
      return ReplyValue(call, &config, sizeof(config));
    }
    return ERROR_NOT_FOUND;
  }

  DWORD RtAudioProperty(PinInstance* pInstance, PropertyCall& call) {
    switch (call.pProperty->Id) {
      case KSPROPERTY_RTAUDIO_BUFFER:
      case KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION:
        return AllocateBuffer(pInstance, call);
      case KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT:
      case KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT: {
        if (!call.bSet) {
          return ERROR_INVALID_FUNCTION;
        }
        if (call.cbInput < sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY)) {
          return ERROR_INVALID_PARAMETER;
        }
        HANDLE hEvent =
            reinterpret_cast<const KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY*>(call.pbInput)
                ->NotificationEvent;
        std::vector<HANDLE>& events = pInstance->events;
        auto it = std::find(events.begin(), events.end(), hEvent);
        if (call.pProperty->Id == KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT) {
          if (it == events.end()) {
            return ERROR_INVALID_PARAMETER;
          }
          events.erase(it);
          return 0;
        }
        if (pInstance->ulNotificationCount == 0) {
          return ERROR_NOT_SUPPORTED;  // no buffer with notifications yet
        }
        if (!hEvent || it != events.end()) {
          return ERROR_INVALID_PARAMETER;
        }
        events.push_back(hEvent);
        return 0;
      }
      case KSPROPERTY_RTAUDIO_POSITIONREGISTER: {
        if (!call.bGet) {
          return ERROR_INVALID_FUNCTION;
        }
        if (call.cbInput < sizeof(KSRTAUDIO_HWREGISTER_PROPERTY)) {
          return ERROR_INVALID_PARAMETER;
        }
        KSRTAUDIO_HWREGISTER reg = {};
        reg.Register = const_cast<ULONG*>(&pInstance->ulPositionRegister);
        reg.Width = 32;
        const WAVEFORMATEX* pwfx =
            reinterpret_cast<const WAVEFORMATEX*>(pInstance->format.data() + sizeof(KSDATAFORMAT));
        reg.Accuracy = pInstance->format.size() >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)
                           ? pwfx->nBlockAlign
                           : 0;
        return ReplyValue(call, &reg, sizeof(reg));
      }
      case KSPROPERTY_RTAUDIO_HWLATENCY:
        if (!call.bGet) {
          return ERROR_INVALID_FUNCTION;
        }
        return ReplyValue(call, &m_machine.rtAudio.latency, sizeof(KSRTAUDIO_HWLATENCY));
      default:
        return ERROR_NOT_FOUND;
    }
  }

  DWORD AllocateBuffer(PinInstance* pInstance, PropertyCall& call) {
    const bool bNotify = call.pProperty->Id == KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION;
    if (!call.bGet) {
      return ERROR_INVALID_FUNCTION;
    }
    // KSRTAUDIO_BUFFER_PROPERTY is the same record without NotificationCount.
    const ULONG cbRecord = sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION) - (bNotify ? 0 : 4);
    if (call.cbInput < cbRecord) {
      return ERROR_INVALID_PARAMETER;
    }
    DWORD dwError = NeedValue(call, sizeof(KSRTAUDIO_BUFFER));
    if (dwError) {
      return dwError;
    }
    KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request = {};
    memcpy(&request, call.pbInput, cbRecord);
    const ULONG ulNotifications = bNotify ? request.NotificationCount : 0;
    const VdRtAudioConfig& config = m_machine.rtAudio;
    const ULONG cbRequested = request.RequestedBufferSize;
    if (pInstance->state != KSSTATE_STOP) {
      return ERROR_BAD_COMMAND;
    }
    const bool bTooLarge = config.cbMaximum && cbRequested > config.cbMaximum;
    if ((bNotify && (ulNotifications < 1 || ulNotifications > 2)) || cbRequested == 0 ||
        (config.cbAlign && cbRequested % config.cbAlign) || (bTooLarge && !config.bClampToMaximum)) {
      return ERROR_INVALID_PARAMETER;
    }
    ULONG cbActual = bTooLarge ? config.cbMaximum : cbRequested;
    if (config.cbRoundUp) {
      cbActual = (cbActual + config.cbRoundUp - 1) / config.cbRoundUp * config.cbRoundUp;
    }
    BYTE* pBuffer = static_cast<BYTE*>(
        VirtualAlloc(nullptr, cbActual, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!pBuffer) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    // A second allocation replaces the buffer; the old memory stays mapped
    // until the handle closes, so a stale pointer never faults.
    if (pInstance->pBuffer) {
      pInstance->retiredBuffers.push_back(pInstance->pBuffer);
    }
    pInstance->pBuffer = pBuffer;
    pInstance->cbBuffer = cbActual;
    pInstance->ulNotificationCount = ulNotifications;
    KSRTAUDIO_BUFFER reply;
    reply.BufferAddress = pBuffer;
    reply.ActualBufferSize = cbActual;
    reply.CallMemoryBarrier = FALSE;
    return ReplyValue(call, &reply, sizeof(reply));
  }

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
  int FilterOf(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData) const {
    if (!m_sets.count(hSet) || !pData || pData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        pData->Reserved == 0 || pData->Reserved > m_machine.filters.size()) {
      return -1;
    }
    return static_cast<int>(pData->Reserved - 1);
  }

  const VdInterface* InterfaceOf(int iFilter, const GUID& guidCategory) const {
    for (const VdInterface& vdInterface : m_machine.filters[iFilter].interfaces) {
      if (IsEqualGUID(vdInterface.guidCategory, guidCategory)) {
        return &vdInterface;
      }
    }
    return nullptr;
  }
};

CVirtualDevice::Impl* CVirtualDevice::Impl::s_pInstalled = nullptr;
BYTE CVirtualDevice::Impl::s_ksuserModule = 0;

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

BOOL WINAPI VdCloseHandle(HANDLE handle) { return Impl::s_pInstalled->CloseHandle(handle); }

HMODULE WINAPI VdLoadLibraryA(LPCSTR pszName) { return Impl::s_pInstalled->LoadLibrary(pszName); }

FARPROC WINAPI VdGetProcAddress(HMODULE hModule, LPCSTR pszName) {
  return Impl::s_pInstalled->GetProcAddress(hModule, pszName);
}

HRESULT WINAPI VdKsCreatePin2(HANDLE hFilter, PKSPIN_CONNECT pConnect, ACCESS_MASK desiredAccess,
                              PHANDLE phPin) {
  DWORD dwError = Impl::s_pInstalled->CreatePin(hFilter, pConnect, desiredAccess, phPin);
  return HRESULT_FROM_WIN32(dwError);
}

DWORD WINAPI VdKsCreatePin(HANDLE hFilter, PKSPIN_CONNECT pConnect, ACCESS_MASK desiredAccess,
                           PHANDLE phPin) {
  return Impl::s_pInstalled->CreatePin(hFilter, pConnect, desiredAccess, phPin);
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

template <class Fn>
FARPROC AsFarProc(Fn pfn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(pfn));
}

}  // namespace

FARPROC CVirtualDevice::Impl::GetProcAddress(HMODULE hModule, LPCSTR pszName) {
  if (hModule != KsUserModule()) {
    return m_saved.GetProcAddress(hModule, pszName);
  }
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::GetProcAddress;
  request.handle = hModule;
  // An ordinal is not a name: the model exports nothing by ordinal.
  const bool bNamed = reinterpret_cast<ULONG_PTR>(pszName) > 0xFFFF;
  request.text = bNamed ? pszName : "";
  FARPROC pfn = nullptr;
  if (bNamed && strcmp(pszName, "KsCreatePin2") == 0 && m_machine.bHasKsCreatePin2) {
    pfn = AsFarProc(&VdKsCreatePin2);
  } else if (bNamed && strcmp(pszName, "KsCreatePin") == 0 && m_machine.bHasKsCreatePin) {
    pfn = AsFarProc(&VdKsCreatePin);
  }
  request.dwError = pfn ? 0 : ERROR_PROC_NOT_FOUND;
  Log(request);
  SetLastError(request.dwError);
  return pfn;
}

HDEVINFO CVirtualDevice::Impl::GetClassDevs(const GUID* pguid, DWORD dwFlags) {
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::GetClassDevs;
  request.ulFlags = dwFlags;
  HANDLE hSet = INVALID_HANDLE_VALUE;
  if (!pguid || !(dwFlags & DIGCF_DEVICEINTERFACE)) {
    request.dwError = ERROR_INVALID_PARAMETER;
  } else {
    request.guidCategory = *pguid;
    hSet = NewIdentity();
    m_sets[hSet].guidCategory = *pguid;
  }
  request.hResult = hSet;
  Log(request);
  SetLastError(request.dwError);
  return hSet;
}

BOOL CVirtualDevice::Impl::EnumDeviceInterfaces(HDEVINFO hSet, PSP_DEVINFO_DATA pDevInfo,
                                                const GUID* pguid, DWORD dwIndex,
                                                PSP_DEVICE_INTERFACE_DATA pData) {
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::EnumDeviceInterfaces;
  request.handle = hSet;
  request.dwIndex = dwIndex;
  if (pguid) {
    request.guidCategory = *pguid;
  }
  if (!m_sets.count(hSet)) {
    request.dwError = ERROR_INVALID_HANDLE;
  } else if (!pguid || !pData || pDevInfo) {
    request.dwError = ERROR_INVALID_PARAMETER;
  } else if (pData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    request.dwError = ERROR_INVALID_USER_BUFFER;
  } else {
    request.dwError = ERROR_NO_MORE_ITEMS;
    DWORD dwSeen = 0;
    for (size_t i = 0; i < m_machine.filters.size(); ++i) {
      const VdInterface* pInterface = InterfaceOf(static_cast<int>(i), *pguid);
      if (!pInterface || (pInterface->dwFlags & SPINT_REMOVED)) {
        continue;
      }
      if (dwSeen++ == dwIndex) {
        pData->InterfaceClassGuid = *pguid;
        pData->Flags = pInterface->dwFlags;
        pData->Reserved = i + 1;
        request.iFilter = static_cast<int>(i);
        request.dwError = 0;
        break;
      }
    }
  }
  Log(request);
  SetLastError(request.dwError);
  return request.dwError == 0;
}

BOOL CVirtualDevice::Impl::GetInterfaceDetail(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData,
                                              PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail,
                                              DWORD cbDetail, PDWORD pcbRequired,
                                              PSP_DEVINFO_DATA pDevInfo) {
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::GetDeviceInterfaceDetail;
  request.handle = hSet;
  request.cbOutput = cbDetail;
  request.iFilter = FilterOf(hSet, pData);
  if (request.iFilter < 0) {
    request.dwError = m_sets.count(hSet) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
  } else {
    const std::string path =
        m_machine.filters[request.iFilter].DevicePath(pData->InterfaceClassGuid);
    const DWORD cbRequired = static_cast<DWORD>(
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    request.text = path;
    if (pcbRequired) {
      *pcbRequired = cbRequired;
    }
    if (pDetail && pDetail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      request.dwError = ERROR_INVALID_USER_BUFFER;
    } else if (pDevInfo && pDevInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
      request.dwError = ERROR_INVALID_USER_BUFFER;
    } else if (!pDetail || cbDetail < cbRequired) {
      request.dwError = ERROR_INSUFFICIENT_BUFFER;
    } else {
      memcpy(pDetail->DevicePath, path.c_str(), path.size() + 1);
      if (pDevInfo) {
        // The MEDIA setup class; DevInst names the filter.
        const GUID guidMedia = {0x4D36E96C, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
        pDevInfo->ClassGuid = guidMedia;
        pDevInfo->DevInst = static_cast<DWORD>(request.iFilter + 1);
        pDevInfo->Reserved = 0;
      }
    }
  }
  Log(request);
  SetLastError(request.dwError);
  return request.dwError == 0;
}

BOOL CVirtualDevice::Impl::GetInterfaceAlias(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData,
                                             const GUID* pguidAlias,
                                             PSP_DEVICE_INTERFACE_DATA pAlias) {
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::GetDeviceInterfaceAlias;
  request.handle = hSet;
  request.iFilter = FilterOf(hSet, pData);
  if (pguidAlias) {
    request.guidCategory = *pguidAlias;
  }
  const VdInterface* pInterface =
      request.iFilter >= 0 && pguidAlias ? InterfaceOf(request.iFilter, *pguidAlias) : nullptr;
  if (request.iFilter < 0 || !pguidAlias || !pAlias) {
    request.dwError = m_sets.count(hSet) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
  } else if (pAlias->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    request.dwError = ERROR_INVALID_USER_BUFFER;
  } else if (!pInterface) {
    request.dwError = ERROR_NO_SUCH_DEVICE_INTERFACE;
  } else {
    pAlias->InterfaceClassGuid = *pguidAlias;
    pAlias->Flags = pInterface->dwFlags;
    pAlias->Reserved = pData->Reserved;
  }
  Log(request);
  SetLastError(request.dwError);
  return request.dwError == 0;
}

HKEY CVirtualDevice::Impl::OpenInterfaceKey(HDEVINFO hSet, PSP_DEVICE_INTERFACE_DATA pData,
                                            DWORD dwReserved, REGSAM samDesired) {
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::OpenDeviceInterfaceRegKey;
  request.handle = hSet;
  request.ulFlags = samDesired;
  request.iFilter = FilterOf(hSet, pData);
  HKEY hKey = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
  if (request.iFilter < 0 || dwReserved != 0) {
    request.dwError = m_sets.count(hSet) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
  } else if (!m_machine.filters[request.iFilter].bHasRegistryKey) {
    request.dwError = ERROR_KEY_DOES_NOT_EXIST;
  } else {
    hKey = reinterpret_cast<HKEY>(NewIdentity());
    m_keys[hKey] = request.iFilter;
  }
  request.hResult = hKey;
  Log(request);
  SetLastError(request.dwError);
  return hKey;
}

BOOL CVirtualDevice::Impl::DestroyDeviceInfoList(HDEVINFO hSet) {
  Lock lock(this);
  VdRequest request;
  request.call = VdCall::DestroyDeviceInfoList;
  request.handle = hSet;
  auto it = m_sets.find(hSet);
  if (it == m_sets.end()) {
    request.dwError = ERROR_INVALID_HANDLE;
  } else {
    m_sets.erase(it);
    CloseIdentity(hSet);
  }
  Log(request);
  SetLastError(request.dwError);
  return request.dwError == 0;
}

LONG CVirtualDevice::Impl::QueryValue(HKEY hKey, LPCSTR pszName, LPDWORD pdwReserved,
                                      LPDWORD pdwType, LPBYTE pbData, LPDWORD pcbData) {
  {
    Lock lock(this);
    auto it = m_keys.find(hKey);
    if (it != m_keys.end()) {
      VdRequest request;
      request.call = VdCall::RegQueryValue;
      request.handle = hKey;
      request.iFilter = it->second;
      request.text = pszName ? pszName : "";
      request.cbOutput = pcbData ? *pcbData : 0;
      const VdFilter& filter = m_machine.filters[it->second];
      LONG lError = ERROR_SUCCESS;
      if (pdwReserved || (pbData && !pcbData)) {
        lError = ERROR_INVALID_PARAMETER;
      } else if (!filter.bHasFriendlyName || !pszName || _stricmp(pszName, "FriendlyName") != 0) {
        lError = ERROR_FILE_NOT_FOUND;
      } else {
        const DWORD cbValue = static_cast<DWORD>(filter.friendlyName.size() +
                                                 (filter.bFriendlyNameUnterminated ? 0 : 1));
        if (pdwType) {
          *pdwType = REG_SZ;
        }
        if (pbData && *pcbData < cbValue) {
          lError = ERROR_MORE_DATA;
        } else if (pbData) {
          memcpy(pbData, filter.friendlyName.c_str(), cbValue);
        }
        if (pcbData) {
          *pcbData = cbValue;
        }
        request.cbReturned = cbValue;
      }
      request.dwError = static_cast<DWORD>(lError);
      Log(request);
      return lError;
    }
  }
  return m_saved.RegQueryValueExA(hKey, pszName, pdwReserved, pdwType, pbData, pcbData);
}

LONG CVirtualDevice::Impl::CloseKey(HKEY hKey) {
  {
    Lock lock(this);
    auto it = m_keys.find(hKey);
    if (it != m_keys.end()) {
      VdRequest request;
      request.call = VdCall::RegCloseKey;
      request.handle = hKey;
      request.iFilter = it->second;
      m_keys.erase(it);
      CloseIdentity(reinterpret_cast<HANDLE>(hKey));
      Log(request);
      return ERROR_SUCCESS;
    }
  }
  return m_saved.RegCloseKey(hKey);
}

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

std::vector<VdRequest> CVirtualDevice::Requests() const {
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

VdStreamStats CVirtualDevice::Stats() const {
  Impl::Lock lock(m_pImpl.get());
  return m_pImpl->m_engine.Stats();
}

std::vector<VdRecording> CVirtualDevice::Recordings() const {
  Impl::Lock lock(m_pImpl.get());
  return m_pImpl->m_engine.Recordings();
}

void CVirtualDevice::Unplug() {
  Impl::Lock lock(m_pImpl.get());
  m_pImpl->m_engine.Unplug();
}

size_t CVirtualDevice::PendingReads(HANDLE hPin) const {
  VdPinInstanceInfo info;
  return GetPinInstance(hPin, &info) ? info.cPendingReads : 0;
}

size_t CVirtualDevice::PendingWrites(HANDLE hPin) const {
  VdPinInstanceInfo info;
  return GetPinInstance(hPin, &info) ? info.cPendingWrites : 0;
}
