#include "driver/SampleBuffer.h"

#include <malloc.h>

#include <limits>

void* AllocateSampleBuffer(size_t samples) {
  if (samples == 0 || samples > std::numeric_limits<size_t>::max() / 4) return nullptr;
  return _aligned_malloc(samples * 4, 64);
}

void FreeSampleBuffer(void* buffer) {
  if (buffer != nullptr) _aligned_free(buffer);
}
