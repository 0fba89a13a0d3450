// The library's module handle, recorded when the process attaches. The
// control panel creates its dialog from it and reads the version resource.
#ifndef VOROD_COM_MODULEHANDLE_H
#define VOROD_COM_MODULEHANDLE_H

#include <windows.h>

extern HMODULE g_hModule;

#endif  // VOROD_COM_MODULEHANDLE_H
