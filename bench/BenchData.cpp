#include "bench/BenchData.h"

#include <windows.h>

#include <cstdio>
#include <set>

namespace {

// The file in the data folder, started afresh (with its header) the first
// time this run opens it; null when it cannot be written.
FILE* OpenData(const char* name, const char* header) {
  static std::set<std::string> started;
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  folder = folder.substr(0, folder.find_last_of("\\/") + 1) + "..\\bench";
  CreateDirectoryA(folder.c_str(), nullptr);
  const bool fresh = started.insert(name).second;
  FILE* file = fopen((folder + "\\" + name).c_str(), fresh ? "wb" : "ab");
  if (file != nullptr && fresh) fprintf(file, "%s\n", header);
  if (file == nullptr) fprintf(stderr, "vorod-bench: cannot write %s\\%s\n", folder.c_str(), name);
  return file;
}

}  // namespace

void SaveStrictRun(const std::string& run, double start, const std::vector<double>& switchTimes,
                   const std::vector<std::pair<uint32_t, uint32_t>>& dropOuts,
                   const std::vector<uint32_t>& breaks, const std::vector<double>& lateWakeTimes) {
  FILE* file = OpenData("realtime.csv", "run,kind,seconds,value");
  if (file == nullptr) return;
  for (size_t n = 0; n < switchTimes.size(); ++n) {
    fprintf(file, "%s,switch,%.6f,", run.c_str(), switchTimes[n] - start);
    if (n > 0) fprintf(file, "%.4f", (switchTimes[n] - switchTimes[n - 1]) * 1000);
    fprintf(file, "\n");
  }
  for (const auto& dropOut : dropOuts) {
    if (dropOut.first < switchTimes.size())
      fprintf(file, "%s,dropout,%.6f,%u\n", run.c_str(), switchTimes[dropOut.first] - start,
              dropOut.second);
  }
  for (uint32_t n : breaks) {
    if (n < switchTimes.size()) fprintf(file, "%s,break,%.6f,\n", run.c_str(), switchTimes[n] - start);
  }
  for (double time : lateWakeTimes)
    fprintf(file, "%s,late_wake,%.6f,\n", run.c_str(), time - start);
  fclose(file);
}

void SaveRoundTrip(const char* mode, long bufferFrames, long inputLatency, long outputLatency,
                   long long measuredFrames, const std::vector<int32_t>& output0,
                   const std::vector<int32_t>& input14) {
  FILE* file = OpenData("roundtrip.csv",
                        "mode,buffer_frames,input_latency,output_latency,measured_frames,frame,"
                        "output0,input14");
  if (file == nullptr) return;
  for (size_t f = 0; f < output0.size() && f < input14.size(); ++f)
    fprintf(file, "%s,%ld,%ld,%ld,%lld,%lu,%ld,%ld\n", mode, bufferFrames, inputLatency,
            outputLatency, measuredFrames, static_cast<unsigned long>(f),
            static_cast<long>(output0[f]), static_cast<long>(input14[f]));
  fclose(file);
}
