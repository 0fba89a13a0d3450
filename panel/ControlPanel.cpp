// The control panel: a modeless dialog on a thread of its own, opened by
// controlPanel (which by default waits for the user to close it) or by start,
// and closed by the user, by stop or by the driver's destructor.
#include "driver/AsioDriver.h"

#include <mmsystem.h>
#include <process.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "com/ModuleHandle.h"
#include "resources/resource.h"

namespace {

const char kPanelCaption[] = "Quorvex Vor OD ASIO Control Panel";
const char kVersionPrefix[] = "Quorvex Vor OD ASIO Control Panel Version: ";
const char kMetricsFormat[] = "DropOut:%u | Latency:%u (%.1fms)";
const char kRoundTripFormat[] = "Round trip: %.1f ms";
const long kBufferSizeChoices[] = {96, 192, 288, 384, 480, 576};
constexpr int kBufferSizeChoiceCount = sizeof(kBufferSizeChoices) / sizeof(kBufferSizeChoices[0]);

constexpr UINT_PTR kMetricsTimer = 100;
constexpr UINT kMetricsPeriodMs = 400;
// The panel thread reports within milliseconds normally; a first window on a
// loaded machine can take seconds. Never wait for ever.
constexpr DWORD kPanelStartLimitMs = 10000;
constexpr DWORD kPanelCloseLimitMs = 2000;

// Appends the module's product version ("1.0.0.0") to `line`; leaves it as
// it is when the version resource cannot be read.
void AppendProductVersion(char* line, size_t size) {
  HRSRC info = FindResourceA(g_hModule, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
  if (info == nullptr) return;
  HGLOBAL resource = LoadResource(g_hModule, info);
  if (resource == nullptr) return;
  const void* block = LockResource(resource);
  const DWORD blockSize = SizeofResource(g_hModule, info);
  if (block != nullptr && blockSize != 0) {
    // The version functions may write into the block they are given (the
    // ANSI query converts in place), so they get a writable copy with room.
    BYTE* copy = new (std::nothrow) BYTE[2 * static_cast<size_t>(blockSize)];
    if (copy != nullptr) {
      memcpy(copy, block, blockSize);
      VS_FIXEDFILEINFO* fixed = nullptr;
      UINT length = 0;
      if (VerQueryValueA(copy, "\\", reinterpret_cast<void**>(&fixed), &length) &&
          fixed != nullptr && length >= sizeof(VS_FIXEDFILEINFO)) {
        const size_t used = strlen(line);
        snprintf(line + used, size - used, "%u.%u.%u.%u",
                 static_cast<unsigned>(HIWORD(fixed->dwProductVersionMS)),
                 static_cast<unsigned>(LOWORD(fixed->dwProductVersionMS)),
                 static_cast<unsigned>(HIWORD(fixed->dwProductVersionLS)),
                 static_cast<unsigned>(LOWORD(fixed->dwProductVersionLS)));
      }
      delete[] copy;
    }
  }
  FreeResource(resource);
}

// Holds CAsioDriver::m_panelLaunch for a scope. Host threads wait for it:
// the streaming thread holds it only to start a thread. The streaming
// thread only tries.
class CPanelLaunchClaim {
 public:
  CPanelLaunchClaim(std::atomic<bool>& flag, bool wait) : m_flag(flag), m_held(false) {
    while (!(m_held = !m_flag.exchange(true, std::memory_order_acquire)) && wait) Sleep(1);
  }
  ~CPanelLaunchClaim() {
    if (m_held) m_flag.store(false, std::memory_order_release);
  }
  CPanelLaunchClaim(const CPanelLaunchClaim&) = delete;
  CPanelLaunchClaim& operator=(const CPanelLaunchClaim&) = delete;
  bool Held() const { return m_held; }

 private:
  std::atomic<bool>& m_flag;
  bool m_held;
};

void CentreOnPrimaryScreen(HWND window) {
  RECT rect;
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  const int x = GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2;
  const int y = GetSystemMetrics(SM_CYSCREEN) / 2 - height / 2;
  MoveWindow(window, x, y, width, height, FALSE);
}

}  // namespace

int CAsioDriver::OpenControlPanel(PanelWait wait) {
  if (m_panelWindow != nullptr) return 0;
  CPanelLaunchClaim claim(m_panelLaunch, wait != kPanelNoWait);
  if (!claim.Held()) return -1;

  auto startThread = [this]() {
    m_panelQuit = false;
    m_panelStarting = true;
    unsigned id = 0;
    // Suspended, so that the handle is recorded before the thread can end
    // and reset it.
    HANDLE thread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &ControlPanelThreadProc, this, CREATE_SUSPENDED, &id));
    if (thread == nullptr) {
      m_panelStarting = false;
      return false;
    }
    m_panelThreadId = id;
    m_panelThreadHandle = thread;
    m_panelThread = thread;
    ResumeThread(thread);
    return true;
  };

  if (wait == kPanelNoWait) {
    // The streaming thread neither waits for a panel thread that is still
    // there (starting, or ending) nor for the new one to show its window.
    if (m_panelThread != INVALID_HANDLE_VALUE) return 0;
    if (m_panelThreadHandle != INVALID_HANDLE_VALUE) {
      if (WaitForSingleObject(m_panelThreadHandle, 0) != WAIT_OBJECT_0) return 0;
      ReapPanelThread(0);
    }
    return startThread() ? 0 : -1;
  }

  // A panel thread that is still there without a window is either ending
  // (its user just closed it) or still creating its dialog: wait for it to
  // show up, or to go so that a new one can start.
  m_panelQuit = false;
  m_panelStarting = true;
  bool created = false;
  const DWORD begin = timeGetTime();
  while (m_panelStarting) {
    if (!created && m_panelThread == INVALID_HANDLE_VALUE) {
      ReapPanelThread(kPanelCloseLimitMs);
      if (!startThread()) return -1;
      created = true;
      continue;
    }
    // Give up rather than hang the host; a panel that still shows up later
    // is tracked through m_panelWindow and closed by stop.
    if (timeGetTime() - begin >= kPanelStartLimitMs) return -1;
    Sleep(2);
  }
  return m_panelWindow == nullptr ? -1 : 0;  // -1: the dialog could not be created
}

