// Real-time path: no allocation, no locks, no system calls. Vector sweeps
// for the device's channel counts (multiples of 4, 2 and 1): SSE2, and for
// the capture sweep of whole groups of 4 channels AVX2 where the processor
// has it; plain loops for other counts and the last few frames. All give
// the same bits (see SampleVectors.h).
#include "streaming/PacketConversion.h"

#include <cstring>

#include "streaming/SampleConversion.h"
#include "streaming/SampleVectors.h"

#if VOROD_AVX2
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace {

// The widest frame the vector sweeps take; wider packets go the plain way.
const uint32_t kVectorChannels = 16;

#if VOROD_AVX2
bool g_captureAvx2 = CpuHasAvx2();
#endif

struct ToStaged {
  static int32_t One(int32_t device) {
    const float staged = static_cast<float>(device) * kCaptureScale;
    int32_t cell;
    memcpy(&cell, &staged, 4);
    return cell;
  }
#if VOROD_SSE2
  static __m128i Four(__m128i device) { return DeviceToStagedx4(device); }
#endif
#if VOROD_AVX2
  VOROD_AVX2_TARGET static __m256i Eight(__m256i device) { return DeviceToStagedx8(device); }
#endif
};

struct ToHost {
  static int32_t One(int32_t device) {
    return FloatToInt32(static_cast<float>(device) * kCaptureScale);
  }
#if VOROD_SSE2
  static __m128i Four(__m128i device) { return DeviceToHostx4(device); }
#endif
#if VOROD_AVX2
  VOROD_AVX2_TARGET static __m256i Eight(__m256i device) { return DeviceToHostx8(device); }
#endif
};

#if VOROD_SSE2
inline __m128i Load(const int32_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void Store(int32_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// Channels c to c + 3 of frames `first` to `end` - 1 (whole blocks of 4):
// four frame rows in, four channel columns out. kAll: every channel has a
// destination.
template <class Convert, bool kAll>
void DeinterleaveColumns(const int32_t* packet, uint32_t first, uint32_t end, uint32_t channels,
                         int32_t* const* dest, uint32_t c) {
  int32_t* const d0 = dest[c];
  int32_t* const d1 = dest[c + 1];
  int32_t* const d2 = dest[c + 2];
  int32_t* const d3 = dest[c + 3];
  const size_t stride = channels;
  const int32_t* row = packet + first * stride + c;
  for (uint32_t f = first; f < end; f += 4, row += 4 * stride) {
    const __m128i r0 = Load(row);
    const __m128i r1 = Load(row + stride);
    const __m128i r2 = Load(row + 2 * stride);
    const __m128i r3 = Load(row + 3 * stride);
    const __m128i t0 = _mm_unpacklo_epi32(r0, r1);
    const __m128i t1 = _mm_unpacklo_epi32(r2, r3);
    const __m128i t2 = _mm_unpackhi_epi32(r0, r1);
    const __m128i t3 = _mm_unpackhi_epi32(r2, r3);
    if (kAll || d0) Store(d0 + f, Convert::Four(_mm_unpacklo_epi64(t0, t1)));
    if (kAll || d1) Store(d1 + f, Convert::Four(_mm_unpackhi_epi64(t0, t1)));
    if (kAll || d2) Store(d2 + f, Convert::Four(_mm_unpacklo_epi64(t2, t3)));
    if (kAll || d3) Store(d3 + f, Convert::Four(_mm_unpackhi_epi64(t2, t3)));
  }
}
#endif

#if VOROD_AVX2
// Frame rows k and k + 4 in the two lanes of one register.
VOROD_AVX2_TARGET inline __m256i RowPair(const int32_t* row, size_t stride, size_t k) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(Load(row + k * stride)),
                                 Load(row + (k + 4) * stride), 1);
}

VOROD_AVX2_TARGET inline void Store8(int32_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// DeinterleaveColumns eight frames at a time: frames f and f + 4 share a
// register, one in each 128-bit lane, so the in-lane transpose leaves each
// channel's eight frames in order.
template <class Convert, bool kAll>
VOROD_AVX2_TARGET void DeinterleaveColumnsAvx2(const int32_t* packet, uint32_t end,
                                               uint32_t channels, int32_t* const* dest,
                                               uint32_t c) {
  int32_t* const d0 = dest[c];
  int32_t* const d1 = dest[c + 1];
  int32_t* const d2 = dest[c + 2];
  int32_t* const d3 = dest[c + 3];
  const size_t stride = channels;
  const int32_t* row = packet + c;
  for (uint32_t f = 0; f < end; f += 8, row += 8 * stride) {
    const __m256i r0 = RowPair(row, stride, 0), r1 = RowPair(row, stride, 1);
    const __m256i r2 = RowPair(row, stride, 2), r3 = RowPair(row, stride, 3);
    const __m256i t0 = _mm256_unpacklo_epi32(r0, r1);
    const __m256i t1 = _mm256_unpacklo_epi32(r2, r3);
    const __m256i t2 = _mm256_unpackhi_epi32(r0, r1);
    const __m256i t3 = _mm256_unpackhi_epi32(r2, r3);
    if (kAll || d0) Store8(d0 + f, Convert::Eight(_mm256_unpacklo_epi64(t0, t1)));
    if (kAll || d1) Store8(d1 + f, Convert::Eight(_mm256_unpackhi_epi64(t0, t1)));
    if (kAll || d2) Store8(d2 + f, Convert::Eight(_mm256_unpacklo_epi64(t2, t3)));
    if (kAll || d3) Store8(d3 + f, Convert::Eight(_mm256_unpackhi_epi64(t2, t3)));
  }
  // No transition penalty for the SSE code that follows.
  _mm256_zeroupper();
}
#endif

template <class Convert>
void Deinterleave(const int32_t* packet, uint32_t frames, uint32_t channels,
                  int32_t* const* slotBuffers, const long* slotChannels, long slots,
                  size_t destFrame) {
  auto valid = [&](long k) {
    return slotChannels[k] >= 0 && slotChannels[k] < static_cast<long>(channels) &&
           slotBuffers[k] != nullptr;
  };
  if (channels > kVectorChannels) {
    for (long k = 0; k < slots; ++k) {
      if (!valid(k)) continue;
      int32_t* dest = slotBuffers[k] + destFrame;
      for (uint32_t f = 0; f < frames; ++f)
        dest[f] = Convert::One(packet[static_cast<size_t>(f) * channels + slotChannels[k]]);
    }
    return;
  }
  // Each device channel's first slot; further slots of a channel copy it.
  int32_t* dest[kVectorChannels] = {};
  bool shared = false;
  for (long k = 0; k < slots; ++k) {
    if (!valid(k)) continue;
    if (dest[slotChannels[k]] == nullptr)
      dest[slotChannels[k]] = slotBuffers[k] + destFrame;
    else
      shared = true;
  }

  uint32_t f = 0;
#if VOROD_SSE2
  if (channels % 4 == 0) {
    const uint32_t end = frames & ~3u;
#if VOROD_AVX2
    const uint32_t done = g_captureAvx2 ? frames & ~7u : 0;
#else
    const uint32_t done = 0;
#endif
    for (uint32_t c = 0; c < channels; c += 4) {
      const bool all = dest[c] && dest[c + 1] && dest[c + 2] && dest[c + 3];
      if (!all && !dest[c] && !dest[c + 1] && !dest[c + 2] && !dest[c + 3]) continue;
#if VOROD_AVX2
      if (done != 0 && all)
        DeinterleaveColumnsAvx2<Convert, true>(packet, done, channels, dest, c);
      else if (done != 0)
        DeinterleaveColumnsAvx2<Convert, false>(packet, done, channels, dest, c);
#endif
      if (end != done && all)
        DeinterleaveColumns<Convert, true>(packet, done, end, channels, dest, c);
      else if (end != done)
        DeinterleaveColumns<Convert, false>(packet, done, end, channels, dest, c);
    }
    f = end;
  } else if (channels == 2 && (dest[0] || dest[1])) {
    for (; f + 4 <= frames; f += 4) {
      // [a0 b0 a1 b1] [a2 b2 a3 b3] -> [a0 a1 b0 b1] [a2 a3 b2 b3]
      const __m128i v0 = _mm_shuffle_epi32(Load(packet + 2 * f), _MM_SHUFFLE(3, 1, 2, 0));
      const __m128i v1 = _mm_shuffle_epi32(Load(packet + 2 * f + 4), _MM_SHUFFLE(3, 1, 2, 0));
      if (dest[0]) Store(dest[0] + f, Convert::Four(_mm_unpacklo_epi64(v0, v1)));
      if (dest[1]) Store(dest[1] + f, Convert::Four(_mm_unpackhi_epi64(v0, v1)));
    }
  } else if (channels == 1 && dest[0]) {
    for (; f + 4 <= frames; f += 4) Store(dest[0] + f, Convert::Four(Load(packet + f)));
  }
#endif
  for (uint32_t c = 0; c < channels && f < frames; ++c) {
    if (dest[c] == nullptr) continue;
    for (uint32_t g = f; g < frames; ++g)
      dest[c][g] = Convert::One(packet[static_cast<size_t>(g) * channels + c]);
  }

  if (!shared) return;
  for (long k = 0; k < slots; ++k) {
    if (!valid(k)) continue;
    int32_t* copy = slotBuffers[k] + destFrame;
    const int32_t* first = dest[slotChannels[k]];
    if (copy != first) memcpy(copy, first, static_cast<size_t>(frames) * sizeof(int32_t));
  }
}

}  // namespace

#if VOROD_AVX2
bool CpuHasAvx2() {
  unsigned regs[4] = {};  // eax, ebx, ecx, edx
  auto cpuid = [&regs](unsigned leaf) {
#if defined(_MSC_VER)
    __cpuidex(reinterpret_cast<int*>(regs), static_cast<int>(leaf), 0);
#else
    __cpuid_count(leaf, 0, regs[0], regs[1], regs[2], regs[3]);
#endif
  };
  cpuid(0);
  if (regs[0] < 7) return false;
  cpuid(1);
  const unsigned kOsXsave = 1u << 27, kAvx = 1u << 28;
  if ((regs[2] & (kOsXsave | kAvx)) != (kOsXsave | kAvx)) return false;
    // The system saves the SSE and AVX register state (XCR0 bits 1 and 2).
#if defined(__GNUC__) || defined(__clang__)
  unsigned xcr0Low = 0, xcr0High = 0;
  __asm__("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
  const unsigned long long xcr0 = xcr0Low;
#else
  const unsigned long long xcr0 = _xgetbv(0);
#endif
  if ((xcr0 & 6) != 6) return false;
  cpuid(7);
  return (regs[1] & (1u << 5)) != 0;
}

bool UseAvx2CaptureSweep(bool use) {
  g_captureAvx2 = use && CpuHasAvx2();
  return g_captureAvx2;
}
#else
bool UseAvx2CaptureSweep(bool) { return false; }
#endif

void DeinterleaveCapture(const int32_t* packet, uint32_t frames, uint32_t channels,
                         int32_t* const* slotBuffers, const long* slotChannels, long slots,
                         size_t destFrame) {
  Deinterleave<ToStaged>(packet, frames, channels, slotBuffers, slotChannels, slots, destFrame);
}

void DeinterleaveCaptureToHost(const int32_t* packet, uint32_t frames, uint32_t channels,
                               int32_t* const* slotBuffers, const long* slotChannels, long slots,
                               size_t destFrame) {
  Deinterleave<ToHost>(packet, frames, channels, slotBuffers, slotChannels, slots, destFrame);
}

void InterleaveRender(float* const* slotBuffers, const long* slotChannels, long slots,
                      size_t srcFrame, uint32_t frames, uint32_t channels, int32_t* packet) {
  if (channels > 2) {
    memset(packet, 0, static_cast<size_t>(frames) * channels * sizeof(int32_t));
    for (long k = 0; k < slots; ++k) {
      const long channel = slotChannels[k];
      if (channel < 0 || channel >= static_cast<long>(channels) || slotBuffers[k] == nullptr)
        continue;
      const float* src = slotBuffers[k] + srcFrame;
      int32_t* dest = packet + channel;
      for (uint32_t f = 0; f < frames; ++f)
        dest[static_cast<size_t>(f) * channels] = SaturateToInt32(src[f] * kRenderScale);
    }
    return;
  }
  // Each device channel's last slot; a channel without one is silent.
  const float* source[2] = {};
  for (long k = 0; k < slots; ++k) {
    const long channel = slotChannels[k];
    if (channel < 0 || channel >= static_cast<long>(channels) || slotBuffers[k] == nullptr)
      continue;
    source[channel] = slotBuffers[k] + srcFrame;
  }
  uint32_t f = 0;
#if VOROD_SSE2
  auto column = [&](uint32_t c) {
    return source[c] ? StagedToDevicex4(_mm_loadu_ps(source[c] + f)) : _mm_setzero_si128();
  };
  if (channels == 2) {
    for (; f + 4 <= frames; f += 4) {
      const __m128i left = column(0), right = column(1);
      Store(packet + 2 * f, _mm_unpacklo_epi32(left, right));
      Store(packet + 2 * f + 4, _mm_unpackhi_epi32(left, right));
    }
  } else if (channels == 1) {
    for (; f + 4 <= frames; f += 4) Store(packet + f, column(0));
  }
#endif
  for (; f < frames; ++f)
    for (uint32_t c = 0; c < channels; ++c)
      packet[static_cast<size_t>(f) * channels + c] =
          source[c] ? SaturateToInt32(source[c][f] * kRenderScale) : 0;
}
