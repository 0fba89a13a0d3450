#include "tools/DriverReport.h"

#include <cstring>

#include "tools/AsioNames.h"
#include "tools/SampleFormat.h"

namespace {

const double kCommonRates[] = {8000,  11025, 16000,  22050,  32000,  44100, 48000,
                               88200, 96000, 176400, 192000, 352800, 384000};

// Driver text that may come without its terminating zero.
std::string Bounded(const char* text, size_t capacity) {
  return std::string(text, strnlen(text, capacity));
}

std::string Milliseconds(long frames, double rate) {
  if (rate <= 0) return std::string();
  char text[32];
  snprintf(text, sizeof(text), "%.2f ms", frames * 1000.0 / rate);
  return text;
}

}  // namespace

std::string ReadErrorMessage(IASIO* driver) {
  char message[512] = {};
  driver->getErrorMessage(message);
  return Bounded(message, sizeof(message) - 1);
}

void CDriverReport::ReadIdentity(IASIO* driver) {
  char name[256] = {};
  driver->getDriverName(name);
  m_name = Bounded(name, sizeof(name) - 1);
  m_version = driver->getDriverVersion();
}

bool CDriverReport::Initialise(IASIO* driver, void* sysHandle) {
  m_initialised = driver->init(sysHandle) != ASIOFalse;
  m_initMessage = ReadErrorMessage(driver);
  return m_initialised;
}

void CDriverReport::ReadAnswers(IASIO* driver) {
  m_channelsResult = driver->getChannels(&m_inputs, &m_outputs);
  m_channels.clear();
  if (m_channelsResult == ASE_OK) {
    for (int pass = 0; pass < 2; ++pass) {
      const bool input = pass == 0;
      const long count = input ? m_inputs : m_outputs;
      for (long i = 0; i < count && i < kMaxChannelsQueried; ++i) {
        ASIOChannelInfo info = {};
        info.channel = i;
        info.isInput = input ? ASIOTrue : ASIOFalse;
        ChannelAnswer answer;
        answer.channel = i;
        answer.input = input;
        answer.result = driver->getChannelInfo(&info);
        answer.name = Bounded(info.name, sizeof(info.name));
        answer.type = info.type;
        answer.group = info.channelGroup;
        answer.active = info.isActive != ASIOFalse;
        m_channels.push_back(answer);
      }
    }
  }
  m_latencyResult = driver->getLatencies(&m_inputLatency, &m_outputLatency);
  m_bufferResult = driver->getBufferSize(&m_minSize, &m_maxSize, &m_preferred, &m_granularity);
  m_rateResult = driver->getSampleRate(&m_rate);

  m_clocks.assign(kMaxClockSources, ASIOClockSource());
  m_clockCount = kMaxClockSources;
  m_clockResult = driver->getClockSources(m_clocks.data(), &m_clockCount);
  m_clocks.resize(
      m_clockResult == ASE_OK && m_clockCount > 0
          ? static_cast<size_t>(m_clockCount < kMaxClockSources ? m_clockCount : kMaxClockSources)
          : 0);

  m_supportedRates.clear();
  m_capabilities.clear();
  if (!m_initialised) return;
  for (double rate : kCommonRates)
    if (driver->canSampleRate(rate) == ASE_OK) m_supportedRates.push_back(rate);
  static const struct {
    long selector;
    const char* name;
  } kCapabilities[] = {
      {kAsioCanTimeInfo, "time info"},         {kAsioCanTimeCode, "time code"},
      {kAsioCanInputMonitor, "input monitor"}, {kAsioCanInputGain, "input gain"},
      {kAsioCanInputMeter, "input meter"},     {kAsioCanOutputGain, "output gain"},
      {kAsioCanOutputMeter, "output meter"},   {kAsioCanReportOverload, "overload reports"}};
  for (const auto& capability : kCapabilities) {
    const ASIOError result = driver->future(capability.selector, nullptr);
    if (result == ASE_SUCCESS || result == ASE_OK) m_capabilities.push_back(capability.name);
  }
}

