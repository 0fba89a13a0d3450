// The published ASIO driver interface as 64-bit Windows hosts see it.
//
// Records use 4-byte packing, as MSVC-built hosts compile them; GCC would
// align naturally and disagree on three sizes. Every size and offset is
// checked below so that a change here cannot silently break hosts.
#ifndef VOROD_DRIVER_ASIOTYPES_H
#define VOROD_DRIVER_ASIOTYPES_H

#include <windows.h>
#include <unknwn.h>

#include <cstddef>

static_assert(sizeof(long) == 4, "ASIO's long is 32 bits on Win64 (LLP64)");

typedef long ASIOBool;
typedef long ASIOError;
typedef long ASIOSampleType;
typedef double ASIOSampleRate;

enum : long { ASIOFalse = 0, ASIOTrue = 1 };

enum : long {
  ASE_OK = 0,
  ASE_SUCCESS = 0x3F4847A0,
  ASE_NotPresent = -1000,
  ASE_HWMalfunction = -999,
  ASE_InvalidParameter = -998,
  ASE_InvalidMode = -997,
  ASE_SPNotAdvancing = -996,
  ASE_NoClock = -995,
  ASE_NoMemory = -994
};

enum : long {
  ASIOSTInt16LSB = 16,
  ASIOSTInt24LSB = 17,
  ASIOSTInt32LSB = 18,
  ASIOSTFloat32LSB = 19,
  ASIOSTFloat64LSB = 20
};

// asioMessage selectors.
enum : long {
  kAsioSelectorSupported = 1,
  kAsioEngineVersion = 2,
  kAsioResetRequest = 3,
  kAsioBufferSizeChange = 4,
  kAsioResyncRequest = 5,
  kAsioLatenciesChanged = 6,
  kAsioSupportsTimeInfo = 7,
  kAsioSupportsTimeCode = 8,
  kAsioMMCCommand = 9,
  kAsioSupportsInputMonitor = 10,
  kAsioSupportsInputGain = 11,
  kAsioSupportsInputMeter = 12,
  kAsioSupportsOutputGain = 13,
  kAsioSupportsOutputMeter = 14,
  kAsioOverload = 15
};

// future() selectors.
enum : long {
  kAsioEnableTimeCodeRead = 1,
  kAsioDisableTimeCodeRead = 2,
  kAsioSetInputMonitor = 3,
  kAsioTransport = 4,
  kAsioSetInputGain = 5,
  kAsioGetInputMeter = 6,
  kAsioSetOutputGain = 7,
  kAsioGetOutputMeter = 8,
  kAsioCanInputMonitor = 9,
  kAsioCanTimeInfo = 10,
  kAsioCanTimeCode = 11,
  kAsioCanTransport = 12,
  kAsioCanInputGain = 13,
  kAsioCanInputMeter = 14,
  kAsioCanOutputGain = 15,
  kAsioCanOutputMeter = 16,
  kAsioCanReportOverload = 0x24042012
};

// AsioTimeInfo flags.
enum : unsigned long {
  kSystemTimeValid = 1,
  kSamplePositionValid = 2,
  kSampleRateValid = 4,
  kSpeedValid = 8,
  kSampleRateChanged = 0x10,
  kClockSourceChanged = 0x20
};

// ASIOTimeCode flags.
enum : unsigned long {
  kTcValid = 1,
  kTcRunning = 2,
  kTcReverse = 4,
  kTcOnspeed = 8,
  kTcStill = 0x10,
  kTcSpeedValid = 0x100
};

#pragma pack(push, 4)

// A 64-bit value as two halves, high half first: never copy a 64-bit
// integer over it.
struct ASIOSamples {
  unsigned long hi;
  unsigned long lo;
};
typedef ASIOSamples ASIOTimeStamp;

struct ASIOBufferInfo {
  ASIOBool isInput;
  long channelNum;
  void* buffers[2];
};

struct ASIOChannelInfo {
  long channel;
  ASIOBool isInput;
  ASIOBool isActive;
  long channelGroup;
  ASIOSampleType type;
  char name[32];
};

struct ASIOClockSource {
  long index;
  long associatedChannel;
  long associatedGroup;
  ASIOBool isCurrentSource;
  char name[32];
};

struct AsioTimeInfo {
  double speed;
  ASIOTimeStamp systemTime;
  ASIOSamples samplePosition;
  ASIOSampleRate sampleRate;
  unsigned long flags;
  char reserved[12];
};

struct ASIOTimeCode {
  double speed;
  ASIOSamples timeCodeSamples;
  unsigned long flags;
  char future[64];
};

struct ASIOTime {
  long reserved[4];
  AsioTimeInfo timeInfo;
  ASIOTimeCode timeCode;
};

// The record of future(kAsioSetInputMonitor): input -1 means every input.
struct ASIOInputMonitor {
  long input;
  long output;
  long gain;
  ASIOBool state;
  long pan;
};

struct ASIOCallbacks {
  void (*bufferSwitch)(long doubleBufferIndex, ASIOBool directProcess);
  void (*sampleRateDidChange)(ASIOSampleRate sRate);
  long (*asioMessage)(long selector, long value, void* message, double* opt);
  ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, long doubleBufferIndex,
                                    ASIOBool directProcess);
};

#pragma pack(pop)

static_assert(sizeof(ASIOSamples) == 8, "ASIOSamples size");
static_assert(offsetof(ASIOSamples, hi) == 0 && offsetof(ASIOSamples, lo) == 4,
              "ASIOSamples halves");

