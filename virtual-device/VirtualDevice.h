// The virtual Vor OD: a user-mode model of Windows' USB audio class driver as
// the Quorvex Vor OD presents it, answering the KS client through the device
// seam (ks/KsDeviceSeam.h). Tests, the demo and end-to-end builds use it; the
// production DLL never contains it.
//
// How to use it
//   CVirtualDevice device;                 // the default machine (below)
//   device.Machine().filters[kVdVorOdCapture].pins[1].channelConfigs = {{2, 3}};
//   device.Machine().bLogRequests = true;  // keep a log of the requests
//   device.Install();                      // the seam now reaches the model
//   ... drive the KS client ...
//   device.Requests();                     // every request received, in order
//   device.OpenHandleCount();              // virtual handles still open
//   device.Uninstall();                    // Windows' functions again (also
//                                          // done by the destructor)
// Change the machine between requests, not while another thread uses it. One
// device may be installed at a time. Install and Uninstall also forget the KS
// client's cached pin-creation entry point.
//
// The default machine (VdDefaultMachine), in enumeration order of
// KSCATEGORY_AUDIO; paths are "<instance>#{category}\<reference>":
//   0 kVdHeadsetCapture  \\?\usb#vid_1a2b&pid_3c4d&mi_00#6&1f4e2a7&0&0000 ...\capture
//                        "USB Headset Microphone", audio + capture
//   1 kVdHeadsetRender   \\?\usb#vid_1a2b&pid_3c4d&mi_00#6&1f4e2a7&0&0000 ...\render
//                        "USB Headset Earphone", audio + render
//   2 kVdVorOdStereo     \\?\usb#vid_5e5e&pid_0a0a&mi_03#7&2b3c4d5e&0&0003 ...\stereo
//                        "Quorvex Vor OD Stereo", audio; its capture alias is removed
//   3 kVdVorOdCapture    \\?\USB#VID_5E5E&PID_0A0A&MI_01#7&2B3C4D5E&0&0001 ...\multitrack
//                        "Quorvex Vor OD Multitrack", audio + capture
//   4 kVdVorOdChat       \\?\usb#vid_5e5e&pid_0a0a&mi_02#7&2b3c4d5e&0&0002 ...\chat
//                        "Quorvex Vor OD Chat", audio + render
//   5 kVdVorOdMain       \\?\usb#vid_5e5e&pid_0a0a&mi_02#7&2b3c4d5e&0&0002 ...\main
//                        "Quorvex Vor OD Main", audio + render
// Pins (every streaming pin beside a bridge pin, communication 4, which has
// no instances; standard medium; one instance per streaming pin):
//   capture filters: pin 0 bridge (data flow in), pin 1 capture (out, sink);
//   render filters:  pin 0 render (in, sink), pin 1 bridge (out).
//   Vor OD streaming pins offer looped streaming first, standard second; one
//   KSDATARANGE_AUDIO each, PCM, WAVEFORMATEX specifier, 24 valid bits in
//   32-bit containers, 48000 Hz only. Multitrack: up to 16 channels,
//   accepting 16 with channel mask 0 and 2 with mask 3. Chat, Main: 2
//   channels, mask 3. Stereo: 2 channels, mask 3. Device delays: 36 frames
//   on the capture pins, 60 on the render pins (ulDelayFrames).
//   Headset pins: standard streaming only, 16-bit, 44100 to 48000 Hz; the
//   microphone 1 channel (mask 4), the earphone 2 channels (mask 3).
//   A plain WAVEFORMATEX is accepted up to 2 channels (as Windows does).
// Topology nodes: capture filters ADC, volume, mute; render filters volume,
// mute, DAC.
//
// What it answers, as Windows documents it
// - Properties (IOCTL_KS_PROPERTY) always complete at once. A size query
//   (no output buffer) fails with ERROR_MORE_DATA and the required size in
//   the byte count; a too-small buffer fails with ERROR_INSUFFICIENT_BUFFER;
//   a multiple-item reply also answers a 4-byte buffer with its Size and an
//   8-byte one with its header. Unknown sets: ERROR_SET_NOT_FOUND; unknown
//   ids: ERROR_NOT_FOUND; a set of a read-only property: ERROR_INVALID_FUNCTION;
//   a bad pin id, node id or request record: ERROR_INVALID_PARAMETER.
// - Filters (KSPROPSETID_Pin, KSPROPSETID_Topology.NODES): the descriptors
//   above; CINSTANCES counts the open instances.
// - Pin creation (the virtual KsCreatePin2 / KsCreatePin that GetProcAddress
//   hands out for "ksuser.dll"): pin id (ERROR_INVALID_PARAMETER), interface
//   and medium (ERROR_NO_MATCH), instance count (ERROR_NO_SYSTEM_RESOURCES),
//   format against the data ranges, the container size, block alignment, byte
//   rate and channel rules (ERROR_NO_MATCH). KsCreatePin returns the Windows
//   error, KsCreatePin2 its HRESULT.
// - Pin instances: KSPROPERTY_CONNECTION_STATE get/set (any order of states),
//   KSPROPERTY_CONNECTION_DATAFORMAT get/set (set only when stopped),
//   KSPROPERTY_AUDIO_POSITION get/set (a running instance answers where it
//   is: packet streaming, the bytes it captured or played since it last
//   left KSSTATE_STOP, underruns and overruns not counted; looped streaming,
//   its byte offset in the cyclic buffer), KSPROPERTY_AUDIO_LATENCY (the
//   pin's ulDelayFrames as a KSTIME in 100-ns units),
//   KSPROPERTY_AUDIO_CHANNEL_CONFIG (node property), and on looped-streaming
//   instances KSPROPSETID_RtAudio: BUFFER and BUFFER_WITH_NOTIFICATION
//   allocate memory the instance owns (sizes per VdRtAudioConfig),
//   REGISTER/UNREGISTER_NOTIFICATION_EVENT keep the event handles,
//   POSITIONREGISTER maps a position word the instance owns (Width 32,
//   Accuracy the bytes of one register step) once in the instance's life:
//   a second request fails with ERROR_BUSY, and without a register
//   (bPositionRegister false) every request fails with ERROR_NOT_SUPPORTED;
//   CLOCKREGISTER likewise maps the device clock, a 64-bit count of its
//   frames (Numerator 48000, Denominator 1), unless bClockRegister is false;
//   HWLATENCY answers ulDelayFrames: half of it (rounded down) as FifoSize,
//   the rest as CodecDelay in 100-ns units. On a looped instance
//   KSPROPERTY_AUDIO_POSITION answers what the position register holds.
// - Stream I/O (IOCTL_KS_READ_STREAM / IOCTL_KS_WRITE_STREAM, one
//   KSSTREAM_HEADER per request) on standard-streaming instances: the event of
//   the OVERLAPPED is reset, the request is queued and the call fails with
//   ERROR_IO_PENDING. Looped instances refuse it (ERROR_INVALID_FUNCTION).
//   IOCTL_KS_RESET_STATE with KSRESET_BEGIN, a change to KSSTATE_STOP and the
//   close of the handle cancel every pending request as Windows does:
//   OVERLAPPED.Internal STATUS_CANCELLED, InternalHigh 0, a read's DataUsed 0
//   (a write's header is never written), and the event (low bit of hEvent
//   masked) signalled. Between KSRESET_BEGIN and KSRESET_END new stream
//   requests fail with ERROR_NOT_READY. Queued requests complete as device
//   time passes (below).
//
// Streaming: the device clock
//   One 48 kHz clock for the whole device, at frame 0 when the device is made.
//   Stepped (the default): Step(n) advances n frames; everything due within
//   them has completed and been signalled when it returns. It moves the
//   clock and the registers at most 24 frames at a time. RealTimeStrict and
//   RealTimeLossless: a thread of the device advances it with the wall clock
//   (QueryPerformanceCounter) while any pin instance exists. Strict loses
//   frames as hardware does when the host is late; lossless and stepped wait
//   for the host instead (below), at most VdStreamingConfig::dwHostWaitMs per
//   occasion, and count what they waited.
//   Only instances in KSSTATE_RUN move data; each keeps the device's frame
//   numbers, so a capture and a render pin started together stay aligned.
// Punctuality (real-time clocks)
//   Frame f is due (moved, and what ends with it signalled) when (f + 1) /
//   48000 s have passed since the clock started, less what a lossless device
//   waited. The clock thread sleeps (NtDelayExecution, which ends within
//   about 0.1 ms under Wine) until shortly before the next notification or
//   completion is due and spins out the rest, so the device signals on time
//   unless the machine keeps its thread from running; between signals it
//   wakes every millisecond, and it spins only before a signal, never while
//   nothing streams. Every notification and completion is timed against
//   device time: Stats() counts how many came at least 0.25, 0.5, 1, 2 and 4
//   ms late and the latest, and LateSignals() keeps the last 32768 that came
//   at least 0.25 ms late with their device frames, and the times the clock
//   thread itself showed the device that late (filter -1: the machine held
//   it, and its cells moved on ahead of its registers meanwhile), so that a
//   late device can be told from a late host.
// Standard streaming (KSINTERFACE_STANDARD_STREAMING instances)
//   Requests complete strictly in the order queued. A read is filled with
//   whole frames up to its FrameExtent and completes when the next frame
//   would not fit: STATUS_SUCCESS, DataUsed and InternalHigh the bytes
//   written, event signalled; unless bStampReads is false, its
//   PresentationTime holds the device clock's time of its first frame (100
//   ns units, from device frame 0) with KSSTREAM_HEADER_OPTIONSF_TIMEVALID. A write is played frame by frame from its first
//   DataUsed bytes (a partial last frame is skipped) and completes when its
//   last frame has been played. A capture frame due while no read is queued
//   is lost (an overrun); a render frame due while no write is queued is
//   played as silence (an underrun); both are counted in Stats().
//   Waiting for the host: before it completes the last request queued on an
//   instance, a stepped or lossless device waits for the host to queue
//   another, so that a host that keeps up never sees an empty queue.
// Looped streaming (KSINTERFACE_STANDARD_LOOPED_STREAMING instances)
//   The cyclic buffer, taken as a ring of whole 4-byte samples of even count
//   (cbBuffer rounded down to 8 bytes), is written (capture) or read (render)
//   frame after frame; a frame may straddle the halves or the end of the ring
//   and is then split, sample by sample. When the sample that reaches a half
//   of the ring (notification count 2) has moved, every registered event is
//   signalled, also in the middle of a frame; the position register holds
//   the byte offset of the next sample. A stepped or lossless device does not
//   go on past a notification (nor write the tail of a split frame into the
//   half the host may still be reading)
//   until the host has waited for it (the event is no longer signalled: read
//   without consuming it); a strict one counts a notification that finds its
//   event still signalled as missed. A half whose notification is still
//   unconsumed when the device comes back to it (every registered event has
//   stayed signalled since) has not been read (capture) or refilled (render):
//   each frame the device writes (capture) or plays (render) there counts in
//   Stats().ullOverwrittenFrames or ullUnconsumedPlayedFrames, the
//   device-side losses of looped streaming.
// The capture pattern
//   Every capture channel carries, unless a loopback feeds it, a sample from
//   which its device frame number (modulo 2^20) and channel can be read: see
//   VdCaptureSample and VdDecodeCaptureSample. 24 valid bits: the low 8 bits
//   are 0; bit 31 is bit 19 of the frame, so half of the samples are negative.
// Recording and loopback
//   With VdStreamingConfig::ulRecordFramesMax above 0, every frame a render
//   instance plays while running (silence included) is recorded, with the
//   device frame of the first one (Recordings()), up to that many frames per
//   run. Like the request log (VdMachine::bLogRequests), recording is off
//   unless a test turns it on: Requests() and Recordings() end the process
//   when it is off, so that no test reads an empty log as "nothing happened". VdLoopback entries
//   feed a render channel's played samples, with their low 8 bits cleared as
//   24-bit converters would, into a capture channel, through both pins'
//   device delays: a frame the render pin takes from its buffer at device
//   frame f reaches the capture buffer at f + render delay + capture delay
//   (renders are played before captures within a frame).
// Streaming faults
//   VdStreamingConfig::bHang       no request completes, no notification is
//                                  signalled and no position register moves
//                                  (device time still passes)
//   VdStreamingConfig::cbShortRead reads complete after at most this many
//                                  bytes; a partial frame at the end holds
//                                  the first samples of the next frame, which
//                                  the next read carries whole
//   VdStreamingConfig::cbDataUsedExcess
//                                  reads report this many bytes more in
//                                  DataUsed than they were given
//   Unplug()                       pending requests fail with
//                                  STATUS_DEVICE_NOT_CONNECTED (events
//                                  signalled); every later request fails with
//                                  ERROR_DEVICE_NOT_CONNECTED; handles can
//                                  still be closed
//   Replug()                       the device is back: new handles work,
//                                  those opened before the unplug stay dead
// Rough edges (VdStreamingConfig; all off by default, VdUseUsbProfile sets
// a USB 2 mixer's). Lag and jitter come from a generator seeded with
// ulRandomSeed, so a run repeats.
//   ulPositionStepFrames  position registers move only at device frames that
//                         are multiples of this; Accuracy says so
//   ulRegisterLagUs       position registers show where the pins were at a
//                         device time up to this much earlier (one lag for
//                         the whole device, drawn afresh every millisecond;
//                         never going back): a half's notification may come
//                         before its register reaches the half's end. A
//                         device that waits for its host shows where it is
//                         (steps too): time passes while it waits
//   ulSignalJitterUs      each notification and stream completion is
//                         signalled 0 to this much device time late; a
//                         device that waits for its host first signals what
//                         it holds back (its waits see no jitter), and a
//                         looped one does so at the half's end
//   lClockPpm             the device clock runs this many parts per million
//                         off the performance counter: on the real-time
//                         clocks its frames are due that much sooner or
//                         later; on the stepped clock
//                         PerformanceCounterMicroseconds tells a machine's
//                         time that runs off the stepped frames
//   bPositionRegister     false: no register (clients read
//                         KSPROPERTY_AUDIO_POSITION)
//   ulStallMs, ulStallEveryMs
//                         every ulStallEveryMs of device time the transfers
//                         stop for ulStallMs: nothing captured or played
//                         (render pins play silence, what was queued for
//                         those frames is dropped; a capture read half
//                         filled completes with what it holds), no signal,
//                         registers still; then the pins go on at the frame
//                         the clock reached, a notification for halves
//                         crossed, a standard capture's next read marked
//                         discontinuous.
//                         A device that waits for its host does not wait
//                         inside a stall.
//   ulIdleWriteDelayFrames
//                         a standard render pin whose queue has run dry
//                         starts a write that comes this many frames after
//                         it came (silence meanwhile), as a USB stream picks
//                         a request up at a later bus frame
// Faults on demand (all in VdMachine, so a test edits one record):
//   propertyFaults   any property request fails with a chosen error
//   replyOverrides   malformed multiple-item replies (short, Count running
//                    past the bytes, bad FormatSize, short audio ranges)
//   ioctlFaults      a reset or stream request fails
//   VdFilter::dwOpenError, bHasRegistryKey, bHasFriendlyName,
//   bFriendlyNameUnterminated, friendlyName (any length), bPropertiesHang
//   (property requests pend until CancelIoEx or the close of the handle
//   cancels them: STATUS_CANCELLED, event signalled; VdHangingFilter)
//   VdPinFactory::dwCreateError, channelConfigs (16 channels refused, only
//   one mask accepted...), dataRanges, interfaces, mediums
//   bKsUserPresent, bHasKsCreatePin2, bHasKsCreatePin
//   rtAudio          accepted buffer sizes (block, limit, rounding)
// - Filter and pin handles, device-information sets and interface keys are
//   unnamed events created for the purpose, so they never collide with other
//   handles; CloseHandle, DeviceIoControl and RegCloseKey pass handles the
//   device does not own on to Windows.
#ifndef VOROD_VIRTUAL_DEVICE_VIRTUALDEVICE_H
#define VOROD_VIRTUAL_DEVICE_VIRTUALDEVICE_H

