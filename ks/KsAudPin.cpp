#include "ks/KsAudPin.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "ks/KsFilter.h"
#include "ks/KsTrace.h"

namespace {

// The connect record as constructed: KSPIN_CONNECT, KSDATAFORMAT and a plain
// WAVEFORMATEX.
const ULONG kConnectHeaderSize = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);
const ULONG kInitialConnectSize = kConnectHeaderSize + sizeof(WAVEFORMATEX);

// The size of a wave format with its extension.
ULONG WaveFormatSize(const WAVEFORMATEX* pwfx) {
  return pwfx->wFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX)
                                             : sizeof(WAVEFORMATEX) + pwfx->cbSize;
}

// IS_VALID_WAVEFORMATEX_GUID: bytes 2 to 15 are those of
// KSDATAFORMAT_SUBTYPE_WAVEFORMATEX, so any format tag passes.
bool IsWaveFormatExGuid(const GUID& guid) {
  return memcmp(reinterpret_cast<const BYTE*>(&guid) + 2,
                reinterpret_cast<const BYTE*>(&KsGuid::DataFormatSubtypeWaveFormatEx) + 2,
                sizeof(GUID) - 2) == 0;
}

}  // namespace

CKsAudPin::CKsAudPin(CKsFilter* pFilter, ULONG nId, HRESULT& hr)
    : CKsPin(pFilter, nId, &hr),
      m_pwfx(nullptr),
      m_pksDataFormatWfx(nullptr),
      m_ulInterfaceId(0),
      m_pBuffer(nullptr),
      m_cbBuffer(0),
      m_hNotificationEvent(nullptr),
      m_pulPositionRegister(nullptr),
      m_cbPositionAccuracy(0),
      m_pvClockRegister(nullptr),
      m_ulClockWidth(0),
      m_ullClockNumerator(0),
      m_ullClockDenominator(0) {
  KsTraceEnter("CKsAudPin::CKsAudPin()");
  if (SUCCEEDED(hr)) {
    m_cbPinCreate = kInitialConnectSize;
    m_pksPinCreate = static_cast<PKSPIN_CONNECT>(calloc(1, m_cbPinCreate));
    if (!m_pksPinCreate) {
      KsTrace(1, "Failed to allocate m_pksPinCreate");
      hr = E_OUTOFMEMORY;
    } else {
      m_pksPinCreate->Interface.Set = KsGuid::InterfaceSetStandard;
      m_pksPinCreate->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
      m_pksPinCreate->Interface.Flags = 0;
      m_pksPinCreate->Medium.Set = KsGuid::MediumSetStandard;
      m_pksPinCreate->Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
      m_pksPinCreate->Medium.Flags = 0;
      m_pksPinCreate->PinId = nId;
      m_pksPinCreate->PinToHandle = nullptr;
      m_pksPinCreate->Priority.PriorityClass = KSPRIORITY_NORMAL;
      m_pksPinCreate->Priority.PrioritySubClass = 1;
      m_pksDataFormatWfx = reinterpret_cast<PKSDATAFORMAT>(m_pksPinCreate + 1);
      m_pksDataFormatWfx->FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
      m_pksDataFormatWfx->Flags = 0;
      m_pksDataFormatWfx->Reserved = 0;
      m_pksDataFormatWfx->MajorFormat = KsGuid::DataFormatTypeAudio;
      m_pksDataFormatWfx->SubFormat = KsGuid::DataFormatSubtypePcm;
      m_pksDataFormatWfx->Specifier = KsGuid::DataFormatSpecifierWaveFormatEx;
      hr = Init();
    }
  }
  KsTraceLeaveResult("CKsAudPin::CKsAudPin", hr);
}

CKsAudPin::~CKsAudPin() {
  KsTraceEnter("CKsAudPin::~CKsAudPin()");
  m_listDataRanges.DeleteAll();
  m_listNodes.DeleteAll();
  free(m_pwfx);
  KsTraceLeave("CKsAudPin::~CKsAudPin()");
}

