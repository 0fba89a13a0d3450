// CStreamLoop: one run of the streaming loop, on the streaming thread, from
// the pins' start to the stop. See StreamLoop.cpp for the rules it keeps.
#ifndef VOROD_STREAMING_STREAMLOOP_H
#define VOROD_STREAMING_STREAMLOOP_H

#include <cstddef>
#include <cstdint>

#include "driver/AsioDriver.h"
#include "streaming/StreamPlan.h"

class CInputCapture;
class COutputRender;

class CStreamLoop {
 public:
  explicit CStreamLoop(CAsioDriver& driver);
  ~CStreamLoop();
  CStreamLoop(const CStreamLoop&) = delete;
  CStreamLoop& operator=(const CStreamLoop&) = delete;

  // Streams until the run is stopped; false when the device failed under it
  // (with both streams there; without them it only waits for the stop).
  bool Run();

 private:
  bool Ready() const;
  void StartStreams();
  bool RunPacedByCapture();
  bool RunPacedByRender();
  void FinishPass();

  // Capture: one packet into the host's ring, frames lost before it as
  // silence (or as a jump of the host's position, beyond what the ring
  // holds), and whole frames only.
  bool TakeCapture();
  void PlaceCapture(const int32_t* frames, uint32_t count);
  void PlaceLost(uint32_t frames);
  void PlaceSilence(uint32_t frames);
  // Hands the current half to the host.
  void SwitchHalf();
  uint32_t HalfStart() const;

  // Render: host output interleaved from the ring (from the current half, or
  // from `half`), silence where there is none (or during the run's first
  // switches).
  void BuildRender(int32_t* dest, uint32_t count, bool silent, long half = -1);
  void FillRenderPacket();
  // Paced by capture: each full half's switch sends the output the ring's
  // current half holds, written ahead or queued (in low latency, the output
  // the switch has just been given).
  void SendHalves();
  void WriteHalfAhead(uint64_t hostFrame, long half);
  void QueueHalf(uint64_t hostFrame, long half);
  // Written ahead: ties the render buffer to the capture side's timeline.
  void AnchorRender(bool setUp);
  // Queued: the render queue against the capture side's count.
  struct QueueLook {
    int64_t captured;  // the capture side's count of device frames
    int64_t tail;      // where the next frame queued is played
  };
  // Before a half is queued: whether the device ran dry, or will play the
  // queue later than `target`; either marks the queue for alignment.
  void CheckQueue(int64_t target);
  bool LookAtQueue(QueueLook* look);
  QueueLook Look(uint64_t captured, uint64_t taken, uint64_t submitted) const;
  // Queued: at the start, silence for what the render pin played before the
  // capture pin started; after a loss, the queue made as long again as the
  // round trip needs (silence), or output the device had no time for
  // skipped. The frames of output to leave out of the half sent now, and in
  // *topUp (left as it is otherwise) the silence to queue after it.
  void AlignPacketRender();
  uint32_t AlignQueue(const QueueLook& look, int64_t target, uint32_t* topUp);

  CAsioDriver& m_driver;
  uint32_t m_bufferSize;
  uint32_t m_inputs;
  uint32_t m_outputs;
  uint32_t m_ringFrames;
  long m_inputSlots;
  long m_outputSlots;
  CInputCapture* m_capture;
  COutputRender* m_render;
  StreamPlan m_plan;
  uint32_t m_captureFrames;  // in a capture packet or half
  uint32_t m_renderSamples;
  size_t m_packetSamples;
  int32_t* m_renderPacket;
  bool m_captureSplitsFrames;

  // Frames from the start of the current half (see StreamLoop.cpp).
  uint32_t m_capturePos;
  uint32_t m_renderPos;
  // A frame split between two packets: its head (capture) or its tail
  // (render), waiting for the next packet.
  int32_t m_captureCarry[CAsioDriver::kMaxInputs];
  uint32_t m_captureCarried;
  int32_t m_renderFrame[CAsioDriver::kMaxOutputs];
  uint32_t m_renderTailFrom;
  // Frames the host's position skips, after the switch that hands over
  // the half m_jumpAfter switches from now (0: none pending).
  uint64_t m_jump;
  uint32_t m_jumpAfter;
  // The host position of the output each half of the ring holds.
  uint64_t m_outputAt[2];
  bool m_realign;  // queued: align the queue at the next half sent
  uint64_t m_queuedUpTo;  // queued: the host frame after the last half queued
  uint32_t m_lateWrites;  // low latency: halves written too late, running
  uint32_t m_sameLossPasses;  // passes in which a loss is the one counted last

  bool m_fadePending;
  float m_fadeStep;
  float m_gain;
  bool m_lost;  // this pass lost audio
};

#endif  // VOROD_STREAMING_STREAMLOOP_H
