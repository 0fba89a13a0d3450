// Self-registration exports.
#include <windows.h>
#include <olectl.h>

// Placeholder until self-registration lands: writing the COM class key and
// the ASIO driver key is not built yet, so both exports refuse honestly
// rather than report a registration that did not happen.
STDAPI DllRegisterServer() { return SELFREG_E_CLASS; }

STDAPI DllUnregisterServer() { return SELFREG_E_CLASS; }
