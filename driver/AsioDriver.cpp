#include "driver/AsioDriver.h"

#include <mmsystem.h>

#include <cstring>
#include <new>

#include "com/ClassIds.h"
#include "driver/HostDoorway.h"
#include "driver/SampleBuffer.h"
#include "ks/KsAudPin.h"
#include "streaming/StreamPlan.h"

namespace {

const char kDriverName[] = "Quorvex Vor OD ASIO";
const char kMessageOk[] = "ASIO OK";
const char kMessageOpenFailure[] = "ASIO Driver open Failure!";

const char* const kInputNames[CAsioDriver::kMaxInputs] = {
    "Left",           "Right",           "Combo 1",        "Combo 2",
    "Combo 3",        "Combo 4",         "Bluetooth Left", "Bluetooth Right",
    "Sounds Left",    "Sounds Right",    "USB1 Main Left", "USB1 Main Right",
    "USB1 Comm Left", "USB1 Comm Right", "USB2 Main Left", "USB2 Main Right"};

// Copies text into a buffer of `size` bytes, always terminated.
void CopyText(char* dest, size_t size, const char* text) {
  size_t n = strlen(text);
  if (n >= size) n = size - 1;
  memcpy(dest, text, n);
  dest[n] = '\0';
}

}  // namespace

INonDelegatingUnknown* CAsioDriver::CreateInstance(IUnknown* pOuterUnknown, HRESULT* phr) {
  CAsioDriver* driver = new (std::nothrow) CAsioDriver(pOuterUnknown, phr);
  if (driver == nullptr) return nullptr;
  return static_cast<CUnknown*>(driver);
}

CAsioDriver::CAsioDriver(IUnknown* pOuterUnknown, HRESULT* phr)
    : CUnknown("CAsioDriver", pOuterUnknown, phr),
      m_comInit(false),
      m_comThreadId(0),
      m_nextSwitchPosition(0),
      m_sampleRate(kSampleRate),
      m_callbacks(nullptr),
      m_hostCallbacks(),
      m_asioTime(),
      m_pendingTimeFlags(0),
      m_deviceLost(false),
      m_streamThread(INVALID_HANDLE_VALUE),
      m_streamThreadId(0),
      m_dropOuts(0),
      m_latencyFrames(0),
      m_preferredBufferSize(kDefaultBufferSize),
      m_lowLatency(false),
      m_lowLatencyRun(false),
      m_inputBuffers(),
      m_outputBuffers(),
      m_outputFloatBuffers(),
      m_inputChannel(),
      m_outputChannel(),
      m_bufferSize(kDefaultBufferSize),
      m_captureDelayFrames(0),
      m_renderDelayFrames(0),
      m_numInputs(0),
      m_numOutputs(0),
      m_activeInputs(0),
      m_activeOutputs(0),
      m_hostFormatInputs(0),
      m_bufferIndex(0),
      m_initialized(false),
      m_running(false),
      m_timeInfoMode(false),
      m_errorMessage(),
      m_panelThread(INVALID_HANDLE_VALUE),
      m_panelThreadId(0),
      m_panelThreadHandle(INVALID_HANDLE_VALUE),
      m_panelWindow(nullptr),
      m_panelQuit(false),
      m_panelStarting(false),
      m_modelessPanel(false),
      m_autoOpenPanel(false),
      m_panelRequested(false),
      m_showMetrics(false),
      m_settingsLoaded(false),
      m_storedSizeNotOffered(false),
      m_panelRequestTime(timeGetTime()),
      m_captureEnum(nullptr),
      m_renderEnum(nullptr),
      m_capturePin(nullptr),
      m_renderPin(nullptr),
      m_streamStopWaitMs(10000),
      m_deviceClock(nullptr),
      m_deviceClockContext(nullptr),
      m_streamStop(false),
      m_streamStopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_deleteAfterRun(false),
      m_panelLaunch(false),
      m_streamSwitchCount(0),
      m_runTrace(),
      m_runNumber(0),
      m_runStartTime(0),
      m_runLogged(false),
      m_avrt(nullptr),
      m_avSetMmThreadCharacteristics(nullptr),
      m_avRevertMmThreadCharacteristics(nullptr) {
  // MMCSS is optional: without Avrt.dll the streaming thread runs at
  // time-critical priority alone.
  m_avrt = LoadLibraryA("Avrt.dll");
  if (m_avrt != nullptr) {
    m_avSetMmThreadCharacteristics = reinterpret_cast<PfnAvSetMmThreadCharacteristicsA>(
        reinterpret_cast<void*>(GetProcAddress(m_avrt, "AvSetMmThreadCharacteristicsA")));
    m_avRevertMmThreadCharacteristics = reinterpret_cast<PfnAvRevertMmThreadCharacteristics>(
        reinterpret_cast<void*>(GetProcAddress(m_avrt, "AvRevertMmThreadCharacteristics")));
  }
  // A host may release the object on another thread than the one that
  // created it: only this thread may balance this initialisation.
  m_comInit = SUCCEEDED(CoInitialize(nullptr));
  m_comThreadId = GetCurrentThreadId();
  // The user may have created or removed the log file since the last driver
  // object; hosts create one whenever the driver is selected.
  CDiagnosticsLog::Instance().Refresh();
  LogCall("driver object created");
}

