#include "tools/ConsoleOptions.h"

#include <objbase.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>

namespace {

const char kDescription[] =
    "A console ASIO host. It opens an ASIO driver the way a recording program\n"
    "does, prints what the driver reports (name, version, init result and\n"
    "message, channels, latencies, buffer sizes, sample rates and clock sources)\n"
    "and, when asked, streams through it and reports how the run went. With no\n"
    "driver given, Quorvex-Vor-OD-ASIO-x64.dll beside this program is loaded.\n";

const char kFooter[] =
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

const char kStreamingGroup[] = "Streaming (with --stream)";

// CLI11's help with the usage lines first, in lower case, and the description under them.
class CHelpFormatter : public CLI::Formatter {
 public:
  CHelpFormatter() {
    label("Usage", "usage");
    label("OPTIONS", "options");
    column_width(24);
  }
  std::string make_description(const CLI::App*) const override { return std::string(); }
  std::string make_usage(const CLI::App* app, std::string name) const override {
    return Formatter::make_usage(app, name) + "       " + name + " --list\n\n" +
           app->get_description();
  }
};

bool EqualsNoCase(const std::string& a, const char* b) { return _stricmp(a.c_str(), b) == 0; }

// One of a list of words, letter case ignored: its index, or -1.
int WordIndex(const std::string& text, std::initializer_list<const char*> words) {
  auto found = std::find_if(words.begin(), words.end(),
                            [&](const char* word) { return EqualsNoCase(text, word); });
  return found == words.end() ? -1 : static_cast<int>(found - words.begin());
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
  std::istringstream items(text + ",");
  for (std::string item; std::getline(items, item, ',');) {
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
  }
  std::sort(selection->channels.begin(), selection->channels.end());
  selection->channels.erase(std::unique(selection->channels.begin(), selection->channels.end()),
                            selection->channels.end());
  return true;
}

bool LooksLikePath(const std::string& text) {
  if (text.find_first_of("\\/:") != std::string::npos) return true;
  return text.size() >= 4 && EqualsNoCase(text.substr(text.size() - 4), ".dll");
}

// Takes an option's text into the options; false when it is not usable.
typedef std::function<bool(const std::string& text, ConsoleOptions* options)> Take;

Take Text(std::string ConsoleOptions::*field) {
  return [=](const std::string& text, ConsoleOptions* o) { return !(o->*field = text).empty(); };
}

Take Number(long ConsoleOptions::*field, long low, long high) {
  return [=](const std::string& text, ConsoleOptions* o) {
    return ParseLong(text, low, high, &(o->*field));
  };
}

Take Number(double ConsoleOptions::*field, double low, double high) {
  return [=](const std::string& text, ConsoleOptions* o) {
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text.c_str(), &end);
    const bool usable = !text.empty() && errno == 0 && *end == '\0' && std::isfinite(value) &&
                        value >= low && value <= high;
    if (usable) o->*field = value;
    return usable;
  };
}

// The console's options as CLI11 declares them, and what it made of a command line.
struct CommandLine {
  explicit CommandLine(int argCount = 0, const char* const* args = nullptr);
  // An option with a value: CLI11 finds its text, `take` takes it into the
  // options, or a conversion error tells the user what was expected.
  void Value(const char* names, const char* type, const std::string& description,
             const char* expected, Take take) {
    CLI::Option* option = app.add_option(names, description)->type_name(type)->group(group);
    option->each([this, option, expected, take](const std::string& text) {
      if (!take(text, &parsed))
        throw CLI::ConversionError("bad value for " + Spelling(option) + ": \"" + text +
                                   "\" (expected " + expected + ")");
    });
  }
  void Flag(const char* names, bool ConsoleOptions::*field, const std::string& description) {
    app.add_flag(names, parsed.*field, description)->group(group);
  }
  std::string Spelling(const CLI::Option* option) const;

  CLI::App app{kDescription, "asio-console"};
  const char* group = "Choosing the driver";
  ConsoleOptions parsed;
  std::string positional;
  int argc;
  const char* const* argv;
};

