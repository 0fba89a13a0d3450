#include "tests/support/KsTraceCapture.h"

#include "ks/KsTrace.h"

KsTraceCapture* KsTraceCapture::s_pActive = nullptr;

KsTraceCapture::KsTraceCapture(int level) : m_previousLevel(g_KsTraceLevel) {
  s_pActive = this;
  m_hHandler = AddVectoredExceptionHandler(1, Handler);
  g_KsTraceLevel = level;
}

KsTraceCapture::~KsTraceCapture() {
  g_KsTraceLevel = m_previousLevel;
  RemoveVectoredExceptionHandler(m_hHandler);
  s_pActive = nullptr;
}

LONG CALLBACK KsTraceCapture::Handler(EXCEPTION_POINTERS* pInfo) {
  const EXCEPTION_RECORD* pRecord = pInfo->ExceptionRecord;
  if (pRecord->ExceptionCode != DBG_PRINTEXCEPTION_C || !s_pActive ||
      pRecord->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const char* psz = reinterpret_cast<const char*>(pRecord->ExceptionInformation[1]);
  s_pActive->m_raw.push_back(psz ? psz : "");
  return EXCEPTION_CONTINUE_EXECUTION;
}

std::vector<std::string> KsTraceCapture::Lines() const {
  std::vector<std::string> lines;
  for (const std::string& raw : m_raw) {
    lines.push_back(raw.compare(0, 6, "\n[KS]:") == 0 ? raw.substr(6) : raw);
  }
  return lines;
}

size_t KsTraceCapture::Count(const std::string& line) const {
  size_t count = 0;
  for (const std::string& text : Lines()) {
    count += text == line;
  }
  return count;
}

int KsTraceCapture::Find(const std::string& line, int start) const {
  std::vector<std::string> lines = Lines();
  for (size_t i = start; i < lines.size(); ++i) {
    if (lines[i] == line) {
      return static_cast<int>(i);
    }
  }
  return -1;
}
