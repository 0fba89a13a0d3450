// GoogleTest customisation for mingw-w64's win32 thread model, which has no
// std::mutex or std::condition_variable: Notification on a Win32 event.
#ifndef VOROD_GTEST_CUSTOM_PORT_H
#define VOROD_GTEST_CUSTOM_PORT_H

#if defined(_WIN32) && !defined(_GLIBCXX_HAS_GTHREADS)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : event_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { ::CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { ::SetEvent(event_); }
  void WaitForNotification() { ::WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing
#endif

#endif  // VOROD_GTEST_CUSTOM_PORT_H