CommandLine::CommandLine(int argCount, const char* const* args) : argc(argCount), argv(args) {
  typedef ConsoleOptions O;
  app.formatter(std::make_shared<CHelpFormatter>());
  app.footer(kFooter);
  app.allow_extras();  // told apart below, in the console's words
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.set_help_flag();  // an ordinary flag, listed with the actions

  app.add_option("DRIVER", positional,
                 "an installed driver's name, or a driver DLL's path (a\n"
                 "value ending in .dll or holding \\, / or : is a path)")
      ->type_name("");
  Value("-d,--driver", "NAME",
        "an installed driver, by the name --list shows (letter\n"
        "case ignored), created through CoCreateInstance",
        "a driver name", Text(&O::driverName));
  Value("--dll", "PATH", "load this driver DLL directly, registered or not", "a DLL path",
        Text(&O::dllPath));
  Value("--clsid", "{ID}",
        "the class to create from the DLL (default: the one\n"
        "registered for the file, else the Vor OD driver's)",
        "a class id such as {35B2AAA7-CD03-421C-B325-5D7184ACC176}",
        [](const std::string& text, ConsoleOptions* o) {
          wchar_t wide[64] = {};
          // IIDFromString takes the brace form only, never a ProgID.
          o->hasClassId = text.size() < 64 &&
                          MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, 64) != 0 &&
                          SUCCEEDED(IIDFromString(wide, &o->classId));
          return o->hasClassId;
        });
  Value("--apartment", "sta|mta",
        "the COM apartment of the thread that drives the driver:\n"
        "sta (default, as most hosts) or mta (multithreaded)",
        "sta or mta", [](const std::string& text, ConsoleOptions* o) {
          const int apartment = WordIndex(text, {"sta", "mta"});
          o->multithreaded = apartment == 1;
          return apartment >= 0;
        });

  group = "What to do";
  Flag("-l,--list", &O::list,
       "list the installed ASIO drivers (HKLM\\SOFTWARE\\ASIO)\n"
       "and whether each can be opened");
  Value("-s,--stream", "SECS", "then stream for SECS seconds (0.1 to 600) and report",
        "seconds from 0.1 to 600", Number(&O::streamSeconds, kMinStreamSeconds, kMaxStreamSeconds));
  Flag("-p,--control-panel", &O::controlPanel,
       "then open the driver's control panel; returns when\n"
       "the panel is closed (at once for a modeless panel)");
  Flag("-h,--help", &O::help, "this text");

  group = kStreamingGroup;
  Value("-b,--buffer", "FRAMES", "buffer size (default: the driver's preferred size)",
        "a number of frames from 1 to 1048576", Number(&O::bufferFrames, 1, kMaxBufferFrames));
  Value("-r,--rate", "HZ", "set this sample rate first (default: the driver's)",
        "a sample rate in Hz such as 48000", Number(&O::sampleRate, 1000, 10000000));
  Value("--clock", "INDEX", "select this clock source first",
        "a clock source index as the driver's answers list it",
        Number(&O::clockSource, 0, 0x7FFFFFFF));
  Value("-i,--inputs", "LIST", "inputs to open: all (default), none, or e.g. 0,2-5",
        "all, none or a list like 0,2-5",
        [](const std::string& text, O* o) { return ParseSelection(text, &o->inputs); });
  Value("-o,--outputs", "LIST", "outputs to open, likewise", "all, none or a list like 0-1",
        [](const std::string& text, O* o) { return ParseSelection(text, &o->outputs); });
  Value("--signal", "KIND", "what the outputs play: silence (default), tone, click",
        "silence, tone or click", [](const std::string& text, ConsoleOptions* o) {
          const int kind = WordIndex(text, {"silence", "tone", "click"});
          if (kind >= 0) o->signal = static_cast<OutputSignal>(kind);
          return kind >= 0;
        });
  Value("--tone-hz", "HZ", "the tone's frequency (default 1000, at -20 dBFS)",
        "a frequency in Hz", Number(&O::toneHz, 1, 1000000));
  Value("-w,--wav", "FILE",
        "write the captured inputs to FILE: 32-bit PCM, one\n"
        "channel per input (WAVE_FORMAT_EXTENSIBLE beyond 2)",
        "a file name", Text(&O::wavPath));
  Value("--time-info", "yes|no",
        "the answer to kAsioSupportsTimeInfo (default yes); with\n"
        "no, the driver should call bufferSwitch instead",
        "yes or no", [](const std::string& text, ConsoleOptions* o) {
          const int answer = WordIndex(text, {"yes", "on", "1", "no", "off", "0"});
          o->timeInfo = answer < 3;
          return answer >= 0;
        });
  Flag("--check-pattern", &O::checkPattern,
       "check that every input carrying the Vor OD virtual\n"
       "device's capture pattern kept it, frame after frame\n"
       "(nothing lost, repeated or corrupted); fails the run\n"
       "when one breaks or none carries it");
}

