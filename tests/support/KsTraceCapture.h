// Captures the KS trace while it lives: raises g_KsTraceLevel and catches the
// DBG_PRINTEXCEPTION_C that OutputDebugStringA raises (on Windows and under
// Wine) with a vectored exception handler, so the product needs no hook.
#ifndef VOROD_TESTS_SUPPORT_KSTRACECAPTURE_H
#define VOROD_TESTS_SUPPORT_KSTRACECAPTURE_H

#include <windows.h>

#include <string>
#include <vector>

class KsTraceCapture {
 public:
  explicit KsTraceCapture(int level = 6);
  ~KsTraceCapture();
  KsTraceCapture(const KsTraceCapture&) = delete;
  KsTraceCapture& operator=(const KsTraceCapture&) = delete;

  // Every message as written, prefix "\n[KS]:" included.
  const std::vector<std::string>& Raw() const { return m_raw; }
  // The messages without their prefix.
  std::vector<std::string> Lines() const;
  size_t Count(const std::string& line) const;
  bool Has(const std::string& line) const { return Count(line) != 0; }
  // Index of the first line equal to the text at or after a start, or -1.
  int Find(const std::string& line, int start = 0) const;
  void Clear() { m_raw.clear(); }

 private:
  static LONG CALLBACK Handler(EXCEPTION_POINTERS* pInfo);
  static KsTraceCapture* s_pActive;
  int m_previousLevel;
  PVOID m_hHandler;
  std::vector<std::string> m_raw;
};

#endif  // VOROD_TESTS_SUPPORT_KSTRACECAPTURE_H
