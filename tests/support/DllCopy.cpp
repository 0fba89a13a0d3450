#include "tests/support/DllCopy.h"

#include <algorithm>

#include "tests/support/DriverDll.h"

namespace {

// The "\\?\" form lifts the MAX_PATH limit of the file functions.
std::wstring LongForm(const std::string& path) {
  return L"\\\\?\\" + std::wstring(path.begin(), path.end());
}

}  // namespace

DllCopy::DllCopy(const std::string& fileName, size_t pathLength) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  std::string folder = std::string(temp) + "vorod-test-" + std::to_string(GetCurrentProcessId());
  m_folders.push_back(folder);
  size_t fixed = folder.size() + 1 + fileName.size();
  if (pathLength > fixed) {
    // Padding folders of up to 200 characters, each after a backslash; never
    // leave a remainder of 1, which no folder could fill.
    size_t remaining = pathLength - fixed;
    while (remaining > 1) {
      size_t n = std::min<size_t>(remaining - 1, 200);
      if (remaining - (n + 1) == 1) --n;
      folder += "\\" + std::string(n, 'd');
      m_folders.push_back(folder);
      remaining -= n + 1;
    }
  }
  m_path = folder + "\\" + fileName;
  bool made = true;
  for (const std::string& f : m_folders)
    made = made && CreateDirectoryW(LongForm(f).c_str(), nullptr);
  m_ready = made && (pathLength == 0 || m_path.size() == pathLength) &&
            CopyFileW(LongForm(ProductionDllPath()).c_str(), LongForm(m_path).c_str(), TRUE);
}

DllCopy::~DllCopy() {
  DeleteFileW(LongForm(m_path).c_str());
  for (auto f = m_folders.rbegin(); f != m_folders.rend(); ++f)
    RemoveDirectoryW(LongForm(*f).c_str());
}
