#include "tools/StreamSession.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "tools/AsioNames.h"
#include "tools/DriverReport.h"
#include "tools/SampleFormat.h"

namespace {

constexpr long kMaxRecordedSwitches = 4 << 20;
constexpr double kToneLevel = 0.1 * 2147483648.0;  // -20 dBFS
constexpr double kPi = 3.14159265358979323846;

int64_t Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

int64_t TicksPerSecond() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

double Seconds(int64_t ticks) {
  return static_cast<double>(ticks) / static_cast<double>(TicksPerSecond());
}

int64_t Join(const ASIOSamples& samples) {
  return static_cast<int64_t>((static_cast<uint64_t>(samples.hi) << 32) | samples.lo);
}

std::string DriverMessage(IASIO* driver) {
  const std::string message = ReadErrorMessage(driver);
  return message.empty() ? std::string() : " (driver says \"" + message + "\")";
}

std::string ChannelList(const std::vector<StreamChannel>& channels) {
  ChannelSelection selection;
  selection.all = false;
  for (const StreamChannel& channel : channels) selection.channels.push_back(channel.channel);
  return DescribeSelection(selection);
}

std::string Format(const char* format, double value) {
  char text[64];
  snprintf(text, sizeof(text), format, value);
  return text;
}

}  // namespace

std::atomic<CStreamSession*> CStreamSession::s_active{nullptr};
std::atomic<bool> CStreamSession::s_interrupted{false};

CStreamSession::CStreamSession(IASIO* driver)
    : m_driver(driver), m_clicks(48000, 1), m_callbacks() {
  m_callbacks.bufferSwitch = &CStreamSession::BufferSwitch;
  m_callbacks.sampleRateDidChange = &CStreamSession::SampleRateDidChange;
  m_callbacks.asioMessage = &CStreamSession::AsioMessage;
  m_callbacks.bufferSwitchTimeInfo = &CStreamSession::BufferSwitchTimeInfo;
}

CStreamSession::~CStreamSession() {
  CStreamSession* self = this;
  s_active.compare_exchange_strong(self, nullptr);
  if (m_wake != nullptr) CloseHandle(m_wake);
}

bool CStreamSession::Prepare(const StreamPlan& plan, RunFailure* failure) {
  if (plan.bufferFrames <= 0 || plan.bufferFrames > kMaxBufferFrames ||
      !(plan.sampleRate > 0 && plan.sampleRate < 1e7) ||
      !(plan.seconds > 0 && plan.seconds <= kMaxStreamSeconds)) {
    *failure = {kExitUsage, "cannot stream " + Format("%g", plan.seconds) + " s of " +
                                std::to_string(plan.bufferFrames) + "-frame buffers at " +
                                Format("%g", plan.sampleRate) + " Hz"};
    return false;
  }
  m_plan = plan;
  const long frames = plan.bufferFrames;
  m_clicks = CClickSchedule(plan.sampleRate, frames);
  const double expected = plan.seconds * plan.sampleRate / frames;
  m_capacity =
      static_cast<long>(std::min<double>(std::ceil(expected * 1.25) + 64, kMaxRecordedSwitches));
  const uint64_t captureSamples = plan.keepCapture ? static_cast<uint64_t>(plan.inputs.size()) *
                                                         static_cast<uint64_t>(m_capacity) *
                                                         static_cast<uint64_t>(frames)
                                                   : 0;
  if (captureSamples * sizeof(int32_t) > kMaxCaptureBytes) {
    *failure = {kExitUsage, "recording " + std::to_string(plan.inputs.size()) + " inputs for " +
                                Format("%.1f", plan.seconds) + " s needs " +
                                std::to_string(captureSamples * sizeof(int32_t) >> 20) +
                                " MB of memory, more than the " +
                                std::to_string(kMaxCaptureBytes >> 20) +
                                " MB allowed: record fewer inputs or a shorter run"};
    return false;
  }
  try {
    m_switchTicks.assign(static_cast<size_t>(m_capacity), 0);
    m_positions.assign(static_cast<size_t>(m_capacity), -1);
    m_capture.assign(static_cast<size_t>(captureSamples), 0);
    m_scratch.assign(static_cast<size_t>(frames), 0);
    m_signal.assign(static_cast<size_t>(frames), 0);
    m_peaks.assign(plan.inputs.size(), 0);
    m_bufferInfos.clear();
    for (const StreamChannel& input : plan.inputs)
      m_bufferInfos.push_back({ASIOTrue, input.channel, {nullptr, nullptr}});
    for (const StreamChannel& output : plan.outputs)
      m_bufferInfos.push_back({ASIOFalse, output.channel, {nullptr, nullptr}});
  } catch (const std::bad_alloc&) {
    *failure = {kExitUsage, "not enough memory for the run: record fewer inputs or a shorter run"};
    return false;
  }
  m_tonePhaseStep = 2 * kPi * plan.toneHz / plan.sampleRate;
  if (m_wake == nullptr) m_wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (m_wake == nullptr) {
    *failure = {kExitRunFailed, "cannot create an event: " + DescribeWin32Error(GetLastError())};
    return false;
  }
  return true;
}