#include "ks/KsDeviceSeam.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

// ------------------------------------------------------------------ model

// A data range as a pin factory reports it. FormatSize bytes of the record
// are reported (64 for a plain KSDATARANGE such as a bridge pin's).
struct VdDataRange {
  KSDATARANGE_AUDIO range;
  // The wBitsPerSample an instantiation must carry, 0 for "equal to the valid
  // bits": the device's containers are wider than its samples.
  USHORT usContainerBits;
};

// A channel count and mask that an extensible format may carry.
struct VdChannelConfig {
  WORD nChannels;
  DWORD dwChannelMask;
};

struct VdPinFactory {
  ULONG ulDataFlow;                         // KSPIN_DATAFLOW_IN / _OUT
  ULONG ulCommunication;                    // KSPIN_COMMUNICATION_*
  std::vector<KSPIN_INTERFACE> interfaces;  // in the order reported
  std::vector<KSPIN_MEDIUM> mediums;
  std::vector<VdDataRange> dataRanges;
  ULONG ulPossibleInstances;                // CInstances and GlobalCInstances
  GUID guidCategory;
  std::wstring name;                        // KSPROPERTY_PIN_NAME; empty: not found
  // Extensible formats are accepted only with one of these; empty: any.
  std::vector<VdChannelConfig> channelConfigs;
  WORD wMaxPlainPcmChannels;                // plain WAVEFORMATEX up to this many
  DWORD dwCreateError;                      // fault: refuse every creation with it
  // Frames between the pin's buffer and its converter (the device's own
  // delay): reported on its instances, and applied by the loopback.
  ULONG ulDelayFrames = 0;
};

