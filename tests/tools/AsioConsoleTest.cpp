// The console host as a user runs it, in process against the fake driver's
// DLL: what it prints, the WAV file it writes, and the message and exit
// status of each failure.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/DriverDll.h"
#include "tests/support/FakeAsioDriver.h"
#include "tools/AsioConsole.h"
#include "tools/WavFile.h"

namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

class AsioConsoleTest : public ::testing::Test {
 protected:
  void TearDown() override { SetEnvironmentVariableA(kFakeScriptVariable, nullptr); }

  // The console on the fake DLL, whose drivers follow `script`.
  Outcome Run(const std::string& script, std::vector<const char*> args) {
    SetEnvironmentVariableA(kFakeScriptVariable, script.c_str());
    args.insert(args.begin(),
                {"asio-console", "--dll", m_dll.c_str(), "--clsid", kFakeAsioDriverClassIdText});
    CConsoleText text;
    CAsioConsole console(text);
    const int status = console.Run(static_cast<int>(args.size()), args.data());
    return {status, text.OutText(), text.ErrText()};
  }

  std::string TempPath(const char* name) {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + "vorod-" + std::to_string(GetCurrentProcessId()) + "-" + name;
  }

  const std::string m_dll = TestProgramFolder() + "\\FakeAsioDriver-x64.dll";
};

}  // namespace

TEST_F(AsioConsoleTest, AFailedInitStillShowsTheDriversAnswers) {
  Outcome o = Run("init=Fake hardware missing.", {});
  EXPECT_EQ(3, o.status);
  EXPECT_NE(std::string::npos, o.out.find("driver:        Fake ASIO Driver (version 3)\n"
                                          "init:          FAILED, \"Fake hardware missing.\"\n"
                                          "channels:      4 in, 2 out\n"
                                          "  in    0   Fake In 1"))
      << o.out;
  EXPECT_NE(std::string::npos, o.out.find("clock sources: 1\n    0   Fake Clock (current)\n"));
  EXPECT_EQ("asio-console: init failed: \"Fake hardware missing.\"\n", o.err);
}

TEST_F(AsioConsoleTest, ARunWritesTheInputsToAWavFileAndReportsTheRoundTrip) {
  const std::string path = TempPath("run.wav");
  Outcome o = Run("inputs=3;loopback=0>2@128",
                  {"--stream", "1", "--signal", "click", "-o", "0", "--wav", path.c_str()});
  ASSERT_EQ(0, o.status) << o.err;
  EXPECT_EQ("", o.err);
  EXPECT_NE(std::string::npos,
            o.out.find("streaming:     1.0 s, buffer 64 frames (8.00 ms) at 8000 Hz; inputs 0-2, "
                       "outputs 0; outputs play clicks\n"))
      << o.out;
  EXPECT_NE(std::string::npos, o.out.find("drop-outs:     "));
  EXPECT_NE(std::string::npos,
            o.out.find("round trip:    clicks on outputs 0 came back on input 2 after 128 frames "
                       "(16.00 ms)"));
  EXPECT_NE(std::string::npos, o.out.find("the driver reports 64 in + 64 out = 128 frames "
                                          "(16.00 ms): the same\n"));

  std::ifstream file(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
  file.close();
  DeleteFileA(path.c_str());
  ASSERT_GT(bytes.size(), 68u);
  const uint32_t frames = static_cast<uint32_t>((bytes.size() - 68) / 12);
  EXPECT_EQ(0u, (bytes.size() - 68) % 12);
  EXPECT_EQ(0u, frames % 64);
  EXPECT_EQ(WavHeader(3, 8000, frames), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 68));
  int mismatches = 0;
  for (uint32_t frame = 0; frame < frames; ++frame)
    for (long channel = 0; channel < 2; ++channel) {
      int32_t sample;
      memcpy(&sample, &bytes[68 + (frame * 3 + channel) * 4], 4);
      mismatches += sample != FakeInputSample(channel, frame);
    }
  EXPECT_EQ(0, mismatches);
}

TEST_F(AsioConsoleTest, EachFailureSaysWhatFailedAndSetsItsStatus) {
  const std::string missingFolder = TempPath("no-such-folder\\x.wav");
  const struct {
    const char* script;
    std::vector<const char*> args;
    int status;
    const char* message;
  } kCases[] = {
      {"", {"-s", "1", "-i", "7"}, 1, "input 7 does not exist: the driver has 4 inputs"},
      {"", {"-s", "1", "-r", "44100"}, 4, "setSampleRate(44100) failed: ASE_NoClock"},
      {"", {"-s", "1", "--clock", "3"}, 4, "setClockSource(3) failed: ASE_InvalidParameter"},
      {"type=33",
       {"-s", "1"},
       4,
       "input 0 has sample type DSDInt8MSB1, which this host cannot stream"},
      {"createBuffers=-997",
       {"-s", "1"},
       4,
       "createBuffers for 6 channels (inputs 0-3, outputs 0-1), 64 frames refused: "
       "ASE_InvalidMode (driver says \"Fake buffers refused.\")"},
      {"start=-999",
       {"-s", "1"},
       4,
       "start failed: ASE_HWMalfunction (driver says \"Fake start refused.\")"},
      {"callbacks=0", {"-s", "0.3"}, 5, "no buffer switch arrived in the 0.3"},
      {"", {"-s", "1", "-w", missingFolder.c_str()}, 6, "cannot create the WAV file"},
  };
  for (const auto& c : kCases) {
    Outcome o = Run(c.script, c.args);
    EXPECT_EQ(c.status, o.status) << c.message << "\n" << o.err;
    EXPECT_EQ(0u, o.err.find(std::string("asio-console: ") + c.message)) << o.err;
  }
  EXPECT_EQ(0, CFakeAsioDriver::LiveObjects());
}

TEST_F(AsioConsoleTest, ADllThatCannotServeTheDriverIsNamed) {
  CConsoleText text;
  CAsioConsole console(text);
  const std::string missing = TestProgramFolder() + "\\missing.dll";
  const char* noFile[] = {"asio-console", "--dll", missing.c_str()};
  EXPECT_EQ(2, console.Run(3, noFile));
  const char* wrongClass[] = {"asio-console", m_dll.c_str()};
  EXPECT_EQ(2, console.Run(2, wrongClass));
  const char* notCom[] = {"asio-console", "C:\\windows\\system32\\kernel32.dll"};
  EXPECT_EQ(2, console.Run(2, notCom));
  EXPECT_EQ(0u, text.ErrText().find("asio-console: cannot load the driver DLL " + missing +
                                    ": error 2 ("));
  EXPECT_NE(std::string::npos,
            text.ErrText().find(m_dll + " does not serve the class "
                                        "{35B2AAA7-CD03-421C-B325-5D7184ACC176}: DllGetClassObject "
                                        "failed with 0x80040111"));
  EXPECT_NE(std::string::npos,
            text.ErrText().find("kernel32.dll exports no DllGetClassObject: it is not a COM "
                                "driver DLL\n"));
}
