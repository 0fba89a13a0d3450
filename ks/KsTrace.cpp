#include "ks/KsTrace.h"

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

int g_KsTraceLevel = 0;

namespace {
std::atomic<IKsTraceSink*> g_pSink{nullptr};
std::atomic<int> g_sinkLevel{0};
}  // namespace

void SetKsTraceSink(IKsTraceSink* pSink, int level) {
  g_sinkLevel.store(0, std::memory_order_relaxed);
  g_pSink.store(pSink, std::memory_order_relaxed);
  g_sinkLevel.store(pSink != nullptr ? level : 0, std::memory_order_relaxed);
}

void KsTrace(int level, const char* pszFormat, ...) {
  if (level <= g_sinkLevel.load(std::memory_order_relaxed)) {
    IKsTraceSink* pSink = g_pSink.load(std::memory_order_relaxed);
    if (pSink != nullptr) {
      va_list args;
      va_start(args, pszFormat);
      pSink->Trace(level, pszFormat, args);
      va_end(args);
    }
  }
  if (level > g_KsTraceLevel) {
    return;
  }
  static const char kPrefix[] = "\n[KS]:";
  const size_t cchPrefix = sizeof(kPrefix) - 1;
  const size_t cchMessage = 260;
  char szBuffer[280];
  memcpy(szBuffer, kPrefix, cchPrefix);

  va_list args;
  va_start(args, pszFormat);
  // vsnprintf cuts a longer text and always terminates it.
  vsnprintf(szBuffer + cchPrefix, cchMessage + 1, pszFormat, args);
  va_end(args);
  szBuffer[cchPrefix + cchMessage] = '\0';

  OutputDebugStringA(szBuffer);
}