// A device-interface category the filter is registered under.
struct VdInterface {
  GUID guidCategory;
  DWORD dwFlags;  // SPINT_ACTIVE, SPINT_DEFAULT, SPINT_REMOVED
};

struct VdFilter {
  std::string instancePath;            // "\\?\usb#vid_...#..."
  std::string referenceString;         // "multitrack"
  std::vector<VdInterface> interfaces; // enumerated unless SPINT_REMOVED
  bool bHasRegistryKey;                // fault when false: no interface key
  bool bHasFriendlyName;               // fault when false: no "FriendlyName"
  bool bFriendlyNameUnterminated;      // the value is stored without its zero
  std::string friendlyName;
  std::vector<VdPinFactory> pins;
  std::vector<GUID> nodes;             // topology node types in id order
  DWORD dwOpenError;                   // fault: CreateFileA fails with it
  // Fault: property requests on the filter stay pending until CancelIoEx
  // (or the handle's close) cancels them, as with a broken driver.
  bool bPropertiesHang = false;

  // The device-interface path under one of its categories.
  std::string DevicePath(REFGUID guidCategory) const;
};

// Fault: a property request that fails. Matches a request on the property
// set and id; iFilter, iPin (the KSP_PIN pin id on a filter handle, the pin
// factory of an instance) and ulFlags (KSPROPERTY_TYPE_GET, _SET...) narrow
// it when not -1 / 0.
struct VdPropertyFault {
  GUID guidSet;
  ULONG ulId;
  DWORD dwError;
  int iFilter = -1;
  int iPin = -1;
  ULONG ulFlags = 0;
  int iRemaining = -1;  // how many requests fail; -1 for all
};