HRESULT CKsAudPin::Init() {
  KsTraceEnter("CKsAudPin::Init()");
  HRESULT hr = S_OK;
  const PinDescriptor& d = m_Descriptor;

  bool bInterface = false;
  for (ULONG i = 0; i < d.InterfacesCount && !bInterface; ++i) {
    if (IsEqualGUID(d.Interfaces[i].Set, KsGuid::InterfaceSetStandard) &&
        (d.Interfaces[i].Id == KSINTERFACE_STANDARD_STREAMING ||
         d.Interfaces[i].Id == KSINTERFACE_STANDARD_LOOPED_STREAMING)) {
      m_ulInterfaceId = d.Interfaces[i].Id;
      bInterface = true;
    }
  }
  bool bMedium = false;
  for (ULONG i = 0; i < d.MediumsCount; ++i) {
    bMedium |= IsEqualGUID(d.Mediums[i].Set, KsGuid::MediumSetStandard) &&
               d.Mediums[i].Id == KSMEDIUM_TYPE_ANYINSTANCE;
  }

  if (!bInterface) {
    KsTrace(1, "No standard streaming interfaces on the pin");
    hr = E_FAIL;
  } else if (!bMedium) {
    KsTrace(1, "No standard streaming mediums on the pin");
    hr = E_FAIL;
  } else {
    // Once one range passes the sub-format test, every later range is taken
    // as a wave-format range too.
    bool bViable = false;
    CKsDataRangeWalk walk(m_Descriptor);
    for (PKSDATARANGE pRange = walk.Next(); pRange; pRange = walk.Next()) {
      if (!bViable) {
        bViable = IsWaveFormatExGuid(pRange->SubFormat) ||
                  IsEqualGUID(pRange->SubFormat, KsGuid::DataFormatSubtypePcm) ||
                  IsEqualGUID(pRange->SubFormat, KsGuid::Null);
        if (!bViable) {
          continue;
        }
      }
      if (!IsEqualGUID(pRange->MajorFormat, KsGuid::DataFormatTypeAudio)) {
        continue;
      }
      // A range shorter than a KSDATARANGE_AUDIO is copied only as far as it
      // goes; the rest of the copy stays zero.
      KSDATARANGE_AUDIO* pCopy = new (std::nothrow) KSDATARANGE_AUDIO();
      if (!pCopy) {
        KsTrace(1, "Unable to allocate memory to save datarange in");
        hr = E_OUTOFMEMORY;
        continue;
      }
      memcpy(pCopy, pRange,
             pRange->FormatSize < sizeof(KSDATARANGE_AUDIO) ? pRange->FormatSize
                                                            : sizeof(KSDATARANGE_AUDIO));
      if (!m_listDataRanges.AddTail(pCopy)) {
        delete pCopy;
        KsTrace(1, "Unable to allocate list entry to save datarange in");
        hr = E_OUTOFMEMORY;
      }
    }
    if (!bViable) {
      KsTrace(1, "No audio dataranges on the pin");
      hr = E_FAIL;
    }
  }
  KsTraceLeaveResult("CKsAudPin::Init", hr);
  return hr;
}

