#include "tests/support/StreamingRig.h"

#include <process.h>

#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "ks/KsAudPin.h"

const char* StreamModeName(StreamMode mode) {
  switch (mode) {
    case StreamMode::Looped:
      return "Looped";
    case StreamMode::Standard:
      return "Standard";
    case StreamMode::Mixed:
      return "Mixed";
  }
  return "?";
}

VdMachine StandardFirstMachine() {
  VdMachine machine = VdDefaultMachine();
  for (int filter : {kVdVorOdCapture, kVdVorOdChat, kVdVorOdMain}) {
    for (VdPinFactory& pin : machine.filters[filter].pins) {
      std::reverse(pin.interfaces.begin(), pin.interfaces.end());
    }
  }
  return machine;
}

int32_t HostSampleOf(int32_t deviceSample) {
  if (deviceSample == 0) return 0;
  if (deviceSample == INT32_MIN) return INT32_MAX;
  return deviceSample > 0 ? -(deviceSample - 1) : -(deviceSample + 1);
}

int32_t DeviceSampleOf(int32_t hostSample) {
  if (hostSample == 0) return 0;
  if (hostSample == INT32_MAX) return INT32_MIN;
  return hostSample < 0 ? 1 - hostSample : -hostSample - 1;
}

namespace {

// The machine's time on the stepped clock: the frames the test has stepped,
// drifted as the device's clock says.
uint64_t SteppedMicroseconds(void* device) {
  return static_cast<CVirtualDevice*>(device)->PerformanceCounterMicroseconds();
}

}  // namespace

StreamingRig::StreamingRig(StreamMode streamMode)
    : StreamingRig(streamMode,
                   streamMode == StreamMode::Looped ? VdDefaultMachine() : StandardFirstMachine()) {}

StreamingRig::StreamingRig(StreamMode streamMode, const VdMachine& machine)
    : device(machine), mode(streamMode) {
  // The render side's checks read what the device played.
  device.Machine().streaming.ulRecordFramesMax = 1u << 22;
  device.Install();
  // On the stepped clock time stands still while a pass runs, and moves only
  // as the test steps the device.
  CAsioDriverTestAccess::SetDeviceClock(driver.get(), &SteppedMicroseconds, &device);
}

StreamingRig::~StreamingRig() { driver.Release(); }

bool StreamingRig::Init() {
  if (driver->init(nullptr) != ASIOTrue) return false;
  CKsAudPin* capture = CAsioDriverTestAccess::CapturePin(driver.get());
  if (capture == nullptr) return false;
  if (mode == StreamMode::Standard && capture->m_bLooped) {
    capture->ClosePin();
    if (FAILED(capture->Instantiate(FALSE))) return false;
  }
  return true;
}

ASIOError StreamingRig::Prepare(long size, const std::vector<long>& inputs,
                                const std::vector<long>& outputs) {
  bufferSize = size;
  std::vector<ASIOBufferInfo> infos;
  for (long channel : inputs) infos.push_back({ASIOTrue, channel, {nullptr, nullptr}});
  for (long channel : outputs) infos.push_back({ASIOFalse, channel, {nullptr, nullptr}});
  const ASIOError result =
      driver->createBuffers(infos.data(), static_cast<long>(infos.size()), size, host.Callbacks());
  inputInfos.assign(infos.begin(), infos.begin() + inputs.size());
  outputInfos.assign(infos.begin() + inputs.size(), infos.end());
  return result;
}

namespace {

struct StartCall {
  IASIO* asio;
  ASIOError result;
};

unsigned __stdcall CallStart(void* arg) {
  StartCall* call = static_cast<StartCall*>(arg);
  call->result = call->asio->start();
  return 0;
}

}  // namespace

ASIOError StreamingRig::Start(ULONG frames, ULONG moreFrames) {
  StartCall call = {driver.get(), ASE_HWMalfunction};
  HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &CallStart, &call, 0, nullptr));
  if (device.WaitUntil([&](const CVirtualDevice&) {
        return PinRunning(CapturePin()) && PinRunning(RenderPin());
      })) {
    device.Step(frames);
    while (moreFrames != 0 && WaitForSingleObject(thread, 1) == WAIT_TIMEOUT) device.Step(moreFrames);
  }
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return call.result;
}

