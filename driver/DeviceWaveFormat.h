// The wave format the driver asks the device's pins for: 32-bit containers
// carrying 24 valid bits, little-endian signed PCM.
#ifndef VOROD_DRIVER_DEVICEWAVEFORMAT_H
#define VOROD_DRIVER_DEVICEWAVEFORMAT_H

#include <windows.h>
#include <mmreg.h>

// Channel masks tried in turn for a capture pin of more than 2 channels.
struct CaptureChannelMask {
  DWORD dwMask;
  const char* pszLabel;
};
extern const CaptureChannelMask CaptureChannelMasks[11];

// A WAVEFORMATEXTENSIBLE (KSDATAFORMAT_SUBTYPE_PCM) for nChannels at the rate.
WAVEFORMATEXTENSIBLE MakeDeviceWaveFormat(WORD nChannels, double sampleRate, DWORD dwChannelMask);

// Turns the format into the plain WAVE_FORMAT_PCM fallback: the same
// channels, rate, block alignment and 32 bits, without the extension.
void MakePlainPcmFormat(WAVEFORMATEXTENSIBLE* pFormat);

#endif  // VOROD_DRIVER_DEVICEWAVEFORMAT_H
