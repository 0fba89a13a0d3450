// The streaming loop, on the streaming thread.
//
// Real-time rules: everything a run needs is allocated before the first
// pass; a pass allocates nothing, takes no lock, logs nothing and calls the
// system only to wait for the device's signals, queue stream I/O, read the
// device's position (a register, or a property request to a device without
// one) and read the clocks.
//
// The host's timeline is the device's: host frame x is the frame the capture
// pin captured x frames after its first one, lost frames included. Each half
// goes to the host once the capture side has filled it; the output the host
// writes in switch n is played from capture frame (n + 4) x m_bufferSize on
// with a cyclic render buffer, (n + 6) x m_bufferSize with render packets
// (PlanStream): the round trip is the same on every start, whatever time
// passed between the pins' starts, and stays so after any loss.
//
// Pacing. A pass runs per capture packet when the render side is written
// ahead of the device in its cyclic buffer, or per render packet (packet
// streaming, or a cyclic render buffer too small to write ahead in). Either
// way the other stream's notifications are consumed while waiting, and the
// capture side is read as soon as its packet is complete. A device that
// makes no progress at all for kDeviceSilentMs is gone (a reset request
// follows); a shorter stall costs a drop-out.
//
// Positions. m_capturePos and m_renderPos count frames from the start of the
// current half (m_bufferIndex). The two halves form a ring of 2 x
// m_bufferSize frames: a frame at position p lives in cell (half start + p)
// modulo the ring. Capture frames that do not fit the current half go on
// into the next one (the half after the buffer switch); the render side
// reads the host's output in the same order, so a pass reads what the host
// wrote two halves before (two buffers of output latency). In low latency
// the output of a switch goes to the device as soon as the host's callback
// has returned instead, to be played from capture frame (n + 2) x
// m_bufferSize + kLowLatencySafetyFrames. Only positions
// below the ring's end are ever touched; anything beyond is dropped and
// counted.
//
// Lost frames (the device overran, stalled, or went round a half nobody
// read) become silence in their place, so that the halves after them sit
// where the device captured them; what would not fit the ring becomes a jump
// of the host's sample position by as many frames, at a switch. Either way
// the device's frame minus the host's position stays what it was, and the
// output follows: written ahead at the host's position, or, with render
// packets, moved on by what the device played without it.
//
// Drop-outs (m_dropOuts): one per loss, when audio was lost or handed over
// unfilled (a loss seen in the passes of a packet queue's length after one
// counted is the same loss, seen late through the queue):
// - a stream reports the pass too late (packet streaming: the device had no
//   other request queued, or it lost frames before a read; looped
//   streaming: it began to write over a half before that half was read);
// - the device began to play render frames before they were written ahead;
// - captured frames had no place before the ring's end, or render frames had
//   no host output yet;
// - a half went to the host before the capture side had filled it; its
//   missing frames are silence.
#include "streaming/StreamLoop.h"

#include <cstring>
#include <new>

#include "driver/SampleBuffer.h"
#include "ks/KsAudPin.h"
#include "streaming/InputCaptureKS.h"
#include "streaming/OutputRenderKS.h"
#include "streaming/PacketConversion.h"
#include "streaming/PerformanceCounter.h"
#include "streaming/StreamPlan.h"

namespace {

// A run is up once start has seen this many switches.
const uint32_t kRunningSwitches = 2;
// A device that makes no progress for this long is gone.
const uint32_t kDeviceSilentMs = 2000;
const uint32_t kIdlePollMs = 100;
// Render packets of a run's first switches carry silence only.
const uint32_t kSilentSwitches = 4;
// Reads of two pins' positions until both come from one device moment.
const int kAlignTries = 16;

// Frames a pin has moved since it entered the run state: the stream offset
// of KSPROPERTY_AUDIO_POSITION (in a cyclic buffer the offset in it, enough
// for a pin that has just started).
bool PinFrames(CKsAudPin* pin, uint64_t* frames) {
  KSAUDIO_POSITION position = {};
  if (pin == nullptr || pin->m_pwfx == nullptr || pin->m_pwfx->nBlockAlign == 0 ||
      FAILED(pin->GetPosition(&position)))
    return false;
  *frames = position.PlayOffset / pin->m_pwfx->nBlockAlign;
  return true;
}

uint32_t Smaller(uint32_t a, uint32_t b) { return a < b ? a : b; }

}  // namespace

