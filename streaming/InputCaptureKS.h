// CInputCaptureKS: captured packets from a kernel-streaming capture pin.
//
// The mode is the one the pin was instantiated with (m_bLooped), which is
// what the device streams, not merely the first interface the pin lists.
// Packet streaming: packetCount reads are queued at construction and each
// packet is read again when released; packets complete strictly in order.
// Looped streaming: the two halves of the pin's cyclic buffer are the two
// packets, each handed out when the pin's notification event fires. With a
// position register, rather, each half is handed out once the register says
// the device has written it: the notification only wakes the wait. The
// register's advance at every look adds up to what the device has written;
// notifications taken beyond the half boundaries in the advance (and those
// owed from earlier looks) mean the device went round the whole buffer more
// often than the register shows (one more: the device's clock tells a turn
// from a late notification); the clock also tells turns nobody saw
// (notifications that came together, or a register that lagged at an earlier
// look): the device then runs a turn further behind its clock than it did,
// and they are reported lost. So a notification lost while its event was
// still signalled costs nothing, and a half the device began to write over
// before it was handled is skipped and reported missed, not handed out stale
// or out of order.
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
  bool GetDeviceSampleCount(uint64_t* samples) override;
  bool SplitsFrames() override;
  HANDLE NotificationEvent() override;
  ULONG* NotificationTally() override { return &m_takenElsewhere; }
  void SetDrainEvent(HANDLE hEvent, ULONG* pulTally) override {
    m_drain = hEvent;
    m_drainTally = pulTally;
  }
  void SetAbortEvent(HANDLE hEvent) override { m_abort = hEvent; }
  void SetDeviceClock(DeviceClock clock, void* context) override {
    m_clock = clock;
    m_clockContext = context;
  }

 private:
  CKsPacketSet m_packets;
  CKsAudPin* m_pin;
  HANDLE m_drain;
  ULONG* m_drainTally;
  HANDLE m_abort;
  uint32_t m_nextPacket;
  uint32_t m_currentPacket;  // the packet count when none is handed out
  // Looped with a position register: samples the device has written since
  // the start, the start of the half handed out (or due) next, the register
  // at the last look, and samples skipped before the half handed out.
  bool Tracking() const;
  // One look at the register; `taken`: notifications taken since the last
  // look (a boundary crossed whose notification is not taken yet is owed).
  void TrackDevice(ULONG taken);
  ULONGLONG m_written;
  ULONGLONG m_handed;
  ULONG m_lastPosition;
  // Half boundaries the register has crossed whose notification has not
  // been taken yet (at most two).
  ULONG m_owed;
  // Notifications another stream's wait consumed for this one.
  ULONG m_takenElsewhere;
  // Notifications taken since the start, here and by the other stream's
  // waits: the n-th tells a device waiting for its host that half n - 2
  // has been read.
  ULONGLONG m_consumed;
  void ResyncConsumed();
  uint32_t m_skipped;
  DeviceClock m_clock;
  void* m_clockContext;
  uint64_t m_lastLookUs;  // device clock at the last look
  // Samples the device moves in `us` of its clock (the pin has a format).
  uint64_t SamplesIn(uint64_t us) const;
  // How far the device runs behind its clock at `now`, in samples, with
  // `written` at a look at which it moved: turns nobody saw show as a lag
  // that grew by a turn.
  void WatchLag(uint64_t now, uint64_t written);
  uint64_t m_startUs;        // device clock at the start
  bool m_lagKnown;
  int64_t m_leastLag[2];     // the least lag in the last window and this one
  uint32_t m_lagLooks;       // looks in this window
  uint64_t m_aheadSinceUs;   // clock since the lag has been a turn longer; 0: it is not
  bool m_hiddenTurns;        // the clock told turns nobody saw, not yet reported
};

#endif  // VOROD_STREAMING_INPUTCAPTUREKS_H