BOOL CKsAudPin::IsFormatSupported(const WAVEFORMATEX* pwfx) {
  KsTraceEnter("CKsAudPin::IsFormatSupported()");
  BOOL bSupported = FALSE;
  if (pwfx) {
    GUID guidSubFormat = KsGuid::DataFormatSubtypeWaveFormatEx;
    ULONG ulBits = pwfx->wBitsPerSample;
    if (pwfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
      const WAVEFORMATEXTENSIBLE* pwfxe = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(pwfx);
      guidSubFormat = pwfxe->SubFormat;
      ulBits = pwfxe->Samples.wValidBitsPerSample;
    } else {
      guidSubFormat.Data1 = pwfx->wFormatTag;  // DEFINE_WAVEFORMATEX_GUID
    }
    for (auto* pNode = m_listDataRanges.m_pFirst; pNode && !bSupported; pNode = pNode->pNext) {
      const KSDATARANGE_AUDIO* pRange = pNode->pData;
      const KSDATARANGE& header = pRange->DataRange;
      bSupported =
          (IsEqualGUID(header.SubFormat, KsGuid::Null) ||
           IsEqualGUID(header.SubFormat, guidSubFormat)) &&
          (IsEqualGUID(header.Specifier, KsGuid::Null) ||
           IsEqualGUID(header.Specifier, KsGuid::DataFormatSpecifierWaveFormatEx)) &&
          pwfx->nChannels <= pRange->MaximumChannels && ulBits >= pRange->MinimumBitsPerSample &&
          ulBits <= pRange->MaximumBitsPerSample &&
          pwfx->nSamplesPerSec >= pRange->MinimumSampleFrequency &&
          pwfx->nSamplesPerSec <= pRange->MaximumSampleFrequency;
    }
  }
  KsTraceLeave("CKsAudPin::IsFormatSupported()");
  return bSupported;
}

HRESULT CKsAudPin::SetFormat(const WAVEFORMATEX* pwfx) {
  KsTraceEnter("CKsAudPin::SetFormat()");
  HRESULT hr = S_OK;
  if (!pwfx || !m_pksDataFormatWfx) {
    KsTrace(1, "pwfx or m_pksDataFormatWfx are NULL");
    hr = E_FAIL;
  } else {
    const ULONG cbWave = WaveFormatSize(pwfx);
    const ULONG cbNeeded = kConnectHeaderSize + cbWave;
    if (m_cbPinCreate != cbNeeded) {
      PKSPIN_CONNECT pNew = static_cast<PKSPIN_CONNECT>(calloc(1, cbNeeded));
      if (!pNew) {
        KsTrace(1, "Unable to allocate KSPIN_CONNECT structure");
        hr = E_OUTOFMEMORY;
      } else {
        memcpy(pNew, m_pksPinCreate, m_cbPinCreate < cbNeeded ? m_cbPinCreate : cbNeeded);
        free(m_pksPinCreate);
        m_pksPinCreate = pNew;
        m_cbPinCreate = cbNeeded;
        m_pksDataFormatWfx = reinterpret_cast<PKSDATAFORMAT>(m_pksPinCreate + 1);
        m_pksDataFormatWfx->FormatSize = sizeof(KSDATAFORMAT) + cbWave;
      }
    }
    if (SUCCEEDED(hr)) {
      memcpy(m_pksDataFormatWfx + 1, pwfx, cbWave);
      m_pksDataFormatWfx->SampleSize =
          static_cast<USHORT>(pwfx->nChannels * pwfx->wBitsPerSample / 8);
      free(m_pwfx);
      m_pwfx = static_cast<PWAVEFORMATEX>(malloc(cbWave));
      if (m_pwfx) {
        memcpy(m_pwfx, pwfx, cbWave);
      }
    }
  }
  KsTraceLeaveResult("CKsAudPin::SetFormat", hr);
  return hr;
}

HRESULT CKsAudPin::GetPosition(KSAUDIO_POSITION* pPosition) {
  KsTraceEnter("CKsAudPin::GetPosition()");
  HRESULT hr = E_INVALIDARG;
  if (pPosition) {
    hr = GetPropertySimple(KsGuid::PropSetAudio, KSPROPERTY_AUDIO_POSITION, pPosition,
                           sizeof(*pPosition));
    if (FAILED(hr)) {
      KsTrace(1, "Failed to retrieve audio stream position - %#08x", static_cast<unsigned>(hr));
    }
  }
  KsTraceLeaveResult("CKsAudPin::GetPosition", hr);
  return hr;
}

HRESULT CKsAudPin::SetPosition(KSAUDIO_POSITION* pPosition) {
  KsTraceEnter("CKsAudPin::SetPosition()");
  HRESULT hr = E_INVALIDARG;
  if (pPosition) {
    hr = SetPropertySimple(KsGuid::PropSetAudio, KSPROPERTY_AUDIO_POSITION, pPosition,
                           sizeof(*pPosition));
    if (FAILED(hr)) {
      KsTrace(1, "Failed to set audio stream position - %#08x", static_cast<unsigned>(hr));
    }
  }
  KsTraceLeaveResult("CKsAudPin::SetPosition", hr);
  return hr;
}

