#include "streaming/KsPacketSet.h"

#include <mmsystem.h>

#include <atomic>
#include <cstring>
#include <new>

#include "driver/SampleBuffer.h"
#include "ks/KsAudPin.h"

namespace {

const ULONG_PTR kStatusPending = 0x103;

// Whether a queued request is still with the device. Once it is not, what
// the device wrote into the request is there to read.
bool Pending(const KsStreamPacket& packet) {
  const bool pending = *static_cast<const volatile ULONG_PTR*>(&packet.overlapped.Internal) == kStatusPending;
  std::atomic_thread_fence(std::memory_order_acquire);
  return pending;
}
// The silence record holds this many packets' worth of zero samples.
const ULONG kSilencePackets = 3;

}  // namespace

CKsPacketSet::CKsPacketSet()
    : m_pPin(nullptr),
      m_pPackets(nullptr),
      m_pSamples(nullptr),
      m_ulCount(0),
      m_ulSamplesPerPacket(0),
      m_bLooped(false),
      m_bRender(false),
      m_bAbandoned(false),
      m_ullQueued(0),
      m_ullDryQueued(kNoDryRun) {}

CKsPacketSet::~CKsPacketSet() { Release(0); }

bool CKsPacketSet::SetUpLooped(CKsAudPin* pPin, ULONG ulSamplesPerPacket) {
  m_pPin = pPin;
  m_bLooped = true;
  PVOID pvBuffer = nullptr;
  ULONG cbBuffer = 0;
  if (ulSamplesPerPacket > 0xFFFFFFFFu / 8 ||
      FAILED(pPin->AllocateBuffersWithNotification(ulSamplesPerPacket * 8, &pvBuffer, &cbBuffer)) ||
      pvBuffer == nullptr || cbBuffer / 8 == 0) {
    return false;
  }
  m_pPackets = new (std::nothrow) KsStreamPacket[2]();
  if (m_pPackets == nullptr) return false;
  m_ulCount = 2;
  m_ulSamplesPerPacket = cbBuffer / 8;
  for (ULONG i = 0; i < 2; ++i) {
    KSSTREAM_HEADER& header = m_pPackets[i].header;
    header.FrameExtent = m_ulSamplesPerPacket * 4;
    header.Data = static_cast<BYTE*>(pvBuffer) + i * header.FrameExtent;
    m_pPackets[i].overlapped.hEvent = pPin->m_hNotificationEvent;
  }
  return true;
}

bool CKsPacketSet::SetUpStandard(CKsAudPin* pPin, ULONG ulCount, ULONG ulSamplesPerPacket,
                                 bool bRender) {
  m_pPin = pPin;
  m_bLooped = false;
  m_bRender = bRender;
  if (ulCount == 0 || ulSamplesPerPacket == 0 || ulSamplesPerPacket > 0xFFFFFFFFu / 4) return false;
  // The packets' samples, then the silence record's.
  const size_t cSamples = static_cast<size_t>(ulCount + (bRender ? kSilencePackets : 0)) * ulSamplesPerPacket;
  m_pPackets = new (std::nothrow) KsStreamPacket[ulCount + 1]();
  m_pSamples = AllocateSamples<int32_t>(cSamples);
  if (m_pPackets == nullptr || m_pSamples == nullptr) {
    delete[] m_pPackets;
    FreeSampleBuffer(m_pSamples);
    m_pPackets = nullptr;
    m_pSamples = nullptr;
    return false;
  }
  memset(m_pSamples, 0, cSamples * 4);
  m_ulCount = ulCount;
  m_ulSamplesPerPacket = ulSamplesPerPacket;
  for (ULONG i = 0; i <= ulCount; ++i) {
    KSSTREAM_HEADER& header = m_pPackets[i].header;
    header.Size = sizeof(KSSTREAM_HEADER);
    header.PresentationTime.Numerator = 1;
    header.PresentationTime.Denominator = 1;
    header.FrameExtent = ulSamplesPerPacket * 4;
    header.DataUsed = bRender ? header.FrameExtent : 0;
    header.Data = i < ulCount || bRender ? m_pSamples + static_cast<size_t>(i) * ulSamplesPerPacket
                                         : nullptr;
    m_pPackets[i].overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  }
  // The silence record: zeros, as long as the caller asks, up to its end.
  if (bRender) m_pPackets[ulCount].header.FrameExtent = kSilencePackets * ulSamplesPerPacket * 4;
  return true;
}