CAsioDriver::~CAsioDriver() {
  {
    CHostLock::Hold hold(m_hostLock, OnStreamThread());
    ClosePanel();
    StopStreamThread();
    m_running = false;
    SaveSettings();
    HostDoorway([&] { return StopRun(); });
    FreeBuffers();
    ReleaseHardware();
  }
  if (m_comInit && GetCurrentThreadId() == m_comThreadId) CoUninitialize();
  if (m_avrt != nullptr) FreeLibrary(m_avrt);
  if (m_streamStopEvent != nullptr) CloseHandle(m_streamStopEvent);
  LogCall("driver object released");
}

void CAsioDriver::OnFinalRelease() {
  if (OnStreamThread()) {
    // No callback follows this one; the thread deletes the object after
    // the loop has ended (StreamThreadProc).
    m_running = false;
    m_deleteAfterRun = true;
    m_streamStop = true;
    return;
  }
  delete this;
}

HRESULT STDMETHODCALLTYPE CAsioDriver::QueryInterface(REFIID riid, void** ppv) {
  return m_pOwnerUnknown->QueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE CAsioDriver::AddRef() { return m_pOwnerUnknown->AddRef(); }

ULONG STDMETHODCALLTYPE CAsioDriver::Release() { return m_pOwnerUnknown->Release(); }

HRESULT STDMETHODCALLTYPE CAsioDriver::InnerQueryInterface(REFIID riid, void** ppv) {
  // ASIO hosts ask for the interface by the class identifier itself.
  if (IsEqualIID(riid, CLSID_QuorvexVorOdAsio))
    return ReturnInterface(static_cast<IASIO*>(this), ppv);
  return CUnknown::InnerQueryInterface(riid, ppv);
}

bool CAsioDriver::HostSupports(long selector) {
  return MessageHost(kAsioSelectorSupported, selector) != 0;
}

long CAsioDriver::MessageHost(long selector, long value, void* message, double* opt) {
  ASIOCallbacks* const callbacks = m_callbacks;
  if (callbacks == nullptr || callbacks->asioMessage == nullptr) return 0;
  return callbacks->asioMessage(selector, value, message, opt);
}

void CAsioDriver::SetErrorMessage(const char* text) {
  CopyText(m_errorMessage, sizeof(m_errorMessage), text);
}

ASIOBool CAsioDriver::init(void* sysHandle) {
  const ASIOBool result = HostDoorway([&]() -> ASIOBool {
    CHostLock::Hold hold(m_hostLock, OnStreamThread());
    // Once initialised, neither the settings nor the device are read again.
    if (m_initialized) return ASIOTrue;
    LoadSettings();
    // Bring-up replaces this with what the user can fix when it finds no
    // device.
    SetErrorMessage(kMessageOpenFailure);
    if (FindHardware()) {
      ReadDeviceDelays();
      SetErrorMessage(kMessageOk);
      m_initialized = true;
      return ASIOTrue;
    }
    m_initialized = false;
    return ASIOFalse;
  }, ASIOFalse);
  LogCall("init(%p) -> %s, \"%s\"", sysHandle, result ? "ASIOTrue" : "ASIOFalse", m_errorMessage);
  return result;
}

void CAsioDriver::getDriverName(char* name) {
  if (name == nullptr) return;
  CopyText(name, kAsioDriverNameBytes, kDriverName);
  LogCall("getDriverName -> \"%s\"", kDriverName);
}

long CAsioDriver::getDriverVersion() {
  LogCall("getDriverVersion -> 1");
  return 1;
}

void CAsioDriver::getErrorMessage(char* string) {
  if (string == nullptr) return;
  CopyText(string, kAsioErrorMessageBytes, m_errorMessage);
  LogCall("getErrorMessage -> \"%s\"", m_errorMessage);
}

ASIOError CAsioDriver::start() {
  const ASIOError result = HostDoorway([&]() -> ASIOError {
    CHostLock::Hold hold(m_hostLock, OnStreamThread());
    if (m_callbacks == nullptr) return ASE_NotPresent;
    // Resetting the index and position under a live thread would hand the
    // host the wrong half.
    if (m_running && StreamThreadAlive()) return ASE_OK;
    // The streaming thread never waits for itself.
    if (OnStreamThread()) return ASE_InvalidMode;
    // A run that ended by itself (a failed wait, a stop from a callback).
    if (m_streamThread != INVALID_HANDLE_VALUE) StopStreamThread();
    m_running = false;
    m_switchStamp.Publish(0, 0);
    m_nextSwitchPosition = 0;
    m_deviceLost = false;
    m_bufferIndex = 0;
    if (m_capturePin == nullptr || m_renderPin == nullptr) return ASE_NotPresent;
    LogRunStart();
    if (!StartStreamThread()) return ASE_HWMalfunction;
    m_running = true;
    if (m_autoOpenPanel) OpenControlPanel(kPanelShown);
    return ASE_OK;
  });
  LogCall("start -> %s", AsioResultName(result));
  return result;
}

ASIOError CAsioDriver::stop() {
  const ASIOError result = HostDoorway([&]() -> ASIOError {
    CHostLock::Hold hold(m_hostLock, OnStreamThread());
    return StopRun();
  });
  LogCall("stop -> %s", AsioResultName(result));
  return result;
}

ASIOError CAsioDriver::StopRun() {
  // From inside a host callback: ask the loop to end after this switch;
  // no callback follows, and a later stop on the host's thread joins it.
  if (OnStreamThread()) {
    m_streamStop = true;
    m_running = false;
    return ASE_OK;
  }
  ClosePanel();
  // Also joins a run that ended by itself; without a thread it only sets
  // the stop flag.
  StopStreamThread();
  m_running = false;
  return ASE_OK;
}

ASIOError CAsioDriver::getChannels(long* numInputChannels, long* numOutputChannels) {
  if (numInputChannels != nullptr) *numInputChannels = m_numInputs;
  if (numOutputChannels != nullptr) *numOutputChannels = m_numOutputs;
  const ASIOError result = (numInputChannels != nullptr && numOutputChannels != nullptr)
                               ? ASE_OK
                               : ASE_InvalidParameter;
  LogCall("getChannels -> %s, %ld in, %ld out", AsioResultName(result), m_numInputs, m_numOutputs);
  return result;
}

ASIOError CAsioDriver::getLatencies(long* inputLatency, long* outputLatency) {
  long in = 0, out = 0;
  ComputeHostLatencies(&in, &out);
  if (inputLatency != nullptr) *inputLatency = in;
  if (outputLatency != nullptr) *outputLatency = out;
  const ASIOError result =
      (inputLatency != nullptr && outputLatency != nullptr) ? ASE_OK : ASE_InvalidParameter;
  LogCall("getLatencies -> %s, input %ld, output %ld", AsioResultName(result), in, out);
  return result;
}

// The host's timeline is the capture pin's (see the streaming loop). Input:
// the first frame of a half waits a whole half in the capture buffer before
// its switch, after the device's own capture delay. Output: the rest of the
// round trip the run is planned with (PlanStream): with the cyclic buffers
// granted for this size, what the host writes in switch n is played from
// capture frame (n + 4) x B on written ahead, (n + 6) x B with render
// packets, (n + 2) x B plus the safety offset in low latency, and switch n
// hands over the half that ends at (n + 1) x B: 3 or 5 halves, or one and
// the offset, then the device's render delay. A host that shifts its recordings
// by the sum lines them up with what it played.
void CAsioDriver::ComputeLatencies(long bufferSize, bool lowLatency, long* inputLatency,
                                   long* outputLatency) const {
  const bool captureLooped = m_capturePin == nullptr || m_capturePin->m_bLooped;
  const bool renderLooped = m_renderPin == nullptr || m_renderPin->m_bLooped;
  // Buffers are granted for the size and mode of the host's buffers.
  const bool granted = bufferSize == m_bufferSize && lowLatency == m_lowLatencyRun;
  const uint32_t captureHalf = granted && m_capturePin != nullptr ? m_capturePin->m_cbBuffer / 8 : 0;
  const uint32_t renderHalf = granted && m_renderPin != nullptr ? m_renderPin->m_cbBuffer / 8 : 0;
  // Without a device, what the Vor OD's would stream with.
  const uint32_t inputs = static_cast<uint32_t>(m_numInputs > 0 ? m_numInputs : kMaxInputs);
  const uint32_t outputs = static_cast<uint32_t>(m_numOutputs > 0 ? m_numOutputs : kMaxOutputs);
  const StreamPlan plan = PlanStream(static_cast<uint32_t>(bufferSize), inputs, outputs, captureLooped,
                                     captureHalf, renderLooped, renderHalf, lowLatency);
  *inputLatency = bufferSize + m_captureDelayFrames;
  *outputLatency = static_cast<long>(plan.roundTrip) - bufferSize + m_renderDelayFrames;
}

void CAsioDriver::ComputeHostLatencies(long* inputLatency, long* outputLatency) const {
  if (m_callbacks != nullptr)
    ComputeLatencies(m_bufferSize, m_lowLatencyRun, inputLatency, outputLatency);
  else
    ComputeLatencies(m_preferredBufferSize.Get(), m_lowLatency.Get(), inputLatency, outputLatency);
}

void CAsioDriver::ReadDeviceDelays() {
  ULONG frames = 0;
  m_captureDelayFrames =
      m_capturePin != nullptr && SUCCEEDED(m_capturePin->GetDeviceDelayFrames(&frames)) ? frames : 0;
  frames = 0;
  m_renderDelayFrames =
      m_renderPin != nullptr && SUCCEEDED(m_renderPin->GetDeviceDelayFrames(&frames)) ? frames : 0;
}

ASIOError CAsioDriver::getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                     long* granularity) {
  if (minSize != nullptr) *minSize = kMinBufferSize;
  if (maxSize != nullptr) *maxSize = kMaxBufferSize;
  if (preferredSize != nullptr) *preferredSize = m_preferredBufferSize;
  if (granularity != nullptr) *granularity = kBufferGranularity;
  const ASIOError result = (minSize != nullptr && maxSize != nullptr &&
                            preferredSize != nullptr && granularity != nullptr)
                               ? ASE_OK
                               : ASE_InvalidParameter;
  LogCall("getBufferSize -> %s, min %ld, max %ld, preferred %ld, granularity %ld",
          AsioResultName(result), kMinBufferSize, kMaxBufferSize, m_preferredBufferSize.Get(),
          kBufferGranularity);
  return result;
}

