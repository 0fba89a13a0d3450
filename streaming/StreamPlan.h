// How a run streams at a buffer size, from the sizes the device granted its
// pins: how the render side goes, and the round trip that follows. The
// streaming loop runs by it and getLatencies reports it, so the two never
// differ.
#ifndef VOROD_STREAMING_STREAMPLAN_H
#define VOROD_STREAMING_STREAMPLAN_H

#include <cstdint>

// The requests a packet stream keeps queued.
const uint32_t kPacketsPerStream = 4;
// Low latency: frames between the end of the period in which the host
// writes a half and the device playing it, for the host's wake and the
// device's position slack.
const uint32_t kLowLatencySafetyFrames = 48;

struct StreamPlan {
  // How the host's output reaches the device: written ahead in a cyclic
  // render buffer, queued in render packets (both as the capture side's
  // halves come), or, in a cyclic buffer too small for that, a half each
  // time the device has played one.
  enum class Render { WrittenAhead, Queued, PacedByRender };
  Render render;
  uint32_t framesPerPacket;  // paced by render: the frames of a pass
  // Host output frame h is played from capture frame h + roundTrip (the
  // device's own delays apart).
  uint32_t roundTrip;
  // The host's output goes to the device as soon as its callback returns
  // (else two switches later, when its half of the ring comes round).
  bool lowLatency;
};

// captureHalfSamples, renderHalfSamples: half the cyclic buffer a looped pin
// was granted (0: as asked). lowLatency: the user's choice, which a cyclic
// render buffer too small for it leaves off.
StreamPlan PlanStream(uint32_t bufferSize, uint32_t inputs, uint32_t outputs, bool captureLooped,
                      uint32_t captureHalfSamples, bool renderLooped, uint32_t renderHalfSamples,
                      bool lowLatency);

// The render buffer a looped render pin is asked for, in frames: eight
// capture halves. Output is written a period ahead, with the cells behind it
// silenced as the device passes; a ring that long tells output written late
// from output written ahead, which two halves could not.
uint32_t RenderRingFrames(uint32_t captureHalfFrames);

#endif  // VOROD_STREAMING_STREAMPLAN_H