CStreamLoop::CStreamLoop(CAsioDriver& driver)
    : m_driver(driver),
      m_bufferSize(static_cast<uint32_t>(driver.m_bufferSize)),
      m_inputs(static_cast<uint32_t>(driver.m_numInputs)),
      m_outputs(static_cast<uint32_t>(driver.m_numOutputs)),
      m_ringFrames(2 * m_bufferSize),
      m_inputSlots(driver.m_activeInputs < driver.m_numInputs ? driver.m_activeInputs : driver.m_numInputs),
      m_outputSlots(driver.m_activeOutputs < driver.m_numOutputs ? driver.m_activeOutputs
                                                                 : driver.m_numOutputs),
      m_capture(nullptr),
      m_render(nullptr),
      m_plan(),
      m_captureFrames(m_bufferSize),
      m_renderSamples(0),
      m_packetSamples(0),
      m_renderPacket(nullptr),
      m_captureSplitsFrames(false),
      m_capturePos(0),
      m_renderPos(0),
      m_captureCarried(0),
      m_renderTailFrom(m_outputs),
      m_jump(0),
      m_jumpAfter(0),
      m_realign(false),
      m_queuedUpTo(0),
      m_lateWrites(0),
      m_sameLossPasses(0),
      m_fadePending(true),
      m_fadeStep(1.0f),
      m_gain(0.0f),
      m_lost(false) {
  // Before the first switch the ring's halves hold the output of switches
  // -2 and -1.
  m_outputAt[0] = -2 * static_cast<int64_t>(m_bufferSize);
  m_outputAt[1] = -static_cast<int64_t>(m_bufferSize);
  m_queuedUpTo = m_outputAt[0];
  CKsAudPin* capturePin = driver.m_capturePin;
  CKsAudPin* renderPin = driver.m_renderPin;
  if (capturePin != nullptr && m_inputs != 0 && m_inputs <= CAsioDriver::kMaxInputs)
    m_capture = new (std::nothrow) CInputCaptureKS(kPacketsPerStream, m_inputs * m_bufferSize, capturePin);
  const uint32_t captureHalf = m_capture != nullptr ? m_capture->GetSamplesPerPacket() : 0;
  if (captureHalf / (m_inputs != 0 ? m_inputs : 1) != 0) m_captureFrames = captureHalf / m_inputs;
  // Cyclic render halves as long as the capture halves; packets of a host
  // buffer, the queue's and one more, free for the switch that comes before
  // the device has played one.
  const bool renderLooped = renderPin != nullptr && renderPin->m_bLooped;
  const bool lowLatency = driver.m_lowLatencyRun;
  const uint32_t renderHalf = renderLooped ? RenderRingFrames(m_captureFrames) / 2 : m_bufferSize;
  if (renderPin != nullptr && m_outputs != 0 && m_outputs <= CAsioDriver::kMaxOutputs)
    m_render = new (std::nothrow) COutputRenderKS(kPacketsPerStream + 1, renderHalf * m_outputs, renderPin,
                                                  lowLatency ? 2 : kPacketsPerStream);
  if (m_capture == nullptr || m_render == nullptr) return;
  m_renderSamples = m_render->GetSamplesPerPacket();
  m_plan = PlanStream(m_bufferSize, m_inputs, m_outputs, capturePin->m_bLooped, captureHalf, renderLooped,
                      renderLooped ? m_renderSamples : 0, lowLatency);
  if (m_plan.render == StreamPlan::Render::WrittenAhead && !m_render->CanWriteAhead(m_bufferSize)) {
    // No position to write ahead by: a half each time the device played one.
    m_plan.render = StreamPlan::Render::PacedByRender;
    m_plan.lowLatency = false;
    m_plan.framesPerPacket = m_renderSamples / m_outputs;
    m_plan.roundTrip = 2 * m_bufferSize + 2 * m_plan.framesPerPacket;
  }
  m_captureSplitsFrames = m_capture->SplitsFrames();
  // A render packet, or a half of host output sent.
  m_packetSamples = m_renderSamples;
  if (m_packetSamples < static_cast<size_t>(m_bufferSize) * m_outputs)
    m_packetSamples = static_cast<size_t>(m_bufferSize) * m_outputs;
  m_renderPacket = AllocateSamples<int32_t>(m_packetSamples);
  if (m_renderPacket != nullptr) memset(m_renderPacket, 0, m_packetSamples * sizeof(int32_t));
  const uint32_t fadeFrames =
      m_plan.render == StreamPlan::Render::PacedByRender ? m_plan.framesPerPacket : m_bufferSize;
  m_fadeStep = fadeFrames != 0 ? 1.0f / static_cast<float>(fadeFrames) : 1.0f;
}

