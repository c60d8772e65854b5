#include "synth/resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "synth/resampler_avx2.h"
#include "synth/synth_init.h"
#include "synth/voice_buffers.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KELVANE_RESAMPLER_SSE 1
#endif

namespace kelvane {

namespace {

// Guard frames before frame 0 of a sample's data.
constexpr int32_t GuardFrames = 2048;
constexpr float FracScale = 1.0f / 4294967296.0f;  // 2^-32

inline int64_t FrameIndex(int64_t position) { return position >> 32; }
inline int32_t TablePhase(int64_t position) {
  return static_cast<int32_t>((position >> ResamplingTablePhaseShift) & (ResamplingTablePhases - 1));
}

// Dot product of N taps in a fixed order: lanes of 4-float vectors, even and
// odd vectors in two accumulators, then ((l0 + l2) + (l1 + l3)). Row is
// 16-byte aligned, Frames is not.
template <int N>
inline float DotScalar(const float* row, const float* frames) {
  static_assert(N % 4 == 0);
  float a0[4] = {0, 0, 0, 0};
  if constexpr (N == 4) {
    for (int l = 0; l < 4; ++l) a0[l] = row[l] * frames[l];
  } else {
    float a1[4] = {0, 0, 0, 0};
    for (int j = 0; j < N; j += 8) {
      for (int l = 0; l < 4; ++l) a0[l] += row[j + l] * frames[j + l];
      for (int l = 0; l < 4; ++l) a1[l] += row[j + 4 + l] * frames[j + 4 + l];
    }
    for (int l = 0; l < 4; ++l) a0[l] += a1[l];
  }
  return (a0[0] + a0[2]) + (a0[1] + a0[3]);
}

#ifdef KELVANE_RESAMPLER_SSE
// Two floats into the low lanes; no alignment needed.
inline __m128 LoadPair(const float* p) { return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))); }
// Two floats into the high lanes of v.
inline __m128 LoadHighPair(__m128 v, const float* p) { return _mm_loadh_pi(v, reinterpret_cast<const __m64*>(p)); }

template <int N>
inline float DotSSE(const float* row, const float* frames) {
  static_assert(N % 4 == 0);
  __m128 a;
  if constexpr (N == 4) {
    a = _mm_mul_ps(_mm_load_ps(row), _mm_loadu_ps(frames));
  } else {
    __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps();
    for (int j = 0; j < N; j += 8) {
      a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_load_ps(row + j), _mm_loadu_ps(frames + j)));
      a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_load_ps(row + j + 4), _mm_loadu_ps(frames + j + 4)));
    }
    a = _mm_add_ps(a0, a1);
  }
  const __m128 pairs = _mm_add_ps(a, _mm_movehl_ps(a, a));  // (l0 + l2, l1 + l3, ..)
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}
#endif

// One output frame per step: the table row of the position's phase applied to
// frames i + FirstTap .. i + FirstTap + N - 1.
template <int N, bool UseSIMD>
void ResampleTable(const float* sampleData, const float* table, int32_t firstTap, float* buffer, int32_t samples,
                   int64_t increment, int64_t& position) {
  const float* base = sampleData + GuardFrames + firstTap;
  int64_t p = position;
  int32_t n = 0;
#ifdef KELVANE_RESAMPLER_SSE
  if constexpr (UseSIMD && N == 4) {
    // Four outputs at a time: the four products side by side, transposed so
    // that each lane sums its own output in DotSSE's order.
    for (; n + 4 <= samples; n += 4) {
      const int64_t p0 = p, p1 = p0 + increment, p2 = p1 + increment, p3 = p2 + increment;
      p = p3 + increment;
      __m128 r0 = _mm_mul_ps(_mm_load_ps(table + static_cast<size_t>(TablePhase(p0)) * 4), _mm_loadu_ps(base + FrameIndex(p0)));
      __m128 r1 = _mm_mul_ps(_mm_load_ps(table + static_cast<size_t>(TablePhase(p1)) * 4), _mm_loadu_ps(base + FrameIndex(p1)));
      __m128 r2 = _mm_mul_ps(_mm_load_ps(table + static_cast<size_t>(TablePhase(p2)) * 4), _mm_loadu_ps(base + FrameIndex(p2)));
      __m128 r3 = _mm_mul_ps(_mm_load_ps(table + static_cast<size_t>(TablePhase(p3)) * 4), _mm_loadu_ps(base + FrameIndex(p3)));
      _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
      _mm_storeu_ps(buffer + n, _mm_add_ps(_mm_add_ps(r0, r2), _mm_add_ps(r1, r3)));
    }
  }
#endif
  for (; n < samples; ++n) {
    const float* row = table + static_cast<size_t>(TablePhase(p)) * N;
    const float* frames = base + FrameIndex(p);
#ifdef KELVANE_RESAMPLER_SSE
    if constexpr (UseSIMD) {
      buffer[n] = DotSSE<N>(row, frames);
    } else {
      buffer[n] = DotScalar<N>(row, frames);
    }
#else
    buffer[n] = DotScalar<N>(row, frames);
#endif
    p += increment;
  }
  position = p;
}

