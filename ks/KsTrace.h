// The trace printer of the KS classes.
//
// Levels: 1 failure, 3 device discovery note, 4 not found, 5 milestone or
// benign note, 6 entry and leaving of a method. A message is written with
// OutputDebugStringA, as "\n[KS]:" and the text, only when its level is at or
// below g_KsTraceLevel, which is 0 in the product: disabled trace costs two
// comparisons and formats nothing.
#ifndef VOROD_KS_KSTRACE_H
#define VOROD_KS_KSTRACE_H

#include <stdarg.h>

extern int g_KsTraceLevel;

// A second receiver of the trace (the driver's diagnostics log), with its own
// threshold: messages at or below `level` go to it as their format and
// arguments. Null or 0: none. It may be called on any thread that uses KS
// objects, the streaming thread included.
class IKsTraceSink {
 public:
  virtual void Trace(int level, const char* pszFormat, va_list args) = 0;

 protected:
  ~IKsTraceSink() = default;
};
void SetKsTraceSink(IKsTraceSink* pSink, int level);

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void KsTrace(int level, const char* pszFormat, ...);

// The entry and leave lines every KS method writes at level 6: "%s Enter"
// with the full name and "()", "%s Leave" with the same, and
// "%s Leave, returning %#08x" with the name without "()".
inline void KsTraceEnter(const char* pszName) { KsTrace(6, "%s Enter", pszName); }
inline void KsTraceLeave(const char* pszName) { KsTrace(6, "%s Leave", pszName); }
inline void KsTraceLeaveResult(const char* pszName, long lResult) {
  KsTrace(6, "%s Leave, returning %#08x", pszName, static_cast<unsigned>(lResult));
}

#endif  // VOROD_KS_KSTRACE_H
