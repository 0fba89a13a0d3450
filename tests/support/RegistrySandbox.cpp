#include "tests/support/RegistrySandbox.h"

#include <cstdio>
#include <cstring>

namespace {
const HKEY kRoots[3] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT};
const char* const kRootNames[3] = {"HKCU", "HKLM", "HKCR"};
LONG g_sandboxCounter = 0;
}  // namespace

RegistrySandbox::RegistrySandbox(int roots) : m_scratch() {
  char base[96];
  snprintf(base, sizeof(base), "Software\\VorOdTestSandbox\\%lu-%ld", GetCurrentProcessId(),
           InterlockedIncrement(&g_sandboxCounter));
  m_base = base;
  // The scratch keys live under the real HKCU of the build's private prefix.
  for (int i = 0; i < 3; ++i) {
    if (!(roots & (1 << i))) continue;
    std::string path = m_base + "\\" + kRootNames[i];
    RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &m_scratch[i], nullptr);
  }
  for (int i = 0; i < 3; ++i)
    if (m_scratch[i] != nullptr) RegOverridePredefKey(kRoots[i], m_scratch[i]);
}

RegistrySandbox::~RegistrySandbox() {
  for (int i = 0; i < 3; ++i) {
    if (m_scratch[i] == nullptr) continue;
    RegOverridePredefKey(kRoots[i], nullptr);
    RegCloseKey(m_scratch[i]);
  }
  RegDeleteTreeA(HKEY_CURRENT_USER, m_base.c_str());
}

bool RegistrySandbox::KeyExists(HKEY root, const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool RegistrySandbox::ReadDword(HKEY root, const char* path, const char* name, DWORD* value) {
  DWORD size = sizeof(*value);
  DWORD type = 0;
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_DWORD;
}

namespace {
void WriteValue(HKEY root, const char* path, const char* name, DWORD type, const void* data,
                DWORD size) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}
}  // namespace

void RegistrySandbox::WriteDword(HKEY root, const char* path, const char* name, DWORD value) {
  WriteValue(root, path, name, REG_DWORD, &value, sizeof(value));
}

void RegistrySandbox::WriteString(HKEY root, const char* path, const char* name,
                                  const char* value) {
  WriteValue(root, path, name, REG_SZ, value, static_cast<DWORD>(strlen(value) + 1));
}

void RegistrySandbox::WriteBinary(HKEY root, const char* path, const char* name, const void* data,
                                  DWORD size) {
  WriteValue(root, path, name, REG_BINARY, data, size);
}
