// Test access to the driver object's internals, and an in-process driver
// created through its class template the way the factory does.
#ifndef VOROD_TESTS_SUPPORT_DRIVERTESTACCESS_H
#define VOROD_TESTS_SUPPORT_DRIVERTESTACCESS_H

#include <cstdint>

#include "driver/AsioDriver.h"

class CAsioDriverTestAccess {
 public:
  static CAsioDriver* Of(IASIO* asio) { return static_cast<CAsioDriver*>(asio); }

  // What hardware bring-up would leave behind.
  static void SetChannelCounts(IASIO* asio, long inputs, long outputs) {
    Of(asio)->m_numInputs = inputs;
    Of(asio)->m_numOutputs = outputs;
  }
  static void SetErrorMessage(IASIO* asio, const char* text) { Of(asio)->SetErrorMessage(text); }

  static long ActiveInputs(IASIO* asio) { return Of(asio)->m_activeInputs; }
  static long ActiveOutputs(IASIO* asio) { return Of(asio)->m_activeOutputs; }
  static long InputChannel(IASIO* asio, int slot) { return Of(asio)->m_inputChannel[slot]; }
  static long OutputChannel(IASIO* asio, int slot) { return Of(asio)->m_outputChannel[slot]; }
  static int32_t* InputBuffer(IASIO* asio, int slot) { return Of(asio)->m_inputBuffers[slot]; }
  static int32_t* OutputBuffer(IASIO* asio, int slot) { return Of(asio)->m_outputBuffers[slot]; }
  static float* OutputFloatBuffer(IASIO* asio, int slot) {
    return Of(asio)->m_outputFloatBuffers[slot];
  }
  static ASIOCallbacks* Callbacks(IASIO* asio) { return Of(asio)->m_callbacks; }
  static long BufferSize(IASIO* asio) { return Of(asio)->m_bufferSize; }
  static bool TimeInfoMode(IASIO* asio) { return Of(asio)->m_timeInfoMode; }
  static ASIOTime& AsioTime(IASIO* asio) { return Of(asio)->m_asioTime; }

  static long BufferIndex(IASIO* asio) { return Of(asio)->m_bufferIndex; }
  static void SetBufferIndex(IASIO* asio, long index) { Of(asio)->m_bufferIndex = index; }
  static uint64_t SamplePosition(IASIO* asio) { return Of(asio)->m_switchStamp.Position(); }
  static void SetSamplePosition(IASIO* asio, uint64_t frames) {
    Of(asio)->m_switchStamp.Publish(frames, 0);
  }
  static bool DeviceLost(IASIO* asio) { return Of(asio)->m_deviceLost; }
  static void DoBufferSwitch(IASIO* asio) { Of(asio)->DoBufferSwitch(); }

  static uint32_t DropOuts(IASIO* asio) { return Of(asio)->m_dropOuts; }
  static uint32_t LatencyFrames(IASIO* asio) { return Of(asio)->m_latencyFrames; }
  static uint32_t SwitchCount(IASIO* asio) { return Of(asio)->m_streamSwitchCount; }
  static bool StreamThreadAlive(IASIO* asio) { return Of(asio)->StreamThreadAlive(); }
  static bool HasStreamThread(IASIO* asio) {
    return Of(asio)->m_streamThread != INVALID_HANDLE_VALUE;
  }
  static void SetOutputChannel(IASIO* asio, int slot, long channel) {
    Of(asio)->m_outputChannel[slot] = channel;
  }
  static void SetMmcssEntryPoints(IASIO* asio, PfnAvSetMmThreadCharacteristicsA set,
                                  PfnAvRevertMmThreadCharacteristics revert) {
    Of(asio)->m_avSetMmThreadCharacteristics = set;
    Of(asio)->m_avRevertMmThreadCharacteristics = revert;
  }
  static bool StartStreamThread(IASIO* asio) { return Of(asio)->StartStreamThread(); }
  // The longest pass before it counts as a drop-out; 0: the product's rule.
  static void SetStreamStopWait(IASIO* asio, DWORD ms) { Of(asio)->m_streamStopWaitMs = ms; }
  static void SetDeviceClock(IASIO* asio, uint64_t (*clock)(void*), void* context) {
    Of(asio)->m_deviceClock = clock;
    Of(asio)->m_deviceClockContext = context;
  }
  static void SetPins(IASIO* asio, CKsAudPin* capture, CKsAudPin* render) {
    Of(asio)->m_capturePin = capture;
    Of(asio)->m_renderPin = render;
  }

  static CKsAudPin* CapturePin(IASIO* asio) { return Of(asio)->m_capturePin; }
  static CKsAudPin* RenderPin(IASIO* asio) { return Of(asio)->m_renderPin; }
  static size_t CaptureFilterCount(IASIO* asio) { return Of(asio)->m_captureFilters.size(); }
  static size_t RenderFilterCount(IASIO* asio) { return Of(asio)->m_renderFilters.size(); }

  static bool ShowMetrics(IASIO* asio) { return Of(asio)->m_showMetrics; }
  static bool ModelessPanel(IASIO* asio) { return Of(asio)->m_modelessPanel; }
  static bool AutoOpenPanel(IASIO* asio) { return Of(asio)->m_autoOpenPanel; }
  static bool LowLatency(IASIO* asio) { return Of(asio)->m_lowLatency; }
  static void SetModelessPanel(IASIO* asio, bool on) { Of(asio)->m_modelessPanel = on; }
  static void SetPreferredBufferSize(IASIO* asio, long size) {
    Of(asio)->m_preferredBufferSize = size;
  }
  static void SetLowLatency(IASIO* asio, bool on) { Of(asio)->m_lowLatency = on; }
};

// Creates a driver object in this process through the class template and
// returns its IASIO interface with one reference; released by the holder.
class InProcessDriver {
 public:
  InProcessDriver();
  ~InProcessDriver();
  InProcessDriver(const InProcessDriver&) = delete;
  InProcessDriver& operator=(const InProcessDriver&) = delete;

  IASIO* operator->() const { return m_asio; }
  IASIO* get() const { return m_asio; }
  // Releases the driver now (the destructor then does nothing).
  void Release();

 private:
  IASIO* m_asio;
};

#endif  // VOROD_TESTS_SUPPORT_DRIVERTESTACCESS_H