void CKsPacketSet::Queue(ULONG ulIndex, bool bWrite) {
  KsStreamPacket& packet = m_pPackets[ulIndex];
  // The request resets its event as it starts, as every overlapped request
  // does.
  if (!bWrite) {
    packet.header.DataUsed = 0;
    packet.header.OptionsFlags = 0;
    packet.ullQueuedAs = m_ullQueued++;
  }
  CKsPin* pPin = m_pPin;
  if (pPin == nullptr) return;
  const HRESULT hr = bWrite ? pPin->WriteData(&packet.header, &packet.overlapped)
                            : pPin->ReadData(&packet.header, &packet.overlapped);
  packet.bQueued = SUCCEEDED(hr);
}

bool CKsPacketSet::QueueSilence(ULONG ulSamples) {
  if (m_bLooped || !m_bRender || m_pPackets == nullptr || m_pPin == nullptr) return false;
  KsStreamPacket& packet = m_pPackets[m_ulCount];
  // One silence at a time: the record is free again once its write is done.
  if (packet.bQueued && Pending(packet))
    return false;
  const ULONG cbSilence = ulSamples * 4;
  if (cbSilence == 0 || cbSilence > packet.header.FrameExtent) return false;
  packet.header.DataUsed = cbSilence;
  packet.bQueued = SUCCEEDED(m_pPin->WriteData(&packet.header, &packet.overlapped));
  return packet.bQueued;
}

CKsPacketSet::WaitResult CKsPacketSet::WaitSignal(HANDLE hEvent, DWORD dwTimeoutMs,
                                                  const Drain& drain, HANDLE hAbort, bool bTake) {
  const DWORD dwStart = timeGetTime();
  for (;;) {
    HANDLE events[3];
    DWORD dwCount = 0;
    const DWORD dwEventIndex = hEvent != nullptr ? dwCount : MAXIMUM_WAIT_OBJECTS;
    if (hEvent != nullptr) events[dwCount++] = hEvent;
    const DWORD dwAbortIndex = hAbort != nullptr ? dwCount : MAXIMUM_WAIT_OBJECTS;
    if (hAbort != nullptr) events[dwCount++] = hAbort;
    const DWORD dwDrainIndex = dwCount;
    if (drain.hEvent != nullptr) events[dwCount++] = drain.hEvent;
    const DWORD dwWaited = timeGetTime() - dwStart;
    const DWORD dwLeft = dwWaited < dwTimeoutMs ? dwTimeoutMs - dwWaited : 0;
    const DWORD dwResult =
        dwCount != 0 ? WaitForMultipleObjects(dwCount, events, FALSE, dwLeft) : (Sleep(dwLeft), WAIT_TIMEOUT);
    if (dwResult == WAIT_TIMEOUT) return WaitResult::TimedOut;
    if (dwResult == WAIT_OBJECT_0 + dwEventIndex) {
      if (bTake) ResetEvent(hEvent);
      return WaitResult::Signalled;
    }
    // The stop or a failed wait; the drain goes round again.
    if (dwResult == WAIT_OBJECT_0 + dwAbortIndex || dwResult != WAIT_OBJECT_0 + dwDrainIndex)
      return WaitResult::Failed;
    if (drain.pulDrained != nullptr && drain.pulAllowed != nullptr && *drain.pulDrained >= *drain.pulAllowed)
      return WaitResult::Interrupted;
    ResetEvent(drain.hEvent);
    if (drain.pulDrained != nullptr) ++*drain.pulDrained;
  }
}

CKsPacketSet::WaitResult CKsPacketSet::Wait(ULONG ulIndex, DWORD dwTimeoutMs, const Drain& drain,
                                            HANDLE hAbort) {
  KsStreamPacket& packet = m_pPackets[ulIndex];
  // A request already done is not waited for: no call into the system.
  const bool done = !m_bLooped && packet.bQueued && !Pending(packet);
  const WaitResult result = done ? WaitResult::Signalled : WaitSignal(packet.overlapped.hEvent, dwTimeoutMs, drain, hAbort);
  if (result != WaitResult::Signalled) return result;
  packet.bQueued = false;
  // A request that failed (a device gone, a request cancelled under the run)
  // carries no audio: it ends the wait like a time-out.
  if (!m_bLooped && (static_cast<ULONG>(packet.overlapped.Internal) >> 30) == 3) return WaitResult::Failed;
  return WaitResult::Signalled;
}

