#include "streaming/InputCaptureKS.h"

#include <algorithm>

#include "ks/KsAudPin.h"
#include "streaming/PerformanceCounter.h"

namespace {

// Per packet: how long the destructor waits for a cancelled read.
const DWORD kCancelWaitMs = 100;
// Looped: how often a device that has been quiet is asked whether it is
// still there.
const uint64_t kAskEveryMs = 100;
// How long a position just short of a half's end is spun on after a
// notification (the lag a position may have, and a moment for the device to
// show it), and looked at again after that while it stays short.
const uint64_t kSpinUs = CKsAudPin::kPositionLagUs + 200;
const uint64_t kNearLookMs = 1;
// A position that may be behind its clock is given the slack's time and
// this long to move on.
const uint64_t kSettleMarginUs = 200;
// A position read between two readings of the clock no further apart than
// this is read at the second.
const uint64_t kReadWindowUs = 50;
const int kReadTries = 8;
// Reads handed out since the last loss, before any.
const uint32_t kNoLossYet = 0xFFFF;

}  // namespace

CInputCaptureKS::CInputCaptureKS(uint32_t packetCount, uint32_t samplesPerPacket, CKsAudPin* pin)
    : m_pin(pin),
      m_drain{nullptr, nullptr, nullptr},
      m_abort(nullptr),
      m_clock(nullptr),
      m_clockContext(nullptr),
      m_nextPacket(0),
      m_currentPacket(0),
      m_missed(0),
      m_torn(false),
      m_takenHere(0),
      m_takenElsewhere(0),
      m_takenAtLook(0),
      m_allowance(0),
      m_seenAt(~0ul),
      m_settleUs(0),
      m_stamped(false),
      m_firstFrame(0),
      m_timelineFrames(0),
      m_lostFrames(0),
      m_unreadFrames(0),
      m_readsSinceLoss(kNoLossYet) {
  if (pin == nullptr) return;
  if (pin->m_bLooped) {
    m_packets.SetUpLooped(pin, samplesPerPacket);
    return;
  }
  if (m_packets.SetUpStandard(pin, packetCount, samplesPerPacket, false)) {
    for (uint32_t i = 0; i < m_packets.Count(); ++i) m_packets.Queue(i, false);
  }
}

CInputCaptureKS::~CInputCaptureKS() {
  if (m_pin == nullptr) return;
  // Reads still queued would be filled into freed memory: stopping cancels
  // them (the reset makes sure), and Release waits for their completion.
  m_pin->SetState(KSSTATE_STOP);
  if (m_packets.Looped()) {
    m_pin->FreeBuffersWithNotification();
  } else {
    m_pin->Reset();
  }
  m_packets.Release(kCancelWaitMs);
}

uint32_t CInputCaptureKS::SamplesPerSecond() const {
  const WAVEFORMATEX* format = m_pin != nullptr ? m_pin->m_pwfx : nullptr;
  return format != nullptr ? format->nSamplesPerSec * format->nChannels : 0;
}

uint64_t CInputCaptureKS::DeviceMicroseconds() const {
  uint64_t us = 0;
  if (m_pin != nullptr && m_pin->ReadDeviceClock(&us)) return us;
  return m_clock != nullptr ? m_clock(m_clockContext) : PerformanceCounterMicroseconds();
}

int32_t CInputCaptureKS::Start() {
  m_nextPacket = 0;
  m_missed = 0;
  m_takenHere = m_takenElsewhere = m_takenAtLook = 0;
  m_allowance = 0;
  m_seenAt = ~0ul;
  m_stamped = false;
  m_timelineFrames = m_lostFrames = m_unreadFrames = 0;
  m_readsSinceLoss = kNoLossYet;
  if (m_pin == nullptr) return E_FAIL;
  if (!m_packets.Looped()) return m_pin->SetState(KSSTATE_RUN);
  if (m_pin->m_hNotificationEvent != nullptr) ResetEvent(m_pin->m_hNotificationEvent);
  const HRESULT hr = m_pin->SetState(KSSTATE_RUN);
  // The clock from the moment the pin runs: what a start takes (other pins
  // may be started meanwhile) is no time the device moved in.
  const uint32_t half = m_packets.SamplesPerPacket();
  const uint32_t perSecond = SamplesPerSecond();
  const uint32_t slack = std::min<uint32_t>(m_pin->PositionSlackSamples(), half / 2);
  m_settleUs = (perSecond != 0 ? uint64_t{slack} * 1000000 / perSecond : 0) + kSettleMarginUs;
  m_tracker.Start(half, perSecond, slack, DeviceMicroseconds());
  return hr;
}

