// Where the console host's text goes: its standard output and error, or two
// strings (for tests and for callers that want the text itself).
#ifndef VOROD_TOOLS_CONSOLETEXT_H
#define VOROD_TOOLS_CONSOLETEXT_H

#include <cstdio>
#include <string>

#if defined(__MINGW_PRINTF_FORMAT)
#define VOROD_PRINTF_LIKE(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define VOROD_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define VOROD_PRINTF_LIKE(f, a)
#endif

class CConsoleText {
 public:
  // Null streams: the text is kept in OutText() and ErrText().
  CConsoleText(FILE* out = nullptr, FILE* err = nullptr) : m_out(out), m_err(err) {}

  void Out(const char* format, ...) VOROD_PRINTF_LIKE(2, 3);
  // One line on the error stream, prefixed with the program's name.
  void Error(const char* format, ...) VOROD_PRINTF_LIKE(2, 3);
  // Both streams, so that progress shows before a long wait.
  void Flush();

  const std::string& OutText() const { return m_outText; }
  const std::string& ErrText() const { return m_errText; }

 private:
  FILE* m_out;
  FILE* m_err;
  std::string m_outText;
  std::string m_errText;
};

#endif  // VOROD_TOOLS_CONSOLETEXT_H