ASIOError CAsioDriver::canSampleRate(ASIOSampleRate sampleRate) {
  const ASIOError result = sampleRate == kSampleRate ? ASE_OK : ASE_NoClock;
  LogCall("canSampleRate(%g) -> %s", sampleRate, AsioResultName(result));
  return result;
}

ASIOError CAsioDriver::getSampleRate(ASIOSampleRate* sampleRate) {
  const ASIOError result = sampleRate != nullptr ? ASE_OK : ASE_InvalidParameter;
  if (sampleRate != nullptr) *sampleRate = m_sampleRate;
  LogCall("getSampleRate -> %s, %g", AsioResultName(result), m_sampleRate);
  return result;
}

ASIOError CAsioDriver::setSampleRate(ASIOSampleRate sampleRate) {
  // 48000 is the only rate and always the current one.
  const ASIOError result = sampleRate == kSampleRate ? ASE_OK : ASE_NoClock;
  LogCall("setSampleRate(%g) -> %s", sampleRate, AsioResultName(result));
  return result;
}

ASIOError CAsioDriver::getClockSources(ASIOClockSource* clocks, long* numSources) {
  const long capacity = numSources != nullptr ? *numSources : 0;
  const ASIOError result = HostDoorway([&]() -> ASIOError {
    if (numSources == nullptr) return ASE_InvalidParameter;
    // One entry is always written: a capacity below 1 would overrun the host.
    if (*numSources < 1) return ASE_InvalidParameter;
    *numSources = 1;
    if (clocks == nullptr) return ASE_InvalidParameter;
    clocks->index = 0;
    clocks->associatedChannel = -1;
    clocks->associatedGroup = -1;
    clocks->isCurrentSource = ASIOTrue;
    CopyText(clocks->name, sizeof(clocks->name), "Internal");
    return ASE_OK;
  });
  LogCall("getClockSources(room for %ld) -> %s, 1 source \"Internal\"", capacity,
          AsioResultName(result));
  return result;
}

