// Wave formats and connect records for KS tests.
#ifndef VOROD_TESTS_SUPPORT_KSTESTFORMATS_H
#define VOROD_TESTS_SUPPORT_KSTESTFORMATS_H

#include <vector>

#include "ks/KsDefinitions.h"
#include "virtual-device/VirtualDevice.h"

// The device's format: 32-bit containers, 24 valid bits, PCM.
WAVEFORMATEXTENSIBLE KsTestWave(WORD nChannels, DWORD dwChannelMask, DWORD nRate = 48000,
                                WORD wValidBits = 24, WORD wContainerBits = 32);
// The plain WAVE_FORMAT_PCM record of the same numbers.
WAVEFORMATEX KsTestPlainWave(WORD nChannels, DWORD nRate = 48000, WORD wBits = 32);

// A KSPIN_CONNECT followed by a KSDATAFORMAT and the wave format, as the
// audio pins build it.
std::vector<BYTE> KsTestConnect(ULONG nPinId, const WAVEFORMATEX* pwfx, ULONG ulInterfaceId = 0);

// The requests of one kind in a device's log.
std::vector<VdRequest> KsTestRequests(const CVirtualDevice& device, VdCall call);
// The property requests with this set and id.
std::vector<VdRequest> KsTestProperties(const CVirtualDevice& device, REFGUID guidSet, ULONG ulId);

#endif  // VOROD_TESTS_SUPPORT_KSTESTFORMATS_H
