#include "synth/mixing.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "synth/mixing_avx2.h"
#include "synth/resampler_avx2.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KELVANE_MIXING_SSE 1
#endif

namespace kelvane {

namespace {

// The AVX2 kernels where the processor runs them, decided once at start-up.
const bool UseAVX2Kernels = detail::CPUHasAVX2();

}  // namespace

// The kernels walk the frames as flat float arrays so the compiler can vectorise
// them (eight floats = four frames per step).

void MixToBuffer(const TBufferSample* Source, TBufferSample* Destination, int32_t Count) {
  const float* __restrict src = reinterpret_cast<const float*>(Source);
  float* __restrict dst = reinterpret_cast<float*>(Destination);
  const int32_t n = Count * 2;
  for (int32_t i = 0; i < n; i++) dst[i] += src[i];
}

void AmpMixToBuffer(const TBufferSample* Source, TBufferSample* Destination, int32_t Count, float Amp) {
  const float* __restrict src = reinterpret_cast<const float*>(Source);
  float* __restrict dst = reinterpret_cast<float*>(Destination);
  const int32_t n = Count * 2;
  for (int32_t i = 0; i < n; i++) dst[i] += src[i] * Amp;
}

void AmplifyBuffer(TBufferSample* Buffer, int32_t Count, float Amp) {
  float* __restrict data = reinterpret_cast<float*>(Buffer);
  const int32_t n = Count * 2;
  for (int32_t i = 0; i < n; i++) data[i] *= Amp;
}

namespace {

inline void MixFrame(const TVoiceMixTargets& T, int32_t i, float left, float right) {
  T.Dry[i].Left += left;
  T.Dry[i].Right += right;
  if (T.Chorus != nullptr) {
    T.Chorus[i].Left += left * T.AmpChorus;
    T.Chorus[i].Right += right * T.AmpChorus;
  }
  if (T.Reverb != nullptr) {
    T.Reverb[i].Left += left * T.AmpReverb;
    T.Reverb[i].Right += right * T.AmpReverb;
  }
}

// The ramp: each gain depends on the one before, so it stays one frame at a time.
inline int32_t MixVoiceRamp(const float* Mono, int32_t Count, TVoiceMixGain& Gain, const TVoiceMixTargets& T) {
  const int32_t ramp = std::clamp(Gain.Ramp, 0, Count);
  float left = Gain.Left, right = Gain.Right;
  for (int32_t i = 0; i < ramp; i++) {
    left += Gain.IncLeft;
    right += Gain.IncRight;
    MixFrame(T, i, Mono[i] * left, Mono[i] * right);
  }
  Gain.Left = left;
  Gain.Right = right;
  Gain.Ramp -= ramp;
  return ramp;
}

#ifdef KELVANE_MIXING_SSE
// Two floats into the low lanes; no alignment needed.
inline __m128 LoadPair(const float* p) { return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))); }

inline void AddTo(TBufferSample* Frames, __m128 Value) {
  float* p = reinterpret_cast<float*>(Frames);
  _mm_storeu_ps(p, _mm_add_ps(_mm_loadu_ps(p), Value));
}
#endif

}  // namespace

namespace detail {

TBufferSample MixVoiceScalar(const float* Mono, int32_t Count, TVoiceMixGain& Gain, const TVoiceMixTargets& Targets) {
  int32_t i = MixVoiceRamp(Mono, Count, Gain, Targets);
  for (; i < Count; i++) MixFrame(Targets, i, Mono[i] * Gain.Left, Mono[i] * Gain.Right);
  return {{{Mono[Count - 1] * Gain.Left, Mono[Count - 1] * Gain.Right}}};
}

}  // namespace detail

