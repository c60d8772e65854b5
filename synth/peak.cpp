#include "synth/peak.h"

#include <cmath>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KELVANE_PEAK_SSE 1
#endif

namespace kelvane {

float GetMono32BitMaximumAbsolutePeakScalar(const float* Data, int32_t Count) {
  float peak = 0.0f;
  for (int32_t i = 0; i < Count; i++) {
    const float value = std::fabs(Data[i]);
    if (value > peak) peak = value;
  }
  return peak;
}

#if KELVANE_PEAK_SSE

float GetMono32BitMaximumAbsolutePeak(const float* Data, int32_t Count) {
  if (Count <= 0) return 0.0f;
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  __m128 max0 = _mm_setzero_ps(), max1 = max0, max2 = max0, max3 = max0;
  int32_t i = 0;
  // 16 values per step, unaligned loads.
  for (; i + 16 <= Count; i += 16) {
    max0 = _mm_max_ps(max0, _mm_and_ps(_mm_loadu_ps(Data + i), absMask));
    max1 = _mm_max_ps(max1, _mm_and_ps(_mm_loadu_ps(Data + i + 4), absMask));
    max2 = _mm_max_ps(max2, _mm_and_ps(_mm_loadu_ps(Data + i + 8), absMask));
    max3 = _mm_max_ps(max3, _mm_and_ps(_mm_loadu_ps(Data + i + 12), absMask));
  }
  __m128 max = _mm_max_ps(_mm_max_ps(max0, max1), _mm_max_ps(max2, max3));
  max = _mm_max_ps(max, _mm_movehl_ps(max, max));
  max = _mm_max_ss(max, _mm_shuffle_ps(max, max, 1));
  const float vectorPeak = _mm_cvtss_f32(max);
  const float tailPeak = GetMono32BitMaximumAbsolutePeakScalar(Data + i, Count - i);
  return tailPeak > vectorPeak ? tailPeak : vectorPeak;
}

#else

float GetMono32BitMaximumAbsolutePeak(const float* Data, int32_t Count) {
  return GetMono32BitMaximumAbsolutePeakScalar(Data, Count);
}

#endif

}  // namespace kelvane