ULONG CKsPacketSet::HalfToHandle(ULONG ulExpected, bool* pbSkipped) const {
  *pbSkipped = false;
  ULONG cbPosition = 0;
  if (!m_bLooped || m_ulCount != 2 || ulExpected > 1 || FAILED(m_pPin->GetBufferPosition(&cbPosition)))
    return ulExpected;
  const ULONG cbHalf = m_pPackets[0].header.FrameExtent;
  const ULONG ulStart = ulExpected * cbHalf;
  if (cbPosition > ulStart && cbPosition < ulStart + cbHalf) {
    *pbSkipped = true;
    return 1 - ulExpected;
  }
  return ulExpected;
}

bool CKsPacketSet::PresentationFrame(ULONG ulIndex, ULONG ulRate, ULONGLONG* pullFrame) const {
  if (m_bLooped || ulIndex >= m_ulCount) return false;
  const KSSTREAM_HEADER& header = m_pPackets[ulIndex].header;
  const KSTIME& time = header.PresentationTime;
  if ((header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) == 0 || time.Time < 0 ||
      time.Numerator == 0 || time.Denominator == 0)
    return false;
  // 100-ns units once scaled, rounded to the nearest frame.
  const double dUnits = static_cast<double>(time.Time) * time.Numerator / time.Denominator;
  *pullFrame = static_cast<ULONGLONG>(dUnits * ulRate / 1e7 + 0.5);
  return true;
}

bool CKsPacketSet::IsLate(ULONG ulIndex) {
  if (ulIndex >= m_ulCount) return false;
  if (m_bLooped) {
    ULONG cbPosition = 0;
    if (FAILED(m_pPin->GetBufferPosition(&cbPosition))) return false;
    const ULONG cbPacket = m_pPackets[ulIndex].header.FrameExtent;
    const ULONG ulStart = ulIndex * cbPacket;
    // Exactly at the start the device has not touched the half yet.
    return cbPosition > ulStart && cbPosition < ulStart + cbPacket;
  }
  // The device lost frames before this packet's. After a dry run, the first
  // request queued after it holds the frames that followed the gap: its mark
  // is the loss already reported.
  const KsStreamPacket& handed = m_pPackets[ulIndex];
  bool late = (handed.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
  if (handed.ullQueuedAs >= m_ullDryQueued) {
    m_ullDryQueued = kNoDryRun;
    late = false;
  }
  if (m_ulCount < 2) return late;
  // The silence record counts too: it is audio the device still holds.
  for (ULONG i = 0; i <= m_ulCount; ++i) {
    const KsStreamPacket& packet = m_pPackets[i];
    if (i != ulIndex && packet.bQueued && Pending(packet))
      return late;
  }
  m_ullDryQueued = m_ullQueued;
  return true;
}

ULONG CKsPacketSet::PendingCount() const {
  if (m_bLooped || m_pPackets == nullptr) return 0;
  ULONG ulPending = 0;
  for (ULONG i = 0; i <= m_ulCount; ++i) {
    const KsStreamPacket& packet = m_pPackets[i];
    if (packet.bQueued && Pending(packet)) ++ulPending;
  }
  return ulPending;
}

bool CKsPacketSet::Done(ULONG ulIndex) const {
  return !m_bLooped && ulIndex < m_ulCount && m_pPackets[ulIndex].bQueued && !Pending(m_pPackets[ulIndex]);
}

uint32_t CKsPacketSet::QueuedAheadSamples() const {
  if (m_ulCount == 0) return 0;
  return m_bLooped ? m_ulSamplesPerPacket : (m_ulCount - 1) * m_ulSamplesPerPacket;
}

void CKsPacketSet::Release(DWORD dwPerPacketMs) {
  if (m_pPackets == nullptr) return;
  bool bPending = false;
  const ULONG ulRecords = m_bLooped ? 0 : m_ulCount + 1;
  for (ULONG i = 0; i < ulRecords; ++i) {
    if (m_pPackets[i].bQueued) {
      if (WaitForSingleObject(m_pPackets[i].overlapped.hEvent, dwPerPacketMs) == WAIT_OBJECT_0)
        m_pPackets[i].bQueued = false;
      else
        bPending = true;
    }
  }
  if (bPending) {
    // The device may still complete these requests: its writes must land in
    // memory that stays ours, and its events must stay valid handles.
    m_bAbandoned = true;
  } else {
    for (ULONG i = 0; i < ulRecords; ++i) CloseHandle(m_pPackets[i].overlapped.hEvent);
    delete[] m_pPackets;
    FreeSampleBuffer(m_pSamples);
  }
  m_pPackets = nullptr;
  m_pSamples = nullptr;
  m_ulCount = 0;
}
