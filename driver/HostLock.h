// The lock that serialises the host's state-changing calls (init,
// createBuffers, disposeBuffers, start, stop, controlPanel, release) when a
// host makes them from several threads at once.
//
// Only host threads take it. A call made from inside a host callback runs on
// the streaming thread, which a host thread holding the lock may be waiting
// for (stop, release): that call never takes the lock, and keeps the meaning
// it has on that thread. The lock is recursive, as the calls call each other
// (createBuffers -> disposeBuffers -> stop).
#ifndef VOROD_DRIVER_HOSTLOCK_H
#define VOROD_DRIVER_HOSTLOCK_H

#include <windows.h>

class CHostLock {
 public:
  CHostLock() { InitializeCriticalSection(&m_section); }
  ~CHostLock() { DeleteCriticalSection(&m_section); }
  CHostLock(const CHostLock&) = delete;
  CHostLock& operator=(const CHostLock&) = delete;

  // Holds the lock for a scope, unless the caller is the streaming thread.
  class Hold {
   public:
    Hold(CHostLock& lock, bool onStreamThread)
        : m_section(onStreamThread ? nullptr : &lock.m_section) {
      if (m_section != nullptr) EnterCriticalSection(m_section);
    }
    ~Hold() {
      if (m_section != nullptr) LeaveCriticalSection(m_section);
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    CRITICAL_SECTION* m_section;
  };

 private:
  CRITICAL_SECTION m_section;
};

#endif  // VOROD_DRIVER_HOSTLOCK_H
