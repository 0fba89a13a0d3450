// Property requests (IOCTL_KS_PROPERTY) on the virtual device's filters and
// pin instances: support queries, the pin factories' descriptors, topology
// nodes, connection state and format, audio position and channel
// configuration, and the RtAudio cyclic buffer.
#include "virtual-device/VirtualDeviceImpl.h"

#include <string.h>

#include <algorithm>

namespace {

template <class T>
void Append(std::vector<BYTE>* pBytes, const T& value) {
  const BYTE* pb = reinterpret_cast<const BYTE*>(&value);
  pBytes->insert(pBytes->end(), pb, pb + sizeof(T));
}

template <class T>
std::vector<BYTE> MultipleItem(const std::vector<T>& items) {
  std::vector<BYTE> reply;
  KSMULTIPLE_ITEM header;
  header.Size = static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + items.size() * sizeof(T));
  header.Count = static_cast<ULONG>(items.size());
  Append(&reply, header);
  for (const T& item : items) {
    Append(&reply, item);
  }
  return reply;
}

// Data ranges follow each other 64-bit aligned, each FormatSize bytes long.
std::vector<BYTE> DataRangeReply(const std::vector<VdDataRange>& ranges) {
  std::vector<BYTE> reply(sizeof(KSMULTIPLE_ITEM));
  for (const VdDataRange& range : ranges) {
    ULONG cb = std::min<ULONG>(range.range.DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
    const BYTE* pb = reinterpret_cast<const BYTE*>(&range.range);
    reply.insert(reply.end(), pb, pb + cb);
    reply.resize((reply.size() + 7) & ~static_cast<size_t>(7));
  }
  KSMULTIPLE_ITEM header;
  header.Size = static_cast<ULONG>(reply.size());
  header.Count = static_cast<ULONG>(ranges.size());
  memcpy(reply.data(), &header, sizeof(header));
  return reply;
}

}  // namespace

DWORD CVirtualDevice::Impl::ReplyValue(PropertyCall& call, const void* pvValue, ULONG cbValue) {
  if (call.cbOutput == 0 && cbValue != 0) {
    call.cbReturned = cbValue;
    return ERROR_MORE_DATA;
  }
  if (call.cbOutput < cbValue) {
    return ERROR_INSUFFICIENT_BUFFER;
  }
  memcpy(call.pbOutput, pvValue, cbValue);
  call.cbReturned = cbValue;
  return 0;
}

DWORD CVirtualDevice::Impl::ReplyMultiple(PropertyCall& call, const std::vector<BYTE>& reply) {
  ULONG cbReply = static_cast<ULONG>(reply.size());
  if (call.cbOutput != 0 && call.cbOutput < cbReply &&
      (call.cbOutput == sizeof(ULONG) || call.cbOutput == sizeof(KSMULTIPLE_ITEM))) {
    memcpy(call.pbOutput, reply.data(), call.cbOutput);
    call.cbReturned = call.cbOutput;
    return 0;
  }
  return ReplyValue(call, reply.data(), cbReply);
}

DWORD CVirtualDevice::Impl::NeedValue(PropertyCall& call, ULONG cbValue) {
  if (call.cbOutput == 0 && cbValue != 0) {
    call.cbReturned = cbValue;
    return ERROR_MORE_DATA;
  }
  return call.cbOutput < cbValue ? ERROR_INSUFFICIENT_BUFFER : 0;
}

// ----------------------------------------------------------- properties

