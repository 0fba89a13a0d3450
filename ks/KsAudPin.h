// CKsAudPin: a KS pin that understands audio. It builds the connect record
// for a wave format, checks that the pin speaks standard streaming over a
// standard medium, keeps a copy of every audio data range, matches wave
// formats against them, and gives access to the position, latency and the
// looped-streaming buffer (KSPROPSETID_RtAudio) of the instantiated pin.
// CKsAudRenPin and CKsAudCapPin are the same pin marked render or capture.
#ifndef VOROD_KS_KSAUDPIN_H
#define VOROD_KS_KSAUDPIN_H

#include <cstdint>

#include "ks/KsList.h"
#include "ks/KsNode.h"
#include "ks/KsPin.h"

class CKsAudPin : public CKsPin {
 public:
  CKsAudPin(CKsFilter* pFilter, ULONG nId, HRESULT& hr);
  virtual ~CKsAudPin();

  // A new handle: its buffer and registers are asked for afresh.
  HRESULT Instantiate(BOOL bLooped) override;
  // Closes the pin (releasing a registered notification event first) and
  // creates it again; the driver's buffer went with the old handle.
  HRESULT Reinstantiate() override;

  HRESULT Init();
  // A null format is supported by no range.
  BOOL IsFormatSupported(const WAVEFORMATEX* pwfx);
  // Writes the wave format behind the KSDATAFORMAT of the connect record
  // (resizing it as needed) and keeps a copy in m_pwfx.
  HRESULT SetFormat(const WAVEFORMATEX* pwfx);

  HRESULT GetPosition(KSAUDIO_POSITION* pPosition);
  HRESULT SetPosition(KSAUDIO_POSITION* pPosition);
  HRESULT GetHWLatency(KSRTAUDIO_HWLATENCY* pLatency);
  // The delay the device itself adds between the pin's buffer and the
  // converter, in frames of the pin's format: KSPROPERTY_RTAUDIO_HWLATENCY on
  // a looped-streaming pin, KSPROPERTY_AUDIO_LATENCY on a standard one. A pin
  // that does not answer adds nothing (0, with the failure returned).
  HRESULT GetDeviceDelayFrames(ULONG* pulFrames);

  // Has the driver allocate the cyclic buffer (retrying larger sizes) and
  // registers a new notification event (manual reset: a notification is
  // taken by resetting it); once per pin handle the buffer is
  // requested, and with it the position and clock registers mapped (a
  // mapping lasts as long as the handle, and Windows refuses a second one);
  // later calls hand out the same buffer and registers.
  HRESULT AllocateBuffersWithNotification(ULONG cbRequested, PVOID* ppBuffer, PULONG pcbBuffer);
  // Unregisters and closes the notification event; the buffer stays.
  void FreeBuffersWithNotification();
  // Where the device is in the cyclic buffer, in bytes, below m_cbBuffer:
  // from the position register when one is mapped, else through
  // KSPROPERTY_AUDIO_POSITION (a request to the device).
  HRESULT GetBufferPosition(ULONG* pcbOffset);
  // How far (32-bit samples) that position may read behind the device: the
  // register's accuracy, and what the device moves in kPositionLagUs (a
  // register may be updated that long after the device got there).
  static const ULONG kPositionLagUs = 500;
  ULONG PositionSlackSamples() const;
  // The device clock in microseconds from its clock register; false
  // without one.
  bool ReadDeviceClock(uint64_t* pullMicroseconds) const;

  CKsNode* GetNode(ULONG nId);

  CKsList<KSDATARANGE_AUDIO> m_listDataRanges;  // owned copies, in reported order
  CKsList<CKsNode> m_listNodes;                 // owned; nothing adds to it
  PWAVEFORMATEX m_pwfx;                         // owned copy of the last format
  PKSDATAFORMAT m_pksDataFormatWfx;             // offset 72 of m_pksPinCreate
  ULONG m_ulInterfaceId;                        // KSINTERFACE_STANDARD_(LOOPED_)STREAMING
  PVOID m_pBuffer;                              // the driver's cyclic buffer
  ULONG m_cbBuffer;
  HANDLE m_hNotificationEvent;                  // owned; null when none
  // Mapped with the buffer, null without: the position register (its low
  // 32 bits) and its Accuracy in bytes; the clock register and its ticks a
  // second as Numerator / Denominator.
  const volatile ULONG* m_pulPositionRegister;
  ULONG m_cbPositionAccuracy;
  const volatile void* m_pvClockRegister;
  ULONG m_ulClockWidth;
  ULONGLONG m_ullClockNumerator;
  ULONGLONG m_ullClockDenominator;

 private:
  // Maps the registers of a buffer just allocated.
  void MapRegisters();
  void ForgetBuffer();
};

class CKsAudRenPin : public CKsAudPin {
 public:
  CKsAudRenPin(CKsFilter* pFilter, ULONG nId, HRESULT& hr);
  virtual ~CKsAudRenPin();
};

class CKsAudCapPin : public CKsAudPin {
 public:
  CKsAudCapPin(CKsFilter* pFilter, ULONG nId, HRESULT& hr);
  virtual ~CKsAudCapPin();
};

#endif  // VOROD_KS_KSAUDPIN_H
