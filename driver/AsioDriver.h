// CAsioDriver: the driver object an ASIO host creates and drives through
// IASIO. It owns the state that the streaming thread, the control panel and
// the hardware bring-up share while the driver is loaded.
//
// Double buffers: every channel buffer holds 2 x m_bufferSize samples of 4
// bytes, half 0 first; the host gets the two half addresses. Input slots are
// padded to the device's input count with filler slots (channel 255).
//
// Threads: the host's threads call IASIO; the streaming thread runs the
// buffer switch; the panel thread owns the dialog. The host's state-changing
// calls are serialised by a lock that only host threads take (HostLock.h).
// Words shared between threads are atomics read and written whole with
// relaxed ordering; buffers, callbacks and slot arrays change only while the
// streaming thread is stopped (createBuffers and disposeBuffers stop first).
#ifndef VOROD_DRIVER_ASIODRIVER_H
#define VOROD_DRIVER_ASIODRIVER_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "com/Unknown.h"
#include "driver/AsioTypes.h"
#include "driver/DiagnosticsLog.h"
#include "driver/HostLock.h"
#include "driver/RelaxedAtomic.h"
#include "driver/SwitchStamp.h"

class CKsEnumFilters;
class CKsAudCapFilter;
class CKsAudRenFilter;
class CKsAudPin;

// "ASE_OK", "ASE_NotPresent", ... for an ASIO result code; "?" for others.
const char* AsioResultName(long result);

typedef HANDLE(WINAPI* PfnAvSetMmThreadCharacteristicsA)(LPCSTR, LPDWORD);
typedef BOOL(WINAPI* PfnAvRevertMmThreadCharacteristics)(HANDLE);

class CAsioDriver : public IASIO, public CUnknown {
 public:
  static constexpr int kMaxInputs = 16;
  static constexpr int kMaxOutputs = 2;
  static constexpr long kFillerChannel = 255;
  static constexpr long kMinBufferSize = 96;
  static constexpr long kMaxBufferSize = 576;
  static constexpr long kBufferGranularity = 96;
  static constexpr long kDefaultBufferSize = 288;
  static constexpr double kSampleRate = 48000.0;
  // Exit code of a driver thread that did not end when asked and was ended.
  static constexpr DWORD kStatusPossibleDeadlock = 0xC0000194;

  // The class template's create function.
  static INonDelegatingUnknown* CreateInstance(IUnknown* pOuterUnknown, HRESULT* phr);

  CAsioDriver(IUnknown* pOuterUnknown, HRESULT* phr);
  ~CAsioDriver() override;