template <bool UseSIMD>
void ResampleTableAnyN(const float* sampleData, const float* table, int32_t points, int32_t firstTap, float* buffer,
                       int32_t samples, int64_t increment, int64_t& position) {
  switch (points) {
    case 4: return ResampleTable<4, UseSIMD>(sampleData, table, firstTap, buffer, samples, increment, position);
    case 8: return ResampleTable<8, UseSIMD>(sampleData, table, firstTap, buffer, samples, increment, position);
    case 16: return ResampleTable<16, UseSIMD>(sampleData, table, firstTap, buffer, samples, increment, position);
    case 32: return ResampleTable<32, UseSIMD>(sampleData, table, firstTap, buffer, samples, increment, position);
    case 64: return ResampleTable<64, UseSIMD>(sampleData, table, firstTap, buffer, samples, increment, position);
    case 128: return ResampleTable<128, UseSIMD>(sampleData, table, firstTap, buffer, samples, increment, position);
    case 256: return ResampleTable<256, UseSIMD>(sampleData, table, firstTap, buffer, samples, increment, position);
    case 512: return ResampleTable<512, UseSIMD>(sampleData, table, firstTap, buffer, samples, increment, position);
    case 1024: return ResampleTable<1024, UseSIMD>(sampleData, table, firstTap, buffer, samples, increment, position);
    default: position += samples * increment; return;
  }
}

constexpr bool UseSIMDKernels = true;

// The AVX2 kernels where the processor runs them, decided once at start-up.
const bool UseAVX2Kernels = detail::CPUHasAVX2();

template <int N>
void ResampleFastSINC(const TResampleContext& context, float* buffer, int32_t samples, int64_t increment,
                      int64_t& position) {
  const float* table = FastSINCTable(N);
  if (!context.SampleData || !table || samples <= 0) return;
  const int32_t level = std::clamp(context.CutOffLevel, 0, FastSINCLevels - 1);
  const float* levelTable = table + static_cast<size_t>(level) * ResamplingTablePhases * N;
  ResampleTable<N, UseSIMDKernels>(context.SampleData, levelTable, -N / 2, buffer, samples, increment, position);
}

// A single-precision sum that is not a normal number (or zero) becomes 0.
inline float Sanitized(float sum) { return std::isnormal(sum) ? sum : 0.0f; }

}  // namespace