ASIOError CAsioDriver::setClockSource(long reference) {
  const ASIOError result = reference == 0 ? ASE_OK : ASE_NotPresent;
  if (result == ASE_OK) m_pendingTimeFlags.FetchOr(kClockSourceChanged);
  LogCall("setClockSource(%ld) -> %s", reference, AsioResultName(result));
  return result;
}

ASIOError CAsioDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
  uint64_t position = 0, stamp = 0;
  m_switchStamp.Read(&position, &stamp);
  if (sPos != nullptr) {
    sPos->hi = static_cast<unsigned long>(position >> 32);
    sPos->lo = static_cast<unsigned long>(position & 0xFFFFFFFFu);
  }
  if (tStamp != nullptr) {
    tStamp->hi = static_cast<unsigned long>(stamp >> 32);
    tStamp->lo = static_cast<unsigned long>(stamp & 0xFFFFFFFFu);
  }
  if (sPos == nullptr || tStamp == nullptr) return ASE_InvalidParameter;
  // A device that went away: the host's clock must not look alive.
  return m_deviceLost ? ASE_SPNotAdvancing : ASE_OK;
}

ASIOError CAsioDriver::getChannelInfo(ASIOChannelInfo* info) {
  const ASIOError result = DescribeChannel(info);
  if (info == nullptr)
    LogCall("getChannelInfo(null) -> %s", AsioResultName(result));
  else if (result != ASE_OK)
    LogCall("getChannelInfo(%s %ld) -> %s", info->isInput ? "input" : "output", info->channel,
            AsioResultName(result));
  else
    LogCall("getChannelInfo(%s %ld) -> %s, \"%s\", %s, type %ld",
            info->isInput ? "input" : "output", info->channel, AsioResultName(result),
            info->name, info->isActive ? "active" : "inactive", static_cast<long>(info->type));
  return result;
}

