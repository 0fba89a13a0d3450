#include "streaming/OutputRenderKS.h"

#include <algorithm>

#include <cstring>

#include "ks/KsAudPin.h"

namespace {

// Per packet: how long the destructor waits for a cancelled write.
const DWORD kCancelWaitMs = 100;

}  // namespace

COutputRenderKS::COutputRenderKS(uint32_t packetCount, uint32_t samplesPerPacket, CKsAudPin* pin,
                                 uint32_t queued)
    : m_pin(pin),
      m_drain{nullptr, nullptr, nullptr},
      m_abort(nullptr),
      m_submitted(0),
      m_interrupted(false),
      m_currentPacket(0),
      m_missedHalf(false),
      m_anchorSample(0) {
  if (pin == nullptr) return;
  if (pin->m_bLooped) {
    // The device plays whatever the buffer holds from the start: silence.
    if (m_packets.SetUpLooped(pin, samplesPerPacket))
      memset(m_packets.Data(0), 0, static_cast<size_t>(RingSamples()) * 4);
    return;
  }
  if (m_packets.SetUpStandard(pin, packetCount, samplesPerPacket, true)) {
    if (queued > m_packets.Count()) queued = m_packets.Count();
    for (uint32_t i = 0; i < queued; ++i) m_packets.Queue(i, true);
    m_submitted = static_cast<uint64_t>(queued) * m_packets.SamplesPerPacket();
    m_currentPacket = queued % m_packets.Count();
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
  m_interrupted = false;
  if (m_packets.Count() == 0) return false;
  // A packet never queued yet is free.
  if (!m_packets.Looped() && !m_packets.Packet(m_currentPacket).bQueued) return true;
  const CKsPacketSet::WaitResult result = m_packets.Wait(m_currentPacket, timeoutMs, m_drain, m_abort);
  m_interrupted = result == CKsPacketSet::WaitResult::Interrupted;
  if (result != CKsPacketSet::WaitResult::Signalled) return false;
  // Already playing the half due: the other one is the one it left.
  m_currentPacket = m_packets.HalfToHandle(m_currentPacket, &m_missedHalf);
  return true;
}

void COutputRenderKS::WritePacket(const int32_t* samples) { WritePacket(samples, m_packets.SamplesPerPacket()); }

void COutputRenderKS::WritePacket(const int32_t* samples, uint32_t count) {
  if (m_packets.Count() == 0 || samples == nullptr) return;
  if (count > m_packets.SamplesPerPacket()) count = m_packets.SamplesPerPacket();
  memcpy(m_packets.Data(m_currentPacket), samples, static_cast<size_t>(count) * 4);
  if (!m_packets.Looped()) m_packets.Packet(m_currentPacket).header.DataUsed = count * 4;
}

void COutputRenderKS::SubmitPacket() {
  if (m_packets.Count() == 0) return;
  if (!m_packets.Looped()) {
    m_packets.Queue(m_currentPacket, true);
    m_submitted += m_packets.Packet(m_currentPacket).header.DataUsed / 4;
  }
  m_currentPacket = m_currentPacket + 1 < m_packets.Count() ? m_currentPacket + 1 : 0;
}

uint32_t COutputRenderKS::GetSamplesPerPacket() { return m_packets.SamplesPerPacket(); }

bool COutputRenderKS::IsLate() {
  return m_packets.IsLate(m_currentPacket) || m_missedHalf;
}

HANDLE COutputRenderKS::NotificationEvent() {
  return m_packets.Looped() && m_pin != nullptr ? m_pin->m_hNotificationEvent : nullptr;
}

bool COutputRenderKS::QueueSilence(uint32_t samples) {
  if (!m_packets.QueueSilence(samples)) return false;
  m_submitted += samples;
  return true;
}

bool COutputRenderKS::StreamSamples(uint64_t* taken, uint64_t* submitted) {
  KSAUDIO_POSITION position = {};
  if (m_packets.Looped() || m_pin == nullptr || FAILED(m_pin->GetPosition(&position))) return false;
  *taken = position.PlayOffset / 4;
  *submitted = m_submitted;
  return true;
}

uint32_t COutputRenderKS::Channels() const {
  return m_pin != nullptr && m_pin->m_pwfx != nullptr ? m_pin->m_pwfx->nChannels : 0;
}

bool COutputRenderKS::CanWriteAhead(uint32_t frames) {
  // A window of `frames` written a window ahead of the device must not reach
  // round to where it plays.
  uint32_t sample = 0;
  return m_packets.Looped() && Channels() != 0 && frames != 0 &&
         RingSamples() / Channels() >= 2 * static_cast<uint64_t>(frames) && PlayPosition(&sample);
}

bool COutputRenderKS::PlayPosition(uint32_t* sample) {
  ULONG offset = 0;
  if (RingSamples() == 0 || m_pin == nullptr || FAILED(m_pin->GetBufferPosition(&offset))) return false;
  *sample = offset / 4 % RingSamples();
  return true;
}

void COutputRenderKS::Anchor(uint64_t frame, uint32_t playSample) {
  const uint32_t ring = RingSamples();
  if (ring == 0) return;
  const uint32_t back = static_cast<uint32_t>(frame * Channels() % ring);
  m_anchorSample = (playSample % ring + ring - back) % ring;
}

COutputRender::InTime COutputRenderKS::WriteAheadInTime(uint64_t frame, const int32_t* samples, uint32_t frames,
                                                        uint64_t deviceFrame) {
  const uint32_t ring = RingSamples();
  const uint32_t count = frames * Channels();
  uint32_t play = 0;
  if (ring == 0 || samples == nullptr || count == 0 || count > ring / 4 || !PlayPosition(&play))
    return InTime::Written;
  const uint32_t start = static_cast<uint32_t>((m_anchorSample + frame * Channels()) % ring);
  // How far the device is past where the timeline has it (negative: short
  // of it), within half the buffer either way; its position may be off by
  // the slack either way. It is late once its position reads the window's
  // first frame.
  const int64_t lead = (static_cast<int64_t>(frame) - static_cast<int64_t>(deviceFrame)) * Channels();
  const uint32_t ahead = (start + ring - play) % ring;
  int64_t off = ((lead - ahead) % ring + ring) % ring;
  if (off > ring / 2) off -= ring;
  const int64_t slack = std::min<uint32_t>(m_pin->PositionSlackSamples(), ring / 8);
  const InTime result = off < -2 * slack ? InTime::Elsewhere : off < lead ? InTime::Written : InTime::Late;
  if (result == InTime::Written) Fill(start, samples, count);
  // From the end of what is written on to where the device is (late: all
  // of it) the cells have been played: silence for the next turn, but for
  // the slack behind the position, which the device may not have taken yet.
  if (result == InTime::Elsewhere) return result;
  const uint32_t writtenTo = result == InTime::Written ? (start + count) % ring : play;
  const uint32_t stale = (play + ring - writtenTo) % ring;
  const uint32_t played = stale == 0 && result == InTime::Late ? ring : stale;
  Fill(writtenTo, nullptr, played > slack ? played - static_cast<uint32_t>(slack) : 0);
  return result;
}

void COutputRenderKS::Fill(uint32_t from, const int32_t* samples, uint32_t count) {
  const uint32_t ring = RingSamples();
  if (ring == 0 || count == 0) return;
  from %= ring;
  if (count > ring) count = ring;
  const uint32_t first = count < ring - from ? count : ring - from;
  int32_t* buffer = m_packets.Data(0);
  if (samples != nullptr) {
    memcpy(buffer + from, samples, static_cast<size_t>(first) * 4);
    memcpy(buffer, samples + first, static_cast<size_t>(count - first) * 4);
  } else {
    memset(buffer + from, 0, static_cast<size_t>(first) * 4);
    memset(buffer, 0, static_cast<size_t>(count - first) * 4);
  }
}

uint32_t COutputRenderKS::GetQueuedAheadSamples() { return m_packets.QueuedAheadSamples(); }