namespace detail {

bool CPUHasAVX2() {
#ifdef KELVANE_AVX2_KERNELS
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

void ResampleTableScalar(const float* SampleData, const float* Table, int32_t Points, int32_t FirstTap,
                         float* Buffer, int32_t Samples, int64_t Increment, int64_t& Position) {
  ResampleTableAnyN<false>(SampleData, Table, Points, FirstTap, Buffer, Samples, Increment, Position);
}

void ResampleTableSIMD(const float* SampleData, const float* Table, int32_t Points, int32_t FirstTap,
                       float* Buffer, int32_t Samples, int64_t Increment, int64_t& Position) {
  ResampleTableAnyN<true>(SampleData, Table, Points, FirstTap, Buffer, Samples, Increment, Position);
}

}  // namespace detail

void ResampleNone(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                  int64_t& Position) {
  if (!Context.SampleData || Samples <= 0) return;
  std::memcpy(Buffer, Context.SampleData + GuardFrames + FrameIndex(Position), sizeof(float) * size_t(Samples));
  Position += Samples * Increment;
}

void ResampleNearest(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                     int64_t& Position) {
  if (!Context.SampleData || Samples <= 0) return;
  const float* base = Context.SampleData + GuardFrames;
  int64_t p = Position;
  for (int32_t n = 0; n < Samples; ++n) {
    Buffer[n] = base[FrameIndex(p)];
    p += Increment;
  }
  Position = p;
}

namespace {

void LinearRun(const float* base, float* Buffer, int32_t Samples, int64_t Increment, int64_t& Position, int32_t n) {
  int64_t p = Position;
  for (; n < Samples; ++n) {
    const float* f = base + FrameIndex(p);
    const float w = static_cast<float>(static_cast<uint32_t>(p)) * FracScale;
    Buffer[n] = f[0] + (f[1] - f[0]) * w;
    p += Increment;
  }
  Position = p;
}

}  // namespace

void detail::ResampleLinearScalar(const float* SampleData, float* Buffer, int32_t Samples, int64_t Increment,
                                  int64_t& Position) {
  if (!SampleData || Samples <= 0) return;
  LinearRun(SampleData + GuardFrames, Buffer, Samples, Increment, Position, 0);
}

void detail::ResampleLinearSIMD(const float* SampleData, float* Buffer, int32_t Samples, int64_t Increment,
                                int64_t& Position) {
  if (!SampleData || Samples <= 0) return;
  const float* base = SampleData + GuardFrames;
  int32_t n = 0;
#ifdef KELVANE_RESAMPLER_SSE
  int64_t p = Position;
  const __m128i low16 = _mm_set1_epi32(0xFFFF);
  const __m128 highScale = _mm_set1_ps(0x1p-16f), lowScale = _mm_set1_ps(FracScale);
  // The fractions are the low halves of the positions, and those add with
  // wrap-around on their own: four lanes step by four increments.
  __m128i frac = _mm_setr_epi32(static_cast<int32_t>(p), static_cast<int32_t>(p + Increment),
                                static_cast<int32_t>(p + 2 * Increment), static_cast<int32_t>(p + 3 * Increment));
  const __m128i fracStep = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint64_t>(Increment) * 4));
  for (; n + 4 <= Samples; n += 4) {
    const int64_t p0 = p, p1 = p0 + Increment, p2 = p1 + Increment, p3 = p2 + Increment;
    p = p3 + Increment;
    // Frame pairs f[0], f[1] of the four positions: (a0 b0 a1 b1), (a2 b2 a3 b3).
    const __m128 q01 = LoadHighPair(LoadPair(base + FrameIndex(p0)), base + FrameIndex(p1));
    const __m128 q23 = LoadHighPair(LoadPair(base + FrameIndex(p2)), base + FrameIndex(p3));
    const __m128 a = _mm_shuffle_ps(q01, q23, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 b = _mm_shuffle_ps(q01, q23, _MM_SHUFFLE(3, 1, 3, 1));
    // The unsigned 32-bit fractions to float: both 16-bit halves scale
    // exactly, so their sum is rounded once, as a direct conversion is.
    const __m128 high = _mm_mul_ps(_mm_cvtepi32_ps(_mm_srli_epi32(frac, 16)), highScale);
    const __m128 w = _mm_add_ps(high, _mm_mul_ps(_mm_cvtepi32_ps(_mm_and_si128(frac, low16)), lowScale));
    _mm_storeu_ps(Buffer + n, _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), w)));
    frac = _mm_add_epi32(frac, fracStep);
  }
  Position = p;
