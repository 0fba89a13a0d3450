#include "tools/StreamReport.h"

#include <cmath>
#include <cstdlib>

#include "tools/AsioNames.h"

namespace {

std::string Milliseconds(double frames, double rate) {
  char text[32];
  snprintf(text, sizeof(text), "%.2f ms", frames * 1000.0 / rate);
  return text;
}

std::string Channels(const std::vector<StreamChannel>& channels) {
  ChannelSelection selection;
  selection.all = false;
  for (const StreamChannel& channel : channels) selection.channels.push_back(channel.channel);
  return DescribeSelection(selection);
}

const char* SignalName(OutputSignal signal) {
  switch (signal) {
    case OutputSignal::kTone:
      return "a tone";
    case OutputSignal::kClick:
      return "clicks";
    default:
      return "silence";
  }
}

std::string Plural(long count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::string PeakText(uint32_t peak) {
  if (peak == 0) return "silent";
  char text[32];
  snprintf(text, sizeof(text), "%.1f dBFS", 20.0 * std::log10(peak / 2147483648.0));
  return text;
}

void PrintStreamPlan(const StreamPlan& plan, CConsoleText& text) {
  text.Out(
      "streaming:     %.1f s, buffer %ld frames (%s) at %.0f Hz; inputs %s, outputs %s; "
      "outputs play %s\n",
      plan.seconds, plan.bufferFrames, Milliseconds(plan.bufferFrames, plan.sampleRate).c_str(),
      plan.sampleRate, Channels(plan.inputs).c_str(), Channels(plan.outputs).c_str(),
      plan.outputs.empty() ? "nothing" : SignalName(plan.signal));
  text.Flush();
}

void PrintStreamResult(const StreamPlan& plan, const StreamResult& result, CConsoleText& text) {
  if (!result.started) return;
  const double rate = plan.sampleRate;
  const long expected = std::lround(result.runSeconds * rate / plan.bufferFrames);
  text.Out("switches:      %ld in %.2f s (about %ld expected), %ld through bufferSwitchTimeInfo\n",
           result.switches, result.runSeconds, expected, result.timeInfoSwitches);
  if (result.switchesRecorded < result.switches)
    text.Out("               (only the first %ld were timed and recorded)\n",
             result.switchesRecorded);

  const CallbackTiming& timing = result.timing;
  if (timing.intervals > 0)
    text.Out("intervals:     median %.2f ms, worst %.2f ms, shortest %.2f ms; period %.2f ms\n",
             timing.medianMs, timing.worstMs, timing.shortestMs, timing.periodMs);

  std::string dropOuts;
  auto add = [&](const std::string& item) { dropOuts += (dropOuts.empty() ? "" : ", ") + item; };
  if (timing.lateSwitches > 0)
    add(Plural(timing.lateSwitches, "late switch", "late switches") + " (over " +
        Milliseconds(kLateIntervalPeriods * plan.bufferFrames, rate) + " apart; about " +
        Plural(timing.missedPeriods, "buffer", "buffers") + " missed)");
  const PositionCheck& positions = result.positions;
  if (positions.jumps > 0)
    add(Plural(positions.jumps, "sample-position jump", "sample-position jumps") + " (" +
        std::to_string(positions.framesSkipped) + " frames skipped" +
        (positions.backwards > 0 ? ", " + std::to_string(positions.backwards) + " backwards"
                                 : std::string()) +
        ")");
  if (result.overloads > 0) add(Plural(result.overloads, "overload", "overloads") + " reported");
  if (result.resyncRequests > 0)
    add(Plural(result.resyncRequests, "resync request", "resync requests"));
  text.Out("drop-outs:     %s\n", dropOuts.empty() ? "none seen" : dropOuts.c_str());
  if (positions.checked == 0 && result.switches > 1)
    text.Out("positions:     the driver reported no sample positions\n");

  if (result.resetRequests > 0)
    text.Out("driver asked:  %s\n",
             Plural(result.resetRequests, "reset (kAsioResetRequest)", "resets").c_str());
  if (result.bufferSizeChanges > 0)
    text.Out("driver asked:  a buffer-size change (kAsioBufferSizeChange), %ld times\n",
             result.bufferSizeChanges);
  if (result.latencyChanges > 0)
    text.Out("driver said:   latencies changed (kAsioLatenciesChanged), %ld times\n",
             result.latencyChanges);
  if (result.rateChanges > 0)
    text.Out("driver said:   the sample rate changed to %.0f Hz\n", result.changedRate);

  if (result.latencyResult == ASE_OK)
    text.Out("latencies:     %ld in, %ld out frames (%s, %s) with these buffers\n",
             result.inputLatency, result.outputLatency,
             Milliseconds(result.inputLatency, rate).c_str(),
             Milliseconds(result.outputLatency, rate).c_str());
  else
    text.Out("latencies:     getLatencies failed: %s\n",
             AsioErrorName(result.latencyResult).c_str());
  text.Out("host side:     longest callback %.3f ms; outputReady %s; stop took %.1f ms\n",
           result.longestCallbackMs, result.outputReadyUsed ? "used" : "not supported",
           result.stopMs);

  if (!plan.inputs.empty()) {
    std::string peaks;
    for (size_t i = 0; i < plan.inputs.size() && i < result.inputPeaks.size(); ++i)
      peaks += (i ? ", " : "") + std::to_string(plan.inputs[i].channel) + " " +
               PeakText(result.inputPeaks[i]);
    text.Out("input peaks:   %s\n", peaks.c_str());
  }
}

void PrintRoundTrip(const StreamPlan& plan, const StreamResult& result,
                    const CStreamSession& session, CConsoleText& text) {
  if (plan.signal != OutputSignal::kClick || !result.started) return;
  if (plan.inputs.empty()) {
    text.Out("round trip:    not measured: no input is open\n");
    return;
  }
  const CClickSchedule& clicks = session.Clicks();
  const double rate = plan.sampleRate;
  int found = 0;
  int searched = 0;
  for (size_t i = 0; i < plan.inputs.size(); ++i) {
    const LoopbackEcho echo = FindLoopbackEcho(session.Capture(i), result.capturedFrames, clicks);
    searched = echo.clicks;
    if (!echo.found) continue;
    ++found;
    text.Out(
        "round trip:    clicks on outputs %s came back on input %ld after %ld frames (%s), "
        "%d of %d clicks, %s\n",
        Channels(plan.outputs).c_str(), plan.inputs[i].channel, echo.delayFrames,
        Milliseconds(echo.delayFrames, rate).c_str(), echo.echoes, echo.clicks,
        PeakText(static_cast<uint32_t>(echo.peak)).c_str());
    if (result.latencyResult != ASE_OK) continue;
    const long reported = result.inputLatency + result.outputLatency;
    const long difference = echo.delayFrames - reported;
    text.Out("               the driver reports %ld in + %ld out = %ld frames (%s): ",
             result.inputLatency, result.outputLatency, reported,
             Milliseconds(reported, rate).c_str());
    if (difference == 0)
      text.Out("the same\n");
    else
      text.Out("%ld frames (%s) %s than measured\n", std::labs(difference),
               Milliseconds(std::labs(difference), rate).c_str(), difference > 0 ? "less" : "more");
  }
  if (found > 0) return;
  if (searched < 3) {
    const double needed = static_cast<double>(clicks.Click(2) + clicks.SearchFrames()) / rate;
    text.Out("round trip:    not measured: the run was too short (clicks need %.1f s or more)\n",
             needed + 0.2);
    return;
  }
  text.Out(
      "round trip:    no loopback: the clicks (%d searched) came back on no input within "
      "%ld frames (%s)\n",
      searched, clicks.SearchFrames(), Milliseconds(clicks.SearchFrames(), rate).c_str());
}
