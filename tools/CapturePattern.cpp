#include "tools/CapturePattern.h"

namespace {
constexpr uint32_t kFrameModulo = 1u << 20;
}

int32_t DeviceSampleFromHost(int32_t host) {
  // Negate in 64 bits (-2^31 has no 32-bit negation), then round to the
  // nearest multiple of 256: the conversion moves a sample by one step.
  const int64_t device = -static_cast<int64_t>(host);
  int64_t rounded = (device + 128) & ~static_cast<int64_t>(255);
  if (rounded > INT32_MAX) rounded -= 256;
  return static_cast<int32_t>(rounded);
}

bool DecodePatternSample(int32_t device, uint32_t* frame, long* channel) {
  const uint32_t bits = static_cast<uint32_t>(device);
  if ((bits & 0xFFu) != 0) return false;
  *frame = ((bits >> 8) & 0x7FFFFu) | ((bits >> 31) << 19);
  *channel = static_cast<long>((bits >> 27) & 15u);
  return true;
}

PatternCheck CheckCapturePattern(const int32_t* host, int64_t frames, long channel) {
  PatternCheck check;
  if (frames <= 0) return check;
  uint32_t frame = 0;
  long decodedChannel = -1;
  if (!DecodePatternSample(DeviceSampleFromHost(host[0]), &frame, &decodedChannel) ||
      decodedChannel != (channel & 15))
    return check;
  // Silence on input 0 decodes as frame 0 of channel 0: the pattern counts as
  // present only when the second frame follows the first.
  uint32_t second = 0;
  long secondChannel = -1;
  if (frames > 1 &&
      (!DecodePatternSample(DeviceSampleFromHost(host[1]), &second, &secondChannel) ||
       secondChannel != decodedChannel || second != (frame + 1) % kFrameModulo))
    return check;
  check.outcome = PatternCheck::kIntact;
  for (int64_t i = 1; i < frames; ++i) {
    const uint32_t expected = (frame + 1) % kFrameModulo;
    uint32_t found = 0;
    long foundChannel = -1;
    if (!DecodePatternSample(DeviceSampleFromHost(host[i]), &found, &foundChannel) ||
        foundChannel != decodedChannel || found != expected) {
      check.outcome = PatternCheck::kBroken;
      check.brokenAt = i;
      check.expected = expected;
      check.found = found;
      return check;
    }
    frame = found;
  }
  return check;
}