#ifdef KELVANE_MIXING_SSE
namespace {

// The targets are copied into locals: stores through them could otherwise
// alias the structure and reload it at every frame.
template <bool HasChorus, bool HasReverb>
TBufferSample MixVoiceSSE(const float* Mono, int32_t Count, TVoiceMixGain& Gain, const TVoiceMixTargets& Targets) {
  TBufferSample* const dry = Targets.Dry;
  TBufferSample* const chorus = Targets.Chorus;
  TBufferSample* const reverb = Targets.Reverb;
  const __m128 ampChorus = _mm_set1_ps(Targets.AmpChorus), ampReverb = _mm_set1_ps(Targets.AmpReverb);
  auto mix2 = [&](int32_t i, __m128 s) {  // frames i, i + 1
    AddTo(dry + i, s);
    if constexpr (HasChorus) AddTo(chorus + i, _mm_mul_ps(s, ampChorus));
    if constexpr (HasReverb) AddTo(reverb + i, _mm_mul_ps(s, ampReverb));
  };
  int32_t i = 0;
  // The ramp four, then two frames at a time; the gains still step one frame after the other.
  const int32_t ramp = std::clamp(Gain.Ramp, 0, Count);
  if (ramp >= 2) {
    __m128 g = _mm_setr_ps(Gain.Left, Gain.Right, 0.0f, 0.0f);
    const __m128 inc = _mm_setr_ps(Gain.IncLeft, Gain.IncRight, 0.0f, 0.0f);
    for (; i + 4 <= ramp; i += 4) {
      const __m128 g1 = _mm_add_ps(g, inc);
      const __m128 g2 = _mm_add_ps(g1, inc);
      const __m128 g3 = _mm_add_ps(g2, inc);
      g = _mm_add_ps(g3, inc);
      const __m128 m = _mm_loadu_ps(Mono + i);
      mix2(i, _mm_mul_ps(_mm_unpacklo_ps(m, m), _mm_movelh_ps(g1, g2)));
      mix2(i + 2, _mm_mul_ps(_mm_unpackhi_ps(m, m), _mm_movelh_ps(g3, g)));
    }
    for (; i + 2 <= ramp; i += 2) {
      const __m128 g1 = _mm_add_ps(g, inc);
      g = _mm_add_ps(g1, inc);
      const __m128 m = LoadPair(Mono + i);
      mix2(i, _mm_mul_ps(_mm_unpacklo_ps(m, m), _mm_movelh_ps(g1, g)));
    }
    float gains[4];
    _mm_storeu_ps(gains, g);
    Gain.Left = gains[0];
    Gain.Right = gains[1];
    Gain.Ramp -= i;
  }
  if (i < ramp) {  // one frame of the ramp left
    TVoiceMixGain rest = Gain;
    MixVoiceRamp(Mono + i, 1, rest, TVoiceMixTargets{dry + i, HasChorus ? chorus + i : nullptr, Targets.AmpChorus,
                                                     HasReverb ? reverb + i : nullptr, Targets.AmpReverb});
    Gain = rest;
    i++;
  }
  const float left = Gain.Left, right = Gain.Right;
  const __m128 gain = _mm_setr_ps(left, right, left, right);
  for (; i + 4 <= Count; i += 4) {
    const __m128 m = _mm_loadu_ps(Mono + i);
    mix2(i, _mm_mul_ps(_mm_unpacklo_ps(m, m), gain));
    mix2(i + 2, _mm_mul_ps(_mm_unpackhi_ps(m, m), gain));
  }
  for (; i < Count; i++) MixFrame(Targets, i, Mono[i] * left, Mono[i] * right);
  return {{{Mono[Count - 1] * left, Mono[Count - 1] * right}}};
}

}  // namespace
#endif

TBufferSample MixVoice(const float* Mono, int32_t Count, TVoiceMixGain& Gain, const TVoiceMixTargets& Targets) {
#ifdef KELVANE_MIXING_SSE
  if (Targets.Chorus != nullptr) {
    return Targets.Reverb != nullptr ? MixVoiceSSE<true, true>(Mono, Count, Gain, Targets)
                                     : MixVoiceSSE<true, false>(Mono, Count, Gain, Targets);
  }
  return Targets.Reverb != nullptr ? MixVoiceSSE<false, true>(Mono, Count, Gain, Targets)
                                   : MixVoiceSSE<false, false>(Mono, Count, Gain, Targets);
#else
  return detail::MixVoiceScalar(Mono, Count, Gain, Targets);
#endif
}

