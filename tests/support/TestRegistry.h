// Registry helpers for tests: scratch keys standing in for HKEY_CLASSES_ROOT
// and HKEY_LOCAL_MACHINE inside the test process, snapshots that put a key
// tree back as it was, read-only keys, and plain readers and writers.
#ifndef VOROD_TESTS_SUPPORT_TESTREGISTRY_H
#define VOROD_TESTS_SUPPORT_TESTREGISTRY_H

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

// One key with its values (type and raw bytes) and subkeys.
struct RegistryTree {
  bool present = false;
  std::map<std::string, std::pair<DWORD, std::string>> values;
  std::map<std::string, RegistryTree> subkeys;
};

RegistryTree ReadRegistryTree(HKEY root, const std::string& path);
// Readable, deterministic listing of a tree, for comparing before and after.
std::string DumpRegistryTree(HKEY root, const std::string& path);

bool RegistryKeyPresent(HKEY root, const std::string& path);
// Text of a value up to its first zero; empty when the value is absent.
std::string GetRegistryText(HKEY root, const std::string& path, const char* name);
std::vector<std::string> RegistryValueNames(HKEY root, const std::string& path);
std::vector<std::string> RegistrySubkeyNames(HKEY root, const std::string& path);

// Create the key (and its missing parents) and write a value.
void CreateRegistryKey(HKEY root, const std::string& path);
void SetRegistryValue(HKEY root, const std::string& path, const char* name, DWORD type,
                      const std::string& bytes);
void SetRegistryText(HKEY root, const std::string& path, const char* name,
                     const std::string& text);
void DeleteRegistryTree(HKEY root, const std::string& path);

// Redirects HKEY_CLASSES_ROOT and HKEY_LOCAL_MACHINE of this process to fresh
// keys under HKEY_CURRENT_USER, holding "CLSID" and "SOFTWARE" like the real
// roots. A volatile "CLSID" or "SOFTWARE" refuses the (non-volatile) subkeys
// that registration creates.
class ScratchRegistry {
 public:
  explicit ScratchRegistry(bool volatileClasses = false, bool volatileSoftware = false);
  ~ScratchRegistry();
  ScratchRegistry(const ScratchRegistry&) = delete;
  ScratchRegistry& operator=(const ScratchRegistry&) = delete;
  bool Ready() const { return m_ready; }

 private:
  std::string m_path;
  HKEY m_classesRoot = nullptr;
  HKEY m_localMachine = nullptr;
  bool m_ready = false;
};

// Saves a key tree and puts it back exactly on destruction.
class RegistrySnapshot {
 public:
  RegistrySnapshot(HKEY root, std::string path);
  ~RegistrySnapshot();
  RegistrySnapshot(const RegistrySnapshot&) = delete;
  RegistrySnapshot& operator=(const RegistrySnapshot&) = delete;

 private:
  HKEY m_root;
  std::string m_path;
  RegistryTree m_saved;
};

// Lets nobody change a key tree (values, subkeys, deletion) until destroyed,
// through its access control list.
class ReadOnlyRegistryTree {
 public:
  ReadOnlyRegistryTree(HKEY root, const std::string& path);
  ~ReadOnlyRegistryTree();
  ReadOnlyRegistryTree(const ReadOnlyRegistryTree&) = delete;
  ReadOnlyRegistryTree& operator=(const ReadOnlyRegistryTree&) = delete;
  bool Ready() const { return m_ready; }

 private:
  void Lock(HKEY root, const std::string& path);
  // Handles opened with WRITE_DAC before locking, and each key's former DACL.
  std::vector<std::pair<HKEY, std::vector<BYTE>>> m_locked;
  bool m_ready = true;
};

#endif  // VOROD_TESTS_SUPPORT_TESTREGISTRY_H