CStreamLoop::~CStreamLoop() {
  m_driver.m_hostFormatInputs = 0;
  FreeSampleBuffer(m_renderPacket);
  delete m_render;
  delete m_capture;
}

bool CStreamLoop::Ready() const {
  return m_capture != nullptr && m_render != nullptr && m_renderPacket != nullptr && m_bufferSize != 0;
}

bool CStreamLoop::Run() {
  // Without both streams (or with no buffer to fill) the thread only waits
  // for stop.
  if (!Ready()) {
    while (!m_driver.m_streamStop) WaitForSingleObject(m_driver.m_streamStopEvent, kIdlePollMs);
    return true;
  }
  StartStreams();
  return m_plan.render == StreamPlan::Render::PacedByRender ? RunPacedByRender() : RunPacedByCapture();
}

void CStreamLoop::StartStreams() {
  // The capture sweep hands the buffer switch host integers.
  m_driver.m_hostFormatInputs = m_driver.HostFormatInputSlots();
  m_capture->SetAbortEvent(m_driver.m_streamStopEvent);
  if (m_driver.m_deviceClock != nullptr)
    m_capture->SetDeviceClock(m_driver.m_deviceClock, m_driver.m_deviceClockContext);
  else
    m_capture->SetDeviceClock(&PerformanceCounterClock, nullptr);
  m_render->SetAbortEvent(m_driver.m_streamStopEvent);
  // Written ahead, the render side's notifications are no one's to wait
  // for; otherwise the render side's waits take the capture side's.
  if (m_plan.render == StreamPlan::Render::WrittenAhead)
    m_capture->SetDrainEvent(m_render->NotificationEvent(), nullptr, nullptr);
  else
    m_render->SetDrainEvent(m_capture->NotificationEvent(), m_capture->NotificationTally(),
                            m_capture->NotificationAllowance());
  m_render->Start();
  m_capture->Start();
  if (m_plan.render == StreamPlan::Render::WrittenAhead)
    AnchorRender(true);
  else if (m_plan.render == StreamPlan::Render::Queued)
    AlignPacketRender();
  // What a sample takes from the converter of the input to that of the
  // output: the device's own delays on both sides as well.
  m_driver.m_latencyFrames =
      m_plan.roundTrip + static_cast<uint32_t>(m_driver.m_captureDelayFrames + m_driver.m_renderDelayFrames);
}

bool CStreamLoop::RunPacedByCapture() {
  for (;;) {
    m_lost = false;
    // A render queue the device has played out gets silence before the
    // capture side is waited for (a device that waits for its host waits
    // for it); the next half queued is aligned.
    if (m_plan.render == StreamPlan::Render::Queued && m_render->Starved()) {
      m_render->QueueSilence((m_plan.lowLatency ? 1 : kPacketsPerStream - 1) * m_bufferSize * m_outputs);
      m_realign = true;
    }
    const bool ok = TakeCapture();
    if (m_driver.m_streamStop) return true;
    if (!ok) return false;
    SendHalves();
    FinishPass();
  }
}

