#include "tests/support/MessageBoxWatcher.h"

namespace {

struct BoxSearch {
  const std::string* title;
  DWORD processId;
  HWND found;
};

BOOL CALLBACK MatchBox(HWND window, LPARAM param) {
  BoxSearch* search = reinterpret_cast<BoxSearch*>(param);
  char className[16] = {};
  char title[256] = {};
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  GetClassNameA(window, className, sizeof(className));
  GetWindowTextA(window, title, sizeof(title));
  if ((processId == search->processId || search->processId == MessageBoxWatcher::kAnyProcess) &&
      lstrcmpA(className, "#32770") == 0 &&
      *search->title == title && IsWindowVisible(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// The message is the one static control with text (the icon has none).
BOOL CALLBACK CollectStaticText(HWND child, LPARAM param) {
  char className[16] = {};
  GetClassNameA(child, className, sizeof(className));
  char text[512] = {};
  if (lstrcmpiA(className, "Static") == 0 && GetWindowTextA(child, text, sizeof(text)) > 0)
    *reinterpret_cast<std::string*>(param) = text;
  return TRUE;
}

}  // namespace

MessageBoxWatcher::MessageBoxWatcher(std::string title, DWORD processId, DWORD timeoutMs)
    : m_title(std::move(title)),
      m_processId(processId != 0 ? processId : GetCurrentProcessId()),
      m_timeoutMs(timeoutMs) {
  m_thread = CreateThread(nullptr, 0, Watch, this, 0, nullptr);
}

MessageBoxWatcher::~MessageBoxWatcher() { Wait(); }

bool MessageBoxWatcher::Wait() {
  if (m_thread != nullptr) {
    WaitForSingleObject(m_thread, INFINITE);
    CloseHandle(m_thread);
    m_thread = nullptr;
  }
  return m_dismissed;
}

HWND MessageBoxWatcher::FindBox() const {
  BoxSearch search = {&m_title, m_processId, nullptr};
  EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

DWORD WINAPI MessageBoxWatcher::Watch(void* self) {
  MessageBoxWatcher* watcher = static_cast<MessageBoxWatcher*>(self);
  DWORD start = GetTickCount();
  HWND box = nullptr;
  while (GetTickCount() - start < watcher->m_timeoutMs) {
    Sleep(10);
    if (box == nullptr) {
      HWND candidate = watcher->FindBox();
      // The text may be set only after the window became visible.
      std::string text;
      if (candidate != nullptr)
        EnumChildWindows(candidate, CollectStaticText, reinterpret_cast<LPARAM>(&text));
      if (text.empty()) continue;
      watcher->m_text = text;
      box = candidate;
      PostMessageA(box, WM_COMMAND, IDOK, 0);
    } else if (!IsWindow(box)) {
      watcher->m_dismissed = true;
      return 0;
    }
  }
  return 0;
}