// Fault: a malformed reply. A get of the property on a filter handle for the
// pin id (KSP_PIN.PinId, -1 any) answers these bytes, with the usual
// size-query and too-small-buffer rules.
struct VdReplyOverride {
  int iFilter;
  int iPin;
  GUID guidSet;
  ULONG ulId;
  std::vector<BYTE> reply;
};

// Fault: a device I/O control (other than a property) that fails on a pin
// handle, such as IOCTL_KS_RESET_STATE or a stream request.
struct VdIoctlFault {
  ULONG ulIoctl;
  DWORD dwError;
  int iRemaining = -1;  // how many requests fail; -1 for all
};

struct VdRtAudioConfig {
  ULONG cbAlign;     // requested sizes must be multiples of this (0: any)
  ULONG cbMaximum;   // larger requests are refused (0: no limit)
  ULONG cbRoundUp;   // the actual size is the request rounded up to this (0: as asked)
  bool bClampToMaximum = false;  // larger requests get cbMaximum instead of a refusal
  // The actual size rounded up to whole multiples of this many of the pin's
  // frames (48: whole USB milliseconds), after cbRoundUp (0: as asked).
  ULONG ulRoundUpFrames = 0;
};

// Feeds one render channel into one capture channel.
struct VdLoopback {
  WORD nRenderChannel;
  WORD nCaptureChannel;
};

