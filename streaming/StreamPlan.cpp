#include "streaming/StreamPlan.h"

// Output of switch n (host frames from n x B) goes out from capture frame
// (n + 2) x B written ahead, two halves after the switch that hands over the
// half ending at (n + 1) x B: 4 buffers in all. Queued in packets it waits
// behind the queue as well: the packets queued ahead of the device at a
// switch, all but the one it plays (6 buffers). Paced by the render side, a
// pass ends with a render half, which waits behind the one the device plays.
StreamPlan PlanStream(uint32_t bufferSize, uint32_t inputs, uint32_t outputs, bool captureLooped,
                      uint32_t captureHalfSamples, bool renderLooped, uint32_t renderHalfSamples) {
  StreamPlan plan = {StreamPlan::Render::Queued, bufferSize, 0};
  if (!renderLooped) {
    plan.roundTrip = 2 * bufferSize + kPacketsPerStream * bufferSize;
    return plan;
  }
  uint32_t captureFrames = bufferSize;
  if (captureLooped && inputs != 0 && captureHalfSamples / inputs != 0) captureFrames = captureHalfSamples / inputs;
  const uint32_t renderFrames =
      outputs != 0 && renderHalfSamples / outputs != 0 ? renderHalfSamples / outputs : captureFrames;
  if (renderFrames >= bufferSize) {
    plan.render = StreamPlan::Render::WrittenAhead;
    plan.roundTrip = 4 * bufferSize;
    return plan;
  }
  plan.render = StreamPlan::Render::PacedByRender;
  plan.framesPerPacket = renderFrames;
  plan.roundTrip = 2 * bufferSize + 2 * renderFrames;
  return plan;
}