DWORD CVirtualDevice::Impl::Property(PinInstance* pInstance, VdRequest& request, BYTE* pbIn,
                                     ULONG cbIn, BYTE* pbOut, ULONG cbOut, ULONG* pcbReturned) {
  if (!pbIn || cbIn < sizeof(KSPROPERTY)) {
    return ERROR_INVALID_PARAMETER;
  }
  PropertyCall call;
  call.pProperty = reinterpret_cast<const KSPROPERTY*>(pbIn);
  call.pbInput = pbIn;
  call.cbInput = cbIn;
  call.pbOutput = pbOut;
  call.cbOutput = pbOut ? cbOut : 0;
  call.cbReturned = 0;
  const ULONG ulFlags = call.pProperty->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
  call.bGet = ulFlags == KSPROPERTY_TYPE_GET;
  call.bSet = ulFlags == KSPROPERTY_TYPE_SET;

  if (call.bSet && call.pbOutput && Logging()) {
    request.value.assign(call.pbOutput, call.pbOutput + call.cbOutput);
  }
  request.bProperty = true;
  request.guidSet = call.pProperty->Set;
  request.ulId = call.pProperty->Id;
  request.ulFlags = call.pProperty->Flags;
  if ((call.pProperty->Flags & KSPROPERTY_TYPE_TOPOLOGY) && cbIn >= sizeof(KSNODEPROPERTY)) {
    request.ulNodeId = reinterpret_cast<const KSNODEPROPERTY*>(pbIn)->NodeId;
  }
  const bool bPinProperty =
      !pInstance && IsEqualGUID(call.pProperty->Set, KsGuid::PropSetPin) && cbIn >= sizeof(KSP_PIN);
  if (bPinProperty) {
    request.iPin = static_cast<int>(reinterpret_cast<const KSP_PIN*>(pbIn)->PinId);
  }

  DWORD dwError = Fault(request);
  if (!dwError) {
    if (ulFlags == KSPROPERTY_TYPE_SETSUPPORT || ulFlags == KSPROPERTY_TYPE_BASICSUPPORT) {
      dwError = Support(pInstance, call, ulFlags == KSPROPERTY_TYPE_BASICSUPPORT);
    } else if (!pInstance && call.bGet && Override(request, call, &dwError)) {
      // a malformed reply on demand
    } else if (pInstance) {
      dwError = PinProperty(pInstance, call);
    } else {
      dwError = FilterProperty(request.iFilter, call);
    }
  }
  *pcbReturned = call.cbReturned;
  return dwError;
}

DWORD CVirtualDevice::Impl::Support(const PinInstance* pInstance, PropertyCall& call, bool bBasic) {
  const GUID& guidSet = call.pProperty->Set;
  const bool bKnown =
      pInstance ? IsEqualGUID(guidSet, KsGuid::PropSetConnection) ||
                      IsEqualGUID(guidSet, KsGuid::PropSetAudio) ||
                      (IsEqualGUID(guidSet, KsGuid::PropSetRtAudio) &&
                       pInstance->ulInterfaceId == KSINTERFACE_STANDARD_LOOPED_STREAMING)
                : IsEqualGUID(guidSet, KsGuid::PropSetPin) ||
                      IsEqualGUID(guidSet, KsGuid::PropSetTopology);
  if (!bKnown) {
    return ERROR_SET_NOT_FOUND;
  }
  if (!bBasic) {
    return 0;
  }
  ULONG ulAccess = KSPROPERTY_TYPE_GET;
  if (pInstance && !IsEqualGUID(guidSet, KsGuid::PropSetRtAudio)) {
    ulAccess |= KSPROPERTY_TYPE_SET;
  }
  return ReplyValue(call, &ulAccess, sizeof(ulAccess));
}

