// Resource identifiers of the driver library.
#ifndef VOROD_RESOURCES_RESOURCE_H
#define VOROD_RESOURCES_RESOURCE_H

#define IDD_CONTROL_PANEL 101
#define IDB_WORDMARK 102
#define IDB_BANNER 104

#define IDC_ABOUT_TEXT 1004
#define IDC_MODELESS_PANEL 1013
#define IDC_AUTO_OPEN_PANEL 1015
#define IDC_VERSION_LINE 1016
#define IDC_BUFFER_SIZE 1018
#define IDC_BUFFER_SIZE_LABEL 1021
#define IDC_LOW_LATENCY 1022
#define IDC_ROUND_TRIP 1023

// The product version, defined here only: the version resource carries it,
// CMake reads it from this file, and the installer takes it from the built
// DLL's version resource. Keep the two forms equal.
#define VOROD_VERSION_BINARY 1, 0, 0, 0
#define VOROD_VERSION_TEXT "1.0.0.0"

#endif  // VOROD_RESOURCES_RESOURCE_H
