// One streaming run through an initialised driver, as a well-behaved host
// does it: createBuffers, start, a wait that keeps the apartment's messages
// flowing, stop, disposeBuffers.
//
// The callbacks run on the driver's thread. They allocate nothing, take no
// lock and print nothing: every buffer they fill and every array they record
// into is allocated by Prepare, and the report is made after the run.
// ASIO callbacks carry no context, so one session at a time is active.
#ifndef VOROD_TOOLS_STREAMSESSION_H
#define VOROD_TOOLS_STREAMSESSION_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/AsioTypes.h"
#include "tools/ConsoleOptions.h"
#include "tools/LoopbackDetector.h"
#include "tools/RunStatistics.h"

struct StreamChannel {
  long channel = 0;
  ASIOSampleType type = ASIOSTInt32LSB;
};

struct StreamPlan {
  long bufferFrames = 0;
  double sampleRate = 0;
  double seconds = 0;
  std::vector<StreamChannel> inputs;
  std::vector<StreamChannel> outputs;
  OutputSignal signal = OutputSignal::kSilence;
  double toneHz = 1000;
  bool timeInfo = true;
  bool keepCapture = false;  // for the WAV file and the click search
};

struct RunFailure {
  int exitCode;
  std::string message;
};

// The capture is kept in memory up to this size.
constexpr uint64_t kMaxCaptureBytes = 512ull << 20;

struct StreamResult {
  std::vector<RunFailure> failures;  // the first one sets the exit status
  bool started = false;

  double runSeconds = 0;  // from start returning to stop being called
  double stopMs = 0;      // how long stop took
  long switches = 0;
  long timeInfoSwitches = 0;     // of them, through bufferSwitchTimeInfo
  long switchesRecorded = 0;     // timed and, when kept, captured
  double longestCallbackMs = 0;  // the host's own time inside a callback
  CallbackTiming timing;
  PositionCheck positions;
  bool outputReadyUsed = false;

  ASIOError latencyResult = ASE_NotPresent;  // getLatencies after createBuffers
  long inputLatency = 0;
  long outputLatency = 0;

  long overloads = 0;          // kAsioOverload
  long resyncRequests = 0;     // kAsioResyncRequest
  long resetRequests = 0;      // kAsioResetRequest
  long bufferSizeChanges = 0;  // kAsioBufferSizeChange
  long latencyChanges = 0;     // kAsioLatenciesChanged
  long rateChanges = 0;        // sampleRateDidChange
  double changedRate = 0;
  long badIndices = 0;  // switches with an index other than 0 or 1
  long callbacksAfterStop = 0;
  bool interrupted = false;

  std::vector<uint32_t> inputPeaks;  // magnitude in 32-bit PCM, per input
  int64_t capturedFrames = 0;

  int ExitCode() const { return failures.empty() ? kExitOk : failures.front().exitCode; }
};

class CStreamSession {
 public:
  explicit CStreamSession(IASIO* driver);
  ~CStreamSession();
  CStreamSession(const CStreamSession&) = delete;
  CStreamSession& operator=(const CStreamSession&) = delete;

  // Allocates all the run needs: false (with the reason) when the plan is
  // unusable or the capture would not fit in memory.
  bool Prepare(const StreamPlan& plan, RunFailure* failure);
  // Once per session.
  StreamResult Run();

  // Ends the wait of the running session, and of any later one, early
  // (Ctrl+C); callable from any thread.
  static void Interrupt();

  // The capture of one opened input (by position in the plan), valid for
  // Result().capturedFrames frames.
  const int32_t* Capture(size_t input) const;
  const CClickSchedule& Clicks() const { return m_clicks; }

 private:
  static void BufferSwitch(long index, ASIOBool directProcess);
  static ASIOTime* BufferSwitchTimeInfo(ASIOTime* params, long index, ASIOBool directProcess);
  static void SampleRateDidChange(ASIOSampleRate rate);
  static long AsioMessage(long selector, long value, void* message, double* opt);

  void OnSwitch(long index, const ASIOTime* time);
  void RenderOutputs(long index, int64_t firstFrame);
  long OnMessage(long selector, long value);
  void Wait(StreamResult* result);
  void Fail(StreamResult* result, int exitCode, const std::string& message);
  void CollectResult(StreamResult* result);

  int32_t* CaptureOf(size_t input);

  static std::atomic<CStreamSession*> s_active;
  static std::atomic<bool> s_interrupted;

  IASIO* m_driver;
  StreamPlan m_plan;
  CClickSchedule m_clicks;
  ASIOCallbacks m_callbacks;
  std::vector<ASIOBufferInfo> m_bufferInfos;  // inputs first, then outputs
  HANDLE m_wake = nullptr;                    // set by a reset request
  bool m_outputReady = false;
  bool m_ran = false;  // one run per session

  // Recorded by the callbacks into memory allocated by Prepare.
  long m_capacity = 0;  // switches recorded
  std::vector<int64_t> m_switchTicks;
  std::vector<int64_t> m_positions;
  std::vector<int32_t> m_capture;  // per input: m_capacity * bufferFrames samples
  std::vector<int32_t> m_scratch;  // one buffer, when the capture is not kept
  std::vector<int32_t> m_signal;   // one buffer of output
  std::vector<uint32_t> m_peaks;
  double m_tonePhaseStep = 0;

  std::atomic<long> m_switches{0};
  std::atomic<long> m_timeInfoSwitches{0};
  std::atomic<int64_t> m_longestCallbackTicks{0};
  std::atomic<long> m_overloads{0};
  std::atomic<long> m_resyncRequests{0};
  std::atomic<long> m_resetRequests{0};
  std::atomic<long> m_bufferSizeChanges{0};
  std::atomic<long> m_latencyChanges{0};
  std::atomic<long> m_rateChanges{0};
  std::atomic<double> m_changedRate{0};
  std::atomic<long> m_badIndices{0};
  std::atomic<long> m_callbacksAfterStop{0};
  std::atomic<bool> m_stopReturned{false};
  std::atomic<int64_t> m_resetTicks{0};
  int64_t m_startTicks = 0;
};

#endif  // VOROD_TOOLS_STREAMSESSION_H
