#include "tests/support/TestRegistry.h"

#include <sddl.h>

#include <sstream>

namespace {

// Key and value names of the walks; registry names are at most 255
// characters, value names at most 16383.
constexpr DWORD kNameChars = 16384;

void WriteTree(HKEY root, const std::string& path, const RegistryTree& tree) {
  CreateRegistryKey(root, path);
  for (const auto& value : tree.values)
    SetRegistryValue(root, path, value.first.empty() ? nullptr : value.first.c_str(),
                     value.second.first, value.second.second);
  for (const auto& subkey : tree.subkeys)
    WriteTree(root, path + "\\" + subkey.first, subkey.second);
}

void Dump(std::ostringstream& out, const std::string& name, const RegistryTree& tree, int depth) {
  std::string indent(static_cast<size_t>(depth) * 2, ' ');
  out << indent << "[" << name << "]\n";
  for (const auto& value : tree.values) {
    out << indent << "  " << (value.first.empty() ? "@" : value.first) << " type "
        << value.second.first << ": ";
    if (value.second.first == REG_SZ) {
      out << '"' << value.second.second.c_str() << '"' << " (" << value.second.second.size()
          << " bytes)";
    } else {
      for (char c : value.second.second)
        out << std::hex << int(static_cast<unsigned char>(c)) << std::dec << ' ';
    }
    out << "\n";
  }
  for (const auto& subkey : tree.subkeys) Dump(out, subkey.first, subkey.second, depth + 1);
}

}  // namespace

RegistryTree ReadRegistryTree(HKEY root, const std::string& path) {
  RegistryTree tree;
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return tree;
  tree.present = true;
  std::vector<char> name(kNameChars);
  for (DWORD i = 0;; ++i) {
    DWORD nameChars = kNameChars, type = 0, bytes = 0;
    if (RegEnumValueA(key, i, name.data(), &nameChars, nullptr, &type, nullptr, &bytes) !=
        ERROR_SUCCESS)
      break;
    std::string data(bytes, '\0');
    nameChars = kNameChars;
    RegEnumValueA(key, i, name.data(), &nameChars, nullptr, &type,
                  reinterpret_cast<BYTE*>(&data[0]), &bytes);
    data.resize(bytes);
    tree.values[std::string(name.data(), nameChars)] = {type, data};
  }
  for (DWORD i = 0; RegEnumKeyA(key, i, name.data(), kNameChars) == ERROR_SUCCESS; ++i)
    tree.subkeys[name.data()] = ReadRegistryTree(key, name.data());
  RegCloseKey(key);
  return tree;
}

std::string DumpRegistryTree(HKEY root, const std::string& path) {
  RegistryTree tree = ReadRegistryTree(root, path);
  if (!tree.present) return "[" + path + "] absent\n";
  std::ostringstream out;
  Dump(out, path, tree, 0);
  return out.str();
}

bool RegistryKeyPresent(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::string GetRegistryText(HKEY root, const std::string& path, const char* name) {
  RegistryTree tree = ReadRegistryTree(root, path);
  auto value = tree.values.find(name == nullptr ? "" : name);
  return value == tree.values.end() ? std::string() : std::string(value->second.second.c_str());
}

std::vector<std::string> RegistryValueNames(HKEY root, const std::string& path) {
  std::vector<std::string> names;
  for (const auto& value : ReadRegistryTree(root, path).values) names.push_back(value.first);
  return names;
}

std::vector<std::string> RegistrySubkeyNames(HKEY root, const std::string& path) {
  std::vector<std::string> names;
  for (const auto& subkey : ReadRegistryTree(root, path).subkeys) names.push_back(subkey.first);
  return names;
}

void CreateRegistryKey(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
      ERROR_SUCCESS)
    RegCloseKey(key);
}

void SetRegistryValue(HKEY root, const std::string& path, const char* name, DWORD type,
                      const std::string& bytes) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                 static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
}

