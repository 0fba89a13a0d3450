#include "driver/DiagnosticsLog.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "com/ModuleHandle.h"
#include "ks/KsTrace.h"
#include "resources/resource.h"

namespace {

// A line's text beyond this is cut.
constexpr size_t kLineBytes = 1024;
const char kCutNote[] = "(earlier lines cut: the log passed its size limit)\r\n";

// The thread slot that points a streaming thread to its run trace, taken
// when the library loads (a streaming thread never allocates one) and given
// back when it unloads: hosts load and unload drivers many times.
struct ThreadSlot {
  ThreadSlot() : index(TlsAlloc()) {}
  ~ThreadSlot() {
    if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
  }
  const DWORD index;
};
const ThreadSlot g_runTraceSlot;

CRunTrace* ThreadRunTrace() {
  return g_runTraceSlot.index == TLS_OUT_OF_INDEXES
             ? nullptr
             : static_cast<CRunTrace*>(TlsGetValue(g_runTraceSlot.index));
}

std::string ModulePath(HMODULE module) {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
  return length != 0 && length < MAX_PATH ? std::string(path, length) : std::string("?");
}

}  // namespace

const char CDiagnosticsLog::kFileName[] = "Quorvex-Vor-OD-ASIO.log";

void CRunTrace::Record(int level, const char* pszFormat) {
  for (int i = 0; i < m_used; ++i) {
    if (m_entries[i].pszFormat == pszFormat && m_entries[i].level == level) {
      ++m_entries[i].count;
      return;
    }
  }
  if (m_used == kMaxEntries) {
    ++m_lost;
    return;
  }
  m_entries[m_used] = Entry{pszFormat, level, 1};
  ++m_used;
}

CDiagnosticsLog& CDiagnosticsLog::Instance() {
  static CDiagnosticsLog log(std::string(), kMaxBytes, kKeepBytes);
  return log;
}

CDiagnosticsLog::CDiagnosticsLog(const std::string& path, uint32_t maxBytes, uint32_t keepBytes)
    : m_inProfile(path.empty()),
      m_maxBytes(maxBytes),
      m_keepBytes(keepBytes < maxBytes ? keepBytes : maxBytes),
      m_lock(),
      m_path(path),
      m_enabled(false) {
  InitializeCriticalSection(&m_lock);
}

CDiagnosticsLog::~CDiagnosticsLog() {
  if (m_inProfile) SetKsTraceSink(nullptr, 0);
  DeleteCriticalSection(&m_lock);
}