HANDLE StreamingRig::CapturePin() {
  CKsAudPin* pin = CAsioDriverTestAccess::CapturePin(driver.get());
  return pin != nullptr ? pin->m_handle : nullptr;
}

HANDLE StreamingRig::RenderPin() {
  CKsAudPin* pin = CAsioDriverTestAccess::RenderPin(driver.get());
  return pin != nullptr ? pin->m_handle : nullptr;
}

bool StreamingRig::PinRunning(HANDLE pin) {
  VdPinInstanceInfo info;
  return device.GetPinInstance(pin, &info) && info.state == KSSTATE_RUN;
}

int32_t* StreamingRig::In(size_t i, long half) {
  return static_cast<int32_t*>(inputInfos[i].buffers[half]);
}

int32_t* StreamingRig::Out(size_t i, long half) {
  return static_cast<int32_t*>(outputInfos[i].buffers[half]);
}

VdRecording StreamingRig::Recording() {
  VdRecording found = {};
  for (const VdRecording& recording : device.Recordings()) {
    if (recording.hPin == RenderPin()) found = recording;
  }
  return found;
}

int32_t TestHostOutput(long hostFrame, size_t output) {
  const int32_t value = static_cast<int32_t>((hostFrame % 4096) + 1) * 65536;
  return output == 0 ? value : -value;
}

void StreamingRig::UseRecordingHost() {
  host.onSwitch = [this](long index) {
    const long switchNumber = static_cast<long>(seen.size());
    std::vector<std::vector<int32_t>> inputs;
    for (size_t i = 0; i < inputInfos.size(); ++i)
      inputs.emplace_back(In(i, index), In(i, index) + bufferSize);
    seen.push_back(inputs);
    for (size_t o = 0; o < outputInfos.size(); ++o)
      for (long f = 0; f < bufferSize; ++f)
        Out(o, index)[f] = TestHostOutput(switchNumber * bufferSize + f, o);
  };
}

void StreamingRig::ExpectCapturedPattern(ULONGLONG firstFrame) {
  for (size_t s = 0; s < seen.size(); ++s)
    for (size_t i = 0; i < inputInfos.size(); ++i)
      for (long f = 0; f < bufferSize; ++f) {
        const ULONGLONG frame = firstFrame + s * bufferSize + f;
        const WORD channel = static_cast<WORD>(inputInfos[i].channelNum);
        ASSERT_EQ(seen[s][i][f], HostSampleOf(VdCaptureSample(frame, channel)))
            << "switch " << s << " channel " << channel << " frame " << f;
      }
}

void StreamingRig::ExpectRenderedHostOutput(long latency, long hostFrames,
                                            const std::vector<size_t>& fed, ULONGLONG firstFrame) {
  const VdRecording recording = Recording();
  ASSERT_EQ(recording.nChannels, 2);
  const long played = static_cast<long>(recording.samples.size() / 2);
  const long B = bufferSize;
  // Where the render pin started on the host's timeline.
  const long offset = static_cast<long>(recording.ullFirstFrame) - static_cast<long>(firstFrame);
  // At least one buffer of plain host output after the fade.
  ASSERT_GE(played + offset, latency + 4 * B);
  for (long r = 0; r < played; ++r) {
    const long h = r + offset - latency;
    for (size_t c = 0; c < 2; ++c) {
      const int32_t actual = recording.samples[2 * r + c];
      size_t slot = fed.size();
      for (size_t o = 0; o < fed.size(); ++o)
        if (fed[o] == c) slot = o;
      if (h < 2 * B || slot == fed.size()) {
        ASSERT_EQ(actual, 0) << "frame " << r << " channel " << c;
      } else if (h < 3 * B) {
        const double expected = -static_cast<double>(TestHostOutput(h, slot)) * (h - 2 * B) / B;
        ASSERT_NEAR(actual, expected, 1e-5 * std::fabs(TestHostOutput(h, slot)) + 1)
            << "fade frame " << h - 2 * B;
      } else if (h < hostFrames) {
        ASSERT_EQ(actual, -TestHostOutput(h, slot)) << "frame " << r << " channel " << c;
      }
    }
  }
}