ASIOError CAsioDriver::DescribeChannel(ASIOChannelInfo* info) {
  if (info == nullptr) return ASE_InvalidParameter;
  const long channel = info->channel;
  const bool isInput = info->isInput != ASIOFalse;
  if (channel < 0 || channel >= (isInput ? m_numInputs : m_numOutputs))
    return ASE_InvalidParameter;

  info->type = ASIOSTInt32LSB;
  info->isActive = ASIOFalse;
  info->channelGroup = 0;
  if (isInput) {
    for (long slot = 0; slot < m_activeInputs; ++slot) {
      if (m_inputChannel[slot] == channel) {
        info->isActive = ASIOTrue;
        break;
      }
    }
    CopyText(info->name, sizeof(info->name), channel < kMaxInputs ? kInputNames[channel] : "");
  } else {
    for (long slot = 0; slot < m_activeOutputs; ++slot) {
      if (m_outputChannel[slot] == channel) {
        info->isActive = ASIOTrue;
        break;
      }
    }
    CopyText(info->name, sizeof(info->name), channel == 0 ? "Output L" : "Output R");
  }
  return ASE_OK;
}

ASIOError CAsioDriver::createBuffers(ASIOBufferInfo* bufferInfos, long numChannels,
                                     long bufferSize, ASIOCallbacks* callbacks) {
  const ASIOError result = HostDoorway([&]() -> ASIOError {
    // Buffers cannot change under the loop that is calling back.
    if (OnStreamThread()) return ASE_InvalidMode;
    // Outside the range getBufferSize reports, refused before anything
    // changes: the device's packets and timing are made for these sizes.
    if (bufferSize < kMinBufferSize || bufferSize > kMaxBufferSize) return ASE_InvalidParameter;
    CHostLock::Hold hold(m_hostLock, false);
    long inputBefore = 0, outputBefore = 0;
    ComputeHostLatencies(&inputBefore, &outputBefore);
    DisposeRun();

    // Requests that could only crash or overflow are refused before the pins
    // are touched or the buffer size changes.
    if (numChannels < 0 || (numChannels > 0 && bufferInfos == nullptr) || callbacks == nullptr ||
        callbacks->asioMessage == nullptr)
      return ASE_InvalidParameter;

    PreparePins(bufferSize);

    bool allocationFailed = false;

    // Leaves no buffers behind, and no pointers into freed memory with the host.
    auto fail = [&](ASIOError error, long processed) -> ASIOError {
      DisposeRun();
      for (long i = 0; i < processed; ++i) {
        bufferInfos[i].buffers[0] = nullptr;
        bufferInfos[i].buffers[1] = nullptr;
      }
      return error;
    };

    for (long i = 0; i < numChannels; ++i)
      if (!AddHostChannel(bufferInfos[i], bufferSize, &allocationFailed)) return fail(ASE_InvalidParameter, i);

    if (!AddFillerInputs(2 * static_cast<size_t>(bufferSize)) || allocationFailed) return fail(ASE_NoMemory, numChannels);

    m_hostCallbacks = *callbacks;
    m_callbacks = &m_hostCallbacks;
    const long supportsTimeInfo = MessageHost(kAsioSupportsTimeInfo, 0);
    // A host that claims time info without the callback for it is served
    // through bufferSwitch.
    m_timeInfoMode = supportsTimeInfo != 0 && callbacks->bufferSwitchTimeInfo != nullptr;
    if (!m_timeInfoMode && callbacks->bufferSwitch == nullptr)
      return fail(ASE_InvalidParameter, numChannels);

    if (m_timeInfoMode) ResetTimeInfo();
    // Figures the host may have read before these buffers no longer hold.
    long inputAfter = 0, outputAfter = 0;
    ComputeLatencies(bufferSize, m_lowLatencyRun, &inputAfter, &outputAfter);
    if ((inputAfter != inputBefore || outputAfter != outputBefore) &&
        HostSupports(kAsioLatenciesChanged))
      MessageHost(kAsioLatenciesChanged, 0);
    return ASE_OK;
  });
  if (result == ASE_OK)
    LogCall("createBuffers(%ld channels, %ld frames) -> ASE_OK, %ld inputs and %ld outputs for the "
            "host, %s",
            numChannels, bufferSize, m_activeInputs, m_activeOutputs,
            m_timeInfoMode ? "host takes time info" : "host without time info");
  else
    LogCall("createBuffers(%ld channels, %ld frames) -> %s", numChannels, bufferSize,
            AsioResultName(result));
  return result;
}