namespace {

// Applied here as well, so that a residue ends on an FPU that does not flush.
constexpr double ResidueFlushBelow = ClickResidueFlushBelow;

#if defined(KELVANE_MIXING_SSE)
// A further buffer the residue goes to, times Amp.
struct TResidueSend {
  float* Data;
  __m128d Amp;
};

// The residue stays a float between steps (so flush-to-zero ends it); the
// decay is applied in double so that a factor close to 1 keeps its precision.
// One frame at a time from the previous frame, so that the residue is the
// same however the frames are cut into blocks; once both sides reached zero
// the rest adds nothing, wherever the block ends. Unity: Amp is 1, and the
// added value is the residue itself. The decay is a chain of dependent
// operations; the sends share it.
template <bool Unity>
void ProcClickRemovalSSE(TBufferSample& Last, float* __restrict data, int32_t Count, double Factor, double Amp,
                         const TResidueSend* Sends, int32_t SendCount) {
  const __m128d factor = _mm_set1_pd(Factor);
  const __m128d amp = _mm_set1_pd(Amp);
  const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
  const __m128d flushBelow = _mm_set1_pd(ResidueFlushBelow);
  __m128 residue = _mm_setr_ps(Last.Left, Last.Right, 0.0f, 0.0f);
  __m128d wide = _mm_cvtps_pd(residue);
  auto added = [amp](__m128 r, __m128d d) {
    if constexpr (Unity) return r;
    return _mm_cvtpd_ps(_mm_mul_pd(d, amp));
  };
  auto sent = [](__m128d d, __m128d a) { return _mm_cvtpd_ps(_mm_mul_pd(d, a)); };
  auto addFour = [](float* frames, __m128 a1, __m128 a2, __m128 a3, __m128 a4) {
    _mm_storeu_ps(frames, _mm_add_ps(_mm_loadu_ps(frames), _mm_movelh_ps(a1, a2)));
    _mm_storeu_ps(frames + 4, _mm_add_ps(_mm_loadu_ps(frames + 4), _mm_movelh_ps(a3, a4)));
  };
  auto addOne = [](float* frame, __m128 a) {
    const __m128 sum = _mm_add_ps(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(frame))), a);
    _mm_store_sd(reinterpret_cast<double*>(frame), _mm_castps_pd(sum));
  };
  int32_t i = 0;
  while (i < Count) {
    // Four frames without the flush test, kept only if no side came near the
    // flush: |residue| moves monotonically (towards zero for a factor below
    // 1, away from it otherwise), so the residue before and the last product
    // bound the others. A side that is zero stays zero and never flushes.
    if (i + 4 <= Count) {
      const int32_t zero = _mm_movemask_pd(_mm_cmpeq_pd(wide, _mm_setzero_pd()));
      const __m128 r1 = _mm_cvtpd_ps(_mm_mul_pd(wide, factor));
      const __m128d d1 = _mm_cvtps_pd(r1);
      const __m128 r2 = _mm_cvtpd_ps(_mm_mul_pd(d1, factor));
      const __m128d d2 = _mm_cvtps_pd(r2);
      const __m128 r3 = _mm_cvtpd_ps(_mm_mul_pd(d2, factor));
      const __m128d d3 = _mm_cvtps_pd(r3);
      const __m128d p4 = _mm_mul_pd(d3, factor);
      const __m128d least = _mm_min_pd(_mm_and_pd(wide, magnitude), _mm_and_pd(p4, magnitude));
      const int32_t clear = _mm_movemask_pd(_mm_cmpge_pd(least, flushBelow));
      if ((clear | zero) == 3) {
        const __m128 r4 = _mm_cvtpd_ps(p4);
        const __m128d d4 = _mm_cvtps_pd(r4);
        addFour(data + i * 2, added(r1, d1), added(r2, d2), added(r3, d3), added(r4, d4));
        for (int32_t s = 0; s < SendCount; s++) {
          const __m128d a = Sends[s].Amp;
          addFour(Sends[s].Data + i * 2, sent(d1, a), sent(d2, a), sent(d3, a), sent(d4, a));
        }
        residue = r4;
        wide = d4;
        i += 4;
        continue;
      }
    }
    // Near the end: frame by frame with the flush, until both sides are zero.
    const int32_t end = std::min(Count, i + 4);
    for (; i < end; i++) {
      __m128d p = _mm_mul_pd(wide, factor);
      const __m128d tiny = _mm_cmplt_pd(_mm_and_pd(p, magnitude), flushBelow);
      p = _mm_andnot_pd(_mm_and_pd(tiny, magnitude), p);  // keeps the sign bit
      residue = _mm_cvtpd_ps(p);
      wide = _mm_cvtps_pd(residue);
      addOne(data + i * 2, added(residue, wide));
      for (int32_t s = 0; s < SendCount; s++) addOne(Sends[s].Data + i * 2, sent(wide, Sends[s].Amp));
      if (_mm_movemask_ps(_mm_cmpneq_ps(residue, _mm_setzero_ps())) == 0) {
        i = Count;
        break;
      }
    }
  }
  Last.Left = _mm_cvtss_f32(residue);
  Last.Right = _mm_cvtss_f32(_mm_shuffle_ps(residue, residue, 1));
}
#endif

}  // namespace

