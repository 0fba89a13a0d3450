// The device clock and what running pin instances do as it advances.
#include "virtual-device/VdStreamEngine.h"

#include <string.h>

#include <algorithm>

namespace {

const LONG kStatusSuccess = 0;
const LONG kStatusDeviceNotConnected = static_cast<LONG>(0xC000009D);
const ULONG kLoopRingFrames = 1u << 16;
// The stepped clock moves at most this many frames between two publications
// of the registers: a reader that looks between the clock and a position
// (they are stored one after the other) sees them at most this far apart, as
// on hardware whose counters run on together, never a half apart.
const ULONG kSteppedChunkFrames = 24;
const WORD kMaxStreamChannels = 64;

HANDLE EventOf(LPOVERLAPPED pOverlapped) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(pOverlapped->hEvent) &
                                  ~static_cast<ULONG_PTR>(1));
}

typedef LONG(NTAPI* PfnNtQueryEvent)(HANDLE, int, PVOID, ULONG, PULONG);

// Whether an event is signalled, without consuming the signal.
bool IsSignalled(HANDLE hEvent) {
  static const PfnNtQueryEvent pfnQuery = reinterpret_cast<PfnNtQueryEvent>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryEvent")));
  if (pfnQuery) {
    struct {
      int eventType;
      LONG eventState;
    } info = {0, 0};
    if (pfnQuery(hEvent, 0 /* EventBasicInformation */, &info, sizeof(info), nullptr) >= 0) {
      return info.eventState != 0;
    }
  }
  // Take the signal and give it back.
  if (WaitForSingleObject(hEvent, 0) == WAIT_OBJECT_0) {
    SetEvent(hEvent);
    return true;
  }
  return false;
}

bool IsStandard(const VdPinInstance& instance) {
  return instance.ulInterfaceId == KSINTERFACE_STANDARD_STREAMING;
}

}  // namespace

int32_t VdCaptureSample(ULONGLONG ullFrame, WORD nChannel) {
  const uint32_t frame = static_cast<uint32_t>(ullFrame % kVdPatternFrameModulo);
  const uint32_t bits = ((nChannel & 15u) << 27) | ((frame & 0x7FFFFu) << 8) | ((frame >> 19) << 31);
  return static_cast<int32_t>(bits);
}

bool VdDecodeCaptureSample(int32_t sample, ULONG* pulFrameModulo, WORD* pnChannel) {
  const uint32_t bits = static_cast<uint32_t>(sample);
  if (bits & 0xFFu) {
    return false;
  }
  *pulFrameModulo = ((bits >> 8) & 0x7FFFFu) | ((bits >> 31) << 19);
  *pnChannel = static_cast<WORD>((bits >> 27) & 15u);
  return true;
}

CVdStreamEngine::CVdStreamEngine(VdMachine* pMachine, CRITICAL_SECTION* pcs, VdPinMap* pPins)
    : m_pMachine(pMachine),
      m_pcs(pcs),
      m_pPins(pPins),
      m_mode(VdClockMode::Stepped),
      m_bSkewing(false),
      m_ullFrame(0),
      m_stats(),
      m_bUnplugged(false),
      m_hActivity(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_hThread(nullptr),
      m_lStopThread(0),
      m_loopRing(kLoopRingFrames),
      m_bTimed(false),
      m_llTicksPerSecond(1),
      m_llClockTicks(0),
      m_ullClockFrame(0),
      m_llPausedTicks(0),
      m_llOvershootTicks(0),
      m_lateSignals(kLateSignalRing),
      m_cLateSignals(0),
      m_ulRandom(0),
      m_ulLagFrames(0),
      m_ullLagMillisecond(~0ull),
      m_ullClockRegister(0) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  m_llTicksPerSecond = frequency.QuadPart;
  for (LoopFrame& frame : m_loopRing) {
    frame.ullFrame = ~0ull;
  }
}

CVdStreamEngine::~CVdStreamEngine() {
  StopThread();
  CloseHandle(m_hActivity);
}

