// The rough edges of USB hardware in the virtual device: position registers
// that step and lag, signals that come late, stalls, and a clock that runs
// off the performance counter. See "Rough edges" in VirtualDevice.h.
#include "virtual-device/VdStreamEngine.h"

#include <algorithm>

namespace {

const LONG kStatusSuccess = 0;
const ULONG kFramesPerMillisecond = 48;

ULONG FramesIn(ULONG ulMicroseconds) {
  return static_cast<ULONG>(static_cast<ULONGLONG>(ulMicroseconds) * kFramesPerMillisecond / 1000);
}

}  // namespace

ULONG CVdStreamEngine::Random(ULONG ulBound) {
  if (m_ulRandom == 0) {
    m_ulRandom = m_pMachine->streaming.ulRandomSeed != 0 ? m_pMachine->streaming.ulRandomSeed : 1;
  }
  // xorshift32: repeatable for a seed, good enough for timing noise.
  m_ulRandom ^= m_ulRandom << 13;
  m_ulRandom ^= m_ulRandom >> 17;
  m_ulRandom ^= m_ulRandom << 5;
  return ulBound != 0 ? m_ulRandom % ulBound : 0;
}

ULONG CVdStreamEngine::JitterFrames() {
  const ULONG ulMost = FramesIn(m_pMachine->streaming.ulSignalJitterUs);
  return ulMost != 0 ? Random(ulMost + 1) : 0;
}

void CVdStreamEngine::ShowPosition(VdPinInstance& instance) {
  const VdStreamingConfig& config = m_pMachine->streaming;
  // One lag for the whole device, drawn afresh each millisecond of its time.
  const ULONGLONG ullMillisecond = m_ullFrame / kFramesPerMillisecond;
  if (ullMillisecond != m_ullLagMillisecond) {
    m_ullLagMillisecond = ullMillisecond;
    const ULONG ulMost = FramesIn(config.ulRegisterLagUs);
    m_ulLagFrames = ulMost != 0 ? Random(ulMost + 1) : 0;
  }
  // The register shows the pin where it was at device frame `shown`: that
  // long ago, on the step before.
  ULONGLONG ullShown = m_ullFrame > m_ulLagFrames ? m_ullFrame - m_ulLagFrames : 0;
  if (config.ulPositionStepFrames > 1) {
    ullShown -= ullShown % config.ulPositionStepFrames;
  }
  // The pin moved a frame's samples each frame, none inside a stall (and a
  // stall's jump made up for its frames).
  const ULONGLONG ullBehind = (StallClamped(m_ullFrame) - StallClamped(ullShown)) * instance.nChannels;
  const ULONGLONG ullSamples =
      instance.ullMovedSamples > ullBehind ? instance.ullMovedSamples - ullBehind : 0;
  instance.ullShownSamples = std::max(instance.ullShownSamples, ullSamples);
  instance.ulPositionRegister =
      instance.ulRingSamples != 0
          ? static_cast<ULONG>(instance.ullShownSamples % instance.ulRingSamples) * 4
          : 0;
}

void CVdStreamEngine::CatchUp(VdPinInstance& instance) {
  if (IsLooped(instance) && !Silent(instance) && instance.ulRingSamples != 0) {
    instance.ullShownSamples = std::max(instance.ullShownSamples, instance.ullMovedSamples);
    instance.ulPositionRegister = static_cast<ULONG>(instance.ullShownSamples % instance.ulRingSamples) * 4;
  }
}

