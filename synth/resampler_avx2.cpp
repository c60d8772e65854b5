#include "synth/resampler_avx2.h"

#if defined(__AVX2__)
#include <immintrin.h>

// Compiled with -mavx2 alone: no fused multiply-add, so products and sums
// round as the plain kernels' do.
namespace kelvane::detail {

namespace {

// Eight positions p + k * increment, k = 0..7, as two vectors of 64-bit lanes
// in the order (0, 1, 4, 5) and (2, 3, 6, 7): one in-lane shuffle of the two
// then gives the eight high or low halves in output order.
struct TPositions8 {
  __m256i A, B;
  __m256i Step;

  TPositions8(int64_t position, int64_t increment) {
    const __m256i p = _mm256_set1_epi64x(position), i = _mm256_set1_epi64x(increment);
    const __m256i i2 = _mm256_add_epi64(i, i), i4 = _mm256_add_epi64(i2, i2), zero = _mm256_setzero_si256();
    // (0, i, 4i, 5i) and two increments more.
    A = _mm256_add_epi64(_mm256_add_epi64(p, _mm256_blend_epi32(zero, i, 0xCC)), _mm256_blend_epi32(zero, i4, 0xF0));
    B = _mm256_add_epi64(A, i2);
    Step = _mm256_add_epi64(i4, i4);
  }
  // Frame indices (the signed high halves).
  __m256i Frames() const {
    return _mm256_castps_si256(
        _mm256_shuffle_ps(_mm256_castsi256_ps(A), _mm256_castsi256_ps(B), _MM_SHUFFLE(3, 1, 3, 1)));
  }
  // Unsigned 32-bit fractions (the low halves).
  __m256i Fractions() const {
    return _mm256_castps_si256(
        _mm256_shuffle_ps(_mm256_castsi256_ps(A), _mm256_castsi256_ps(B), _MM_SHUFFLE(2, 0, 2, 0)));
  }
  void Advance() {
    A = _mm256_add_epi64(A, Step);
    B = _mm256_add_epi64(B, Step);
  }
  // The position of the first lane.
  int64_t First() const { return _mm_cvtsi128_si64(_mm256_castsi256_si128(A)); }
};

// float(fraction) * 2^-32 for unsigned fractions: both 16-bit halves scale
// exactly, so their sum rounds once, as the direct conversion does.
inline __m256 Weights(__m256i fraction) {
  const __m256 high = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_srli_epi32(fraction, 16)), _mm256_set1_ps(0x1p-16f));
  const __m256 low = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(fraction, _mm256_set1_epi32(0xFFFF))),
                                   _mm256_set1_ps(0x1p-32f));
  return _mm256_add_ps(high, low);
}

// Gathers are slower than loads one lane at a time. The lanes' indices go
// through memory: reading one back is one load, where taking it out of the
// vector register costs an extract and a sign extension. The empty asm
// keeps the compiler from turning the reads into those extracts.
inline void Spill(int32_t (&out)[8], __m256i v) {
  _mm256_store_si256(reinterpret_cast<__m256i*>(out), v);
  asm("" : "+m"(out));
}

inline __m128 LoadPairs(const float* a, const float* b) {
  const __m128 low = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)));
  return _mm_loadh_pi(low, reinterpret_cast<const __m64*>(b));
}

// Frames f[i], f[i + 1] of eight positions.
inline __m256 Linear8(const float* frames, const TPositions8& p) {
  alignas(32) int32_t index[8];
  Spill(index, p.Frames());
  // (f0 g0 f1 g1 | f4 g4 f5 g5) and (f2 g2 f3 g3 | f6 g6 f7 g7), g = f[i + 1].
  const __m256 x = _mm256_insertf128_ps(_mm256_castps128_ps256(LoadPairs(frames + index[0], frames + index[1])),
                                        LoadPairs(frames + index[4], frames + index[5]), 1);
  const __m256 y = _mm256_insertf128_ps(_mm256_castps128_ps256(LoadPairs(frames + index[2], frames + index[3])),
                                        LoadPairs(frames + index[6], frames + index[7]), 1);
  const __m256 f0 = _mm256_shuffle_ps(x, y, _MM_SHUFFLE(2, 0, 2, 0));
  const __m256 f1 = _mm256_shuffle_ps(x, y, _MM_SHUFFLE(3, 1, 3, 1));
  return _mm256_add_ps(f0, _mm256_mul_ps(_mm256_sub_ps(f1, f0), Weights(p.Fractions())));
}