void CVdStreamEngine::CompleteRequest(const VdPendingIo& io, LONG lStatus, ULONG cbTransferred) {
  if (!io.bWrite && lStatus != kStatusSuccess) {
    io.pHeader->DataUsed = 0;
  }
  // The status last, as Windows writes it: a client that sees it set finds
  // the rest written.
  io.pOverlapped->InternalHigh = cbTransferred;
  MemoryBarrier();
  *static_cast<volatile ULONG_PTR*>(&io.pOverlapped->Internal) = static_cast<ULONG_PTR>(static_cast<ULONG>(lStatus));
  if (io.pOverlapped->hEvent) {
    SetEvent(EventOf(io.pOverlapped));
  }
}

// ------------------------------------------------------------------ clock

void CVdStreamEngine::SetMode(VdClockMode mode) {
  StopThread();
  EnterCriticalSection(m_pcs);
  m_mode = mode;
  const bool bStart = mode != VdClockMode::Stepped && !m_pPins->empty();
  LeaveCriticalSection(m_pcs);
  if (bStart) {
    StartThread();
  }
}

bool CVdStreamEngine::Step(ULONG ulFrames) {
  EnterCriticalSection(m_pcs);
  const bool bStepped = m_mode == VdClockMode::Stepped;
  const ULONGLONG ullTarget = m_ullFrame + ulFrames;
  LeaveCriticalSection(m_pcs);
  return bStepped && AdvanceTo(ullTarget, nullptr);
}

DWORD CVdStreamEngine::HostWaitMs() const {
  return m_mode == VdClockMode::RealTimeStrict || m_bSkewing ? 0 : m_pMachine->streaming.dwHostWaitMs;
}

bool CVdStreamEngine::AdvanceTo(ULONGLONG ullTarget, DWORD* pdwWaitedMs) {
  // A strict device's clock thread that fell behind shows where the device is
  // now, not every place it passed on the way: registers and announcements go
  // out once it is back at the present, as after a hardware interrupt that
  // came late. Were they published chunk by chunk, a reader would see the
  // device run round its buffer faster than real time, with turns that
  // neither its position nor its clock could tell.
  Advance advance;
  advance.pdwWaitedMs = pdwWaitedMs;
  advance.bCatchUp = pdwWaitedMs != nullptr && m_mode == VdClockMode::RealTimeStrict;
  for (;;) {
    if (m_lStopThread) {
      return false;
    }
    EnterCriticalSection(m_pcs);
    if (m_ullFrame >= ullTarget) {
      if (advance.bUnpublished) {
        Publish(RunningInstances());
      }
      LeaveCriticalSection(m_pcs);
      return advance.bOk;
    }
    std::vector<VdPinInstance*> running = RunningInstances();
    ULONGLONG ullChunk = std::min<ULONGLONG>(ullTarget - m_ullFrame,
                                             m_mode == VdClockMode::Stepped ? kSteppedChunkFrames : 1u << 20);
    ullChunk = std::min(ullChunk, NextScheduledFrame() - m_ullFrame);
    ULONGLONG ullStallEnd = 0, ullNextStall = ~0ull;
    if (InStall(m_ullFrame, &ullStallEnd, &ullNextStall)) {
      StallFor(running, std::min(ullChunk, ullStallEnd - m_ullFrame), ullStallEnd, advance);
      LeaveCriticalSection(m_pcs);
      continue;
    }
    ullChunk = std::min(ullChunk, ullNextStall - m_ullFrame);
    ULONG ulChunk = static_cast<ULONG>(ullChunk);
    for (VdPinInstance* pInstance : running) {
      ulChunk = std::min(ulChunk, FramesToBoundary(*pInstance));
    }
    if (WaitingForHost(running, ulChunk, advance) || SplitBoundaryFrames(running, advance)) {
      continue;  // the lock was left
    }
    for (VdPinInstance* pInstance : running) {
      RefreshConsumption(*pInstance);
      Process(*pInstance, ulChunk);
    }
    // Device time moves on before the registers do: a reader that times the
    // device never sees a position ahead of its clock.
    m_ullFrame += ulChunk;
    m_stats.ullFrame = m_ullFrame;
    PublishFor(running, advance);
    DeliverDue();
    LeaveCriticalSection(m_pcs);
  }
}

void CVdStreamEngine::PublishFor(const std::vector<VdPinInstance*>& running, Advance& advance) {
  if (advance.bCatchUp) {
    advance.bUnpublished = true;
  } else {
    Publish(running);
  }
}

