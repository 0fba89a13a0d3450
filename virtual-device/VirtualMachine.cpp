// The default machine of the virtual device and the building blocks of
// machines.
#include "virtual-device/VirtualDevice.h"

#include <stdio.h>

namespace {

// Published KS GUIDs that only the model needs.
const GUID kSubtypeAnalog = {0x6DBA3190, 0x67BD, 0x11CF, {0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
const GUID kSpecifierNone = {0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID kPinNameCapture = {0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
const GUID kNodeTypeMicrophone = {0xDFF21BE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID kNodeTypeSpeaker = {0xDFF21CE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID kNodeTypeAdc = {0x4D837FE0, 0xC555, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
const GUID kNodeTypeDac = {0x507AE360, 0xC554, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
const GUID kNodeTypeVolume = {0x3A5ACC00, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
const GUID kNodeTypeMute = {0x02B223C0, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};

KSPIN_INTERFACE StandardInterface(ULONG ulId) {
  KSPIN_INTERFACE ksInterface;
  ksInterface.Set = KsGuid::InterfaceSetStandard;
  ksInterface.Id = ulId;
  ksInterface.Flags = 0;
  return ksInterface;
}

KSPIN_MEDIUM StandardMedium() {
  KSPIN_MEDIUM ksMedium;
  ksMedium.Set = KsGuid::MediumSetStandard;
  ksMedium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  ksMedium.Flags = 0;
  return ksMedium;
}

VdFilter MakeFilter(const char* pszInstance, const char* pszReference, const char* pszName,
                    REFGUID guidDirection, bool bCapture) {
  VdFilter filter;
  filter.instancePath = pszInstance;
  filter.referenceString = pszReference;
  filter.interfaces = {{KsGuid::CategoryAudio, SPINT_ACTIVE},
                       {guidDirection, SPINT_ACTIVE}};
  filter.bHasRegistryKey = true;
  filter.bHasFriendlyName = true;
  filter.bFriendlyNameUnterminated = false;
  filter.friendlyName = pszName;
  filter.dwOpenError = 0;
  if (bCapture) {
    filter.nodes = {kNodeTypeAdc, kNodeTypeVolume, kNodeTypeMute};
  } else {
    filter.nodes = {kNodeTypeVolume, kNodeTypeMute, kNodeTypeDac};
  }
  return filter;
}

VdFilter VorOdCaptureFilter(const char* pszInstance, const char* pszReference, const char* pszName,
                            WORD nMaxChannels, std::vector<VdChannelConfig> configs) {
  VdFilter filter = MakeFilter(pszInstance, pszReference, pszName, KsGuid::CategoryCapture, true);
  VdPinFactory capture =
      VdStreamingPin(KSPIN_DATAFLOW_OUT, nMaxChannels, 24, 32, 48000, 48000, true);
  capture.channelConfigs = std::move(configs);
  capture.name = L"Multitrack";
  capture.ulDelayFrames = kVdCaptureDelayFrames;
  filter.pins = {VdBridgePin(KSPIN_DATAFLOW_IN), capture};
  return filter;
}

VdFilter VorOdRenderFilter(const char* pszReference, const char* pszName) {
  VdFilter filter = MakeFilter("\\\\?\\usb#vid_5e5e&pid_0a0a&mi_02#7&2b3c4d5e&0&0002",
                               pszReference, pszName, KsGuid::CategoryRender, false);
  VdPinFactory render = VdStreamingPin(KSPIN_DATAFLOW_IN, 2, 24, 32, 48000, 48000, true);
  render.channelConfigs = {{2, KSAUDIO_SPEAKER_STEREO}};
  render.name = L"Playback";
  render.ulDelayFrames = kVdRenderDelayFrames;
  filter.pins = {render, VdBridgePin(KSPIN_DATAFLOW_OUT)};
  return filter;
}

}  // namespace

KSDATARANGE_AUDIO VdAudioRange(REFGUID guidSubFormat, ULONG ulMaxChannels, ULONG ulMinBits,
                               ULONG ulMaxBits, ULONG ulMinRate, ULONG ulMaxRate) {
  KSDATARANGE_AUDIO range = {};
  range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  range.DataRange.MajorFormat = KsGuid::DataFormatTypeAudio;
  range.DataRange.SubFormat = guidSubFormat;
  range.DataRange.Specifier = KsGuid::DataFormatSpecifierWaveFormatEx;
  range.MaximumChannels = ulMaxChannels;
  range.MinimumBitsPerSample = ulMinBits;
  range.MaximumBitsPerSample = ulMaxBits;
  range.MinimumSampleFrequency = ulMinRate;
  range.MaximumSampleFrequency = ulMaxRate;
  return range;
}

VdPinFactory VdStreamingPin(ULONG ulDataFlow, WORD nMaxChannels, ULONG ulValidBits,
                            USHORT usContainerBits, ULONG ulMinRate, ULONG ulMaxRate,
                            bool bLoopedFirst) {
  VdPinFactory pin;
  pin.ulDataFlow = ulDataFlow;
  pin.ulCommunication = KSPIN_COMMUNICATION_SINK;
  if (bLoopedFirst) {
    pin.interfaces = {StandardInterface(KSINTERFACE_STANDARD_LOOPED_STREAMING),
                      StandardInterface(KSINTERFACE_STANDARD_STREAMING)};
  } else {
    pin.interfaces = {StandardInterface(KSINTERFACE_STANDARD_STREAMING)};
  }
  pin.mediums = {StandardMedium()};
  pin.dataRanges = {{VdAudioRange(KsGuid::DataFormatSubtypePcm, nMaxChannels, ulValidBits,
                                  ulValidBits, ulMinRate, ulMaxRate),
                     usContainerBits}};
  pin.ulPossibleInstances = 1;
  pin.guidCategory = ulDataFlow == KSPIN_DATAFLOW_OUT ? kPinNameCapture : KsGuid::CategoryAudio;
  pin.wMaxPlainPcmChannels = 2;
  pin.dwCreateError = 0;
  return pin;
}

VdPinFactory VdBridgePin(ULONG ulDataFlow) {
  VdPinFactory pin;
  pin.ulDataFlow = ulDataFlow;
  pin.ulCommunication = KSPIN_COMMUNICATION_BRIDGE;
  pin.interfaces = {StandardInterface(KSINTERFACE_STANDARD_STREAMING)};
  pin.mediums = {StandardMedium()};
  VdDataRange analog = {};
  analog.range.DataRange.FormatSize = sizeof(KSDATARANGE);
  analog.range.DataRange.MajorFormat = KsGuid::DataFormatTypeAudio;
  analog.range.DataRange.SubFormat = kSubtypeAnalog;
  analog.range.DataRange.Specifier = kSpecifierNone;
  pin.dataRanges = {analog};
  pin.ulPossibleInstances = 0;
  pin.guidCategory = ulDataFlow == KSPIN_DATAFLOW_IN ? kNodeTypeMicrophone : kNodeTypeSpeaker;
  pin.wMaxPlainPcmChannels = 0;
  pin.dwCreateError = 0;
  return pin;
}

VdFilter VdHangingFilter() {
  VdFilter filter = MakeFilter("\\\\?\\hdaudio#func_01&ven_10de&dev_0083#5&1a2b3c4d&0&0001",
                               "topo", "Display Audio", KsGuid::CategoryRender, false);
  filter.pins = {VdStreamingPin(KSPIN_DATAFLOW_IN, 2, 16, 16, 48000, 48000, false),
                 VdBridgePin(KSPIN_DATAFLOW_OUT)};
  filter.bPropertiesHang = true;
  return filter;
}

std::string VdFilter::DevicePath(REFGUID guidCategory) const {
  char szGuid[40];
  snprintf(szGuid, sizeof(szGuid), "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
           static_cast<unsigned long>(guidCategory.Data1), guidCategory.Data2,
           guidCategory.Data3, guidCategory.Data4[0], guidCategory.Data4[1],
           guidCategory.Data4[2], guidCategory.Data4[3], guidCategory.Data4[4],
           guidCategory.Data4[5], guidCategory.Data4[6], guidCategory.Data4[7]);
  return instancePath + "#" + szGuid + "\\" + referenceString;
}

VdMachine VdDefaultMachine() {
  VdMachine machine;

  // The decoy: a USB headset with a microphone and an earphone filter.
  const char* pszHeadset = "\\\\?\\usb#vid_1a2b&pid_3c4d&mi_00#6&1f4e2a7&0&0000";
  VdFilter headsetCapture =
      MakeFilter(pszHeadset, "capture", "USB Headset Microphone", KsGuid::CategoryCapture, true);
  VdPinFactory microphone = VdStreamingPin(KSPIN_DATAFLOW_OUT, 1, 16, 16, 44100, 48000, false);
  microphone.channelConfigs = {{1, KSAUDIO_SPEAKER_MONO}};
  microphone.name = L"Microphone";
  headsetCapture.pins = {VdBridgePin(KSPIN_DATAFLOW_IN), microphone};

  VdFilter headsetRender =
      MakeFilter(pszHeadset, "render", "USB Headset Earphone", KsGuid::CategoryRender, false);
  VdPinFactory earphone = VdStreamingPin(KSPIN_DATAFLOW_IN, 2, 16, 16, 44100, 48000, false);
  earphone.channelConfigs = {{2, KSAUDIO_SPEAKER_STEREO}};
  earphone.name = L"Earphone";
  headsetRender.pins = {earphone, VdBridgePin(KSPIN_DATAFLOW_OUT)};

  // A Vor OD capture interface whose capture alias was removed: it must never
  // be taken, although it would accept a stereo capture pin.
  VdFilter stereo = VorOdCaptureFilter("\\\\?\\usb#vid_5e5e&pid_0a0a&mi_03#7&2b3c4d5e&0&0003",
                                       "stereo", "Quorvex Vor OD Stereo", 2,
                                       {{2, KSAUDIO_SPEAKER_STEREO}});
  stereo.interfaces[1].dwFlags = SPINT_REMOVED;

  // The Vor OD's capture filter; its path spells the USB id in capitals.
  VdFilter multitrack = VorOdCaptureFilter("\\\\?\\USB#VID_5E5E&PID_0A0A&MI_01#7&2B3C4D5E&0&0001",
                                           "multitrack", "Quorvex Vor OD Multitrack", 16,
                                           {{16, 0}, {2, KSAUDIO_SPEAKER_STEREO}});

  machine.filters = {headsetCapture,
                     headsetRender,
                     stereo,
                     multitrack,
                     VorOdRenderFilter("chat", "Quorvex Vor OD Chat"),
                     VorOdRenderFilter("main", "Quorvex Vor OD Main")};
  machine.bKsUserPresent = true;
  machine.bHasKsCreatePin2 = true;
  machine.bHasKsCreatePin = true;
  machine.rtAudio.cbAlign = 0;
  machine.rtAudio.cbMaximum = 1024 * 1024;
  machine.rtAudio.cbRoundUp = 0;
  return machine;
}

void VdUseUsbProfile(VdMachine* pMachine) {
  VdStreamingConfig& streaming = pMachine->streaming;
  streaming.ulPositionStepFrames = 48;  // once per USB millisecond
  streaming.ulRegisterLagUs = 250;
  streaming.ulSignalJitterUs = 500;
  streaming.lClockPpm = 80;
  streaming.bClockRegister = false;
  streaming.ulIdleWriteDelayFrames = 48;  // up to the next USB millisecond
  pMachine->rtAudio.ulRoundUpFrames = 48;
}