const int32_t* CStreamSession::Capture(size_t input) const {
  if (!m_plan.keepCapture || input >= m_plan.inputs.size()) return nullptr;
  return m_capture.data() +
         input * static_cast<size_t>(m_capacity) * static_cast<size_t>(m_plan.bufferFrames);
}

int32_t* CStreamSession::CaptureOf(size_t input) {
  return m_capture.data() +
         input * static_cast<size_t>(m_capacity) * static_cast<size_t>(m_plan.bufferFrames);
}

void CStreamSession::Interrupt() { s_interrupted = true; }

void CStreamSession::Fail(StreamResult* result, int exitCode, const std::string& message) {
  result->failures.push_back({exitCode, message});
}

StreamResult CStreamSession::Run() {
  StreamResult result;
  CStreamSession* none = nullptr;
  if (m_driver == nullptr || m_wake == nullptr || m_ran ||
      !s_active.compare_exchange_strong(none, this)) {
    Fail(&result, kExitRunFailed,
         "no run prepared, this session has run already, or another run is active");
    return result;
  }
  m_ran = true;
  ResetEvent(m_wake);

  const long frames = m_plan.bufferFrames;
  const long channels = static_cast<long>(m_bufferInfos.size());
  const std::string what = std::to_string(channels) + " channels (inputs " +
                           ChannelList(m_plan.inputs) + ", outputs " + ChannelList(m_plan.outputs) +
                           "), " + std::to_string(frames) + " frames";
  ASIOError error = m_driver->createBuffers(m_bufferInfos.data(), channels, frames, &m_callbacks);
  if (error != ASE_OK) {
    Fail(&result, kExitDriverRefused,
         "createBuffers for " + what + " refused: " + AsioErrorName(error) +
             DriverMessage(m_driver));
    s_active = nullptr;
    return result;
  }
  for (const ASIOBufferInfo& info : m_bufferInfos) {
    if (info.buffers[0] != nullptr && info.buffers[1] != nullptr) continue;
    Fail(&result, kExitDriverRefused,
         "createBuffers returned ASE_OK without both buffers for " +
             std::string(info.isInput ? "input " : "output ") + std::to_string(info.channelNum));
    m_driver->disposeBuffers();
    s_active = nullptr;
    return result;
  }
  result.latencyResult = m_driver->getLatencies(&result.inputLatency, &result.outputLatency);
  // A driver that answers ASE_OK here wants to hear when each output buffer
  // is filled.
  m_outputReady = m_driver->outputReady() == ASE_OK;
  result.outputReadyUsed = m_outputReady;
  for (size_t i = 0; i < m_plan.outputs.size(); ++i) {
    const ASIOBufferInfo& info = m_bufferInfos[m_plan.inputs.size() + i];
    const size_t bytes = static_cast<size_t>(frames * SampleTypeBytes(m_plan.outputs[i].type));
    memset(info.buffers[0], 0, bytes);
    memset(info.buffers[1], 0, bytes);
  }

  error = m_driver->start();
  if (error != ASE_OK) {
    Fail(&result, kExitDriverRefused,
         "start failed: " + AsioErrorName(error) + DriverMessage(m_driver));
    m_driver->disposeBuffers();
    s_active = nullptr;
    return result;
  }
  result.started = true;
  m_startTicks = Ticks();
  Wait(&result);

  const int64_t stopCalled = Ticks();
  error = m_driver->stop();
  m_stopReturned = true;
  result.stopMs = Seconds(Ticks() - stopCalled) * 1000.0;
  if (error != ASE_OK)
    Fail(&result, kExitDriverRefused,
         "stop failed: " + AsioErrorName(error) + DriverMessage(m_driver));
  // Room for a callback that should not come any more to show itself.
  const double period = frames / m_plan.sampleRate;
  Sleep(static_cast<DWORD>(std::min(200.0, std::max(20.0, 2000.0 * period))));

  error = m_driver->disposeBuffers();
  if (error != ASE_OK)
    Fail(&result, kExitDriverRefused,
         "disposeBuffers failed: " + AsioErrorName(error) + DriverMessage(m_driver));
  s_active = nullptr;
  CollectResult(&result);
  return result;
}