bool CStreamLoop::RunPacedByRender() {
  for (;;) {
    m_lost = false;
    bool ok = m_render->WaitForPacket(kDeviceSilentMs);
    // A capture half the device is done with comes first (a device that
    // waits for its host goes on only once it has been read), if it fits.
    while (!ok && m_render->Interrupted() && !m_driver.m_streamStop &&
           m_capturePos + m_captureFrames <= m_ringFrames) {
      if (!TakeCapture()) return m_driver.m_streamStop;
      ok = m_render->WaitForPacket(kDeviceSilentMs);
    }
    if (m_driver.m_streamStop) return true;
    if (!ok) return false;
    m_lost |= m_render->IsLate();
    FillRenderPacket();
    // Capture: the packets the device has completed up to the frames the
    // render side has reached.
    const uint32_t needed = Smaller(m_renderPos, m_ringFrames);
    bool captured = true;
    while (m_capturePos < needed && !m_driver.m_streamStop && captured) captured = TakeCapture();
    if (m_driver.m_streamStop) return true;
    if (!captured) return false;
    while (m_renderPos >= m_bufferSize && !m_driver.m_streamStop) SwitchHalf();
    m_render->WritePacket(m_renderPacket);
    m_render->SubmitPacket();
    FinishPass();
  }
}

void CStreamLoop::FinishPass() {
  // Queued output is aligned again at the next half sent after a loss. A
  // loss seen within a queue's length of passes after one counted is the
  // same one, seen late through the device's queue of packets.
  m_realign |= m_lost;
  if (m_lost && m_sameLossPasses == 0) {
    m_driver.m_dropOuts.FetchAdd(1);
    m_sameLossPasses = kPacketsPerStream + 1;
  }
  if (m_sameLossPasses != 0) --m_sameLossPasses;
}

uint32_t CStreamLoop::HalfStart() const {
  return static_cast<uint32_t>(m_driver.m_bufferIndex) * m_bufferSize;
}

bool CStreamLoop::TakeCapture() {
  if (!m_capture->WaitForPacket(kDeviceSilentMs)) return false;
  if (const uint32_t missed = m_capture->GetMissedSampleCount()) {
    m_captureCarried = 0;  // the rest of its frame was lost with them
    PlaceLost(missed / m_inputs);
  }
  const int32_t* data = m_capture->GetPacketData();
  const uint32_t samples = data != nullptr ? m_capture->GetPacketSampleCount() : 0;
  const uint32_t from = m_capturePos;
  uint32_t s = 0;
  if (m_captureCarried != 0) {
    while (m_captureCarried < m_inputs && s < samples) m_captureCarry[m_captureCarried++] = data[s++];
    if (m_captureCarried == m_inputs) {
      PlaceCapture(m_captureCarry, 1);
      m_captureCarried = 0;
    }
  }
  const uint32_t whole = (samples - s) / m_inputs;
  PlaceCapture(data + s, whole);
  s += whole * m_inputs;
  while (m_captureSplitsFrames && s < samples) m_captureCarry[m_captureCarried++] = data[s++];
  // Asked after the copy: a device that reached the half while it was
  // being read tore it, and the host gets silence for it.
  m_lost |= m_capture->IsLate();
  if (m_capture->Torn() && m_capturePos > from) {
    const uint32_t placed = m_capturePos - from;
    m_capturePos = from;
    PlaceSilence(placed);
  }
  m_capture->ReleasePacket();
  return true;
}

