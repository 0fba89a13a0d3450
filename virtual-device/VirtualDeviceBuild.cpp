// The virtual-device build of the driver DLL: the same library, with the
// default virtual Vor OD installed behind the device seam from the moment the
// library loads, so that any host can load it and find a Vor OD. Only the
// virtual-device build links this file.
//
// The device runs on the real-time clock. It is lossless (it waits for a late
// host instead of losing audio) unless the environment variable
// VOROD_VIRTUAL_CLOCK is "strict", which makes it lose frames as hardware does.
// Render channels 0 and 1 are looped back into capture channels 14 and 15, so
// that a host can measure its round trip; channels 0 to 13 carry the capture
// pattern (see VirtualDevice.h).
//
// More of the environment, so that any host can be tried against them:
//   VOROD_VIRTUAL_STREAMING=standard  the Vor OD's pins offer standard
//                                     streaming only (default: looped first)
//   VOROD_VIRTUAL_UNPLUG_MS=N         the device is pulled out N ms after a
//                                     capture pin of the process first runs
//   VOROD_VIRTUAL_REPLUG_MS=M         and put back M ms after that
// and the rough edges of real hardware (VirtualDevice.h tells each):
//   VOROD_VIRTUAL_PROFILE=usb         a USB 2 mixer's, the knobs below on top;
//                                     strict unless VOROD_VIRTUAL_CLOCK=lossless
//   VOROD_VIRTUAL_POSITION_STEP=N     registers move in steps of N frames
//   VOROD_VIRTUAL_REGISTER_LAG_US=N   registers lag the device up to N us
//   VOROD_VIRTUAL_SIGNAL_JITTER_US=N  signals come up to N us late
//   VOROD_VIRTUAL_PPM=N               the device clock N ppm off (may be < 0)
//   VOROD_VIRTUAL_POSITION_REGISTER=none, VOROD_VIRTUAL_CLOCK_REGISTER=none
//                                     the register is not there
//   VOROD_VIRTUAL_STALL_MS=N, VOROD_VIRTUAL_STALL_EVERY_MS=M
//                                     transfers stop for N ms every M ms
//   VOROD_VIRTUAL_IDLE_WRITE_DELAY=N  a write to a render queue run dry
//                                     starts N frames after it came
#include <windows.h>
#include <process.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "virtual-device/VirtualDevice.h"

