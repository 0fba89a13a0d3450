// A copy of the production DLL under another file name or at a long path, in
// a folder of the test process's own under the temporary folder; removed
// again on destruction (unload it first).
#ifndef VOROD_TESTS_SUPPORT_DLLCOPY_H
#define VOROD_TESTS_SUPPORT_DLLCOPY_H

#include <windows.h>

#include <string>
#include <vector>

class DllCopy {
 public:
  // With pathLength, folders of padding make the whole path exactly that long
  // (paths beyond MAX_PATH: load them with LoadLibraryW).
  explicit DllCopy(const std::string& fileName, size_t pathLength = 0);
  ~DllCopy();
  DllCopy(const DllCopy&) = delete;
  DllCopy& operator=(const DllCopy&) = delete;

  bool Ready() const { return m_ready; }
  const std::string& Path() const { return m_path; }

 private:
  std::vector<std::string> m_folders;  // outermost first
  std::string m_path;
  bool m_ready = false;
};

#endif  // VOROD_TESTS_SUPPORT_DLLCOPY_H
