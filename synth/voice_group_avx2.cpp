#include "synth/voice_group_kernels.h"

#if defined(__AVX2__)
#include <immintrin.h>

// Compiled with -mavx2 alone: no fused multiply-add, so products and sums
// round as the SSE2 kernels' do. Four frames of a lane fill one vector.
namespace kelvane::detail {

namespace {

constexpr int32_t Lanes = GroupLanes;

inline float* At(TBufferSample* Frames) { return &Frames->Left; }
inline const float* At(const TBufferSample* Frames) { return &Frames->Left; }

// Two floats into the low half and back, at any alignment.
inline __m128 LoadPair(const float* at) { return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at))); }
inline void StorePair(float* at, __m128 v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm_castps_si128(v)); }
// One frame.
inline __m128 LoadOne(const TBufferSample* at) { return LoadPair(At(at)); }
inline void StoreOne(TBufferSample* at, __m128 v) { StorePair(At(at), v); }

inline __m256 Add(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
inline __m128 Add(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
inline __m256 Mul(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
inline __m128 Mul(__m128 a, __m256 b) { return _mm_mul_ps(a, _mm256_castps256_ps128(b)); }

// The frames of P (four, two or one frames of each lane) added lane after
// lane into the targets, as MixLanesSSE adds them.
template <bool Shared, bool HasChorus, bool HasReverb, typename V, typename Load, typename Store>
inline void MixInto(const TLaneMixJob& J, const __m256 (&AmpChorus)[Lanes], const __m256 (&AmpReverb)[Lanes], int32_t i,
                    const V (&P)[Lanes], Load load, Store store) {
  if constexpr (Shared) {
    V dry = load(J.Dry[0] + i);
    for (int32_t l = 0; l < Lanes; l++) dry = Add(dry, P[l]);
    store(J.Dry[0] + i, dry);
    if constexpr (HasChorus) {
      V chorus = load(J.Chorus[0] + i);
      for (int32_t l = 0; l < Lanes; l++) chorus = Add(chorus, Mul(P[l], AmpChorus[l]));
      store(J.Chorus[0] + i, chorus);
    }
    if constexpr (HasReverb) {
      V reverb = load(J.Reverb[0] + i);
      for (int32_t l = 0; l < Lanes; l++) reverb = Add(reverb, Mul(P[l], AmpReverb[l]));
      store(J.Reverb[0] + i, reverb);
    }
  } else {
    for (int32_t l = 0; l < Lanes; l++) {
      store(J.Dry[l] + i, Add(load(J.Dry[l] + i), P[l]));
      if constexpr (HasChorus) store(J.Chorus[l] + i, Add(load(J.Chorus[l] + i), Mul(P[l], AmpChorus[l])));
      if constexpr (HasReverb) store(J.Reverb[l] + i, Add(load(J.Reverb[l] + i), Mul(P[l], AmpReverb[l])));
    }
  }
}

template <bool Shared, bool HasChorus, bool HasReverb>
void MixLanes(const TLaneMixJob& J, int32_t From, int32_t To) {
  __m256 ampChorus[Lanes], ampReverb[Lanes];
  for (int32_t l = 0; l < Lanes; l++) {
    ampChorus[l] = _mm256_set1_ps(J.AmpChorus[l]);
    ampReverb[l] = _mm256_set1_ps(J.AmpReverb[l]);
  }
  auto load4 = [](const TBufferSample* at) { return _mm256_loadu_ps(At(at)); };
  auto store4 = [](TBufferSample* at, __m256 v) { _mm256_storeu_ps(At(at), v); };
  auto load2 = [](const TBufferSample* at) { return _mm_loadu_ps(At(at)); };
  auto store2 = [](TBufferSample* at, __m128 v) { _mm_storeu_ps(At(at), v); };
  // Mono frames m0 m1 m2 m3 as m0 m0 m1 m1 m2 m2 m3 m3, next to their gains.
  const __m256i spread = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);

  int32_t t = From;
  for (; t + 4 <= To; t += 4) {
    __m256 P[Lanes];
    for (int32_t l = 0; l < Lanes; l++) {
      const __m256 m = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(J.Mono[l] + t)), spread);
      P[l] = _mm256_mul_ps(m, load4(J.Gains[l] + t));
    }
    MixInto<Shared, HasChorus, HasReverb>(J, ampChorus, ampReverb, t, P, load4, store4);
  }
  if (t + 2 <= To) {
    __m128 P[Lanes];
    for (int32_t l = 0; l < Lanes; l++) {
      const __m128 m = LoadPair(J.Mono[l] + t);
      P[l] = _mm_mul_ps(_mm_unpacklo_ps(m, m), load2(J.Gains[l] + t));
    }
    MixInto<Shared, HasChorus, HasReverb>(J, ampChorus, ampReverb, t, P, load2, store2);
    t += 2;
  }
  if (t < To) {
    __m128 P[Lanes];
    for (int32_t l = 0; l < Lanes; l++) P[l] = _mm_mul_ps(_mm_set1_ps(J.Mono[l][t]), LoadOne(J.Gains[l] + t));
    MixInto<Shared, HasChorus, HasReverb>(J, ampChorus, ampReverb, t, P, LoadOne, StoreOne);
  }
}

}  // namespace

