// The Windows kernel-streaming identifiers and records this driver sends.
//
// Every KS GUID the driver puts into a request is defined here, once, with its
// published value. They carry names of their own (in the namespace KsGuid)
// rather than the SDK's: the SDK spells those names as macros (and as
// __uuidof under MSVC), so a definition under the same name cannot compile
// everywhere. The comment beside each one gives the Windows name.
//
// mingw-w64 lacks the KSPROPSETID_RtAudio records and ids other than 0 and a
// prototype for KsCreatePin2; they are declared below from the published
// layouts (MSVC's SDK has them).
#ifndef VOROD_KS_KSDEFINITIONS_H
#define VOROD_KS_KSDEFINITIONS_H

#include <windows.h>
#include <winioctl.h>  // CTL_CODE for the IOCTL_KS_ codes (not in WIN32_LEAN_AND_MEAN)
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>

namespace KsGuid {

// GUID_NULL, the KS wildcard.
constexpr GUID Null = {0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};

// KSPROPSETID_Pin, KSPROPSETID_Connection, KSPROPSETID_Topology.
constexpr GUID PropSetPin = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
constexpr GUID PropSetConnection = {0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr GUID PropSetTopology = {0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
// KSPROPSETID_Audio, KSPROPSETID_RtAudio.
constexpr GUID PropSetAudio = {0x45FFAAA0, 0x6E1B, 0x11D0, {0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr GUID PropSetRtAudio = {0xA855A48C, 0x2F78, 0x4729, {0x90, 0x51, 0x19, 0x68, 0x74, 0x6B, 0x9E, 0xEF}};

// KSINTERFACESETID_Standard, KSMEDIUMSETID_Standard.
constexpr GUID InterfaceSetStandard = {0x1A8766A0, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr GUID MediumSetStandard = {0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

// KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
// KSDATAFORMAT_SUBTYPE_WAVEFORMATEX, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX.
constexpr GUID DataFormatTypeAudio = {0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID DataFormatSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID DataFormatSubtypeWaveFormatEx = {0x00000000, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID DataFormatSpecifierWaveFormatEx = {0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

// KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_CAPTURE.
constexpr GUID CategoryAudio = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID CategoryRender = {0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID CategoryCapture = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

}  // namespace KsGuid

// The pin-creation entry point of "ksuser.dll". KsCreatePin2 returns an
// HRESULT, KsCreatePin a Windows error code; both take the same arguments.
typedef HRESULT(WINAPI* PFN_KSCREATEPIN)(HANDLE hFilter, PKSPIN_CONNECT pConnect,
                                         ACCESS_MASK desiredAccess, PHANDLE phConnection);

#if !defined(_MSC_VER)
// KSPROPSETID_RtAudio ids and records (published layouts; sizes on 64-bit
// Windows in the comments).
enum {
  KSPROPERTY_RTAUDIO_BUFFER = 1,
  KSPROPERTY_RTAUDIO_HWLATENCY = 2,
  KSPROPERTY_RTAUDIO_POSITIONREGISTER = 3,
  KSPROPERTY_RTAUDIO_CLOCKREGISTER = 4,
  KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION = 5,
  KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT = 6,
  KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT = 7
};

typedef struct {  // 40 bytes
  KSPROPERTY Property;
  PVOID BaseAddress;
  ULONG RequestedBufferSize;
  ULONG NotificationCount;
} KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, *PKSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION;

typedef struct {  // 16 bytes
  PVOID BufferAddress;
  ULONG ActualBufferSize;
  BOOL CallMemoryBarrier;
} KSRTAUDIO_BUFFER, *PKSRTAUDIO_BUFFER;

typedef struct {  // 32 bytes
  KSPROPERTY Property;
  HANDLE NotificationEvent;
} KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY, *PKSRTAUDIO_NOTIFICATION_EVENT_PROPERTY;

typedef struct {  // 32 bytes
  KSPROPERTY Property;
  PVOID BaseAddress;
} KSRTAUDIO_HWREGISTER_PROPERTY, *PKSRTAUDIO_HWREGISTER_PROPERTY;

typedef struct {  // 40 bytes
  PVOID Register;
  ULONG Width;
  ULONGLONG Numerator;
  ULONGLONG Denominator;
  ULONG Accuracy;
} KSRTAUDIO_HWREGISTER, *PKSRTAUDIO_HWREGISTER;

typedef struct {  // 12 bytes
  ULONG FifoSize;
  ULONG ChipsetDelay;
  ULONG CodecDelay;
} KSRTAUDIO_HWLATENCY, *PKSRTAUDIO_HWLATENCY;
#endif

static_assert(IOCTL_KS_PROPERTY == 0x002F0003 && IOCTL_KS_RESET_STATE == 0x002F001B &&
                  IOCTL_KS_WRITE_STREAM == 0x002F8013 && IOCTL_KS_READ_STREAM == 0x002F4017,
              "published control codes");
static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION) == 40, "published layout");
static_assert(sizeof(KSRTAUDIO_BUFFER) == 16, "published layout");
static_assert(sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY) == 32, "published layout");
static_assert(sizeof(KSRTAUDIO_HWREGISTER_PROPERTY) == 32, "published layout");
static_assert(sizeof(KSRTAUDIO_HWREGISTER) == 40, "published layout");
static_assert(sizeof(KSRTAUDIO_HWLATENCY) == 12, "published layout");
static_assert(sizeof(KSPIN_CONNECT) == 72 && sizeof(KSDATAFORMAT) == 64, "published layout");
static_assert(sizeof(KSDATARANGE_AUDIO) == 88 && sizeof(KSMULTIPLE_ITEM) == 8, "published layout");
static_assert(sizeof(KSP_PIN) == 32 && sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40, "published layout");

#endif  // VOROD_KS_KSDEFINITIONS_H