void CStreamSession::Wait(StreamResult* result) {
  const double period = m_plan.bufferFrames / m_plan.sampleRate;
  const double firstSwitchLimit = 2.0 + 4 * period;
  double elapsed = 0;
  for (;;) {
    elapsed = Seconds(Ticks() - m_startTicks);
    if (elapsed >= m_plan.seconds) break;
    if (m_switches == 0 && elapsed >= firstSwitchLimit) break;
    if (s_interrupted) break;
    const double end =
        m_switches == 0 ? std::min(m_plan.seconds, firstSwitchLimit) : m_plan.seconds;
    const double left = end - elapsed;
    const DWORD waitMs = static_cast<DWORD>(std::max(1.0, std::min(10.0, left * 1000.0)));
    // The apartment's messages keep flowing: drivers may post to windows
    // of this thread.
    const DWORD woken = MsgWaitForMultipleObjects(1, &m_wake, FALSE, waitMs, QS_ALLINPUT);
    if (woken == WAIT_OBJECT_0) {
      elapsed = Seconds(Ticks() - m_startTicks);
      break;
    }
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  result->runSeconds = elapsed;
  if (s_interrupted) {
    result->interrupted = true;
    Fail(result, kExitRunFailed, "interrupted " + Format("%.2f", elapsed) + " s into the run");
  } else if (m_resetRequests > 0) {
    Fail(result, kExitRunFailed,
         "the driver asked to be reset (kAsioResetRequest) " +
             Format("%.2f", Seconds(m_resetTicks - m_startTicks)) +
             " s into the run: its device stopped working or was unplugged, and streaming "
             "ended early. A recording program closes the driver and opens it again.");
  }
  if (m_switches == 0)
    Fail(result, kExitRunFailed,
         "no buffer switch arrived in the " + Format("%.2f", elapsed) +
             " s after start returned ASE_OK");
}

void CStreamSession::CollectResult(StreamResult* result) {
  result->switches = m_switches;
  result->timeInfoSwitches = m_timeInfoSwitches;
  result->switchesRecorded = std::min(result->switches, m_capacity);
  result->longestCallbackMs = Seconds(m_longestCallbackTicks) * 1000.0;
  result->timing = AnalyseCallbackTiming(m_switchTicks.data(), result->switchesRecorded,
                                         TicksPerSecond(), m_plan.bufferFrames / m_plan.sampleRate);
  result->positions =
      AnalyseSamplePositions(m_positions.data(), result->switchesRecorded, m_plan.bufferFrames);
  result->overloads = m_overloads;
  result->resyncRequests = m_resyncRequests;
  result->resetRequests = m_resetRequests;
  result->bufferSizeChanges = m_bufferSizeChanges;
  result->latencyChanges = m_latencyChanges;
  result->rateChanges = m_rateChanges;
  result->changedRate = m_changedRate;
  result->badIndices = m_badIndices;
  result->callbacksAfterStop = m_callbacksAfterStop;
  result->inputPeaks = m_peaks;
  result->capturedFrames =
      m_plan.keepCapture ? static_cast<int64_t>(result->switchesRecorded) * m_plan.bufferFrames : 0;
  if (result->badIndices > 0)
    Fail(result, kExitRunFailed,
         std::to_string(result->badIndices) +
             " buffer switches carried an index other than 0 or 1 (ignored)");
  if (result->callbacksAfterStop > 0)
    Fail(result, kExitRunFailed,
         std::to_string(result->callbacksAfterStop) +
             " buffer switches arrived after stop returned");
}

// ------------------------------------------------------------ callbacks

void CStreamSession::BufferSwitch(long index, ASIOBool /*directProcess*/) {
  CStreamSession* session = s_active.load(std::memory_order_acquire);
  if (session != nullptr) session->OnSwitch(index, nullptr);
}

ASIOTime* CStreamSession::BufferSwitchTimeInfo(ASIOTime* params, long index,
                                               ASIOBool /*directProcess*/) {
  CStreamSession* session = s_active.load(std::memory_order_acquire);
  if (session != nullptr) session->OnSwitch(index, params);
  return nullptr;
}

void CStreamSession::SampleRateDidChange(ASIOSampleRate rate) {
  CStreamSession* session = s_active.load(std::memory_order_acquire);
  if (session == nullptr) return;
  ++session->m_rateChanges;
  session->m_changedRate = rate;
}

long CStreamSession::AsioMessage(long selector, long value, void* /*message*/, double* /*opt*/) {
  CStreamSession* session = s_active.load(std::memory_order_acquire);
  return session == nullptr ? 0 : session->OnMessage(selector, value);
}

long CStreamSession::OnMessage(long selector, long value) {
  switch (selector) {
    case kAsioSelectorSupported:
      switch (value) {
        case kAsioEngineVersion:
        case kAsioResetRequest:
        case kAsioResyncRequest:
        case kAsioLatenciesChanged:
        case kAsioSupportsTimeInfo:
        case kAsioSupportsTimeCode:
        case kAsioOverload:
          return 1;
        default:
          // Buffer-size changes included: a driver then asks for a reset.
          return 0;
      }
    case kAsioEngineVersion:
      return 2;
    case kAsioResetRequest:
      // The host must stop and start afresh; this one ends the run and says so.
      if (m_resetRequests++ == 0) m_resetTicks = Ticks();
      SetEvent(m_wake);
      return 1;
    case kAsioBufferSizeChange:
      ++m_bufferSizeChanges;
      return 0;
    case kAsioResyncRequest:
      ++m_resyncRequests;
      return 1;
    case kAsioLatenciesChanged:
      ++m_latencyChanges;
      return 1;
    case kAsioSupportsTimeInfo:
      return m_plan.timeInfo ? 1 : 0;
    case kAsioOverload:
      ++m_overloads;
      return 1;
    default:
      return 0;
  }
}

void CStreamSession::OnSwitch(long index, const ASIOTime* time) {
  const int64_t entered = Ticks();
  if (m_stopReturned.load(std::memory_order_relaxed)) {
    ++m_callbacksAfterStop;
    return;
  }
  if (index != 0 && index != 1) {
    ++m_badIndices;
    return;
  }
  const long n = m_switches.load(std::memory_order_relaxed);
  const long frames = m_plan.bufferFrames;
  const bool recorded = n < m_capacity;
  if (time != nullptr) ++m_timeInfoSwitches;

  int64_t position = -1;
  if (time != nullptr && (time->timeInfo.flags & kSamplePositionValid))
    position = Join(time->timeInfo.samplePosition);
  if (position < 0) {
    ASIOSamples samples;
    ASIOTimeStamp stamp;
    if (m_driver->getSamplePosition(&samples, &stamp) == ASE_OK) position = Join(samples);
  }
  if (recorded) {
    m_switchTicks[static_cast<size_t>(n)] = entered;
    m_positions[static_cast<size_t>(n)] = position;
  }

  for (size_t i = 0; i < m_plan.inputs.size(); ++i) {
    int32_t* samples = m_plan.keepCapture && recorded
                           ? CaptureOf(i) + static_cast<size_t>(n) * frames
                           : m_scratch.data();
    SamplesToInt32(m_plan.inputs[i].type, m_bufferInfos[i].buffers[index], samples, frames);
    uint32_t peak = m_peaks[i];
    for (long j = 0; j < frames; ++j) {
      const uint32_t magnitude = samples[j] < 0 ? 0u - static_cast<uint32_t>(samples[j])
                                                : static_cast<uint32_t>(samples[j]);
      peak = std::max(peak, magnitude);
    }
    m_peaks[i] = peak;
  }
  RenderOutputs(index, static_cast<int64_t>(n) * frames);
  if (m_outputReady) m_driver->outputReady();

  m_switches.store(n + 1, std::memory_order_release);
  const int64_t spent = Ticks() - entered;
  if (spent > m_longestCallbackTicks.load(std::memory_order_relaxed))
    m_longestCallbackTicks.store(spent, std::memory_order_relaxed);
}

void CStreamSession::RenderOutputs(long index, int64_t firstFrame) {
  if (m_plan.outputs.empty()) return;
  const long frames = m_plan.bufferFrames;
  switch (m_plan.signal) {
    case OutputSignal::kSilence:
      break;  // m_signal stays zero
    case OutputSignal::kTone:
      for (long j = 0; j < frames; ++j)
        m_signal[static_cast<size_t>(j)] = static_cast<int32_t>(
            kToneLevel * std::sin(m_tonePhaseStep * static_cast<double>(firstFrame + j)));
      break;
    case OutputSignal::kClick: {
      std::fill(m_signal.begin(), m_signal.end(), 0);
      const long click = m_clicks.ClickIn(firstFrame, frames);
      if (click >= 0) m_signal[static_cast<size_t>(click)] = kClickLevel;
      break;
    }
  }
  const size_t firstOutput = m_plan.inputs.size();
  for (size_t i = 0; i < m_plan.outputs.size(); ++i)
    SamplesFromInt32(m_plan.outputs[i].type, m_signal.data(),
                     m_bufferInfos[firstOutput + i].buffers[index], frames);
}
