// CInputCapture: a source of captured packets for the streaming loop. For
// one packet: WaitForPacket, then GetPacketData and GetPacketSampleCount,
// then ReleasePacket. Start comes once before the first wait.
#ifndef VOROD_STREAMING_INPUTCAPTURE_H
#define VOROD_STREAMING_INPUTCAPTURE_H

#include <windows.h>

#include <cstdint>

class CInputCapture {
 public:
  virtual ~CInputCapture() {}
  virtual int32_t Start() = 0;
  virtual void Flush(uint32_t /*timeoutMs*/) {}
  virtual bool WaitForPacket(uint32_t timeoutMs) = 0;
  virtual int32_t* GetPacketData() = 0;
  virtual uint32_t GetPacketSampleCount() = 0;
  virtual uint32_t GetBufferSampleCount() = 0;
  virtual void ReleasePacket() = 0;
  virtual uint32_t GetSamplesPerPacket() { return 0; }
  // Whether the packet just handed out came too late for the device, which
  // then lost captured frames. Asked after WaitForPacket and the copy,
  // before release.
  virtual bool IsLate() { return false; }
  // After IsLate: the packet just read was written over while it was read.
  virtual bool Torn() { return false; }
  // Samples the device captured just before this packet that were never
  // handed out (lost): the packet follows them on the device's timeline.
  // Asked like IsLate.
  virtual uint32_t GetMissedSampleCount() { return 0; }
  // Samples the device has captured since Start, lost ones included, as far
  // as this stream can tell now; false when it cannot.
  virtual bool GetDeviceSampleCount(uint64_t* /*samples*/) { return false; }
  // Whether a frame cut off at the end of a packet goes on at the start of
  // the next one (a cyclic buffer), rather than being torn off.
  virtual bool SplitsFrames() { return false; }
  // The event the device signals for this stream's progress, if any.
  virtual HANDLE NotificationEvent() { return nullptr; }
  // Where another stream's wait counts the notifications it consumed for
  // this one, and how many it may consume (a device that waits for its host
  // must not be let on into a half not yet read); null: no limit.
  virtual ULONG* NotificationTally() { return nullptr; }
  virtual const ULONG* NotificationAllowance() { return nullptr; }
  // An event of another stream to consume while waiting here, with its
  // tally and allowance (see CKsPacketSet::Drain).
  virtual void SetDrainEvent(HANDLE /*hEvent*/, ULONG* /*pulTally*/, const ULONG* /*pulAllowed*/) {}
  // An event that ends any wait at once, with a failure: the run's stop.
  virtual void SetAbortEvent(HANDLE /*hEvent*/) {}
  // The machine's performance counter in microseconds: the device's time
  // where the device has no clock of its own to read.
  typedef uint64_t (*DeviceClock)(void* context);
  virtual void SetDeviceClock(DeviceClock /*clock*/, void* /*context*/) {}
};

#endif  // VOROD_STREAMING_INPUTCAPTURE_H
