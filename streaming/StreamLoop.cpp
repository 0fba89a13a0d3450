// The streaming loop, on the streaming thread.
//
// Real-time rules: everything a run needs is allocated before the first
// pass; a pass allocates nothing, takes no lock, logs nothing and calls the
// system only to wait for packets, queue stream I/O and read timeGetTime.
// Property requests (positions, at set-up) happen before the first pass.
//
// The host's timeline is the capture pin's: host frame x is the x-th frame
// the capture pin captured in this run. Each half goes to the host once the
// capture side has filled it; the output the host writes in switch n is
// played from capture frame (n + 4) x m_bufferSize on with a cyclic render
// buffer, (n + 6) x m_bufferSize with render packets: the round trip is the
// same on every start, whatever time passed between the pins' starts.
//
// Pacing. A pass runs per render packet (packet streaming, or a cyclic
// render buffer without a position register), or per capture packet when the
// render side is written ahead of the device in its cyclic buffer. Either
// way the other stream's notifications are consumed while waiting, and the
// capture side is read as soon as its packet is complete.
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
// Drop-outs (m_dropOuts): at most one per pass, when audio was lost or
// handed over unfilled:
// - a stream reports the pass too late (packet streaming: the device had no
//   other request queued, it overran or underran; looped streaming: its
//   position register lies inside the half being handled once it was read, or it
//   went round a whole half that was never handled);
// - the device began to play render frames before they were written ahead;
// - captured frames had no place before the ring's end, or render frames had
//   no host output yet;
// - a half went to the host before the capture side had filled it; its
//   missing frames are silence;
// - a pass outlasted a looped capture buffer (the late half this leaves the
//   next pass is the same loss and not counted again).
#include "driver/AsioDriver.h"

#include <mmsystem.h>

#include <new>

#include "driver/SampleBuffer.h"
#include "ks/KsAudPin.h"
#include "streaming/InputCaptureKS.h"
#include "streaming/OutputRenderKS.h"
#include "streaming/PacketConversion.h"

namespace {

const uint32_t kPacketsPerStream = 4;
const uint32_t kPacketWaitMs = 500;
const uint32_t kIdlePollMs = 100;
// Render packets of a run's first switches carry silence only.
const uint32_t kSilentSwitches = 4;
// A run is up once start has seen this many switches.
const uint32_t kRunningSwitches = 2;
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

// A device streams in real time: its clock is the performance counter's,
// whose frequency (ticks a second, read once a run) is the context.
uint64_t PerformanceCounterMicroseconds(void* frequency) {
  const uint64_t perSecond = *static_cast<const uint64_t*>(frequency);
  LARGE_INTEGER now;
  if (perSecond == 0 || !QueryPerformanceCounter(&now)) return 0;
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
  return ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
}

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
  const bool writeAhead = render != nullptr && render->CanWriteAhead(bufferSize);
  // A render packet, or a half of host output written ahead.
  size_t packetSamples = static_cast<size_t>(framesPerPacket) * outputs;
  if (packetSamples < renderSamples) packetSamples = renderSamples;
  if (packetSamples < static_cast<size_t>(bufferSize) * outputs)
    packetSamples = static_cast<size_t>(bufferSize) * outputs;
  int32_t* renderPacket = AllocateSamples<int32_t>(packetSamples);
  bool failed = false;