void CVdStreamEngine::StallFor(const std::vector<VdPinInstance*>& running, ULONGLONG ullChunk,
                               ULONGLONG ullStallEnd, Advance& advance) {
  // Nothing moves and nobody is waited for until the stall ends.
  if (StallClamped(m_ullFrame) == m_ullFrame) BeginStall(running);
  m_ullFrame += ullChunk;
  m_stats.ullFrame = m_ullFrame;
  if (m_ullFrame == ullStallEnd) {
    EndStall(running, m_pMachine->streaming.ulStallMs * 48ull);
  }
  PublishFor(running, advance);
  DeliverDue();
}

void CVdStreamEngine::EndHostWait(Advance& advance) {
  const DWORD dwWaited = GetTickCount() - advance.dwWaitStart;
  m_stats.ulHostWaitMs += dwWaited;
  if (advance.pdwWaitedMs) {
    *advance.pdwWaitedMs += dwWaited;
    // Device time stood still meanwhile.
    m_llPausedTicks = static_cast<LONGLONG>(*advance.pdwWaitedMs) * m_llTicksPerSecond / 1000;
  }
  advance.bWaiting = false;
}

bool CVdStreamEngine::WaitingForHost(const std::vector<VdPinInstance*>& running, ULONG ulChunk,
                                     Advance& advance) {
  VdPinInstance* pNeedy = nullptr;
  for (VdPinInstance* pInstance : running) {
    if (HostWaitMs() && NeedsHost(*pInstance, ulChunk)) {
      pNeedy = pInstance;
      break;
    }
  }
  if (pNeedy && !m_scheduled.empty()) {
    // A device about to wait for its host first signals what it holds
    // back: the host cannot answer a signal it has not had.
    DeliverScheduled(nullptr);
    LeaveCriticalSection(m_pcs);
    return true;
  }
  if (!pNeedy) {
    if (advance.bWaiting) EndHostWait(advance);
    m_bAwaitingRequest = false;
    return false;
  }
  if (!advance.bWaiting) {
    advance.bWaiting = true;
    advance.dwWaitStart = GetTickCount();
    ++m_stats.ulHostWaits;
    // Time passes while it waits: registers that lag or step catch up.
    for (VdPinInstance* pInstance : running) CatchUp(*pInstance);
  }
  if (GetTickCount() - advance.dwWaitStart >= HostWaitMs()) {
    // The host is gone: go on as hardware would, until it is back.
    pNeedy->bHostGone = true;
    ++m_stats.ulHostWaitTimeouts;
    EndHostWait(advance);
    advance.bOk = false;
    LeaveCriticalSection(m_pcs);
    return true;
  }
  m_bAwaitingRequest = true;
  LeaveCriticalSection(m_pcs);
  WaitForSingleObject(m_hActivity, 1);
  return true;
}

bool CVdStreamEngine::SplitBoundaryFrames(const std::vector<VdPinInstance*>& running, Advance& advance) {
  // A half that ends inside the next frame: the frame's head goes first and
  // the half is announced, so that the device waits for its host before the
  // tail goes into the other half, which the host may still be reading.
  bool bSplit = false;
  for (VdPinInstance* pInstance : running) {
    if (!IsStandard(*pInstance) && pInstance->ulRingSamples && pInstance->nFrameDone == 0 &&
        !Silent(*pInstance) && SamplesToBoundary(*pInstance) < pInstance->nChannels) {
      MoveLoopedSamples(*pInstance, m_ullFrame, static_cast<WORD>(SamplesToBoundary(*pInstance)));
      bSplit = true;
    }
  }
  if (bSplit) {
    PublishFor(running, advance);
    LeaveCriticalSection(m_pcs);
  }
  return bSplit;
}

std::vector<VdPinInstance*> CVdStreamEngine::RunningInstances() {
  std::vector<VdPinInstance*> running;
  for (auto& entry : *m_pPins) {
    VdPinInstance* pInstance = entry.second.get();
    if (pInstance->state == KSSTATE_RUN && pInstance->cbFrame) {
      running.push_back(pInstance);
    }
  }
  // Renders play first, so that a loopback hears them in the same frame.
  std::stable_partition(running.begin(), running.end(),
                        [](const VdPinInstance* p) { return p->bRender; });
  return running;
}

