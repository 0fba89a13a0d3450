// The per-user settings store: five REG_DWORD values under HKCU.
#include "driver/AsioDriver.h"

namespace {

const char kSettingsKey[] = "SOFTWARE\\Halvorn\\Quorvex Vor OD ASIO\\1.00";
const char kShowMetrics[] = "Show Metrics";
const char kModelessPanel[] = "Modeless Control Panel";
const char kAutoOpenPanel[] = "Auto-open Control Panel";
const char kBufferSizePreferred[] = "Buffer Size Preferred";
const char kLowLatency[] = "Low Latency";

// True when the value exists as a 4-byte REG_DWORD.
bool ReadSetting(const char* name, DWORD* value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof(data);
  const LONG status =
      RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(data)) return false;
  *value = data;
  return true;
}

// Failures are silent: the next value is still attempted.
void WriteSetting(const char* name, DWORD value) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, &disposition) != ERROR_SUCCESS)
    return;
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  RegCloseKey(key);
}

}  // namespace

void CAsioDriver::LoadSettings() {
  DWORD value = 0;
  if (ReadSetting(kShowMetrics, &value)) m_showMetrics = value != 0;
  if (ReadSetting(kModelessPanel, &value)) m_modelessPanel = value != 0;
  if (ReadSetting(kAutoOpenPanel, &value)) m_autoOpenPanel = value != 0;
  if (ReadSetting(kLowLatency, &value)) m_lowLatency = value != 0;
  m_storedSizeNotOffered = false;
  if (ReadSetting(kBufferSizePreferred, &value)) {
    // Only the sizes the driver offers (and the panel lists) are taken; any
    // other is as good as absent. The unsigned distance from the minimum
    // keeps negative numbers out too.
    const DWORD above = value - static_cast<DWORD>(kMinBufferSize);
    const bool offered = above <= static_cast<DWORD>(kMaxBufferSize - kMinBufferSize) &&
                         above % kBufferGranularity == 0;
    m_preferredBufferSize = offered ? static_cast<long>(value) : kDefaultBufferSize;
    m_storedSizeNotOffered = !offered;
  }
  m_settingsLoaded = true;
}

void CAsioDriver::SaveSettings() {
  // Hosts create and release every installed driver at start-up without
  // init: saving the constructor's defaults then would wipe the user's
  // preferences.
  if (!m_settingsLoaded) return;
  WriteSetting(kModelessPanel, m_modelessPanel ? 1 : 0);
  WriteSetting(kAutoOpenPanel, m_autoOpenPanel ? 1 : 0);
  WriteSetting(kLowLatency, m_lowLatency ? 1 : 0);
  // A stored size the driver does not offer stays as it was until the user
  // picks another: the default that stood in for it is not the user's choice.
  if (!m_storedSizeNotOffered || m_preferredBufferSize != kDefaultBufferSize)
    WriteSetting(kBufferSizePreferred, static_cast<DWORD>(m_preferredBufferSize.Get()));
}
