#include "tests/support/FakeAsioDriver.h"

#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// {6F1D0C52-8A3E-4B47-9D21-3C5E7A90B814}
const CLSID kFakeAsioDriverClassId = {
    0x6f1d0c52, 0x8a3e, 0x4b47, {0x9d, 0x21, 0x3c, 0x5e, 0x7a, 0x90, 0xb8, 0x14}};
const char kFakeAsioDriverClassIdText[] = "{6F1D0C52-8A3E-4B47-9D21-3C5E7A90B814}";
const char kFakeScriptVariable[] = "VOROD_FAKE_ASIO";

namespace {

std::atomic<long> g_liveObjects{0};

int64_t Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

}  // namespace

FakeDriverScript ParseFakeScript(const std::string& text) {
  FakeDriverScript script;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    start = end + 1;
    const size_t equals = item.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = item.substr(0, equals);
    const std::string value = item.substr(equals + 1);
    const long number = strtol(value.c_str(), nullptr, 10);
    if (key == "name")
      script.name = value;
    else if (key == "init")
      script.initFailure = value;
    else if (key == "inputs")
      script.inputs = number;
    else if (key == "outputs")
      script.outputs = number;
    else if (key == "rate")
      script.sampleRate = number;
    else if (key == "preferred")
      script.preferredSize = number;
    else if (key == "type")
      script.type = number;
    else if (key == "createBuffers")
      script.createBuffersResult = number;
    else if (key == "start")
      script.startResult = number;
    else if (key == "callbacks")
      script.callsBack = number != 0;
    else if (key == "jump")
      script.positionJumpAtSwitch = number;
    else if (key == "loopback")
      sscanf(value.c_str(), "%ld>%ld@%ld", &script.loopbackOutput, &script.loopbackInput,
             &script.loopbackDelay);
    else if (key == "message")
      sscanf(value.c_str(), "%ld@%ld", &script.messageSelector, &script.messageAtSwitch);
  }
  return script;
}

int32_t FakeInputSample(long channel, int64_t frame) {
  return static_cast<int32_t>((static_cast<uint32_t>(channel + 1) << 24) |
                              (static_cast<uint32_t>(frame) & 0xFFFFFF));
}

long CFakeAsioDriver::LiveObjects() { return g_liveObjects; }

CFakeAsioDriver::CFakeAsioDriver(const FakeDriverScript& script) : m_script(script) {
  ++g_liveObjects;
}

CFakeAsioDriver::~CFakeAsioDriver() {
  disposeBuffers();
  --g_liveObjects;
}

HRESULT STDMETHODCALLTYPE CFakeAsioDriver::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, kFakeAsioDriverClassId)) {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  *ppv = static_cast<IASIO*>(this);
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE CFakeAsioDriver::AddRef() { return ++m_references; }

ULONG STDMETHODCALLTYPE CFakeAsioDriver::Release() {
  const ULONG left = --m_references;
  if (left == 0) delete this;
  return left;
}

ASIOBool CFakeAsioDriver::init(void* /*sysHandle*/) {
  if (m_script.initFailure.empty()) return ASIOTrue;
  m_message = m_script.initFailure;
  return ASIOFalse;
}

void CFakeAsioDriver::getDriverName(char* name) {
  snprintf(name, kAsioDriverNameBytes, "%s", m_script.name.c_str());
}

long CFakeAsioDriver::getDriverVersion() { return 3; }

void CFakeAsioDriver::getErrorMessage(char* string) {
  snprintf(string, kAsioErrorMessageBytes, "%s", m_message.c_str());
}

ASIOError CFakeAsioDriver::getChannels(long* numInputChannels, long* numOutputChannels) {
  *numInputChannels = m_script.inputs;
  *numOutputChannels = m_script.outputs;
  return ASE_OK;
}

ASIOError CFakeAsioDriver::getLatencies(long* inputLatency, long* outputLatency) {
  const long size = m_bufferSize ? m_bufferSize : m_script.preferredSize;
  *inputLatency = size;
  *outputLatency = m_script.loopbackDelay > size ? m_script.loopbackDelay - size : size;
  return ASE_OK;
}

ASIOError CFakeAsioDriver::getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                         long* granularity) {
  *minSize = 16;
  *maxSize = 1024;
  *preferredSize = m_script.preferredSize;
  *granularity = -1;
  return ASE_OK;
}

