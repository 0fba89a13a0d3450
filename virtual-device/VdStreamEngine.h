// The streaming side of the virtual Vor OD: the 48 kHz device clock and what
// running pin instances do as device time passes. See VirtualDevice.h for the
// behaviour that tests rely on; this header is private to virtual-device/.
#ifndef VOROD_VIRTUAL_DEVICE_VDSTREAMENGINE_H
#define VOROD_VIRTUAL_DEVICE_VDSTREAMENGINE_H

#include "virtual-device/VirtualDevice.h"

#include <deque>
#include <map>
#include <memory>
#include <vector>

// One pin instance as the device keeps it.
struct VdPinInstance {
  HANDLE hPin;
  int iFilter;
  int iPin;
  ULONG ulInterfaceId;
  KSSTATE state;
  std::vector<BYTE> format;
  std::deque<VdPendingIo> pending;
  bool bInReset;
  BYTE* pBuffer;
  ULONG cbBuffer;
  ULONG ulNotificationCount;
  std::vector<BYTE*> retiredBuffers;  // kept until the handle closes
  std::vector<HANDLE> events;
  KSAUDIO_POSITION position;
  volatile ULONG ulPositionRegister;

  // Streaming, fixed when the instance enters KSSTATE_RUN.
  bool bRender;             // data flows into the device
  WORD nChannels;
  ULONG cbFrame;            // one frame: nChannels x 4 bytes
  ULONG ulRingSamples;      // looped: the cyclic buffer in whole samples, even
  ULONG ulRingPos;          // looped: the next sample to write or play
  bool bAwaitingConsumption;  // looped: a notification is signalled and not yet waited for
  // Looped: a half was crossed in the frames being moved; the notification
  // goes out once every running instance has moved them (Publish).
  bool bNotifyPending;
  int iNotifyHalf;               // the half it left
  ULONGLONG ullNotifyFrame;      // the device frame that crossed it
  // Looped: a half that ends inside a frame. The samples of the current frame
  // already moved, and (render) those already played.
  WORD nFrameDone;
  int32_t frameHead[64];
  bool bHostGone;           // the device gave up waiting for this instance's host
  int iRecording;           // render: index into the recordings, -1 none
  // Frames moved since the instance last left KSSTATE_STOP (underruns and
  // overruns not counted): its stream position.
  ULONGLONG ullStreamFrames;
  // Standard render: a write that came to a queue run dry waits for this
  // device frame.
  ULONGLONG ullHoldWritesUntil;
  bool bGone;               // opened before an unplug: dead for good
  bool bLostFrames;         // standard capture: frames lost since the last one read
  // Looped: per half, whether its notification is still unconsumed (every
  // registered event has stayed signalled since the device announced it).
  bool abUnconsumed[2];
  // Looped: samples moved since the instance left KSSTATE_STOP, stalls'
  // jumps included, and as many as the position register shows (it lags,
  // steps and never goes back).
  ULONGLONG ullMovedSamples = 0;
  ULONGLONG ullShownSamples = 0;
  // The registers were mapped: a second mapping fails.
  bool bPositionMapped = false;
  bool bClockMapped = false;
};

typedef std::map<HANDLE, std::unique_ptr<VdPinInstance>> VdPinMap;

class CVdStreamEngine {
 public:
  // The machine, the device's lock and its pin instances outlive the engine.
  CVdStreamEngine(VdMachine* pMachine, CRITICAL_SECTION* pcs, VdPinMap* pPins);
  ~CVdStreamEngine();
  CVdStreamEngine(const CVdStreamEngine&) = delete;
  CVdStreamEngine& operator=(const CVdStreamEngine&) = delete;

  // Called without the lock.
  void SetMode(VdClockMode mode);
  VdClockMode Mode() const { return m_mode; }
  bool Step(ULONG ulFrames);
  // Ends the real-time thread once no pin instance is left (after a close).
  void JoinIfIdle();

  // Called with the lock held.
  void OnStateChange(VdPinInstance* pInstance, KSSTATE newState);
  // Wakes a device waiting for its host (a system call: not made otherwise).
  void OnRequestQueued() {
    if (m_bAwaitingRequest) SetEvent(m_hActivity);
  }
  void Unplug();
  void Replug() { m_bUnplugged = false; }
  bool Unplugged() const { return m_bUnplugged; }
  ULONGLONG Frame() const { return m_ullFrame; }
  VdStreamStats Stats() const { return m_stats; }
  std::vector<VdLateSignal> LateSignals() const;
  const std::vector<VdRecording>& Recordings() const { return m_recordings; }

