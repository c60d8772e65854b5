#include "synth/chorus.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "synth/aligned_memory.h"
#include "synth/math_helpers.h"
#include "synth/synth.h"

namespace kelvane {

namespace {
enum : int32_t {
  cpType = 0,
  cpModulationRate = 1,
  cpModulationDepth = 2,
  cpFeedback = 3,
  cpSendToReverb = 4,
};

// GM2 chorus types: the values of parameters feedback, rate, depth and send to reverb.
struct TChorusTypeRow {
  int32_t Feedback, Rate, Depth, SendToReverb;
};
constexpr TChorusTypeRow ChorusTypes[] = {
    {0, 3, 5, 0}, {5, 9, 19, 0}, {8, 3, 19, 0}, {16, 9, 16, 0}, {64, 2, 24, 0}, {112, 1, 5, 0},
};

// x - floor(x); phases stay within 0..2, where no floor is needed.
inline double Frac(double x) {
  if (x >= 1.0 && x < 2.0) return x - 1.0;
  if (x > 0.0 && x < 1.0) return x;
  return x - std::floor(x);
}

inline bool IsSineWave(int32_t WaveType) { return WaveType >= 0 && WaveType <= 16 && WaveType != 1; }

// LFO value at phase p (0..1).
inline double LFOValue(int32_t WaveType, double p) {
  if (WaveType == 1) return 1.0 - std::fabs(p - 0.5) * 2.0;
  if (WaveType >= 0 && WaveType <= 16) return std::sin(2.0 * std::numbers::pi * p);
  return p;
}

// Delay of a line in 1/256 frames at LFO phase p, rounded to the nearest step.
inline int32_t LFODelay(int32_t WaveType, double p, double Depth256) {
  return static_cast<int32_t>(std::lrint((LFOValue(WaveType, p) * 0.5 + 0.5) * Depth256));
}

// One frame as two doubles, and back (rounded to float).
inline __m128d LoadFrame(const TBufferSample& Frame) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&Frame))));
}
inline void StoreFrame(TBufferSample& Frame, __m128d Value) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(&Frame), _mm_castps_si128(_mm_cvtpd_ps(Value)));
}

// sin(2 pi p) and cos(2 pi p) for two phases p in 0..1, within 1e-13: p
// folds exactly onto 0..1/4 turns, then the Taylor series to the 18th power.
inline void TurnSineCosine(__m128d p, __m128d& Sine, __m128d& Cosine) {
  const __m128d one = _mm_set1_pd(1.0), half = _mm_set1_pd(0.5);
  const __m128d signBit = _mm_set1_pd(-0.0);
  const __m128d u = _mm_sub_pd(p, _mm_and_pd(_mm_cmpge_pd(p, half), one));  // -1/2..1/2
  const __m128d a = _mm_andnot_pd(signBit, u);
  // sin(2 pi a) = sin(2 pi (1/2 - a)), cos(2 pi a) = -cos(2 pi (1/2 - a))
  const __m128d flip = _mm_and_pd(_mm_cmpgt_pd(a, _mm_set1_pd(0.25)), signBit);
  const __m128d x = _mm_mul_pd(_mm_min_pd(a, _mm_sub_pd(half, a)), _mm_set1_pd(2.0 * std::numbers::pi));
  const __m128d z = _mm_mul_pd(x, x);
  constexpr double sc[] = {-1.0 / 6.0,           1.0 / 120.0,           -1.0 / 5040.0,
                           1.0 / 362880.0,       -1.0 / 39916800.0,     1.0 / 6227020800.0,
                           -1.0 / 1307674368000.0, 1.0 / 355687428096000.0};
  constexpr double cc[] = {-1.0 / 2.0,
                           1.0 / 24.0,
                           -1.0 / 720.0,
                           1.0 / 40320.0,
                           -1.0 / 3628800.0,
                           1.0 / 479001600.0,
                           -1.0 / 87178291200.0,
                           1.0 / 20922789888000.0,
                           -1.0 / 6402373705728000.0};
  __m128d s = _mm_set1_pd(sc[7]), c = _mm_set1_pd(cc[8]);
  for (int32_t j = 6; j >= 0; j--) s = _mm_add_pd(_mm_mul_pd(s, z), _mm_set1_pd(sc[j]));
  for (int32_t j = 7; j >= 0; j--) c = _mm_add_pd(_mm_mul_pd(c, z), _mm_set1_pd(cc[j]));
  Sine = _mm_or_pd(_mm_add_pd(x, _mm_mul_pd(_mm_mul_pd(s, z), x)), _mm_and_pd(signBit, u));
  Cosine = _mm_xor_pd(_mm_add_pd(one, _mm_mul_pd(c, z)), flip);
}

