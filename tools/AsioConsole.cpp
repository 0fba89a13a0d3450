#include "tools/AsioConsole.h"

#include <objbase.h>

#include <algorithm>
#include <cmath>

#include "tools/AsioNames.h"
#include "tools/CapturePattern.h"
#include "tools/DriverConnection.h"
#include "tools/DriverList.h"
#include "tools/DriverReport.h"
#include "tools/SampleFormat.h"
#include "tools/StreamReport.h"
#include "tools/StreamSession.h"
#include "tools/WavFile.h"

namespace {

// COM for the calling thread: a single-threaded apartment, where most hosts
// create drivers, or the multithreaded one.
class CComApartment {
 public:
  explicit CComApartment(bool multithreaded)
      : m_hr(CoInitializeEx(nullptr, multithreaded ? COINIT_MULTITHREADED
                                                   : COINIT_APARTMENTTHREADED)) {}
  ~CComApartment() {
    if (SUCCEEDED(m_hr)) CoUninitialize();
  }
  CComApartment(const CComApartment&) = delete;
  CComApartment& operator=(const CComApartment&) = delete;
  HRESULT Result() const { return m_hr; }

 private:
  HRESULT m_hr;
};

std::string DriverSays(IASIO* driver) {
  const std::string message = ReadErrorMessage(driver);
  return message.empty() ? std::string() : " (driver says \"" + message + "\")";
}

// The opened channels of one direction, checked against the driver's
// answers: false with the failure set when one cannot be streamed.
bool PlanChannels(const CDriverReport& report, bool input, const ChannelSelection& selection,
                  std::vector<StreamChannel>* channels, RunFailure* failure) {
  const char* direction = input ? "input" : "output";
  const long count =
      std::min(input ? report.Inputs() : report.Outputs(), CDriverReport::kMaxChannelsQueried);
  std::vector<long> wanted = selection.channels;
  if (selection.all)
    for (long i = 0; i < count; ++i) wanted.push_back(i);
  for (long channel : wanted) {
    if (channel >= count) {
      *failure = {kExitUsage, std::string(direction) + " " + std::to_string(channel) +
                                  " does not exist: the driver has " + std::to_string(count) + " " +
                                  direction + "s"};
      return false;
    }
    const ChannelAnswer* answer = report.Channel(input, channel);
    if (answer == nullptr) {
      *failure = {kExitDriverRefused, "getChannelInfo failed for " + std::string(direction) + " " +
                                          std::to_string(channel)};
      return false;
    }
    if (SampleTypeBytes(answer->type) == 0) {
      *failure = {kExitDriverRefused, std::string(direction) + " " + std::to_string(channel) +
                                          " has sample type " + SampleTypeName(answer->type) +
                                          ", which this host cannot stream"};
      return false;
    }
    channels->push_back({channel, answer->type});
  }
  return true;
}

}  // namespace

int CAsioConsole::Fail(int exitCode, const std::string& message) {
  m_text.Error("%s", message.c_str());
  return exitCode;
}

int CAsioConsole::Run(int argc, const char* const* argv) {
  ConsoleOptions options;
  std::string error;
  if (!ParseCommandLine(argc, argv, &options, &error))
    return Fail(kExitUsage, error + " (see --help)");
  return Run(options);
}

int CAsioConsole::Run(const ConsoleOptions& options) {
  if (options.help) {
    m_text.Out("%s", ConsoleHelpText());
    return kExitOk;
  }
  CComApartment apartment(options.multithreaded);
  if (FAILED(apartment.Result()))
    return Fail(kExitNoDriver, "cannot initialise COM: " + DescribeHresult(apartment.Result()));
  if (options.list) return List();

  CDriverConnection connection;
  const int opened = Open(options, &connection);
  if (opened != kExitOk) return opened;
  IASIO* driver = connection.Driver();

  CDriverReport report;
  report.ReadIdentity(driver);
  report.PrintIdentity(m_text);
  report.Initialise(driver, GetConsoleWindow());
  report.ReadAnswers(driver);
  report.PrintAnswers(m_text);
  if (!report.Initialised()) {
    m_text.Flush();
    return Fail(kExitInitFailed,
                "init failed" + (report.InitMessage().empty()
                                     ? std::string(" and the driver gives no reason")
                                     : ": \"" + report.InitMessage() + "\""));
  }
  if (options.controlPanel) {
    const ASIOError panel = driver->controlPanel();
    m_text.Out("control panel: %s\n", AsioErrorName(panel).c_str());
    if (panel != ASE_OK) return Fail(kExitDriverRefused, "the driver shows no control panel");
  }
  if (options.streamSeconds <= 0) return kExitOk;
  return Stream(driver, report, options);
}

