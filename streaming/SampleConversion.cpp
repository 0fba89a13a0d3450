// Real-time path: no allocation, no locks, no system calls. Single sweeps
// over contiguous memory that the compiler can vectorise.
#include "streaming/SampleConversion.h"

#include <cstring>

void FloatToInt32InPlace(void* cells, long count) {
  unsigned char* bytes = static_cast<unsigned char*>(cells);
  for (long i = 0; i < count; ++i) {
    // The same cell holds a float before and an integer after: copy through
    // memcpy rather than alias it under two types.
    float staged;
    memcpy(&staged, bytes + 4 * i, 4);
    double value = static_cast<double>(staged) * kFloatToInt32Scale;
    value = value == value ? value : 0.0;
    value = value < 2147483647.0 ? value : 2147483647.0;
    value = value > -2147483648.0 ? value : -2147483648.0;
    const int32_t sample = static_cast<int32_t>(value);
    memcpy(bytes + 4 * i, &sample, 4);
  }
}

void Int32ToFloat(const int32_t* source, float* dest, long count) {
  for (long i = 0; i < count; ++i) dest[i] = static_cast<float>(source[i]) * kInt32ToFloatScale;
}