struct VdStreamingConfig {
  DWORD dwHostWaitMs = 2000;  // stepped and lossless: longest wait for the host
  ULONG cbShortRead = 0;      // fault: reads complete after this many bytes (0: off)
  ULONG cbDataUsedExcess = 0; // fault: reads over-report DataUsed by this much
  bool bHang = false;         // fault: nothing completes, is signalled or moves
  // Fault: packet capture loses this device frame, as a bus loses a packet;
  // the read that takes the next frame is marked discontinuous.
  ULONGLONG ullLoseCaptureFrame = ~0ull;
  // Reads carry the device clock's time of their first frame
  // (KSSTREAM_HEADER_OPTIONSF_TIMEVALID); false: no time.
  bool bStampReads = true;
  std::vector<VdLoopback> loopbacks;
  // Recording and the request log are for tests that read them: off unless
  // a test turns them on, so that a host streaming for hours stays flat.
  ULONG ulRecordFramesMax = 0;  // per render run; 0: no recordings at all
  bool bLogStreamIo = true;     // with bLogRequests: stream requests too
  // Stepped clock: device frames that pass, with no wait for any host,
  // each time a streaming pin is about to enter the run state (the time a
  // start takes on hardware, between one pin's start and the next's).
  ULONG ulRunSkewFrames = 0;