bool CVdStreamEngine::InStall(ULONGLONG ullFrame, ULONGLONG* pullEnd,
                              ULONGLONG* pullNextStart) const {
  const VdStreamingConfig& config = m_pMachine->streaming;
  *pullNextStart = ~0ull;
  if (config.ulStallMs == 0 || config.ulStallEveryMs == 0) {
    return false;
  }
  const ULONGLONG ullEvery = static_cast<ULONGLONG>(config.ulStallEveryMs) * kFramesPerMillisecond;
  const ULONGLONG ullLength =
      std::min<ULONGLONG>(config.ulStallMs, config.ulStallEveryMs) * kFramesPerMillisecond;
  const ULONGLONG ullStart = ullFrame / ullEvery * ullEvery;
  if (ullStart != 0 && ullFrame < ullStart + ullLength) {
    *pullEnd = ullStart + ullLength;
    return true;
  }
  *pullNextStart = ullStart + ullEvery;
  return false;
}

ULONGLONG CVdStreamEngine::StallClamped(ULONGLONG ullFrame) const {
  ULONGLONG ullEnd = 0, ullNext = 0;
  if (!InStall(ullFrame, &ullEnd, &ullNext)) return ullFrame;
  const VdStreamingConfig& config = m_pMachine->streaming;
  return ullEnd - std::min<ULONGLONG>(config.ulStallMs, config.ulStallEveryMs) * kFramesPerMillisecond;
}

void CVdStreamEngine::BeginStall(const std::vector<VdPinInstance*>& running) {
  // A read ends where its frames stop following on: what it holds so far.
  for (VdPinInstance* pInstance : running) {
    VdPinInstance& instance = *pInstance;
    if (Silent(instance) || IsLooped(instance) || instance.bRender || instance.pending.empty() ||
        instance.pending.front().cbDone == 0)
      continue;
    const VdPendingIo io = instance.pending.front();
    instance.pending.pop_front();
    io.pHeader->DataUsed = io.cbDone;
    Complete(instance, io, io.cbDone, m_ullFrame - 1);
  }
}

void CVdStreamEngine::EndStall(const std::vector<VdPinInstance*>& running, ULONGLONG ullFrames) {
  ++m_stats.ulStalls;
  m_stats.ullStalledFrames += ullFrames;
  const ULONGLONG ullFirst = m_ullFrame - ullFrames;
  const int32_t silence[64] = {};
  for (VdPinInstance* pInstance : running) {
    VdPinInstance& instance = *pInstance;
    if (Silent(instance)) continue;
    if (instance.ulInterfaceId == KSINTERFACE_STANDARD_STREAMING) {
      if (!instance.bRender) {
        instance.bLostFrames = true;
        continue;
      }
      // What was queued for the stalled frames is dropped.
      for (ULONGLONG f = 0; f < ullFrames; ++f) {
        while (!instance.pending.empty() &&
               instance.pending.front().cbDone + instance.cbFrame > instance.pending.front().pHeader->DataUsed) {
          const VdPendingIo io = instance.pending.front();
          instance.pending.pop_front();
          Complete(instance, io, io.pHeader->DataUsed, m_ullFrame - 1);
        }
        if (!instance.pending.empty()) {
          instance.pending.front().cbDone += instance.cbFrame;
          ++instance.ullStreamFrames;
        }
        Played(instance, ullFirst + f, silence);
      }
      // A queue the stall emptied is the device's doing: it plays silence
      // until the host queues again, without waiting for it.
      instance.bHostGone = instance.pending.empty();
      continue;
    }
    if (instance.ulRingSamples == 0) continue;
    if (instance.bRender) {
      for (ULONGLONG f = 0; f < ullFrames; ++f) Played(instance, ullFirst + f, silence);
    }
    // On at the frame the clock reached, nothing moved in between; the last
    // half boundary the jump crossed is announced.
    const ULONG ulHalf = instance.ulRingSamples / 2;
    const ULONGLONG ullJump = ullFrames * instance.nChannels;
    const bool bCrossed = ullJump >= SamplesToBoundary(instance);
    instance.ulRingPos = static_cast<ULONG>((instance.ulRingPos + ullJump) % instance.ulRingSamples);
    instance.ullMovedSamples += ullJump;
    instance.ullStreamFrames += ullFrames;
    if (bCrossed) {
      instance.bNotifyPending = true;
      instance.iNotifyHalf = instance.ulRingPos >= ulHalf ? 0 : 1;
      instance.ullNotifyFrame = m_ullFrame - 1;
    }
  }
}

