#include "streaming/InputCaptureKS.h"

#include <algorithm>

#include "ks/KsAudPin.h"
#include "streaming/PerformanceCounter.h"

namespace {

// Per packet: how long the destructor waits for a cancelled read.
const DWORD kCancelWaitMs = 100;
// Looped: how often a wait without a signal looks at the position anyway.
const DWORD kLookEveryMs = 100;
// How far a position may read behind its device beyond its own accuracy
// (a register that lags its notification), and the longest spin on top of
// the time the device takes to cover the slack.
const uint64_t kLagAllowanceUs = 500;
const uint64_t kSpinMarginUs = 500;

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
      m_notified(0),
      m_takenElsewhere(0),
      m_allowance(1),
      m_takenAtLook(0),
      m_stamped(false),
      m_firstFrame(0),
      m_timelineFrames(0),
      m_stampedUs(0) {
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
  m_notified = m_takenElsewhere = m_takenAtLook = 0;
  m_allowance = 1;
  m_stamped = false;
  m_timelineFrames = 0;
  if (m_pin == nullptr) return E_FAIL;
  if (m_packets.Looped()) {
    if (m_pin->m_hNotificationEvent != nullptr) ResetEvent(m_pin->m_hNotificationEvent);
    const uint32_t half = m_packets.SamplesPerPacket();
    const uint32_t perSecond = SamplesPerSecond();
    uint32_t slack = m_pin->m_cbPositionAccuracy / 4 +
                     static_cast<uint32_t>(kLagAllowanceUs * perSecond / 1000000);
    if (slack > half / 2) slack = half / 2;
    m_tracker.Start(half, perSecond, slack, DeviceMicroseconds());
  }
  return m_pin->SetState(KSSTATE_RUN);
}

void CInputCaptureKS::Flush(uint32_t timeoutMs) {
  for (uint32_t i = 0; i < m_packets.Count() * 4; ++i) {
    if (WaitForPacket(timeoutMs)) ReleasePacket();
  }
}

bool CInputCaptureKS::Look() {
  ULONG offset = 0;
  if (m_tracker.Half() == 0 || FAILED(m_pin->GetBufferPosition(&offset))) return false;
  const ULONG taken = m_notified + m_takenElsewhere;
  m_tracker.Look(offset / 4, DeviceMicroseconds(), taken != m_takenAtLook);
  // The notifications taken pair with the boundaries crossed, give or take
  // one: after notifications that came together, or halves skipped, the
  // count is set by the boundaries again.
  const ULONG boundaries = static_cast<ULONG>(m_tracker.Written() / m_tracker.Half());
  if (taken + 1 < boundaries) m_notified += boundaries - 1 - taken;
  if (taken > boundaries + 1) m_notified -= std::min<ULONG>(m_notified, taken - boundaries - 1);
  m_takenAtLook = m_notified + m_takenElsewhere;
  return true;
}

void CInputCaptureKS::UpdateAllowance() {
  // A device that waits for its host goes on into half n once notification
  // n is taken: it may be taken once half n - 2 is done with.
  const ULONG allowed = static_cast<ULONG>(m_tracker.Due() / m_tracker.Half()) + 1;
  m_allowance = allowed > m_notified ? allowed - m_notified : 0;
}

bool CInputCaptureKS::SpinForDue() {
  const uint32_t perSecond = SamplesPerSecond();
  const uint64_t started = PerformanceCounterMicroseconds();
  const uint64_t most = kSpinMarginUs + (perSecond != 0 ? uint64_t{m_tracker.Half()} * 1000000 / perSecond : 0);
  while (m_tracker.DueNear() && PerformanceCounterMicroseconds() - started < most) {
    for (int i = 0; i < 64; ++i) YieldProcessor();
    if (!Look()) return false;
  }
  return m_tracker.DueComplete();
}

bool CInputCaptureKS::DeviceAnswers() {
  KSSTATE state = KSSTATE_STOP;
  return SUCCEEDED(m_pin->GetState(&state));
}

bool CInputCaptureKS::WaitForSignal(DWORD timeoutMs) {
  UpdateAllowance();
  // The notification is waited for only while taking it cannot let a
  // device that waits for its host into a half not yet read.
  HANDLE own = m_takenElsewhere < m_allowance ? m_pin->m_hNotificationEvent : nullptr;
  const CKsPacketSet::WaitResult result = CKsPacketSet::WaitSignal(own, timeoutMs, m_drain, m_abort);
  if (result == CKsPacketSet::WaitResult::Failed || result == CKsPacketSet::WaitResult::Interrupted)
    return false;
  if (result == CKsPacketSet::WaitResult::Signalled) ++m_notified;
  return true;
}

bool CInputCaptureKS::WaitForPacket(uint32_t timeoutMs) {
  if (m_packets.Count() == 0) return false;
  if (!m_packets.Looped()) return WaitForRead(timeoutMs);
  m_missed = 0;
  if (m_tracker.Half() == 0 || !Look()) return false;
  uint32_t position = m_tracker.Position();
  uint64_t quietSince = PerformanceCounterMicroseconds();
  for (;;) {
    const uint64_t skipped = m_tracker.SkipOverwritten();
    m_missed = static_cast<uint32_t>(std::min<uint64_t>(m_missed + skipped, 0x7FFFFFFF));
    if (m_tracker.DueComplete() || (m_tracker.DueNear() && SpinForDue())) break;
    // The device is silent once neither its position nor a signal has moved
    // for the whole time-out.
    const uint64_t now = PerformanceCounterMicroseconds();
    if (m_tracker.Position() != position) {
      position = m_tracker.Position();
      quietSince = now;
    }
    const uint64_t quietMs = (now - quietSince) / 1000;
    if (quietMs >= timeoutMs) return false;
    const ULONG notified = m_notified;
    if (!WaitForSignal(static_cast<DWORD>(std::min<uint64_t>(timeoutMs - quietMs, kLookEveryMs)))) return false;
    if (m_notified != notified) {
      quietSince = PerformanceCounterMicroseconds();
    } else if (!DeviceAnswers()) {
      return false;  // a device that is gone says so when asked
    }
    if (!Look()) return false;
  }
  m_currentPacket = static_cast<uint32_t>(m_tracker.Due() / m_tracker.Half() % 2);
  // A notification already signalled is taken if it may be, so that a
  // device that waits for its host goes on.
  UpdateAllowance();
  if (m_takenElsewhere < m_allowance && WaitForSingleObject(m_pin->m_hNotificationEvent, 0) == WAIT_OBJECT_0) {
    ++m_notified;
    UpdateAllowance();
  }
  return true;
}

bool CInputCaptureKS::WaitForRead(uint32_t timeoutMs) {
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
  if (first > expected) {
    const ULONGLONG lost = std::min<ULONGLONG>(first - expected, 0x7FFFFFFF / format->nChannels);
    m_missed = static_cast<uint32_t>(lost * format->nChannels);
    m_timelineFrames += lost;
  }
  m_timelineFrames += GetPacketSampleCount() / format->nChannels;
  m_stampedUs = DeviceMicroseconds();
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
    UpdateAllowance();
  } else {
    m_packets.Queue(m_currentPacket, false);
  }
  m_currentPacket = m_packets.Count();
}

