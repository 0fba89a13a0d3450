// CKsPacketSet: the packet records of one KS stream and the memory behind
// them, shared by the capture and the render stream. A packet record is a
// KSSTREAM_HEADER immediately followed by the OVERLAPPED of its request.
//
// Packet streaming: each packet has its own auto-reset event and a slice of
// one zero-filled sample buffer, and is queued with a stream read or write.
// Looped streaming: two packets cover the halves of the pin's cyclic buffer
// and share its notification event; nothing is queued.
//
// The device writes a record (and, for reads, the slice) while its request is
// pending. Release waits (bounded) for every request still queued; memory the
// device may still write is never freed: when a request outlives the wait,
// the records, the samples and the events are deliberately left allocated.
#ifndef VOROD_STREAMING_KSPACKETSET_H
#define VOROD_STREAMING_KSPACKETSET_H

#include <windows.h>

#include <cstdint>

#include "ks/KsDefinitions.h"

class CKsAudPin;

struct KsStreamPacket {
  KSSTREAM_HEADER header;
  OVERLAPPED overlapped;
  bool bQueued;  // its request was accepted and has not been waited for
  ULONGLONG ullQueuedAs;  // how many requests were queued before it
};

class CKsPacketSet {
 public:
  CKsPacketSet();
  ~CKsPacketSet();
  CKsPacketSet(const CKsPacketSet&) = delete;
  CKsPacketSet& operator=(const CKsPacketSet&) = delete;

  // Looped streaming on the pin's cyclic buffer of 2 x ulSamplesPerPacket
  // samples as the pin allocates it; false (and no packets) when it refuses.
  bool SetUpLooped(CKsAudPin* pPin, ULONG ulSamplesPerPacket);
  // Packet streaming: ulCount zero-filled packets; a render packet's
  // DataUsed is its whole FrameExtent, a read's 0.
  bool SetUpStandard(CKsAudPin* pPin, ULONG ulCount, ULONG ulSamplesPerPacket, bool bRender);

  ULONG Count() const { return m_ulCount; }
  ULONG SamplesPerPacket() const { return m_ulSamplesPerPacket; }
  bool Looped() const { return m_bLooped; }
  KsStreamPacket& Packet(ULONG ulIndex) { return m_pPackets[ulIndex]; }
  int32_t* Data(ULONG ulIndex) { return static_cast<int32_t*>(m_pPackets[ulIndex].header.Data); }

  // Another stream's notification event to take while waiting, so that a
  // device that waits for its host never waits long: each one taken is
  // counted in *pulDrained. Once *pulDrained has reached *pulAllowed (the
  // stream it belongs to says how many it may lose to others), one that
  // fires is left signalled and ends the wait: that stream has something to
  // hand out first. Null counters: taken freely. Notification events are
  // manual-reset (see CKsAudPin): taking one is resetting it.
  struct Drain {
    HANDLE hEvent;
    ULONG* pulDrained;
    const ULONG* pulAllowed;
  };
  // The wait alone, on an event of the caller's (reset once it came):
  // whether it came, the time ran out, the drain's stream has something
  // first, or the wait failed or was aborted.
  enum class WaitResult { Signalled, TimedOut, Interrupted, Failed };
  // Waits for a packet's event; a packet waited for is no longer queued.
  // Anything but Signalled also when its request completed with an error
  // status (Failed), or when hAbort (the run's stop event), if given, is
  // signalled.
  WaitResult Wait(ULONG ulIndex, DWORD dwTimeoutMs, const Drain& drain, HANDLE hAbort);
  static WaitResult WaitSignal(HANDLE hEvent, DWORD dwTimeoutMs, const Drain& drain, HANDLE hAbort,
                               bool bTake = true);
  // Looped: the half to refill after a notification. The expected one,
  // unless the device is already inside it (the notification came too late,
  // or one was lost while its event was still signalled): then the other
  // half, which it has just left, and *pbSkipped is set. At the very start
  // of a half the device has not touched it yet.
  ULONG HalfToHandle(ULONG ulExpected, bool* pbSkipped) const;
  // Packet streaming, capture: the device frame of the first sample of a
  // completed read, when the device stamped it with its presentation time.
  bool PresentationFrame(ULONG ulIndex, ULONG ulRate, ULONGLONG* pullFrame) const;
  // Packet streaming, render: queues one write of ulSamples zero samples
  // (at most three packets' worth) on a record of its own, to be played
  // after what is queued before it; false while the last one is queued.
  bool QueueSilence(ULONG ulSamples);
  // Issues the packet's read or write; the result shows only in a later wait.
  void Queue(ULONG ulIndex, bool bWrite);
  // Whether the packet now handed out comes too late: packet streaming, no
  // other request is still pending (the device has run dry), or the device
  // marked it discontinuous (it lost frames before it), unless it is the
  // first one queued after a dry run that was reported: the same loss;
  // looped, the device's position lies inside this packet's half (it is
  // already writing or playing it).
  bool IsLate(ULONG ulIndex);
  // Samples the device holds ahead of a packet just queued or written.
  uint32_t QueuedAheadSamples() const;
  // Packet streaming: how many requests of the set (the silence record's
  // too) are still pending with the device; whether a packet's request is
  // done and not yet waited for.
  ULONG PendingCount() const;
  bool AnyPending() const { return PendingCount() != 0; }
  bool Done(ULONG ulIndex) const;
  // Waits up to dwPerPacketMs for each queued request, then frees all, or
  // leaves all allocated when a request is still pending.
  void Release(DWORD dwPerPacketMs);
  // After Release: whether memory had to be left to the device.
  bool Abandoned() const { return m_bAbandoned; }

 private:
  CKsAudPin* m_pPin;
  KsStreamPacket* m_pPackets;  // m_ulCount records, then the silence record
  int32_t* m_pSamples;
  ULONG m_ulCount;
  ULONG m_ulSamplesPerPacket;
  bool m_bLooped;
  bool m_bRender;
  bool m_bAbandoned;
  ULONGLONG m_ullQueued;  // requests queued so far
  // The requests queued up to the last dry run reported, until one queued
  // after it has come back; kNoDryRun otherwise.
  ULONGLONG m_ullDryQueued;
  static const ULONGLONG kNoDryRun = ~0ull;
};

#endif  // VOROD_STREAMING_KSPACKETSET_H