void SetRegistryText(HKEY root, const std::string& path, const char* name,
                     const std::string& text) {
  SetRegistryValue(root, path, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
}

void DeleteRegistryTree(HKEY root, const std::string& path) {
  RegDeleteTreeA(root, path.c_str());
  RegDeleteKeyA(root, path.c_str());
}

ScratchRegistry::ScratchRegistry(bool volatileClasses, bool volatileSoftware)
    : m_path("Software\\VorOdTests\\" + std::to_string(GetCurrentProcessId())) {
  DeleteRegistryTree(HKEY_CURRENT_USER, m_path);
  auto create = [&](const std::string& path, DWORD options, HKEY* key) {
    return RegCreateKeyExA(HKEY_CURRENT_USER, (m_path + path).c_str(), 0, nullptr, options,
                           KEY_ALL_ACCESS, nullptr, key, nullptr) == ERROR_SUCCESS;
  };
  HKEY classes = nullptr, software = nullptr;
  m_ready = create("\\HKCR", 0, &m_classesRoot) && create("\\HKLM", 0, &m_localMachine) &&
            create("\\HKCR\\CLSID", volatileClasses ? REG_OPTION_VOLATILE : 0, &classes) &&
            create("\\HKLM\\SOFTWARE", volatileSoftware ? REG_OPTION_VOLATILE : 0, &software);
  if (classes != nullptr) RegCloseKey(classes);
  if (software != nullptr) RegCloseKey(software);
  m_ready = m_ready && RegOverridePredefKey(HKEY_CLASSES_ROOT, m_classesRoot) == ERROR_SUCCESS &&
            RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_localMachine) == ERROR_SUCCESS;
}

ScratchRegistry::~ScratchRegistry() {
  RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  if (m_classesRoot != nullptr) RegCloseKey(m_classesRoot);
  if (m_localMachine != nullptr) RegCloseKey(m_localMachine);
  DeleteRegistryTree(HKEY_CURRENT_USER, m_path);
  // Fails while another test process still has its scratch keys there.
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\VorOdTests");
}

RegistrySnapshot::RegistrySnapshot(HKEY root, std::string path)
    : m_root(root), m_path(std::move(path)), m_saved(ReadRegistryTree(m_root, m_path)) {}

RegistrySnapshot::~RegistrySnapshot() {
  DeleteRegistryTree(m_root, m_path);
  if (m_saved.present) WriteTree(m_root, m_path, m_saved);
}

ReadOnlyRegistryTree::ReadOnlyRegistryTree(HKEY root, const std::string& path) {
  Lock(root, path);
}

void ReadOnlyRegistryTree::Lock(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | WRITE_DAC, &key) != ERROR_SUCCESS) {
    m_ready = false;
    return;
  }
  for (const std::string& subkey : RegistrySubkeyNames(root, path))
    Lock(root, path + "\\" + subkey);

  DWORD bytes = 0;
  RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &bytes);
  std::vector<BYTE> former(bytes);
  PSECURITY_DESCRIPTOR readOnly = nullptr;
  bool locked =
      bytes != 0 &&
      RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, former.data(), &bytes) == ERROR_SUCCESS &&
      ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;KR;;;WD)", SDDL_REVISION_1,
                                                           &readOnly, nullptr) &&
      RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, readOnly) == ERROR_SUCCESS;
  if (readOnly != nullptr) LocalFree(readOnly);
  if (!locked) {
    m_ready = false;
    RegCloseKey(key);
    return;
  }
  m_locked.emplace_back(key, std::move(former));
}

ReadOnlyRegistryTree::~ReadOnlyRegistryTree() {
  // The handles were opened with WRITE_DAC before the lock, so they can still
  // put the former access control lists back.
  for (auto& locked : m_locked) {
    RegSetKeySecurity(locked.first, DACL_SECURITY_INFORMATION, locked.second.data());
    RegCloseKey(locked.first);
  }
}
