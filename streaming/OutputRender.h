// COutputRender: a sink of render packets for the streaming loop. For one
// packet: WaitForPacket (the current packet is free), WritePacket,
// SubmitPacket. Start comes once before the first wait.
#ifndef VOROD_STREAMING_OUTPUTRENDER_H
#define VOROD_STREAMING_OUTPUTRENDER_H

#include <cstdint>

class COutputRender {
 public:
  virtual ~COutputRender() {}
  virtual int32_t Start() = 0;
  // Copies GetSamplesPerPacket samples into the current packet.
  virtual void WritePacket(const int32_t* samples) = 0;
  virtual void SubmitPacket() = 0;
  virtual bool WaitForPacket(uint32_t timeoutMs) = 0;
  virtual uint32_t GetSamplesPerPacket() = 0;
  // Whether the packet just waited for came too late: the device has run
  // out of audio to play. Asked after WaitForPacket, before submission.
  virtual bool IsLate() { return false; }
  // Samples the device plays between a packet's submission and its first
  // sample being played, when the loop keeps up.
  virtual uint32_t GetQueuedAheadSamples() { return 0; }
};

#endif  // VOROD_STREAMING_OUTPUTRENDER_H