void CAsioDriver::PreparePins(long bufferSize) {
  // A pin's cyclic buffer is granted once per pin instance: another size or
  // mode needs new instances.
  const bool lowLatency = m_lowLatency.Get();
  if (bufferSize != m_bufferSize || lowLatency != m_lowLatencyRun) {
    ReinstantiatePins();
    ReadDeviceDelays();
  }
  m_bufferSize = bufferSize;
  m_lowLatencyRun = lowLatency;
  AllocateCyclicBuffers(bufferSize);
}

bool CAsioDriver::AddHostChannel(ASIOBufferInfo& info, long bufferSize, bool* allocationFailed) {
  const size_t samples = 2 * static_cast<size_t>(bufferSize);
  const long channel = info.channelNum;
  if (info.isInput != ASIOFalse) {
    const long maxInputs = m_numInputs < kMaxInputs ? m_numInputs : kMaxInputs;
    if (channel < 0 || channel >= m_numInputs || m_activeInputs >= maxInputs) return false;
    const long slot = m_activeInputs++;
    m_inputChannel[slot] = channel;
    m_inputBuffers[slot] = AllocateSamples<int32_t>(samples);
    info.buffers[0] = m_inputBuffers[slot];
  } else {
    const long maxOutputs = m_numOutputs < kMaxOutputs ? m_numOutputs : kMaxOutputs;
    if (channel < 0 || channel >= m_numOutputs || m_activeOutputs >= maxOutputs) return false;
    const long slot = m_activeOutputs++;
    m_outputChannel[slot] = channel;
    m_outputBuffers[slot] = AllocateSamples<int32_t>(samples);
    m_outputFloatBuffers[slot] = AllocateSamples<float>(samples);
    info.buffers[0] = m_outputFloatBuffers[slot] != nullptr ? m_outputBuffers[slot] : nullptr;
  }
  // A slot without its memory is no buffer for the host.
  info.buffers[1] = info.buffers[0] != nullptr ? static_cast<int32_t*>(info.buffers[0]) + bufferSize : nullptr;
  if (info.buffers[0] == nullptr) *allocationFailed = true;
  return true;
}

