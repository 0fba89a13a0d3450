// The console host's command line: what each option sets, and the lines a
// user gets for command lines that cannot work.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/ConsoleOptions.h"

namespace {

struct Parsed {
  bool ok;
  ConsoleOptions options;
  std::string error;
};

Parsed Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "asio-console");
  Parsed parsed{false, ConsoleOptions(), std::string()};
  parsed.ok =
      ParseCommandLine(static_cast<int>(args.size()), args.data(), &parsed.options, &parsed.error);
  return parsed;
}

}  // namespace

TEST(ConsoleOptionsTest, StreamingOptionsInBothSpellings) {
  Parsed p =
      Parse({"-d", "My Driver", "--stream=2.5", "-b", "128", "--rate", "44100", "-i", "3,0-1,1",
             "--outputs=none", "--wav", "out.wav", "--time-info", "no", "--clock", "1"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ("My Driver", p.options.driverName);
  EXPECT_DOUBLE_EQ(2.5, p.options.streamSeconds);
  EXPECT_EQ(128, p.options.bufferFrames);
  EXPECT_DOUBLE_EQ(44100, p.options.sampleRate);
  EXPECT_EQ((std::vector<long>{0, 1, 3}), p.options.inputs.channels);
  EXPECT_FALSE(p.options.inputs.all);
  EXPECT_TRUE(p.options.outputs.None());
  EXPECT_EQ("out.wav", p.options.wavPath);
  EXPECT_FALSE(p.options.timeInfo);
  EXPECT_EQ(1, p.options.clockSource);
  EXPECT_EQ("0-1, 3", DescribeSelection(p.options.inputs));
}

TEST(ConsoleOptionsTest, PositionalDriverIsANameOrAPath) {
  EXPECT_EQ("Quorvex Vor OD ASIO", Parse({"Quorvex Vor OD ASIO"}).options.driverName);
  EXPECT_EQ("drivers\\x.dll", Parse({"drivers\\x.dll"}).options.dllPath);
  EXPECT_EQ("X.DLL", Parse({"X.DLL"}).options.dllPath);
  Parsed p = Parse({"--dll", "a.dll", "--clsid", "{6F1D0C52-8A3E-4B47-9D21-3C5E7A90B814}"});
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(p.options.hasClassId);
  EXPECT_EQ(0x6f1d0c52u, p.options.classId.Data1);
  EXPECT_EQ(0x14, p.options.classId.Data4[7]);
}

TEST(ConsoleOptionsTest, HelpWinsAndListStandsAlone) {
  EXPECT_TRUE(Parse({"--bogus", "-h"}).options.help);
  EXPECT_TRUE(Parse({"--list"}).options.list);
  EXPECT_FALSE(Parse({"--list", "--stream", "1"}).ok);
  EXPECT_FALSE(Parse({"--list", "-p"}).ok);
  EXPECT_TRUE(Parse({"-p"}).options.controlPanel);
  EXPECT_TRUE(Parse({"--control-panel", "-s", "1"}).options.controlPanel);
  EXPECT_FALSE(Parse({"-s", "1"}).options.controlPanel);
  EXPECT_TRUE(Parse({"--apartment", "MTA"}).options.multithreaded);
  EXPECT_FALSE(Parse({"--apartment=sta"}).options.multithreaded);
  EXPECT_FALSE(Parse({}).options.multithreaded);
}

TEST(ConsoleOptionsTest, UnusableCommandLinesSayWhy) {
  const struct {
    std::vector<const char*> args;
    const char* error;
  } kCases[] = {
      {{"--frobnicate"}, "unknown option --frobnicate"},
      {{"--stream"}, "--stream needs a value"},
      {{"--stream", "0"}, "bad value for --stream: \"0\" (expected seconds from 0.1 to 600)"},
      {{"--stream", "2s"}, "bad value for --stream: \"2s\""},
      {{"--stream", "nan"}, "bad value for --stream"},
      {{"-s", "1", "-b", "0"}, "bad value for -b: \"0\""},
      {{"-s", "1", "-b", "-64"}, "bad value for -b"},
      {{"-s", "1", "-i", "3-1"}, "bad value for -i: \"3-1\""},
      {{"-s", "1", "-i", "1,,2"}, "bad value for -i"},
      {{"-s", "1", "-i", "x"}, "bad value for -i"},
      {{"--clsid", "Some.ProgId"}, "bad value for --clsid"},
      {{"-d", "A", "--dll", "b.dll"}, "choose either --driver or --dll"},
      {{"A", "B"}, "more than one driver given: \"A\" and \"B\""},
      {{"-d", "A", "--clsid", "{6F1D0C52-8A3E-4B47-9D21-3C5E7A90B814}"}, "--clsid goes with"},
      {{"--wav", "x.wav"}, "--wav needs --stream SECONDS"},
      {{"-s", "1", "-i", "none", "-o", "none"}, "leave nothing to stream"},
      {{"-s", "1", "-i", "none", "-w", "x.wav"}, "--wav needs at least one input"},
      {{"-s", "1", "-o", "none", "--signal", "click"}, "--signal needs at least one output"},
      {{"-s", "1", "--signal", "noise"}, "(expected silence, tone or click)"},
      {{"-s", "1", "--tone-hz", "440"}, "--tone-hz goes with --signal tone"},
      {{"--apartment", "both"}, "(expected sta or mta)"},
  };
  for (const auto& c : kCases) {
    Parsed p = Parse(c.args);
    EXPECT_FALSE(p.ok) << c.error;
    EXPECT_NE(std::string::npos, p.error.find(c.error)) << p.error;
  }
}