void CAsioDriver::WaitForPanelToClose() {
  // As a modal dialog's own loop does, the host's thread goes on
  // dispatching its messages while the user has the panel: its windows keep
  // painting and answering.
  while (m_panelWindow != nullptr && !m_modelessPanel) {
    MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        // Meant for the host's own loop: handed back, and the wait ends.
        PostQuitMessage(static_cast<int>(message.wParam));
        return;
      }
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
}

void CAsioDriver::ClosePanel() {
  if (m_panelWindow != nullptr && m_panelRequested &&
      timeGetTime() - m_panelRequestTime < 200) {
    // Closed by the host right after it asked for the panel: a host that
    // cannot wait for a modal panel. Next time the panel must not block it.
    m_modelessPanel = false;
  }
  CPanelLaunchClaim claim(m_panelLaunch, true);
  if (m_panelThreadHandle == INVALID_HANDLE_VALUE) return;
  m_panelQuit = true;
  // A host that answers the panel's message to it by calling back in
  // (createBuffers, stop) does so on the panel thread, which must not wait
  // for itself: it ends after that call.
  if (GetCurrentThreadId() == m_panelThreadId) return;
  PostThreadMessageA(m_panelThreadId, WM_QUIT, 0, 0);
  ReapPanelThread(kPanelCloseLimitMs);
  m_panelThread = INVALID_HANDLE_VALUE;
  m_panelWindow = nullptr;
  m_panelRequested = false;
}

void CAsioDriver::ReapPanelThread(DWORD waitMs) {
  HANDLE thread = m_panelThreadHandle;
  if (thread == INVALID_HANDLE_VALUE) return;
  if (WaitForSingleObject(thread, waitMs) == WAIT_TIMEOUT)
    TerminateThread(thread, kStatusPossibleDeadlock);
  CloseHandle(thread);
  m_panelThreadHandle = INVALID_HANDLE_VALUE;
}