// --------------------------------------------------------- late signals

void CVdStreamEngine::Announce(VdPinInstance& instance, int iHalfLeft, ULONGLONG ullFrame) {
  const ULONG ulLate = JitterFrames();
  if (ulLate == 0) {
    AnnounceNow(instance, iHalfLeft, ullFrame);
    return;
  }
  Scheduled signal = {};
  signal.ullDue = m_ullFrame + ulLate;
  signal.hPin = instance.hPin;
  signal.iHalfLeft = iHalfLeft;
  signal.ullFrame = ullFrame;
  m_scheduled.push_back(signal);
}

void CVdStreamEngine::Complete(VdPinInstance& instance, const VdPendingIo& io, ULONG cbTransferred,
                               ULONGLONG ullFrame) {
  ++(io.bWrite ? m_stats.ulCompletedWrites : m_stats.ulCompletedReads);
  const ULONG ulLate = JitterFrames();
  if (ulLate == 0) {
    CompleteRequest(io, kStatusSuccess, cbTransferred);
    NoteSignal(ullFrame, instance);
    return;
  }
  Scheduled signal = {};
  signal.ullDue = ullFrame + 1 + ulLate;
  signal.hPin = instance.hPin;
  signal.bCompletion = true;
  signal.io = io;
  signal.cbTransferred = cbTransferred;
  signal.ullFrame = ullFrame;
  m_scheduled.push_back(signal);
}

bool CVdStreamEngine::HeldBack(const VdPinInstance& instance) const {
  for (const Scheduled& signal : m_scheduled)
    if (!signal.bCompletion && signal.hPin == instance.hPin) return true;
  return false;
}

ULONGLONG CVdStreamEngine::NextScheduledFrame() const {
  ULONGLONG ullNext = ~0ull;
  for (const Scheduled& signal : m_scheduled) ullNext = std::min(ullNext, signal.ullDue);
  return std::max(ullNext, m_ullFrame + 1);
}

void CVdStreamEngine::DeliverDue() {
  // In the order they fall due.
  for (;;) {
    auto it = std::min_element(m_scheduled.begin(), m_scheduled.end(),
                               [](const Scheduled& a, const Scheduled& b) { return a.ullDue < b.ullDue; });
    if (it == m_scheduled.end() || it->ullDue > m_ullFrame) return;
    const Scheduled signal = *it;
    m_scheduled.erase(it);
    auto pin = m_pPins->find(signal.hPin);
    VdPinInstance* pInstance = pin != m_pPins->end() ? pin->second.get() : nullptr;
    if (signal.bCompletion) {
      CompleteRequest(signal.io, kStatusSuccess, signal.cbTransferred);
      if (pInstance) NoteSignal(signal.ullFrame, *pInstance);
      continue;
    }
    if (pInstance) AnnounceNow(*pInstance, signal.iHalfLeft, signal.ullFrame);
  }
}

void CVdStreamEngine::DeliverScheduled(HANDLE hPin) {
  for (Scheduled& signal : m_scheduled) {
    if (hPin == nullptr || signal.hPin == hPin) signal.ullDue = 0;
  }
  DeliverDue();
}

// ------------------------------------------------------------- the clock

double CVdStreamEngine::FramesPerTick() const {
  return 48000.0 * (1.0 + m_pMachine->streaming.lClockPpm * 1e-6) /
         static_cast<double>(m_llTicksPerSecond);
}

uint64_t CVdStreamEngine::PerformanceCounterMicroseconds() const {
  const double dRate = 48000.0 * (1.0 + m_pMachine->streaming.lClockPpm * 1e-6);
  return static_cast<uint64_t>(static_cast<double>(m_ullFrame) * 1e6 / dRate);
}