void RampGainsAVX2(float* Gain, const float* Inc, TBufferSample* Gains, int32_t Stride, int32_t From, int32_t To) {
  float* const g0 = At(Gains);
  float* const g1 = At(Gains + Stride);
  float* const g2 = At(Gains + 2 * Stride);
  float* const g3 = At(Gains + 3 * Stride);
  // Lanes 0 and 1 in the low half, 2 and 3 in the high half.
  __m256 gain = _mm256_loadu_ps(Gain);
  const __m256 inc = _mm256_loadu_ps(Inc);
  int32_t t = From;
  for (; t + 4 <= To; t += 4) {
    const __m256 a = _mm256_add_ps(gain, inc);
    const __m256 b = _mm256_add_ps(a, inc);
    const __m256 c = _mm256_add_ps(b, inc);
    gain = _mm256_add_ps(c, inc);
    // Each lane's left and right as one double: a 4 x 4 transpose.
    const __m256d ab0 = _mm256_unpacklo_pd(_mm256_castps_pd(a), _mm256_castps_pd(b));  // lanes 0, 2
    const __m256d ab1 = _mm256_unpackhi_pd(_mm256_castps_pd(a), _mm256_castps_pd(b));  // lanes 1, 3
    const __m256d cd0 = _mm256_unpacklo_pd(_mm256_castps_pd(c), _mm256_castps_pd(gain));
    const __m256d cd1 = _mm256_unpackhi_pd(_mm256_castps_pd(c), _mm256_castps_pd(gain));
    _mm256_storeu_pd(reinterpret_cast<double*>(g0 + 2 * t), _mm256_permute2f128_pd(ab0, cd0, 0x20));
    _mm256_storeu_pd(reinterpret_cast<double*>(g1 + 2 * t), _mm256_permute2f128_pd(ab1, cd1, 0x20));
    _mm256_storeu_pd(reinterpret_cast<double*>(g2 + 2 * t), _mm256_permute2f128_pd(ab0, cd0, 0x31));
    _mm256_storeu_pd(reinterpret_cast<double*>(g3 + 2 * t), _mm256_permute2f128_pd(ab1, cd1, 0x31));
  }
  for (; t < To; t++) {
    gain = _mm256_add_ps(gain, inc);
    const __m128 low = _mm256_castps256_ps128(gain), high = _mm256_extractf128_ps(gain, 1);
    _mm_storel_pi(reinterpret_cast<__m64*>(g0 + 2 * t), low);
    _mm_storeh_pi(reinterpret_cast<__m64*>(g1 + 2 * t), low);
    _mm_storel_pi(reinterpret_cast<__m64*>(g2 + 2 * t), high);
    _mm_storeh_pi(reinterpret_cast<__m64*>(g3 + 2 * t), high);
  }
  _mm256_storeu_ps(Gain, gain);
}

