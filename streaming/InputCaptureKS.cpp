#include "streaming/InputCaptureKS.h"

#include <mmsystem.h>

#include "ks/KsAudPin.h"

namespace {

// Per packet: how long the destructor waits for a cancelled read.
const DWORD kCancelWaitMs = 100;
// Looks over which the device's least lag behind its clock is taken (a
// window short enough that the drift between the two clocks is a fraction of
// a frame in it).
const uint32_t kLagLooks = 32;

}  // namespace

CInputCaptureKS::CInputCaptureKS(uint32_t packetCount, uint32_t samplesPerPacket, CKsAudPin* pin)
    : m_pin(pin),
      m_drain(nullptr),
      m_drainTally(nullptr),
      m_abort(nullptr),
      m_nextPacket(0),
      m_currentPacket(0),
      m_written(0),
      m_handed(0),
      m_lastPosition(0),
      m_owed(0),
      m_takenElsewhere(0),
      m_consumed(0),
      m_skipped(0),
      m_clock(nullptr),
      m_clockContext(nullptr),
      m_lastLookUs(0),
      m_startUs(0),
      m_lagKnown(false),
      m_lagLooks(0),
      m_aheadSinceUs(0),
      m_hiddenTurns(false) {
  m_leastLag[0] = m_leastLag[1] = 0;
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

int32_t CInputCaptureKS::Start() {
  m_nextPacket = 0;
  m_written = m_handed = 0;
  m_lastPosition = 0;
  m_owed = 0;
  m_takenElsewhere = 0;
  m_consumed = 0;
  m_skipped = 0;
  m_lastLookUs = m_clock != nullptr ? m_clock(m_clockContext) : 0;
  m_startUs = m_lastLookUs;
  m_lagKnown = false;
  m_lagLooks = 0;
  m_aheadSinceUs = 0;
  m_hiddenTurns = false;
  if (m_pin == nullptr) return E_FAIL;
  if (m_packets.Looped() && m_pin->m_hNotificationEvent != nullptr)
    ResetEvent(m_pin->m_hNotificationEvent);
  return m_pin->SetState(KSSTATE_RUN);
}

void CInputCaptureKS::Flush(uint32_t timeoutMs) {
  for (uint32_t i = 0; i < m_packets.Count() * 4; ++i) {
    if (WaitForPacket(timeoutMs)) ReleasePacket();
  }
}

bool CInputCaptureKS::Tracking() const {
  return m_packets.Looped() && m_packets.PositionRegister() != nullptr && m_packets.Count() == 2;
}

void CInputCaptureKS::TrackDevice(ULONG taken) {
  taken += m_takenElsewhere;
  m_takenElsewhere = 0;
  m_consumed += taken;
  const ULONG half = m_packets.SamplesPerPacket();
  const ULONG ring = 2 * half;
  const ULONG position = *m_packets.PositionRegister() / 4;
  if (position >= ring) return;  // a register beyond its buffer is not believed
  ULONG advance = (position + ring - m_lastPosition) % ring;
  // The half boundaries in the advance: the next one after the last look,
  // and the one after it for an advance past a whole half.
  const ULONG toBoundary = half - m_lastPosition % half;
  ULONG crossed = advance >= toBoundary ? 1 + (advance - toBoundary) / half : 0;
  // What the device's clock says it moved since the last look.
  const uint64_t now = m_clock != nullptr ? m_clock(m_clockContext) : 0;
  const WAVEFORMATEX* format = m_pin->m_pwfx;
  const bool timed = m_clock != nullptr && format != nullptr && now > m_lastLookUs;
  const uint64_t expected = timed ? SamplesIn(now - m_lastLookUs) : 0;
  // Every notification taken stands for a boundary crossed. Two more of
  // them than boundaries seen (or owed from an earlier look) mean the device
  // went round the whole buffer, two boundaries a turn, since the last look.
  // One more is a turn whose other notification came together with it, or
  // one that came late: the clock tells which (without one, a turn).
  if (taken > m_owed + crossed) {
    const ULONG extra = taken - m_owed - crossed;
    ULONG turns = extra / 2;
    const uint64_t oneMore = static_cast<uint64_t>(advance) + (turns + 1) * ring;
    if (extra % 2 != 0 && (!timed || expected + half > oneMore)) ++turns;
    advance += turns * ring;
    crossed += 2 * turns;
  }
  m_owed = taken < m_owed + crossed ? m_owed + crossed - taken : 0;
  if (m_owed > 2) m_owed = 2;  // notifications that came together
  // How far the device runs behind its clock.
  if (m_clock != nullptr && format != nullptr && now >= m_startUs && (taken != 0 || advance != 0))
    WatchLag(now, m_written + advance);
  m_lastLookUs = now;
  m_written += advance;
  m_lastPosition = position;
}

uint64_t CInputCaptureKS::SamplesIn(uint64_t us) const {
  return us * m_pin->m_pwfx->nSamplesPerSec / 1000000 * m_pin->m_pwfx->nChannels;
}

void CInputCaptureKS::WatchLag(uint64_t now, uint64_t written) {
  const int64_t ring = 2 * static_cast<int64_t>(m_packets.SamplesPerPacket());
  const int64_t lag = static_cast<int64_t>(SamplesIn(now - m_startUs)) - static_cast<int64_t>(written);
  // From the first look at a device that moves: the time it took to start
  // is no lag.
  if (!m_lagKnown) {
    m_leastLag[0] = m_leastLag[1] = lag;
    m_lagKnown = true;
    m_lagLooks = 0;
  }
  // A device that runs three quarters of a turn or more further behind its
  // clock than it did went round its buffer once more than the register
  // shows: notifications that came together hid the turn, or the register
  // lagged at an earlier look. A register that lags now (a device late to
  // move it) catches up within half a buffer; a hidden turn stays, and is
  // reported lost then, not added: a position that lags its clock would
  // otherwise have halves handed out before they were written, from then on.
  const int64_t least = m_leastLag[0] < m_leastLag[1] ? m_leastLag[0] : m_leastLag[1];
  if (lag >= least + ring - ring / 4) {
    if (m_aheadSinceUs == 0) {
      m_aheadSinceUs = now != 0 ? now : 1;
    } else if (SamplesIn(now - m_aheadSinceUs) >= m_packets.SamplesPerPacket()) {
      m_hiddenTurns = true;
      m_leastLag[0] = m_leastLag[1] = lag;
      m_lagLooks = 0;
      m_aheadSinceUs = 0;
    }
    return;
  }
  m_aheadSinceUs = 0;
  if (lag < m_leastLag[1]) m_leastLag[1] = lag;
  if (++m_lagLooks >= kLagLooks) {
    m_leastLag[0] = m_leastLag[1];
    m_leastLag[1] = lag;
    m_lagLooks = 0;
  }
}

void CInputCaptureKS::ResyncConsumed() {
  // After a loss the notifications no longer pair with halves: every
  // boundary the device crossed but the last is taken as consumed, the last
  // one as the notification it may still be waiting on.
  const ULONG half = m_packets.SamplesPerPacket();
  m_consumed = m_written != 0 && half != 0 ? (m_written - 1) / half : 0;
}

bool CInputCaptureKS::WaitForPacket(uint32_t timeoutMs) {
  if (m_packets.Count() == 0) return false;
  if (!Tracking()) {
    if (!m_packets.Wait(m_nextPacket, timeoutMs, m_drain, m_abort, m_drainTally)) return false;
    m_currentPacket = m_nextPacket;
    m_nextPacket = m_nextPacket + 1 < m_packets.Count() ? m_nextPacket + 1 : 0;
    return true;
  }
  const ULONG half = m_packets.SamplesPerPacket();
  const DWORD started = timeGetTime();
  m_skipped = 0;
  // A half the device came round to again before it was handled is lost.
  auto ready = [&]() {
    while (m_written > m_handed + 2 * static_cast<ULONGLONG>(half)) {
      m_handed += half;
      m_skipped += half;
      ResyncConsumed();
    }
    return m_written >= m_handed + half;
  };
  bool woken = false;
  for (;;) {
    TrackDevice(woken ? 1 : 0);
    bool complete = ready();
    // A notification already signalled is taken, so that a device waiting
    // for its host goes on (what it announced is in the register by now),
    // if it can end no later half than the one handed out: taking it tells
    // such a device that the half before is done with, and a later one (a
    // wait of the other stream took this half's) would let it go on into
    // the half about to be read.
    if (m_consumed <= m_handed / half &&
        WaitForSingleObject(m_pin->m_hNotificationEvent, 0) == WAIT_OBJECT_0) {
      TrackDevice(1);
      complete = ready();
    }
    if (complete) break;
    const DWORD waited = timeGetTime() - started;
    if (waited >= timeoutMs) return false;
    const CKsPacketSet::WaitResult result = m_packets.WaitSignal(0, timeoutMs - waited, m_drain, m_abort, m_drainTally);
    if (result == CKsPacketSet::WaitResult::Failed) return false;
    woken = result == CKsPacketSet::WaitResult::Signalled;
  }
  m_currentPacket = static_cast<uint32_t>(m_handed / half % 2);
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
  if (Tracking()) m_handed += m_packets.SamplesPerPacket();
  if (m_packets.Looped() || m_currentPacket >= m_packets.Count()) return;
  m_packets.Queue(m_currentPacket, false);
  m_currentPacket = m_packets.Count();
}

bool CInputCaptureKS::IsLate() {
  if (!Tracking()) return m_packets.IsLate(m_currentPacket);
  // Skipped halves, or the device already writing over this one. The
  // notification is left for the next wait: taking it would let a device
  // that waits for its host go on into the half being read.
  TrackDevice(0);
  const bool late = m_skipped != 0 || m_hiddenTurns ||
                    m_written > m_handed + 2 * static_cast<ULONGLONG>(m_packets.SamplesPerPacket());
  m_hiddenTurns = false;
  // Turns the clock tells from here on are another loss: what it tells of
  // this one is in the count already.
  if (late) {
    ResyncConsumed();
    m_lagKnown = false;
    m_aheadSinceUs = 0;
  }
  return late;
}

uint32_t CInputCaptureKS::GetMissedSampleCount() { return m_skipped; }

bool CInputCaptureKS::GetDeviceSampleCount(uint64_t* samples) {
  if (!Tracking()) return false;
  TrackDevice(0);
  *samples = m_written;
  return true;
}

HANDLE CInputCaptureKS::NotificationEvent() {
  return m_packets.Looped() && m_pin != nullptr ? m_pin->m_hNotificationEvent : nullptr;
}

bool CInputCaptureKS::SplitsFrames() { return m_packets.Looped(); }
