// The virtual device's filters and pins: opening a filter by its path, the
// virtual "ksuser.dll" and its pin-creation entry points, and pin creation
// with its checks of interface, medium, instances and format.
#include "virtual-device/VirtualDeviceImpl.h"

#include <string.h>

namespace {

bool IsNullGuid(const GUID& guid) { return IsEqualGUID(guid, KsGuid::Null); }

// A range GUID admits a format GUID when equal or a wildcard.
bool Admits(const GUID& guidRange, const GUID& guidFormat) {
  return IsNullGuid(guidRange) || IsEqualGUID(guidRange, guidFormat);
}

bool SameText(const std::string& a, const char* b) {
  return b && _stricmp(a.c_str(), b) == 0;
}

}  // namespace

DWORD CVirtualDevice::Impl::CheckFormat(const VdPinFactory& pin, const BYTE* pbFormat,
                                        ULONG cbFormat) {
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

namespace {

HRESULT WINAPI VdKsCreatePin2(HANDLE hFilter, PKSPIN_CONNECT pConnect, ACCESS_MASK desiredAccess,
                              PHANDLE phPin) {
  DWORD dwError =
      CVirtualDevice::Impl::s_pInstalled->CreatePin(hFilter, pConnect, desiredAccess, phPin);
  return HRESULT_FROM_WIN32(dwError);
}

DWORD WINAPI VdKsCreatePin(HANDLE hFilter, PKSPIN_CONNECT pConnect, ACCESS_MASK desiredAccess,
                           PHANDLE phPin) {
  return CVirtualDevice::Impl::s_pInstalled->CreatePin(hFilter, pConnect, desiredAccess, phPin);
}

template <class Fn>
FARPROC AsFarProc(Fn pfn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(pfn));
}

}  // namespace

// --------------------------------------------------------- filter open

HANDLE CVirtualDevice::Impl::CreateFile(LPCSTR pszPath, DWORD dwAccess, DWORD dwShare,
                                        DWORD dwDisposition, DWORD dwFlags) {
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

// ---------------------------------------------------------- ksuser.dll

HMODULE CVirtualDevice::Impl::LoadLibrary(LPCSTR pszName) {
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

DWORD CVirtualDevice::Impl::CreatePin(HANDLE hFilter, PKSPIN_CONNECT pConnect,
                                      ACCESS_MASK desiredAccess, PHANDLE phPin) {
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
  } else if (m_engine.Unplugged() || Gone(hFilter)) {
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
    pInstance->abUnconsumed[0] = pInstance->abUnconsumed[1] = false;
    pInstance->bNotifyPending = false;
    pInstance->bLostFrames = false;
    pInstance->iNotifyHalf = 0;
    pInstance->ullNotifyFrame = 0;
    pInstance->nFrameDone = 0;
    pInstance->bHostGone = false;
    pInstance->iRecording = -1;
    pInstance->ullStreamFrames = 0;
    pInstance->ullHoldWritesUntil = 0;
    pInstance->bGone = false;
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

DWORD CVirtualDevice::Impl::CheckConnect(int iFilter, const KSPIN_CONNECT& connect,
                                         const KSDATAFORMAT* pFormat) {
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