#endif
  LinearRun(base, Buffer, Samples, Increment, Position, n);
}

void ResampleLinear(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                    int64_t& Position) {
  if (!Context.SampleData || Samples <= 0) return;
  if (UseAVX2Kernels) {
    return detail::ResampleLinearAVX2(Context.SampleData + GuardFrames, Buffer, Samples, Increment, Position);
  }
  detail::ResampleLinearSIMD(Context.SampleData, Buffer, Samples, Increment, Position);
}

void ResampleCubicSpline(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                         int64_t& Position) {
  const float* table = CubicTableRow(0);
  if (!Context.SampleData || !table || Samples <= 0) return;
  if (UseAVX2Kernels) {
    return detail::ResampleCubicAVX2(Context.SampleData + GuardFrames, table, Buffer, Samples, Increment, Position);
  }
  ResampleTable<CubicTablePoints, UseSIMDKernels>(Context.SampleData, table, -1, Buffer, Samples, Increment,
                                                  Position);
}

void ResamplePolyphaseFIR(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                          int64_t& Position) {
  // Ratio up to 19: table A; up to 24: B; above: C.
  const uint64_t ratio = Increment < 0 ? 0 - static_cast<uint64_t>(Increment) : static_cast<uint64_t>(Increment);
  const int32_t which = ratio <= (uint64_t{19} << 32) ? 0 : ratio <= (uint64_t{24} << 32) ? 1 : 2;
  const float* table = PolyphaseTable(which);
  if (!Context.SampleData || !table || Samples <= 0) return;
  ResampleTable<PolyphaseTablePoints, UseSIMDKernels>(Context.SampleData, table, -3, Buffer, Samples, Increment,
                                                      Position);
}

void ResampleFastSINC8(const TResampleContext& C, float* B, int32_t S, int64_t I, int64_t& P) {
  ResampleFastSINC<8>(C, B, S, I, P);
}
void ResampleFastSINC16(const TResampleContext& C, float* B, int32_t S, int64_t I, int64_t& P) {
  ResampleFastSINC<16>(C, B, S, I, P);
}
void ResampleFastSINC32(const TResampleContext& C, float* B, int32_t S, int64_t I, int64_t& P) {
  ResampleFastSINC<32>(C, B, S, I, P);
}
void ResampleFastSINC64(const TResampleContext& C, float* B, int32_t S, int64_t I, int64_t& P) {
  ResampleFastSINC<64>(C, B, S, I, P);
}
void ResampleFastSINC128(const TResampleContext& C, float* B, int32_t S, int64_t I, int64_t& P) {
  ResampleFastSINC<128>(C, B, S, I, P);
}
void ResampleFastSINC256(const TResampleContext& C, float* B, int32_t S, int64_t I, int64_t& P) {
  ResampleFastSINC<256>(C, B, S, I, P);
}
void ResampleFastSINC512(const TResampleContext& C, float* B, int32_t S, int64_t I, int64_t& P) {
  ResampleFastSINC<512>(C, B, S, I, P);
}
void ResampleFastSINC1024(const TResampleContext& C, float* B, int32_t S, int64_t I, int64_t& P) {
  ResampleFastSINC<1024>(C, B, S, I, P);
}

