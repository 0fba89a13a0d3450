// The control panel in a real window (under Xvfb), driven from another
// thread as a user would drive it.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "resources/resource.h"
#include "tests/support/DriverDll.h"
#include "tests/support/FakeHost.h"
#include "virtual-device/VirtualDevice.h"
#include "tests/support/RegistrySandbox.h"

namespace {

const char kCaption[] = "Quorvex Vor OD ASIO Control Panel";
const char kKey[] = "SOFTWARE\\Halvorn\\Quorvex Vor OD ASIO\\1.00";
const char kAboutText[] =
    "Low-latency ASIO driver for the Quorvex Vor OD\nCopyright (c) 2026 Halvorn. All rights "
    "reserved.";

// Runs a function on a thread of its own (a host's thread calling the driver).
class HostThread {
 public:
  explicit HostThread(std::function<void()> body) : m_body(std::move(body)) {
    m_thread = CreateThread(nullptr, 0, &HostThread::Run, this, 0, nullptr);
  }
  ~HostThread() {
    Join(30000);
    CloseHandle(m_thread);
  }
  bool Join(DWORD ms) { return WaitForSingleObject(m_thread, ms) == WAIT_OBJECT_0; }

 private:
  static DWORD WINAPI Run(void* self) {
    static_cast<HostThread*>(self)->m_body();
    return 0;
  }
  std::function<void()> m_body;
  HANDLE m_thread;
};

// The panel of this process: other test programs may show theirs at the
// same time on the same display.
HWND FindOwnPanel() {
  struct Search {
    HWND found = nullptr;
  } search;
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        char caption[64] = {};
        GetWindowTextA(window, caption, sizeof(caption));
        if (process != GetCurrentProcessId() || strcmp(caption, kCaption) != 0) return TRUE;
        reinterpret_cast<Search*>(context)->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string ItemText(HWND panel, int id) {
  char text[256] = {};
  GetDlgItemTextA(panel, id, text, sizeof(text));
  return text;
}

// The panel window once its dialog procedure has set it up (the version line
// is written during WM_INITDIALOG, the window can be found before that).
HWND WaitForPanel(DWORD ms = 10000) {
  const DWORD begin = timeGetTime();
  while (timeGetTime() - begin < ms) {
    HWND panel = FindOwnPanel();
    if (panel != nullptr && IsWindowVisible(panel) &&
        ItemText(panel, IDC_VERSION_LINE).find("Version: ") != std::string::npos)
      return panel;
    Sleep(5);
  }
  return nullptr;
}

bool WaitUntilGone(HWND panel, DWORD ms) {
  const DWORD begin = timeGetTime();
  while (timeGetTime() - begin < ms) {
    if (!IsWindow(panel)) return true;
    Sleep(5);
  }
  return !IsWindow(panel);
}

// Chooses a buffer size in the panel's list as a user does. CB_SETCURSEL
// sends no notification: send the one a user's choice sends.
void Choose(HWND panel, int index) {
  HWND combo = GetDlgItem(panel, IDC_BUFFER_SIZE);
  SendMessageA(combo, CB_SETCURSEL, index, 0);
  SendMessageA(panel, WM_COMMAND, MAKEWPARAM(IDC_BUFFER_SIZE, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(combo));
}

// Waits until `read` returns what is expected, for at most `ms`.
bool Eventually(const std::function<bool()>& condition, DWORD ms) {
  const DWORD begin = timeGetTime();
  while (timeGetTime() - begin < ms) {
    if (condition()) return true;
    Sleep(10);
  }
  return condition();
}

class ControlPanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll.Loaded());
    driver = dll.CreateDriver();
    ASSERT_NE(driver, nullptr);
  }
  void TearDown() override {
    if (driver != nullptr) driver->Release();
  }
  long PreferredSize() {
    long minSize, maxSize, preferred = -1, granularity;
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    return preferred;
  }
  void Store(const char* name, DWORD value) {
    RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, name, value);
  }
  // The round trip the driver reports now, as the panel words it.
  std::string ReportedRoundTrip() {
    long in = 0, out = 0;
    driver->getLatencies(&in, &out);
    char text[64];
    snprintf(text, sizeof(text), "Round trip: %.1f ms", (in + out) * 1000.0 / 48000.0);
    return text;
  }
  // Opens and closes one panel: the first window of a process costs Wine
  // far more than later ones.
  void WarmUp() {
    HostThread host([&] { driver->controlPanel(); });
    HWND panel = WaitForPanel();
    ASSERT_NE(panel, nullptr);
    SendMessageA(GetDlgItem(panel, IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(host.Join(5000));
  }

  RegistrySandbox sandbox;
  DriverDll dll{ProductionDllPath()};
  IASIO* driver = nullptr;
};

TEST_F(ControlPanelTest, ModalPanelShowsItsTextsAndReturnsOnlyAfterOk) {
  ASIOError result = -1;
  HWND hostWindow = nullptr;
  HostThread host([&] {
    // Message-only: the panel search never sends it anything.
    hostWindow =
        CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    result = driver->controlPanel();
  });
  HWND panel = WaitForPanel();
  ASSERT_NE(panel, nullptr);

  EXPECT_EQ(ItemText(panel, IDC_VERSION_LINE),
            "Quorvex Vor OD ASIO Control Panel Version: 1.0.0.0");
  EXPECT_EQ(ItemText(panel, IDC_ABOUT_TEXT), kAboutText);
  EXPECT_EQ(ItemText(panel, IDC_BUFFER_SIZE_LABEL), "Preferred ASIO Buffer Size");
  HWND combo = GetDlgItem(panel, IDC_BUFFER_SIZE);
  EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 6);
  EXPECT_EQ(ItemText(panel, IDC_BUFFER_SIZE), "288");
  char item[16] = {};
  SendMessageA(combo, CB_GETLBTEXT, 5, reinterpret_cast<LPARAM>(item));
  EXPECT_STREQ(item, "576");
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(panel, IDC_MODELESS_PANEL)));
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(panel, IDC_AUTO_OPEN_PANEL)));

  // Centred on the primary screen.
  RECT rect;
  GetWindowRect(panel, &rect);
  const int width = rect.right - rect.left;
  EXPECT_EQ(rect.left, GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2);

  // Mended: while it waits, the host's thread dispatches its own messages.
  PostMessageA(hostWindow, WM_CLOSE, 0, 0);
  EXPECT_TRUE(Eventually([&] { return !IsWindow(hostWindow); }, 2000));
  EXPECT_FALSE(host.Join(300)) << "a modal panel returned before it was closed";
  SendMessageA(GetDlgItem(panel, IDOK), BM_CLICK, 0, 0);
  EXPECT_TRUE(host.Join(5000));
  EXPECT_EQ(result, ASE_OK);
  EXPECT_TRUE(WaitUntilGone(panel, 2000));
}

