// The console host's command line: what to open and what to do with it.
#ifndef VOROD_TOOLS_CONSOLEOPTIONS_H
#define VOROD_TOOLS_CONSOLEOPTIONS_H

#include <windows.h>

#include <string>
#include <vector>

// Exit status of the program, as --help documents it.
enum ExitCode {
  kExitOk = 0,
  kExitUsage = 1,
  kExitNoDriver = 2,
  kExitInitFailed = 3,
  kExitDriverRefused = 4,
  kExitRunFailed = 5,
  kExitWavFailed = 6
};

enum class OutputSignal { kSilence, kTone, kClick };

// "all", "none" or a list such as 0,2-5.
struct ChannelSelection {
  bool all = true;
  std::vector<long> channels;  // ascending, without repeats, when not all

  bool None() const { return !all && channels.empty(); }
};

struct ConsoleOptions {
  bool help = false;
  bool list = false;
  bool controlPanel = false;  // open the driver's control panel after its answers
  bool multithreaded = false;  // open the driver from a multithreaded apartment

  // At most one of these; neither: the Quorvex Vor OD DLL beside the program.
  std::string driverName;
  std::string dllPath;
  bool hasClassId = false;
  CLSID classId = {};

  double streamSeconds = 0;  // 0: print the driver's answers only
  long bufferFrames = 0;     // 0: the driver's preferred size
  double sampleRate = 0;     // 0: leave the driver's rate
  long clockSource = -1;     // -1: leave the driver's clock
  ChannelSelection inputs;
  ChannelSelection outputs;
  OutputSignal signal = OutputSignal::kSilence;
  double toneHz = 1000;
  std::string wavPath;
  bool timeInfo = true;  // the answer to kAsioSupportsTimeInfo
  bool checkPattern = false;  // check the inputs for the virtual device's pattern
};

constexpr double kMaxStreamSeconds = 600;
constexpr double kMinStreamSeconds = 0.1;
constexpr long kMaxBufferFrames = 1 << 20;

// False with a one-line reason when the command line is not usable.
bool ParseCommandLine(int argc, const char* const* argv, ConsoleOptions* options,
                      std::string* error);
// "all", "none", "0, 2-5".
std::string DescribeSelection(const ChannelSelection& selection);
const char* ConsoleHelpText();

#endif  // VOROD_TOOLS_CONSOLEOPTIONS_H