ASIOError CFakeAsioDriver::canSampleRate(ASIOSampleRate sampleRate) {
  return sampleRate == m_script.sampleRate ? ASE_OK : ASE_NoClock;
}

ASIOError CFakeAsioDriver::getSampleRate(ASIOSampleRate* sampleRate) {
  *sampleRate = m_script.sampleRate;
  return ASE_OK;
}

ASIOError CFakeAsioDriver::setSampleRate(ASIOSampleRate sampleRate) {
  return canSampleRate(sampleRate);
}

ASIOError CFakeAsioDriver::getClockSources(ASIOClockSource* clocks, long* numSources) {
  if (*numSources < 1) return ASE_InvalidParameter;
  memset(clocks, 0, sizeof(*clocks));
  clocks->associatedChannel = -1;
  clocks->associatedGroup = -1;
  clocks->isCurrentSource = ASIOTrue;
  snprintf(clocks->name, sizeof(clocks->name), "Fake Clock");
  *numSources = 1;
  return ASE_OK;
}

ASIOError CFakeAsioDriver::setClockSource(long reference) {
  return reference == 0 ? ASE_OK : ASE_InvalidParameter;
}

ASIOError CFakeAsioDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
  const uint64_t position = static_cast<uint64_t>(m_position.load());
  sPos->hi = static_cast<unsigned long>(position >> 32);
  sPos->lo = static_cast<unsigned long>(position);
  tStamp->hi = 0;
  tStamp->lo = timeGetTime();
  return ASE_OK;
}

ASIOError CFakeAsioDriver::getChannelInfo(ASIOChannelInfo* info) {
  const long count = info->isInput ? m_script.inputs : m_script.outputs;
  if (info->channel < 0 || info->channel >= count) return ASE_InvalidParameter;
  info->isActive = ASIOFalse;
  info->channelGroup = 0;
  info->type = m_script.type;
  snprintf(info->name, sizeof(info->name), "Fake %s %ld", info->isInput ? "In" : "Out",
           info->channel + 1);
  return ASE_OK;
}

ASIOError CFakeAsioDriver::createBuffers(ASIOBufferInfo* bufferInfos, long numChannels,
                                         long bufferSize, ASIOCallbacks* callbacks) {
  if (m_callbacks != nullptr) return ASE_InvalidMode;
  if (m_script.createBuffersResult != ASE_OK) {
    m_message = "Fake buffers refused.";
    return m_script.createBuffersResult;
  }
  if (bufferInfos == nullptr || callbacks == nullptr || numChannels <= 0 || bufferSize < 16 ||
      bufferSize > 1024)
    return ASE_InvalidParameter;
  for (long i = 0; i < numChannels; ++i) {
    const long count = bufferInfos[i].isInput ? m_script.inputs : m_script.outputs;
    if (bufferInfos[i].channelNum < 0 || bufferInfos[i].channelNum >= count)
      return ASE_InvalidParameter;
  }
  m_bufferSize = bufferSize;
  m_memory.assign(static_cast<size_t>(numChannels) * 2 * bufferSize, 0);
  m_infos.assign(bufferInfos, bufferInfos + numChannels);
  for (long i = 0; i < numChannels; ++i)
    for (int half = 0; half < 2; ++half)
      bufferInfos[i].buffers[half] = m_infos[i].buffers[half] =
          &m_memory[(static_cast<size_t>(i) * 2 + half) * bufferSize];
  m_history.assign(static_cast<size_t>(m_script.loopbackDelay + 2 * bufferSize), 0);
  m_callbacks = callbacks;
  engineVersionAnswer = callbacks->asioMessage(kAsioEngineVersion, 0, nullptr, nullptr);
  timeInfoAnswer =
      callbacks->asioMessage(kAsioSelectorSupported, kAsioSupportsTimeInfo, nullptr, nullptr)
          ? callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr)
          : 0;
  return ASE_OK;
}

ASIOError CFakeAsioDriver::disposeBuffers() {
  if (m_callbacks == nullptr) return ASE_InvalidMode;
  stop();
  m_callbacks = nullptr;
  m_infos.clear();
  m_memory.clear();
  m_bufferSize = 0;
  return ASE_OK;
}

