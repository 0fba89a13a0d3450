// SSE2 forms of the per-sample conversions, four samples at a time, each
// giving exactly the bits of its plain form (named beside it). Every x64
// processor has SSE2; elsewhere VOROD_SSE2 is 0 and the plain loops run.
//
// Why the single-precision forms are exact. FloatToInt32 is
// trunc(double(x) * S) with S = 2^31 - 0.50001, saturated, NaN 0. With
// A = x * 2^31 (exact in single precision) that is A - 0.50001x. When A
// has a fraction, 0.50001|x| < 2^-30 |A| is smaller than its distance to
// the next integer (at least 2^-24 |A|), so the result is trunc(A); when A
// is a whole number (|A| >= 1), the result is A moved one toward zero
// (|x| <= 1 keeps 0.50001|x| below 1). |A| >= 2^31 saturates, except
// A = -2^31 (x = -1), which is whole and gives -2147483647.
#ifndef VOROD_STREAMING_SAMPLEVECTORS_H
#define VOROD_STREAMING_SAMPLEVECTORS_H

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define VOROD_SSE2 1
#include <emmintrin.h>
#else
#define VOROD_SSE2 0
#endif

#if VOROD_SSE2

// -1 in every lane where a >= 2^31 (never for NaN).
inline __m128i AtLeastTwoPow31(__m128 a) {
  return _mm_castps_si128(_mm_cmple_ps(_mm_set1_ps(2147483648.0f), a));
}

// 0 in every NaN lane, -1 elsewhere.
inline __m128i Ordered(__m128 a) { return _mm_castps_si128(_mm_cmpord_ps(a, a)); }

// FloatToInt32InPlace of one cell (SampleConversion.cpp).
inline __m128i FloatToInt32x4(__m128 staged) {
  const __m128 a = _mm_mul_ps(staged, _mm_set1_ps(2147483648.0f));
  // cvttps2dq gives 0x80000000 for NaN and for |a| >= 2^31.
  const __m128i t = _mm_cvttps_epi32(a);
  const __m128i whole = _mm_castps_si128(_mm_cmpeq_ps(_mm_cvtepi32_ps(t), a));
  // Whole numbers move one toward zero: -1 where t > 0, +1 where t < 0.
  const __m128i towardZero =
      _mm_sub_epi32(_mm_cmpgt_epi32(t, _mm_setzero_si128()), _mm_srai_epi32(t, 31));
  __m128i result = _mm_add_epi32(t, _mm_and_si128(whole, towardZero));
  result = _mm_xor_si128(result, AtLeastTwoPow31(a));  // 0x80000000 -> INT32_MAX
  return _mm_and_si128(result, Ordered(staged));
}

// SaturateToInt32(x * kRenderScale) (PacketConversion.h): a staged float
// to the device.
inline __m128i StagedToDevicex4(__m128 staged) {
  const __m128 product = _mm_mul_ps(staged, _mm_set1_ps(-2147483648.0f));
  const __m128i t = _mm_xor_si128(_mm_cvttps_epi32(product), AtLeastTwoPow31(product));
  return _mm_and_si128(t, Ordered(product));
}

// A device sample staged: float(d) * kCaptureScale.
inline __m128i DeviceToStagedx4(__m128i device) {
  const __m128 staged =
      _mm_mul_ps(_mm_cvtepi32_ps(device), _mm_set1_ps(-4.656612873077392578125e-10f));
  return _mm_castps_si128(staged);
}

// A device sample staged and then converted for the host, in one step.
// The staged float is -r x 2^-31 with r = float(d), a whole number, so
// FloatToInt32 gives -r moved one toward zero: sign(d) - r, in wrapping
// arithmetic also for r = +/-2^31 (where cvttps2dq gives 0x80000000).
inline __m128i DeviceToHostx4(__m128i device) {
  const __m128i r = _mm_cvttps_epi32(_mm_cvtepi32_ps(device));
  const __m128i sign =
      _mm_sub_epi32(_mm_srai_epi32(device, 31), _mm_cmpgt_epi32(device, _mm_setzero_si128()));
  return _mm_sub_epi32(sign, r);
}

#endif  // VOROD_SSE2

// AVX2: the same forms eight samples wide, for the capture sweep, which
// takes them only where the processor and the system support AVX2
// (CpuHasAvx2). GCC and Clang compile them for that target alone.
#if VOROD_SSE2 && (defined(__GNUC__) || defined(__clang__) || defined(_MSC_VER))
#define VOROD_AVX2 1
#include <immintrin.h>
#if defined(__GNUC__) || defined(__clang__)
#define VOROD_AVX2_TARGET __attribute__((target("avx2")))
#else
#define VOROD_AVX2_TARGET
#endif

VOROD_AVX2_TARGET inline __m256i DeviceToStagedx8(__m256i device) {
  const __m256 staged =
      _mm256_mul_ps(_mm256_cvtepi32_ps(device), _mm256_set1_ps(-4.656612873077392578125e-10f));
  return _mm256_castps_si256(staged);
}

// DeviceToHostx4 eight wide; vpsignd gives sign(d) in one step.
VOROD_AVX2_TARGET inline __m256i DeviceToHostx8(__m256i device) {
  const __m256i r = _mm256_cvttps_epi32(_mm256_cvtepi32_ps(device));
  return _mm256_sub_epi32(_mm256_sign_epi32(_mm256_set1_epi32(1), device), r);
}

// Whether this processor and the system (which must save the AVX
// registers) support AVX2.
bool CpuHasAvx2();
#else
#define VOROD_AVX2 0
#endif

#endif  // VOROD_STREAMING_SAMPLEVECTORS_H
