// A program that Wine failed to start is started once more, as the tests that
// start programs (the console host, the installer, regsvr32) need under load.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/ConsoleProcess.h"

TEST(ChildProcessTest, AProgramWineFailedToStartIsStartedOnceMore) {
  FailNextChildStarts(1);
  ConsoleRun run = RunConsoleProgram("\"" + AsioConsolePath() + "\" --help");
  EXPECT_EQ(0u, run.exitCode);
  EXPECT_NE(std::string::npos, run.out.find("Exit status")) << run.out;

  // A second failure is reported, not hidden.
  FailNextChildStarts(2);
  EXPECT_EQ(kNoExitCode, RunConsoleProgram("\"" + AsioConsolePath() + "\" --help").exitCode);
  FailNextChildStarts(0);
}
