#include "tools/ConsoleOptions.h"

#include <objbase.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

const char kHelp[] =
    "usage: asio-console [options] [DRIVER]\n"
    "       asio-console --list\n"
    "\n"
    "A console ASIO host. It opens an ASIO driver the way a recording program\n"
    "does, prints what the driver reports and, when asked, streams through it and\n"
    "reports how the run went.\n"
    "\n"
    "Choosing the driver\n"
    "  DRIVER               an installed driver's name, or a driver DLL's path (a\n"
    "                       value ending in .dll or holding \\, / or : is a path)\n"
    "  -d, --driver NAME    an installed driver, by the name --list shows (letter\n"
    "                       case ignored), created through CoCreateInstance\n"
    "      --dll PATH       load this driver DLL directly, registered or not\n"
    "      --clsid {ID}     the class to create from the DLL (default: the class\n"
    "                       registered for that file, else the Quorvex Vor OD\n"
    "                       driver's)\n"
    "  With no driver given, Quorvex-Vor-OD-ASIO-x64.dll beside this program is\n"
    "  loaded.\n"
    "      --apartment sta|mta\n"
    "                       the COM apartment of the thread that opens and drives\n"
    "                       the driver: single-threaded (default, as most hosts)\n"
    "                       or multithreaded\n"
    "\n"
    "What to do\n"
    "  -l, --list           list the installed ASIO drivers (HKLM\\SOFTWARE\\ASIO)\n"
    "                       and whether each can be opened\n"
    "  (default)            print the driver's name, version, init result and\n"
    "                       message, channels, latencies, buffer sizes, sample\n"
    "                       rates and clock sources\n"
    "  -s, --stream SECS    then stream for SECS seconds (0.1 to 600) and report\n"
    "  -p, --control-panel  then open the driver's control panel; returns when the\n"
    "                       panel is closed (at once for a modeless panel)\n"
    "\n"
    "Streaming\n"
    "  -b, --buffer FRAMES  buffer size (default: the driver's preferred size)\n"
    "  -r, --rate HZ        set this sample rate first (default: the driver's)\n"
    "      --clock INDEX    select this clock source first\n"
    "  -i, --inputs LIST    inputs to open: all (default), none, or e.g. 0,2-5\n"
    "  -o, --outputs LIST   outputs to open, likewise\n"
    "      --signal KIND    what the outputs play: silence (default), tone, click\n"
    "      --tone-hz HZ     the tone's frequency (default 1000, at -20 dBFS)\n"
    "  -w, --wav FILE       write the captured inputs to FILE: 32-bit PCM, one\n"
    "                       channel per opened input (WAVE_FORMAT_EXTENSIBLE\n"
    "                       beyond 2)\n"
    "      --time-info yes|no\n"
    "                       the answer to kAsioSupportsTimeInfo (default yes);\n"
    "                       with no, the driver should call bufferSwitch instead\n"
    "                       of bufferSwitchTimeInfo\n"
    "      --check-pattern  check that every input carrying the Vor OD virtual\n"
    "                       device's capture pattern kept it, frame after frame\n"
    "                       (nothing lost, repeated or corrupted); fails the run\n"
    "                       when one breaks or none carries it\n"
    "  -h, --help           this text\n"
    "\n"
    "The run report gives the buffer switches against the number expected, the\n"
    "interval between callbacks (median and worst) against the buffer period,\n"
    "late switches (over 1.5 periods apart), jumps in the sample positions the\n"
    "driver reports, the overloads, resync and reset requests it sent, and each\n"
    "input's peak level.\n"
    "\n"
    "Round-trip latency: --signal click plays a single-sample click at -6 dBFS on\n"
    "the opened outputs, one every 0.1 s and eight buffers or so, and looks for it\n"
    "in every opened input. Where it comes back (an output wired or routed to an\n"
    "input), the delay is reported beside the latencies the driver reports. Open\n"
    "one output (-o N) to tell which output feeds which input. Runs of a second\n"
    "or more give an answer.\n"
    "\n"
    "The capture is kept in memory during the run (at most 512 MB) when it goes\n"
    "to a WAV file or is searched for clicks. Ctrl+C ends a run early; the report\n"
    "and the WAV file still come.\n"
    "\n"
    "Exit status\n"
    "  0  success\n"
    "  1  bad command line\n"
    "  2  driver not installed, cannot be loaded or cannot be created\n"
    "  3  init failed (the driver's answers are printed all the same)\n"
    "  4  the driver refused a call (setSampleRate, setClockSource, createBuffers,\n"
    "     start, stop, disposeBuffers) or has channels this host cannot stream\n"
    "  5  the run failed: no buffer switch arrived, the driver asked for a reset,\n"
    "     callbacks came after stop, or Ctrl+C ended it\n"
    "  6  the WAV file cannot be written\n";

