// COutputRenderKS: render packets to a kernel-streaming render pin.
//
// Packet streaming: packetCount full packets of silence are queued at
// construction; each one is refilled and written again once the device has
// played it, strictly in order. Looped streaming: the two halves of the pin's
// cyclic buffer are the two packets; the notification event says that the
// device has finished playing a half, which may then be refilled.
#ifndef VOROD_STREAMING_OUTPUTRENDERKS_H
#define VOROD_STREAMING_OUTPUTRENDERKS_H

#include "streaming/KsPacketSet.h"
#include "streaming/OutputRender.h"

class COutputRenderKS : public COutputRender {
 public:
  COutputRenderKS(uint32_t packetCount, uint32_t samplesPerPacket, CKsAudPin* pin);
  // Resets and stops the pin; see CKsPacketSet::Release.
  ~COutputRenderKS() override;

  int32_t Start() override;
  void WritePacket(const int32_t* samples) override;
  void SubmitPacket() override;
  bool WaitForPacket(uint32_t timeoutMs) override;
  uint32_t GetSamplesPerPacket() override;
  bool IsLate() override;
  uint32_t GetQueuedAheadSamples() override;

 private:
  CKsPacketSet m_packets;
  CKsAudPin* m_pin;
  uint32_t m_currentPacket;
};

#endif  // VOROD_STREAMING_OUTPUTRENDERKS_H
