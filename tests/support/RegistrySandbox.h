// Redirects this process's HKEY_CURRENT_USER (and, when asked, HKLM and
// HKCR) to fresh scratch keys, so that tests never see or touch the real
// keys, and parallel test processes never see each other's.
#ifndef VOROD_TESTS_SUPPORT_REGISTRYSANDBOX_H
#define VOROD_TESTS_SUPPORT_REGISTRYSANDBOX_H

#include <windows.h>

#include <string>

class RegistrySandbox {
 public:
  enum Roots { kCurrentUser = 1, kLocalMachine = 2, kClassesRoot = 4 };
  explicit RegistrySandbox(int roots = kCurrentUser);
  ~RegistrySandbox();
  RegistrySandbox(const RegistrySandbox&) = delete;
  RegistrySandbox& operator=(const RegistrySandbox&) = delete;

  // Helpers on the redirected roots.
  static bool KeyExists(HKEY root, const char* path);
  static bool ReadDword(HKEY root, const char* path, const char* name, DWORD* value);
  static void WriteDword(HKEY root, const char* path, const char* name, DWORD value);
  static void WriteString(HKEY root, const char* path, const char* name, const char* value);
  static void WriteBinary(HKEY root, const char* path, const char* name, const void* data,
                          DWORD size);

 private:
  std::string m_base;
  HKEY m_scratch[3];
};

#endif  // VOROD_TESTS_SUPPORT_REGISTRYSANDBOX_H