void CStreamLoop::PlaceCapture(const int32_t* frames, uint32_t count) {
  if (count == 0) return;
  const uint32_t room = m_capturePos < m_ringFrames ? m_ringFrames - m_capturePos : 0;
  const uint32_t placed = Smaller(count, room);
  const uint32_t start = (HalfStart() + m_capturePos) % m_ringFrames;
  const uint32_t first = Smaller(placed, m_ringFrames - start);
  DeinterleaveCaptureToHost(frames, first, m_inputs, m_driver.m_inputBuffers, m_driver.m_inputChannel,
                            m_inputSlots, start);
  DeinterleaveCaptureToHost(frames + static_cast<size_t>(first) * m_inputs, placed - first, m_inputs,
                            m_driver.m_inputBuffers, m_driver.m_inputChannel, m_inputSlots, 0);
  m_capturePos += placed;
  m_lost |= placed < count;
}

void CStreamLoop::PlaceLost(uint32_t frames) {
  if (frames == 0) return;
  m_lost = true;
  // Silence, where it leaves room in the ring for the packet that follows.
  if (static_cast<uint64_t>(m_capturePos) + frames + m_captureFrames <= m_ringFrames) {
    PlaceSilence(frames);
    return;
  }
  // Silence to the end of the half being filled, then a jump of the host's
  // position over the rest, at the switch that hands that half over.
  const uint32_t end = m_capturePos < m_bufferSize ? m_bufferSize : m_ringFrames;
  const uint32_t fill = Smaller(frames, end > m_capturePos ? end - m_capturePos : 0);
  PlaceSilence(fill);
  if (frames > fill) {
    m_jump += frames - fill;
    if (m_jumpAfter == 0) m_jumpAfter = end == m_bufferSize ? 1 : 2;
  }
}

void CStreamLoop::PlaceSilence(uint32_t frames) {
  const uint32_t room = m_capturePos < m_ringFrames ? m_ringFrames - m_capturePos : 0;
  const uint32_t placed = Smaller(frames, room);
  for (uint32_t f = 0; f < placed; ++f) {
    const uint32_t cell = (HalfStart() + m_capturePos + f) % m_ringFrames;
    for (long k = 0; k < m_inputSlots && k < CAsioDriver::kMaxInputs; ++k)
      if (m_driver.m_inputChannel[k] >= 0 && m_driver.m_inputChannel[k] < m_driver.m_numInputs)
        m_driver.m_inputBuffers[k][cell] = 0;
  }
  m_capturePos += placed;
}

// Hands the current half to the host. What the capture side did not fill is
// silence, never what the cells held before.
void CStreamLoop::SwitchHalf() {
  const long index = m_driver.m_bufferIndex;
  const long half = static_cast<long>(HalfStart());
  if (m_capturePos < m_bufferSize) {
    m_lost = true;
    for (long k = 0; k < m_inputSlots && k < CAsioDriver::kMaxInputs; ++k)
      memset(m_driver.m_inputBuffers[k] + half + m_capturePos, 0,
             (m_bufferSize - m_capturePos) * sizeof(int32_t));
  }
  for (long k = m_driver.m_numInputs; k < m_driver.m_activeInputs && k < CAsioDriver::kMaxInputs; ++k)
    memcpy(m_driver.m_inputBuffers[k] + half, m_driver.m_inputBuffers[0] + half, m_bufferSize * sizeof(int32_t));
  m_outputAt[index] = static_cast<int64_t>(m_driver.m_nextSwitchPosition);
  m_driver.DoBufferSwitch();
  m_driver.m_streamSwitchCount.FetchAdd(1);
  if (m_jumpAfter != 0 && --m_jumpAfter == 0) {
    m_driver.m_nextSwitchPosition += m_jump;
    m_jump = 0;
  }
  m_renderPos = m_renderPos > m_bufferSize ? m_renderPos - m_bufferSize : 0;
  m_capturePos = m_capturePos > m_bufferSize ? m_capturePos - m_bufferSize : 0;
}

