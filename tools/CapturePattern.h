// The capture pattern of the Vor OD virtual device, as a host receives it.
//
// The device puts on every input a 24-bit sample from which its device frame
// (modulo 2^20) and channel can be read: channel in bits 27-30, frame bits
// 0-18 in bits 8-26, frame bit 19 in bit 31, the low 8 bits zero. The driver
// inverts the polarity and goes through its float stage, so a host sees the
// negated sample, off by at most one step. A run whose capture keeps the
// pattern frame after frame lost, repeated or corrupted nothing.
#ifndef VOROD_TOOLS_CAPTUREPATTERN_H
#define VOROD_TOOLS_CAPTUREPATTERN_H

#include <cstdint>

struct PatternCheck {
  enum Outcome {
    kAbsent,  // the first sample is not the pattern of this channel (a loopback, another device)
    kIntact,  // every frame follows the one before it
    kBroken   // the pattern starts, then a frame does not follow
  };
  Outcome outcome = kAbsent;
  int64_t brokenAt = -1;     // index of the first frame that does not follow
  uint32_t expected = 0;     // the device frame expected there, and the one found
  uint32_t found = 0;
};

// The device sample behind a host sample (undoing polarity and conversion).
int32_t DeviceSampleFromHost(int32_t host);
// False when the sample is not a pattern sample.
bool DecodePatternSample(int32_t device, uint32_t* frame, long* channel);

PatternCheck CheckCapturePattern(const int32_t* host, int64_t frames, long channel);

#endif  // VOROD_TOOLS_CAPTUREPATTERN_H