namespace {

// An environment variable as the process has it now; empty when unset.
std::string Environment(const char* name) {
  char value[64] = {};
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
  return length > 0 && length < sizeof(value) ? std::string(value) : std::string();
}

// A number from the environment, or `fallback` when the variable is unset
// or not a whole number.
long Number(const char* name, long fallback) {
  const std::string text = Environment(name);
  char* end = nullptr;
  const long value = strtol(text.c_str(), &end, 10);
  return !text.empty() && end != nullptr && *end == '\0' ? value : fallback;
}

ULONG Count(const char* name, ULONG fallback) {
  const long value = Number(name, static_cast<long>(fallback));
  return value >= 0 ? static_cast<ULONG>(value) : fallback;
}

void ApplyRoughEdges(VdMachine* machine) {
  if (_stricmp(Environment("VOROD_VIRTUAL_PROFILE").c_str(), "usb") == 0) VdUseUsbProfile(machine);
  VdStreamingConfig& streaming = machine->streaming;
  streaming.ulPositionStepFrames = Count("VOROD_VIRTUAL_POSITION_STEP", streaming.ulPositionStepFrames);
  streaming.ulRegisterLagUs = Count("VOROD_VIRTUAL_REGISTER_LAG_US", streaming.ulRegisterLagUs);
  streaming.ulSignalJitterUs = Count("VOROD_VIRTUAL_SIGNAL_JITTER_US", streaming.ulSignalJitterUs);
  const long ppm = Number("VOROD_VIRTUAL_PPM", streaming.lClockPpm);
  if (ppm > -100000 && ppm < 100000) streaming.lClockPpm = ppm;
  if (_stricmp(Environment("VOROD_VIRTUAL_POSITION_REGISTER").c_str(), "none") == 0)
    streaming.bPositionRegister = false;
  if (_stricmp(Environment("VOROD_VIRTUAL_CLOCK_REGISTER").c_str(), "none") == 0)
    streaming.bClockRegister = false;
  streaming.ulIdleWriteDelayFrames = Count("VOROD_VIRTUAL_IDLE_WRITE_DELAY", streaming.ulIdleWriteDelayFrames);
  streaming.ulStallMs = Count("VOROD_VIRTUAL_STALL_MS", streaming.ulStallMs);
  streaming.ulStallEveryMs = Count("VOROD_VIRTUAL_STALL_EVERY_MS", streaming.ulStallEveryMs);
}

VdMachine BuildMachine() {
  VdMachine machine = VdDefaultMachine();
  ApplyRoughEdges(&machine);
  machine.streaming.loopbacks = {{0, 14}, {1, 15}};
  // A host may stream for hours: no log of every stream request.
  machine.streaming.bLogStreamIo = false;
  machine.streaming.ulRecordFramesMax = 0;
  if (_stricmp(Environment("VOROD_VIRTUAL_STREAMING").c_str(), "standard") == 0) {
    for (VdFilter& filter : machine.filters) {
      if (filter.instancePath.find("5e5e") == std::string::npos &&
          filter.instancePath.find("5E5E") == std::string::npos)
        continue;
      for (VdPinFactory& pin : filter.pins) {
        std::vector<KSPIN_INTERFACE> standard;
        for (const KSPIN_INTERFACE& item : pin.interfaces)
          if (item.Id == KSINTERFACE_STANDARD_STREAMING) standard.push_back(item);
        if (!pin.interfaces.empty()) pin.interfaces = standard;
      }
    }
  }
  return machine;
}

// A USB device never waits for its host: its profile runs strict unless the
// clock is asked to be lossless.
bool Strict() {
  const std::string clock = Environment("VOROD_VIRTUAL_CLOCK");
  if (_stricmp(clock.c_str(), "strict") == 0) return true;
  return _stricmp(Environment("VOROD_VIRTUAL_PROFILE").c_str(), "usb") == 0 && _stricmp(clock.c_str(), "lossless") != 0;
}

class VirtualDeviceBuild {
 public:
  VirtualDeviceBuild()
      : m_device(BuildMachine()),
        m_unplugMs(atoi(Environment("VOROD_VIRTUAL_UNPLUG_MS").c_str())),
        m_replugMs(atoi(Environment("VOROD_VIRTUAL_REPLUG_MS").c_str())),
        m_quit(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        m_thread(nullptr) {
    m_device.Install();
    m_device.SetClockMode(Strict() ? VdClockMode::RealTimeStrict : VdClockMode::RealTimeLossless);
    if (m_unplugMs > 0)
      m_thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Unplugger, this, 0, nullptr));
  }
  ~VirtualDeviceBuild() {
    // The unplugger waits on m_quit only; at unload it may not get to end
    // before the loader lets it, so the wait is short.
    SetEvent(m_quit);
    if (m_thread != nullptr) {
      WaitForSingleObject(m_thread, 200);
      CloseHandle(m_thread);
    }
    m_device.Uninstall();
  }

 private:
  bool CaptureRunning() {
    for (HANDLE pin : m_device.PinInstances()) {
      VdPinInstanceInfo info;
      if (m_device.GetPinInstance(pin, &info) && info.state == KSSTATE_RUN &&
          m_device.Machine().filters[info.iFilter].pins[info.iPin].ulDataFlow == KSPIN_DATAFLOW_OUT)
        return true;
    }
    return false;
  }

  static unsigned __stdcall Unplugger(void* self) {
    VirtualDeviceBuild* build = static_cast<VirtualDeviceBuild*>(self);
    while (!build->CaptureRunning())
      if (WaitForSingleObject(build->m_quit, 2) == WAIT_OBJECT_0) return 0;
    if (WaitForSingleObject(build->m_quit, build->m_unplugMs) == WAIT_OBJECT_0) return 0;
    build->m_device.Unplug();
    if (build->m_replugMs <= 0) return 0;
    if (WaitForSingleObject(build->m_quit, build->m_replugMs) == WAIT_OBJECT_0) return 0;
    build->m_device.Replug();
    return 0;
  }

  CVirtualDevice m_device;
  int m_unplugMs;
  int m_replugMs;
  HANDLE m_quit;
  HANDLE m_thread;
};

VirtualDeviceBuild g_virtualDeviceBuild;

}  // namespace