  // The rough edges of USB hardware (see "Rough edges" above). All off by
  // default; VdUseUsbProfile sets realistic values.
  ULONG ulPositionStepFrames = 0;  // registers move in steps of this many frames (0, 1: every frame)
  ULONG ulRegisterLagUs = 0;       // registers reach a place up to this long after the device
  ULONG ulSignalJitterUs = 0;      // each notification and completion 0 to this late
  ULONG ulRandomSeed = 1;          // seeds the lag and the jitter: runs repeat
  LONG lClockPpm = 0;              // the device clock against the performance counter
  bool bPositionRegister = true;   // false: no position register to map
  bool bClockRegister = true;      // false: no clock register to map
  ULONG ulStallMs = 0;             // every ulStallEveryMs of device time, transfers
  ULONG ulStallEveryMs = 0;        // stop for ulStallMs (0: never)
  ULONG ulIdleWriteDelayFrames = 0;  // a write to a render queue run dry starts this much later
};

struct VdMachine {
  std::vector<VdFilter> filters;  // in enumeration order
  bool bKsUserPresent;            // fault when false: "ksuser.dll" cannot be loaded
  bool bHasKsCreatePin2;          // fault when false: only KsCreatePin
  bool bHasKsCreatePin;
  VdRtAudioConfig rtAudio;
  std::vector<VdPropertyFault> propertyFaults;
  std::vector<VdReplyOverride> replyOverrides;
  std::vector<VdIoctlFault> ioctlFaults;
  VdStreamingConfig streaming;
  bool bLogRequests = false;      // keep the request log (Requests())
};

// The default Vor OD's device delays (VdPinFactory::ulDelayFrames).
const ULONG kVdCaptureDelayFrames = 36;
const ULONG kVdRenderDelayFrames = 60;

// Indexes of the default machine's filters.
enum {
  kVdHeadsetCapture = 0,
  kVdHeadsetRender = 1,
  kVdVorOdStereo = 2,
  kVdVorOdCapture = 3,
  kVdVorOdChat = 4,
  kVdVorOdMain = 5
};

VdMachine VdDefaultMachine();
// A USB 2 mixer's rough edges at realistic values: registers in 48-frame
// steps up to 250 us behind, signals 0 to 500 us late, a clock 80 ppm fast,
// cyclic buffers of whole milliseconds, no clock register; no stalls.
void VdUseUsbProfile(VdMachine* pMachine);

// Building blocks of machines, for tests that make their own.
VdPinFactory VdStreamingPin(ULONG ulDataFlow, WORD nMaxChannels, ULONG ulValidBits,
                            USHORT usContainerBits, ULONG ulMinRate, ULONG ulMaxRate,
                            bool bLoopedFirst);