// LFODelay of the sine wave at the phases Frac(Phase[i] + Offset), i in
// 0..Count-1 (Count even), for Phase[i] in 0..1 and Offset in 0..1 (then the
// sum lies in 0..2 and Frac takes off 1 or nothing). The sine comes from the
// phase's quick sine and cosine (Sine, Cosine) turned by Offset (whose sine
// and cosine are OffsetSine, OffsetCosine): off the library's by far less
// than 1e-5 steps of the deepest delay (2^20 steps), so both round to the
// same step unless the quick result lies that near a half step: then the
// library sine decides.
void SineDelays(const double* Phase, const double* Sine, const double* Cosine, double Offset, double OffsetSine,
                double OffsetCosine, int32_t* Delays, int32_t Count, double Depth256) {
  constexpr double tie = 0.5 - 1e-5;
  const __m128d half = _mm_set1_pd(0.5), depth = _mm_set1_pd(Depth256);
  const __m128d turnSine = _mm_set1_pd(OffsetSine), turnCosine = _mm_set1_pd(OffsetCosine);
  const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
  for (int32_t i = 0; i < Count; i += 2) {
    const __m128d v = _mm_add_pd(_mm_mul_pd(_mm_load_pd(Sine + i), turnCosine),
                                 _mm_mul_pd(_mm_load_pd(Cosine + i), turnSine));
    const __m128d steps = _mm_mul_pd(_mm_add_pd(_mm_mul_pd(v, half), half), depth);
    const __m128i rounded = _mm_cvtpd_epi32(steps);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(Delays + i), rounded);
    const __m128d off = _mm_and_pd(_mm_sub_pd(steps, _mm_cvtepi32_pd(rounded)), magnitude);
    const int32_t near = _mm_movemask_pd(_mm_cmpgt_pd(off, _mm_set1_pd(tie)));
    if (near & 1) Delays[i] = LFODelay(0, Frac(Phase[i] + Offset), Depth256);
    if (near & 2) Delays[i + 1] = LFODelay(0, Frac(Phase[i + 1] + Offset), Depth256);
  }
}

// Sum of the five taps Line[K], Line[K-1], .., Line[K-4] (wrapped), in that
// order, times the weights W.
inline __m128d Taps(const TBufferSample* Line, int32_t K, const double (*W)[2]) {
  static_assert(TChorus::SINCTaps == 5);
  __m128d sum = _mm_setzero_pd();
  if (K >= TChorus::SINCTaps - 1 && K <= TChorus::LineMask) {
    // In one piece: two frames per load.
    const auto* taps = reinterpret_cast<const float*>(Line + K - 4);
    const __m128 older = _mm_loadu_ps(taps), newer = _mm_loadu_ps(taps + 4);
    sum = _mm_add_pd(sum, _mm_mul_pd(LoadFrame(Line[K]), _mm_load_pd(W[0])));
    sum = _mm_add_pd(sum, _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(newer, newer)), _mm_load_pd(W[1])));
    sum = _mm_add_pd(sum, _mm_mul_pd(_mm_cvtps_pd(newer), _mm_load_pd(W[2])));
    sum = _mm_add_pd(sum, _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(older, older)), _mm_load_pd(W[3])));
    return _mm_add_pd(sum, _mm_mul_pd(_mm_cvtps_pd(older), _mm_load_pd(W[4])));
  }
  for (int32_t t = 0; t < TChorus::SINCTaps; t++)
    sum = _mm_add_pd(sum, _mm_mul_pd(LoadFrame(Line[(K - t) & TChorus::LineMask]), _mm_load_pd(W[t])));
  return sum;
}

}  // namespace