// Two 4-float rows into the lanes of a vector.
inline __m256 Rows(const float* low, const float* high, bool aligned) {
  const __m128 l = aligned ? _mm_load_ps(low) : _mm_loadu_ps(low);
  return _mm256_insertf128_ps(_mm256_castps128_ps256(l), aligned ? _mm_load_ps(high) : _mm_loadu_ps(high), 1);
}

// Taps t0..t3 of the table row times frames i - 1 .. i + 2, summed as
// (t0 + t2) + (t1 + t3).
inline __m256 Cubic8(const float* frames, const float* table, const TPositions8& p) {
  alignas(32) int32_t index[8];
  alignas(32) int32_t row[8];
  Spill(index, p.Frames());
  // Row offset in floats: table phase (bits 20..31) times 4.
  Spill(row, _mm256_and_si256(_mm256_srli_epi32(p.Fractions(), 18), _mm256_set1_epi32(0x3FFC)));
  const float* f = frames - 1;
  // Products of outputs j (low lane) and j + 4 (high lane), tap k in element k.
  const __m256 m0 = _mm256_mul_ps(Rows(table + row[0], table + row[4], true), Rows(f + index[0], f + index[4], false));
  const __m256 m1 = _mm256_mul_ps(Rows(table + row[1], table + row[5], true), Rows(f + index[1], f + index[5], false));
  const __m256 m2 = _mm256_mul_ps(Rows(table + row[2], table + row[6], true), Rows(f + index[2], f + index[6], false));
  const __m256 m3 = _mm256_mul_ps(Rows(table + row[3], table + row[7], true), Rows(f + index[3], f + index[7], false));
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
    const float* f = frames + (position >> 32);
    const float w = static_cast<float>(static_cast<uint32_t>(position)) * 0x1p-32f;
    buffer[n] = f[0] + (f[1] - f[0]) * w;
    position += increment;
  }
}

void CubicTail(const float* frames, const float* table, float* buffer, int32_t samples, int64_t increment,
               int64_t position) {
  for (int32_t n = 0; n < samples; ++n) {
    const float* f = frames - 1 + (position >> 32);
    const float* r = table + (static_cast<uint32_t>(position) >> 20) * 4;
    buffer[n] = (r[0] * f[0] + r[2] * f[2]) + (r[1] * f[1] + r[3] * f[3]);
    position += increment;
  }
}

int64_t Advanced(int64_t position, int32_t samples, int64_t increment) {
  return static_cast<int64_t>(static_cast<uint64_t>(position) +
                              static_cast<uint64_t>(samples) * static_cast<uint64_t>(increment));
}

}  // namespace

void ResampleLinearAVX2(const float* Frames, float* Buffer, int32_t Samples, int64_t Increment, int64_t& Position) {
  TPositions8 p(Position, Increment);
  for (int32_t blocks = Samples >> 3; blocks > 0; --blocks, Buffer += 8) {
    _mm256_storeu_ps(Buffer, Linear8(Frames, p));
    p.Advance();
  }
  if (Samples & 7) LinearTail(Frames, Buffer, Samples & 7, Increment, p.First());
  Position = Advanced(Position, Samples, Increment);
}

void ResampleCubicAVX2(const float* Frames, const float* Table, float* Buffer, int32_t Samples, int64_t Increment,
                       int64_t& Position) {
  TPositions8 p(Position, Increment);
  for (int32_t blocks = Samples >> 3; blocks > 0; --blocks, Buffer += 8) {
    _mm256_storeu_ps(Buffer, Cubic8(Frames, Table, p));
    p.Advance();
  }
  if (Samples & 7) CubicTail(Frames, Table, Buffer, Samples & 7, Increment, p.First());
  Position = Advanced(Position, Samples, Increment);
}

}  // namespace kelvane::detail

#endif
