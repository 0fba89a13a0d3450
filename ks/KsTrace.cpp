#include "ks/KsTrace.h"

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int g_KsTraceLevel = 0;

void KsTrace(int level, const char* pszFormat, ...) {
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
