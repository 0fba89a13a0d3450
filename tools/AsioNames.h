// Names of ASIO codes and Windows results, as the console prints them.
#ifndef VOROD_TOOLS_ASIONAMES_H
#define VOROD_TOOLS_ASIONAMES_H

#include <windows.h>

#include <string>

#include "driver/AsioTypes.h"

// "ASE_InvalidMode"; "unknown ASIO error -5" for codes outside the published set.
std::string AsioErrorName(ASIOError error);
// "kAsioResetRequest"; "selector 99" for others.
std::string AsioMessageName(long selector);
// "0x80040154 (Class not registered)": the code and the system's text for it.
std::string DescribeHresult(HRESULT hr);
// "error 2 (The system cannot find the file specified)".
std::string DescribeWin32Error(DWORD error);

#endif  // VOROD_TOOLS_ASIONAMES_H