std::string CDiagnosticsLog::ProfilePath() const {
  char folder[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableA("USERPROFILE", folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(folder, length) + "\\" + kFileName;
}

bool CDiagnosticsLog::Refresh() {
  EnterCriticalSection(&m_lock);
  if (m_inProfile) m_path = ProfilePath();
  const DWORD attributes = m_path.empty() ? INVALID_FILE_ATTRIBUTES
                                          : GetFileAttributesA(m_path.c_str());
  const bool enabled =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  const bool turnedOn = enabled && !m_enabled;
  m_enabled = enabled;
  LeaveCriticalSection(&m_lock);

  if (m_inProfile) SetKsTraceSink(enabled ? this : nullptr, enabled ? kKsTraceLevel : 0);
  if (turnedOn) {
    Write("Quorvex Vor OD ASIO %s, %s, in %s (process %lu)", VOROD_VERSION_TEXT,
          ModulePath(g_hModule).c_str(), ModulePath(nullptr).c_str(),
          static_cast<unsigned long>(GetCurrentProcessId()));
  }
  return enabled;
}

void CDiagnosticsLog::Write(const char* pszFormat, ...) {
  if (!m_enabled) return;
  va_list args;
  va_start(args, pszFormat);
  WriteV(pszFormat, args);
  va_end(args);
}

void CDiagnosticsLog::WriteV(const char* pszFormat, va_list args) {
  // A streaming thread never writes, whoever asks.
  if (!m_enabled || ThreadRunTrace() != nullptr) return;
  SYSTEMTIME now;
  GetLocalTime(&now);
  char line[kLineBytes + 2];
  int length = snprintf(line, kLineBytes, "%04u-%02u-%02u %02u:%02u:%02u.%03u %5lu  ",
                        now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                        now.wMilliseconds, static_cast<unsigned long>(GetCurrentThreadId()));
  if (length < 0) return;
  const int text = vsnprintf(line + length, kLineBytes - length, pszFormat, args);
  if (text < 0) return;
  length += text;
  if (length > static_cast<int>(kLineBytes) - 1) length = kLineBytes - 1;
  line[length++] = '\r';
  line[length++] = '\n';
  EnterCriticalSection(&m_lock);
  AppendLocked(line, length);
  LeaveCriticalSection(&m_lock);
}

void CDiagnosticsLog::AppendLocked(const char* text, size_t length) {
  // Opened for each line: the user can delete, rename or read the file at any
  // time, and lines of several processes stay whole.
  HANDLE file = CreateFileA(m_path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  LARGE_INTEGER size = {};
  const bool tooLong = WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) &&
                       GetFileSizeEx(file, &size) && size.QuadPart > m_maxBytes;
  CloseHandle(file);
  if (tooLong) CutLocked();
}

void CDiagnosticsLog::CutLocked() {
  HANDLE file = CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER size = {};
  std::vector<char> tail;
  if (GetFileSizeEx(file, &size) && size.QuadPart > m_keepBytes) {
    tail.resize(m_keepBytes);
    LARGE_INTEGER from;
    from.QuadPart = size.QuadPart - m_keepBytes;
    DWORD read = 0;
    if (SetFilePointerEx(file, from, nullptr, FILE_BEGIN) &&
        ReadFile(file, tail.data(), m_keepBytes, &read, nullptr) && read == m_keepBytes) {
      // Keep whole lines only.
      size_t start = 0;
      while (start < tail.size() && tail[start] != '\n') ++start;
      const size_t kept = start < tail.size() ? tail.size() - start - 1 : 0;
      LARGE_INTEGER zero = {};
      DWORD written = 0;
      if (SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) &&
          WriteFile(file, kCutNote, sizeof(kCutNote) - 1, &written, nullptr) &&
          WriteFile(file, tail.data() + tail.size() - kept, static_cast<DWORD>(kept), &written,
                    nullptr))
        SetEndOfFile(file);
    }
  }
  CloseHandle(file);
}

void CDiagnosticsLog::WriteRunTrace(CRunTrace* pRunTrace) {
  if (pRunTrace == nullptr) return;
  for (int i = 0; i < pRunTrace->Used(); ++i) {
    const CRunTrace::Entry& entry = pRunTrace->At(i);
    Write("KS %d  (streaming thread, %lu times) %s", entry.level,
          static_cast<unsigned long>(entry.count), entry.pszFormat);
  }
  if (pRunTrace->Lost() != 0)
    Write("KS    (streaming thread) %lu more trace lines not kept",
          static_cast<unsigned long>(pRunTrace->Lost()));
  pRunTrace->Clear();
}

void CDiagnosticsLog::SetThreadRunTrace(CRunTrace* pRunTrace) {
  if (g_runTraceSlot.index != TLS_OUT_OF_INDEXES) TlsSetValue(g_runTraceSlot.index, pRunTrace);
}

void CDiagnosticsLog::Trace(int level, const char* pszFormat, va_list args) {
  // A streaming thread keeps its trace for the host's thread to write.
  CRunTrace* runTrace = ThreadRunTrace();
  if (runTrace != nullptr) {
    runTrace->Record(level, pszFormat);
    return;
  }
  char text[kLineBytes];
  if (vsnprintf(text, sizeof(text), pszFormat, args) < 0) return;
  Write("KS %d  %s", level, text);
}
