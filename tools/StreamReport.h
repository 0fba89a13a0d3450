// The report of a streaming run: switches and their timing, drop-outs, what
// the driver reported, input levels, and the round trip through a loopback.
#ifndef VOROD_TOOLS_STREAMREPORT_H
#define VOROD_TOOLS_STREAMREPORT_H

#include "tools/ConsoleText.h"
#include "tools/StreamSession.h"

// "-6.0 dBFS", or "silent".
std::string PeakText(uint32_t peak);

void PrintStreamPlan(const StreamPlan& plan, CConsoleText& text);
void PrintStreamResult(const StreamPlan& plan, const StreamResult& result, CConsoleText& text);
// Searches every input for the clicks (when they were played) and prints
// where they came back against the latencies the driver reports.
void PrintRoundTrip(const StreamPlan& plan, const StreamResult& result,
                    const CStreamSession& session, CConsoleText& text);

#endif  // VOROD_TOOLS_STREAMREPORT_H