void CInputCaptureKS::Flush(uint32_t timeoutMs) {
  for (uint32_t i = 0; i < m_packets.Count() * 4; ++i) {
    if (WaitForPacket(timeoutMs)) ReleasePacket();
  }
}

bool CInputCaptureKS::ReadPosition(ULONG* offset, uint64_t* at) {
  // The position and the clock of one moment: read again while the clock
  // moved on between (a thread held there, or a device stepped meanwhile).
  *at = DeviceMicroseconds();
  for (int i = 0; i < kReadTries; ++i) {
    const uint64_t before = *at;
    if (FAILED(m_pin->GetBufferPosition(offset))) return false;
    *at = DeviceMicroseconds();
    if (*at - before <= kReadWindowUs) break;
  }
  return true;
}

bool CInputCaptureKS::Look() {
  if (m_tracker.Half() == 0) return false;
  ULONG offset = 0;
  uint64_t at = 0;
  if (!ReadPosition(&offset, &at)) return false;
  // A position that would take turns on the clock's word alone is given a
  // step's time (with its lag) of the clock to move on: a device gone round
  // unseen moves on, one behind its clock (its updates held back, or
  // stalling) stays put. A clock that does not move meanwhile tells nothing.
  const ULONG taken = m_takenHere + m_takenElsewhere;
  bool stood = false;
  if (m_tracker.ClockTurns(offset / 4, at, taken - m_takenAtLook)) {
    const ULONG shown = offset;
    const uint64_t from = at;
    const uint64_t started = PerformanceCounterMicroseconds();
    bool moved = false;
    while (!moved && !stood && PerformanceCounterMicroseconds() - started < 2 * m_settleUs) {
      SwitchToThread();
      if (!ReadPosition(&offset, &at)) return false;
      moved = offset != shown;
      stood = !moved && at - from >= m_settleUs;
    }
  }
  m_tracker.Look(offset / 4, at, taken - m_takenAtLook, stood);
  m_takenAtLook = taken;
  return true;
}

ULONG CInputCaptureKS::Taken() const {
  return m_tracker.Taken() + (m_takenHere + m_takenElsewhere - m_takenAtLook);
}

bool CInputCaptureKS::MayTake() const {
  return m_tracker.Half() != 0 && Taken() < m_tracker.Due() / m_tracker.Half();
}

void CInputCaptureKS::UpdateAllowance() {
  const ULONG allowed = m_tracker.Half() != 0 ? static_cast<ULONG>(m_tracker.Due() / m_tracker.Half()) : 0;
  const ULONG taken = Taken();
  m_allowance = m_takenElsewhere + (allowed > taken ? allowed - taken : 0);
}

bool CInputCaptureKS::SpinForDue() {
  const uint64_t started = PerformanceCounterMicroseconds();
  while (m_tracker.DueNear() && PerformanceCounterMicroseconds() - started < kSpinUs) {
    // Another thread of this core (a device's, in software) may run meanwhile.
    SwitchToThread();
    for (int i = 0; i < 64; ++i) YieldProcessor();
    if (!Look()) return false;
  }
  return m_tracker.DueComplete();
}

bool CInputCaptureKS::DeviceAnswers() {
  KSSTATE state = KSSTATE_STOP;
  return SUCCEEDED(m_pin->GetState(&state));
}

bool CInputCaptureKS::WaitForSignal(DWORD timeoutMs, bool* signalled) {
  UpdateAllowance();
  // The notification is taken only while taking it cannot let a device that
  // waits for its host into a half not yet read; until then it still wakes
  // the wait, once, and stays signalled.
  const bool take = MayTake();
  const bool wake = take || m_seenAt != Taken();
  HANDLE own = wake ? m_pin->m_hNotificationEvent : nullptr;
  const CKsPacketSet::WaitResult result = CKsPacketSet::WaitSignal(own, timeoutMs, m_drain, m_abort, take);
  if (result == CKsPacketSet::WaitResult::Failed || result == CKsPacketSet::WaitResult::Interrupted)
    return false;
  *signalled = result == CKsPacketSet::WaitResult::Signalled;
  if (*signalled && take) ++m_takenHere;
  if (*signalled && !take) m_seenAt = Taken();
  return true;
}