DWORD CVirtualDevice::Impl::FilterProperty(int iFilter, PropertyCall& call) {
  const VdFilter& filter = m_machine.filters[iFilter];
  const KSPROPERTY& property = *call.pProperty;
  if (IsEqualGUID(property.Set, KsGuid::PropSetTopology)) {
    if (property.Id != KSPROPERTY_TOPOLOGY_NODES) {
      return ERROR_NOT_FOUND;
    }
    if (!call.bGet) {
      return ERROR_INVALID_FUNCTION;
    }
    return ReplyMultiple(call, MultipleItem(filter.nodes));
  }
  if (!IsEqualGUID(property.Set, KsGuid::PropSetPin)) {
    return ERROR_SET_NOT_FOUND;
  }
  if (property.Id > KSPROPERTY_PIN_NAME) {
    return ERROR_NOT_FOUND;
  }
  if (!call.bGet) {
    return ERROR_INVALID_FUNCTION;
  }
  if (call.cbInput < sizeof(KSP_PIN)) {
    return ERROR_INVALID_PARAMETER;
  }
  const ULONG ulPinId = reinterpret_cast<const KSP_PIN*>(call.pbInput)->PinId;
  if (property.Id == KSPROPERTY_PIN_CTYPES) {
    ULONG cPins = static_cast<ULONG>(filter.pins.size());
    return ReplyValue(call, &cPins, sizeof(cPins));
  }
  if (ulPinId >= filter.pins.size()) {
    return ERROR_INVALID_PARAMETER;
  }
  const VdPinFactory& pin = filter.pins[ulPinId];
  KSPIN_CINSTANCES instances;
  instances.PossibleCount = pin.ulPossibleInstances;
  instances.CurrentCount = InstanceCount(iFilter, static_cast<int>(ulPinId));
  switch (property.Id) {
    case KSPROPERTY_PIN_CINSTANCES:
    case KSPROPERTY_PIN_GLOBALCINSTANCES:
      return ReplyValue(call, &instances, sizeof(instances));
    case KSPROPERTY_PIN_DATAFLOW:
      return ReplyValue(call, &pin.ulDataFlow, sizeof(ULONG));
    case KSPROPERTY_PIN_COMMUNICATION:
      return ReplyValue(call, &pin.ulCommunication, sizeof(ULONG));
    case KSPROPERTY_PIN_DATARANGES:
      return ReplyMultiple(call, DataRangeReply(pin.dataRanges));
    case KSPROPERTY_PIN_INTERFACES:
      return ReplyMultiple(call, MultipleItem(pin.interfaces));
    case KSPROPERTY_PIN_MEDIUMS:
      return ReplyMultiple(call, MultipleItem(pin.mediums));
    case KSPROPERTY_PIN_CATEGORY:
      return ReplyValue(call, &pin.guidCategory, sizeof(GUID));
    case KSPROPERTY_PIN_NAME:
      if (pin.name.empty()) {
        return ERROR_NOT_FOUND;
      }
      return ReplyValue(call, pin.name.c_str(),
                        static_cast<ULONG>((pin.name.size() + 1) * sizeof(WCHAR)));
    default:
      return ERROR_NOT_FOUND;
  }
}

DWORD CVirtualDevice::Impl::PinProperty(PinInstance* pInstance, PropertyCall& call) {
  const KSPROPERTY& property = *call.pProperty;
  if (IsEqualGUID(property.Set, KsGuid::PropSetConnection)) {
    return ConnectionProperty(pInstance, call);
  }
  if (IsEqualGUID(property.Set, KsGuid::PropSetAudio)) {
    return AudioProperty(pInstance, call);
  }
  // Only a pin instantiated for looped streaming speaks the RtAudio set.
  if (IsEqualGUID(property.Set, KsGuid::PropSetRtAudio) &&
      pInstance->ulInterfaceId == KSINTERFACE_STANDARD_LOOPED_STREAMING) {
    return RtAudioProperty(pInstance, call);
  }
  return ERROR_SET_NOT_FOUND;
}

