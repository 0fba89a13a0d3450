// Real-time path: no allocation, no locks, no system calls. SSE2 sweeps,
// four cells at a time, with a plain loop for the last few; both give the
// same bits (see SampleVectors.h).
#include "streaming/SampleConversion.h"

#include <cstring>

#include "streaming/SampleVectors.h"

void FloatToInt32InPlace(void* cells, long count) {
  unsigned char* bytes = static_cast<unsigned char*>(cells);
  long i = 0;
#if VOROD_SSE2
  for (; i + 4 <= count; i += 4) {
    __m128i* cell = reinterpret_cast<__m128i*>(bytes + 4 * i);
    _mm_storeu_si128(cell, FloatToInt32x4(_mm_castsi128_ps(_mm_loadu_si128(cell))));
  }
#endif
  for (; i < count; ++i) {
    // The same cell holds a float before and an integer after: copy through
    // memcpy rather than alias it under two types.
    float staged;
    memcpy(&staged, bytes + 4 * i, 4);
    const int32_t sample = FloatToInt32(staged);
    memcpy(bytes + 4 * i, &sample, 4);
  }
}

void Int32ToFloat(const int32_t* source, float* dest, long count) {
  long i = 0;
#if VOROD_SSE2
  const __m128 scale = _mm_set1_ps(kInt32ToFloatScale);
  for (; i + 4 <= count; i += 4) {
    const __m128i samples = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
    _mm_storeu_ps(dest + i, _mm_mul_ps(_mm_cvtepi32_ps(samples), scale));
  }
#endif
  for (; i < count; ++i) dest[i] = static_cast<float>(source[i]) * kInt32ToFloatScale;
}
