#include "driver/DeviceWaveFormat.h"

#include "ks/KsDefinitions.h"

const CaptureChannelMask CaptureChannelMasks[11] = {
    {0x80000000, "SPEAKER_ALL"},
    {0x00000000, "KSAUDIO_SPEAKER_DIRECTOUT"},
    {0x00000004, "KSAUDIO_SPEAKER_MONO"},
    {0x00000003, "KSAUDIO_SPEAKER_STEREO"},
    {0x00000033, "KSAUDIO_SPEAKER_QUAD"},
    {0x00000107, "KSAUDIO_SPEAKER_SURROUND"},
    {0x0000003F, "KSAUDIO_SPEAKER_5POINT1"},
    {0x000000FF, "KSAUDIO_SPEAKER_7POINT1"},
    {0x0000060F, "KSAUDIO_SPEAKER_5POINT1_SURROUND"},
    {0x0000063F, "KSAUDIO_SPEAKER_7POINT1_SURROUND"},
    {0x0000FFFF, "ALL_CHANNEL_BITS"},
};

WAVEFORMATEXTENSIBLE MakeDeviceWaveFormat(WORD nChannels, double sampleRate, DWORD dwChannelMask) {
  WAVEFORMATEXTENSIBLE format = {};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = nChannels;
  format.Format.nSamplesPerSec = static_cast<DWORD>(sampleRate);
  format.Format.wBitsPerSample = 32;
  format.Format.nBlockAlign = static_cast<WORD>(format.Format.wBitsPerSample * nChannels / 8);
  format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * format.Format.nSamplesPerSec;
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = 24;
  format.dwChannelMask = dwChannelMask;
  format.SubFormat = KsGuid::DataFormatSubtypePcm;
  return format;
}

void MakePlainPcmFormat(WAVEFORMATEXTENSIBLE* pFormat) {
  pFormat->Format.wFormatTag = WAVE_FORMAT_PCM;
  pFormat->Format.cbSize = 0;
  pFormat->Samples.wValidBitsPerSample = 0;
  pFormat->dwChannelMask = 0;
  pFormat->SubFormat = GUID();
}
