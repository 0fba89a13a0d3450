#include "streaming/StreamPlan.h"

// Output of switch n (host frames from n x B) goes out, written ahead, from
// capture frame (n + 2) x B, two halves after the switch that hands over the
// half ending at (n + 1) x B: 4 buffers in all. Through render packets it
// waits behind the capture packet that ends its pass, the queue ahead of it
// and two halves of the host's.
StreamPlan PlanStream(uint32_t bufferSize, uint32_t inputs, uint32_t outputs, bool captureLooped,
                      uint32_t captureHalfSamples, bool renderLooped, uint32_t renderHalfSamples,
                      uint32_t packetsPerStream) {
  StreamPlan plan = {bufferSize, false, 0};
  if (captureLooped && inputs != 0 && captureHalfSamples / inputs != 0)
    plan.framesPerPacket = captureHalfSamples / inputs;
  uint32_t renderPacket = plan.framesPerPacket * outputs;
  if (renderLooped && renderHalfSamples != 0) renderPacket = renderHalfSamples;
  if (outputs != 0 && renderPacket / outputs != 0) plan.framesPerPacket = renderPacket / outputs;
  const uint32_t queuedAhead = renderLooped ? renderPacket : (packetsPerStream - 1) * renderPacket;
  plan.writeAhead = renderLooped && outputs != 0 && renderPacket / outputs >= bufferSize;
  plan.roundTrip = plan.writeAhead ? 4 * bufferSize
                                   : 2 * bufferSize + plan.framesPerPacket + (outputs != 0 ? queuedAhead / outputs : 0);
  return plan;
}