ASIOError CFakeAsioDriver::start() {
  if (m_callbacks == nullptr) return ASE_InvalidMode;
  if (m_script.startResult != ASE_OK) {
    m_message = "Fake start refused.";
    return m_script.startResult;
  }
  if (m_thread != nullptr) return ASE_OK;
  m_position = 0;
  m_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  m_thread = CreateThread(nullptr, 0, &CFakeAsioDriver::StreamThread, this, 0, nullptr);
  return m_thread != nullptr ? ASE_OK : ASE_HWMalfunction;
}

ASIOError CFakeAsioDriver::stop() {
  if (m_thread == nullptr) return ASE_OK;
  SetEvent(m_stopEvent);
  WaitForSingleObject(m_thread, INFINITE);
  CloseHandle(m_thread);
  CloseHandle(m_stopEvent);
  m_thread = m_stopEvent = nullptr;
  return ASE_OK;
}

ASIOError CFakeAsioDriver::controlPanel() { return ASE_NotPresent; }

ASIOError CFakeAsioDriver::future(long selector, void* /*opt*/) {
  return selector == kAsioCanTimeInfo ? ASE_SUCCESS : ASE_NotPresent;
}

ASIOError CFakeAsioDriver::outputReady() { return ASE_NotPresent; }

DWORD WINAPI CFakeAsioDriver::StreamThread(void* self) {
  static_cast<CFakeAsioDriver*>(self)->Stream();
  return 0;
}

void CFakeAsioDriver::Stream() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const double ticksPerSwitch =
      static_cast<double>(frequency.QuadPart) * m_bufferSize / m_script.sampleRate;
  const int64_t begin = Ticks();
  for (long n = 0;; ++n) {
    const int64_t due = begin + static_cast<int64_t>(n * ticksPerSwitch);
    const int64_t wait = due - Ticks();
    const DWORD waitMs = wait > 0 ? static_cast<DWORD>(wait * 1000 / frequency.QuadPart) : 0;
    if (WaitForSingleObject(m_stopEvent, waitMs) == WAIT_OBJECT_0) return;
    if (m_script.callsBack) Switch(n);
  }
}

void CFakeAsioDriver::Switch(long n) {
  const long index = n & 1;
  const int64_t first = static_cast<int64_t>(n) * m_bufferSize;
  const int64_t history = static_cast<int64_t>(m_history.size());
  for (const ASIOBufferInfo& info : m_infos) {
    if (!info.isInput) continue;
    int32_t* samples = static_cast<int32_t*>(info.buffers[index]);
    for (long j = 0; j < m_bufferSize; ++j) {
      const int64_t frame = first + j;
      if (info.channelNum != m_script.loopbackInput)
        samples[j] = FakeInputSample(info.channelNum, frame);
      else
        samples[j] =
            frame >= m_script.loopbackDelay
                ? m_history[static_cast<size_t>((frame - m_script.loopbackDelay) % history)]
                : 0;
    }
  }
  int64_t position = first;
  if (m_script.positionJumpAtSwitch >= 0 && n >= m_script.positionJumpAtSwitch)
    position += m_bufferSize;
  m_position = position;
  if (n == m_script.messageAtSwitch)
    m_callbacks->asioMessage(m_script.messageSelector, 0, nullptr, nullptr);

  if (timeInfoAnswer == 1) {
    ASIOTime time = {};
    time.timeInfo.samplePosition.hi = static_cast<unsigned long>(position >> 32);
    time.timeInfo.samplePosition.lo = static_cast<unsigned long>(position);
    time.timeInfo.sampleRate = m_script.sampleRate;
    time.timeInfo.flags = kSamplePositionValid | kSampleRateValid;
    m_callbacks->bufferSwitchTimeInfo(&time, index, ASIOTrue);
  } else {
    m_callbacks->bufferSwitch(index, ASIOTrue);
  }

  for (const ASIOBufferInfo& info : m_infos) {
    if (info.isInput || info.channelNum != m_script.loopbackOutput) continue;
    const int32_t* samples = static_cast<const int32_t*>(info.buffers[index]);
    for (long j = 0; j < m_bufferSize; ++j)
      m_history[static_cast<size_t>((first + j) % history)] = samples[j];
  }
}