bool EqualsNoCase(const std::string& a, const char* b) { return _stricmp(a.c_str(), b) == 0; }

bool ParseDouble(const std::string& text, double low, double high, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double parsed = strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed < low || parsed > high)
    return false;
  *value = parsed;
  return true;
}

bool ParseLong(const std::string& text, long low, long high, long* value) {
  if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-'))
    return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = static_cast<long>(parsed);
  return true;
}

bool ParseSelection(const std::string& text, ChannelSelection* selection) {
  selection->channels.clear();
  selection->all = EqualsNoCase(text, "all");
  if (selection->all || EqualsNoCase(text, "none")) return true;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(start, comma - start);
    const size_t dash = item.find('-', 1);
    long first = 0, last = 0;
    if (dash == std::string::npos) {
      if (!ParseLong(item, 0, 0xFFFF, &first)) return false;
      last = first;
    } else if (!ParseLong(item.substr(0, dash), 0, 0xFFFF, &first) ||
               !ParseLong(item.substr(dash + 1), 0, 0xFFFF, &last) || last < first) {
      return false;
    }
    for (long channel = first; channel <= last; ++channel) selection->channels.push_back(channel);
    start = comma + 1;
  }
  std::sort(selection->channels.begin(), selection->channels.end());
  selection->channels.erase(std::unique(selection->channels.begin(), selection->channels.end()),
                            selection->channels.end());
  return true;
}

bool ParseClassId(const std::string& text, CLSID* id) {
  wchar_t wide[64] = {};
  if (text.size() >= 64 || MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, 64) == 0)
    return false;
  // IIDFromString takes the brace form only, never a ProgID.
  return SUCCEEDED(IIDFromString(wide, id));
}

bool LooksLikePath(const std::string& text) {
  if (text.find_first_of("\\/:") != std::string::npos) return true;
  return text.size() >= 4 && EqualsNoCase(text.substr(text.size() - 4), ".dll");
}

}  // namespace

const char* ConsoleHelpText() { return kHelp; }

