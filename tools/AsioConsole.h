// asio-console: a console ASIO host for trying and diagnosing any driver on
// the machine. Lists the installed drivers, opens one as hosts do, prints
// its answers, streams through it and reports the run (see --help).
#ifndef VOROD_TOOLS_ASIOCONSOLE_H
#define VOROD_TOOLS_ASIOCONSOLE_H

#include <string>

#include "driver/AsioTypes.h"
#include "tools/ConsoleOptions.h"
#include "tools/StreamSession.h"
#include "tools/ConsoleText.h"

class CDriverConnection;
class CDriverReport;

class CAsioConsole {
 public:
  explicit CAsioConsole(CConsoleText& text) : m_text(text) {}

  // The whole program: parses the command line, does the work, and returns
  // the exit status. Initialises COM on the calling thread, in the apartment
  // the options ask for.
  int Run(int argc, const char* const* argv);
  int Run(const ConsoleOptions& options);

 private:
  int List();
  int Open(const ConsoleOptions& options, CDriverConnection* connection);
  int Stream(IASIO* driver, const CDriverReport& report, const ConsoleOptions& options);
  // Prints which inputs kept the virtual device's pattern; a break fails the run.
  void CheckPattern(const StreamPlan& plan, const CStreamSession& session, StreamResult* result);
  int Fail(int exitCode, const std::string& message);

  CConsoleText& m_text;
};

#endif  // VOROD_TOOLS_ASIOCONSOLE_H
