// Device packets and staged floats: the de-interleave, interleave and fade
// sweeps of the streaming loop. Real-time path: no allocation, no locks, no
// system calls; every index stays inside the ranges the caller passes.
//
// Both directions invert polarity: device sample d stages as d x -2^-31, and
// staged float x leaves as x x -2^31.
#ifndef VOROD_STREAMING_PACKETCONVERSION_H
#define VOROD_STREAMING_PACKETCONVERSION_H

#include <cstddef>
#include <cstdint>

constexpr float kCaptureScale = -4.656612873077392578125e-10f;  // -2^-31
constexpr float kRenderScale = -2147483648.0f;                  // -2^31

// Truncates toward zero; what lies beyond the 32-bit range saturates (a
// host sample of -2^31 stages -1.0, whose product is +2^31), NaN gives 0.
inline int32_t SaturateToInt32(float value) {
  if (value >= 2147483648.0f) return INT32_MAX;
  if (value <= -2147483648.0f) return INT32_MIN;
  return value == value ? static_cast<int32_t>(value) : 0;
}

// Writes `frames` frames of an interleaved capture packet (`channels` per
// frame) into each slot whose device channel is below `channels`, as staged
// floats from cell `destFrame` on. Other slots (fillers) are not touched.
void DeinterleaveCapture(const int32_t* packet, uint32_t frames, uint32_t channels,
                         int32_t* const* slotBuffers, const long* slotChannels, long slots,
                         size_t destFrame);

// The same sweep, writing each sample as the host gets it: what
// FloatToInt32InPlace makes of the staged float, bit for bit. One pass over
// the packet instead of two over the slots.
void DeinterleaveCaptureToHost(const int32_t* packet, uint32_t frames, uint32_t channels,
                               int32_t* const* slotBuffers, const long* slotChannels, long slots,
                               size_t destFrame);

// Whether the capture sweeps take AVX2 where the processor has it (the
// default) or SSE2 only; returns whether AVX2 is now used. For tests and
// the benchmark, which compare the two.
bool UseAvx2CaptureSweep(bool use);

// Builds `frames` interleaved render frames: zeros, then each slot's staged
// floats from `srcFrame` on into its device channel, if below `channels`
// (the last slot of a channel wins).
void InterleaveRender(float* const* slotBuffers, const long* slotChannels, long slots,
                      size_t srcFrame, uint32_t frames, uint32_t channels, int32_t* packet);

// Scales frame after frame by a gain that rises by `step` per frame.
inline void FadeIn(int32_t* packet, uint32_t frames, uint32_t channels, float* gain, float step) {
  for (uint32_t f = 0; f < frames; ++f) {
    int32_t* frame = packet + static_cast<size_t>(f) * channels;
    for (uint32_t c = 0; c < channels; ++c)
      frame[c] = SaturateToInt32(static_cast<float>(frame[c]) * *gain);
    *gain += step;
  }
}

#endif  // VOROD_STREAMING_PACKETCONVERSION_H