DWORD CVirtualDevice::Impl::ConnectionProperty(PinInstance* pInstance, PropertyCall& call) {
  if (call.pProperty->Id == KSPROPERTY_CONNECTION_STATE) {
    if (call.bGet) {
      return ReplyValue(call, &pInstance->state, sizeof(KSSTATE));
    }
    if (!call.bSet) {
      return ERROR_INVALID_FUNCTION;
    }
    DWORD dwError = NeedValue(call, sizeof(KSSTATE));
    if (dwError) {
      return dwError;
    }
    KSSTATE state;
    memcpy(&state, call.pbOutput, sizeof(state));
    if (state < KSSTATE_STOP || state > KSSTATE_RUN) {
      return ERROR_INVALID_PARAMETER;
    }
    // Stopping cancels every queued stream request, as Windows does.
    if (state == KSSTATE_STOP && pInstance->state != KSSTATE_STOP) {
      CancelPending(pInstance);
    }
    m_engine.OnStateChange(pInstance, state);
    pInstance->state = state;
    return 0;
  }
  if (call.pProperty->Id == KSPROPERTY_CONNECTION_DATAFORMAT) {
    if (call.bGet) {
      return ReplyValue(call, pInstance->format.data(),
                        static_cast<ULONG>(pInstance->format.size()));
    }
    if (!call.bSet) {
      return ERROR_INVALID_FUNCTION;
    }
    if (call.cbOutput < sizeof(KSDATAFORMAT)) {
      return NeedValue(call, sizeof(KSDATAFORMAT));
    }
    if (pInstance->state != KSSTATE_STOP) {
      return ERROR_BAD_COMMAND;
    }
    const VdPinFactory& pin = m_machine.filters[pInstance->iFilter].pins[pInstance->iPin];
    ULONG cbFormat = std::min(call.cbOutput, kMaxFormatSize);
    DWORD dwError = CheckFormat(pin, call.pbOutput, cbFormat);
    if (!dwError) {
      pInstance->format.assign(call.pbOutput, call.pbOutput + cbFormat);
    }
    return dwError;
  }
  return ERROR_NOT_FOUND;
}

DWORD CVirtualDevice::Impl::AudioProperty(PinInstance* pInstance, PropertyCall& call) {
  if (call.pProperty->Id == KSPROPERTY_AUDIO_POSITION) {
    if (call.bGet) {
      // A running instance answers where it is; a stopped one what was set.
      KSAUDIO_POSITION position = pInstance->position;
      if (pInstance->state != KSSTATE_STOP && pInstance->cbFrame) {
        position.PlayOffset = pInstance->ulInterfaceId == KSINTERFACE_STANDARD_LOOPED_STREAMING
                                  ? pInstance->ulPositionRegister
                                  : pInstance->ullStreamFrames * pInstance->cbFrame;
        position.WriteOffset = position.PlayOffset;
      }
      return ReplyValue(call, &position, sizeof(KSAUDIO_POSITION));
    }
    DWORD dwError = call.bSet ? NeedValue(call, sizeof(KSAUDIO_POSITION)) : ERROR_INVALID_FUNCTION;
    if (!dwError) {
      memcpy(&pInstance->position, call.pbOutput, sizeof(KSAUDIO_POSITION));
    }
    return dwError;
  }
  if (call.pProperty->Id == KSPROPERTY_AUDIO_LATENCY) {
    if (!call.bGet) {
      return ERROR_INVALID_FUNCTION;
    }
    const ULONG ulDelay = m_machine.filters[pInstance->iFilter].pins[pInstance->iPin].ulDelayFrames;
    KSTIME latency = {};
    latency.Time = (static_cast<LONGLONG>(ulDelay) * 10000000 + 24000) / 48000;
    latency.Numerator = 1;
    latency.Denominator = 1;
    return ReplyValue(call, &latency, sizeof(latency));
  }
  if (call.pProperty->Id == KSPROPERTY_AUDIO_CHANNEL_CONFIG) {
    const VdFilter& filter = m_machine.filters[pInstance->iFilter];
    if (!(call.pProperty->Flags & KSPROPERTY_TYPE_TOPOLOGY) ||
        call.cbInput < sizeof(KSNODEPROPERTY) ||
        reinterpret_cast<const KSNODEPROPERTY*>(call.pbInput)->NodeId >= filter.nodes.size()) {
      return ERROR_INVALID_PARAMETER;
    }
    if (!call.bGet) {
      return ERROR_INVALID_FUNCTION;
    }
    KSAUDIO_CHANNEL_CONFIG config;
    config.ActiveSpeakerPositions = 0;
    const BYTE* pbWave = pInstance->format.data() + sizeof(KSDATAFORMAT);
    if (pInstance->format.size() >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE) &&
        reinterpret_cast<const WAVEFORMATEX*>(pbWave)->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
      config.ActiveSpeakerPositions = static_cast<LONG>(
          reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(pbWave)->dwChannelMask);
    } else if (pInstance->format.size() >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) {
      WORD nChannels = reinterpret_cast<const WAVEFORMATEX*>(pbWave)->nChannels;
      config.ActiveSpeakerPositions =
          nChannels == 1 ? KSAUDIO_SPEAKER_MONO : nChannels == 2 ? KSAUDIO_SPEAKER_STEREO : 0;
    }
    return ReplyValue(call, &config, sizeof(config));
  }
  return ERROR_NOT_FOUND;
}