  // Completes one queued stream request: fills in the status block, a read's
  // DataUsed, and signals the caller's event (low bit masked).
  static void CompleteRequest(const VdPendingIo& io, LONG lStatus, ULONG cbTransferred);
  // Signals every late notification and completion of an instance now (it
  // stops, resets or closes), or of all instances (null).
  void DeliverScheduled(HANDLE hPin);
  // The device clock as a register: its frames (lock not needed to read).
  const volatile ULONGLONG* ClockRegister() const { return &m_ullClockRegister; }
  // The stepped clock's frames on a performance counter the device clock
  // runs lClockPpm off, in microseconds.
  uint64_t PerformanceCounterMicroseconds() const;

  static const ULONG kNoBoundary = 0xFFFFFFFFu;
  static const size_t kLateSignalRing = 32768;

 private:
  // One call of AdvanceTo: what it waited and has yet to publish.
  struct Advance {
    DWORD* pdwWaitedMs = nullptr;  // the clock thread's: device time stands still
    bool bCatchUp = false;         // publish once, at the end
    bool bUnpublished = false;
    bool bWaiting = false;         // waiting for a host since dwWaitStart
    DWORD dwWaitStart = 0;
    bool bOk = true;
  };
  // Advances device time to ullTarget, waiting for hosts as the mode says.
  // Called without the lock; false when stopped or a wait gave up.
  bool AdvanceTo(ULONGLONG ullTarget, DWORD* pdwWaitedMs);
  // The steps of AdvanceTo, with the lock held. Those that return true have
  // left it (the caller goes round again).
  void PublishFor(const std::vector<VdPinInstance*>& running, Advance& advance);
  void StallFor(const std::vector<VdPinInstance*>& running, ULONGLONG ullChunk, ULONGLONG ullStallEnd,
                Advance& advance);
  void EndHostWait(Advance& advance);
  bool WaitingForHost(const std::vector<VdPinInstance*>& running, ULONG ulChunk, Advance& advance);
  bool SplitBoundaryFrames(const std::vector<VdPinInstance*>& running, Advance& advance);
  std::vector<VdPinInstance*> RunningInstances();
  ULONG FramesToBoundary(const VdPinInstance& instance) const;
  bool NeedsHost(VdPinInstance& instance, ULONG ulChunk);
  void Process(VdPinInstance& instance, ULONG ulFrames);
  void ProcessStandard(VdPinInstance& instance, ULONGLONG ullFrame);
  void ProcessLooped(VdPinInstance& instance, ULONGLONG ullFrame);
  // Moves the current frame's samples up to nUpTo and announces a half
  // crossed on the way.
  void MoveLoopedSamples(VdPinInstance& instance, ULONGLONG ullFrame, WORD nUpTo);
  // After every running instance has moved the same frames: their position
  // registers take the new positions together, as a device's clock moves
  // them, and the halves crossed are announced.
  void Publish(const std::vector<VdPinInstance*>& running);
  // Looped: samples left before the next half boundary.
  static ULONG SamplesToBoundary(const VdPinInstance& instance);
  int32_t CaptureSample(const VdPinInstance& instance, ULONGLONG ullFrame, WORD nChannel) const;
  ULONG DelayFrames(const VdPinInstance& instance) const;
  // Stops an instance that an unplug left behind, or the whole device.
  bool Silent(const VdPinInstance& instance) const { return m_bUnplugged || instance.bGone; }
  void Played(VdPinInstance& instance, ULONGLONG ullFrame, const int32_t* pFrame);
  DWORD HostWaitMs() const;
  // Looped: counts a frame moved into a half whose notification the host
  // has not consumed yet; refreshes what the host has consumed.
  void NoteMoveIntoHalf(VdPinInstance& instance);
  static void RefreshConsumption(VdPinInstance& instance);
  // A notification or completion that belongs to the end of device frame
  // ullFrame, just signalled: how late it came (real-time clocks only).
  void NoteSignal(ULONGLONG ullFrame, const VdPinInstance& instance);
  // Ticks late, in microseconds (0 when early).
  ULONG LateUs(LONGLONG llLate) const;
  // A strict clock thread that showed the device later than it planned
  // (the machine held it): its cells moved on ahead of its registers
  // meanwhile, as late as a signal that late (real-time clocks only).
  void NoteLateShow(LONGLONG llPlanned);
  // Signals a half left (looped), now or as late as the jitter says.
  void Announce(VdPinInstance& instance, int iHalfLeft, ULONGLONG ullFrame);
  void AnnounceNow(VdPinInstance& instance, int iHalfLeft, ULONGLONG ullFrame);
  // Completes a stream request whose last frame was ullFrame, now or late.
  void Complete(VdPinInstance& instance, const VdPendingIo& io, ULONG cbTransferred,
                ULONGLONG ullFrame);