int CAsioConsole::List() {
  const InstalledDrivers installed = ReadInstalledDrivers();
  if (!installed.asioKeyPresent) {
    m_text.Out(
        "No ASIO drivers are installed: HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO does not exist.\n");
    return kExitOk;
  }
  if (installed.drivers.empty()) {
    m_text.Out("No ASIO drivers are installed: HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO is empty.\n");
    return kExitOk;
  }
  m_text.Out("ASIO drivers (HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO):\n");
  size_t openable = 0;
  for (const InstalledDriver& driver : installed.drivers) {
    m_text.Out("  %s\n", driver.name.c_str());
    if (driver.keyName != driver.name) m_text.Out("      key:    %s\n", driver.keyName.c_str());
    m_text.Out("      class:  %s\n",
               driver.classIdText.empty() ? "(none)" : driver.classIdText.c_str());
    if (!driver.serverPath.empty())
      m_text.Out("      DLL:    %s%s%s\n", driver.serverPath.c_str(),
                 driver.threadingModel.empty() ? "" : ", threading model ",
                 driver.threadingModel.c_str());
    if (driver.Openable())
      ++openable;
    else
      m_text.Out("      cannot be opened: %s\n", driver.problem.c_str());
    if (driver.name.size() >= kHostDriverNameLimit)
      m_text.Out(
          "      note:   the name has %zu characters; hosts that keep names in %zu bytes "
          "cannot select it by name\n",
          driver.name.size(), kHostDriverNameLimit);
  }
  m_text.Out("%zu driver%s, %zu can be opened.\n", installed.drivers.size(),
             installed.drivers.size() == 1 ? "" : "s", openable);
  return kExitOk;
}

int CAsioConsole::Open(const ConsoleOptions& options, CDriverConnection* connection) {
  std::string error;
  if (!options.driverName.empty()) {
    const InstalledDrivers installed = ReadInstalledDrivers();
    const InstalledDriver* driver = FindInstalledDriver(installed, options.driverName);
    if (driver == nullptr) {
      std::string names;
      for (const InstalledDriver& other : installed.drivers)
        names += (names.empty() ? "" : ", ") + ("\"" + other.name + "\"");
      return Fail(kExitNoDriver,
                  "no ASIO driver named \"" + options.driverName + "\" is installed" +
                      (names.empty() ? std::string(" (none are)") : " (installed: " + names + ")"));
    }
    if (!connection->OpenInstalled(*driver, &error)) return Fail(kExitNoDriver, error);
    m_text.Out("opened:        \"%s\" through CoCreateInstance: class %s, %s\n",
               driver->name.c_str(), ClassIdText(driver->classId).c_str(),
               driver->serverPath.c_str());
    return kExitOk;
  }

  const std::string path = options.dllPath.empty() ? DefaultDriverDllPath() : options.dllPath;
  CLSID classId = kQuorvexVorOdClassId;
  if (options.hasClassId)
    classId = options.classId;
  else
    FindClassOfDll(ReadInstalledDrivers(), path, &classId);
  if (!connection->OpenDll(path, classId, &error)) return Fail(kExitNoDriver, error);
  m_text.Out("opened:        %s, class %s\n", path.c_str(), ClassIdText(classId).c_str());
  return kExitOk;
}