TEST_F(ControlPanelTest, CloseBoxAndEscCloseTheModalPanel) {
  {
    HostThread host([&] { driver->controlPanel(); });
    HWND panel = WaitForPanel();
    ASSERT_NE(panel, nullptr);
    PostMessageA(panel, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(host.Join(5000));
  }
  {
    HostThread host([&] { driver->controlPanel(); });
    HWND panel = WaitForPanel();
    ASSERT_NE(panel, nullptr);
    PostMessageA(panel, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(host.Join(5000)) << "Esc left the panel open";
    EXPECT_TRUE(WaitUntilGone(panel, 2000));
  }
  // After the user closed it, the next request opens a new panel.
  HostThread host([&] { driver->controlPanel(); });
  HWND panel = WaitForPanel();
  ASSERT_NE(panel, nullptr);
  SendMessageA(GetDlgItem(panel, IDOK), BM_CLICK, 0, 0);
  EXPECT_TRUE(host.Join(5000));
}

TEST_F(ControlPanelTest, ChoosingABufferSizeChangesThePreferredSizeAtOnce) {
  Store("Modeless Control Panel", 1);
  ASSERT_EQ(driver->controlPanel(), ASE_OK);
  HWND panel = WaitForPanel();
  ASSERT_NE(panel, nullptr);
  Choose(panel, 0);
  EXPECT_EQ(PreferredSize(), 96);
  Choose(panel, 4);
  EXPECT_EQ(PreferredSize(), 480);
  EXPECT_EQ(driver->stop(), ASE_OK);
  driver->Release();
  driver = nullptr;
  DWORD stored = 0;
  EXPECT_TRUE(RegistrySandbox::ReadDword(HKEY_CURRENT_USER, kKey, "Buffer Size Preferred", &stored));
  EXPECT_EQ(stored, 480u);
}

// Mended: a size chosen in the panel reaches a host that holds buffers of
// another size: kAsioBufferSizeChange where it takes that, else
// kAsioResetRequest where it supports that. A host without buffers, or with
// buffers of that size, is left alone.
TEST_F(ControlPanelTest, AChosenSizeReachesAHostHoldingOtherBuffers) {
  Store("Modeless Control Panel", 1);
  const long change = kAsioBufferSizeChange, reset = kAsioResetRequest;
  const std::pair<long, long> changed = {change, 96}, resetAsked = {reset, 0};
  const struct {
    std::vector<long> supported, declined;
    std::vector<std::pair<long, long>> expected;
  } cases[] = {{{change}, {}, {changed}},
               {{reset}, {}, {resetAsked}},
               {{change, reset}, {change}, {changed, resetAsked}},
               {{}, {}, {}}};
  FakeHost host;
  for (const auto& c : cases) {
    host.supported = c.supported;
    host.declined = c.declined;
    ASSERT_EQ(driver->createBuffers(nullptr, 0, 288, host.Callbacks()), ASE_OK);
    ASSERT_EQ(driver->controlPanel(), ASE_OK);
    HWND panel = WaitForPanel();
    host.messages.clear();
    Choose(panel, 2);  // the size the host holds
    Choose(panel, 0);
    EXPECT_EQ(host.messages, c.expected);
    Sleep(250);  // past the 200 ms rule, so the panel stays modeless
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  }
  host.supported = {change, reset};
  ASSERT_EQ(driver->controlPanel(), ASE_OK);
  host.messages.clear();
  Choose(WaitForPanel(), 5);
  EXPECT_TRUE(host.messages.empty());
}

// Without buffers the driver reports the mode the box chose; a host holding
// buffers made in the other mode is asked to reset, and only then.
TEST_F(ControlPanelTest, LowLatencyBoxSetsTheModeShowsItsRoundTripAndResetsAHost) {
  Store("Modeless Control Panel", 1);
  ASSERT_EQ(driver->controlPanel(), ASE_OK);
  HWND panel = WaitForPanel();
  const std::string standard = ItemText(panel, IDC_ROUND_TRIP);
  SendDlgItemMessageA(panel, IDC_LOW_LATENCY, BM_CLICK, 0, 0);
  EXPECT_EQ(ItemText(panel, IDC_ROUND_TRIP), ReportedRoundTrip());
  EXPECT_NE(ItemText(panel, IDC_ROUND_TRIP), standard);

  FakeHost host;
  host.supported = {kAsioResetRequest};
  Sleep(250);  // past the 200 ms rule, so the panel stays modeless
  ASSERT_EQ(driver->createBuffers(nullptr, 0, 288, host.Callbacks()), ASE_OK);
  ASSERT_EQ(driver->controlPanel(), ASE_OK);
  panel = WaitForPanel();
  EXPECT_EQ(IsDlgButtonChecked(panel, IDC_LOW_LATENCY), static_cast<UINT>(BST_CHECKED));
  host.messages.clear();
  for (int click = 0; click < 2; ++click)  // off, then back to the buffers' mode
    SendDlgItemMessageA(panel, IDC_LOW_LATENCY, BM_CLICK, 0, 0);
  EXPECT_EQ(host.messages, (std::vector<std::pair<long, long>>{{kAsioResetRequest, 0}}));
}

TEST_F(ControlPanelTest, SelectionFollowsThePreferredSize) {
  const struct {
    DWORD preferred;
    const char* shown;
  } cases[] = {{96, "96"}, {576, "576"}, {384, "384"}, {300, "288"}};  // 300: not offered
  for (const auto& c : cases) {
    driver->Release();
    // Closed quickly, the previous panel cleared the modeless setting.
    Store("Modeless Control Panel", 1);
    Store("Buffer Size Preferred", c.preferred);
    driver = dll.CreateDriver();
    ASSERT_EQ(driver->controlPanel(), ASE_OK);
    HWND panel = WaitForPanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(ItemText(panel, IDC_BUFFER_SIZE), c.shown) << c.preferred;
    driver->stop();
  }
}

TEST_F(ControlPanelTest, ModelessPanelReturnsAtOnceAndStopClosesIt) {
  Store("Modeless Control Panel", 1);
  ASSERT_EQ(driver->controlPanel(), ASE_OK);
  HWND panel = FindOwnPanel();
  ASSERT_NE(panel, nullptr) << "controlPanel returned before the panel was up";
  EXPECT_TRUE(IsWindowVisible(panel));

  // A second request while it is open changes nothing.
  EXPECT_EQ(driver->controlPanel(), ASE_OK);
  EXPECT_EQ(FindOwnPanel(), panel);

  const DWORD begin = timeGetTime();
  EXPECT_EQ(driver->stop(), ASE_OK);
  EXPECT_LT(timeGetTime() - begin, 2500u);
  EXPECT_FALSE(IsWindow(panel));
}

TEST_F(ControlPanelTest, MetricsLineReplacesTheAboutTextWhenEnabled) {
  Store("Modeless Control Panel", 1);
  Store("Show Metrics", 1);
  ASSERT_EQ(driver->controlPanel(), ASE_OK);
  HWND panel = WaitForPanel();
  ASSERT_NE(panel, nullptr);
  EXPECT_TRUE(Eventually(
      [&] { return ItemText(panel, IDC_ABOUT_TEXT) == "DropOut:0 | Latency:0 (0.0ms)"; }, 3000))
      << ItemText(panel, IDC_ABOUT_TEXT);
  driver->stop();
}

TEST_F(ControlPanelTest, AboutTextStaysWithMetricsOff) {
  Store("Modeless Control Panel", 1);
  ASSERT_EQ(driver->controlPanel(), ASE_OK);
  HWND panel = WaitForPanel();
  ASSERT_NE(panel, nullptr);
  Sleep(1000);  // two and a half metrics periods
  EXPECT_EQ(ItemText(panel, IDC_ABOUT_TEXT), kAboutText);
  driver->stop();
}

// A host that closes the panel right after asking for it cannot live with a
// modeless panel: the setting is cleared and stored.
TEST_F(ControlPanelTest, PanelClosedWithin200msClearsTheModelessSetting) {
  WarmUp();
  driver->Release();  // stores the warm-up driver's settings
  Store("Modeless Control Panel", 1);
  driver = dll.CreateDriver();
  ASSERT_EQ(driver->controlPanel(), ASE_OK);
  EXPECT_EQ(driver->stop(), ASE_OK);
  driver->Release();
  driver = nullptr;
  DWORD stored = 7;
  EXPECT_TRUE(RegistrySandbox::ReadDword(HKEY_CURRENT_USER, kKey, "Modeless Control Panel", &stored));
  EXPECT_EQ(stored, 0u);
}

TEST_F(ControlPanelTest, PanelKeptOpenLongerKeepsTheModelessSetting) {
  Store("Modeless Control Panel", 1);
  ASSERT_EQ(driver->controlPanel(), ASE_OK);
  Sleep(400);
  EXPECT_EQ(driver->stop(), ASE_OK);
  driver->Release();
  driver = nullptr;
  DWORD stored = 7;
  EXPECT_TRUE(RegistrySandbox::ReadDword(HKEY_CURRENT_USER, kKey, "Modeless Control Panel", &stored));
  EXPECT_EQ(stored, 1u);
}

TEST_F(ControlPanelTest, ReleasingTheDriverClosesAnOpenPanel) {
  Store("Modeless Control Panel", 1);
  ASSERT_EQ(driver->controlPanel(), ASE_OK);
  HWND panel = WaitForPanel();
  ASSERT_NE(panel, nullptr);
  driver->Release();
  driver = nullptr;
  EXPECT_FALSE(IsWindow(panel));
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(ControlPanelTest, BuffersComingAndGoingCloseThePanel) {
  Store("Modeless Control Panel", 1);
  ASSERT_EQ(driver->controlPanel(), ASE_OK);
  HWND panel = WaitForPanel();
  ASSERT_NE(panel, nullptr);
  Sleep(250);  // past the 200 ms rule, so the panel stays modeless
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  EXPECT_FALSE(IsWindow(panel));
  // And it opens again afterwards.
  ASSERT_EQ(driver->controlPanel(), ASE_OK);
  EXPECT_NE(WaitForPanel(), nullptr);
}

// The panel beside a running driver: the virtual-device build streams.
TEST(StreamingPanelTest, StartOpensThePanelWithoutWaitingAndItShowsLiveFigures) {
  RegistrySandbox sandbox;
  RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, "Auto-open Control Panel", 1);
  RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, "Show Metrics", 1);
  DriverDll dll(VirtualDeviceDllPath());
  ASSERT_TRUE(dll.Loaded());
  IASIO* driver = dll.CreateDriver();
  ASSERT_NE(driver, nullptr);
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  FakeHost host;
  const long B = 288;
  ASIOBufferInfo infos[] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
  ASSERT_EQ(driver->createBuffers(infos, 2, B, host.Callbacks()), ASE_OK);

  // The panel is modal for controlPanel, yet start does not wait for it.
  ASSERT_EQ(driver->start(), ASE_OK);
  HWND panel = FindOwnPanel();
  ASSERT_NE(panel, nullptr) << "start returned before its panel was up";

  unsigned dropOuts = 0, latency = 0;
  double ms = 0;
  EXPECT_TRUE(Eventually(
      [&] {
        return sscanf(ItemText(panel, IDC_ABOUT_TEXT).c_str(), "DropOut:%u | Latency:%u (%lfms)",
                      &dropOuts, &latency, &ms) == 3 &&
               latency != 0;
      },
      5000))
      << ItemText(panel, IDC_ABOUT_TEXT);
  // Input to output through the device's cyclic buffers, four buffers, and
  // through its converters.
  EXPECT_EQ(latency, 4u * B + kVdCaptureDelayFrames + kVdRenderDelayFrames);
  EXPECT_NEAR(ms, latency * 1000.0 / 48000.0, 0.05);
  EXPECT_GT(host.switches, 0);

  const DWORD begin = timeGetTime();
  ASSERT_EQ(driver->stop(), ASE_OK);
  EXPECT_LT(timeGetTime() - begin, 2500u);
  EXPECT_FALSE(IsWindow(panel));
  EXPECT_EQ(driver->Release(), 0u);
}

}  // namespace
