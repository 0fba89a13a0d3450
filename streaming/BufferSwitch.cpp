// The buffer switch: hands one gathered half to the host. Runs on the
// streaming thread only; no allocation, no locks, no system call but
// timeGetTime.
#include "driver/AsioDriver.h"

#include <mmsystem.h>

#include "streaming/SampleConversion.h"

void CAsioDriver::DoBufferSwitch() {
  ASIOCallbacks* const callbacks = m_callbacks;
  if (callbacks == nullptr) return;

  // This switch's position and time, published as one pair before the host
  // is called, so that getSamplePosition on any thread, inside the callback
  // too, reports this switch. A run's first switch is at 0, whether or not
  // start has returned yet. Nanoseconds of the millisecond clock are exact
  // for every 32-bit value.
  const uint64_t position = m_nextSwitchPosition;
  const uint64_t stamp = static_cast<uint64_t>(timeGetTime()) * 1000000u;
  m_switchStamp.Publish(position, stamp);
  m_nextSwitchPosition = position + static_cast<uint64_t>(m_bufferSize);

  const long index = m_bufferIndex;
  const long half = index * m_bufferSize;
  // Slots the streaming loop filled in the host's format are ready as they are.
  for (long slot = 0; slot < m_activeInputs; ++slot)
    if ((m_hostFormatInputs >> slot & 1u) == 0)
      FloatToInt32InPlace(m_inputBuffers[slot] + half, m_bufferSize);

  if (m_timeInfoMode) {
    AsioTimeInfo& timeInfo = m_asioTime.timeInfo;
    timeInfo.samplePosition.hi = static_cast<unsigned long>(position >> 32);
    timeInfo.samplePosition.lo = static_cast<unsigned long>(position & 0xFFFFFFFFu);
    timeInfo.systemTime.hi = static_cast<unsigned long>(stamp >> 32);
    timeInfo.systemTime.lo = static_cast<unsigned long>(stamp & 0xFFFFFFFFu);
    timeInfo.flags |= m_pendingTimeFlags.Exchange(0);
    callbacks->bufferSwitchTimeInfo(&m_asioTime, index, ASIOFalse);
    timeInfo.flags &= ~static_cast<unsigned long>(kSampleRateChanged | kClockSourceChanged);
  } else {
    callbacks->bufferSwitch(index, ASIOFalse);
  }

  // The host has written this half's output by now; the render side reads
  // the float copy when the same half comes round again.
  for (long slot = 0; slot < m_activeOutputs; ++slot)
    Int32ToFloat(m_outputBuffers[slot] + half, m_outputFloatBuffers[slot] + half, m_bufferSize);

  m_bufferIndex = index == 0 ? 1 : 0;
}

uint32_t CAsioDriver::HostFormatInputSlots() const {
  uint32_t slots = 0;
  const long loopSlots = m_activeInputs < m_numInputs ? m_activeInputs : m_numInputs;
  for (long k = 0; k < loopSlots && k < kMaxInputs; ++k)
    if (m_inputChannel[k] >= 0 && m_inputChannel[k] < m_numInputs && m_inputBuffers[k] != nullptr)
      slots |= 1u << k;
  for (long k = m_numInputs; k < m_activeInputs && k < kMaxInputs; ++k)
    if (slots & 1u) slots |= 1u << k;
  return slots;
}
