// Starts Windows programs from the tests and waits for them to end.
//
// Now and then, on a loaded machine, Wine fails to start a program at all
// (scripts/wine-run.sh meets the same at the top level). No program the
// tests start ends with kNoExitCode of its own, so a run that gives it is
// started once more: RetryFailedStart.
#ifndef VOROD_TESTS_SUPPORT_CHILDPROCESS_H
#define VOROD_TESTS_SUPPORT_CHILDPROCESS_H

#include <windows.h>

#include <string>

// The exit code of a program that could not start or did not end.
constexpr DWORD kNoExitCode = 0xFFFFFFFF;

// CreateProcessA of the command line, inheriting handles when startup gives
// standard handles; false when it could not start.
bool StartChildProcess(const std::string& commandLine, const STARTUPINFOA& startup,
                       PROCESS_INFORMATION* process);

// Waits for a started program (one still running after a minute is ended),
// closes its handles and gives its exit code; kNoExitCode when it was not
// started or did not end.
DWORD FinishChildProcess(PROCESS_INFORMATION* process);

// Runs attempt() (start a program, wait for it, give its exit code) and,
// when Wine failed to start the program, once more.
template <typename Attempt>
DWORD RetryFailedStart(Attempt attempt) {
  const DWORD exitCode = attempt();
  return exitCode != kNoExitCode ? exitCode : attempt();
}

// The tests' seam for the retry: the next `count` starts fail as Wine's do.
void FailNextChildStarts(int count);

#endif  // VOROD_TESTS_SUPPORT_CHILDPROCESS_H
