// COutputRenderKS: render packets to a kernel-streaming render pin.
//
// Packet streaming: packetCount full packets of silence are queued at
// construction; each one is refilled and written again once the device has
// played it, strictly in order. Looped streaming: the two halves of the pin's
// cyclic buffer are the two packets; the notification event says that the
// device has finished playing a half, which may then be refilled (never the
// half it is playing now). With a buffer of two windows or more the loop may
// instead write ahead of the device at positions of its own timeline (see
// COutputRender), never waiting for the render side; the position comes from
// the pin's register or, without one, KSPROPERTY_AUDIO_POSITION.
#ifndef VOROD_STREAMING_OUTPUTRENDERKS_H
#define VOROD_STREAMING_OUTPUTRENDERKS_H

#include "streaming/KsPacketSet.h"
#include "streaming/OutputRender.h"

class COutputRenderKS : public COutputRender {
 public:
  // Packet streaming: `queued` of the packets (all, by default) are queued
  // full of silence at once; the rest wait free.
  COutputRenderKS(uint32_t packetCount, uint32_t samplesPerPacket, CKsAudPin* pin, uint32_t queued = ~0u);
  // Resets and stops the pin; see CKsPacketSet::Release.
  ~COutputRenderKS() override;

  int32_t Start() override;
  void WritePacket(const int32_t* samples) override;
  void WritePacket(const int32_t* samples, uint32_t count) override;
  void SubmitPacket() override;
  bool WaitForPacket(uint32_t timeoutMs) override;
  bool Interrupted() override { return m_interrupted; }
  uint32_t GetSamplesPerPacket() override;
  bool IsLate() override;
  uint32_t GetQueuedAheadSamples() override;
  HANDLE NotificationEvent() override;
  void SetDrainEvent(HANDLE hEvent, ULONG* pulTally, const ULONG* pulAllowed) override {
    m_drain = {hEvent, pulTally, pulAllowed};
  }
  void SetAbortEvent(HANDLE hEvent) override { m_abort = hEvent; }
  bool QueueSilence(uint32_t samples) override;
  bool StreamSamples(uint64_t* taken, uint64_t* submitted) override;
  bool Starved() override { return !m_packets.Looped() && m_packets.Count() != 0 && !m_packets.AnyPending(); }
  bool CanWriteAhead(uint32_t frames) override;
  bool PlayPosition(uint32_t* sample) override;
  void Anchor(uint64_t frame, uint32_t playSample) override;
  InTime WriteAheadInTime(uint64_t frame, const int32_t* samples, uint32_t frames, uint64_t deviceFrame) override;

 private:
  uint32_t RingSamples() const { return 2 * m_packets.SamplesPerPacket(); }
  uint32_t Channels() const;
  // Writes `count` samples into the cyclic buffer from sample `from` on,
  // round its end; silence where `samples` is null.
  void Fill(uint32_t from, const int32_t* samples, uint32_t count);

  CKsPacketSet m_packets;
  CKsAudPin* m_pin;
  CKsPacketSet::Drain m_drain;
  HANDLE m_abort;
  uint64_t m_submitted;  // packet streaming: samples submitted, silence included
  bool m_interrupted;
  uint32_t m_currentPacket;
  // Looped: the device was already playing the half due again.
  bool m_missedHalf;
  // Writing ahead: the buffer sample where timeline frame 0 would be played.
  uint32_t m_anchorSample;
};

#endif  // VOROD_STREAMING_OUTPUTRENDERKS_H
