// A driver streaming against the virtual Vor OD in this process: the device
// installed, bring-up run, buffers created for a scripted host, and start
// driven while the test steps the device clock on its own thread.
#ifndef VOROD_TESTS_SUPPORT_STREAMINGRIG_H
#define VOROD_TESTS_SUPPORT_STREAMINGRIG_H

#include <cstdint>
#include <vector>

#include "tests/support/DriverTestAccess.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RegistrySandbox.h"
#include "virtual-device/VirtualDevice.h"

// How the two pins stream: both looped (the default machine), both with
// packets, or a looped capture pin beside a packet render pin (what bring-up
// opens on a device whose pins list standard streaming first).
enum class StreamMode { Looped, Standard, Mixed };
const char* StreamModeName(StreamMode mode);

// The default machine with the Vor OD's streaming pins listing standard
// streaming before looped streaming.
VdMachine StandardFirstMachine();

// What a host sees for a device sample: polarity inverted, one step of the
// conversion's truncation toward zero.
int32_t HostSampleOf(int32_t deviceSample);
// The device sample behind a host sample (the inverse of HostSampleOf).
int32_t DeviceSampleOf(int32_t hostSample);

// What a test host writes to output o at host frame h: exact in single
// precision, so the device must receive exactly its negation.
int32_t TestHostOutput(long hostFrame, size_t output);

class StreamingRig {
 public:
  explicit StreamingRig(StreamMode mode);
  StreamingRig(StreamMode mode, const VdMachine& machine);
  ~StreamingRig();
  StreamingRig(const StreamingRig&) = delete;
  StreamingRig& operator=(const StreamingRig&) = delete;

  // init, then the pins in the rig's mode.
  bool Init();
  // createBuffers for these host channels.
  ASIOError Prepare(long bufferSize, const std::vector<long>& inputs,
                    const std::vector<long>& outputs);
  // start on another thread; once both pins run, steps the device by
  // `frames`, then by `moreFrames` at a time until start returns, and
  // returns start's result.
  ASIOError Start(ULONG frames, ULONG moreFrames = 0);
  IASIO* Asio() { return driver.get(); }

  HANDLE CapturePin();
  HANDLE RenderPin();
  bool PinRunning(HANDLE pin);
  // The host's buffer half of the i-th requested input or output.
  int32_t* In(size_t i, long half);
  int32_t* Out(size_t i, long half);
  // The one recording of the render pin's current run.
  VdRecording Recording();
  // A host that keeps every input half it is given and writes TestHostOutput.
  void UseRecordingHost();
  // Every frame of every half the host saw is the device's pattern of the
  // capture frame, through polarity and conversion; the first half starts at
  // device frame `firstFrame`.
  void ExpectCapturedPattern(ULONGLONG firstFrame);
  // The device played silence, a fade-in over one buffer, then the host's
  // output inverted, `latency` frames after the host's frame, whose frame 0
  // the capture pin captured at device frame `firstFrame`; `fed` names the
  // device channel of each output slot.
  void ExpectRenderedHostOutput(long latency, long hostFrames, const std::vector<size_t>& fed,
                                ULONGLONG firstFrame = 0);

  // Per switch, per requested input, the half the host saw.
  std::vector<std::vector<std::vector<int32_t>>> seen;

  RegistrySandbox sandbox;
  CVirtualDevice device;
  InProcessDriver driver;
  FakeHost host;
  StreamMode mode;
  long bufferSize = 0;
  std::vector<ASIOBufferInfo> inputInfos;
  std::vector<ASIOBufferInfo> outputInfos;
};

#endif  // VOROD_TESTS_SUPPORT_STREAMINGRIG_H
