#include "synth/resampler_avx2.h"

#if defined(__AVX2__)
#include <immintrin.h>

// Compiled with -mavx2 alone: no fused multiply-add, so products and sums
// round as the plain kernels' do.
//
// Eight outputs per step. Each lane loads its own frames (and table row) at
// an address computed in general registers from the 64-bit position: gathers,
// or indices handed over through memory, cost fewer instructions but were
// slower with many voices reading frames out of cache, where the loads must
// start as early as possible.
namespace kelvane::detail {

namespace {

// The eight positions P + k * Increment of a step.
struct TPositions8 {
  int64_t P[8];

  TPositions8(int64_t position, int64_t increment) {
    P[0] = position;
    for (int k = 1; k < 8; ++k) P[k] = Wrapped(P[k - 1], increment);
  }
  static int64_t Wrapped(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
  }
  static int64_t Frame(int64_t position) { return position >> 32; }
};

// The low 32 bits of the eight positions of a step, advanced by eight
// increments per step (they wrap on their own).
inline __m256i FirstFractions(int64_t position, int64_t increment) {
  const __m256i step = _mm256_set1_epi32(static_cast<int32_t>(increment));
  return _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(position)),
                          _mm256_mullo_epi32(step, _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
}

// float(fraction) * 2^-32 for unsigned fractions: both 16-bit halves scale
// exactly, so their sum rounds once, as the direct conversion does.
inline __m256 Weights(__m256i fraction) {
  const __m256 high = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_srli_epi32(fraction, 16)), _mm256_set1_ps(0x1p-16f));
  const __m256 low = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(fraction, _mm256_set1_epi32(0xFFFF))),
                                   _mm256_set1_ps(0x1p-32f));
  return _mm256_add_ps(high, low);
}

// Frames a[0], a[1], b[0], b[1].
inline __m128 LoadPairs(const float* a, const float* b) {
  const __m128 low = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)));
  return _mm_loadh_pi(low, reinterpret_cast<const __m64*>(b));
}

// f[0] + (f[1] - f[0]) * w of eight positions.
inline __m256 Linear8(const float* frames, const TPositions8& p, __m256i fraction) {
  const auto at = [&](int k) { return frames + TPositions8::Frame(p.P[k]); };
  // (f0 g0 f1 g1 | f4 g4 f5 g5) and (f2 g2 f3 g3 | f6 g6 f7 g7), g = f[i + 1].
  const __m256 x = _mm256_insertf128_ps(_mm256_castps128_ps256(LoadPairs(at(0), at(1))), LoadPairs(at(4), at(5)), 1);
  const __m256 y = _mm256_insertf128_ps(_mm256_castps128_ps256(LoadPairs(at(2), at(3))), LoadPairs(at(6), at(7)), 1);
  const __m256 f0 = _mm256_shuffle_ps(x, y, _MM_SHUFFLE(2, 0, 2, 0));
  const __m256 f1 = _mm256_shuffle_ps(x, y, _MM_SHUFFLE(3, 1, 3, 1));
  return _mm256_add_ps(f0, _mm256_mul_ps(_mm256_sub_ps(f1, f0), Weights(fraction)));
}

// Two 4-float rows into the lanes of a vector.
inline __m256 Quads(const float* low, const float* high) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(low)), _mm_loadu_ps(high), 1);
}