void DecayClickResiduesAVX2(TBufferSample (&Last)[GroupLanes], TBufferSample* const (&Out)[GroupLanes],
                            int32_t (&Added)[GroupLanes], int32_t Count, double Factor, double FlushBelow) {
  const __m256d factor = _mm256_set1_pd(Factor);
  const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
  const __m256d flushBelow = _mm256_set1_pd(FlushBelow);
  const __m256d zero = _mm256_setzero_pd();
  // Residues 0 and 1 in a, 2 and 3 in b; the float of each frame and its double.
  __m128 ra = _mm_loadu_ps(&Last[0].Left), rb = _mm_loadu_ps(&Last[2].Left);
  __m256d wa = _mm256_cvtps_pd(ra), wb = _mm256_cvtps_pd(rb);
  const int32_t startZero = _mm_movemask_ps(_mm_cmpeq_ps(ra, _mm_setzero_ps())) |
                            _mm_movemask_ps(_mm_cmpeq_ps(rb, _mm_setzero_ps())) << 4;
  float* const o0 = At(Out[0]);
  float* const o1 = At(Out[1]);
  float* const o2 = At(Out[2]);
  float* const o3 = At(Out[3]);
  auto put = [&](int32_t i, __m128 a, __m128 b) {
    _mm_storel_pi(reinterpret_cast<__m64*>(o0 + 2 * i), a);
    _mm_storeh_pi(reinterpret_cast<__m64*>(o1 + 2 * i), a);
    _mm_storel_pi(reinterpret_cast<__m64*>(o2 + 2 * i), b);
    _mm_storeh_pi(reinterpret_cast<__m64*>(o3 + 2 * i), b);
  };
  auto allZero = [&] { return _mm256_movemask_pd(_mm256_cmp_pd(_mm256_or_pd(wa, wb), zero, _CMP_EQ_OQ)) == 15; };
  int32_t i = 0;
  while (i < Count && !allZero()) {
    // Four frames without the flush test, kept only if no side came near the
    // flush (see ProcClickRemoval).
    if (i + 4 <= Count) {
      auto four = [&](__m256d w, __m128 (&r)[4], __m256d& last) {
        const __m256d isZero = _mm256_cmp_pd(w, zero, _CMP_EQ_OQ);
        __m256d d = w;
        for (int32_t k = 0; k < 3; k++) {
          r[k] = _mm256_cvtpd_ps(_mm256_mul_pd(d, factor));
          d = _mm256_cvtps_pd(r[k]);
        }
        last = _mm256_mul_pd(d, factor);
        const __m256d least = _mm256_min_pd(_mm256_and_pd(w, magnitude), _mm256_and_pd(last, magnitude));
        return _mm256_movemask_pd(_mm256_or_pd(_mm256_cmp_pd(least, flushBelow, _CMP_GE_OQ), isZero)) == 15;
      };
      __m128 a[4], b[4];
      __m256d pa, pb;
      const bool clearA = four(wa, a, pa);
      if (four(wb, b, pb) && clearA) {
        a[3] = _mm256_cvtpd_ps(pa);
        b[3] = _mm256_cvtpd_ps(pb);
        for (int32_t k = 0; k < 4; k++) put(i + k, a[k], b[k]);
        wa = _mm256_cvtps_pd(a[3]);
        wb = _mm256_cvtps_pd(b[3]);
        i += 4;
        continue;
      }
    }
    // Near the flush: frame by frame.
    auto one = [&](__m256d& w) {
      __m256d p = _mm256_mul_pd(w, factor);
      const __m256d tiny = _mm256_cmp_pd(_mm256_and_pd(p, magnitude), flushBelow, _CMP_LT_OQ);
      p = _mm256_andnot_pd(_mm256_and_pd(tiny, magnitude), p);  // keeps the sign bit
      const __m128 r = _mm256_cvtpd_ps(p);
      w = _mm256_cvtps_pd(r);
      return r;
    };
    const int32_t end = i + 4 < Count ? i + 4 : Count;
    for (; i < end; i++) {
      const __m128 a = one(wa), b = one(wb);
      put(i, a, b);
    }
  }
  _mm_storeu_ps(&Last[0].Left, _mm256_cvtpd_ps(wa));
  _mm_storeu_ps(&Last[2].Left, _mm256_cvtpd_ps(wb));
  // A residue that ended adds its frames up to the first where both sides are zero.
  for (int32_t k = 0; k < Lanes; k++) {
    if ((startZero >> (2 * k) & 3) == 3) {
      Added[k] = 0;
      continue;
    }
    Added[k] = Count;
    if (Last[k].Left != 0.0f || Last[k].Right != 0.0f) continue;
    for (int32_t f = 0; f < i; f++) {
      if (Out[k][f].Left == 0.0f && Out[k][f].Right == 0.0f) {
        Added[k] = f + 1;
        break;
      }
    }
  }
}

void MixLanesAVX2(const TLaneMixJob& Job, bool Shared, bool Chorus, bool Reverb, int32_t From, int32_t To) {
  WithLaneMixModes(Shared, Chorus, Reverb, [&](auto s, auto c, auto r) {
    MixLanes<decltype(s)::value, decltype(c)::value, decltype(r)::value>(Job, From, To);
  });
}

}  // namespace kelvane::detail

#else

// Without AVX2 the SSE2 kernels stand in (never chosen at run time).
namespace kelvane::detail {

void RampGainsAVX2(float* Gain, const float* Inc, TBufferSample* Gains, int32_t Stride, int32_t From, int32_t To) {
  RampGainsSSE(Gain, Inc, Gains, Stride, From, To);
}

void MixLanesAVX2(const TLaneMixJob& Job, bool Shared, bool Chorus, bool Reverb, int32_t From, int32_t To) {
  MixLanesSSE(Job, Shared, Chorus, Reverb, From, To);
}

void DecayClickResiduesAVX2(TBufferSample (&)[GroupLanes], TBufferSample* const (&)[GroupLanes], int32_t (&)[GroupLanes],
                            int32_t, double, double) {}

}  // namespace kelvane::detail

#endif
