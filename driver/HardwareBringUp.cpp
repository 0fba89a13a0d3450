// Hardware bring-up: finding the device's KS filters among the machine's
// audio filters by the USB identifier in their paths, and opening a capture
// pin (16 channels, else 2) and a render pin (2 channels) on them.
#include "driver/AsioDriver.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "driver/DeviceWaveFormat.h"
#include "ks/KsAudFilter.h"
#include "ks/KsEnumFilters.h"
#include "streaming/StreamPlan.h"

namespace {

const char kDeviceId[] = "usb#vid_5e5e&pid_0a0a";
const char kHardwareNotFound[] = "Quorvex Vor OD hardware not found.";
const char kDeviceInUse[] =
    "Quorvex Vor OD is in use by another program or another copy of this driver.";

// Interface choices of the pin creators: capture pins are opened for looped
// streaming, or standard streaming on a pin that offers no looped streaming
// (the streams support both); render pins with the interface they chose
// themselves.
constexpr int kCaptureInterface = 3;
constexpr int kRenderInterface = 0;

// Paths often spell the identifier in capitals; compare in lower case.
bool PathNamesTheDevice(const char* path) {
  char lower[MAX_PATH];
  size_t i = 0;
  for (; i + 1 < sizeof(lower) && path[i] != '\0'; ++i) {
    const char c = path[i];
    lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  lower[i] = '\0';
  return strstr(lower, kDeviceId) != nullptr;
}

CKsEnumFilters* CreateEnumerator() {
  HRESULT hr = S_OK;
  CKsEnumFilters* enumerator = new (std::nothrow) CKsEnumFilters(&hr);
  if (enumerator != nullptr && FAILED(hr)) {
    delete enumerator;
    enumerator = nullptr;
  }
  return enumerator;
}

const char* TypeName(KsFilterType type) { return type == eCapture ? "capture" : "render"; }

// Runs one enumeration and returns the device's filters of that type. The
// other devices' filters are closed at once: the driver has no use for them
// and must not hold them open for its lifetime.
template <typename TFilter>
std::vector<TFilter*> CollectDeviceFilters(CKsEnumFilters* enumerator, KsFilterType type,
                                           const GUID& category) {
  CDiagnosticsLog& log = CDiagnosticsLog::Instance();
  std::vector<TFilter*> filters;
  const GUID categories[2] = {KsGuid::CategoryAudio, category};
  const HRESULT hr = enumerator->EnumFilters(type, categories, 2, TRUE, FALSE, TRUE);
  if (FAILED(hr)) {
    log.Write("bring-up: listing the %s filters failed (0x%08lx)", TypeName(type),
              static_cast<unsigned long>(hr));
    return filters;
  }
  for (auto* node = enumerator->m_listFilters.m_pFirst; node != nullptr;) {
    CKsFilter* filter = node->pData;
    node = node->pNext;
    // The enumerator made a filter of this class for this type.
    const bool ofType = filter != nullptr && filter->GetType() == static_cast<ULONG>(type);
    const bool device = filter != nullptr && PathNamesTheDevice(filter->m_szFilterName);
    if (filter != nullptr)
      log.Write("bring-up: %s filter \"%s\" %s: %s", TypeName(type), filter->m_szFriendlyName,
                filter->m_szFilterName,
                !ofType  ? "closed, not a filter of this type"
                : device ? "kept, its path names the Vor OD (usb#vid_5e5e&pid_0a0a)"
                         : "closed, another device");
    if (ofType && device) {
      filters.push_back(static_cast<TFilter*>(filter));
    } else {
      enumerator->m_listFilters.Remove(filter);
      delete filter;
    }
  }
  return filters;
}

// Whether every instance that one of these streaming pins allows was taken
// when the filters were read: another program (or driver object) holds the
// device.
bool PinsHeld(const CKsList<CKsPin>& pins) {
  for (auto* node = pins.m_pFirst; node != nullptr; node = node->pNext) {
    const KSPIN_CINSTANCES& instances = node->pData->m_Descriptor.CInstancesGlobal;
    if (instances.PossibleCount != 0 && instances.CurrentCount >= instances.PossibleCount)
      return true;
  }
  return false;
}

// The format a pin was asked for and what became of it.
void LogPinAttempt(const char* role, const CKsFilter* filter, const WAVEFORMATEXTENSIBLE& format,
                   const CKsAudPin* pin) {
  CDiagnosticsLog& log = CDiagnosticsLog::Instance();
  if (!log.Enabled()) return;
  const WAVEFORMATEX& wfx = format.Format;
  const bool extensible = wfx.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
  char shape[96];
  if (extensible)
    snprintf(shape, sizeof(shape), "%u channels (mask 0x%lx), %u-bit containers, %u valid bits",
             wfx.nChannels, static_cast<unsigned long>(format.dwChannelMask), wfx.wBitsPerSample,
             format.Samples.wValidBitsPerSample);
  else
    snprintf(shape, sizeof(shape), "%u channels, plain PCM, %u bits", wfx.nChannels,
             wfx.wBitsPerSample);
  if (pin != nullptr)
    log.Write("bring-up: %s pin %lu on \"%s\": %s, %lu Hz: opened, %s", role,
              static_cast<unsigned long>(pin->m_nId), filter->m_szFriendlyName, shape,
              static_cast<unsigned long>(wfx.nSamplesPerSec),
              pin->m_ulInterfaceId == 1 ? "looped streaming" : "standard streaming");
  else
    log.Write("bring-up: %s pin on \"%s\": %s, %lu Hz: refused", role, filter->m_szFriendlyName,
              shape, static_cast<unsigned long>(wfx.nSamplesPerSec));
}

}  // namespace

bool CAsioDriver::FindHardware() {
  // Balanced here: an unbalanced initialisation per init would pile up.
  const HRESULT com = CoInitialize(nullptr);
  ReleaseHardware();

  m_captureEnum = CreateEnumerator();
  m_renderEnum = CreateEnumerator();
  if (m_captureEnum != nullptr) m_captureFilters = CollectCaptureFilters(m_captureEnum);
  if (m_renderEnum != nullptr) m_renderFilters = CollectRenderFilters(m_renderEnum);

  if (!m_captureFilters.empty()) {
    m_numInputs = kMaxInputs;
    for (CKsAudCapFilter* filter : m_captureFilters) {
      if (m_capturePin != nullptr) break;
      m_capturePin = OpenCapturePin(filter, m_sampleRate, kMaxInputs);
    }
    if (m_capturePin == nullptr) {
      LogCall("bring-up: no capture pin takes 16 channels; trying 2");
      m_numInputs = 2;
      for (CKsAudCapFilter* filter : m_captureFilters) {
        if (m_capturePin != nullptr) break;
        m_capturePin = OpenCapturePin(filter, m_sampleRate, 2);
      }
    }
  }

  if (!m_renderFilters.empty()) {
    m_numOutputs = kMaxOutputs;
    CKsAudRenFilter* mainFilter = nullptr;
    for (CKsAudRenFilter* filter : m_renderFilters) {
      if (strstr(filter->m_szFriendlyName, "Main") != nullptr) {
        mainFilter = filter;
        break;
      }
    }
    if (mainFilter != nullptr) {
      LogCall("bring-up: render filter \"%s\" tried first: its name holds \"Main\"",
              mainFilter->m_szFriendlyName);
      m_renderPin = OpenRenderPin(mainFilter, m_sampleRate, kMaxOutputs);
    }
    for (CKsAudRenFilter* filter : m_renderFilters) {
      if (m_renderPin != nullptr) break;
      if (filter != mainFilter) m_renderPin = OpenRenderPin(filter, m_sampleRate, kMaxOutputs);
    }
  }

  bool found = !m_captureFilters.empty() && !m_renderFilters.empty();
  bool held = false;
  for (CKsAudCapFilter* filter : m_captureFilters)
    held |= m_capturePin == nullptr && PinsHeld(filter->m_listCaptureSinkPins);
  for (CKsAudRenFilter* filter : m_renderFilters)
    held |= m_renderPin == nullptr && PinsHeld(filter->m_listRenderSinkPins);
  LogCall("bring-up: %s; capture pin %s (%ld inputs), render pin %s",
          !found ? kHardwareNotFound : held ? kDeviceInUse : "Vor OD found",
          m_capturePin != nullptr ? "open" : "none", m_numInputs,
          m_renderPin != nullptr ? "open" : "none");
  if (!found) {
    SetErrorMessage(kHardwareNotFound);
  } else if (held) {
    // The device is there but cannot be used now: init fails, holding
    // nothing, and a later init tries again.
    SetErrorMessage(kDeviceInUse);
    ReleaseHardware();
    found = false;
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return found;
}

void CAsioDriver::ReleaseHardware() {
  // The enumerators own the filters, the filters own the pins.
  delete m_captureEnum;
  delete m_renderEnum;
  m_captureEnum = nullptr;
  m_renderEnum = nullptr;
  m_captureFilters.clear();
  m_renderFilters.clear();
  m_capturePin = nullptr;
  m_renderPin = nullptr;
}

std::vector<CKsAudCapFilter*> CAsioDriver::CollectCaptureFilters(CKsEnumFilters* enumerator) {
  return CollectDeviceFilters<CKsAudCapFilter>(enumerator, eCapture, KsGuid::CategoryCapture);
}

std::vector<CKsAudRenFilter*> CAsioDriver::CollectRenderFilters(CKsEnumFilters* enumerator) {
  return CollectDeviceFilters<CKsAudRenFilter>(enumerator, eRender, KsGuid::CategoryRender);
}

CKsAudPin* CAsioDriver::OpenCapturePin(CKsAudCapFilter* filter, double rate, WORD channels) {
  WAVEFORMATEXTENSIBLE format = MakeDeviceWaveFormat(channels, rate, channels == 1 ? 4 : 3);
  CKsAudPin* pin = nullptr;
  if (channels <= 2) {
    pin = filter->CreateCapturePin(&format.Format, kCaptureInterface);
    LogPinAttempt("capture", filter, format, pin);
  } else {
    for (const CaptureChannelMask& mask : CaptureChannelMasks) {
      format.dwChannelMask = mask.dwMask;
      pin = filter->CreateCapturePin(&format.Format, kCaptureInterface);
      LogPinAttempt("capture", filter, format, pin);
      if (pin != nullptr) break;
    }
  }
  if (pin == nullptr) {
    MakePlainPcmFormat(&format);
    pin = filter->CreateCapturePin(&format.Format, kCaptureInterface);
    LogPinAttempt("capture", filter, format, pin);
  }
  return pin;
}

CKsAudPin* CAsioDriver::OpenRenderPin(CKsAudRenFilter* filter, double rate, WORD channels) {
  WAVEFORMATEXTENSIBLE format = MakeDeviceWaveFormat(channels, rate, 3);
  CKsAudPin* pin = filter->CreateRenderPin(&format.Format, kRenderInterface);
  LogPinAttempt("render", filter, format, pin);
  if (pin == nullptr) {
    MakePlainPcmFormat(&format);
    pin = filter->CreateRenderPin(&format.Format, kRenderInterface);
    LogPinAttempt("render", filter, format, pin);
  }
  return pin;
}

void CAsioDriver::AllocateCyclicBuffers(long bufferSize) {
  // The sizes the streaming loop asks for: two halves of a host buffer of
  // every input, then a ring of every output by the capture halves granted
  // (RenderRingFrames). The pin hands the loop the same buffers later.
  PVOID buffer = nullptr;
  ULONG bytes = 0;
  const ULONG inputs = static_cast<ULONG>(m_numInputs);
  const ULONG outputs = static_cast<ULONG>(m_numOutputs);
  ULONG frames = static_cast<ULONG>(bufferSize);
  if (m_capturePin != nullptr && m_capturePin->m_bLooped && inputs != 0 &&
      SUCCEEDED(m_capturePin->AllocateBuffersWithNotification(inputs * frames * 8, &buffer, &bytes)) &&
      bytes / 8 / inputs != 0)
    frames = bytes / 8 / inputs;
  if (m_renderPin == nullptr || !m_renderPin->m_bLooped || outputs == 0) return;
  // Output is written ahead in the ring by the pin's position. A pin that
  // cannot tell one is paced by its halves instead, as long as the capture
  // halves: it is opened again (its buffer goes with the instance) for those.
  ULONG offset = 0;
  if (SUCCEEDED(m_renderPin->AllocateBuffersWithNotification(outputs * RenderRingFrames(frames) * 4, &buffer,
                                                             &bytes)) &&
      FAILED(m_renderPin->GetBufferPosition(&offset)) && SUCCEEDED(m_renderPin->Reinstantiate()))
    m_renderPin->AllocateBuffersWithNotification(outputs * 2 * frames * 4, &buffer, &bytes);
}

void CAsioDriver::ReinstantiatePins() {
  // Each pin is closed and created again; the results are not looked at:
  // a pin that failed to come back makes the next start fail.
  if (m_capturePin != nullptr) m_capturePin->Reinstantiate();
  if (m_renderPin != nullptr) m_renderPin->Reinstantiate();
}