// Taps t0..t3 of each position's table row times frames i - 1 .. i + 2,
// summed as (t0 + t2) + (t1 + t3).
inline __m256 Cubic8(const float* frames, const float* table, const TPositions8& p) {
  const auto f = [&](int k) { return frames - 1 + TPositions8::Frame(p.P[k]); };
  // Row of the table phase (bits 20..31).
  const auto r = [&](int k) { return table + (static_cast<uint32_t>(p.P[k]) >> 20) * 4; };
  // Products of outputs j (low lane) and j + 4 (high lane), tap k in element k.
  const __m256 m0 = _mm256_mul_ps(Quads(r(0), r(4)), Quads(f(0), f(4)));
  const __m256 m1 = _mm256_mul_ps(Quads(r(1), r(5)), Quads(f(1), f(5)));
  const __m256 m2 = _mm256_mul_ps(Quads(r(2), r(6)), Quads(f(2), f(6)));
  const __m256 m3 = _mm256_mul_ps(Quads(r(3), r(7)), Quads(f(3), f(7)));
  // u = (t0 + t2, t1 + t3) of outputs 0, 1; v the same of outputs 2, 3.
  const __m256 u = _mm256_add_ps(_mm256_unpacklo_ps(m0, m1), _mm256_unpackhi_ps(m0, m1));
  const __m256 v = _mm256_add_ps(_mm256_unpacklo_ps(m2, m3), _mm256_unpackhi_ps(m2, m3));
  const __m256 even = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(u), _mm256_castps_pd(v)));
  const __m256 odd = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(u), _mm256_castps_pd(v)));
  return _mm256_add_ps(even, odd);
}

// The plain kernels for the last frames of a run.
void LinearTail(const float* frames, float* buffer, int32_t samples, int64_t increment, int64_t position) {
  for (int32_t n = 0; n < samples; ++n) {
    const float* f = frames + TPositions8::Frame(position);
    const float w = static_cast<float>(static_cast<uint32_t>(position)) * 0x1p-32f;
    buffer[n] = f[0] + (f[1] - f[0]) * w;
    position = TPositions8::Wrapped(position, increment);
  }
}

void CubicTail(const float* frames, const float* table, float* buffer, int32_t samples, int64_t increment,
               int64_t position) {
  for (int32_t n = 0; n < samples; ++n) {
    const float* f = frames - 1 + TPositions8::Frame(position);
    const float* r = table + (static_cast<uint32_t>(position) >> 20) * 4;
    buffer[n] = (r[0] * f[0] + r[2] * f[2]) + (r[1] * f[1] + r[3] * f[3]);
    position = TPositions8::Wrapped(position, increment);
  }
}

int64_t Advanced(int64_t position, int32_t samples, int64_t increment) {
  return static_cast<int64_t>(static_cast<uint64_t>(position) +
                              static_cast<uint64_t>(samples) * static_cast<uint64_t>(increment));
}

}  // namespace

void ResampleLinearAVX2(const float* Frames, float* Buffer, int32_t Samples, int64_t Increment, int64_t& Position) {
  const int64_t step = Advanced(0, 8, Increment);
  int64_t q = Position;
  __m256i fraction = FirstFractions(Position, Increment);
  const __m256i fractionStep = _mm256_set1_epi32(static_cast<int32_t>(step));
  for (int32_t blocks = Samples >> 3; blocks > 0; --blocks, Buffer += 8) {
    _mm256_storeu_ps(Buffer, Linear8(Frames, TPositions8(q, Increment), fraction));
    fraction = _mm256_add_epi32(fraction, fractionStep);
    q = TPositions8::Wrapped(q, step);
  }
  if (Samples & 7) LinearTail(Frames, Buffer, Samples & 7, Increment, q);
  Position = Advanced(Position, Samples, Increment);
}

void ResampleCubicAVX2(const float* Frames, const float* Table, float* Buffer, int32_t Samples, int64_t Increment,
                       int64_t& Position) {
  const int64_t step = Advanced(0, 8, Increment);
  int64_t q = Position;
  for (int32_t blocks = Samples >> 3; blocks > 0; --blocks, Buffer += 8) {
    _mm256_storeu_ps(Buffer, Cubic8(Frames, Table, TPositions8(q, Increment)));
    q = TPositions8::Wrapped(q, step);
  }
  if (Samples & 7) CubicTail(Frames, Table, Buffer, Samples & 7, Increment, q);
  Position = Advanced(Position, Samples, Increment);
}

}  // namespace kelvane::detail

#endif
