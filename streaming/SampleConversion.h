// Conversions between the host's 32-bit integers and the staged floats.
#ifndef VOROD_STREAMING_SAMPLECONVERSION_H
#define VOROD_STREAMING_SAMPLECONVERSION_H

#include <cstdint>

// Staged float to host integer: not 2^31 and not 2^31 - 1, so that +1.0 and
// -1.0 land on +/-2147483647 symmetrically.
constexpr double kFloatToInt32Scale = 2147483647.49999;
// Host integer to staged float: 2^-31.
constexpr float kInt32ToFloatScale = 4.656612873077392578125e-10f;

// One cell of FloatToInt32InPlace: the staged float widened to double,
// scaled, saturated (NaN gives 0) and truncated toward zero.
inline int32_t FloatToInt32(float staged) {
  double value = static_cast<double>(staged) * kFloatToInt32Scale;
  value = value == value ? value : 0.0;
  value = value < 2147483647.0 ? value : 2147483647.0;
  value = value > -2147483648.0 ? value : -2147483648.0;
  return static_cast<int32_t>(value);
}

// Converts `count` 32-bit cells in place from float to integer, truncating
// toward zero. Products outside the 32-bit range saturate; NaN becomes 0.
void FloatToInt32InPlace(void* cells, long count);

// dest[i] = source[i] x 2^-31 in single precision.
void Int32ToFloat(const int32_t* source, float* dest, long count);

#endif  // VOROD_STREAMING_SAMPLECONVERSION_H