bool CAsioDriver::AddFillerInputs(size_t samples) {
  // Every device input gets a slot, so the streaming side never meets a
  // missing buffer; filler slots are never handed to the host.
  const long maxInputs = m_numInputs < kMaxInputs ? m_numInputs : kMaxInputs;
  bool allocated = true;
  for (long slot = m_activeInputs; slot < maxInputs; ++slot) {
    m_inputChannel[slot] = kFillerChannel;
    m_inputBuffers[slot] = AllocateSamples<int32_t>(samples);
    if (m_inputBuffers[slot] == nullptr) allocated = false;
  }
  if (m_activeInputs < maxInputs) m_activeInputs = maxInputs;
  return allocated;
}

void CAsioDriver::ResetTimeInfo() {
  AsioTimeInfo& timeInfo = m_asioTime.timeInfo;
  timeInfo.speed = 1.0;
  timeInfo.systemTime.hi = timeInfo.systemTime.lo = 0;
  timeInfo.samplePosition.hi = timeInfo.samplePosition.lo = 0;
  timeInfo.sampleRate = m_sampleRate;
  timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
  // There is no time-code source: the time code stays empty and invalid.
  m_asioTime.timeCode = ASIOTimeCode();
}

ASIOError CAsioDriver::disposeBuffers() {
  const ASIOError result = HostDoorway([&]() -> ASIOError {
    if (OnStreamThread()) return ASE_InvalidMode;
    CHostLock::Hold hold(m_hostLock, false);
    return DisposeRun();
  });
  LogCall("disposeBuffers -> %s", AsioResultName(result));
  return result;
}

