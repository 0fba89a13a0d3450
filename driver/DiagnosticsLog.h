// CDiagnosticsLog: the opt-in diagnostics log that support asks for. It is on
// while a file named Quorvex-Vor-OD-ASIO.log exists in the user's profile
// folder (%USERPROFILE%); the driver then appends lines to it, each with a
// time stamp and the writing thread's id. Deleting or renaming the file turns
// it off. Off, a call costs one test and formats nothing.
//
// Never written from the streaming thread: what a run has to tell is written
// by the host's thread at stop, after the streaming thread ended. The KS
// client's trace reaches the log through its sink; on the streaming thread
// it goes into that run's CRunTrace instead, without formatting, locking or
// allocating.
//
// A file that cannot be opened or written is ignored. Past its size limit the
// file is cut to its last part, from the start of a line.
#ifndef VOROD_DRIVER_DIAGNOSTICSLOG_H
#define VOROD_DRIVER_DIAGNOSTICSLOG_H

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <string>

#include "driver/RelaxedAtomic.h"
#include "ks/KsTrace.h"

#if defined(__GNUC__)
#define VOROD_PRINTF_FORMAT(index, first) __attribute__((format(printf, index, first)))
#else
#define VOROD_PRINTF_FORMAT(index, first)
#endif

// The KS trace lines that one streaming thread produced in one run, kept as
// their level and format (no arguments) with a count. Written only by the
// streaming thread, read by the host's thread after that thread ended.
class CRunTrace {
 public:
  static constexpr int kMaxEntries = 32;
  struct Entry {
    const char* pszFormat;
    int level;
    uint32_t count;
  };

  CRunTrace() : m_entries(), m_used(0), m_lost(0) {}
  void Clear() {
    m_used = 0;
    m_lost = 0;
  }
  // Bounded work, no allocation, no lock, no system call.
  void Record(int level, const char* pszFormat);

  int Used() const { return m_used; }
  const Entry& At(int index) const { return m_entries[index]; }
  // Lines that found no free entry.
  uint32_t Lost() const { return m_lost; }

 private:
  Entry m_entries[kMaxEntries];
  int m_used;
  uint32_t m_lost;
};

class CDiagnosticsLog : public IKsTraceSink {
 public:
  static const char kFileName[];
  // Past this size the file is cut to its last kKeepBytes.
  static constexpr uint32_t kMaxBytes = 8u << 20;
  static constexpr uint32_t kKeepBytes = 4u << 20;
  // KS trace levels the log records: failures, discovery notes, things not
  // found and milestones; not the entry and leaving of every method (6).
  static constexpr int kKsTraceLevel = 5;

  // The process's log, in the user's profile folder.
  static CDiagnosticsLog& Instance();

  // A log at a given path (tests), off until Refresh finds the file.
  CDiagnosticsLog(const std::string& path, uint32_t maxBytes, uint32_t keepBytes);
  virtual ~CDiagnosticsLog();
  CDiagnosticsLog(const CDiagnosticsLog&) = delete;
  CDiagnosticsLog& operator=(const CDiagnosticsLog&) = delete;

  // Looks for the file again (the user may have created or removed it since
  // the last look); called whenever a host creates a driver object. As the
  // log turns on it writes the driver's version and the host process, and
  // takes the KS client's trace.
  bool Refresh();
  bool Enabled() const { return m_enabled; }

  // One line; nothing when off. Never call it on the streaming thread.
  void Write(const char* pszFormat, ...) VOROD_PRINTF_FORMAT(2, 3);
  void WriteV(const char* pszFormat, va_list args);

  // Writes what a run's streaming thread traced, then clears it.
  void WriteRunTrace(CRunTrace* pRunTrace);

  // Marks the calling thread as a streaming thread whose KS trace goes into
  // pRunTrace (null: an ordinary thread again).
  static void SetThreadRunTrace(CRunTrace* pRunTrace);

 private:
  // The KS client's trace, on any thread.
  void Trace(int level, const char* pszFormat, va_list args) override;
  std::string ProfilePath() const;
  void AppendLocked(const char* text, size_t length);
  void CutLocked();

  const bool m_inProfile;
  const uint32_t m_maxBytes;
  const uint32_t m_keepBytes;
  CRITICAL_SECTION m_lock;
  std::string m_path;  // under m_lock
  RelaxedAtomic<bool> m_enabled;
};

#endif  // VOROD_DRIVER_DIAGNOSTICSLOG_H
