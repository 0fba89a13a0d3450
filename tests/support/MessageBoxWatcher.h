// Finds a message box by its title, reads its text and dismisses it with OK,
// from a thread of its own, so that the code showing the box can run on the
// test's thread and return.
#ifndef VOROD_TESTS_SUPPORT_MESSAGEBOXWATCHER_H
#define VOROD_TESTS_SUPPORT_MESSAGEBOXWATCHER_H

#include <windows.h>

#include <string>

class MessageBoxWatcher {
 public:
  // Watches for up to timeoutMs for a box with this title shown by the given
  // process (0: this process; kAnyProcess: any, in a Wine prefix no other
  // test uses). Other processes' boxes are left alone, so that tests running
  // side by side do not answer each other's boxes.
  static constexpr DWORD kAnyProcess = 0xFFFFFFFF;
  explicit MessageBoxWatcher(std::string title, DWORD processId = 0, DWORD timeoutMs = 20000);
  ~MessageBoxWatcher();
  MessageBoxWatcher(const MessageBoxWatcher&) = delete;
  MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

  // Waits for the watch to end; true when a box was found and has closed.
  bool Wait();
  // The box's message text (valid after Wait).
  const std::string& Text() const { return m_text; }

 private:
  static DWORD WINAPI Watch(void* self);
  HWND FindBox() const;

  std::string m_title;
  DWORD m_processId;
  DWORD m_timeoutMs;
  std::string m_text;
  bool m_dismissed = false;
  HANDLE m_thread = nullptr;
};

#endif  // VOROD_TESTS_SUPPORT_MESSAGEBOXWATCHER_H