HRESULT CKsAudPin::GetHWLatency(KSRTAUDIO_HWLATENCY* pLatency) {
  KsTraceEnter("CKsAudPin::GetHWLatency()");
  HRESULT hr = E_INVALIDARG;
  if (pLatency) {
    hr = GetPropertySimple(KsGuid::PropSetRtAudio, KSPROPERTY_RTAUDIO_HWLATENCY, pLatency,
                           sizeof(*pLatency));
  }
  KsTraceLeaveResult("CKsAudPin::GetHWLatency", hr);
  return hr;
}

HRESULT CKsAudPin::GetDeviceDelayFrames(ULONG* pulFrames) {
  KsTraceEnter("CKsAudPin::GetDeviceDelayFrames()");
  HRESULT hr = E_INVALIDARG;
  if (pulFrames) {
    *pulFrames = 0;
    const ULONG ulRate = m_pwfx ? m_pwfx->nSamplesPerSec : 0;
    const ULONG ulBlock = m_pwfx ? m_pwfx->nBlockAlign : 0;
    // Both properties count time in 100-nanosecond units.
    ULONGLONG ullTime100ns = 0;  // kept below 2^32 by the reports' widths
    ULONGLONG ullFifoFrames = 0;
    if (!ulRate || !ulBlock) {
      hr = E_FAIL;
    } else if (m_bLooped) {
      KSRTAUDIO_HWLATENCY latency = {};
      hr = GetHWLatency(&latency);
      if (SUCCEEDED(hr)) {
        ullFifoFrames = latency.FifoSize / ulBlock;
        ullTime100ns = static_cast<ULONGLONG>(latency.ChipsetDelay) + latency.CodecDelay;
      }
    } else {
      KSTIME latency = {};
      hr = GetPropertySimple(KsGuid::PropSetAudio, KSPROPERTY_AUDIO_LATENCY, &latency,
                             sizeof(latency));
      if (SUCCEEDED(hr)) {
        // Time x Numerator / Denominator, kept below a second whatever the
        // device reports.
        if (latency.Time > 0 && latency.Numerator && latency.Denominator) {
          const double dTime = static_cast<double>(latency.Time) * latency.Numerator / latency.Denominator;
          ullTime100ns = dTime < 1e7 ? static_cast<ULONGLONG>(dTime) : 10000000u;
        }
      }
    }
    if (SUCCEEDED(hr)) {
      // Rounded to the nearest frame; a second of delay is beyond any device.
      const ULONGLONG ullFrames = ullFifoFrames + (ullTime100ns * ulRate + 5000000) / 10000000;
      *pulFrames = static_cast<ULONG>(ullFrames < ulRate ? ullFrames : ulRate);
    } else {
      KsTrace(3, "No device delay reported - %#08x", static_cast<unsigned>(hr));
    }
  }
  KsTraceLeaveResult("CKsAudPin::GetDeviceDelayFrames", hr);
  return hr;
}