VdPinFactory VdBridgePin(ULONG ulDataFlow);
// Another device's render filter whose driver never answers a property
// request (bPropertiesHang); no machine has it unless a test adds it.
VdFilter VdHangingFilter();
KSDATARANGE_AUDIO VdAudioRange(REFGUID guidSubFormat, ULONG ulMaxChannels, ULONG ulMinBits,
                               ULONG ulMaxBits, ULONG ulMinRate, ULONG ulMaxRate);

// ------------------------------------------------------------ request log

enum class VdCall {
  CreateFile,
  DeviceIoControl,
  CloseHandle,
  LoadLibrary,
  GetProcAddress,
  CreatePin,  // the virtual KsCreatePin2 or KsCreatePin
  GetClassDevs,
  EnumDeviceInterfaces,
  GetDeviceInterfaceDetail,
  GetDeviceInterfaceAlias,
  OpenDeviceInterfaceRegKey,
  DestroyDeviceInfoList,
  RegQueryValue,
  RegCloseKey
};

struct VdRequest {
  VdCall call;
  HANDLE handle = nullptr;   // the handle, set or key the call was made on
  int iFilter = -1;          // the filter it reached, if any
  int iPin = -1;             // the pin factory (instance's, KSP_PIN's, connect's)
  ULONG ulIoctl = 0;         // DeviceIoControl
  bool bProperty = false;    // an IOCTL_KS_PROPERTY with a KSPROPERTY
  GUID guidSet = {};         // its Set, Id and Flags
  ULONG ulId = 0;
  ULONG ulFlags = 0;
  ULONG ulNodeId = 0;        // of a node property (KSPROPERTY_TYPE_TOPOLOGY)
  // The input buffer (property request, reset value), the connect record and
  // format of a pin creation, or CreateFileA's access, share, disposition
  // and flags as four DWORDs.
  std::vector<BYTE> input;
  ULONG cbOutput = 0;        // the output buffer's size
  std::vector<BYTE> value;   // a property set's value (its output buffer)
  std::string text;          // path, module, procedure or value name
  GUID guidCategory = {};    // SetupAPI calls: the category or alias asked for
  DWORD dwIndex = 0;         // SetupDiEnumDeviceInterfaces: the member index
  DWORD dwError = 0;         // 0 on success, else the Windows error (ERROR_IO_PENDING...)
  ULONG cbReturned = 0;      // bytes reported
  HANDLE hResult = nullptr;  // the handle, set or key created
};

// ---------------------------------------------------------- pin instances

struct VdPendingIo {
  PKSSTREAM_HEADER pHeader;
  LPOVERLAPPED pOverlapped;
  bool bWrite;
  ULONG cbDone;  // bytes filled (read) or played (write) so far
};

// ---------------------------------------------------------------- streaming

enum class VdClockMode { Stepped, RealTimeStrict, RealTimeLossless };

// Lateness classes of the device's own signals (see Punctuality above).
const ULONG kVdLateThresholdsUs[5] = {250, 500, 1000, 2000, 4000};

struct VdStreamStats {
  ULONGLONG ullFrame;             // device time in frames
  ULONGLONG ullOverrunFrames;     // capture frames lost: no read queued
  ULONGLONG ullUnderrunFrames;    // render frames played as silence: no write queued
  ULONG ulMissedNotifications;    // signalled while the last one was still pending
  ULONG ulCompletedReads;
  ULONG ulCompletedWrites;
  ULONG ulNotifications;
  ULONG ulHostWaits;              // occasions the device waited for a host
  ULONG ulHostWaitMs;             // milliseconds waited in all
  ULONG ulHostWaitTimeouts;       // waits given up after dwHostWaitMs
  // Looped streaming: frames moved in a half while its notification was
  // still unconsumed (see Looped streaming above).
  ULONGLONG ullOverwrittenFrames;       // capture: written over before read
  ULONGLONG ullUnconsumedPlayedFrames;  // render: played before refilled
  ULONG ulStalls;                 // stalls the device went through
  ULONGLONG ullStalledFrames;     // device frames they lasted
  // Punctuality, real-time clocks only.
  ULONG ulTimedSignals;           // notifications and completions timed
  ULONG aulLateSignals[5];        // of them at least kVdLateThresholdsUs[i] late
  ULONG ulMaxLateUs;              // the latest one, in microseconds
};