bool CInputCaptureKS::WaitForPacket(uint32_t timeoutMs) {
  if (m_packets.Count() == 0) return false;
  if (!m_packets.Looped()) return WaitForRead(timeoutMs);
  m_missed = 0;
  if (m_tracker.Half() == 0 || !Look()) return false;
  uint32_t position = m_tracker.Position();
  uint64_t quietSince = PerformanceCounterMicroseconds();
  uint64_t askAtMs = kAskEveryMs;
  // A wait without a signal looks at the position every half's time: a
  // device that stalls is seen standing still (see CCaptureTracker).
  const uint32_t perSecond = SamplesPerSecond();
  const uint64_t halfMs = perSecond != 0 ? uint64_t{m_tracker.Half()} * 1000 / perSecond : 0;
  const uint64_t sliceMs = halfMs > 0 ? halfMs : 1;
  bool notified = false;
  for (;;) {
    const uint64_t skipped = m_tracker.SkipLost();
    m_missed = static_cast<uint32_t>(std::min<uint64_t>(m_missed + skipped, 0x7FFFFFFF));
    // A position just short of the half's end after a notification may lag
    // the device: it is spun on a moment, then looked at every millisecond,
    // never slept on until the next notification.
    if (m_tracker.DueComplete() || (notified && m_tracker.DueNear() && SpinForDue())) break;
    // The device is silent once neither its position nor a signal has moved
    // for the whole time-out.
    const uint64_t now = PerformanceCounterMicroseconds();
    if (m_tracker.Position() != position) {
      position = m_tracker.Position();
      quietSince = now;
      askAtMs = kAskEveryMs;
    }
    const uint64_t quietMs = (now - quietSince) / 1000;
    if (quietMs >= timeoutMs) return false;
    if (quietMs >= askAtMs) {
      if (!DeviceAnswers()) return false;  // a device that is gone says so when asked
      askAtMs = quietMs + kAskEveryMs;
    }
    const uint64_t slice = m_tracker.DueNear() ? kNearLookMs : sliceMs;
    if (!WaitForSignal(static_cast<DWORD>(std::min<uint64_t>(timeoutMs - quietMs, slice)), &notified)) return false;
    if (notified) {
      quietSince = PerformanceCounterMicroseconds();
      askAtMs = kAskEveryMs;
    }
    if (!Look()) return false;
  }
  m_currentPacket = static_cast<uint32_t>(m_tracker.Due() / m_tracker.Half() % 2);
  TakeSignalled();
  return true;
}

void CInputCaptureKS::TakeSignalled() {
  // A notification already signalled is taken if it may be, so that a
  // device that waits for its host goes on.
  UpdateAllowance();
  if (MayTake() && WaitForSingleObject(m_pin->m_hNotificationEvent, 0) == WAIT_OBJECT_0) {
    ResetEvent(m_pin->m_hNotificationEvent);
    ++m_takenHere;
    UpdateAllowance();
  }
}

bool CInputCaptureKS::WaitForRead(uint32_t timeoutMs) {
  for (;;) {
    if (m_packets.Wait(m_nextPacket, timeoutMs, m_drain, m_abort) != CKsPacketSet::WaitResult::Signalled)
      return false;
    m_currentPacket = m_nextPacket;
    m_nextPacket = m_nextPacket + 1 < m_packets.Count() ? m_nextPacket + 1 : 0;
    m_missed = 0;
    // A read stamped with the device's time tells the frames lost before it.
    const WAVEFORMATEX* format = m_pin->m_pwfx;
    ULONGLONG first = 0;
    if (format == nullptr || format->nChannels == 0 ||
        !m_packets.PresentationFrame(m_currentPacket, format->nSamplesPerSec, &first))
      return true;
    if (!m_stamped) {
      m_stamped = true;
      m_firstFrame = first;
    }
    const ULONGLONG expected = m_firstFrame + m_timelineFrames;
    // Frames lost again within a queue's length of reads, before a read
    // handed out with the reads after it done too: the reader stays a queue
    // behind the device, which runs dry at every pass that takes a little
    // longer. Those reads go back to the device unread; the next one's time
    // tells their frames lost with the rest, one loss instead of many.
    const bool lossAgain = first > expected && m_readsSinceLoss <= m_packets.Count();
    if (lossAgain && m_packets.PendingCount() <= 1) {
      if (!RequeueBehind(format->nChannels)) return false;
      continue;
    }
    m_readsSinceLoss = first > expected ? 0 : std::min(m_readsSinceLoss + 1, kNoLossYet);
    if (first > expected) {
      const ULONGLONG lost = std::min<ULONGLONG>(first - expected, 0x7FFFFFFF / format->nChannels);
      m_missed = static_cast<uint32_t>(lost * format->nChannels);
      m_timelineFrames += lost;
      // Frames of reads queued again unread were captured: the pin's
      // position counts them already.
      m_lostFrames += lost - std::min(lost, m_unreadFrames);
    }
    m_unreadFrames = 0;
    m_timelineFrames += GetPacketSampleCount() / format->nChannels;
    return true;
  }
}