const ChannelAnswer* CDriverReport::Channel(bool input, long channel) const {
  for (const ChannelAnswer& answer : m_channels)
    if (answer.input == input && answer.channel == channel && answer.result == ASE_OK)
      return &answer;
  return nullptr;
}

void CDriverReport::PrintIdentity(CConsoleText& text) const {
  text.Out("driver:        %s (version %ld)\n", m_name.c_str(), m_version);
}

void CDriverReport::PrintAnswers(CConsoleText& text) const {
  text.Out("init:          %s, \"%s\"\n", m_initialised ? "ok" : "FAILED", m_initMessage.c_str());

  if (m_channelsResult != ASE_OK) {
    text.Out("channels:      getChannels failed: %s\n", AsioErrorName(m_channelsResult).c_str());
  } else {
    text.Out("channels:      %ld in, %ld out\n", m_inputs, m_outputs);
    for (const ChannelAnswer& answer : m_channels) {
      if (answer.result != ASE_OK) {
        text.Out("  %-3s %3ld   getChannelInfo failed: %s\n", answer.input ? "in" : "out",
                 answer.channel, AsioErrorName(answer.result).c_str());
        continue;
      }
      text.Out("  %-3s %3ld   %-24s %-11s group %ld%s\n", answer.input ? "in" : "out",
               answer.channel, answer.name.c_str(), SampleTypeName(answer.type).c_str(),
               answer.group, answer.active ? ", active" : "");
    }
    if (m_inputs > kMaxChannelsQueried || m_outputs > kMaxChannelsQueried)
      text.Out("  (only the first %ld of each direction listed)\n", kMaxChannelsQueried);
  }

  const double rate = m_rateResult == ASE_OK ? m_rate : 0;
  if (m_latencyResult != ASE_OK)
    text.Out("latencies:     getLatencies failed: %s\n", AsioErrorName(m_latencyResult).c_str());
  else
    text.Out("latencies:     %ld in, %ld out frames%s\n", m_inputLatency, m_outputLatency,
             rate > 0 ? (" (" + Milliseconds(m_inputLatency, rate) + ", " +
                         Milliseconds(m_outputLatency, rate) + ")")
                            .c_str()
                      : "");

  if (m_bufferResult != ASE_OK)
    text.Out("buffer sizes:  getBufferSize failed: %s\n", AsioErrorName(m_bufferResult).c_str());
  else
    text.Out("buffer sizes:  min %ld, max %ld, preferred %ld, granularity %ld\n", m_minSize,
             m_maxSize, m_preferred, m_granularity);

  if (m_rateResult != ASE_OK) {
    text.Out("sample rate:   getSampleRate failed: %s\n", AsioErrorName(m_rateResult).c_str());
  } else {
    std::string supported;
    for (double r : m_supportedRates)
      supported += (supported.empty() ? "" : ", ") + std::to_string(static_cast<long>(r));
    text.Out("sample rate:   %.0f Hz%s%s\n", m_rate, supported.empty() ? "" : "; can run at ",
             supported.c_str());
  }

  if (m_clockResult != ASE_OK) {
    text.Out("clock sources: getClockSources failed: %s\n", AsioErrorName(m_clockResult).c_str());
  } else {
    text.Out("clock sources: %ld\n", m_clockCount);
    for (const ASIOClockSource& clock : m_clocks)
      text.Out("  %3ld   %s%s\n", clock.index, Bounded(clock.name, sizeof(clock.name)).c_str(),
               clock.isCurrentSource ? " (current)" : "");
  }

  if (m_initialised) {
    std::string list;
    for (const std::string& capability : m_capabilities)
      list += (list.empty() ? "" : ", ") + capability;
    text.Out("can also:      %s\n", list.empty() ? "none of the optional features" : list.c_str());
  }
}
