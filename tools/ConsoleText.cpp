#include "tools/ConsoleText.h"

#include <cstdarg>
#include <vector>

namespace {

std::string Format(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return std::string();
  std::vector<char> text(static_cast<size_t>(length) + 1);
  vsnprintf(text.data(), text.size(), format, args);
  return std::string(text.data(), static_cast<size_t>(length));
}

void Emit(FILE* stream, std::string* kept, const std::string& text) {
  if (stream != nullptr)
    fputs(text.c_str(), stream);
  else
    kept->append(text);
}

}  // namespace

void CConsoleText::Out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(m_out, &m_outText, Format(format, args));
  va_end(args);
}

void CConsoleText::Error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(m_err, &m_errText, "asio-console: " + Format(format, args) + "\n");
  va_end(args);
}

void CConsoleText::Flush() {
  if (m_out != nullptr) fflush(m_out);
  if (m_err != nullptr) fflush(m_err);
}