unsigned __stdcall CAsioDriver::ControlPanelThreadProc(void* argument) {
  CAsioDriver* driver = static_cast<CAsioDriver*>(argument);
  const HRESULT com = CoInitialize(nullptr);

  HWND window = CreateDialogParamA(g_hModule, MAKEINTRESOURCEA(IDD_CONTROL_PANEL), nullptr,
                                   &ControlPanelDlgProc, reinterpret_cast<LPARAM>(driver));
  driver->m_panelWindow = window;
  CDiagnosticsLog& log = CDiagnosticsLog::Instance();
  if (window != nullptr) {
    log.Write("control panel opened (%s)", driver->m_modelessPanel ? "modeless" : "modal");
    ShowWindow(window, SW_SHOWNORMAL);
    driver->m_panelStarting = false;
    // WM_QUIT only wakes the loop; m_panelQuit ends it.
    MSG message;
    while (!driver->m_panelQuit) {
      const BOOL got = GetMessageA(&message, nullptr, 0, 0);
      if (got == -1) break;
      if (got != 0 && !IsDialogMessageA(window, &message)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
    }
    if (IsWindow(window)) DestroyWindow(window);
    log.Write("control panel closed");
  } else {
    log.Write("control panel: the dialog could not be created (error %lu)", GetLastError());
    driver->m_panelStarting = false;
  }

  driver->m_panelWindow = nullptr;
  driver->m_panelRequested = false;
  driver->m_panelThread = INVALID_HANDLE_VALUE;
  if (com != RPC_E_CHANGED_MODE) CoUninitialize();
  return 0;
}

void CAsioDriver::TellHostOfPreferredSize(long size) {
  // The buffers cannot change while the panel is open (createBuffers and
  // disposeBuffers close it first), so they are read here without a lock.
  // A host without buffers learns the size at its next getBufferSize.
  if (m_callbacks == nullptr || size == m_bufferSize) return;
  if (HostSupports(kAsioBufferSizeChange) && MessageHost(kAsioBufferSizeChange, size) != 0) return;
  if (HostSupports(kAsioResetRequest)) MessageHost(kAsioResetRequest, 0);
}

void CAsioDriver::TellHostOfMode(bool lowLatency) {
  // The mode takes effect when the host creates its buffers again; a host
  // without buffers gets it with its next ones.
  if (m_callbacks == nullptr || lowLatency == m_lowLatencyRun) return;
  if (HostSupports(kAsioResetRequest)) MessageHost(kAsioResetRequest, 0);
}

void CAsioDriver::ShowPanelRoundTrip(HWND window) const {
  long input = 0, output = 0;
  ComputeLatencies(m_preferredBufferSize.Get(), m_lowLatency.Get(), &input, &output);
  char line[64];
  snprintf(line, sizeof(line), kRoundTripFormat, (input + output) * 1000.0 / m_sampleRate);
  SetDlgItemTextA(window, IDC_ROUND_TRIP, line);
}

void CAsioDriver::OnPanelCommand(HWND window, int id, int code, HWND control) {
  if (id == IDC_BUFFER_SIZE && code == CBN_SELCHANGE) {
    const LRESULT index = SendMessageA(control, CB_GETCURSEL, 0, 0);
    if (index < 0 || index >= kBufferSizeChoiceCount) return;
    m_preferredBufferSize = kBufferSizeChoices[index];
    ShowPanelRoundTrip(window);
    TellHostOfPreferredSize(kBufferSizeChoices[index]);
  } else if (id == IDC_LOW_LATENCY && code == BN_CLICKED) {
    const bool lowLatency = IsDlgButtonChecked(window, IDC_LOW_LATENCY) == BST_CHECKED;
    m_lowLatency = lowLatency;
    ShowPanelRoundTrip(window);
    TellHostOfMode(lowLatency);
  }
}

INT_PTR CALLBACK CAsioDriver::ControlPanelDlgProc(HWND window, UINT message, WPARAM wParam,
                                                  LPARAM lParam) {
  CAsioDriver* driver = reinterpret_cast<CAsioDriver*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  switch (message) {
    case WM_INITDIALOG: {
      driver = reinterpret_cast<CAsioDriver*>(lParam);
      CentreOnPrimaryScreen(window);
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(driver));
      SetWindowTextA(window, kPanelCaption);

      // The selection is the first choice not below the preferred size; a
      // preferred size above every choice selects nothing.
      const long preferred = driver->m_preferredBufferSize;
      WPARAM selection = 0;
      for (long choice : kBufferSizeChoices) {
        char text[16];
        snprintf(text, sizeof(text), "%u", static_cast<unsigned>(choice));
        SendDlgItemMessageA(window, IDC_BUFFER_SIZE, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(text));
        if (choice < preferred) ++selection;
      }
      SendDlgItemMessageA(window, IDC_BUFFER_SIZE, CB_SETCURSEL, selection, 0);
      CheckDlgButton(window, IDC_LOW_LATENCY, driver->m_lowLatency ? BST_CHECKED : BST_UNCHECKED);
      driver->ShowPanelRoundTrip(window);

      // These two switches are not offered here: they live in the registry.
      ShowWindow(GetDlgItem(window, IDC_MODELESS_PANEL), SW_HIDE);
      ShowWindow(GetDlgItem(window, IDC_AUTO_OPEN_PANEL), SW_HIDE);

      char line[128];
      snprintf(line, sizeof(line), "%s", kVersionPrefix);
      AppendProductVersion(line, sizeof(line));
      SetDlgItemTextA(window, IDC_VERSION_LINE, line);

      SetTimer(window, kMetricsTimer, kMetricsPeriodMs, nullptr);
      return TRUE;
    }

    case WM_TIMER:
      if (wParam == kMetricsTimer && driver != nullptr && driver->m_showMetrics) {
        const uint32_t latency = driver->m_latencyFrames;
        char line[96];
        snprintf(line, sizeof(line), kMetricsFormat, static_cast<unsigned>(driver->m_dropOuts),
                 static_cast<unsigned>(latency), latency * 1000.0 / driver->m_sampleRate);
        SetDlgItemTextA(window, IDC_ABOUT_TEXT, line);
      }
      return FALSE;

    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      // Esc closes the panel as OK does: a hidden panel that still counted
      // as open would make controlPanel do nothing until the host stops.
      if (id == IDCANCEL || (id == IDOK && code == BN_CLICKED))
        DestroyWindow(window);
      else if (driver != nullptr)
        driver->OnPanelCommand(window, id, code, reinterpret_cast<HWND>(lParam));
      return FALSE;
    }

    case WM_CLOSE:
    case WM_DESTROY:
      if (message == WM_DESTROY) KillTimer(window, kMetricsTimer);
      if (driver != nullptr) driver->m_panelQuit = true;
      // A close that arrives as a sent message (from another thread) is
      // handled inside GetMessageA, which would go on waiting for a posted
      // one: wake the loop so that it sees the quit flag.
      PostQuitMessage(0);
      return FALSE;

    default:
      return FALSE;
  }
}