HRESULT CKsAudPin::AllocateBuffersWithNotification(ULONG cbRequested, PVOID* ppBuffer,
                                                   PULONG pcbBuffer) {
  KsTraceEnter("CKsAudPin::AllocateBuffersWithNotification()");
  *ppBuffer = nullptr;
  *pcbBuffer = 0;
  // An event still registered is unregistered and closed first, so that none
  // leaks and the driver never keeps a handle the pin has closed.
  if (m_hNotificationEvent) {
    FreeBuffersWithNotification();
  }

  HRESULT hr = S_OK;
  if (!m_pBuffer) {
    const ULONG ulStep = m_pwfx && m_pwfx->nChannels ? m_pwfx->nChannels : 64;
    struct {
      PVOID BaseAddress;
      ULONG RequestedBufferSize;
      ULONG NotificationCount;
    } request = {nullptr, cbRequested, 2};
    static_assert(sizeof(request) == 16, "the tail of KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION");
    for (;;) {
      KSRTAUDIO_BUFFER reply = {};
      hr = GetPropertySimple(KsGuid::PropSetRtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION,
                             &reply, sizeof(reply), &request, sizeof(request));
      if (SUCCEEDED(hr)) {
        m_pBuffer = reply.BufferAddress;
        m_cbBuffer = reply.ActualBufferSize;
        MapRegisters();
        break;
      }
      const ULONG cbNext = request.RequestedBufferSize + ulStep;
      if (cbNext >= 65536 || cbNext < request.RequestedBufferSize) {
        KsTrace(1, "Failed to allocate audio buffers - %#08x", static_cast<unsigned>(hr));
        KsTraceLeaveResult("CKsAudPin::AllocateBuffersWithNotification", hr);
        return hr;
      }
      request.RequestedBufferSize = cbNext;
    }
  }
  *ppBuffer = m_pBuffer;
  *pcbBuffer = m_cbBuffer;

  // Manual reset: a notification is taken by resetting it, so that a wait
  // woken by one it may not take yet leaves it signalled.
  m_hNotificationEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  hr = SetPropertySimple(KsGuid::PropSetRtAudio, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT,
                         nullptr, 0, &m_hNotificationEvent, sizeof(m_hNotificationEvent));
  if (FAILED(hr)) {
    KsTrace(1, "Failed to allocate audio buffers - %#08x", static_cast<unsigned>(hr));
  }
  KsTraceLeaveResult("CKsAudPin::AllocateBuffersWithNotification", hr);
  return hr;
}

void CKsAudPin::MapRegisters() {
  PVOID pvBaseAddress = nullptr;
  KSRTAUDIO_HWREGISTER reg = {};
  // A 64-bit register is read by its low half (little-endian), which holds
  // any offset in a buffer below 4 GB.
  if (SUCCEEDED(GetPropertySimple(KsGuid::PropSetRtAudio, KSPROPERTY_RTAUDIO_POSITIONREGISTER, &reg,
                                  sizeof(reg), &pvBaseAddress, sizeof(pvBaseAddress))) &&
      reg.Register != nullptr && (reg.Width == 32 || reg.Width == 64)) {
    m_pulPositionRegister = static_cast<const volatile ULONG*>(reg.Register);
    m_cbPositionAccuracy = reg.Accuracy;
  } else {
    KsTrace(3, "No position register: positions through KSPROPERTY_AUDIO_POSITION");
  }
  reg = {};
  if (SUCCEEDED(GetPropertySimple(KsGuid::PropSetRtAudio, KSPROPERTY_RTAUDIO_CLOCKREGISTER, &reg,
                                  sizeof(reg), &pvBaseAddress, sizeof(pvBaseAddress))) &&
      reg.Register != nullptr && (reg.Width == 32 || reg.Width == 64) && reg.Numerator != 0 &&
      reg.Denominator != 0) {
    m_pvClockRegister = reg.Register;
    m_ulClockWidth = reg.Width;
    m_ullClockNumerator = reg.Numerator;
    m_ullClockDenominator = reg.Denominator;
  }
}

void CKsAudPin::ForgetBuffer() {
  m_pBuffer = nullptr;
  m_cbBuffer = 0;
  m_pulPositionRegister = nullptr;
  m_cbPositionAccuracy = 0;
  m_pvClockRegister = nullptr;
  m_ulClockWidth = 0;
  m_ullClockNumerator = m_ullClockDenominator = 0;
}

ULONG CKsAudPin::PositionSlackSamples() const {
  const ULONGLONG perSecond = m_pwfx != nullptr ? static_cast<ULONGLONG>(m_pwfx->nSamplesPerSec) * m_pwfx->nChannels : 0;
  return m_cbPositionAccuracy / 4 + static_cast<ULONG>(kPositionLagUs * perSecond / 1000000);
}