ASIOError CAsioDriver::DisposeRun() {
  if (OnStreamThread()) return ASE_InvalidMode;
  StopRun();
  FreeBuffers();
  return ASE_OK;
}

void CAsioDriver::FreeBuffers() {
  m_callbacks = nullptr;
  for (long slot = 0; slot < m_activeInputs && slot < kMaxInputs; ++slot) {
    FreeSampleBuffer(m_inputBuffers[slot]);
    m_inputBuffers[slot] = nullptr;
  }
  m_activeInputs = 0;
  for (long slot = 0; slot < m_activeOutputs && slot < kMaxOutputs; ++slot) {
    FreeSampleBuffer(m_outputBuffers[slot]);
    FreeSampleBuffer(m_outputFloatBuffers[slot]);
    m_outputBuffers[slot] = nullptr;
    m_outputFloatBuffers[slot] = nullptr;
  }
  m_activeOutputs = 0;
}

ASIOError CAsioDriver::controlPanel() {
  const ASIOError result = HostDoorway([&]() -> ASIOError {
    // From inside a callback the panel opens without any wait: the audio
    // thread must go on.
    const bool fromCallback = OnStreamThread();
    {
      CHostLock::Hold hold(m_hostLock, fromCallback);
      // The panel must show and keep the user's stored preferences, not the
      // defaults, even before init.
      if (!m_settingsLoaded) LoadSettings();
      if (m_panelWindow != nullptr) return ASE_OK;
      m_panelRequested = true;
      m_panelRequestTime = timeGetTime();
      if (OpenControlPanel(fromCallback ? kPanelNoWait : kPanelShown) != 0) {
        m_panelRequested = false;
        return ASE_NotPresent;
      }
    }
    if (fromCallback || m_modelessPanel) return ASE_OK;
    // The host's other threads may go on calling while this one waits for
    // the user; a host that releases the driver meanwhile (from a message
    // handled during the wait) must not free it under this call.
    AddRef();
    WaitForPanelToClose();
    Release();
    return ASE_OK;
  });
  LogCall("controlPanel -> %s", AsioResultName(result));
  return result;
}

ASIOError CAsioDriver::future(long selector, void* opt) {
  ASIOError result = ASE_NotPresent;
  switch (selector) {
    // The mixer monitors its inputs in hardware; there is nothing to switch,
    // but the host's request must come with a record naming channels that
    // exist (input -1: all of them), so that a host learns of its mistake.
    case kAsioSetInputMonitor: {
      const ASIOInputMonitor* monitor = static_cast<const ASIOInputMonitor*>(opt);
      const bool valid = monitor != nullptr && monitor->input >= -1 &&
                         monitor->input < kMaxInputs && monitor->output >= 0 &&
                         monitor->output < kMaxOutputs;
      result = valid ? ASE_SUCCESS : ASE_InvalidParameter;
      break;
    }
    case kAsioCanInputMonitor:
    case kAsioCanTimeInfo:
      result = ASE_SUCCESS;
      break;
    default:
      break;
  }
  LogCall("future(%ld, %p) -> %s", selector, opt, AsioResultName(result));
  return result;
}

// The host must have written its output by the time bufferSwitch returns.
ASIOError CAsioDriver::outputReady() {
  LogCall("outputReady -> ASE_NotPresent");
  return ASE_NotPresent;
}