static_assert(sizeof(ASIOBufferInfo) == 24, "ASIOBufferInfo size");
static_assert(offsetof(ASIOBufferInfo, isInput) == 0, "ASIOBufferInfo.isInput");
static_assert(offsetof(ASIOBufferInfo, channelNum) == 4, "ASIOBufferInfo.channelNum");
static_assert(offsetof(ASIOBufferInfo, buffers) == 8, "ASIOBufferInfo.buffers");

static_assert(sizeof(ASIOChannelInfo) == 52, "ASIOChannelInfo size");
static_assert(offsetof(ASIOChannelInfo, channel) == 0, "ASIOChannelInfo.channel");
static_assert(offsetof(ASIOChannelInfo, isInput) == 4, "ASIOChannelInfo.isInput");
static_assert(offsetof(ASIOChannelInfo, isActive) == 8, "ASIOChannelInfo.isActive");
static_assert(offsetof(ASIOChannelInfo, channelGroup) == 12, "ASIOChannelInfo.channelGroup");
static_assert(offsetof(ASIOChannelInfo, type) == 16, "ASIOChannelInfo.type");
static_assert(offsetof(ASIOChannelInfo, name) == 20, "ASIOChannelInfo.name");

static_assert(sizeof(ASIOClockSource) == 48, "ASIOClockSource size");
static_assert(offsetof(ASIOClockSource, index) == 0, "ASIOClockSource.index");
static_assert(offsetof(ASIOClockSource, associatedChannel) == 4, "ASIOClockSource.associatedChannel");
static_assert(offsetof(ASIOClockSource, associatedGroup) == 8, "ASIOClockSource.associatedGroup");
static_assert(offsetof(ASIOClockSource, isCurrentSource) == 12, "ASIOClockSource.isCurrentSource");
static_assert(offsetof(ASIOClockSource, name) == 16, "ASIOClockSource.name");

static_assert(sizeof(AsioTimeInfo) == 48, "AsioTimeInfo size");
static_assert(offsetof(AsioTimeInfo, speed) == 0, "AsioTimeInfo.speed");
static_assert(offsetof(AsioTimeInfo, systemTime) == 8, "AsioTimeInfo.systemTime");
static_assert(offsetof(AsioTimeInfo, samplePosition) == 16, "AsioTimeInfo.samplePosition");
static_assert(offsetof(AsioTimeInfo, sampleRate) == 24, "AsioTimeInfo.sampleRate");
static_assert(offsetof(AsioTimeInfo, flags) == 32, "AsioTimeInfo.flags");
static_assert(offsetof(AsioTimeInfo, reserved) == 36, "AsioTimeInfo.reserved");

static_assert(sizeof(ASIOTimeCode) == 84, "ASIOTimeCode size (88 if naturally aligned)");
static_assert(offsetof(ASIOTimeCode, speed) == 0, "ASIOTimeCode.speed");
static_assert(offsetof(ASIOTimeCode, timeCodeSamples) == 8, "ASIOTimeCode.timeCodeSamples");
static_assert(offsetof(ASIOTimeCode, flags) == 16, "ASIOTimeCode.flags");
static_assert(offsetof(ASIOTimeCode, future) == 20, "ASIOTimeCode.future");

static_assert(sizeof(ASIOTime) == 148, "ASIOTime size (152 if naturally aligned)");
static_assert(offsetof(ASIOTime, reserved) == 0, "ASIOTime.reserved");
static_assert(offsetof(ASIOTime, timeInfo) == 16, "ASIOTime.timeInfo");
static_assert(offsetof(ASIOTime, timeCode) == 64, "ASIOTime.timeCode");

static_assert(sizeof(ASIOInputMonitor) == 20, "ASIOInputMonitor size");

static_assert(sizeof(ASIOCallbacks) == 32, "ASIOCallbacks size");
static_assert(offsetof(ASIOCallbacks, bufferSwitch) == 0, "ASIOCallbacks.bufferSwitch");
static_assert(offsetof(ASIOCallbacks, sampleRateDidChange) == 8, "ASIOCallbacks.sampleRateDidChange");
static_assert(offsetof(ASIOCallbacks, asioMessage) == 16, "ASIOCallbacks.asioMessage");
static_assert(offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == 24, "ASIOCallbacks.bufferSwitchTimeInfo");

// The driver interface. Slots 0 to 2 are IUnknown's; no virtual destructor,
// which would add slots under GCC.
struct IASIO : public IUnknown {
  virtual ASIOBool init(void* sysHandle) = 0;
  virtual void getDriverName(char* name) = 0;
  virtual long getDriverVersion() = 0;
  virtual void getErrorMessage(char* string) = 0;
  virtual ASIOError start() = 0;
  virtual ASIOError stop() = 0;
  virtual ASIOError getChannels(long* numInputChannels, long* numOutputChannels) = 0;
  virtual ASIOError getLatencies(long* inputLatency, long* outputLatency) = 0;
  virtual ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                  long* granularity) = 0;
  virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
  virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError getClockSources(ASIOClockSource* clocks, long* numSources) = 0;
  virtual ASIOError setClockSource(long reference) = 0;
  virtual ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
  virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
  virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, long numChannels,
                                  long bufferSize, ASIOCallbacks* callbacks) = 0;
  virtual ASIOError disposeBuffers() = 0;
  virtual ASIOError controlPanel() = 0;
  virtual ASIOError future(long selector, void* opt) = 0;
  virtual ASIOError outputReady() = 0;
};

// Sizes the host hands us: getDriverName's buffer and getErrorMessage's.
constexpr size_t kAsioDriverNameBytes = 32;
constexpr size_t kAsioErrorMessageBytes = 124;

#endif  // VOROD_DRIVER_ASIOTYPES_H