HRESULT CKsAudPin::GetBufferPosition(ULONG* pcbOffset) {
  if (m_cbBuffer == 0) return E_FAIL;
  if (m_pulPositionRegister != nullptr) {
    *pcbOffset = *m_pulPositionRegister % m_cbBuffer;
    return S_OK;
  }
  KSAUDIO_POSITION position = {};
  const HRESULT hr = GetPosition(&position);
  if (SUCCEEDED(hr)) *pcbOffset = static_cast<ULONG>(position.PlayOffset % m_cbBuffer);
  return hr;
}

bool CKsAudPin::ReadDeviceClock(uint64_t* pullMicroseconds) const {
  if (m_pvClockRegister == nullptr) return false;
  const ULONGLONG ullTicks =
      m_ulClockWidth == 64 ? *static_cast<const volatile ULONGLONG*>(m_pvClockRegister)
                           : *static_cast<const volatile ULONG*>(m_pvClockRegister);
  // Whole seconds first, so that neither product overflows.
  const ULONGLONG ullPerSecond = m_ullClockNumerator / m_ullClockDenominator;
  if (ullPerSecond == 0) return false;
  *pullMicroseconds = ullTicks / ullPerSecond * 1000000 + ullTicks % ullPerSecond * 1000000 / ullPerSecond;
  return true;
}

void CKsAudPin::FreeBuffersWithNotification() {
  KsTraceEnter("CKsAudPin::FreeBuffersWithNotification()");
  HRESULT hr = SetPropertySimple(KsGuid::PropSetRtAudio,
                                 KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT, nullptr, 0,
                                 &m_hNotificationEvent, sizeof(m_hNotificationEvent));
  if (m_hNotificationEvent) {
    CloseHandle(m_hNotificationEvent);
    m_hNotificationEvent = nullptr;
  }
  KsTraceLeaveResult("CKsAudPin::FreeBuffersWithNotification", hr);
}

HRESULT CKsAudPin::Instantiate(BOOL bLooped) {
  ForgetBuffer();
  return CKsPin::Instantiate(bLooped);
}

HRESULT CKsAudPin::Reinstantiate() {
  if (m_hNotificationEvent) {
    FreeBuffersWithNotification();
  }
  return CKsPin::Reinstantiate();
}

CKsNode* CKsAudPin::GetNode(ULONG nId) {
  KsTraceEnter("CKsAudPin::GetNode()");
  CKsNode* pFound = nullptr;
  for (auto* pNode = m_listNodes.m_pFirst; pNode && !pFound; pNode = pNode->pNext) {
    if (pNode->pData->GetId() == nId) {
      pFound = pNode->pData;
    }
  }
  KsTraceLeave("CKsAudPin::GetNode()");
  return pFound;
}

CKsAudRenPin::CKsAudRenPin(CKsFilter* pFilter, ULONG nId, HRESULT& hr)
    : CKsAudPin(pFilter, nId, hr) {
  KsTraceEnter("CKsAudRenPin::CKsAudRenPin()");
  m_nType = 1;
  KsTraceLeaveResult("CKsAudRenPin::CKsAudRenPin", hr);
}

CKsAudRenPin::~CKsAudRenPin() {
  KsTraceEnter("CKsAudRenPin::~CKsAudRenPin()");
  KsTraceLeave("CKsAudRenPin::~CKsAudRenPin()");
}

CKsAudCapPin::CKsAudCapPin(CKsFilter* pFilter, ULONG nId, HRESULT& hr)
    : CKsAudPin(pFilter, nId, hr) {
  KsTraceEnter("CKsAudCapPin::CKsAudCapPin()");
  m_nType = 2;
  KsTraceLeaveResult("CKsAudCapPin::CKsAudCapPin", hr);
}

CKsAudCapPin::~CKsAudCapPin() {
  KsTraceEnter("CKsAudCapPin::~CKsAudCapPin()");
  KsTraceLeave("CKsAudCapPin::~CKsAudCapPin()");
}
