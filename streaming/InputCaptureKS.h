// CInputCaptureKS: captured packets from a kernel-streaming capture pin.
//
// The mode is the one the pin was instantiated with (m_bLooped), which is
// what the device streams, not merely the first interface the pin lists.
// Packet streaming: packetCount reads are queued at construction and each
// packet is read again when released; packets complete strictly in order.
// Looped streaming: the two halves of the pin's cyclic buffer are the two
// packets, each handed out when the pin's notification event fires. With a
// position register a half the device is already writing again is skipped
// for the other one (see CKsPacketSet::HalfToHandle), so that a notification
// lost while its event was still signalled costs one half, not the order of
// every half after it.
#ifndef VOROD_STREAMING_INPUTCAPTUREKS_H
#define VOROD_STREAMING_INPUTCAPTUREKS_H

#include "streaming/InputCapture.h"
#include "streaming/KsPacketSet.h"

class CInputCaptureKS : public CInputCapture {
 public:
  CInputCaptureKS(uint32_t packetCount, uint32_t samplesPerPacket, CKsAudPin* pin);
  // Stops the pin and cancels its reads; see CKsPacketSet::Release.
  ~CInputCaptureKS() override;

  int32_t Start() override;
  void Flush(uint32_t timeoutMs) override;
  bool WaitForPacket(uint32_t timeoutMs) override;
  int32_t* GetPacketData() override;
  // Whole samples of DataUsed, never more than the packet holds.
  uint32_t GetPacketSampleCount() override;
  uint32_t GetBufferSampleCount() override;
  void ReleasePacket() override;
  uint32_t GetSamplesPerPacket() override;
  bool IsLate() override;
  uint32_t GetMissedSampleCount() override;
  bool SplitsFrames() override;
  HANDLE NotificationEvent() override;
  void SetDrainEvent(HANDLE hEvent) override { m_drain = hEvent; }
  void SetAbortEvent(HANDLE hEvent) override { m_abort = hEvent; }

 private:
  CKsPacketSet m_packets;
  CKsAudPin* m_pin;
  HANDLE m_drain;
  HANDLE m_abort;
  uint32_t m_nextPacket;
  uint32_t m_currentPacket;  // the packet count when none is handed out
  // Looped: the device had gone on past the half due, which was skipped.
  bool m_missedHalf;
};

#endif  // VOROD_STREAMING_INPUTCAPTUREKS_H
