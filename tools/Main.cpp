// asio-console's entry point; the program itself is CAsioConsole.
#include <windows.h>

#include <cstdio>

#include "tools/AsioConsole.h"
#include "tools/StreamSession.h"

namespace {

// The first Ctrl+C ends a run cleanly (stop, disposeBuffers, report); a
// second one ends the program at once.
BOOL WINAPI OnConsoleControl(DWORD event) {
  static LONG s_presses = 0;
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (InterlockedIncrement(&s_presses) > 1) return FALSE;
  CStreamSession::Interrupt();
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  CConsoleText text(stdout, stderr);
  CAsioConsole console(text);
  const int status = console.Run(argc, argv);
  text.Flush();
  return status;
}
