// The streaming loop: one pass per render packet, on the streaming thread.
//
// Real-time rules: everything a run needs is allocated before the first
// pass; a pass allocates nothing, takes no lock, logs nothing and calls the
// system only to wait for packets, queue stream I/O and read timeGetTime.
//
// Positions. capturePos and renderPos count frames from the start of the
// current half (m_bufferIndex). The two halves form a ring of 2 x
// m_bufferSize frames: a frame at position p lives in cell (half start + p)
// modulo the ring. Capture frames that do not fit the current half go on
// into the next one (the half after the buffer switch); the render side
// reads the host's output in the same order, so a pass reads what the host
// wrote two halves before (two buffers of output latency). Only positions
// below the ring's end are ever touched; anything beyond is dropped and
// counted.
//
// Drop-outs (m_dropOuts): at most one per pass, when the device lost audio
// or the host lost a frame in it:
// - a stream reports the pass too late (packet streaming: the device had no
//   other request queued, it overran or underran; looped streaming: its
//   position register already lies inside the half being handled);
// - captured frames had no place before the ring's end, or render frames had
//   no host output yet;
// - a half went to the host before the capture side had filled it.
// No KS property request is sent from here: they allocate and wait.
#include "driver/AsioDriver.h"

#include <new>

#include "driver/SampleBuffer.h"
#include "streaming/InputCaptureKS.h"
#include "streaming/OutputRenderKS.h"
#include "streaming/PacketConversion.h"

namespace {

const uint32_t kPacketsPerStream = 4;
const uint32_t kPacketWaitMs = 500;
const uint32_t kIdlePollMs = 100;
// Render packets of a run's first switches carry silence only.
const uint32_t kSilentSwitches = 4;

}  // namespace

