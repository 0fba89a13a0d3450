// Runs a console program of the build as a user would from a prompt, with
// its standard output and error caught in files, and gives back both texts
// (line ends as "\n") and the exit status.
#ifndef VOROD_TESTS_SUPPORT_CONSOLEPROCESS_H
#define VOROD_TESTS_SUPPORT_CONSOLEPROCESS_H

#include <windows.h>

#include <string>

struct ConsoleRun {
  DWORD exitCode = 0xFFFFFFFF;  // also when the program could not start or hung
  std::string out;
  std::string err;
};

// The program runs with this process's environment; one that has not ended
// after a minute is terminated.
ConsoleRun RunConsoleProgram(const std::string& commandLine);

// The console host beside the test programs.
std::string AsioConsolePath();

#endif  // VOROD_TESTS_SUPPORT_CONSOLEPROCESS_H