DWORD CVirtualDevice::Impl::RtAudioProperty(PinInstance* pInstance, PropertyCall& call) {
  switch (call.pProperty->Id) {
    case KSPROPERTY_RTAUDIO_BUFFER:
    case KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION:
      return AllocateBuffer(pInstance, call);
    case KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT:
    case KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT: {
      if (!call.bSet) {
        return ERROR_INVALID_FUNCTION;
      }
      if (call.cbInput < sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY)) {
        return ERROR_INVALID_PARAMETER;
      }
      HANDLE hEvent =
          reinterpret_cast<const KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY*>(call.pbInput)
              ->NotificationEvent;
      std::vector<HANDLE>& events = pInstance->events;
      auto it = std::find(events.begin(), events.end(), hEvent);
      if (call.pProperty->Id == KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT) {
        if (it == events.end()) {
          return ERROR_INVALID_PARAMETER;
        }
        events.erase(it);
        return 0;
      }
      if (pInstance->ulNotificationCount == 0) {
        return ERROR_NOT_SUPPORTED;  // no buffer with notifications yet
      }
      if (!hEvent || it != events.end()) {
        return ERROR_INVALID_PARAMETER;
      }
      events.push_back(hEvent);
      return 0;
    }
    case KSPROPERTY_RTAUDIO_POSITIONREGISTER:
    case KSPROPERTY_RTAUDIO_CLOCKREGISTER:
      return MapRegister(pInstance, call);
    case KSPROPERTY_RTAUDIO_HWLATENCY:
      if (!call.bGet) {
        return ERROR_INVALID_FUNCTION;
      }
      {
        // Half the delay in the FIFO, the rest in the converter.
        const ULONG ulDelay = m_machine.filters[pInstance->iFilter].pins[pInstance->iPin].ulDelayFrames;
        const ULONG ulBlock = pInstance->format.size() >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)
                                  ? reinterpret_cast<const WAVEFORMATEX*>(
                                        pInstance->format.data() + sizeof(KSDATAFORMAT))->nBlockAlign
                                  : 0;
        KSRTAUDIO_HWLATENCY latency = {};
        latency.FifoSize = ulDelay / 2 * ulBlock;
        latency.CodecDelay =
            static_cast<ULONG>((static_cast<ULONGLONG>(ulDelay - ulDelay / 2) * 10000000 + 24000) / 48000);
        return ReplyValue(call, &latency, sizeof(KSRTAUDIO_HWLATENCY));
      }
    default:
      return ERROR_NOT_FOUND;
  }
}

// A register is mapped once in a pin instance's life (the mapping lasts
// until the handle closes): later requests fail, as Windows' do.
DWORD CVirtualDevice::Impl::MapRegister(PinInstance* pInstance, PropertyCall& call) {
  const bool bPosition = call.pProperty->Id == KSPROPERTY_RTAUDIO_POSITIONREGISTER;
  if (!call.bGet) {
    return ERROR_INVALID_FUNCTION;
  }
  if (call.cbInput < sizeof(KSRTAUDIO_HWREGISTER_PROPERTY)) {
    return ERROR_INVALID_PARAMETER;
  }
  const VdStreamingConfig& config = m_machine.streaming;
  if (!(bPosition ? config.bPositionRegister : config.bClockRegister)) {
    return ERROR_NOT_SUPPORTED;
  }
  DWORD dwError = NeedValue(call, sizeof(KSRTAUDIO_HWREGISTER));
  bool& bMapped = bPosition ? pInstance->bPositionMapped : pInstance->bClockMapped;
  if (dwError || bMapped) {
    return dwError ? dwError : ERROR_BUSY;
  }
  KSRTAUDIO_HWREGISTER reg = {};
  if (bPosition) {
    reg.Register = const_cast<ULONG*>(&pInstance->ulPositionRegister);
    reg.Width = 32;
    const WAVEFORMATEX* pwfx =
        reinterpret_cast<const WAVEFORMATEX*>(pInstance->format.data() + sizeof(KSDATAFORMAT));
    const ULONG ulBlock =
        pInstance->format.size() >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) ? pwfx->nBlockAlign : 0;
    reg.Accuracy = ulBlock * std::max<ULONG>(1, config.ulPositionStepFrames);
  } else {
    reg.Register = const_cast<ULONGLONG*>(m_engine.ClockRegister());
    reg.Width = 64;
    reg.Numerator = 48000;
    reg.Denominator = 1;
    // The real-time clock moves it about once a millisecond.
    reg.Accuracy = m_engine.Mode() == VdClockMode::Stepped ? 1 : 48;
  }
  bMapped = true;
  return ReplyValue(call, &reg, sizeof(reg));
}

