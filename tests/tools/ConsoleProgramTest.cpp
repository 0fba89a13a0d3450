// The asio-console program itself, started as a user starts it: its help,
// where its messages go, and its exit status.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/ConsoleProcess.h"

TEST(ConsoleProgramTest, HelpGoesToStandardOutput) {
  ConsoleRun run = RunConsoleProgram("\"" + AsioConsolePath() + "\" --help");
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_EQ(0u, run.out.find("usage: asio-console [options] [DRIVER]\n"));
  for (const char* option :
       {"--list", "--driver", "--dll", "--clsid", "--stream", "--buffer", "--inputs", "--outputs",
        "--signal", "--wav", "--time-info", "Exit status"})
    EXPECT_NE(std::string::npos, run.out.find(option)) << option;
  EXPECT_EQ("", run.err);
}

TEST(ConsoleProgramTest, ABadCommandLineExitsWithOneAndSaysWhy) {
  ConsoleRun run = RunConsoleProgram("\"" + AsioConsolePath() + "\" --stream 1 --buffer many");
  EXPECT_EQ(1u, run.exitCode);
  EXPECT_EQ("", run.out);
  EXPECT_EQ(
      "asio-console: bad value for --buffer: \"many\" (expected a number of frames from 1 "
      "to 1048576) (see --help)\n",
      run.err);
}

// With no driver named, the Quorvex Vor OD DLL beside the program is loaded;
// there is no Vor OD on this machine.
TEST(ConsoleProgramTest, TheDefaultDriverWithoutItsDeviceFailsInitWithItsAnswers) {
  ConsoleRun run = RunConsoleProgram("\"" + AsioConsolePath() + "\"");
  EXPECT_EQ(3u, run.exitCode);
  EXPECT_NE(std::string::npos, run.out.find("driver:        Quorvex Vor OD ASIO (version 1)\n"
                                            "init:          FAILED, \""))
      << run.out;
  EXPECT_NE(std::string::npos, run.out.find("buffer sizes:  min 96, max 576, preferred 288"));
  EXPECT_EQ(0u, run.err.find("asio-console: init failed: \"")) << run.err;
}