  // Delegating IUnknown: forwarded to the owner unknown.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // Answers for the driver's class identifier with IASIO.
  HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) override;

  ASIOBool init(void* sysHandle) override;
  void getDriverName(char* name) override;
  long getDriverVersion() override;
  void getErrorMessage(char* string) override;
  ASIOError start() override;
  ASIOError stop() override;
  ASIOError getChannels(long* numInputChannels, long* numOutputChannels) override;
  ASIOError getLatencies(long* inputLatency, long* outputLatency) override;
  ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                          long* granularity) override;
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError getClockSources(ASIOClockSource* clocks, long* numSources) override;
  ASIOError setClockSource(long reference) override;
  ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
  ASIOError getChannelInfo(ASIOChannelInfo* info) override;
  ASIOError createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                          ASIOCallbacks* callbacks) override;
  ASIOError disposeBuffers() override;
  ASIOError controlPanel() override;
  ASIOError future(long selector, void* opt) override;
  ASIOError outputReady() override;

 protected:
  // The last release from inside a host callback: the streaming thread is
  // still running that callback, so it deletes the object once its loop has
  // ended.
  void OnFinalRelease() override;

 private:
  friend class CAsioDriverTestAccess;
  friend class CStreamLoop;

  // Hardware bring-up.
  bool FindHardware();
  void ReleaseHardware();
  std::vector<CKsAudCapFilter*> CollectCaptureFilters(CKsEnumFilters* enumerator);
  std::vector<CKsAudRenFilter*> CollectRenderFilters(CKsEnumFilters* enumerator);
  CKsAudPin* OpenCapturePin(CKsAudCapFilter* filter, double rate, WORD channels);
  CKsAudPin* OpenRenderPin(CKsAudRenFilter* filter, double rate, WORD channels);
  void ReinstantiatePins();
  void ReadDeviceDelays();
  // Has the device grant the cyclic buffers a run at this size asks for,
  // so that the latencies reported come from the sizes granted.
  void AllocateCyclicBuffers(long bufferSize);
  // What getLatencies reports for a buffer size and mode: the frames from a
  // sample entering the device to the switch that hands it over, and from
  // the switch in which the host writes a sample to the device playing it.
  void ComputeLatencies(long bufferSize, bool lowLatency, long* inputLatency, long* outputLatency) const;
  // The figures for what the host holds: its buffers and their mode, or,
  // without buffers, the preferred size and the mode chosen.
  void ComputeHostLatencies(long* inputLatency, long* outputLatency) const;

  // Settings store.
  void LoadSettings();
  void SaveSettings();

  // Streaming thread and buffer switch.
  bool StartStreamThread();
  void StopStreamThread();
  static unsigned __stdcall StreamThreadProc(void* driver);
  void StreamLoop();
  void DoBufferSwitch();
  // The input slots that DeinterleaveCaptureToHost fills: the loop's slots
  // with a device channel, and the slots it copies from slot 0.
  uint32_t HostFormatInputSlots() const;
  // Whether the caller is the streaming thread (inside a host callback).
  bool OnStreamThread() const;
  // Whether a streaming thread exists and has not ended.
  bool StreamThreadAlive() const;

  // Control panel. OpenControlPanel returns once the panel is up
  // (kPanelShown) or at once (kPanelNoWait, for the streaming thread); the
  // host's thread then waits for a modal panel in WaitForPanelToClose.
  enum PanelWait { kPanelShown, kPanelNoWait };
  int OpenControlPanel(PanelWait wait);
  void WaitForPanelToClose();
  void ClosePanel();
  void ReapPanelThread(DWORD waitMs);
  static unsigned __stdcall ControlPanelThreadProc(void* driver);
  static INT_PTR CALLBACK ControlPanelDlgProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam);
  // The panel's buffer-size list and low-latency check box (panel thread).
  void OnPanelCommand(HWND window, int id, int code, HWND control);
  // Writes the round trip, in ms, of the preferred size in the mode chosen.
  void ShowPanelRoundTrip(HWND window) const;
  // The panel thread, after the user chose a preferred size: a host holding
  // buffers of another size is asked to change them.
  void TellHostOfPreferredSize(long size);
  // The panel thread, after the user chose a mode: a host holding buffers
  // made in the other mode is asked to reset.
  void TellHostOfMode(bool lowLatency);

  // Messages to the host through its asioMessage callback: whether it
  // supports a selector (kAsioSelectorSupported), and a message with the
  // host's answer. Both answer 0 without callbacks.
  bool HostSupports(long selector);
  long MessageHost(long selector, long value, void* message = nullptr, double* opt = nullptr);

  // Diagnostics log: whether this thread may write to it now (the log is on
  // and this is not the streaming thread), one line for a host call, and a
  // run's start and end (DriverDiagnostics.cpp).
  bool Logging() const;
  void LogCall(const char* pszFormat, ...) VOROD_PRINTF_FORMAT(2, 3);
  void LogRunStart();
  void LogRunEnd(const char* pszHowEnded);

  // stop and disposeBuffers without their log lines, for the driver's own use.
  ASIOError StopRun();
  ASIOError DisposeRun();
  // getChannelInfo's answer, without the log line.
  ASIOError DescribeChannel(ASIOChannelInfo* info);

  // createBuffers' steps: pins (new instances for another size or mode) and
  // their cyclic buffers; the slot of one channel the host asked for (false:
  // no such channel, or no slot left; a slot whose memory could not be
  // allocated sets *allocationFailed); filler slots for the device inputs
  // the host did not ask for (false when one could not be allocated); the
  // time info a run starts from.
  void PreparePins(long bufferSize);
  bool AddHostChannel(ASIOBufferInfo& info, long bufferSize, bool* allocationFailed);
  bool AddFillerInputs(size_t samples);
  void ResetTimeInfo();
  // Frees every slot buffer and forgets the callbacks; no stop.
  void FreeBuffers();
  void SetErrorMessage(const char* text);

  bool m_comInit;
  // The thread whose COM initialisation m_comInit balances: only that thread
  // may uninitialise it.
  DWORD m_comThreadId;
  // Sample position and system time (nanoseconds) of the latest buffer
  // switch, as one pair: the position of that switch's half in the run, 0
  // for the run's first switch and one buffer size more for each later one.
  CSwitchStamp m_switchStamp;
  // The position the next switch of the run hands over (streaming thread).
  uint64_t m_nextSwitchPosition;
  double m_sampleRate;
  // Points at m_hostCallbacks while the host holds buffers, else null.
  ASIOCallbacks* m_callbacks;
  // The host's callbacks as createBuffers received them: a host may reuse
  // or clear its own record afterwards.
  ASIOCallbacks m_hostCallbacks;
  ASIOTime m_asioTime;
  // Change flags of the time info raised by host calls, handed to the next
  // switch: one atomic read-modify-write on each side, so none is lost.
  RelaxedAtomic<uint32_t> m_pendingTimeFlags;
  // The latest run ended because the device failed, not because it was
  // stopped; the position stands still until the next start.
  RelaxedAtomic<bool> m_deviceLost;
  HANDLE m_streamThread;
  // Also written by the thread itself, which may call back into the driver
  // before _beginthreadex has returned.
  RelaxedAtomic<unsigned> m_streamThreadId;
  RelaxedAtomic<uint32_t> m_dropOuts;
  RelaxedAtomic<uint32_t> m_latencyFrames;
  RelaxedAtomic<long> m_preferredBufferSize;
  // The user's choice of the low-latency mode (panel and settings), and the
  // mode the host's buffers and the pins' cyclic buffers were made for.
  RelaxedAtomic<bool> m_lowLatency;
  bool m_lowLatencyRun;
  int32_t* m_inputBuffers[kMaxInputs];
  int32_t* m_outputBuffers[kMaxOutputs];
  float* m_outputFloatBuffers[kMaxOutputs];
  long m_inputChannel[kMaxInputs];
  long m_outputChannel[kMaxOutputs];
  long m_bufferSize;
  // The delays the device reports for its capture and render pins, in
  // frames, read on the host's thread whenever the pins are (re)opened.
  long m_captureDelayFrames;
  long m_renderDelayFrames;
  long m_numInputs;
  long m_numOutputs;
  long m_activeInputs;
  long m_activeOutputs;
  // Input slots (bit k for slot k) whose cells the streaming loop writes in
  // the host's format already, so the buffer switch leaves them as they are.
  // Streaming thread only; 0 outside a run.
  uint32_t m_hostFormatInputs;
  RelaxedAtomic<long> m_bufferIndex;
  bool m_initialized;
  RelaxedAtomic<bool> m_running;
  bool m_timeInfoMode;
  char m_errorMessage[128];
  // The panel thread while it runs; the thread resets it as it ends.
  RelaxedAtomic<HANDLE> m_panelThread;
  unsigned m_panelThreadId;
  // The same thread's handle, owned here and closed exactly once, after the
  // thread has ended: never waited on or terminated once closed.
  HANDLE m_panelThreadHandle;
  RelaxedAtomic<HWND> m_panelWindow;
  RelaxedAtomic<bool> m_panelQuit;
  RelaxedAtomic<bool> m_panelStarting;
  RelaxedAtomic<bool> m_modelessPanel;
  bool m_autoOpenPanel;
  RelaxedAtomic<bool> m_panelRequested;
  bool m_showMetrics;
  // LoadSettings has run in this object: only then may the destructor save.
  bool m_settingsLoaded;
  // The stored preferred size is one the driver does not offer: the default
  // stands in for it, and it is not written back unless the user picks a size.
  bool m_storedSizeNotOffered;
  DWORD m_panelRequestTime;
  CKsEnumFilters* m_captureEnum;
  CKsEnumFilters* m_renderEnum;
  CKsAudPin* m_capturePin;
  CKsAudPin* m_renderPin;
  std::vector<CKsAudCapFilter*> m_captureFilters;
  std::vector<CKsAudRenFilter*> m_renderFilters;
  // How long stop waits for the streaming thread before it terminates it
  // (tests of a callback that never returns shorten it).
  DWORD m_streamStopWaitMs;
  // The performance counter in microseconds for the capture side, where the
  // device has no clock register; null: the machine's (tests on a stepped
  // clock give one that runs with the device's frames).
  uint64_t (*m_deviceClock)(void* context);
  void* m_deviceClockContext;
  RelaxedAtomic<bool> m_streamStop;
  // Signalled with m_streamStop from the host's thread: it ends the
  // streaming thread's waits at once instead of after their time-out.
  HANDLE m_streamStopEvent;
  // The object was released from inside a callback: the streaming thread
  // deletes it when the loop has ended.
  RelaxedAtomic<bool> m_deleteAfterRun;
  // Claimed around every change of the panel thread's handle and id, so that
  // the streaming thread (which must not wait) and a host thread never start
  // or reap a panel thread at the same time. Acquire/release ordering: it
  // publishes the handle and id.
  std::atomic<bool> m_panelLaunch;
  CHostLock m_hostLock;
  RelaxedAtomic<uint32_t> m_streamSwitchCount;
  // The streaming thread's KS trace of the current run, and what the log
  // says about the run.
  CRunTrace m_runTrace;
  uint32_t m_runNumber;
  DWORD m_runStartTime;
  bool m_runLogged;
  HMODULE m_avrt;
  PfnAvSetMmThreadCharacteristicsA m_avSetMmThreadCharacteristics;
  PfnAvRevertMmThreadCharacteristics m_avRevertMmThreadCharacteristics;
};

#endif  // VOROD_DRIVER_ASIODRIVER_H