DWORD CVirtualDevice::Impl::AllocateBuffer(PinInstance* pInstance, PropertyCall& call) {
  const bool bNotify = call.pProperty->Id == KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION;
  if (!call.bGet) {
    return ERROR_INVALID_FUNCTION;
  }
  // KSRTAUDIO_BUFFER_PROPERTY is the same record without NotificationCount.
  const ULONG cbRecord = sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION) - (bNotify ? 0 : 4);
  if (call.cbInput < cbRecord) {
    return ERROR_INVALID_PARAMETER;
  }
  DWORD dwError = NeedValue(call, sizeof(KSRTAUDIO_BUFFER));
  if (dwError) {
    return dwError;
  }
  KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request = {};
  memcpy(&request, call.pbInput, cbRecord);
  const ULONG ulNotifications = bNotify ? request.NotificationCount : 0;
  const VdRtAudioConfig& config = m_machine.rtAudio;
  const ULONG cbRequested = request.RequestedBufferSize;
  if (pInstance->state != KSSTATE_STOP) {
    return ERROR_BAD_COMMAND;
  }
  const bool bTooLarge = config.cbMaximum && cbRequested > config.cbMaximum;
  if ((bNotify && (ulNotifications < 1 || ulNotifications > 2)) || cbRequested == 0 ||
      (config.cbAlign && cbRequested % config.cbAlign) || (bTooLarge && !config.bClampToMaximum)) {
    return ERROR_INVALID_PARAMETER;
  }
  ULONG cbActual = bTooLarge ? config.cbMaximum : cbRequested;
  if (config.cbRoundUp) {
    cbActual = (cbActual + config.cbRoundUp - 1) / config.cbRoundUp * config.cbRoundUp;
  }
  const WAVEFORMATEX* pwfx =
      pInstance->format.size() >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)
          ? reinterpret_cast<const WAVEFORMATEX*>(pInstance->format.data() + sizeof(KSDATAFORMAT))
          : nullptr;
  const ULONG cbUnit = pwfx != nullptr ? config.ulRoundUpFrames * pwfx->nBlockAlign : 0;
  if (cbUnit) {
    cbActual = (cbActual + cbUnit - 1) / cbUnit * cbUnit;
  }
  BYTE* pBuffer = static_cast<BYTE*>(
      VirtualAlloc(nullptr, cbActual, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (!pBuffer) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  // A second allocation replaces the buffer; the old memory stays mapped
  // until the handle closes, so a stale pointer never faults.
  if (pInstance->pBuffer) {
    pInstance->retiredBuffers.push_back(pInstance->pBuffer);
  }
  pInstance->pBuffer = pBuffer;
  pInstance->cbBuffer = cbActual;
  pInstance->ulNotificationCount = ulNotifications;
  KSRTAUDIO_BUFFER reply;
  reply.BufferAddress = pBuffer;
  reply.ActualBufferSize = cbActual;
  reply.CallMemoryBarrier = FALSE;
  return ReplyValue(call, &reply, sizeof(reply));
}
