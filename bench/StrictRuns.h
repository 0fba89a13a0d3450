// Strict real-time runs at 96 frames in both streaming modes, idle, with the
// other core busy and with a host callback that spends a share of the buffer
// period (70% unless asked otherwise), each beside the bare platform probe
// (only the runs whose name holds `only`):
// the driver's drop-outs split into those the device's own lateness
// explains and those the driver caused, the device's own losses and
// lateness, and the breaks in the capture pattern of input 0.
#ifndef VOROD_BENCH_STRICTRUNS_H
#define VOROD_BENCH_STRICTRUNS_H

#include <string>

void StrictRuns(int seconds, int callbackPercent, const std::string& only);

#endif  // VOROD_BENCH_STRICTRUNS_H
