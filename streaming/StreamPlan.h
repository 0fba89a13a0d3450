// How a run streams at a buffer size, from the sizes the device granted its
// pins: the frames a pass handles, whether output is written ahead in a
// cyclic render buffer, and the round trip that follows. The streaming loop
// runs by it and getLatencies reports it, so the two never differ.
#ifndef VOROD_STREAMING_STREAMPLAN_H
#define VOROD_STREAMING_STREAMPLAN_H

#include <cstdint>

// The requests a packet stream keeps queued.
const uint32_t kPacketsPerStream = 4;

struct StreamPlan {
  uint32_t framesPerPacket;  // frames of a capture half or packet, and of a render packet
  bool writeAhead;           // output goes into the render buffer a half ahead of the device
  // Host output frame h is played from capture frame h + roundTrip (the
  // device's own delays apart).
  uint32_t roundTrip;
};

// captureHalfSamples, renderHalfSamples: half the cyclic buffer a looped pin
// was granted (0: as asked); packetsPerStream: the queue of a packet stream.
StreamPlan PlanStream(uint32_t bufferSize, uint32_t inputs, uint32_t outputs, bool captureLooped,
                      uint32_t captureHalfSamples, bool renderLooped, uint32_t renderHalfSamples,
                      uint32_t packetsPerStream);

#endif  // VOROD_STREAMING_STREAMPLAN_H