namespace {

// The bytes a read may take, and the whole frames a request has left.
ULONG ReadLimit(const VdPendingIo& io, const VdStreamingConfig& config) {
  ULONG cbLimit = io.pHeader->FrameExtent;
  if (config.cbShortRead && config.cbShortRead < cbLimit) {
    cbLimit = config.cbShortRead;
  }
  return cbLimit;
}

ULONG FramesLeft(const VdPinInstance& instance, const VdPendingIo& io,
                 const VdStreamingConfig& config) {
  const ULONG cbLimit = io.bWrite ? io.pHeader->DataUsed : ReadLimit(io, config);
  return cbLimit > io.cbDone ? (cbLimit - io.cbDone) / instance.cbFrame : 0;
}

}  // namespace

ULONG CVdStreamEngine::FramesToBoundary(const VdPinInstance& instance) const {
  if (Silent(instance) || m_pMachine->streaming.bHang) {
    return kNoBoundary;
  }
  if (IsStandard(instance)) {
    if (instance.pending.empty()) {
      return kNoBoundary;
    }
    const ULONG ulHeld = instance.ullHoldWritesUntil > m_ullFrame
                             ? static_cast<ULONG>(instance.ullHoldWritesUntil - m_ullFrame)
                             : 0;
    return std::max(1ul, ulHeld + FramesLeft(instance, instance.pending.front(), m_pMachine->streaming));
  }
  if (!instance.ulRingSamples) {
    return kNoBoundary;
  }
  // Frames up to the boundary, ending before a frame the boundary splits
  // (AdvanceTo moves that frame's head on its own).
  const ULONG ulToBoundary = SamplesToBoundary(instance);
  const ULONG ulFirst = instance.nChannels - instance.nFrameDone;
  if (ulToBoundary <= ulFirst) {
    return 1;
  }
  return 1 + (ulToBoundary - ulFirst) / instance.nChannels;
}

ULONG CVdStreamEngine::SamplesToBoundary(const VdPinInstance& instance) {
  const ULONG ulHalf = instance.ulRingSamples / 2;
  return instance.ulRingPos < ulHalf ? ulHalf - instance.ulRingPos
                                     : instance.ulRingSamples - instance.ulRingPos;
}

bool CVdStreamEngine::NeedsHost(VdPinInstance& instance, ULONG ulChunk) {
  bool bNeed = false;
  if (!Silent(instance) && !m_pMachine->streaming.bHang) {
    if (IsStandard(instance)) {
      // Never let the queue run dry while the host keeps up.
      bNeed = instance.pending.empty() ||
              (instance.pending.size() == 1 &&
               ulChunk >= FramesLeft(instance, instance.pending.front(), m_pMachine->streaming));
    } else if (HeldBack(instance)) {
      // Held back by the jitter: signalled at once, then waited for.
      bNeed = true;
    } else if (instance.bAwaitingConsumption) {
      for (HANDLE hEvent : instance.events) {
        bNeed |= IsSignalled(hEvent);
      }
      instance.bAwaitingConsumption = bNeed;
    }
  }
  if (!bNeed) {
    instance.bHostGone = false;
    return false;
  }
  return !instance.bHostGone;
}

void CVdStreamEngine::Process(VdPinInstance& instance, ULONG ulFrames) {
  for (ULONG f = 0; f < ulFrames; ++f) {
    if (IsStandard(instance)) {
      ProcessStandard(instance, m_ullFrame + f);
    } else {
      ProcessLooped(instance, m_ullFrame + f);
    }
  }
}