  // Rough edges (VdRoughEdges.cpp).
  ULONG Random(ULONG ulBound);  // 0 to ulBound - 1, repeatably
  ULONG JitterFrames();
  // What the position register shows now, lag and steps applied; and what
  // it shows once time has passed (a device waiting for its host).
  void ShowPosition(VdPinInstance& instance);
  void CatchUp(VdPinInstance& instance);
  static bool IsLooped(const VdPinInstance& instance) {
    return instance.ulInterfaceId == KSINTERFACE_STANDARD_LOOPED_STREAMING;
  }
  // Whether device frame ullFrame is inside a stall, when that stall ends
  // and when the next one starts.
  bool InStall(ULONGLONG ullFrame, ULONGLONG* pullEnd, ULONGLONG* pullNextStart) const;
  // A frame, or the start of the stall it is in.
  ULONGLONG StallClamped(ULONGLONG ullFrame) const;
  // A stall begins: a capture read half filled ends there.
  void BeginStall(const std::vector<VdPinInstance*>& running);
  // The stall of ullFrames frames that ends now: the pins go on where the
  // clock reached.
  void EndStall(const std::vector<VdPinInstance*>& running, ULONGLONG ullFrames);
  // Signals whatever is due by now; the earliest left is due when (~0: none).
  void DeliverDue();
  ULONGLONG NextScheduledFrame() const;
  // Whether a notification of the instance is held back by the jitter.
  bool HeldBack(const VdPinInstance& instance) const;
  // Frames per performance counter tick with the clock's drift.
  double FramesPerTick() const;

  // The real-time clock: when device frame ullFrame is due, in performance
  // counter ticks, and which frames are due at a tick.
  LONGLONG DueTicks(ULONGLONG ullFrame) const;
  ULONGLONG FramesDueAt(LONGLONG llTicks) const;
  // The tick at which the next notification or completion is due, or -1.
  LONGLONG NextSignalTicks();
  // Sleeps until shortly before llWake, then waits out the rest by spinning.
  void SleepUntil(LONGLONG llWake, bool bSpin);
  // The performance counter (VdRealTimeClock.cpp has the clock's side).
  static LONGLONG Ticks();
  static unsigned __stdcall ClockThread(void* pvEngine);
  void RunRealTime();
  void StartThread();
  void StopThread();

  VdMachine* m_pMachine;
  CRITICAL_SECTION* m_pcs;
  VdPinMap* m_pPins;
  VdClockMode m_mode;
  bool m_bSkewing;  // a start's skew passes: no host is waited for
  ULONGLONG m_ullFrame;
  VdStreamStats m_stats;
  bool m_bUnplugged;
  HANDLE m_hActivity;  // auto-reset: a stream request was queued
  bool m_bAwaitingRequest = false;  // the device waits for its host (under the lock)
  HANDLE m_hThread;
  volatile LONG m_lStopThread;

  struct LoopFrame {
    ULONGLONG ullFrame;
    int32_t samples[8];
  };
  std::vector<LoopFrame> m_loopRing;  // played frames by device frame, for the loopback
  std::vector<VdRecording> m_recordings;

  // Real-time clock (clock thread only): device frame m_ullClockFrame is due
  // at tick m_llClockTicks; device time stands still while a lossless device
  // waits (m_llPausedTicks). Signals are timed against it while m_bTimed.
  bool m_bTimed;
  LONGLONG m_llTicksPerSecond;
  LONGLONG m_llClockTicks;
  ULONGLONG m_ullClockFrame;
  LONGLONG m_llPausedTicks;
  LONGLONG m_llOvershootTicks; // how late sleeps end, on average
  std::vector<VdLateSignal> m_lateSignals;  // a ring of the latest late signals
  size_t m_cLateSignals;

  // Rough edges: the generator, the registers' lag (drawn per millisecond),
  // the signals held back by the jitter, and the clock register.
  struct Scheduled {
    ULONGLONG ullDue;      // signalled once device time reaches it
    HANDLE hPin;
    bool bCompletion;
    VdPendingIo io;        // a completion's request and byte count
    ULONG cbTransferred;
    int iHalfLeft;         // a notification's half
    ULONGLONG ullFrame;    // the frame whose end it belongs to
  };
  ULONG m_ulRandom;
  ULONG m_ulLagFrames;
  ULONGLONG m_ullLagMillisecond;
  std::vector<Scheduled> m_scheduled;
  volatile ULONGLONG m_ullClockRegister;
};

#endif  // VOROD_VIRTUAL_DEVICE_VDSTREAMENGINE_H
