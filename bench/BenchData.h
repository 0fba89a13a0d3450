// The data scripts/bench.sh draws its pictures from (scripts/bench-pictures.py):
// CSV files in the bench/ folder beside the benchmark's bin/ folder, each
// started afresh by the first part of a run that writes to it.
//
// realtime.csv   run,kind,seconds,value: every buffer switch of a strict run
//                (value: ms since the switch before), every switch where the
//                driver's drop-out count went up (dropout, value: by how
//                much) and every late wake of the platform probe (late_wake),
//                in seconds from the run's start
// roundtrip.csv  mode,buffer_frames,input_latency,output_latency,
//                measured_frames,frame,output0,input14: one start's click on
//                output 0 and what input 14 heard, frame by frame from the
//                click's frame, beside the latencies getLatencies reported
//                and the round trip measured
#ifndef VOROD_BENCH_BENCHDATA_H
#define VOROD_BENCH_BENCHDATA_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Times in seconds on Now()'s clock; dropOuts: the switch (an index into
// switchTimes) and by how much the count went up; breaks: the switch of each
// break the host heard.
void SaveStrictRun(const std::string& run, double start, const std::vector<double>& switchTimes,
                   const std::vector<std::pair<uint32_t, uint32_t>>& dropOuts,
                   const std::vector<uint32_t>& breaks, const std::vector<double>& lateWakeTimes);

void SaveRoundTrip(const char* mode, long bufferFrames, long inputLatency, long outputLatency,
                   long long measuredFrames, const std::vector<int32_t>& output0,
                   const std::vector<int32_t>& input14);

#endif  // VOROD_BENCH_BENCHDATA_H