void CVdStreamEngine::ProcessStandard(VdPinInstance& instance, ULONGLONG ullFrame) {
  if (Silent(instance)) {
    return;
  }
  const VdStreamingConfig& config = m_pMachine->streaming;
  const ULONG cbFrame = instance.cbFrame;
  int32_t frame[kMaxStreamChannels] = {};
  if (instance.bRender) {
    if (!config.bHang) {
      // Writes without a whole frame left are done.
      while (!instance.pending.empty() && FramesLeft(instance, instance.pending.front(), config) == 0) {
        const VdPendingIo io = instance.pending.front();
        instance.pending.pop_front();
        Complete(instance, io, io.pHeader->DataUsed, ullFrame - 1);
      }
      if (instance.pending.empty() || ullFrame < instance.ullHoldWritesUntil) {
        ++m_stats.ullUnderrunFrames;
      } else {
        VdPendingIo& io = instance.pending.front();
        memcpy(frame, static_cast<BYTE*>(io.pHeader->Data) + io.cbDone, cbFrame);
        io.cbDone += cbFrame;
        ++instance.ullStreamFrames;
        if (FramesLeft(instance, io, config) == 0) {
          const VdPendingIo done = io;
          instance.pending.pop_front();
          Complete(instance, done, done.pHeader->DataUsed, ullFrame);
        }
      }
    }
    Played(instance, ullFrame, frame);
    return;
  }

  if (config.bHang) {
    return;
  }
  // A read completes with what it holds, a short read with the first
  // samples of the next frame after its whole frames.
  auto finishRead = [&](VdPendingIo& io) {
    const ULONG cbLimit = ReadLimit(io, config);
    const ULONG cbPartial = cbLimit > io.cbDone ? (cbLimit - io.cbDone) / 4 * 4 : 0;
    for (ULONG i = 0; i < cbPartial / 4; ++i) {
      const int32_t sample = CaptureSample(instance, ullFrame + 1, static_cast<WORD>(i));
      memcpy(static_cast<BYTE*>(io.pHeader->Data) + io.cbDone + 4 * i, &sample, 4);
    }
    io.cbDone += cbPartial;
    io.pHeader->DataUsed = io.cbDone + config.cbDataUsedExcess;
    const VdPendingIo done = io;
    instance.pending.pop_front();
    Complete(instance, done, done.cbDone, ullFrame);
  };
  while (!instance.pending.empty() && FramesLeft(instance, instance.pending.front(), config) == 0) {
    finishRead(instance.pending.front());
  }
  if (ullFrame == config.ullLoseCaptureFrame) {
    instance.bLostFrames = true;
    return;
  }
  if (instance.pending.empty()) {
    ++m_stats.ullOverrunFrames;
    instance.bLostFrames = true;
    return;
  }
  VdPendingIo& io = instance.pending.front();
  // The read that takes the first frame after frames were lost says its data
  // does not follow on from the read before.
  if (instance.bLostFrames) {
    io.pHeader->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
    instance.bLostFrames = false;
  }
  for (WORD c = 0; c < instance.nChannels; ++c) {
    frame[c] = CaptureSample(instance, ullFrame, c);
  }
  if (io.cbDone == 0 && config.bStampReads) {
    // The device clock's time of the read's first frame, in 100 ns.
    io.pHeader->PresentationTime.Time = static_cast<LONGLONG>((ullFrame * 10000000 + 24000) / 48000);
    io.pHeader->PresentationTime.Numerator = 1;
    io.pHeader->PresentationTime.Denominator = 1;
    io.pHeader->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
  }
  memcpy(static_cast<BYTE*>(io.pHeader->Data) + io.cbDone, frame, cbFrame);
  io.cbDone += cbFrame;
  ++instance.ullStreamFrames;
  if (FramesLeft(instance, io, config) == 0) {
    finishRead(io);
  }
}

void CVdStreamEngine::ProcessLooped(VdPinInstance& instance, ULONGLONG ullFrame) {
  MoveLoopedSamples(instance, ullFrame, instance.nChannels);
}

void CVdStreamEngine::MoveLoopedSamples(VdPinInstance& instance, ULONGLONG ullFrame, WORD nUpTo) {
  if (Silent(instance) || !instance.pBuffer || !instance.ulRingSamples) {
    return;
  }
  int32_t* pRing = reinterpret_cast<int32_t*>(instance.pBuffer);
  const ULONG ulHalf = instance.ulRingSamples / 2;
  bool bCrossed = false;
  int iHalfLeft = 0;
  if (instance.nFrameDone == 0 && nUpTo > 0) {
    NoteMoveIntoHalf(instance);
  }
  for (WORD c = instance.nFrameDone; c < nUpTo && c < kMaxStreamChannels; ++c) {
    if (instance.bRender) {
      instance.frameHead[c] = pRing[instance.ulRingPos];
    } else {
      pRing[instance.ulRingPos] = CaptureSample(instance, ullFrame, c);
    }
    ++instance.ullMovedSamples;
    if (++instance.ulRingPos == instance.ulRingSamples) {
      instance.ulRingPos = 0;
    }
    if (instance.ulRingPos == ulHalf || instance.ulRingPos == 0) {
      bCrossed = true;
      iHalfLeft = instance.ulRingPos == ulHalf ? 0 : 1;
    }
  }
  instance.nFrameDone = nUpTo;
  if (nUpTo == instance.nChannels) {
    instance.nFrameDone = 0;
    ++instance.ullStreamFrames;
    if (instance.bRender) {
      Played(instance, ullFrame, instance.frameHead);
    }
  }
  if (bCrossed && !m_pMachine->streaming.bHang) {
    // A crossing not yet announced goes out together with this one: it is
    // timed now.
    if (instance.bNotifyPending) {
      NoteSignal(instance.ullNotifyFrame, instance);
    }
    instance.bNotifyPending = true;
    instance.iNotifyHalf = iHalfLeft;
    instance.ullNotifyFrame = ullFrame;
  }
}