bool CInputCaptureKS::IsLate() {
  if (m_currentPacket >= m_packets.Count()) return false;
  if (!m_packets.Looped()) return m_stamped ? m_missed != 0 : m_packets.IsLate(m_currentPacket);
  // Halves skipped, or the device already writing over the half just read.
  if (!Look()) return true;
  return m_missed != 0 || m_tracker.Overran(m_tracker.Due());
}

bool CInputCaptureKS::GetDeviceSampleCount(uint64_t* samples) {
  if (m_packets.Looped()) {
    if (m_tracker.Half() == 0 || !Look()) return false;
    *samples = m_tracker.Written();
    return true;
  }
  // Packets: the device's clock now against the first frame's time; without
  // a clock of the device's, the time since the last read against its end.
  const WAVEFORMATEX* format = m_pin != nullptr ? m_pin->m_pwfx : nullptr;
  if (!m_stamped || format == nullptr) return false;
  const ULONG rate = format->nSamplesPerSec;
  auto framesIn = [rate](uint64_t us) { return us / 1000000 * rate + us % 1000000 * rate / 1000000; };
  uint64_t now = 0;
  ULONGLONG frames = 0;
  if (m_pin->ReadDeviceClock(&now)) {
    const ULONGLONG frame = framesIn(now);
    frames = frame > m_firstFrame ? frame - m_firstFrame : 0;
  } else {
    now = DeviceMicroseconds();
    frames = m_timelineFrames + (now > m_stampedUs ? framesIn(now - m_stampedUs) : 0);
  }
  *samples = frames * format->nChannels;
  return true;
}

HANDLE CInputCaptureKS::NotificationEvent() {
  return m_packets.Looped() && m_pin != nullptr ? m_pin->m_hNotificationEvent : nullptr;
}

bool CInputCaptureKS::SplitsFrames() { return m_packets.Looped(); }
