// What a driver reports about itself, read in the order hosts ask: name and
// version, init and its message, then channels, latencies, buffer sizes,
// sample rate and clock sources.
#ifndef VOROD_TOOLS_DRIVERREPORT_H
#define VOROD_TOOLS_DRIVERREPORT_H

#include <string>
#include <vector>

#include "driver/AsioTypes.h"
#include "tools/ConsoleText.h"

struct ChannelAnswer {
  long channel = 0;
  bool input = false;
  ASIOError result = ASE_OK;
  std::string name;
  ASIOSampleType type = 0;
  long group = 0;
  bool active = false;
};

class CDriverReport {
 public:
  // More channels than this are listed as a count only.
  static constexpr long kMaxChannelsQueried = 1024;
  static constexpr long kMaxClockSources = 64;

  void ReadIdentity(IASIO* driver);
  bool Initialise(IASIO* driver, void* sysHandle);
  void ReadAnswers(IASIO* driver);

  void PrintIdentity(CConsoleText& text) const;
  void PrintAnswers(CConsoleText& text) const;

  const std::string& Name() const { return m_name; }
  bool Initialised() const { return m_initialised; }
  const std::string& InitMessage() const { return m_initMessage; }
  long Inputs() const { return m_inputs; }
  long Outputs() const { return m_outputs; }
  // Null when the channel does not exist or the driver gave no answer for it.
  const ChannelAnswer* Channel(bool input, long channel) const;
  long PreferredBufferFrames() const { return m_bufferResult == ASE_OK ? m_preferred : 0; }
  ASIOError ClockResult() const { return m_clockResult; }
  const std::vector<ASIOClockSource>& Clocks() const { return m_clocks; }

 private:
  std::string m_name;
  long m_version = 0;
  bool m_initialised = false;
  std::string m_initMessage;

  ASIOError m_channelsResult = ASE_NotPresent;
  long m_inputs = 0;
  long m_outputs = 0;
  std::vector<ChannelAnswer> m_channels;
  ASIOError m_latencyResult = ASE_NotPresent;
  long m_inputLatency = 0;
  long m_outputLatency = 0;
  ASIOError m_bufferResult = ASE_NotPresent;
  long m_minSize = 0, m_maxSize = 0, m_preferred = 0, m_granularity = 0;
  ASIOError m_rateResult = ASE_NotPresent;
  double m_rate = 0;
  std::vector<double> m_supportedRates;
  ASIOError m_clockResult = ASE_NotPresent;
  long m_clockCount = 0;
  std::vector<ASIOClockSource> m_clocks;
  std::vector<std::string> m_capabilities;
};

// The driver's error message: the host's buffer is larger than the
// published 124 bytes and always terminated, whatever the driver writes.
std::string ReadErrorMessage(IASIO* driver);

#endif  // VOROD_TOOLS_DRIVERREPORT_H
