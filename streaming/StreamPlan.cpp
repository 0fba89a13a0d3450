#include "streaming/StreamPlan.h"

// Output of switch n (host frames from n x B) goes out from capture frame
// (n + 2) x B written ahead, two halves after the switch that hands over the
// half ending at (n + 1) x B: 4 buffers in all. Queued in packets it waits
// behind the queue as well: the packets queued ahead of the device at a
// switch, all but the one it plays (6 buffers). Paced by the render side, a
// pass ends with a render half, which waits behind the one the device plays.
//
// Low latency: the output goes to the device when the host's callback
// returns, within the period after the switch, and is played from capture
// frame (n + 2) x B + S written ahead: the host's period, then the safety
// offset. Queued, a packet more: (n + 3) x B + S, the least a queue of
// packets keeps playing without gaps with a busy host.
StreamPlan PlanStream(uint32_t bufferSize, uint32_t inputs, uint32_t outputs, bool captureLooped,
                      uint32_t captureHalfSamples, bool renderLooped, uint32_t renderHalfSamples,
                      bool lowLatency) {
  StreamPlan plan = {StreamPlan::Render::Queued, bufferSize, 0, false};
  const uint32_t lowRoundTrip = 2 * bufferSize + kLowLatencySafetyFrames;
  if (!renderLooped) {
    plan.lowLatency = lowLatency;
    plan.roundTrip = lowLatency ? lowRoundTrip + bufferSize : 2 * bufferSize + kPacketsPerStream * bufferSize;
    return plan;
  }
  uint32_t captureFrames = bufferSize;
  if (captureLooped && inputs != 0 && captureHalfSamples / inputs != 0) captureFrames = captureHalfSamples / inputs;
  const uint32_t renderFrames = outputs != 0 && renderHalfSamples / outputs != 0
                                    ? renderHalfSamples / outputs
                                    : RenderRingFrames(captureFrames) / 2;
  if (renderFrames >= bufferSize) {
    // Written a period ahead, the device's unplayed output spans up to two
    // buffers and the offset; a ring of eight tells a late host (the device
    // past the output) from a device that is elsewhere.
    plan.render = StreamPlan::Render::WrittenAhead;
    plan.lowLatency = lowLatency && renderFrames >= 4 * bufferSize;
    plan.roundTrip = plan.lowLatency ? lowRoundTrip : 4 * bufferSize;
    return plan;
  }
  plan.render = StreamPlan::Render::PacedByRender;
  plan.framesPerPacket = renderFrames;
  plan.roundTrip = 2 * bufferSize + 2 * renderFrames;
  return plan;
}

uint32_t RenderRingFrames(uint32_t captureHalfFrames) {
  return 8 * captureHalfFrames;
}
