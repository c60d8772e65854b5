// TVoice's three biquad filters: coefficients once per modulation step,
// ramped linearly across the step, and the direct-form-I sample loop. Audio
// thread; nothing here allocates.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <type_traits>

#include "synth/synth.h"
#include "synth/voice.h"
#include "synth/voice_envelope.h"
#include "synth/voice_filter.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KELVANE_FILTER_SSE 1
#endif

namespace kelvane {

namespace {

constexpr double MinCutoffCents = 1500.0;   // about 19.45 Hz
constexpr double MaxCutoffCents = 13500.0;  // about 19912 Hz
constexpr double MaxResonanceCentibels = 960.0;
constexpr double MaxCutoffPerRate = 0.45;  // highest cutoff as a fraction of the output rate

// detail::FilterSinCos, inlined into the design.
[[gnu::always_inline]] inline void SinCos(double X, double& Sin, double& Cos) {
  if (!(X >= 0.0 && X <= 4.0)) {
    Sin = std::sin(X);
    Cos = std::cos(X);
    return;
  }
  // X = k pi/2 + r + tail with |r| <= pi/4, pi/2 in parts of 33 bits (their
  // multiples by k are exact) and a last part: good to about 118 bits, so
  // that r keeps its precision next to pi/2 and pi, where X - k pi/2 cancels.
  constexpr double TwoOverPi = 6.36619772367581382433e-01;
  constexpr double HalfPi1 = 1.57079632673412561417e+00;
  constexpr double HalfPi2 = 6.07710050630396597660e-11;
  constexpr double HalfPi2Tail = 2.02226624879595063154e-21;
  const auto k = static_cast<int32_t>(X * TwoOverPi + 0.5);
  const double n = k;
  const double t1 = X - n * HalfPi1;
  const double w1 = n * HalfPi2;
  const double t2 = t1 - w1;
  const double w2 = n * HalfPi2Tail - ((t1 - t2) - w1);
  const double r = t2 - w2;
  const double tail = (t2 - r) - w2;
  // Minimax polynomials on |r| <= pi/4, with the tail's first-order terms.
  const double z = r * r;
  const double v = z * r;
  const double sp = 8.33333333332248946124e-03 +
                    z * (-1.98412698298579493134e-04 +
                         z * (2.75573137070700676789e-06 + z * (-2.50507602534068634195e-08 + z * 1.58969099521155010221e-10)));
  const double sinR = r - ((z * (0.5 * tail - v * sp) - tail) - v * -1.66666666666666324348e-01);
  const double z2 = z * z;
  const double cp = z * (4.16666666666666019037e-02 + z * (-1.38888888888741095749e-03 + z * 2.48015872894767294178e-05)) +
                    z2 * z2 * (-2.75573143513906633035e-07 + z * (2.08757232129817482790e-09 + z * -1.13596475577881948265e-11));
  const double halfZ = 0.5 * z;
  const double w = 1.0 - halfZ;
  const double cosR = w + (((1.0 - w) - halfZ) + (z * cp - r * tail));
  switch (k & 3) {
    case 0: Sin = sinR, Cos = cosR; break;
    case 1: Sin = cosR, Cos = -sinR; break;
    case 2: Sin = -sinR, Cos = -cosR; break;
    default: Sin = -cosR, Cos = sinR; break;
  }
}

struct TBiquadTargets {
  float a1, a2, b0, b1, b2;  // feedback coefficients negated
};

// Normalised single-precision coefficients for cutoff FreqHz and resonance
// Centibels (already clamped) at output rate Rate.
TBiquadTargets DesignBiquad(TFilter& F, double FreqHz, float Centibels, double Rate) {
  const double u = F.ResonanceMemo(static_cast<double>(Centibels), [](double cB) {
    return std::pow(10.0, (std::clamp(cB / 10.0, 0.0, 96.0) - 3.01) / 20.0);
  });
  const double g = F.FilterGain;
  const double omega = 2.0 * std::numbers::pi * FreqHz / Rate;
  double s, c;
  SinCos(omega, s, c);

  double alpha;
  double k;
  if (F.FilterType <= 4) {
    alpha = s / (2.0 * u);
    k = std::sqrt(2.0 * g);
  } else {
    // Bandwidth from the unmodulated resonance.
    const float b = std::clamp(F.FilterQ / 96.0f, 1e-6f, 1.0f);
    const double b2 = static_cast<double>(b) * b;
    const double w = 4.0 * b2 * b2 + 0.1;
    alpha = s * std::sin(w * omega / s);
    k = std::fabs(w) > 1e-14 ? std::sqrt(2.0 * g) / w - g * g : std::sqrt(2.0 * g);
  }
  const double t = k * s;

  double b0, b1, b2, a0, a1, a2;
  double h = 1.0;  // output gain
  switch (F.FilterType) {
    case 1:  // low-pass
      b0 = (1.0 - c) / 2.0;
      b1 = 1.0 - c;
      b2 = b0;
      a0 = 1.0 + alpha;
      a1 = -2.0 * c;
      a2 = 1.0 - alpha;
      h = g / std::sqrt(u);
      break;
    case 2:  // high-pass
      b0 = (1.0 + c) / 2.0;
      b1 = -(1.0 + c);
      b2 = b0;
      a0 = 1.0 + alpha;
      a1 = -2.0 * c;
      a2 = 1.0 - alpha;
      h = g / std::sqrt(u);
      break;
    case 3:  // band-pass
      b0 = alpha;
      b1 = 0.0;
      b2 = -alpha;
      a0 = 1.0 + alpha;
      a1 = -2.0 * c;
      a2 = 1.0 - alpha;
      h = g;
      break;
    case 4:  // notch
      b0 = 1.0;
      b1 = -2.0 * c;
      b2 = 1.0;
      a0 = 1.0 + alpha;
      a1 = -2.0 * c;
      a2 = 1.0 - alpha;
      h = g;
      break;
    case 5:  // peaking
      b0 = 1.0 + alpha * g;
      b1 = -2.0 * c;
      b2 = 1.0 - alpha * g;
      a0 = 1.0 + alpha / g;
      a1 = -2.0 * c;
      a2 = 1.0 - alpha / g;
      break;
    case 6:  // low shelf
      b0 = g * ((g + 1.0) - (g - 1.0) * c + t);
      b1 = 2.0 * g * ((g - 1.0) - (g + 1.0) * c);
      b2 = g * ((g + 1.0) - (g - 1.0) * c - t);
      a0 = (g + 1.0) + (g - 1.0) * c + t;
      a1 = -2.0 * ((g - 1.0) + (g + 1.0) * c);
      a2 = (g + 1.0) + (g - 1.0) * c - t;
      break;
    default:  // 7, high shelf
      b0 = g * ((g + 1.0) + (g - 1.0) * c + t);
      b1 = -2.0 * g * ((g - 1.0) + (g + 1.0) * c);
      b2 = g * ((g + 1.0) + (g - 1.0) * c - t);
      a0 = (g + 1.0) - (g - 1.0) * c + t;
      a1 = 2.0 * ((g - 1.0) - (g + 1.0) * c);
      a2 = (g + 1.0) - (g - 1.0) * c - t;
      break;
  }

  const double n = std::fabs(a0) >= 1e-14 ? 1.0 / a0 : 0.0;
  return {static_cast<float>(-a1 * n), static_cast<float>(-a2 * n), static_cast<float>(b0 * n * h),
          static_cast<float>(b1 * n * h), static_cast<float>(b2 * n * h)};
}

// The poles of 1 - a1 z^-1 - a2 z^-2 lie on or inside the unit circle. The
// peaking and shelf terms leave this region for some resonances and gains
// (their bandwidth term turns negative); such a filter would grow without bound.
bool IsStable(const TBiquadTargets& T) { return T.a2 >= -1.0f && std::fabs(T.a1) <= 1.0f - T.a2; }

// Direct form I over Count samples in place; with Ramp every coefficient grows
// by its increment after each sample. Four samples per pass with the state in
// registers; the feedback term of the previous output is added last, which
// keeps the recursion to one multiply and one add per sample.
template <bool Ramp>
void RunBiquad(TFilter& F, float* Buffer, int32_t Count) {
  float b0 = F.b0, b1 = F.b1, b2 = F.b2, a1 = F.a1, a2 = F.a2;
  const float b0i = F.b0incr, b1i = F.b1incr, b2i = F.b2incr, a1i = F.a1incr, a2i = F.a2incr;
  float x1 = F.histb1, x2 = F.histb2, y1 = F.hista1, y2 = F.hista2;

  auto step = [&](float x) {
    const float y = b0 * x + b1 * x1 + b2 * x2 + a2 * y2 + a1 * y1;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    if constexpr (Ramp) {
      b0 += b0i;
      b1 += b1i;
      b2 += b2i;
      a1 += a1i;
      a2 += a2i;
    }
    return y;
  };

  int32_t i = 0;
  for (; i + 4 <= Count; i += 4) {
    const float in0 = Buffer[i], in1 = Buffer[i + 1], in2 = Buffer[i + 2], in3 = Buffer[i + 3];
    Buffer[i] = step(in0);
    Buffer[i + 1] = step(in1);
    Buffer[i + 2] = step(in2);
    Buffer[i + 3] = step(in3);
  }
  for (; i < Count; i++) Buffer[i] = step(Buffer[i]);

  F.histb1 = x1;
  F.histb2 = x2;
  F.hista1 = y1;
  F.hista2 = y2;
  if constexpr (Ramp) {
    F.b0 = b0;
    F.b1 = b1;
    F.b2 = b2;
    F.a1 = a1;
    F.a2 = a2;
  }
}

#ifdef KELVANE_FILTER_SSE
// RunBiquad<false> with the feed-forward sum b0 x + b1 x1 + b2 x2 of four
// samples in one vector (it does not depend on the outputs), and the
// a2 y2 terms of two samples at a time (they reach two outputs back); only
// a1 y1 stays one sample after the other. The sums keep RunBiquad's order.
void RunBiquadSteadySSE(TFilter& F, float* Buffer, int32_t Count) {
  // Scalars live in lane 0; the other lanes carry values nobody reads.
  const __m128 a1 = _mm_set1_ps(F.a1), a2 = _mm_set1_ps(F.a2);
  const __m128 b0 = _mm_set1_ps(F.b0), b1 = _mm_set1_ps(F.b1), b2 = _mm_set1_ps(F.b2);
  __m128 y1 = _mm_set_ss(F.hista1);
  __m128 y = _mm_setr_ps(F.hista2, F.hista1, 0.0f, 0.0f);  // outputs n - 2, n - 1 in lanes 0, 1
  __m128 previous = _mm_setr_ps(0.0f, 0.0f, F.histb2, F.histb1);  // inputs n - 2, n - 1 in lanes 2, 3
  int32_t i = 0;
  for (; i + 4 <= Count; i += 4) {
    const __m128 x = _mm_loadu_ps(Buffer + i);
    const __m128 x2 = _mm_shuffle_ps(previous, x, _MM_SHUFFLE(1, 0, 3, 2));  // inputs n - 2 .. n + 1
    const __m128 x1 = _mm_shuffle_ps(x2, x, _MM_SHUFFLE(2, 1, 2, 1));        // inputs n - 1 .. n + 2
    const __m128 ff = _mm_add_ps(_mm_add_ps(_mm_mul_ps(b0, x), _mm_mul_ps(b1, x1)), _mm_mul_ps(b2, x2));
    const __m128 t01 = _mm_add_ps(ff, _mm_mul_ps(a2, y));
    const __m128 o0 = _mm_add_ss(t01, _mm_mul_ss(a1, y1));
    const __m128 o1 = _mm_add_ss(_mm_shuffle_ps(t01, t01, 1), _mm_mul_ss(a1, o0));
    const __m128 o01 = _mm_unpacklo_ps(o0, o1);
    const __m128 t23 = _mm_add_ps(_mm_movehl_ps(ff, ff), _mm_mul_ps(a2, o01));
    const __m128 o2 = _mm_add_ss(t23, _mm_mul_ss(a1, o1));
    const __m128 o3 = _mm_add_ss(_mm_shuffle_ps(t23, t23, 1), _mm_mul_ss(a1, o2));
    y = _mm_unpacklo_ps(o2, o3);
    _mm_storeu_ps(Buffer + i, _mm_movelh_ps(o01, y));
    y1 = o3;
    previous = x;
  }
  alignas(16) float last[4];
  _mm_store_ps(last, previous);
  F.histb2 = last[2];
  F.histb1 = last[3];
  _mm_store_ps(last, y);
  F.hista2 = last[0];
  F.hista1 = last[1];
  if (i < Count) RunBiquad<false>(F, Buffer + i, Count - i);
}
#endif

void RunBiquadSteady(TFilter& F, float* Buffer, int32_t Count) {
#ifdef KELVANE_FILTER_SSE
  RunBiquadSteadySSE(F, Buffer, Count);
#else
  RunBiquad<false>(F, Buffer, Count);
#endif
}

}  // namespace

void TVoice::RecalculateFilter(TFilter& AFilter) {
  TDoubleMemo unused;
  RecalculateFilter(AFilter, unused);
}

void TVoice::RecalculateFilter(TFilter& AFilter, TDoubleMemo& CutoffMemo) {
  TFilter& F = AFilter;
  if (F.FilterType == 0) {
    F.FilterActive = false;
    return;
  }
  // A filter switches off only once its ramp has run out.
  if (F.FilterCoefIncrCount == 0) F.FilterActive = F.NextFilterActive;

  const double modEnv = ModEnvelope->Output();
  const double mod2Env = Mod2Envelope->Output();
  const double cents = std::clamp(F.FilterFc + ModLFOVal * F.ModLFOToFilterFC + Mod2LFOVal * F.Mod2LFOToFilterFC +
                                      modEnv * F.ModEnvToFilterFC + mod2Env * F.Mod2EnvToFilterFC,
                                  MinCutoffCents, MaxCutoffCents);
  const auto q = static_cast<float>(std::clamp(F.FilterQ + ModLFOVal * F.ModLFOToFilterQ +
                                                   modEnv * F.ModEnvToFilterQ + Mod2LFOVal * F.Mod2LFOToFilterQ +
                                                   mod2Env * F.Mod2EnvToFilterQ,
                                               0.0, MaxResonanceCentibels));
  const double rate = Synth.SampleRate;

  // Most steps repeat the last inputs bit for bit; the full computation
  // would then only settle the active flag the same way.
  auto same = []<typename T>(T a, T b) {
    using TBits = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
    return std::bit_cast<TBits>(a) == std::bit_cast<TBits>(b);
  };
  if (F.SteadyValid && same(cents, F.SteadyCents) && same(q, F.SteadyQ) && same(rate, F.SteadyRate) &&
      same(F.FilterQ, F.SteadyFilterQ) && F.FilterType == F.SteadyType && same(F.LastFilterFc, F.SteadyLastFc) &&
      same(F.LastFilterQ, F.SteadyLastQ) && F.FilterStartup == F.SteadyStartup) {
    F.SettleActive();
    return;
  }

  double freqHz = 440.0 * CutoffMemo(cents, [](double c) { return std::exp2((c - 6900.0) / 1200.0); });
  // A low-pass or high-pass at the highest cutoff without base resonance does nothing audible.
  bool nextActive = true;
  if (freqHz > MaxCutoffPerRate * rate) {
    freqHz = MaxCutoffPerRate * rate;
    nextActive = std::fabs(F.FilterQ) > 1e-10 || (F.FilterType != 1 && F.FilterType != 2);
  }

  const bool changed = std::fabs(freqHz - F.LastFilterFc) > 0.01 || std::fabs(q - F.LastFilterQ) > 0.01;
  TBiquadTargets targets{};
  bool adopt = false;
  if (changed) {
    targets = DesignBiquad(F, freqHz, q, rate);
    // An unstable design bypasses the filter instead; the last stable
    // coefficients stay, and the design is tried again at the next step.
    adopt = IsStable(targets);
    if (!adopt) nextActive = false;
  }
  F.NextFilterActive = nextActive;
  if (nextActive || F.FilterStartup) F.FilterActive = nextActive;
  // A redesign that was refused is tried again with the next inputs, equal or not.
  F.SteadyValid = !changed || adopt;
  if (F.SteadyValid) {
    F.SteadyCents = cents;
    F.SteadyQ = q;
    F.SteadyRate = rate;
    F.SteadyFilterQ = F.FilterQ;
    F.SteadyType = F.FilterType;
  }
  if (!adopt) {
    F.SteadyLastFc = F.LastFilterFc;
    F.SteadyLastQ = F.LastFilterQ;
    F.SteadyStartup = F.FilterStartup;
    return;
  }

  if (F.FilterStartup) {
    F.a1 = targets.a1;
    F.a2 = targets.a2;
    F.b0 = targets.b0;
    F.b1 = targets.b1;
    F.b2 = targets.b2;
    F.a1incr = F.a2incr = F.b0incr = F.b1incr = F.b2incr = 0.0f;
    F.FilterCoefIncrCount = 0;
    F.FilterStartup = false;
  } else {
    const double inv = Synth.InvModulationSamples;
    F.a1incr = static_cast<float>((static_cast<double>(targets.a1) - F.a1) * inv);
    F.a2incr = static_cast<float>((static_cast<double>(targets.a2) - F.a2) * inv);
    F.b0incr = static_cast<float>((static_cast<double>(targets.b0) - F.b0) * inv);
    F.b1incr = static_cast<float>((static_cast<double>(targets.b1) - F.b1) * inv);
    F.b2incr = static_cast<float>((static_cast<double>(targets.b2) - F.b2) * inv);
    F.FilterCoefIncrCount = Synth.ModulationSamples;
  }
  F.LastFilterFc = freqHz;
  F.LastFilterQ = q;
  F.SteadyLastFc = F.LastFilterFc;
  F.SteadyLastQ = F.LastFilterQ;
  F.SteadyStartup = F.FilterStartup;
}

void TVoice::ApplyFilterToBuffer(TFilter& AFilter, float* Buffer, int32_t Count) {
  TFilter& F = AFilter;
  if (Count <= 0) return;
  const int32_t ramp = std::min(Count, F.FilterCoefIncrCount);
  if (!F.FilterActive) {
    // Bypassed: the signal passes, but a running ramp still advances.
    F.AdvanceRamp(ramp);
    return;
  }
  if (ramp > 0) {
    RunBiquad<true>(F, Buffer, ramp);
    F.FilterCoefIncrCount -= ramp;
  }
  if (ramp < Count) RunBiquadSteady(F, Buffer + ramp, Count - ramp);
}

namespace detail {

void FilterSinCos(double X, double& Sin, double& Cos) { SinCos(X, Sin, Cos); }

void ApplyActiveFilterScalar(TFilter& F, float* Buffer, int32_t Count) {
  if (Count <= 0) return;
  const int32_t ramp = std::min(Count, F.FilterCoefIncrCount);
  if (ramp > 0) {
    RunBiquad<true>(F, Buffer, ramp);
    F.FilterCoefIncrCount -= ramp;
  }
  if (ramp < Count) RunBiquad<false>(F, Buffer + ramp, Count - ramp);
}

}  // namespace detail

}  // namespace kelvane
