#include "tests/support/FakeHost.h"

#include <algorithm>

FakeHost* FakeHost::s_current = nullptr;

FakeHost::FakeHost(long timeInfo) : m_callbacks(), m_timeInfoAnswer(timeInfo) {
  m_callbacks.bufferSwitch = &FakeHost::BufferSwitch;
  m_callbacks.sampleRateDidChange = &FakeHost::SampleRateDidChange;
  m_callbacks.asioMessage = &FakeHost::AsioMessage;
  m_callbacks.bufferSwitchTimeInfo = &FakeHost::BufferSwitchTimeInfo;
  s_current = this;
}

FakeHost::~FakeHost() {
  if (s_current == this) s_current = nullptr;
}

void FakeHost::BufferSwitch(long index, ASIOBool /*directProcess*/) {
  FakeHost* host = s_current;
  if (host == nullptr) return;
  host->indices.push_back(index);
  if (host->onSwitch) host->onSwitch(index);
  ++host->switches;
}

ASIOTime* FakeHost::BufferSwitchTimeInfo(ASIOTime* params, long index, ASIOBool /*direct*/) {
  FakeHost* host = s_current;
  if (host == nullptr) return nullptr;
  host->timeRecords.push_back(*params);
  host->indices.push_back(index);
  if (host->onSwitch) host->onSwitch(index);
  ++host->timeInfoSwitches;
  ++host->switches;
  return nullptr;
}

void FakeHost::SampleRateDidChange(ASIOSampleRate /*rate*/) {}

long FakeHost::AsioMessage(long selector, long value, void* /*message*/, double* /*opt*/) {
  FakeHost* host = s_current;
  if (host == nullptr) return 0;
  if (selector == kAsioSupportsTimeInfo) {
    ++host->timeInfoQueries;
    return host->m_timeInfoAnswer;
  }
  const bool known =
      std::find(host->supported.begin(), host->supported.end(), selector == kAsioSelectorSupported ? value : selector) !=
      host->supported.end();
  if (selector == kAsioSelectorSupported) return known ? 1 : 0;
  host->messages.emplace_back(selector, value);
  return known && std::find(host->declined.begin(), host->declined.end(), selector) ==
                      host->declined.end();
}