TChorus::TChorus(TSynth& Synth) : Synth(Synth) {
  Active = true;
  for (int32_t t = 0; t < SINCTaps; t++) {
    for (int32_t j = 0; j < SINCSteps; j++) {
      const double x = t + j / static_cast<double>(SINCSteps) - 2.5;
      double value = 1.0;
      if (std::fabs(x) >= 0.000001) {
        const double px = std::numbers::pi * x;
        // sinc under a Hann window five taps wide
        value = std::sin(px) / px * (std::cos(2.0 * std::numbers::pi * x / 5.0) + 1.0) * 0.5;
      }
      SINCTable[t][j] = static_cast<float>(value);
      SINCPairs[j][t][0] = SINCPairs[j][t][1] = SINCTable[t][j];
    }
  }
  try {
    for (auto& line : ChorusBuffer) AlignedGetMem(line, sizeof(TBufferSample) * LineLength, 16);
  } catch (...) {
    for (auto& line : ChorusBuffer) AlignedFreeMem(line);
    throw;
  }
  Init();
}

TChorus::~TChorus() {
  for (auto& line : ChorusBuffer) AlignedFreeMem(line);
}

void TChorus::Init() {
  for (auto* line : ChorusBuffer) std::fill_n(line, LineLength, TBufferSample{});
  Settings = TChorusSettings{};
  GeneralMIDISettings = Settings;
  const int32_t slot[1] = {GlobalParameterSlot};
  GlobalParameterControlChange(slot, cpType, 2);
  AudioActiveStateTracker.Reset();
  Update();
}

void TChorus::Update() {
  const TChorusSettings& source = Settings.Force ? Settings : GeneralMIDISettings;
  WaveType = source.WaveType;
  DepthMS = source.DepthMS;
  Gain = source.Gain;
  FeedBack = source.FeedBack;
  ReverbSend = source.ReverbSend;
  SpeedHz = source.SpeedHz;
  NumberBlocks = ClipInt(source.NumberBlocks, 0, MaxNumberBlocks);
  Counter = 0;

  const double rate = Synth.SampleRate;
  PhaseIncrement = SpeedHz / rate;
  // A forced set from a bank is untrusted: a non-finite rate or depth must not
  // reach the integer delay arithmetic.
  if (!std::isfinite(PhaseIncrement)) PhaseIncrement = 0.0;
  float depthSamples = static_cast<float>(DepthMS * rate * 0.001);
  if (!(depthSamples > 0.0f)) depthSamples = 0.0f;
  ModulationDepthSamples = std::min(depthSamples, static_cast<float>(LineLength));

  InvNumberBlocks = NumberBlocks < 1 ? 0.0 : 1.0 / NumberBlocks;
  for (int32_t b = 0; b < MaxNumberBlocks; b++) {
    const double angle = 2.0 * std::numbers::pi * (b * InvNumberBlocks);
    LineSine[static_cast<size_t>(b)] = std::sin(angle);
    LineCosine[static_cast<size_t>(b)] = std::cos(angle);
  }
}

