#include "streaming/OutputRenderKS.h"

#include <cstring>

#include "ks/KsAudPin.h"

namespace {

// Per packet: how long the destructor waits for a cancelled write.
const DWORD kCancelWaitMs = 100;

}  // namespace

COutputRenderKS::COutputRenderKS(uint32_t packetCount, uint32_t samplesPerPacket, CKsAudPin* pin)
    : m_pin(pin), m_currentPacket(0) {
  if (pin == nullptr) return;
  if (pin->m_bLooped) {
    m_packets.SetUpLooped(pin, samplesPerPacket);
    return;
  }
  if (m_packets.SetUpStandard(pin, packetCount, samplesPerPacket, true)) {
    for (uint32_t i = 0; i < m_packets.Count(); ++i) m_packets.Queue(i, true);
  }
}

COutputRenderKS::~COutputRenderKS() {
  if (m_pin == nullptr) return;
  m_pin->Reset();
  m_pin->SetState(KSSTATE_STOP);
  if (m_packets.Looped()) m_pin->FreeBuffersWithNotification();
  m_packets.Release(kCancelWaitMs);
}

int32_t COutputRenderKS::Start() { return m_pin != nullptr ? m_pin->SetState(KSSTATE_RUN) : E_FAIL; }

bool COutputRenderKS::WaitForPacket(uint32_t timeoutMs) {
  return m_packets.Count() != 0 && m_packets.Wait(m_currentPacket, timeoutMs);
}

void COutputRenderKS::WritePacket(const int32_t* samples) {
  if (m_packets.Count() == 0 || samples == nullptr) return;
  memcpy(m_packets.Data(m_currentPacket), samples, m_packets.SamplesPerPacket() * 4);
}

void COutputRenderKS::SubmitPacket() {
  if (m_packets.Count() == 0) return;
  if (!m_packets.Looped()) m_packets.Queue(m_currentPacket, true);
  m_currentPacket = m_currentPacket + 1 < m_packets.Count() ? m_currentPacket + 1 : 0;
}

uint32_t COutputRenderKS::GetSamplesPerPacket() { return m_packets.SamplesPerPacket(); }

bool COutputRenderKS::IsLate() { return m_packets.IsLate(m_currentPacket); }

uint32_t COutputRenderKS::GetQueuedAheadSamples() { return m_packets.QueuedAheadSamples(); }
