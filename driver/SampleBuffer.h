// Sample buffers of the driver: 64-byte aligned so that the conversion loops
// can use whole vector loads, and allocated without throwing.
#ifndef VOROD_DRIVER_SAMPLEBUFFER_H
#define VOROD_DRIVER_SAMPLEBUFFER_H

#include <cstddef>
#include <cstdint>

// Null when the count is 0, overflows or cannot be allocated.
void* AllocateSampleBuffer(size_t samples);
void FreeSampleBuffer(void* buffer);

template <typename T>
T* AllocateSamples(size_t samples) {
  static_assert(sizeof(T) == 4, "samples are 4-byte cells");
  return static_cast<T*>(AllocateSampleBuffer(samples));
}

#endif  // VOROD_DRIVER_SAMPLEBUFFER_H