int CAsioConsole::Stream(IASIO* driver, const CDriverReport& report,
                         const ConsoleOptions& options) {
  ASIOError error = ASE_OK;
  if (options.clockSource >= 0) {
    error = driver->setClockSource(options.clockSource);
    if (error != ASE_OK)
      return Fail(kExitDriverRefused, "setClockSource(" + std::to_string(options.clockSource) +
                                          ") failed: " + AsioErrorName(error) + DriverSays(driver));
  }
  if (options.sampleRate > 0) {
    error = driver->setSampleRate(options.sampleRate);
    if (error != ASE_OK)
      return Fail(kExitDriverRefused, "setSampleRate(" +
                                          std::to_string(std::lround(options.sampleRate)) +
                                          ") failed: " + AsioErrorName(error) + DriverSays(driver));
  }

  StreamPlan plan;
  error = driver->getSampleRate(&plan.sampleRate);
  if (error != ASE_OK || !(plan.sampleRate > 0) || !std::isfinite(plan.sampleRate))
    return Fail(kExitDriverRefused, "the driver gives no usable sample rate (getSampleRate: " +
                                        AsioErrorName(error) + ")");
  if (options.signal == OutputSignal::kTone && options.toneHz >= plan.sampleRate / 2)
    return Fail(kExitUsage, "a " + std::to_string(std::lround(options.toneHz)) +
                                " Hz tone does not fit a sample rate of " +
                                std::to_string(std::lround(plan.sampleRate)) + " Hz");

  plan.bufferFrames = options.bufferFrames;
  if (plan.bufferFrames == 0) {
    // The preferred size may follow the sample rate: ask again.
    long minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    error = driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    if (error != ASE_OK || preferred <= 0 || preferred > kMaxBufferFrames)
      return Fail(kExitDriverRefused,
                  "the driver gives no usable preferred buffer size "
                  "(getBufferSize: " +
                      AsioErrorName(error) + "); choose one with --buffer");
    plan.bufferFrames = preferred;
  }
  plan.seconds = options.streamSeconds;
  plan.signal = options.signal;
  plan.toneHz = options.toneHz;
  plan.timeInfo = options.timeInfo;

  RunFailure failure{kExitOk, std::string()};
  if (!PlanChannels(report, true, options.inputs, &plan.inputs, &failure) ||
      !PlanChannels(report, false, options.outputs, &plan.outputs, &failure))
    return Fail(failure.exitCode, failure.message);
  if (plan.inputs.empty() && plan.outputs.empty())
    return Fail(kExitDriverRefused, "the driver has no channels to stream");
  plan.keepCapture = !plan.inputs.empty() && (!options.wavPath.empty() || options.checkPattern ||
                                               plan.signal == OutputSignal::kClick);

  CWavFile wav;
  std::string wavError;
  if (!options.wavPath.empty() && !wav.Create(options.wavPath, &wavError))
    return Fail(kExitWavFailed, wavError);

  CStreamSession session(driver);
  if (!session.Prepare(plan, &failure)) return Fail(failure.exitCode, failure.message);
  PrintStreamPlan(plan, m_text);
  StreamResult result = session.Run();
  PrintStreamResult(plan, result, m_text);
  PrintRoundTrip(plan, result, session, m_text);
  if (options.checkPattern) CheckPattern(plan, session, &result);

  if (!options.wavPath.empty()) {
    const uint16_t channels = static_cast<uint16_t>(plan.inputs.size());
    if (result.capturedFrames == 0) {
      result.failures.push_back({kExitWavFailed, "no WAV file written: nothing was captured"});
    } else if (!WavFits(channels, static_cast<uint64_t>(result.capturedFrames))) {
      result.failures.push_back({kExitWavFailed, "the capture does not fit a WAV file"});
    } else {
      std::vector<const int32_t*> data;
      for (size_t i = 0; i < plan.inputs.size(); ++i) data.push_back(session.Capture(i));
      const uint32_t rate = static_cast<uint32_t>(std::lround(plan.sampleRate));
      if (wav.Write(data, static_cast<uint32_t>(result.capturedFrames), rate, &wavError))
        m_text.Out("wav:           %s: %u channels, %lld frames of 32-bit PCM at %u Hz\n",
                   options.wavPath.c_str(), channels, static_cast<long long>(result.capturedFrames),
                   rate);
      else
        result.failures.push_back({kExitWavFailed, wavError});
    }
  }
  m_text.Flush();
  for (const RunFailure& runFailure : result.failures)
    m_text.Error("%s", runFailure.message.c_str());
  return result.ExitCode();
}

void CAsioConsole::CheckPattern(const StreamPlan& plan, const CStreamSession& session,
                                StreamResult* result) {
  ChannelSelection intact, absent;
  intact.all = absent.all = false;
  bool broken = false;
  for (size_t i = 0; i < plan.inputs.size(); ++i) {
    const long channel = plan.inputs[i].channel;
    const PatternCheck check = CheckCapturePattern(session.Capture(i), result->capturedFrames,
                                                   channel);
    if (check.outcome == PatternCheck::kIntact) {
      intact.channels.push_back(channel);
    } else if (check.outcome == PatternCheck::kAbsent) {
      absent.channels.push_back(channel);
    } else {
      broken = true;
      m_text.Out("pattern:       BROKEN on input %ld at frame %lld: device frame %u expected, "
                 "%u found\n",
                 channel, static_cast<long long>(check.brokenAt), check.expected, check.found);
      result->failures.push_back(
          {kExitRunFailed, "the capture pattern broke on input " + std::to_string(channel)});
    }
  }
  if (!intact.channels.empty())
    m_text.Out("pattern:       intact on inputs %s (%lld frames each)\n",
               DescribeSelection(intact).c_str(), static_cast<long long>(result->capturedFrames));
  if (!absent.channels.empty())
    m_text.Out("               not on inputs %s (a loopback, or not the virtual device)\n",
               DescribeSelection(absent).c_str());
  if (intact.channels.empty() && !broken)
    result->failures.push_back(
        {kExitRunFailed, "no input carries the virtual device's capture pattern"});
}
