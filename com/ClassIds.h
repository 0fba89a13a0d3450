// The driver's COM class identifier: the one the class factory serves, the
// registration writes and the driver object answers QueryInterface for.
#ifndef VOROD_COM_CLASSIDS_H
#define VOROD_COM_CLASSIDS_H

#include <windows.h>

// {35B2AAA7-CD03-421C-B325-5D7184ACC176}
extern const CLSID CLSID_QuorvexVorOdAsio;

#endif  // VOROD_COM_CLASSIDS_H
