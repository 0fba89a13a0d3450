// The opt-in diagnostics log: on only while its file exists in the user's
// profile, lines with time and thread, a size limit that keeps the latest
// whole lines; what a driver run on the virtual device writes to it, and that
// a file the driver cannot write changes nothing.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "driver/DiagnosticsLog.h"
#include "resources/resource.h"
#include "tests/support/StreamingRig.h"

namespace {

std::string TempPath(const char* name) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  return std::string(folder) + "vorod-log-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(DiagnosticsLogTest, PastItsLimitTheFileKeepsItsLatestWholeLines) {
  const std::string path = TempPath("cut.log");
  std::ofstream(path, std::ios::binary).close();
  CDiagnosticsLog log(path, 4000, 1000);
  ASSERT_TRUE(log.Refresh());
  for (int i = 0; i < 200; ++i) log.Write("line %d", i);
  const std::string text = ReadFile(path);
  DeleteFileA(path.c_str());
  EXPECT_LE(text.size(), 4000u + 100u);
  // The note, then whole lines up to the latest.
  const std::regex cut(R"(\(earlier lines cut[^\n]*\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} +\d+  line \d+\r\n)"
                       R"([\s\S]*  line 199\r\n)");
  EXPECT_TRUE(std::regex_match(text, cut)) << text.substr(0, 200);
}

// A create-start-stop-dispose run with the user's profile in a folder of the
// test's own.
class DriverLogTest : public ::testing::Test {
 protected:
  struct Run {
    ASIOBool initialised = ASIOFalse;
    ASIOError buffers = ASE_NotPresent, started = ASE_NotPresent, stopped = ASE_NotPresent,
              disposed = ASE_NotPresent;
    uint32_t dropOuts = 0xFFFFFFFF;
    DWORD streamingThread = 0;
    bool operator==(const Run& o) const {
      return initialised == o.initialised && buffers == o.buffers && started == o.started &&
             stopped == o.stopped && disposed == o.disposed && dropOuts == o.dropOuts;
    }
  };

  void SetUp() override {
    m_profile = TempPath("profile");
    CreateDirectoryA(m_profile.c_str(), nullptr);
    SetEnvironmentVariableA("USERPROFILE", m_profile.c_str());
    m_path = m_profile + "\\" + CDiagnosticsLog::kFileName;
  }
  void TearDown() override {
    DeleteFileA(m_path.c_str());
    RemoveDirectoryA(m_profile.c_str());
  }

  Run RunDriver() {
    constexpr long B = 288;
    Run run;
    StreamingRig rig(StreamMode::Looped);
    IASIO* asio = rig.Asio();
    // What hosts do inside the callback is not the host's thread: never logged.
    rig.host.onSwitch = [&](long) {
      run.streamingThread = GetCurrentThreadId();
      ASIOSamples position;
      ASIOTimeStamp stamp;
      asio->getSamplePosition(&position, &stamp);
      asio->outputReady();
    };
    run.initialised = rig.Init() ? ASIOTrue : ASIOFalse;
    // The test program has no dialog resource: the panel fails to open, and
    // says so.
    asio->controlPanel();
    run.buffers = rig.Prepare(B, {0, 1}, {0, 1});
    run.started = rig.Start(2 * B);
    rig.device.Step(6 * B);
    rig.device.WaitUntil([&](const CVirtualDevice&) {
      return CAsioDriverTestAccess::SwitchCount(asio) >= 8;
    });
    run.stopped = asio->stop();
    run.dropOuts = CAsioDriverTestAccess::DropOuts(asio);
    run.disposed = asio->disposeBuffers();
    return run;
  }

  std::string m_profile;
  std::string m_path;
};

TEST_F(DriverLogTest, AFullRunWritesItsStoryFromTheHostsThreads) {
  std::ofstream(m_path, std::ios::binary).close();
  const Run run = RunDriver();
  ASSERT_EQ(ASE_OK, run.started);
  const std::string text = ReadFile(m_path);
  const char* expected[] = {
      "Quorvex Vor OD ASIO " VOROD_VERSION_TEXT ", ", "test_driver.exe (process ",
      "driver object created", "bring-up: capture filter \"",
      "kept, its path names the Vor OD", "bring-up: capture pin ", "opened, looped streaming",
      "bring-up: render pin ", "KS ", "init(", ") -> ASIOTrue, \"ASIO OK\"",
      "control panel: the dialog could not be created", "controlPanel -> ASE_NotPresent",
      "createBuffers(4 channels, 288 frames) -> ASE_OK", "run 1 started: 288 frames per buffer",
      "run 1 ended after ", "stopped by the host: ", " drop-outs, measured latency ",
      "cyclic buffer", "stop -> ASE_OK", "disposeBuffers -> ASE_OK",
      "driver object released"};
  for (const char* piece : expected) EXPECT_NE(std::string::npos, text.find(piece)) << piece << "\n" << text;
  // The host's one stop, not the driver's own stops inside other calls.
  EXPECT_EQ(text.find("stop -> "), text.rfind("stop -> "));
  EXPECT_EQ(std::string::npos, text.find("getSamplePosition"));
  EXPECT_EQ(std::string::npos, text.find("outputReady"));
  // Whole lines with time and thread; none from the streaming thread.
  const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} +(\d+)  [^\r\n]+\r)");
  ASSERT_NE(0u, run.streamingThread);
  for (size_t from = 0, end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
    std::smatch match;
    const std::string one = text.substr(from, end - from);
    ASSERT_TRUE(std::regex_match(one, match, line)) << one;
    EXPECT_NE(std::to_string(run.streamingThread), match[1].str()) << one;
  }
}

TEST_F(DriverLogTest, WithoutTheFileNothingIsWritten) {
  const Run run = RunDriver();
  EXPECT_EQ(ASE_OK, run.started);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(m_path.c_str()));
}

// A file another program holds shut (as a read-only file refuses the driver
// on Windows; under Wine as root the read-only attribute stops no writer):
// the driver works exactly as without a log.
TEST_F(DriverLogTest, AFileThatCannotBeWrittenChangesNothing) {
  const Run plain = RunDriver();
  ASSERT_EQ(ASE_OK, plain.started);

  std::ofstream(m_path, std::ios::binary).close();
  HANDLE locked = CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, locked);
  EXPECT_TRUE(plain == RunDriver());
  CloseHandle(locked);
  EXPECT_EQ("", ReadFile(m_path));
}

}  // namespace
