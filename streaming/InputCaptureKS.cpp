#include "streaming/InputCaptureKS.h"

#include "ks/KsAudPin.h"

namespace {

// Per packet: how long the destructor waits for a cancelled read.
const DWORD kCancelWaitMs = 100;

}  // namespace

CInputCaptureKS::CInputCaptureKS(uint32_t packetCount, uint32_t samplesPerPacket, CKsAudPin* pin)
    : m_pin(pin), m_drain(nullptr), m_abort(nullptr), m_nextPacket(0), m_currentPacket(0), m_missedHalf(false) {
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
  m_missedHalf = false;
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

bool CInputCaptureKS::WaitForPacket(uint32_t timeoutMs) {
  if (m_packets.Count() == 0) return false;
  if (m_packets.HalfComplete(m_nextPacket)) {
    // Written already: its notification, if still pending, is taken too.
    WaitForSingleObject(m_pin->m_hNotificationEvent, 0);
    m_missedHalf = false;
    m_currentPacket = m_nextPacket;
  } else {
    if (!m_packets.Wait(m_nextPacket, timeoutMs, m_drain, m_abort)) return false;
    m_currentPacket = m_packets.HalfToHandle(m_nextPacket, &m_missedHalf);
  }
  m_nextPacket = m_currentPacket + 1 < m_packets.Count() ? m_currentPacket + 1 : 0;
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
  if (m_packets.Looped() || m_currentPacket >= m_packets.Count()) return;
  m_packets.Queue(m_currentPacket, false);
  m_currentPacket = m_packets.Count();
}

bool CInputCaptureKS::IsLate() {
  return m_packets.IsLate(m_currentPacket) || m_missedHalf;
}

uint32_t CInputCaptureKS::GetMissedSampleCount() {
  return m_missedHalf ? m_packets.SamplesPerPacket() : 0;
}

HANDLE CInputCaptureKS::NotificationEvent() {
  return m_packets.Looped() && m_pin != nullptr ? m_pin->m_hNotificationEvent : nullptr;
}

bool CInputCaptureKS::SplitsFrames() { return m_packets.Looped(); }
