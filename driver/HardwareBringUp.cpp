// Hardware bring-up: finding the device's KS filters among the machine's
// audio filters by the USB identifier in their paths, and opening a capture
// pin (16 channels, else 2) and a render pin (2 channels) on them.
#include "driver/AsioDriver.h"

#include <cstring>
#include <new>

#include "driver/DeviceWaveFormat.h"
#include "ks/KsAudFilter.h"
#include "ks/KsEnumFilters.h"

namespace {

const char kDeviceId[] = "usb#vid_5e5e&pid_0a0a";
const char kHardwareNotFound[] = "Quorvex Vor OD hardware not found.";

// Interface choices of the pin creators: capture pins are always opened for
// looped streaming, render pins with the interface they chose themselves.
constexpr int kCaptureInterface = 2;
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

// Runs one enumeration and returns the device's filters of that type.
template <typename TFilter>
std::vector<TFilter*> CollectDeviceFilters(CKsEnumFilters* enumerator, KsFilterType type,
                                           const GUID& category) {
  std::vector<TFilter*> filters;
  const GUID categories[2] = {KsGuid::CategoryAudio, category};
  if (FAILED(enumerator->EnumFilters(type, categories, 2, TRUE, FALSE, TRUE))) return filters;
  for (auto* node = enumerator->m_listFilters.m_pFirst; node != nullptr; node = node->pNext) {
    CKsFilter* filter = node->pData;
    // The enumerator made a filter of this class for this type.
    if (filter != nullptr && filter->GetType() == static_cast<ULONG>(type) &&
        PathNamesTheDevice(filter->m_szFilterName))
      filters.push_back(static_cast<TFilter*>(filter));
  }
  return filters;
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
    if (mainFilter != nullptr) m_renderPin = OpenRenderPin(mainFilter, m_sampleRate, kMaxOutputs);
    for (CKsAudRenFilter* filter : m_renderFilters) {
      if (m_renderPin != nullptr) break;
      if (filter != mainFilter) m_renderPin = OpenRenderPin(filter, m_sampleRate, kMaxOutputs);
    }
  }

  const bool found = !m_captureFilters.empty() && !m_renderFilters.empty();
  if (!found) SetErrorMessage(kHardwareNotFound);
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
  } else {
    for (const CaptureChannelMask& mask : CaptureChannelMasks) {
      format.dwChannelMask = mask.dwMask;
      pin = filter->CreateCapturePin(&format.Format, kCaptureInterface);
      if (pin != nullptr) break;
    }
  }
  if (pin == nullptr) {
    MakePlainPcmFormat(&format);
    pin = filter->CreateCapturePin(&format.Format, kCaptureInterface);
  }
  return pin;
}

CKsAudPin* CAsioDriver::OpenRenderPin(CKsAudRenFilter* filter, double rate, WORD channels) {
  WAVEFORMATEXTENSIBLE format = MakeDeviceWaveFormat(channels, rate, 3);
  CKsAudPin* pin = filter->CreateRenderPin(&format.Format, kRenderInterface);
  if (pin == nullptr) {
    MakePlainPcmFormat(&format);
    pin = filter->CreateRenderPin(&format.Format, kRenderInterface);
  }
  return pin;
}

void CAsioDriver::ReinstantiatePins() {
  // Each pin is closed and created again; the results are not looked at:
  // a pin that failed to come back makes the next start fail.
  if (m_capturePin != nullptr) m_capturePin->Reinstantiate();
  if (m_renderPin != nullptr) m_renderPin->Reinstantiate();
}
