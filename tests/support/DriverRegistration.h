// Where the driver's registration lives and what it must hold, as a host
// reads it: HKEY_CLASSES_ROOT\CLSID\{id} and SOFTWARE\ASIO of
// HKEY_LOCAL_MACHINE.
#ifndef VOROD_TESTS_SUPPORT_DRIVERREGISTRATION_H
#define VOROD_TESTS_SUPPORT_DRIVERREGISTRATION_H

#include <windows.h>

#include <string>

// The driver's class id in brace form, as StringFromGUID2 writes it.
std::string ClassIdText();

extern const std::string kClassKey;   // CLSID\{id}
extern const std::string kInprocKey;  // CLSID\{id}\InprocServer32
extern const std::string kAsioKey;    // SOFTWARE\ASIO
extern const std::string kDriverKey;  // SOFTWARE\ASIO\<driver key name>

std::string LowerCase(std::string text);

// Checks (with EXPECTs) the class entry and the driver entry that one
// registration from this path writes, and nothing else in them.
void ExpectRegisteredFrom(const std::string& lowerCasePath);

#endif  // VOROD_TESTS_SUPPORT_DRIVERREGISTRATION_H
