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

inline double Frac(double x) { return x - std::floor(x); }

// LFO value at phase p (0..1).
inline double LFOValue(int32_t WaveType, double p) {
  if (WaveType == 1) return 1.0 - std::fabs(p - 0.5) * 2.0;
  if (WaveType >= 0 && WaveType <= 16) return std::sin(2.0 * std::numbers::pi * p);
  return p;
}

// Sine of X in 0..2 pi to within about 1e-15: reduction by quarter turns
// (pi/2 in two parts) and Taylor series on -pi/4..pi/4.
inline double QuickSin(double X) {
  constexpr double quarterHigh = 1.57079632673412561417e+00;  // first 33 bits of pi/2
  constexpr double quarterLow = 6.07710050650619224932e-11;   // pi/2 - quarterHigh
  const auto turns = static_cast<int32_t>(X * (2.0 / std::numbers::pi) + 0.5);
  const double r = (X - turns * quarterHigh) - turns * quarterLow;
  const double r2 = r * r;
  double value;
  if (turns & 1) {
    value = 1.0 + r2 * (-1.0 / 2 + r2 * (1.0 / 24 + r2 * (-1.0 / 720 + r2 * (1.0 / 40320 + r2 * (-1.0 / 3628800 +
            r2 * (1.0 / 479001600 + r2 * (-1.0 / 87178291200 + r2 * (1.0 / 20922789888000))))))));
  } else {
    value = r * (1.0 + r2 * (-1.0 / 6 + r2 * (1.0 / 120 + r2 * (-1.0 / 5040 + r2 * (1.0 / 362880 +
            r2 * (-1.0 / 39916800 + r2 * (1.0 / 6227020800 + r2 * (-1.0 / 1307674368000))))))));
  }
  return turns & 2 ? -value : value;
}

// Delay of a line in 1/256 frames at LFO phase p (0..1), rounded to the
// nearest step. The sine wave takes the quick sine unless its result lies so
// near a rounding boundary that the library sine could round the other way:
// the result is the library sine's either way.
inline int32_t DelayOf(int32_t WaveType, double p, double Depth256) {
  if (WaveType >= 0 && WaveType <= 16 && WaveType != 1) {
    const double steps = (QuickSin(2.0 * std::numbers::pi * p) * 0.5 + 0.5) * Depth256;
    if (steps >= 0.0 && steps < 2147483647.0) {
      const auto whole = static_cast<int32_t>(steps);
      const double fraction = steps - whole;
      if (std::fabs(fraction - 0.5) > 1e-6) return whole + (fraction > 0.5 ? 1 : 0);
    }
  }
  return static_cast<int32_t>(std::lrint((LFOValue(WaveType, p) * 0.5 + 0.5) * Depth256));
}

// One frame as two doubles, and back (rounded to float).
inline __m128d LoadFrame(const TBufferSample& Frame) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&Frame))));
}
inline void StoreFrame(TBufferSample& Frame, __m128d Value) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(&Frame), _mm_castps_si128(_mm_cvtpd_ps(Value)));
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

  // Frames in chunks so the output level scan runs once per chunk. Left and
  // right share one SSE2 register of doubles: the same operations, in the
  // same order, as one channel at a time.
  const double depth256 = ModulationDepthSamples * SINCSteps;  // 1/256 frames
  const __m128d feedBack = _mm_set1_pd(FeedBack);
  const __m128d gain = _mm_set1_pd(Gain);
  const __m128d reverbSend = _mm_set1_pd(ReverbSend);
  float levelLeft[ChunkFrames], levelRight[ChunkFrames];
  for (int32_t done = 0; done < Samples; done += ChunkFrames) {
    const int32_t n = std::min(ChunkFrames, Samples - done);
    for (int32_t j = 0; j < n; j++) {
      const int32_t i = done + j;
      const __m128d in = LoadFrame(InBuf[i]);
      __m128d acc = _mm_setzero_pd();
      for (int32_t b = 0; b < NumberBlocks; b++) {
        const double p = Frac(Phase + b * InvNumberBlocks);
        const int32_t d = DelayOf(WaveType, p, depth256);
        const int32_t q = Counter * SINCSteps - d;
        const int32_t f = q & (SINCSteps - 1);
        const int32_t k = SARLongint(q, 8);
        TBufferSample* line = ChorusBuffer[static_cast<size_t>(b)];
        const double(*w)[2] = SINCPairs[f];
        __m128d sum = _mm_setzero_pd();
        if (k >= SINCTaps - 1 && k <= LineMask) {
          // Taps k-4..k in one piece: two frames per load.
          static_assert(SINCTaps == 5);
          const auto* taps = reinterpret_cast<const float*>(line + k - 4);
          const __m128 older = _mm_loadu_ps(taps), newer = _mm_loadu_ps(taps + 4);
          sum = _mm_add_pd(sum, _mm_mul_pd(LoadFrame(line[k]), _mm_load_pd(w[0])));
          sum = _mm_add_pd(sum, _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(newer, newer)), _mm_load_pd(w[1])));
          sum = _mm_add_pd(sum, _mm_mul_pd(_mm_cvtps_pd(newer), _mm_load_pd(w[2])));
          sum = _mm_add_pd(sum, _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(older, older)), _mm_load_pd(w[3])));
          sum = _mm_add_pd(sum, _mm_mul_pd(_mm_cvtps_pd(older), _mm_load_pd(w[4])));
        } else {
          for (int32_t t = 0; t < SINCTaps; t++)
            sum = _mm_add_pd(sum, _mm_mul_pd(LoadFrame(line[(k - t) & LineMask]), _mm_load_pd(w[t])));
        }
        acc = _mm_add_pd(acc, sum);
        StoreFrame(line[Counter], _mm_add_pd(in, _mm_mul_pd(sum, feedBack)));
      }
      StoreFrame(OutBuf[i], _mm_add_pd(LoadFrame(OutBuf[i]), _mm_mul_pd(acc, gain)));
      StoreFrame(ReverbBuf[i], _mm_add_pd(LoadFrame(ReverbBuf[i]), _mm_mul_pd(acc, reverbSend)));
      TBufferSample level;
      StoreFrame(level, acc);
      levelLeft[j] = level.Left;
      levelRight[j] = level.Right;
      Counter = (Counter + 1) & LineMask;
      Phase = Frac(Phase + PhaseIncrement);
    }
    AudioActiveStateTracker.ScanOutputFrames(levelLeft, levelRight, n);
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
