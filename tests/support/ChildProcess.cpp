#include "tests/support/ChildProcess.h"

namespace {

volatile LONG g_startsToFail = 0;

// Takes one injected failure, if any is left.
bool TakeInjectedFailure() {
  for (;;) {
    const LONG left = g_startsToFail;
    if (left <= 0) return false;
    if (InterlockedCompareExchange(&g_startsToFail, left - 1, left) == left) return true;
  }
}

}  // namespace

void FailNextChildStarts(int count) { InterlockedExchange(&g_startsToFail, count); }

bool StartChildProcess(const std::string& commandLine, const STARTUPINFOA& startup,
                       PROCESS_INFORMATION* process) {
  *process = PROCESS_INFORMATION();
  if (TakeInjectedFailure()) return false;
  std::string line = commandLine;
  STARTUPINFOA info = startup;
  const BOOL inherit = (startup.dwFlags & STARTF_USESTDHANDLES) != 0;
  if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, inherit, 0, nullptr, nullptr, &info,
                     process))
    return true;
  *process = PROCESS_INFORMATION();
  return false;
}

DWORD FinishChildProcess(PROCESS_INFORMATION* process) {
  if (process->hProcess == nullptr) return kNoExitCode;
  DWORD exitCode = kNoExitCode;
  if (WaitForSingleObject(process->hProcess, 60000) == WAIT_OBJECT_0)
    GetExitCodeProcess(process->hProcess, &exitCode);
  else
    TerminateProcess(process->hProcess, kNoExitCode);
  CloseHandle(process->hThread);
  CloseHandle(process->hProcess);
  *process = PROCESS_INFORMATION();
  return exitCode;
}
