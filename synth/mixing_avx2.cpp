#include "synth/mixing_avx2.h"

#if defined(__AVX2__)
#include <immintrin.h>

// Compiled with -mavx2 alone: no fused multiply-add. Four frames per step.
namespace kelvane::detail {

namespace {

template <bool Unity, int32_t Count>
void AddResidue(const float* r, int32_t Frames, float* const* Targets, const double* Amps) {
  __m256d amp[Count > 0 ? Count : 1];
  for (int32_t k = 0; k < Count; k++) amp[k] = _mm256_set1_pd(Amps[k]);
  // The residue times Amp, the product in double rounded back to float.
  auto times = [](__m256d low, __m256d high, __m256d a) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(_mm256_mul_pd(low, a))),
                                _mm256_cvtpd_ps(_mm256_mul_pd(high, a)), 1);
  };
  int32_t i = 0;
  for (; i + 4 <= Frames; i += 4) {
    const __m256 v = _mm256_loadu_ps(r + 2 * i);
    const __m256d low = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
    const __m256d high = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
    for (int32_t k = 0; k < Count; k++) {
      float* at = Targets[k] + 2 * i;
      const __m256 add = Unity && k == 0 ? v : times(low, high, amp[k]);
      _mm256_storeu_ps(at, _mm256_add_ps(_mm256_loadu_ps(at), add));
    }
  }
  for (; i < Frames; i++) {
    auto load = [](const float* at) { return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at))); };
    const __m128 v = load(r + 2 * i);
    const __m128d d = _mm_cvtps_pd(v);
    for (int32_t k = 0; k < Count; k++) {
      float* at = Targets[k] + 2 * i;
      const __m128 add = Unity && k == 0 ? v : _mm_cvtpd_ps(_mm_mul_pd(d, _mm256_castpd256_pd128(amp[k])));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm_castps_si128(_mm_add_ps(load(at), add)));
    }
  }
}

}  // namespace

void AddClickResidueAVX2(const TBufferSample* Residue, int32_t Frames, TBufferSample* const* Targets,
                         const double* Amps, int32_t Count, bool Unity) {
  const float* r = &Residue->Left;
  float* const targets[3] = {Count > 0 ? &Targets[0]->Left : nullptr, Count > 1 ? &Targets[1]->Left : nullptr,
                             Count > 2 ? &Targets[2]->Left : nullptr};
  switch (Count) {
    case 1:
      Unity ? AddResidue<true, 1>(r, Frames, targets, Amps) : AddResidue<false, 1>(r, Frames, targets, Amps);
      break;
    case 2:
      Unity ? AddResidue<true, 2>(r, Frames, targets, Amps) : AddResidue<false, 2>(r, Frames, targets, Amps);
      break;
    case 3:
      Unity ? AddResidue<true, 3>(r, Frames, targets, Amps) : AddResidue<false, 3>(r, Frames, targets, Amps);
      break;
    default:
      break;
  }
}

}  // namespace kelvane::detail

#else

namespace kelvane::detail {

// Never chosen without AVX2.
void AddClickResidueAVX2(const TBufferSample*, int32_t, TBufferSample* const*, const double*, int32_t, bool) {}

}  // namespace kelvane::detail

#endif