void CStreamLoop::BuildRender(int32_t* dest, uint32_t count, bool silent, long half) {
  const uint32_t ready = m_renderPos < m_ringFrames ? m_ringFrames - m_renderPos : 0;
  const uint32_t built = silent ? 0 : Smaller(count, ready);
  const uint32_t halfStart = half < 0 ? HalfStart() : static_cast<uint32_t>(half) * m_bufferSize;
  const uint32_t start = (halfStart + m_renderPos) % m_ringFrames;
  const uint32_t first = Smaller(built, m_ringFrames - start);
  InterleaveRender(m_driver.m_outputFloatBuffers, m_driver.m_outputChannel, m_outputSlots, start, first,
                   m_outputs, dest);
  InterleaveRender(m_driver.m_outputFloatBuffers, m_driver.m_outputChannel, m_outputSlots, 0, built - first,
                   m_outputs, dest + static_cast<size_t>(first) * m_outputs);
  memset(dest + static_cast<size_t>(built) * m_outputs, 0, static_cast<size_t>(count - built) * m_outputs * sizeof(int32_t));
  if (!silent && m_fadePending) FadeIn(dest, count, m_outputs, &m_gain, m_fadeStep);
  m_renderPos += count;
  m_lost |= !silent && built < count;
}

// Paced by the render side: the tail of a split frame, whole frames, then the
// head of the next frame when the packet ends inside it.
void CStreamLoop::FillRenderPacket() {
  const bool silent = m_driver.m_streamSwitchCount < kSilentSwitches;
  uint32_t filled = 0;
  while (m_renderTailFrom < m_outputs && filled < m_renderSamples)
    m_renderPacket[filled++] = m_renderFrame[m_renderTailFrom++];
  const uint32_t frames = (m_renderSamples - filled) / m_outputs;
  BuildRender(m_renderPacket + filled, frames, silent);
  filled += frames * m_outputs;
  if (filled < m_renderSamples) {
    BuildRender(m_renderFrame, 1, silent);
    for (m_renderTailFrom = 0; filled < m_renderSamples;) m_renderPacket[filled++] = m_renderFrame[m_renderTailFrom++];
  }
  if (!silent) m_fadePending = false;
}

// Before a switch's output overwrites it, the output the current half holds
// (written two switches before) goes to the device, played the round trip
// after the host frames it is for. In low latency each switch's output goes
// as soon as the switch has returned.
void CStreamLoop::SendHalves() {
  while (m_capturePos >= m_bufferSize && !m_driver.m_streamStop) {
    const long half = m_driver.m_bufferIndex;
    if (m_plan.lowLatency) SwitchHalf();
    const uint64_t hostFrame = static_cast<uint64_t>(m_outputAt[half]);
    if (m_plan.render == StreamPlan::Render::WrittenAhead)
      WriteHalfAhead(hostFrame, half);
    else
      QueueHalf(hostFrame, half);
    if (!m_plan.lowLatency) SwitchHalf();
  }
}

void CStreamLoop::WriteHalfAhead(uint64_t hostFrame, long half) {
  // Where this switch's output would go: the round trip after the switch
  // made now (a period less once it is made). Output whose time came while
  // frames were lost (a jump of the position passed it) is not played;
  // silence fills the half in its place.
  const uint64_t ahead = m_driver.m_nextSwitchPosition + m_plan.roundTrip -
                         (m_plan.lowLatency ? 1ull : 2ull) * m_bufferSize;
  const bool passed = hostFrame + m_plan.roundTrip < ahead;
  const bool silent = passed || m_driver.m_streamSwitchCount < kSilentSwitches;
  m_renderPos = 0;
  BuildRender(m_renderPacket, m_bufferSize, silent, half);
  if (!silent) m_fadePending = false;
  const uint64_t frame = passed ? ahead : hostFrame + m_plan.roundTrip;
  // The device is at least at the end of the capture half just handed over
  // (about to be, before the switch is made). Output it reaches before it
  // is written is lost as silence: whatever it plays is the output it is
  // due for, never what the cells held a turn before. A device elsewhere
  // than the timeline has it is tied to it again.
  const uint64_t deviceFrame = m_driver.m_nextSwitchPosition + (m_plan.lowLatency ? 0 : m_bufferSize);
  const COutputRender::InTime result = m_render->WriteAheadInTime(frame, m_renderPacket, m_bufferSize, deviceFrame);
  m_lost |= result != COutputRender::InTime::Written;
  // Late twice running is no late host but a device a turn of the capture
  // buffer past where the timeline has it.
  m_lateWrites = result == COutputRender::InTime::Late ? m_lateWrites + 1 : 0;
  if (result == COutputRender::InTime::Elsewhere || m_lateWrites >= 2) {
    AnchorRender(false);
    m_lateWrites = 0;
  }
}