void ResampleSINC(const TResampleContext& Context, float* Buffer, int32_t Samples, int64_t Increment,
                  int64_t& Position) {
  if (!Context.SampleData || Samples <= 0) return;
  constexpr double pi = std::numbers::pi;
  constexpr double besselTolerance = 1e-6;
  const int32_t n = std::clamp(Context.Points, 2, 1024);
  const int32_t half = n / 2;
  const double ratio = std::fabs(static_cast<double>(Increment)) / 4294967296.0;
  // Cut-off as a fraction of the source Nyquist: 1 pitching down, 1/ratio up.
  const double c = ratio > 0.0 ? std::clamp(1.0 / ratio, 1e-18, 1.0) : 1.0;
  const double beta = SINCKaiserBeta();
  const double i0Beta = BesselI0(beta, besselTolerance);
  const float* base = Context.SampleData + GuardFrames;
  int64_t p = Position;
  for (int32_t o = 0; o < Samples; ++o) {
    const int64_t i = FrameIndex(p);
    const double f = static_cast<uint32_t>(p) / 4294967296.0;
    const float* frames = base + i - half;
    float sum = 0.0f;
    for (int32_t k = 0; k < n; ++k) {
      const double x = k - f - half;
      const double r = x / half;
      if (std::fabs(r) >= 1.0) continue;  // outside the window
      const double s = std::fabs(pi * x) < 1e-18 ? c : std::sin(c * pi * x) / (pi * x);
      const double w = BesselI0(beta * std::sqrt(1.0 - r * r), besselTolerance) / i0Beta;
      sum += static_cast<float>(s * w * frames[k]);
    }
    Buffer[o] = Sanitized(sum);
    p += Increment;
  }
  Position = p;
}

TResampleProc ResamplerForMethod(int32_t Method) {
  switch (Method) {
    case rmLinear: return ResampleLinear;
    case rmCubicSpline: return ResampleCubicSpline;
    case rmPolyphaseFIR: return ResamplePolyphaseFIR;
    case rmFastSINC8 + 0: return ResampleFastSINC8;
    case rmFastSINC8 + 1: return ResampleFastSINC16;
    case rmFastSINC8 + 2: return ResampleFastSINC32;
    case rmFastSINC8 + 3: return ResampleFastSINC64;
    case rmFastSINC8 + 4: return ResampleFastSINC128;
    case rmFastSINC8 + 5: return ResampleFastSINC256;
    case rmFastSINC8 + 6: return ResampleFastSINC512;
    case rmFastSINC8 + 7: return ResampleFastSINC1024;
    default: return Method >= rmSINC8 && Method <= rmLastMethod ? ResampleSINC : ResampleNearest;
  }
}

void ProcessBufferInterpolation(float* Destination, const float* A, const float* B, int32_t Count, float Weight) {
  const float inverse = 1.0f - Weight;
  int32_t i = 0;
#ifdef KELVANE_RESAMPLER_SSE
  const __m128 vInverse = _mm_set1_ps(inverse), vWeight = _mm_set1_ps(Weight);
  for (; i + 4 <= Count; i += 4) {
    const __m128 a = _mm_mul_ps(_mm_loadu_ps(A + i), vInverse);
    _mm_storeu_ps(Destination + i, _mm_add_ps(a, _mm_mul_ps(_mm_loadu_ps(B + i), vWeight)));
  }
#endif
  for (; i < Count; ++i) Destination[i] = A[i] * inverse + B[i] * Weight;
}

TSINCCutOff ComputeSINCCutOff(int64_t Increment, bool FastSINCActive) {
  TSINCCutOff result;
  if (!FastSINCActive) return result;
  // Cut-off level boundaries T[k] = trunc(2^(k/12) * 2^32), built by InitSynth.
  const auto t = [](int32_t k) { return static_cast<int64_t>(PitchIncrementTable[static_cast<size_t>(k)]); };
  if (Increment > ResampleOne) {
    // 12/ln 2: semitones of upward transposition.
    const double semitones = std::floor(std::log(Increment / 4294967296.0) * 17.31234049066756);
    int32_t level = static_cast<int32_t>(std::clamp(semitones, 0.0, double(FastSINCLevels - 1)));
    // The logarithm rounds below exact semitones (an octave gives 11.999...):
    // settle on the table so that T[L] <= increment < T[L + 1].
    while (level < FastSINCLevels - 1 && Increment >= t(level + 1)) ++level;
    while (level > 0 && Increment < t(level)) --level;
    result.Level = level;
    result.NextLevel =
        Increment == t(result.Level) ? result.Level : std::min(result.Level + 1, FastSINCLevels - 1);
  }
  const int64_t low = t(result.Level), high = t(result.NextLevel);
  if (result.Level != result.NextLevel && low < high) {
    result.Frac = static_cast<float>(std::clamp(double(Increment - low) / double(high - low), 0.0, 1.0));
  }
  return result;
}