// One of the device's signals that came at least kVdLateThresholdsUs[0] late,
// or its clock thread showing the device that late.
struct VdLateSignal {
  ULONGLONG ullFrame;             // the device frame whose end it belongs to
  ULONG ulLateUs;
  int iFilter;                    // -1: the clock thread
  bool bCompletion;               // a stream request, else a notification
};

// What one render instance played during one run.
struct VdRecording {
  HANDLE hPin;
  int iFilter;
  ULONGLONG ullFirstFrame;        // device frame of samples[0..nChannels)
  WORD nChannels;
  std::vector<int32_t> samples;   // interleaved, as the host wrote them
};

// The capture pattern: device frame f, channel c (0 to 15).
int32_t VdCaptureSample(ULONGLONG ullFrame, WORD nChannel);
// Reads a pattern sample back: false when the low 8 bits are not 0.
bool VdDecodeCaptureSample(int32_t sample, ULONG* pulFrameModulo, WORD* pnChannel);
const ULONG kVdPatternFrameModulo = 1u << 20;

// A snapshot of one pin instance.
struct VdPinInstanceInfo {
  int iFilter;
  int iPin;
  ULONG ulInterfaceId;           // KSINTERFACE_STANDARD_STREAMING or _LOOPED_
  KSSTATE state;
  std::vector<BYTE> format;      // the connection data format
  size_t cPendingReads;
  size_t cPendingWrites;
  bool bInReset;
  PVOID pBuffer;                 // the RtAudio cyclic buffer, or null
  ULONG cbBuffer;
  ULONG ulNotificationCount;
  std::vector<HANDLE> events;    // registered notification events, in order
  KSAUDIO_POSITION position;
  volatile ULONG* pulPositionRegister;
};

enum class VdHandleKind { Filter, Pin, DeviceInfoSet, InterfaceKey };

// ------------------------------------------------------------------ device

class CVirtualDevice {
 public:
  explicit CVirtualDevice(const VdMachine& machine = VdDefaultMachine());
  ~CVirtualDevice();
  CVirtualDevice(const CVirtualDevice&) = delete;
  CVirtualDevice& operator=(const CVirtualDevice&) = delete;

  void Install();
  void Uninstall();

  VdMachine& Machine() { return m_machine; }
  const VdMachine& Machine() const { return m_machine; }

  // The log (bLogRequests) since it was last cleared.
  std::vector<VdRequest> Requests() const;
  void ClearRequests();

  size_t OpenHandleCount() const;
  size_t OpenHandleCount(VdHandleKind kind) const;

  // Open pin instances in creation order, and a snapshot of one.
  std::vector<HANDLE> PinInstances() const;
  bool GetPinInstance(HANDLE hPin, VdPinInstanceInfo* pInfo) const;

  // The device clock. SetClockMode starts or ends the real-time thread; Step
  // works in the stepped mode only and returns false when it is not, or when
  // it gave up waiting for a host.
  void SetClockMode(VdClockMode mode);
  bool Step(ULONG ulFrames);
  VdStreamStats Stats() const;
  // Stepped clock: the performance counter of a machine whose clock the
  // device's runs lClockPpm off, in microseconds since the device was made.
  uint64_t PerformanceCounterMicroseconds() const;
  // The latest late signals (at most 32768), oldest first.
  std::vector<VdLateSignal> LateSignals() const;
  std::vector<VdRecording> Recordings() const;
  // Pulls the device out and puts it back, as described above.
  void Unplug();
  void Replug();
  // Polls pred(device) every millisecond until it holds or dwTimeoutMs pass:
  // a handshake for tests whose host runs on another thread.
  template <class Pred>
  bool WaitUntil(Pred pred, DWORD dwTimeoutMs = 5000) const {
    const DWORD dwStart = GetTickCount();
    for (;;) {
      if (pred(*this)) return true;
      if (GetTickCount() - dwStart >= dwTimeoutMs) return false;
      Sleep(1);
    }
  }
  // Pending reads and writes of an instance (0 when it is gone).
  size_t PendingReads(HANDLE hPin) const;
  size_t PendingWrites(HANDLE hPin) const;

  struct Impl;

 private:
  VdMachine m_machine;
  std::unique_ptr<Impl> m_pImpl;
};

#endif  // VOROD_VIRTUAL_DEVICE_VIRTUALDEVICE_H
