#include "tests/support/ConsoleProcess.h"

#include <fstream>
#include <iterator>

#include "tests/support/ChildProcess.h"
#include "tests/support/DriverDll.h"

namespace {

LONG g_runs = 0;

std::string TempFile(const char* kind) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  return std::string(folder) + "vorod-console-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(InterlockedIncrement(&g_runs)) + "." + kind;
}

HANDLE InheritableFile(const std::string& path) {
  SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &security, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::string lines;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines += text[i];
  return lines;
}

}  // namespace

std::string AsioConsolePath() { return TestProgramFolder() + "\\asio-console.exe"; }

ConsoleRun RunConsoleProgram(const std::string& commandLine) {
  ConsoleRun run;
  auto attempt = [&]() {
    const std::string outPath = TempFile("out"), errPath = TempFile("err");
    HANDLE out = InheritableFile(outPath), err = InheritableFile(errPath);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    if (out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE)
      StartChildProcess(commandLine, startup, &process);
    const DWORD exitCode = FinishChildProcess(&process);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
    run.out = ReadText(outPath);
    run.err = ReadText(errPath);
    DeleteFileA(outPath.c_str());
    DeleteFileA(errPath.c_str());
    return exitCode;
  };
  run.exitCode = RetryFailedStart(attempt);
  return run;
}