void CStreamLoop::QueueHalf(uint64_t hostFrame, long half) {
  // The packet the device played last is free again; a capture half the
  // device is done with comes first if the wait cannot take its notification.
  bool ok = m_render->WaitForPacket(kDeviceSilentMs);
  while (!ok && m_render->Interrupted() && !m_driver.m_streamStop &&
         m_capturePos + m_captureFrames <= m_ringFrames && TakeCapture())
    ok = m_render->WaitForPacket(kDeviceSilentMs);
  if (!ok) return;  // the device is gone or stopping: the capture side tells
  const int64_t target = static_cast<int64_t>(hostFrame) + m_plan.roundTrip;
  CheckQueue(target);
  // Output that does not follow on from the half queued before (the host's
  // position jumped over frames the device lost) is aligned on its own.
  if (hostFrame != m_queuedUpTo) m_realign = true;
  m_queuedUpTo = hostFrame + m_bufferSize;
  const bool silent = m_driver.m_streamSwitchCount < kSilentSwitches;
  uint32_t topUp = 0;
  uint32_t skip = 0;
  if (m_realign && m_jumpAfter == 0) {
    QueueLook look = {};
    if (LookAtQueue(&look))
      skip = AlignQueue(look, target, &topUp);
    else
      m_realign = false;  // nothing to go by
  }
  m_renderPos = 0;
  BuildRender(m_renderPacket, m_bufferSize, silent, half);
  if (!silent) m_fadePending = false;
  if (skip < m_bufferSize) {
    m_render->WritePacket(m_renderPacket + static_cast<size_t>(skip) * m_outputs, (m_bufferSize - skip) * m_outputs);
    m_render->SubmitPacket();
  } else {
    m_lost = true;
  }
  if (topUp != 0) m_render->QueueSilence(topUp * m_outputs);
}

// Ties the render buffer to the capture side's timeline: where capture frame
// 0 would be played, from both positions read at one device moment (the
// render position unchanged around the capture's). The capture side tells
// its position itself, or at set-up through its pin; at set-up an anchor is
// taken in any case.
void CStreamLoop::AnchorRender(bool setUp) {
  for (int i = 0; i < kAlignTries; ++i) {
    uint32_t before = 0, after = 0;
    uint64_t captured = 0;
    if (!m_render->PlayPosition(&before)) return;
    if (m_capture->GetDeviceSampleCount(&captured))
      captured /= m_inputs;
    else if (!setUp || !PinFrames(m_driver.m_capturePin, &captured))
      return;
    if (!m_render->PlayPosition(&after)) return;
    if (before == after || (setUp && i + 1 == kAlignTries)) {
      m_render->Anchor(captured, before);
      return;
    }
  }
}

// The render pin started first: the frames it played before the capture pin
// started are made up with silence once, so that the host's output lands as
// many frames after its input as on any other start.
void CStreamLoop::AlignPacketRender() {
  for (int i = 0; i < kAlignTries; ++i) {
    uint64_t capturedBefore = 0, played = 0, capturedAfter = 0;
    if (!PinFrames(m_driver.m_capturePin, &capturedBefore) || !PinFrames(m_driver.m_renderPin, &played) ||
        !PinFrames(m_driver.m_capturePin, &capturedAfter))
      return;
    if (capturedBefore != capturedAfter) continue;
    if (played > capturedBefore) {
      const uint64_t lead = played - capturedBefore;
      const uint64_t most = 3ull * m_bufferSize;
      m_render->QueueSilence(static_cast<uint32_t>(lead < most ? lead : most) * m_outputs);
    }
    return;
  }
}