void CVdStreamEngine::Publish(const std::vector<VdPinInstance*>& running) {
  // Every register first, then the events (each a system call): a reader
  // never sees one pin's position a chunk ahead of another's.
  m_ullClockRegister = m_ullFrame;
  for (VdPinInstance* pInstance : running) {
    if (!IsStandard(*pInstance) && !Silent(*pInstance) && !m_pMachine->streaming.bHang) {
      ShowPosition(*pInstance);
    }
  }
  for (VdPinInstance* pInstance : running) {
    VdPinInstance& instance = *pInstance;
    if (IsStandard(instance) || Silent(instance)) {
      continue;
    }
    if (!instance.bNotifyPending) {
      continue;
    }
    instance.bNotifyPending = false;
    Announce(instance, instance.iNotifyHalf, instance.ullNotifyFrame);
  }
}

void CVdStreamEngine::AnnounceNow(VdPinInstance& instance, int iHalfLeft, ULONGLONG ullFrame) {
  bool bTaken = true;
  for (HANDLE hEvent : instance.events) {
    if (IsSignalled(hEvent)) {
      ++m_stats.ulMissedNotifications;
      bTaken = false;
    }
    SetEvent(hEvent);
  }
  ++m_stats.ulNotifications;
  instance.bAwaitingConsumption = !instance.events.empty();
  // The host has taken every earlier notification if none is still
  // signalled; the half just left is announced: read (capture) or refill
  // (render) it.
  if (bTaken) {
    instance.abUnconsumed[0] = instance.abUnconsumed[1] = false;
  }
  instance.abUnconsumed[iHalfLeft] = !instance.events.empty();
  // Timed once every event is set: a signal the system delivers late is late.
  NoteSignal(ullFrame, instance);
}

ULONG CVdStreamEngine::DelayFrames(const VdPinInstance& instance) const {
  return m_pMachine->filters[instance.iFilter].pins[instance.iPin].ulDelayFrames;
}

// A looped-back channel hears what reached the render converter when this
// frame left the capture converter.
int32_t CVdStreamEngine::CaptureSample(const VdPinInstance& instance, ULONGLONG ullFrame,
                                       WORD nChannel) const {
  for (const VdLoopback& loopback : m_pMachine->streaming.loopbacks) {
    if (loopback.nCaptureChannel == nChannel) {
      const ULONG ulDelay = DelayFrames(instance);
      if (ullFrame < ulDelay) return 0;
      const ULONGLONG ullHeard = ullFrame - ulDelay;
      const LoopFrame& played = m_loopRing[ullHeard % kLoopRingFrames];
      return played.ullFrame == ullHeard && loopback.nRenderChannel < 8
                 ? played.samples[loopback.nRenderChannel]
                 : 0;
    }
  }
  return VdCaptureSample(ullFrame, nChannel);
}

void CVdStreamEngine::Played(VdPinInstance& instance, ULONGLONG ullFrame, const int32_t* pFrame) {
  if (instance.iRecording >= 0) {
    VdRecording& recording = m_recordings[instance.iRecording];
    if (recording.samples.size() / instance.nChannels < m_pMachine->streaming.ulRecordFramesMax) {
      recording.samples.insert(recording.samples.end(), pFrame, pFrame + instance.nChannels);
    }
  }
  // Indexed by the frame the sample reaches the converter.
  const ULONGLONG ullOut = ullFrame + DelayFrames(instance);
  LoopFrame& played = m_loopRing[ullOut % kLoopRingFrames];
  played.ullFrame = ullOut;
  for (WORD c = 0; c < 8; ++c) {
    played.samples[c] = c < instance.nChannels ? static_cast<int32_t>(pFrame[c] & ~0xFF) : 0;
  }
}