  // Without both streams (or with no buffer to fill) the thread only waits
  // for stop.
  if (capture == nullptr || render == nullptr || renderPacket == nullptr || bufferSize == 0) {
    while (!m_streamStop) WaitForSingleObject(m_streamStopEvent, kIdlePollMs);
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
    // A pass busier than a looped capture buffer lasts: whatever the
    // positions show (they cannot tell how many times the device went
    // round), audio was lost. The late half it leaves the next pass is the
    // same loss. Capture packets report their overruns themselves.
    const uint32_t captureBufferFrames = 2 * framesPerPacket < ringFrames ? 2 * framesPerPacket : ringFrames;
    const DWORD longestPassMs =
        !m_capturePin->m_bLooped ? INFINITE
        : m_passLimitMs != 0     ? m_passLimitMs
                                 : static_cast<DWORD>(captureBufferFrames * 1000.0 / m_sampleRate);
    bool fadePending = true;
    const uint32_t fadeFrames = writeAhead ? bufferSize : framesPerPacket;
    const float fadeStep = fadeFrames != 0 ? 1.0f / static_cast<float>(fadeFrames) : 1.0f;
    float gain = 0.0f;
    bool lost = false;
    bool afterLongPass = false;
    // One drop-out for a pass that lost audio or ran too long, none for the
    // late half a long pass left behind.
    auto countPass = [&](DWORD wokeAt) {
      const bool longPass = longestPassMs != INFINITE && timeGetTime() - wokeAt > longestPassMs;
      if ((lost && !afterLongPass) || longPass) m_dropOuts.FetchAdd(1);
      afterLongPass = longPass;
    };

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
    // Device frames the host's timeline skipped: silence that did not fit
    // the ring. Output is written that much further on, so that it still
    // goes out a half ahead of the device.
    uint64_t hostBehind = 0;
    // Frames the device captured that never reached the driver: silence in
    // their place keeps the host's timeline on the device's.
    auto placeSilence = [&](uint32_t count) {
      const uint32_t room = capturePos < ringFrames ? ringFrames - capturePos : 0;
      const uint32_t placed = count < room ? count : room;
      hostBehind += count - placed;
      for (uint32_t f = 0; f < placed; ++f) {
        const uint32_t cell = (halfStart() + capturePos + f) % ringFrames;
        for (long k = 0; k < inputSlots && k < kMaxInputs; ++k)
          if (m_inputChannel[k] >= 0 && m_inputChannel[k] < m_numInputs) m_inputBuffers[k][cell] = 0;
      }
      capturePos += placed;
    };
    // One captured packet into the ring: whole frames only; a split frame
    // is completed first.
    auto takeCapture = [&]() -> bool {
      if (!capture->WaitForPacket(kPacketWaitMs)) return false;
      if (const uint32_t missed = capture->GetMissedSampleCount()) {
        captureCarried = 0;  // the rest of its frame went round with the half
        placeSilence(missed / inputs);
      }
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
      // Asked after the copy: a device that reached the half while it was
      // being read tore it.
      lost |= capture->IsLate();
      capture->ReleasePacket();
      return true;
    };
    // Hands the current half to the host. What the capture side did not
    // fill is silence, never what the cells held before.
    auto switchHalf = [&]() {
      const long half = static_cast<long>(halfStart());
      if (capturePos < bufferSize) {
        lost = true;
        for (long k = 0; k < inputSlots && k < kMaxInputs; ++k)
          memset(m_inputBuffers[k] + half + capturePos, 0, (bufferSize - capturePos) * sizeof(int32_t));
      }
      for (long k = m_numInputs; k < m_activeInputs && k < kMaxInputs; ++k)
        memcpy(m_inputBuffers[k] + half, m_inputBuffers[0] + half, bufferSize * sizeof(int32_t));
      DoBufferSwitch();
      m_streamSwitchCount.FetchAdd(1);
      renderPos = renderPos > bufferSize ? renderPos - bufferSize : 0;
      capturePos = capturePos > bufferSize ? capturePos - bufferSize : 0;
    };

    // Ties the render buffer to the capture side's timeline: where capture
    // frame 0 would be played, from both positions read at one device moment
    // (the render position unchanged around the capture's). The capture side
    // tells its position itself, or at set-up through its pin; at set-up an
    // anchor is taken in any case.
    auto anchorRender = [&](bool setUp) {
      for (int i = 0; i < kAlignTries; ++i) {
        uint32_t before = 0, after = 0;
        uint64_t captured = 0;
        if (!render->PlayPosition(&before)) return;
        if (capture->GetDeviceSampleCount(&captured))
          captured /= inputs;
        else if (!setUp || !PinFrames(m_capturePin, &captured))
          return;
        if (!render->PlayPosition(&after)) return;
        if (before == after || (setUp && i + 1 == kAlignTries)) {
          render->Anchor(captured, before);
          return;
        }
      }
    };

    // The capture sweep hands the buffer switch host integers.
    m_hostFormatInputs = HostFormatInputSlots();
    capture->SetAbortEvent(m_streamStopEvent);
    LARGE_INTEGER frequency = {};
    uint64_t ticksPerSecond =
        QueryPerformanceFrequency(&frequency) ? static_cast<uint64_t>(frequency.QuadPart) : 0;
    if (m_deviceClock != nullptr)
      capture->SetDeviceClock(m_deviceClock, m_deviceClockContext);
    else
      capture->SetDeviceClock(&PerformanceCounterMicroseconds, &ticksPerSecond);
    render->SetAbortEvent(m_streamStopEvent);
    render->Start();
    capture->Start();
    uint32_t roundTrip = 2 * bufferSize + framesPerPacket + render->GetQueuedAheadSamples() / outputs;
    if (writeAhead) {
      anchorRender(true);
      // Written one half ahead of the device, two halves after the switch.
      roundTrip = 4 * bufferSize;
    } else if (!m_renderPin->m_bLooped) {
      // The render pin started first: the frames it played before the
      // capture pin started are made up with silence once, so that the host's
      // output lands as many frames after its input as on any other start.
      for (int i = 0; i < kAlignTries; ++i) {
        uint64_t capturedBefore = 0, played = 0, capturedAfter = 0;
        if (!PinFrames(m_capturePin, &capturedBefore) || !PinFrames(m_renderPin, &played) ||
            !PinFrames(m_capturePin, &capturedAfter))
          break;
        if (capturedBefore != capturedAfter) continue;
        if (played > capturedBefore) {
          const uint64_t lead = played - capturedBefore;
          const uint64_t most = 3ull * framesPerPacket;
          render->QueueSilence(static_cast<uint32_t>(lead < most ? lead : most) * outputs);
        }
        break;
      }
    }
    // What a sample takes from the converter of the input to that of the
    // output: the device's own delays on both sides as well.
    m_latencyFrames = roundTrip + static_cast<uint32_t>(m_captureDelayFrames + m_renderDelayFrames);

    if (writeAhead) {
      capture->SetDrainEvent(render->NotificationEvent(), nullptr);
      for (;;) {
        lost = false;
        const bool ok = takeCapture();
        const DWORD wokeAt = timeGetTime();
        if (m_streamStop) break;
        if (!ok) {
          failed = true;
          break;
        }
        while (capturePos >= bufferSize && !m_streamStop) {
          // Before this switch's output overwrites it, the host output of
          // two switches ago goes out, a half ahead of the device.
          const uint32_t switches = m_streamSwitchCount;
          const bool silent = switches < kSilentSwitches;
          renderPos = 0;
          buildRender(renderPacket, bufferSize, silent);
          if (!silent) fadePending = false;
          const uint64_t frame = (static_cast<uint64_t>(switches) + 2) * bufferSize + hostBehind;
          if (!render->WriteAhead(frame, renderPacket, bufferSize)) {
            lost = true;
            // The device was already playing it: after a stall long enough
            // to hide a turn of the capture buffer, the render side is tied
            // to the capture side again where both are now.
            anchorRender(false);
          }
          switchHalf();
        }
        countPass(wokeAt);
      }
    } else {
      render->SetDrainEvent(capture->NotificationEvent(), capture->NotificationTally());
      for (;;) {
        const bool ok = render->WaitForPacket(kPacketWaitMs);
        if (m_streamStop) break;
        if (!ok) {
          failed = true;
          break;
        }
        lost = render->IsLate();

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

        // Capture: the packets the device has completed up to the frames
        // the render side has reached.
        const uint32_t needed = renderPos < ringFrames ? renderPos : ringFrames;
        bool captured = true;
        while (capturePos < needed && !m_streamStop && captured) captured = takeCapture();
        if (!captured) {
          failed = !m_streamStop;
          break;
        }
        const DWORD wokeAt = timeGetTime();

        while (renderPos >= bufferSize && !m_streamStop) switchHalf();

        render->WritePacket(renderPacket);
        render->SubmitPacket();
        countPass(wokeAt);
        if (m_streamStop) break;
      }
    }
  }

  m_hostFormatInputs = 0;
  FreeSampleBuffer(renderPacket);
  delete render;
  delete capture;

  // The device failed under a run the host had going: it hears once that
  // the driver must be set up again; no switch follows.
  if (failed && !m_streamStop) {
    m_deviceLost = true;
    if (m_streamSwitchCount >= kRunningSwitches && HostSupports(kAsioResetRequest))
      MessageHost(kAsioResetRequest, 0);
  }
}
