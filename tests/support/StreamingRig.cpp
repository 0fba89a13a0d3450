#include "tests/support/StreamingRig.h"

#include <process.h>

#include <algorithm>

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

StreamingRig::StreamingRig(StreamMode streamMode)
    : StreamingRig(streamMode,
                   streamMode == StreamMode::Looped ? VdDefaultMachine() : StandardFirstMachine()) {}

StreamingRig::StreamingRig(StreamMode streamMode, const VdMachine& machine)
    : device(machine), mode(streamMode) {
  device.Install();
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

ASIOError StreamingRig::Start(ULONG frames) {
  StartCall call = {driver.get(), ASE_HWMalfunction};
  HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &CallStart, &call, 0, nullptr));
  if (device.WaitUntil([&](const CVirtualDevice&) {
        return PinRunning(CapturePin()) && PinRunning(RenderPin());
      })) {
    device.Step(frames);
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
