#include "tests/support/KsTestFormats.h"

#include <string.h>

WAVEFORMATEXTENSIBLE KsTestWave(WORD nChannels, DWORD dwChannelMask, DWORD nRate,
                                WORD wValidBits, WORD wContainerBits) {
  WAVEFORMATEXTENSIBLE wfx = {};
  wfx.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  wfx.Format.nChannels = nChannels;
  wfx.Format.nSamplesPerSec = nRate;
  wfx.Format.wBitsPerSample = wContainerBits;
  wfx.Format.nBlockAlign = static_cast<WORD>(nChannels * wContainerBits / 8);
  wfx.Format.nAvgBytesPerSec = wfx.Format.nBlockAlign * nRate;
  wfx.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  wfx.Samples.wValidBitsPerSample = wValidBits;
  wfx.dwChannelMask = dwChannelMask;
  wfx.SubFormat = KsGuid::DataFormatSubtypePcm;
  return wfx;
}

WAVEFORMATEX KsTestPlainWave(WORD nChannels, DWORD nRate, WORD wBits) {
  WAVEFORMATEX wfx = {};
  wfx.wFormatTag = WAVE_FORMAT_PCM;
  wfx.nChannels = nChannels;
  wfx.nSamplesPerSec = nRate;
  wfx.wBitsPerSample = wBits;
  wfx.nBlockAlign = static_cast<WORD>(nChannels * wBits / 8);
  wfx.nAvgBytesPerSec = wfx.nBlockAlign * nRate;
  return wfx;
}

std::vector<BYTE> KsTestConnect(ULONG nPinId, const WAVEFORMATEX* pwfx, ULONG ulInterfaceId) {
  const ULONG cbWave = pwfx->wFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX)
                                                           : sizeof(WAVEFORMATEX) + pwfx->cbSize;
  std::vector<BYTE> record(sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + cbWave);
  KSPIN_CONNECT* pConnect = reinterpret_cast<KSPIN_CONNECT*>(record.data());
  pConnect->Interface.Set = KsGuid::InterfaceSetStandard;
  pConnect->Interface.Id = ulInterfaceId;
  pConnect->Medium.Set = KsGuid::MediumSetStandard;
  pConnect->Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  pConnect->PinId = nPinId;
  pConnect->Priority.PriorityClass = KSPRIORITY_NORMAL;
  pConnect->Priority.PrioritySubClass = 1;
  KSDATAFORMAT* pFormat = reinterpret_cast<KSDATAFORMAT*>(pConnect + 1);
  pFormat->FormatSize = sizeof(KSDATAFORMAT) + cbWave;
  pFormat->MajorFormat = KsGuid::DataFormatTypeAudio;
  pFormat->SubFormat = KsGuid::DataFormatSubtypePcm;
  pFormat->Specifier = KsGuid::DataFormatSpecifierWaveFormatEx;
  memcpy(pFormat + 1, pwfx, cbWave);
  return record;
}

std::vector<VdRequest> KsTestRequests(const CVirtualDevice& device, VdCall call) {
  std::vector<VdRequest> found;
  for (const VdRequest& request : device.Requests()) {
    if (request.call == call) {
      found.push_back(request);
    }
  }
  return found;
}

std::vector<VdRequest> KsTestProperties(const CVirtualDevice& device, REFGUID guidSet, ULONG ulId) {
  std::vector<VdRequest> found;
  for (const VdRequest& request : device.Requests()) {
    if (request.bProperty && IsEqualGUID(request.guidSet, guidSet) && request.ulId == ulId) {
      found.push_back(request);
    }
  }
  return found;
}