std::string DescribeSelection(const ChannelSelection& selection) {
  if (selection.all) return "all";
  if (selection.channels.empty()) return "none";
  std::string text;
  const std::vector<long>& c = selection.channels;
  for (size_t i = 0; i < c.size();) {
    size_t j = i;
    while (j + 1 < c.size() && c[j + 1] == c[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(c[i]);
    if (j > i) text += "-" + std::to_string(c[j]);
    i = j + 1;
  }
  return text;
}

bool ParseCommandLine(int argc, const char* const* argv, ConsoleOptions* options,
                      std::string* error) {
  ConsoleOptions parsed;
  std::vector<std::string> streamingOptions;  // given, for the checks below
  std::string positional;
  bool classIdGiven = false;
  bool toneGiven = false;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help" || arg == "/?") {
      *options = ConsoleOptions();
      options->help = true;
      return true;
    }
  }

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.empty() || arg[0] != '-' || arg == "-") {
      if (!positional.empty()) {
        *error = "more than one driver given: \"" + positional + "\" and \"" + arg + "\"";
        return false;
      }
      positional = arg;
      continue;
    }
    std::string value;
    bool hasInlineValue = false;
    const size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
      hasInlineValue = true;
    }
    auto name = [&](const char* shortName, const char* longName) {
      return (shortName != nullptr && arg == shortName) || arg == longName;
    };
    auto takeValue = [&]() {
      if (hasInlineValue) return true;
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      value = argv[++i];
      return true;
    };
    auto bad = [&](const char* expected) {
      *error = "bad value for " + arg + ": \"" + value + "\" (expected " + expected + ")";
      return false;
    };

    if (name("-l", "--list")) {
      parsed.list = true;
      continue;
    }
    if (name("-p", "--control-panel")) {
      parsed.controlPanel = true;
      continue;
    }
    if (name(nullptr, "--check-pattern")) {
      parsed.checkPattern = true;
      streamingOptions.push_back(arg);
      continue;
    }
    static const char* const kValueOptions[] = {
        "-d",        "--driver", "--dll",     "--clsid", "-s",    "--stream",   "-b", "--apartment",
        "--buffer",  "-r",       "--rate",    "--clock", "-i",    "--inputs",   "-o",
        "--outputs", "--signal", "--tone-hz", "-w",      "--wav", "--time-info"};
    if (std::find(std::begin(kValueOptions), std::end(kValueOptions), arg) ==
        std::end(kValueOptions)) {
      *error = "unknown option " + arg;
      return false;
    }
    if (!takeValue()) return false;
    if (name("-d", "--driver")) {
      if (value.empty()) return bad("a driver name");
      parsed.driverName = value;
    } else if (name(nullptr, "--dll")) {
      if (value.empty()) return bad("a DLL path");
      parsed.dllPath = value;
    } else if (name(nullptr, "--clsid")) {
      if (!ParseClassId(value, &parsed.classId))
        return bad("a class id such as {35B2AAA7-CD03-421C-B325-5D7184ACC176}");
      parsed.hasClassId = classIdGiven = true;
    } else if (name(nullptr, "--apartment")) {
      if (!EqualsNoCase(value, "sta") && !EqualsNoCase(value, "mta")) return bad("sta or mta");
      parsed.multithreaded = EqualsNoCase(value, "mta");
    } else if (name("-s", "--stream")) {
      if (!ParseDouble(value, kMinStreamSeconds, kMaxStreamSeconds, &parsed.streamSeconds))
        return bad("seconds from 0.1 to 600");
    } else if (name("-b", "--buffer")) {
      if (!ParseLong(value, 1, kMaxBufferFrames, &parsed.bufferFrames))
        return bad("a number of frames from 1 to 1048576");
      streamingOptions.push_back(arg);
    } else if (name("-r", "--rate")) {
      if (!ParseDouble(value, 1000, 10000000, &parsed.sampleRate))
        return bad("a sample rate in Hz such as 48000");
      streamingOptions.push_back(arg);
    } else if (name(nullptr, "--clock")) {
      if (!ParseLong(value, 0, 0x7FFFFFFF, &parsed.clockSource))
        return bad("a clock source index as the driver's answers list it");
      streamingOptions.push_back(arg);
    } else if (name("-i", "--inputs")) {
      if (!ParseSelection(value, &parsed.inputs)) return bad("all, none or a list like 0,2-5");
      streamingOptions.push_back(arg);
    } else if (name("-o", "--outputs")) {
      if (!ParseSelection(value, &parsed.outputs)) return bad("all, none or a list like 0-1");
      streamingOptions.push_back(arg);
    } else if (name(nullptr, "--signal")) {
      if (EqualsNoCase(value, "silence"))
        parsed.signal = OutputSignal::kSilence;
      else if (EqualsNoCase(value, "tone"))
        parsed.signal = OutputSignal::kTone;
      else if (EqualsNoCase(value, "click"))
        parsed.signal = OutputSignal::kClick;
      else
        return bad("silence, tone or click");
      streamingOptions.push_back(arg);
    } else if (name(nullptr, "--tone-hz")) {
      if (!ParseDouble(value, 1, 1000000, &parsed.toneHz)) return bad("a frequency in Hz");
      toneGiven = true;
      streamingOptions.push_back(arg);
    } else if (name("-w", "--wav")) {
      if (value.empty()) return bad("a file name");
      parsed.wavPath = value;
      streamingOptions.push_back(arg);
    } else if (name(nullptr, "--time-info")) {
      if (EqualsNoCase(value, "yes") || EqualsNoCase(value, "on") || value == "1")
        parsed.timeInfo = true;
      else if (EqualsNoCase(value, "no") || EqualsNoCase(value, "off") || value == "0")
        parsed.timeInfo = false;
      else
        return bad("yes or no");
      streamingOptions.push_back(arg);
    }
  }

  if (!positional.empty()) {
    std::string& target = LooksLikePath(positional) ? parsed.dllPath : parsed.driverName;
    if (!parsed.driverName.empty() || !parsed.dllPath.empty()) {
      *error = "more than one driver given: \"" + positional + "\" and \"" +
               (parsed.driverName.empty() ? parsed.dllPath : parsed.driverName) + "\"";
      return false;
    }
    target = positional;
  }
  if (!parsed.driverName.empty() && !parsed.dllPath.empty()) {
    *error = "choose either --driver or --dll, not both";
    return false;
  }
  if (classIdGiven && !parsed.driverName.empty()) {
    *error = "--clsid goes with a DLL path; an installed driver's class comes from the registry";
    return false;
  }
  if (parsed.list) {
    if (argc > 2) {
      *error = "--list takes no other options";
      return false;
    }
    *options = parsed;
    return true;
  }
  if (parsed.streamSeconds == 0) {
    if (!streamingOptions.empty()) {
      *error = streamingOptions.front() + " needs --stream SECONDS";
      return false;
    }
  } else {
    if (parsed.inputs.None() && parsed.outputs.None()) {
      *error = "--inputs none and --outputs none leave nothing to stream";
      return false;
    }
    if (!parsed.wavPath.empty() && parsed.inputs.None()) {
      *error = "--wav needs at least one input";
      return false;
    }
    if (toneGiven && parsed.signal != OutputSignal::kTone) {
      *error = "--tone-hz goes with --signal tone";
      return false;
    }
    if (parsed.signal != OutputSignal::kSilence && parsed.outputs.None()) {
      *error = "--signal needs at least one output";
      return false;
    }
  }
  *options = parsed;
  return true;
}