void ProcClickRemoval(TBufferSample& Last, TBufferSample* Buffer, int32_t Count, double Factor, double Amp,
                      TBufferSample* Buffer1, double Amp1, TBufferSample* Buffer2, double Amp2) {
  if ((Last.Left == 0.0f && Last.Right == 0.0f) || Count <= 0) return;
  float* __restrict data = reinterpret_cast<float*>(Buffer);
#if defined(KELVANE_MIXING_SSE)
  TResidueSend sends[2];
  int32_t sendCount = 0;
  if (Buffer1 != nullptr) sends[sendCount++] = {reinterpret_cast<float*>(Buffer1), _mm_set1_pd(Amp1)};
  if (Buffer2 != nullptr) sends[sendCount++] = {reinterpret_cast<float*>(Buffer2), _mm_set1_pd(Amp2)};
  if (Amp == 1.0) {
    ProcClickRemovalSSE<true>(Last, data, Count, Factor, Amp, sends, sendCount);
  } else {
    ProcClickRemovalSSE<false>(Last, data, Count, Factor, Amp, sends, sendCount);
  }
#else
  auto decay = [Factor](float r) {
    const double p = r * Factor;
    return std::fabs(p) < ResidueFlushBelow ? std::copysign(0.0f, static_cast<float>(p)) : static_cast<float>(p);
  };
  auto add = [](TBufferSample* target, int32_t i, float left, float right, double amp) {
    if (target == nullptr) return;
    target[i].Left += static_cast<float>(left * amp);
    target[i].Right += static_cast<float>(right * amp);
  };
  float left = Last.Left;
  float right = Last.Right;
  for (int32_t i = 0; i < Count; i++) {
    left = decay(left);
    right = decay(right);
    add(Buffer, i, left, right, Amp);
    add(Buffer1, i, left, right, Amp1);
    add(Buffer2, i, left, right, Amp2);
    if (left == 0.0f && right == 0.0f) break;
  }
  Last.Left = left;
  Last.Right = right;
#endif
}

namespace detail {

void AddClickResidueSSE(const TBufferSample* Residue, int32_t Frames, TBufferSample* const* Targets,
                        const double* Amps, int32_t Count, bool Unity) {
  const float* r = &Residue->Left;
  for (int32_t k = 0; k < Count; k++) {
    float* data = &Targets[k]->Left;
    const bool same = k == 0 && Unity;
    int32_t i = 0;
#if defined(KELVANE_MIXING_SSE)
    const __m128d amp = _mm_set1_pd(Amps[k]);
    for (; i + 2 <= Frames; i += 2) {
      const __m128 v = _mm_loadu_ps(r + 2 * i);
      __m128 add = v;
      if (!same) {
        const __m128 low = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(v), amp));
        const __m128 high = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(v, v)), amp));
        add = _mm_movelh_ps(low, high);
      }
      _mm_storeu_ps(data + 2 * i, _mm_add_ps(_mm_loadu_ps(data + 2 * i), add));
    }
#endif
    for (i *= 2; i < 2 * Frames; i++) data[i] += static_cast<float>(r[i] * Amps[k]);
  }
}

}  // namespace detail

void AddClickResidue(const TBufferSample* Residue, int32_t Count, TBufferSample* Buffer, double Amp,
                     TBufferSample* Buffer1, double Amp1, TBufferSample* Buffer2, double Amp2) {
  if (Count <= 0) return;
  TBufferSample* targets[3];
  double amps[3];
  int32_t n = 0;
  for (auto [target, amp] : {std::pair{Buffer, Amp}, std::pair{Buffer1, Amp1}, std::pair{Buffer2, Amp2}}) {
    if (target == nullptr) continue;
    targets[n] = target;
    amps[n++] = amp;
  }
  // Times 1 the product in double rounds back to the residue itself.
  const bool unity = n > 0 && targets[0] == Buffer && Amp == 1.0;
  if (UseAVX2Kernels) {
    detail::AddClickResidueAVX2(Residue, Count, targets, amps, n, unity);
  } else {
    detail::AddClickResidueSSE(Residue, Count, targets, amps, n, unity);
  }
}

void ApplyAutomaticGainControl(TBufferSample* Buffer, int32_t Count, float& AGCFactor, float AGCAttackFactor,
                               float AGCReleaseFactor) {
  const double attack = AGCAttackFactor;
  const double release = AGCReleaseFactor;
  float factor = AGCFactor;
  for (int32_t i = 0; i < Count; i++) {
    TBufferSample& frame = Buffer[i];
    const double before = factor;
    if (std::fabs(frame.Left * before) > 1.0 || std::fabs(frame.Right * before) > 1.0) {
      factor = static_cast<float>(before * attack);
    } else {
      factor = static_cast<float>(before + (1.0 - before) * release);
    }
    const double gain = factor;
    for (float& value : frame.Values) {
      const double x = value * gain;
      // x clamped to -1..1 without a branch.
      value = static_cast<float>((std::fabs(x + 1.0) - std::fabs(x - 1.0)) * 0.5);
    }
  }
  AGCFactor = factor;
}

}  // namespace kelvane