void TChorus::Process(const TBufferSample* InBuf, TBufferSample* OutBuf, TBufferSample* ReverbBuf, int32_t Samples) {
  if (Samples <= 0) return;
  AudioActiveStateTracker.fSampleRate = Synth.SampleRate;
  AudioActiveStateTracker.ScanInput(InBuf, Samples);
  if (!AudioActiveStateTracker.Active()) {
    // Idle: time moves on, the delay lines keep their contents.
    Counter = (Counter + Samples) & LineMask;
    Phase = Frac(Phase + PhaseIncrement * Samples);
    return;
  }

  // Chunk by chunk, and within a chunk line by line: a line's taps read only
  // its own storage, so every frame still sees the same values and the
  // lines' outputs are summed in the same order. Left and right share one
  // SSE2 register of doubles: the same operations as one channel at a time.
  const double depth256 = ModulationDepthSamples * SINCSteps;  // 1/256 frames
  const bool sine = IsSineWave(WaveType);
  const __m128d feedBack = _mm_set1_pd(FeedBack);
  const __m128d gain = _mm_set1_pd(Gain);
  const __m128d reverbSend = _mm_set1_pd(ReverbSend);
  alignas(16) double phase[ChunkFrames + 1], sines[ChunkFrames], cosines[ChunkFrames];
  alignas(16) double acc[ChunkFrames][2];
  alignas(16) int32_t delays[ChunkFrames];
  float levelLeft[ChunkFrames], levelRight[ChunkFrames];
  for (int32_t done = 0; done < Samples; done += ChunkFrames) {
    const int32_t n = std::min(ChunkFrames, Samples - done);
    const int32_t even = n + (n & 1);
    bool inRange = true;
    phase[0] = Phase;
    for (int32_t i = 0; i < n; i++) {
      inRange = inRange && phase[i] >= 0.0 && phase[i] <= 1.0;
      phase[i + 1] = Frac(phase[i] + PhaseIncrement);
    }
    for (int32_t i = 0; i < n; i++) acc[i][0] = acc[i][1] = 0.0;
    for (int32_t b = 0; b < NumberBlocks; b++) {
      const double offset = b * InvNumberBlocks;
      if (sine && inRange) {
        if (b == 0) {
          for (int32_t i = 0; i < even; i += 2) {
            __m128d s, c;
            TurnSineCosine(_mm_load_pd(phase + i), s, c);
            _mm_store_pd(sines + i, s);
            _mm_store_pd(cosines + i, c);
          }
        }
        SineDelays(phase, sines, cosines, offset, LineSine[static_cast<size_t>(b)],
                   LineCosine[static_cast<size_t>(b)], delays, even, depth256);
      } else {
        for (int32_t i = 0; i < n; i++) delays[i] = LFODelay(WaveType, Frac(phase[i] + offset), depth256);
      }
      TBufferSample* line = ChorusBuffer[static_cast<size_t>(b)];
      for (int32_t i = 0; i < n; i++) {
        const int32_t counter = (Counter + i) & LineMask;
        const int32_t q = counter * SINCSteps - delays[i];
        const int32_t k = SARLongint(q, 8);
        const __m128d sum = Taps(line, k, SINCPairs[q & (SINCSteps - 1)]);
        _mm_store_pd(acc[i], _mm_add_pd(_mm_load_pd(acc[i]), sum));
        StoreFrame(line[counter], _mm_add_pd(LoadFrame(InBuf[done + i]), _mm_mul_pd(sum, feedBack)));
      }
    }
    for (int32_t i = 0; i < n; i++) {
      const __m128d a = _mm_load_pd(acc[i]);
      StoreFrame(OutBuf[done + i], _mm_add_pd(LoadFrame(OutBuf[done + i]), _mm_mul_pd(a, gain)));
      StoreFrame(ReverbBuf[done + i], _mm_add_pd(LoadFrame(ReverbBuf[done + i]), _mm_mul_pd(a, reverbSend)));
      TBufferSample level;
      StoreFrame(level, a);
      levelLeft[i] = level.Left;
      levelRight[i] = level.Right;
    }
    AudioActiveStateTracker.ScanOutputFrames(levelLeft, levelRight, n);
    Counter = (Counter + n) & LineMask;
    Phase = phase[n];
  }
}

void TChorus::SetParameter(int32_t Parameter, int32_t Value) {
  // GM2 values are 7-bit; wider value fields must not push feedback past unity.
  const double value = ClipInt(Value, 0, 127);
  switch (Parameter) {
    case cpModulationRate:
      GeneralMIDISettings.SpeedHz = value * 0.122;
      break;
    case cpModulationDepth:
      GeneralMIDISettings.DepthMS = (value + 1.0) / 3.2;
      break;
    case cpFeedback:
      GeneralMIDISettings.FeedBack = value * 0.00763;
      break;
    case cpSendToReverb:
      GeneralMIDISettings.ReverbSend = value * 0.00787;
      break;
    default:
      break;
  }
}

void TChorus::GlobalParameterControlChange(std::span<const int32_t> SlotPath, int32_t Parameter, int32_t Value) {
  if (SlotPath.size() != 1 || SlotPath[0] != GlobalParameterSlot) return;
  if (Parameter == cpType) {
    if (Value < 0 || Value >= static_cast<int32_t>(std::size(ChorusTypes))) return;
    const TChorusTypeRow& row = ChorusTypes[Value];
    SetParameter(cpFeedback, row.Feedback);
    SetParameter(cpModulationRate, row.Rate);
    SetParameter(cpModulationDepth, row.Depth);
    SetParameter(cpSendToReverb, row.SendToReverb);
  } else if (Parameter >= cpModulationRate && Parameter <= cpSendToReverb) {
    SetParameter(Parameter, Value);
  } else {
    return;
  }
  Update();
}

}  // namespace kelvane