TResamplerChoice ChooseResampler(int64_t Increment, double PhaseInc, int32_t PreviousMethod, int32_t SynthMethod,
                                 bool SynthFastSINCActive, TResampleProc ResamplingProc) {
  if (Increment == ResampleOne) return {-1, false, ResampleNone};
  // Within one cent of 1, unless the voice already plays through a table or sinc method.
  const bool withinOneCent = PhaseInc >= 0.9994225441413808 && PhaseInc <= 1.0005777895065548;
  const bool keepsMethod = PreviousMethod >= rmCubicSpline && PreviousMethod <= rmLastMethod;
  if (withinOneCent && !keepsMethod) return {rmNearest, false, ResampleNearest};
  return {SynthMethod, SynthFastSINCActive, ResamplingProc};
}

TResampleScratch InterpolationScratch(TVoiceBuffers& Buffers) {
  return {Buffers.VoiceMonoBufferResamplingInterpolationA0.data(), Buffers.VoiceMonoBufferResamplingInterpolationA1.data(),
          Buffers.VoiceMonoBufferResamplingInterpolationB0.data(), Buffers.VoiceMonoBufferResamplingInterpolationB1.data()};
}

void ResampleInterpolated(TResampleContext& Context, const TResampleInterpolation& Interpolation,
                          const TResampleScratch& Scratch, float* Buffer, int32_t Samples, int64_t Increment,
                          int64_t& Position) {
  const TResampleProc proc = Interpolation.ProcToUse;
  const TSINCCutOff& cutOff = Interpolation.CutOff;
  Context.CutOffLevel = cutOff.Level;
  const bool tableMethod = Interpolation.Method >= rmCubicSpline && Interpolation.Method < rmSINC8;
  if (Interpolation.FracMask == 0 || !tableMethod || Interpolation.InterpolationMode == 0) {
    proc(Context, Buffer, Samples, Increment, Position);
    return;
  }
  const int64_t p0 = Position;
  // Weight of the next table phase; constant for the call.
  const float w = static_cast<float>(static_cast<double>(Increment & Interpolation.FracMask) * Interpolation.FracFactor);
  if (Interpolation.InterpolationMode == 2 && Interpolation.FastSINCActive && cutOff.Level != cutOff.NextLevel &&
      cutOff.Frac != 0.0f) {
    if (w != 0.0f) {
      int64_t p = p0 + ResamplingTableFracLen;
      proc(Context, Scratch.A0, Samples, Increment, Position);
      proc(Context, Scratch.A1, Samples, Increment, p);
      ProcessBufferInterpolation(Scratch.B0, Scratch.A0, Scratch.A1, Samples, w);
      Context.CutOffLevel = cutOff.NextLevel;
      p = p0;
      proc(Context, Scratch.A0, Samples, Increment, p);
      p = p0 + ResamplingTableFracLen;
      proc(Context, Scratch.A1, Samples, Increment, p);
      ProcessBufferInterpolation(Scratch.B1, Scratch.A0, Scratch.A1, Samples, w);
    } else {
      proc(Context, Scratch.B0, Samples, Increment, Position);
      Context.CutOffLevel = cutOff.NextLevel;
      int64_t p = p0;
      proc(Context, Scratch.B1, Samples, Increment, p);
    }
    ProcessBufferInterpolation(Buffer, Scratch.B0, Scratch.B1, Samples, cutOff.Frac);
    return;
  }
  if (w == 0.0f) {
    proc(Context, Buffer, Samples, Increment, Position);
    return;
  }
  int64_t p = p0 + ResamplingTableFracLen;
  proc(Context, Scratch.A0, Samples, Increment, Position);
  proc(Context, Scratch.A1, Samples, Increment, p);
  ProcessBufferInterpolation(Buffer, Scratch.A0, Scratch.A1, Samples, w);
}

}  // namespace kelvane