// The device ran dry: no request of the queue left, or (its completions
// may be signalled late) its position has reached all that was submitted.
// Or it ran dry unseen (the thread held between a look and the write after
// it): what is queued plays late. Either way the queue is aligned. The
// capture side's count is read first: a device that moves on between the
// two readings only makes the queue look shorter.
void CStreamLoop::CheckQueue(int64_t target) {
  uint64_t count = 0, taken = 0, submitted = 0;
  const bool looked = m_capture->GetDeviceSampleCount(&count) && m_render->StreamSamples(&taken, &submitted);
  const QueueLook look = Look(count, taken, submitted);
  if (m_render->IsLate() || (looked && submitted != 0 && taken >= submitted)) m_lost = m_realign = true;
  if (looked && look.tail > target) m_realign = true;
}

// The queue at one moment (the render position unchanged around the
// capture side's count).
bool CStreamLoop::LookAtQueue(QueueLook* look) {
  uint64_t count = 0, taken = 0, submitted = 0, takenAfter = 0;
  for (int i = 0;; ++i) {
    if (!m_render->StreamSamples(&taken, &submitted) || !m_capture->GetDeviceSampleCount(&count) ||
        !m_render->StreamSamples(&takenAfter, &submitted))
      return false;
    if (taken == takenAfter || i + 1 == kAlignTries) break;
  }
  *look = Look(count, taken, submitted);
  return true;
}

// In frames the capture side counted: where the device is, and where the
// next frame queued is played.
CStreamLoop::QueueLook CStreamLoop::Look(uint64_t captured, uint64_t taken, uint64_t submitted) const {
  const uint64_t queued = submitted > taken ? submitted - taken : 0;
  QueueLook look;
  look.captured = static_cast<int64_t>(captured / m_inputs);
  look.tail = look.captured + static_cast<int64_t>(queued / m_outputs);
  return look;
}

// The next frame queued should be played the round trip after the host
// frame it carries (at `target`): silence goes first where the queue is
// shorter (at most three packets' worth at a time, the rest at the next
// half), output is left out where it is longer.
uint32_t CStreamLoop::AlignQueue(const QueueLook& look, int64_t target, uint32_t* topUp) {
  const int64_t tail = look.tail;
  if (tail >= target) {
    // In low latency a half whose time has passed is left out whole: an
    // older half never plays after a newer one was due.
    m_realign = tail - target >= m_bufferSize;
    const uint32_t most = m_plan.lowLatency ? m_bufferSize : m_bufferSize - 1;
    const uint32_t skip = static_cast<uint32_t>(tail - target < m_bufferSize ? tail - target : most);
    // Output whose time has passed (frames lost before it, the host's
    // position not yet past them) must not leave the device to run dry
    // before the next capture half is in and the next half queued: silence
    // makes up the rest. The queue is aligned again at the next half.
    const int64_t after = tail + (m_bufferSize - skip);
    const int64_t floor = look.captured + 2ll * m_bufferSize;
    if (m_realign && after < floor)
      *topUp = static_cast<uint32_t>(std::min<int64_t>(floor - after, 3ll * m_bufferSize));
    return skip;
  }
  const int64_t most = 3ll * m_bufferSize;
  m_realign = !m_render->QueueSilence(static_cast<uint32_t>(target - tail < most ? target - tail : most) * m_outputs) ||
              target - tail > most;
  return 0;
}

void CAsioDriver::StreamLoop() {
  bool failed = false;
  {
    CStreamLoop loop(*this);
    failed = !loop.Run();
  }
  // The device failed under a run the host had going: it hears once that
  // the driver must be set up again; no switch follows.
  if (failed && !m_streamStop) {
    m_deviceLost = true;
    if (m_streamSwitchCount >= kRunningSwitches && HostSupports(kAsioResetRequest))
      MessageHost(kAsioResetRequest, 0);
  }
}
