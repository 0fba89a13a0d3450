// A small ASIO driver for the console host's tests: 4-byte samples, a
// streaming thread of its own that calls the host's buffer switch every
// buffer period, a loopback from one output to one input with a chosen
// delay, and faults on demand. Inputs outside the loopback carry
// FakeInputSample. Used in process, and as FakeAsioDriver-x64.dll, which
// takes its script from the environment variable VOROD_FAKE_ASIO.
#ifndef VOROD_TESTS_SUPPORT_FAKEASIODRIVER_H
#define VOROD_TESTS_SUPPORT_FAKEASIODRIVER_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/AsioTypes.h"

// {6F1D0C52-8A3E-4B47-9D21-3C5E7A90B814}
extern const CLSID kFakeAsioDriverClassId;
extern const char kFakeAsioDriverClassIdText[];
extern const char kFakeScriptVariable[];  // "VOROD_FAKE_ASIO"

struct FakeDriverScript {
  std::string name = "Fake ASIO Driver";
  std::string initFailure;  // init fails with this message when not empty
  long inputs = 4;
  long outputs = 2;
  ASIOSampleType type = ASIOSTInt32LSB;  // as reported; samples stay 4 bytes
  double sampleRate = 8000;
  long preferredSize = 64;
  ASIOError createBuffersResult = ASE_OK;
  ASIOError startResult = ASE_OK;
  bool callsBack = true;
  // Output frame f comes back on the input as frame f + delay; the delay is
  // at least one buffer.
  long loopbackOutput = -1;
  long loopbackInput = -1;
  long loopbackDelay = 0;
  // asioMessage(messageSelector) from the streaming thread before switch n.
  long messageAtSwitch = -1;
  long messageSelector = 0;
  // From switch n on, the sample position runs one buffer ahead.
  long positionJumpAtSwitch = -1;
};

// "inputs=4;outputs=2;rate=8000;preferred=64;name=...;init=<failure>;
//  createBuffers=-997;start=-999;callbacks=0;loopback=0>2@160;type=32;
//  message=3@5;jump=10"
FakeDriverScript ParseFakeScript(const std::string& text);

// What a non-loopback input carries at a frame: the channel in the top byte,
// the frame in the low 24 bits.
int32_t FakeInputSample(long channel, int64_t frame);

class CFakeAsioDriver final : public IASIO {
 public:
  explicit CFakeAsioDriver(const FakeDriverScript& script);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  ASIOBool init(void* sysHandle) override;
  void getDriverName(char* name) override;
  long getDriverVersion() override;
  void getErrorMessage(char* string) override;
  ASIOError start() override;
  ASIOError stop() override;
  ASIOError getChannels(long* numInputChannels, long* numOutputChannels) override;
  ASIOError getLatencies(long* inputLatency, long* outputLatency) override;
  ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                          long* granularity) override;
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getClockSources(ASIOClockSource* clocks, long* numSources) override;
  ASIOError setClockSource(long reference) override;
  ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
  ASIOError getChannelInfo(ASIOChannelInfo* info) override;
  ASIOError createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                          ASIOCallbacks* callbacks) override;
  ASIOError disposeBuffers() override;
  ASIOError controlPanel() override;
  ASIOError future(long selector, void* opt) override;
  ASIOError outputReady() override;

  // The host's answers to the questions asked in createBuffers.
  long engineVersionAnswer = 0;
  long timeInfoAnswer = -1;

  static long LiveObjects();

 private:
  ~CFakeAsioDriver();
  static DWORD WINAPI StreamThread(void* self);
  void Stream();
  void Switch(long n);

  std::atomic<ULONG> m_references{1};
  FakeDriverScript m_script;
  std::string m_message = "No error.";
  ASIOCallbacks* m_callbacks = nullptr;
  long m_bufferSize = 0;
  std::vector<ASIOBufferInfo> m_infos;
  std::vector<int32_t> m_memory;
  std::vector<int32_t> m_history;  // loopback output, by frame modulo its size
  HANDLE m_thread = nullptr;
  HANDLE m_stopEvent = nullptr;
  std::atomic<int64_t> m_position{0};
};

#endif  // VOROD_TESTS_SUPPORT_FAKEASIODRIVER_H
