// CInputCaptureKS: captured packets from a kernel-streaming capture pin.
//
// The mode is the one the pin was instantiated with (m_bLooped), which is
// what the device streams, not merely the first interface the pin lists.
//
// Packet streaming: packetCount reads are queued at construction and each
// packet is read again when released; packets complete strictly in order.
// A device that stamps its reads with its clock's time tells exactly how many
// frames it lost before one (they are missed samples); one that does not
// marks the read discontinuous, or runs dry, and the loss is only counted.
// A stamped read that tells a loss soon after another, while the reads
// queued after it are done as well (the reader stays a queue behind), is
// queued again unread with them: their frames join the loss, and the device
// has the whole queue ahead again.
//
// Looped streaming: the two halves of the pin's cyclic buffer are the two
// packets. Where the device is comes from its position (the register the pin
// mapped, else KSPROPERTY_AUDIO_POSITION) and its clock (the clock register
// the pin mapped, else the machine's performance counter), through a
// CCaptureTracker: a half is handed out once the device has written it,
// halves the device began to write over first are skipped and missed, and
// the notification event only wakes the wait. A position that lags the
// notification by no more than the slack is waited for by spinning, not by
// sleeping until the next notification.
#ifndef VOROD_STREAMING_INPUTCAPTUREKS_H
#define VOROD_STREAMING_INPUTCAPTUREKS_H

#include "streaming/CaptureTracker.h"
#include "streaming/InputCapture.h"
#include "streaming/KsPacketSet.h"

class CInputCaptureKS : public CInputCapture {
 public:
  CInputCaptureKS(uint32_t packetCount, uint32_t samplesPerPacket, CKsAudPin* pin);
  // Stops the pin and cancels its reads; see CKsPacketSet::Release.
  ~CInputCaptureKS() override;

  int32_t Start() override;
  void Flush(uint32_t timeoutMs) override;
  // timeoutMs: how long the device may make no progress at all.
  bool WaitForPacket(uint32_t timeoutMs) override;
  int32_t* GetPacketData() override;
  // Whole samples of DataUsed, never more than the packet holds.
  uint32_t GetPacketSampleCount() override;
  uint32_t GetBufferSampleCount() override;
  void ReleasePacket() override;
  uint32_t GetSamplesPerPacket() override;
  bool IsLate() override;
  bool Torn() override { return m_torn; }
  uint32_t GetMissedSampleCount() override { return m_missed; }
  bool GetDeviceSampleCount(uint64_t* samples) override;
  bool SplitsFrames() override;
  HANDLE NotificationEvent() override;
  ULONG* NotificationTally() override { return &m_takenElsewhere; }
  const ULONG* NotificationAllowance() override { return &m_allowance; }
  void SetDrainEvent(HANDLE hEvent, ULONG* pulTally, const ULONG* pulAllowed) override {
    m_drain = {hEvent, pulTally, pulAllowed};
  }
  void SetAbortEvent(HANDLE hEvent) override { m_abort = hEvent; }
  void SetDeviceClock(DeviceClock clock, void* context) override {
    m_clock = clock;
    m_clockContext = context;
  }

 private:
  bool WaitForRead(uint32_t timeoutMs);
  // Queues the read handed out and the reads done after it again, unread
  // (their frames of `channels` samples are noted); false when one failed.
  bool RequeueBehind(uint32_t channels);
  // Looped: one look at the device; false when it cannot be read (gone).
  bool Look();
  // The position (bytes) and the device's clock of one moment.
  bool ReadPosition(ULONG* offset, uint64_t* at);
  // Spins a moment on the position while it lags the half due by no more
  // than the slack; whether the half came.
  bool SpinForDue();
  // Waits for progress of the device: false when the wait failed; whether
  // the notification came.
  bool WaitForSignal(DWORD timeoutMs, bool* signalled);
  // Notifications taken so far, here and by another stream's wait; whether
  // one more may be taken (a device that waits for its host goes on into
  // half n once notification n is taken: not before half n - 1 is done
  // with, so that it is never nearer a half being read than the other).
  ULONG Taken() const;
  bool MayTake() const;
  void TakeSignalled();
  // Asked when the device has been quiet a while: whether it is still there
  // (a device whose position is a register says nothing otherwise).
  bool DeviceAnswers();
  // The notifications another stream may still consume for this one.
  void UpdateAllowance();
  uint64_t DeviceMicroseconds() const;
  uint32_t SamplesPerSecond() const;

  CKsPacketSet m_packets;
  CKsAudPin* m_pin;
  CKsPacketSet::Drain m_drain;
  HANDLE m_abort;
  DeviceClock m_clock;
  void* m_clockContext;
  uint32_t m_nextPacket;
  uint32_t m_currentPacket;  // the packet count when none is handed out
  uint32_t m_missed;         // samples lost just before the packet handed out
  bool m_torn;               // the device reached the half while it was read

  // Looped: the device's place, the notifications this stream took, those
  // another stream took for it (the tracker has them up to the last look),
  // and the count the other stream may reach.
  CCaptureTracker m_tracker;
  ULONG m_takenHere;
  ULONG m_takenElsewhere;
  ULONG m_takenAtLook;
  ULONG m_allowance;
  ULONG m_seenAt;  // Taken() when a notification not yet to be taken woke a wait
  uint64_t m_settleUs;  // how long a position that may be behind its clock is watched

  // Packets stamped with the device's time: the frame of the first one, the
  // frames on the timeline since (captured and lost), those the device lost,
  // and those of reads queued again unread since the last read handed out.
  bool m_stamped;
  ULONGLONG m_firstFrame;
  ULONGLONG m_timelineFrames;
  ULONGLONG m_lostFrames;
  ULONGLONG m_unreadFrames;
  uint32_t m_readsSinceLoss;  // stamped reads handed out since one told a loss
};

#endif  // VOROD_STREAMING_INPUTCAPTUREKS_H
