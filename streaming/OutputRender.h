// COutputRender: a sink of render packets for the streaming loop. For one
// packet: WaitForPacket (the current packet is free), WritePacket,
// SubmitPacket. Start comes once before the first wait.
#ifndef VOROD_STREAMING_OUTPUTRENDER_H
#define VOROD_STREAMING_OUTPUTRENDER_H

#include <windows.h>

#include <cstdint>

class COutputRender {
 public:
  virtual ~COutputRender() {}
  virtual int32_t Start() = 0;
  // Copies GetSamplesPerPacket samples into the current packet; or as many
  // as given (no more than a packet), which are what it plays.
  virtual void WritePacket(const int32_t* samples) = 0;
  virtual void WritePacket(const int32_t* samples, uint32_t count) { (void)count; WritePacket(samples); }
  virtual void SubmitPacket() = 0;
  virtual bool WaitForPacket(uint32_t timeoutMs) = 0;
  // After a wait that returned false: the stream whose notifications it
  // drains has something to hand out first (see CKsPacketSet::Drain); the
  // wait may be made again once it has.
  virtual bool Interrupted() { return false; }
  virtual uint32_t GetSamplesPerPacket() = 0;
  // Whether the packet just waited for came too late: the device has run
  // out of audio to play. Asked after WaitForPacket, before submission.
  virtual bool IsLate() { return false; }
  // Samples the device plays between a packet's submission and its first
  // sample being played, when the loop keeps up.
  virtual uint32_t GetQueuedAheadSamples() { return 0; }
  // As CInputCapture's.
  virtual HANDLE NotificationEvent() { return nullptr; }
  virtual void SetDrainEvent(HANDLE /*hEvent*/, ULONG* /*pulTally*/, const ULONG* /*pulAllowed*/) {}
  // An event that ends any wait at once, with a failure: the run's stop.
  virtual void SetAbortEvent(HANDLE /*hEvent*/) {}
  // Packet streaming: plays this many samples of silence after what is
  // queued now, before the next packet submitted.
  virtual bool QueueSilence(uint32_t /*samples*/) { return false; }
  // Packet streaming: whether the device has nothing queued to play.
  virtual bool Starved() { return false; }
  // Packet streaming: the samples the device has taken from the stream (its
  // position) and those submitted to it, silence included.
  virtual bool StreamSamples(uint64_t* /*taken*/, uint64_t* /*submitted*/) { return false; }

  // Writing ahead, in place of packets (a cyclic buffer whose position can
  // be read): frames are written where the device will play them, on a
  // timeline of the caller's. Anchor ties it to the buffer: timeline frame
  // `frame` is played from sample `playSample` (read with PlayPosition).
  virtual bool CanWriteAhead(uint32_t /*frames*/) { return false; }
  // The sample the device plays next, in the cyclic buffer.
  virtual bool PlayPosition(uint32_t* /*sample*/) { return false; }
  virtual void Anchor(uint64_t /*frame*/, uint32_t /*playSample*/) {}
  // Writes `frames` interleaved frames from timeline frame `frame` on, where
  // the device, at `deviceFrame` of the timeline as its position says, has
  // yet to play them (Written). Past their first frame, it leaves them out
  // (Late); well short of where the timeline has it, the anchor no longer
  // holds (Elsewhere). Either way the cells played since they were last
  // written are silenced, so output never written plays as silence, never
  // as what the cells held a turn before.
  enum class InTime { Written, Late, Elsewhere };
  virtual InTime WriteAheadInTime(uint64_t /*frame*/, const int32_t* /*samples*/, uint32_t /*frames*/,
                                  uint64_t /*deviceFrame*/) {
    return InTime::Written;
  }
};

#endif  // VOROD_STREAMING_OUTPUTRENDER_H