// ------------------------------------------------------------ pin changes

void CVdStreamEngine::OnStateChange(VdPinInstance* pInstance, KSSTATE newState) {
  if (newState == KSSTATE_STOP) {
    DeliverScheduled(pInstance->hPin);
    pInstance->ullMovedSamples = 0;
    pInstance->ullShownSamples = 0;
    pInstance->ullStreamFrames = 0;
    pInstance->ullHoldWritesUntil = 0;
    pInstance->bNotifyPending = false;
    pInstance->bLostFrames = false;
    pInstance->ulRingPos = 0;
    pInstance->nFrameDone = 0;
    pInstance->ulPositionRegister = 0;
    pInstance->bAwaitingConsumption = false;
    pInstance->abUnconsumed[0] = pInstance->abUnconsumed[1] = false;
    pInstance->iRecording = -1;
    return;
  }
  if (newState != KSSTATE_RUN || pInstance->state == KSSTATE_RUN) {
    return;
  }
  // The time this start takes passes first, for the pins already running.
  if (m_mode == VdClockMode::Stepped && m_pMachine->streaming.ulRunSkewFrames) {
    m_bSkewing = true;
    AdvanceTo(m_ullFrame + m_pMachine->streaming.ulRunSkewFrames, nullptr);
    m_bSkewing = false;
  }
  pInstance->cbFrame = 0;
  pInstance->nChannels = 0;
  if (pInstance->format.size() >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) {
    WAVEFORMATEX wfx;
    memcpy(&wfx, pInstance->format.data() + sizeof(KSDATAFORMAT), sizeof(wfx));
    // Only the Vor OD's 32-bit containers stream.
    if (wfx.wBitsPerSample == 32 && wfx.nChannels >= 1 && wfx.nChannels <= kMaxStreamChannels) {
      pInstance->nChannels = wfx.nChannels;
      pInstance->cbFrame = wfx.nChannels * 4u;
    }
  }
  pInstance->bRender =
      m_pMachine->filters[pInstance->iFilter].pins[pInstance->iPin].ulDataFlow == KSPIN_DATAFLOW_IN;
  pInstance->ulRingSamples = (pInstance->cbBuffer & ~7u) / 4;
  if (pInstance->ulRingPos >= pInstance->ulRingSamples) {
    pInstance->ulRingPos = 0;
    pInstance->nFrameDone = 0;
  }
  pInstance->bHostGone = false;
  if (pInstance->bRender && pInstance->cbFrame && m_pMachine->streaming.ulRecordFramesMax) {
    VdRecording recording;
    recording.hPin = pInstance->hPin;
    recording.iFilter = pInstance->iFilter;
    recording.ullFirstFrame = m_ullFrame;
    recording.nChannels = pInstance->nChannels;
    m_recordings.push_back(recording);
    pInstance->iRecording = static_cast<int>(m_recordings.size() - 1);
  }
  if (m_mode != VdClockMode::Stepped && !m_hThread) {
    StartThread();
  }
}

void CVdStreamEngine::Unplug() {
  DeliverScheduled(nullptr);
  m_bUnplugged = true;
  for (auto& entry : *m_pPins) {
    entry.second->bGone = true;
    std::deque<VdPendingIo>& pending = entry.second->pending;
    while (!pending.empty()) {
      CompleteRequest(pending.front(), kStatusDeviceNotConnected, 0);
      pending.pop_front();
    }
  }
}

void CVdStreamEngine::RefreshConsumption(VdPinInstance& instance) {
  if (instance.abUnconsumed[0] || instance.abUnconsumed[1]) {
    bool bSignalled = false;
    for (HANDLE hEvent : instance.events) {
      bSignalled |= IsSignalled(hEvent);
    }
    if (!bSignalled) {
      instance.abUnconsumed[0] = instance.abUnconsumed[1] = false;
    }
  }
}

void CVdStreamEngine::NoteMoveIntoHalf(VdPinInstance& instance) {
  if (instance.abUnconsumed[instance.ulRingPos < instance.ulRingSamples / 2 ? 0 : 1]) {
    ++(instance.bRender ? m_stats.ullUnconsumedPlayedFrames : m_stats.ullOverwrittenFrames);
  }
}