// The name the user gave an option in, at its last use.
std::string CommandLine::Spelling(const CLI::Option* option) const {
  for (int i = argc - 1; i > 0; --i) {
    const std::string arg(argv[i], strcspn(argv[i], "="));
    if (arg.size() > 1 && arg[0] == '-' && option->check_name(arg)) return arg;
  }
  return option->get_name();
}

// Takes the DRIVER argument in, then checks what goes together.
bool CheckCombination(CommandLine& c, std::string* error) {
  ConsoleOptions* parsed = &c.parsed;
  if (!c.positional.empty()) {
    const std::string& named = parsed->driverName.empty() ? parsed->dllPath : parsed->driverName;
    if (!named.empty()) {
      *error = "more than one driver given: \"" + c.positional + "\" and \"" + named + "\"";
      return false;
    }
    (LooksLikePath(c.positional) ? parsed->dllPath : parsed->driverName) = c.positional;
  }
  if (!parsed->driverName.empty() && !parsed->dllPath.empty())
    *error = "choose either --driver or --dll, not both";
  else if (c.app.count("--clsid") > 0 && !parsed->driverName.empty())
    *error = "--clsid goes with a DLL path; an installed driver's class comes from the registry";
  else if (parsed->list && c.argc > 2)
    *error = "--list takes no other options";
  else if (parsed->list)
    return true;
  else if (parsed->streamSeconds == 0) {
    for (const CLI::Option* given : c.app.parse_order()) {
      if (given->get_group() != kStreamingGroup) continue;
      *error = c.Spelling(given) + " needs --stream SECONDS";
      return false;
    }
  } else if (parsed->inputs.None() && parsed->outputs.None())
    *error = "--inputs none and --outputs none leave nothing to stream";
  else if (!parsed->wavPath.empty() && parsed->inputs.None())
    *error = "--wav needs at least one input";
  else if (c.app.count("--tone-hz") > 0 && parsed->signal != OutputSignal::kTone)
    *error = "--tone-hz goes with --signal tone";
  else if (parsed->signal != OutputSignal::kSilence && parsed->outputs.None())
    *error = "--signal needs at least one output";
  return error->empty();
}

}  // namespace

const char* ConsoleHelpText() {
  static const std::string text = CommandLine().app.help();
  return text.c_str();
}

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
  CommandLine c(argc, argv);
  // Help wins over anything else on the line, however unusable.
  const bool help = argc > 1 && std::any_of(argv + 1, argv + argc, [](const char* arg) {
    return strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0 || strcmp(arg, "/?") == 0;
  });
  try {
    if (!help) c.app.parse(argc, argv);
  } catch (const CLI::ArgumentMismatch& e) {
    // The message starts with the option's name.
    const std::string message = e.what();
    const CLI::Option* option = c.app.get_option_no_throw(message.substr(0, message.find(':')));
    *error = option != nullptr ? c.Spelling(option) + " needs a value" : message;
    return false;
  } catch (const CLI::ParseError& e) {
    *error = e.what();
    return false;
  }
  if (help || c.parsed.help) {  // also within a group of short flags
    *options = ConsoleOptions();
    options->help = true;
    return true;
  }
  for (const std::string& extra : c.app.remaining()) {
    if (extra.size() > 1 && extra[0] == '-')
      *error = "unknown option " + extra.substr(0, extra.find('='));
    else
      *error = "more than one driver given: \"" + c.positional + "\" and \"" + extra + "\"";
    return false;
  }
  if (!CheckCombination(c, error)) return false;
  *options = c.parsed;
  return true;
}