void CAsioDriver::StreamLoop() {
  const uint32_t bufferSize = static_cast<uint32_t>(m_bufferSize);
  const uint32_t inputs = static_cast<uint32_t>(m_numInputs);
  const uint32_t outputs = static_cast<uint32_t>(m_numOutputs);
  uint32_t framesPerPacket = bufferSize;

  CInputCapture* capture = nullptr;
  COutputRender* render = nullptr;
  // The loop's carry buffers hold one frame of the device's channels.
  if (m_capturePin != nullptr && inputs != 0 && inputs <= kMaxInputs) {
    capture = new (std::nothrow) CInputCaptureKS(kPacketsPerStream, inputs * bufferSize, m_capturePin);
    if (capture != nullptr && capture->GetSamplesPerPacket() / inputs != 0)
      framesPerPacket = capture->GetSamplesPerPacket() / inputs;
  }
  if (m_renderPin != nullptr && outputs != 0 && outputs <= kMaxOutputs) {
    render = new (std::nothrow) COutputRenderKS(kPacketsPerStream, framesPerPacket * outputs, m_renderPin);
    if (render != nullptr) framesPerPacket = render->GetSamplesPerPacket() / outputs;
  }
  const uint32_t renderSamples = render != nullptr ? render->GetSamplesPerPacket() : 0;
  const size_t packetSamples = static_cast<size_t>(framesPerPacket) * outputs > renderSamples
                                   ? static_cast<size_t>(framesPerPacket) * outputs
                                   : renderSamples;
  int32_t* renderPacket = AllocateSamples<int32_t>(packetSamples);

  // Without both streams (or with no buffer to fill) the thread only waits
  // for stop.
  if (capture == nullptr || render == nullptr || renderPacket == nullptr || bufferSize == 0) {
    while (!m_streamStop) Sleep(kIdlePollMs);
  } else {
    memset(renderPacket, 0, packetSamples * sizeof(int32_t));
    const uint32_t ringFrames = 2 * bufferSize;
    const long inputSlots = m_activeInputs < m_numInputs ? m_activeInputs : m_numInputs;
    const long outputSlots = m_activeOutputs < m_numOutputs ? m_activeOutputs : m_numOutputs;
    const bool captureSplitsFrames = capture->SplitsFrames();
    uint32_t capturePos = 0;
    uint32_t renderPos = 0;
    // A frame split between two packets: its head (capture) or its tail
    // (render), waiting for the next packet.
    int32_t captureCarry[kMaxInputs];
    uint32_t captureCarried = 0;
    int32_t renderFrame[kMaxOutputs];
    uint32_t renderTailFrom = outputs;
    bool fadePending = true;
    const float fadeStep = framesPerPacket != 0 ? 1.0f / static_cast<float>(framesPerPacket) : 1.0f;
    float gain = 0.0f;
    bool lost = false;

    auto halfStart = [&]() { return static_cast<uint32_t>(m_bufferIndex) * bufferSize; };
    auto placeCapture = [&](const int32_t* frames, uint32_t count) {
      if (count == 0) return;
      const uint32_t room = capturePos < ringFrames ? ringFrames - capturePos : 0;
      const uint32_t placed = count < room ? count : room;
      const uint32_t start = (halfStart() + capturePos) % ringFrames;
      const uint32_t first = placed < ringFrames - start ? placed : ringFrames - start;
      DeinterleaveCaptureToHost(frames, first, inputs, m_inputBuffers, m_inputChannel, inputSlots, start);
      DeinterleaveCaptureToHost(frames + static_cast<size_t>(first) * inputs, placed - first, inputs,
                                m_inputBuffers, m_inputChannel, inputSlots, 0);
      capturePos += placed;
      lost |= placed < count;
    };
    auto buildRender = [&](int32_t* dest, uint32_t count, bool silent) {
      const uint32_t ready = renderPos < ringFrames ? ringFrames - renderPos : 0;
      const uint32_t built = silent ? 0 : (count < ready ? count : ready);
      const uint32_t start = (halfStart() + renderPos) % ringFrames;
      const uint32_t first = built < ringFrames - start ? built : ringFrames - start;
      InterleaveRender(m_outputFloatBuffers, m_outputChannel, outputSlots, start, first, outputs, dest);
      InterleaveRender(m_outputFloatBuffers, m_outputChannel, outputSlots, 0, built - first, outputs,
                       dest + static_cast<size_t>(first) * outputs);
      memset(dest + static_cast<size_t>(built) * outputs, 0,
             static_cast<size_t>(count - built) * outputs * sizeof(int32_t));
      if (!silent && fadePending) FadeIn(dest, count, outputs, &gain, fadeStep);
      renderPos += count;
      lost |= !silent && built < count;
    };

    // The capture sweep hands the buffer switch host integers.
    m_hostFormatInputs = HostFormatInputSlots();
    render->Start();
    capture->Start();
    // Device input to device output: a capture packet gathered, two halves
    // of host output, and what the device plays before a packet submitted.
    m_latencyFrames = 2 * bufferSize + framesPerPacket + render->GetQueuedAheadSamples() / outputs;

    for (;;) {
      const bool ok = render->WaitForPacket(kPacketWaitMs) && capture->WaitForPacket(kPacketWaitMs);
      if (m_streamStop || !ok) break;
      lost = render->IsLate();
      lost |= capture->IsLate();

      // Capture: whole frames only; a split frame is completed first.
      const int32_t* data = capture->GetPacketData();
      const uint32_t samples = data != nullptr ? capture->GetPacketSampleCount() : 0;
      uint32_t s = 0;
      if (captureCarried != 0) {
        while (captureCarried < inputs && s < samples) captureCarry[captureCarried++] = data[s++];
        if (captureCarried == inputs) {
          placeCapture(captureCarry, 1);
          captureCarried = 0;
        }
      }
      const uint32_t whole = (samples - s) / inputs;
      placeCapture(data + s, whole);
      s += whole * inputs;
      while (captureSplitsFrames && s < samples) captureCarry[captureCarried++] = data[s++];
      capture->ReleasePacket();

      // Render: the tail of a split frame, whole frames, then the head of
      // the next frame when the packet ends inside it.
      const bool silent = m_streamSwitchCount < kSilentSwitches;
      uint32_t filled = 0;
      while (renderTailFrom < outputs && filled < renderSamples)
        renderPacket[filled++] = renderFrame[renderTailFrom++];
      const uint32_t frames = (renderSamples - filled) / outputs;
      buildRender(renderPacket + filled, frames, silent);
      filled += frames * outputs;
      if (filled < renderSamples) {
        buildRender(renderFrame, 1, silent);
        for (renderTailFrom = 0; filled < renderSamples;) renderPacket[filled++] = renderFrame[renderTailFrom++];
      }
      if (!silent) fadePending = false;

      while (renderPos >= bufferSize && !m_streamStop) {
        lost |= capturePos < bufferSize;
        const long half = static_cast<long>(halfStart());
        for (long k = m_numInputs; k < m_activeInputs && k < kMaxInputs; ++k)
          memcpy(m_inputBuffers[k] + half, m_inputBuffers[0] + half, bufferSize * sizeof(int32_t));
        DoBufferSwitch();
        m_streamSwitchCount.FetchAdd(1);
        renderPos -= bufferSize;
        capturePos = capturePos > bufferSize ? capturePos - bufferSize : 0;
      }

      render->WritePacket(renderPacket);
      render->SubmitPacket();
      if (lost) m_dropOuts.FetchAdd(1);
      if (m_streamStop) break;
    }
  }

  m_hostFormatInputs = 0;
  FreeSampleBuffer(renderPacket);
  delete render;
  delete capture;
}
