#include "tools/AsioNames.h"

#include <cstdio>

namespace {

std::string SystemText(DWORD code) {
  char text[512] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, text, sizeof(text), nullptr);
  std::string result(text, length < sizeof(text) ? length : 0);
  while (!result.empty() && (result.back() == '\r' || result.back() == '\n' ||
                             result.back() == ' ' || result.back() == '.'))
    result.pop_back();
  return result;
}

}  // namespace

std::string AsioErrorName(ASIOError error) {
  switch (error) {
    case ASE_OK:
      return "ASE_OK";
    case ASE_SUCCESS:
      return "ASE_SUCCESS";
    case ASE_NotPresent:
      return "ASE_NotPresent";
    case ASE_HWMalfunction:
      return "ASE_HWMalfunction";
    case ASE_InvalidParameter:
      return "ASE_InvalidParameter";
    case ASE_InvalidMode:
      return "ASE_InvalidMode";
    case ASE_SPNotAdvancing:
      return "ASE_SPNotAdvancing";
    case ASE_NoClock:
      return "ASE_NoClock";
    case ASE_NoMemory:
      return "ASE_NoMemory";
    default:
      return "unknown ASIO error " + std::to_string(error);
  }
}

std::string AsioMessageName(long selector) {
  static const char* const kNames[] = {nullptr,
                                       "kAsioSelectorSupported",
                                       "kAsioEngineVersion",
                                       "kAsioResetRequest",
                                       "kAsioBufferSizeChange",
                                       "kAsioResyncRequest",
                                       "kAsioLatenciesChanged",
                                       "kAsioSupportsTimeInfo",
                                       "kAsioSupportsTimeCode",
                                       "kAsioMMCCommand",
                                       "kAsioSupportsInputMonitor",
                                       "kAsioSupportsInputGain",
                                       "kAsioSupportsInputMeter",
                                       "kAsioSupportsOutputGain",
                                       "kAsioSupportsOutputMeter",
                                       "kAsioOverload"};
  if (selector > 0 && selector <= kAsioOverload) return kNames[selector];
  return "selector " + std::to_string(selector);
}

std::string DescribeHresult(HRESULT hr) {
  char code[16];
  snprintf(code, sizeof(code), "0x%08lx", static_cast<unsigned long>(hr));
  std::string text = SystemText(static_cast<DWORD>(hr));
  return text.empty() ? std::string(code) : std::string(code) + " (" + text + ")";
}

std::string DescribeWin32Error(DWORD error) {
  std::string text = SystemText(error);
  std::string result = "error " + std::to_string(error);
  return text.empty() ? result : result + " (" + text + ")";
}