bool CInputCaptureKS::RequeueBehind(uint32_t channels) {
  // Reads complete in the order they were queued: the one handed out, then
  // those done after it, up to the first still pending, which comes next.
  const uint32_t count = m_packets.Count();
  uint32_t packet = m_currentPacket;
  for (uint32_t i = 0; i < count; ++i) {
    if (i != 0 && !m_packets.Done(packet)) break;
    if (i != 0 && m_packets.Wait(packet, 0, m_drain, m_abort) != CKsPacketSet::WaitResult::Signalled) return false;
    const KSSTREAM_HEADER& header = m_packets.Packet(packet).header;
    m_unreadFrames += std::min(header.DataUsed, header.FrameExtent) / 4 / channels;
    m_packets.Queue(packet, false);
    packet = packet + 1 < count ? packet + 1 : 0;
  }
  m_nextPacket = packet;
  m_currentPacket = count;
  return true;
}

int32_t* CInputCaptureKS::GetPacketData() {
  return m_currentPacket < m_packets.Count() ? m_packets.Data(m_currentPacket) : nullptr;
}

uint32_t CInputCaptureKS::GetPacketSampleCount() {
  if (m_currentPacket >= m_packets.Count()) return 0;
  if (m_packets.Looped()) return m_packets.SamplesPerPacket();
  const KSSTREAM_HEADER& header = m_packets.Packet(m_currentPacket).header;
  // The device's word is not trusted beyond the packet.
  const ULONG cbUsed = header.DataUsed < header.FrameExtent ? header.DataUsed : header.FrameExtent;
  return cbUsed / 4;
}

uint32_t CInputCaptureKS::GetBufferSampleCount() { return m_packets.SamplesPerPacket(); }

uint32_t CInputCaptureKS::GetSamplesPerPacket() { return m_packets.SamplesPerPacket(); }

void CInputCaptureKS::ReleasePacket() {
  if (m_currentPacket >= m_packets.Count()) return;
  if (m_packets.Looped()) {
    m_tracker.Hand();
    // The next notification is taken at the next wait, not here: a device
    // that waits for its host waits for the whole pass (the host's callback
    // and the output written ahead), not only for the half read.
    UpdateAllowance();
  } else {
    m_packets.Queue(m_currentPacket, false);
  }
  m_currentPacket = m_packets.Count();
}

bool CInputCaptureKS::IsLate() {
  m_torn = false;
  if (m_currentPacket >= m_packets.Count()) return false;
  if (!m_packets.Looped()) return m_stamped ? m_missed != 0 : m_packets.IsLate(m_currentPacket);
  // Halves skipped, or the device already writing over the half just read.
  m_torn = !Look() || m_tracker.Overran(m_tracker.Due());
  return m_missed != 0 || m_torn;
}

bool CInputCaptureKS::GetDeviceSampleCount(uint64_t* samples) {
  if (m_packets.Looped()) {
    // A position standing a turn's time may hide a turn: no count then.
    if (m_tracker.Half() == 0 || !Look() || m_tracker.TurnUnseen()) return false;
    *samples = m_tracker.Written();
    return true;
  }
  // Packets: what the pin captured so far (its position, which leaves out
  // what it lost) and the frames its reads' times told lost.
  const WAVEFORMATEX* format = m_pin != nullptr ? m_pin->m_pwfx : nullptr;
  KSAUDIO_POSITION position = {};
  if (format == nullptr || format->nBlockAlign == 0 || FAILED(m_pin->GetPosition(&position))) return false;
  *samples = (position.PlayOffset / format->nBlockAlign + m_lostFrames) * format->nChannels;
  return true;
}

HANDLE CInputCaptureKS::NotificationEvent() {
  return m_packets.Looped() && m_pin != nullptr ? m_pin->m_hNotificationEvent : nullptr;
}

bool CInputCaptureKS::SplitsFrames() { return m_packets.Looped(); }
