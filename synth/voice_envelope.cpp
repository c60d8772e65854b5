#include "synth/voice_envelope.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "banks/preset_layer.h"
#include "synth/envelope_interpolators.h"
#include "synth/synth.h"

namespace kelvane {

namespace {

// Unlike std::clamp, defined for any bounds (the lower one wins).
inline double Clamp(double Value, double Min, double Max) {
  return Value > Max ? (Max < Min ? Min : Max) : (Value < Min ? Min : Value);
}

inline int32_t ClampToInt32(int64_t Value) {
  constexpr int64_t lo = std::numeric_limits<int32_t>::min();
  constexpr int64_t hi = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(Value < lo ? lo : (Value > hi ? hi : Value));
}

// Point envelope time in seconds -> modulation steps, rounded.
inline int32_t PointTimeToSteps(int32_t Seconds, int32_t SampleRate, int32_t StepSamples) {
  return ClampToInt32((static_cast<int64_t>(Seconds) * SampleRate + StepSamples / 2) / StepSamples);
}

constexpr double ScaleEpsilon = 1e-18;
constexpr float PointValueScale = 1.0f / 2147483648.0f;  // 2^-31

}  // namespace

TVoiceEnvelope::TVoiceEnvelope(TSynth& OwnerSynth, TVoice& OwnerVoice, bool AIsVolumeEnvelope)
    : Synth(OwnerSynth), Voice(OwnerVoice), IsVolumeEnvelope(AIsVolumeEnvelope) {
  TEnvDatas& d = Envelope.Data;
  for (int i = esAttack; i <= esHold; ++i) {
    d[i].ScaleMax = 1.0;
    d[i].Scale = 1.0;
    d[i].InvScale = 1.0;
  }
  d[esSustain] = {2147483647, 1.0, 0.0, -1.0, 2.0, 0.0, 1.0, 1.0, 1.0, 0};
  d[esOff].Count = 2147483647;
  d[esOff].Max = 1.0;
  d[esSpare].Count = 1;
  d[esSpare].Max = 1.0;
  Reset();
}

void TVoiceEnvelope::Reset() {
  SteadyEnd = 0;
  IsKeyOff = false;
  EndOfEnvelope = false;
  FrameRemain = -1;
  FrameCounter = -1;
  CurrentPoint = 0;
  LastValue = 0.0f;
  Envelope.State = esDelay;
  Envelope.Value = 0.0;
  Envelope.RealValue = 0.0;
  Envelope.Counter = 0;
}

void TVoiceEnvelope::KeyOn() { Reset(); }

void TVoiceEnvelope::KeyOff(double VolumeModulation) {
  IsKeyOff = true;
  SteadyEnd = 0;
  TEnvelope& e = Envelope;
  if (e.State >= esRelease) return;
  if (IsVolumeEnvelope && e.State == esAttack) {
    // Carry the linear attack amplitude into the decibel domain of the later
    // segments so the level does not jump (the modulation offset m cancels).
    const double m = VolumeModulation;
    const double gain = std::pow(10.0, m / -200.0) * e.RealValue;
    e.Value = gain > 0.0 ? Clamp(1.0 - ((-200.0 * std::log10(gain) - m) / 960.0), 0.0, 1.0) : 0.0;
  }
  e.State = esRelease;
  e.Counter = 0;
}

void TVoiceEnvelope::Kill() {
  SteadyEnd = 0;
  Envelope.State = esOff;
  Envelope.Counter = 0;
  Envelope.Value = 0.0;
  Envelope.RealValue = 0.0;
  LastValue = 0.0f;
}

double TVoiceEnvelope::ProcessStep() {
  SteadyEnd = 0;
  if (LayerEnvelope != nullptr && LayerEnvelope->Active) {
    ProcessPoints();
  } else {
    ProcessSegments();
  }
  return Envelope.RealValue;
}

void TVoiceEnvelope::ProcessSegments() {
  TEnvelope& e = Envelope;

  // Leave every segment whose time is up; zero-length ones are skipped here.
  // A decay left by its time (zero length, or shortened while running) hands
  // the sustain level on; every envelope kind does this so that no sustain
  // holds the value the decay stopped at.
  while (e.State < esOff && e.Counter >= e.Data[e.State].Count) {
    if (e.State == esDecay) e.Value = e.Data[esDecay].Min * e.Data[esDecay].Coef;
    ++e.State;
    e.Counter = 0;
  }

  const TEnvData& d = e.Data[e.State];
  double v = d.Coef * e.Value + d.Increment;
  bool clamped = true;
  if (v < d.Min) {
    v = d.Min;
    if (e.State < esOff) ++e.State;
    e.Counter = 0;
  } else if (v > d.Max) {
    v = d.Max;
    if (e.State < esOff) ++e.State;
    e.Counter = 0;
  } else {
    clamped = false;
  }
  if (e.Counter < std::numeric_limits<int32_t>::max()) ++e.Counter;
  SteadyEnd = !clamped && LayerEnvelope == nullptr && std::bit_cast<uint64_t>(v) == std::bit_cast<uint64_t>(e.Value)
                  ? d.Count
                  : 0;
  e.Value = v;

  if (d.Mode < 1 || d.Mode > 5) {
    e.RealValue = v;
    return;
  }
  const double l = (Clamp(v, d.ScaleMin, d.ScaleMax) - d.ScaleMin) * d.InvScale;
  double shaped;
  switch (d.Mode) {
    case 1:  // exponential, reaching 0 linearly below l = 0.01
      shaped = std::exp(4.0 * l - 4.0) * 100.0 * Clamp(l, 0.0, 0.01);
      break;
    case 2:  // logarithmic: ln(1 + (e - 1) l)
      shaped = std::log(1.0 + 1.7182818284590453 * l);
      break;
    case 3:
      shaped = l * l;
      break;
    case 4:
      shaped = l <= ScaleEpsilon ? l * 1e-9 : std::sqrt(l);  // 1e-9 = sqrt(1e-18)
      break;
    default:  // 5
      shaped = std::sin(l * 1.5707963267948966);
      break;
  }
  e.RealValue = Clamp(shaped, 0.0, 1.0) * d.Scale + d.ScaleMin;
}

void TVoiceEnvelope::ProcessPoints() {
  TEnvelope& e = Envelope;
  // A finished list stays finished; its output no longer changes.
  if (e.State == esOff) return;
  const TPresetLayerEnvelope& list = *LayerEnvelope;

  if (FrameRemain < 1) {
    if (list.SustainLoopStart >= 0 && list.SustainLoopEnd >= 0 && CurrentPoint >= list.SustainLoopEnd && !IsKeyOff) {
      CurrentPoint = list.SustainLoopStart - 1;
    }
    if (list.LoopStart >= 0 && list.LoopEnd >= 0 && CurrentPoint >= list.LoopEnd) CurrentPoint = list.LoopStart - 1;
    ++CurrentPoint;

    const int64_t count = static_cast<int64_t>(list.Points.size());
    if (CurrentPoint >= count) {
      EndOfEnvelope = true;
      e.State = esOff;
      return;
    }
    const int32_t c = CurrentPoint;
    const TPresetLayerEnvelopePoint* p = list.Points.data();
    x2 = p[c].Time;
    y2 = static_cast<float>(p[c].Value) * PointValueScale;
    InterpolationMode = p[c].Mode;
    if (c >= 1) {
      x1 = p[c - 1].Time;
      y1 = static_cast<float>(p[c - 1].Value) * PointValueScale;
    } else {
      x1 = x2;
      y1 = y2;
    }
    y0 = c >= 2 ? static_cast<float>(p[c - 2].Value) * PointValueScale : y1;
    y3 = c + 1 < count ? static_cast<float>(p[c + 1].Value) * PointValueScale : y2;

    const int32_t rate = Synth.SampleRate;
    const int32_t step = Synth.ModulationSamples;
    x1 = PointTimeToSteps(x1, rate, step);
    x2 = PointTimeToSteps(x2, rate, step);
    FrameRemain = ClampToInt32(static_cast<int64_t>(x2) - x1);
    FrameCounter = 0;
    if (FrameRemain == 0) {
      EndOfEnvelope = true;
      e.State = esOff;
      return;
    }
    X2MX1DF = 1.0f / static_cast<float>(FrameRemain);
  }
  if (FrameRemain < 1) return;  // points out of time order: this segment is skipped

  const float t = static_cast<float>(FrameCounter) * X2MX1DF;
  // Unknown modes (the list comes from a bank file) interpolate linearly.
  const int32_t mode = InterpolationMode >= 0 && InterpolationMode <= 4 ? InterpolationMode : 1;
  const float value = SynthInterpolators[mode](t, y0, y1, y2, y3);
  LastValue = value;
  e.Value = value;
  e.RealValue = value;
  --FrameRemain;
  ++FrameCounter;
}

int32_t TVoiceEnvelope::TimecentsToSteps(double Timecents) const {
  return static_cast<int32_t>(Synth.SampleRate * std::exp2(Timecents / 1200.0) / Synth.ModulationSamples);
}

int32_t TVoiceEnvelope::CalculateHoldDelayCount(double Timecents, double KeyToTimecents, int32_t Key, bool IsDecay,
                                                int32_t SampleRate) {
  double tc = Timecents + KeyToTimecents * (60 - Key);
  if (IsDecay) {
    tc = std::min(tc, 8000.0);
  } else {
    if (tc <= -32768.0) return 0;
    tc = std::min(tc, 5000.0);
  }
  tc = std::max(tc, -12000.0);
  return static_cast<int32_t>(SampleRate * std::exp2(tc / 1200.0));
}

void TVoiceEnvelope::SetDelay(double Timecents) {
  SteadyEnd = 0;
  TEnvData& d = Envelope.Data[esDelay];
  d.Count = TimecentsToSteps(Clamp(Timecents, -12000.0, 5000.0));
  d.Coef = 0.0;
  d.Increment = 0.0;
  d.Min = -1.0;
  d.Max = 1.0;
}

void TVoiceEnvelope::SetAttack(double Timecents, double Curve) {
  SteadyEnd = 0;
  TEnvData& d = Envelope.Data[esAttack];
  d.Count = TimecentsToSteps(Clamp(Timecents, -12000.0, 8000.0)) + 1;
  d.Coef = 1.0;
  d.Increment = 1.0 / d.Count;
  d.Min = -1.0;
  d.Max = 1.0;
  d.Mode = static_cast<int32_t>(Curve);
}

void TVoiceEnvelope::SetHold(double Timecents, double KeyToTimecents, int32_t Key) {
  SteadyEnd = 0;
  TEnvData& d = Envelope.Data[esHold];
  const int32_t samples = CalculateHoldDelayCount(Timecents, KeyToTimecents, Key, false, Synth.SampleRate);
  d.Count = static_cast<int32_t>(static_cast<double>(samples) / Synth.ModulationSamples + 0.5);
  d.Coef = 1.0;
  d.Increment = 0.0;
  d.Min = -1.0;
  d.Max = 2.0;
}

void TVoiceEnvelope::SetDecay(double Timecents, double KeyToTimecents, int32_t Key, double Curve) {
  DecaySamples = CalculateHoldDelayCount(Timecents, KeyToTimecents, Key, true, Synth.SampleRate);
  DecayCurve = Curve;
  ApplyDecay();
}

void TVoiceEnvelope::SetSustain(double Generator) {
  const float level = 1.0f - static_cast<float>(Generator) / 1000.0f;
  SustainLevel = level < 0.0f ? 0.0f : (level > 1.0f ? 1.0f : level);
  ApplyDecay();
  if (ReleaseCurve != 0.0) ApplyRelease();
}

void TVoiceEnvelope::SetRelease(double Timecents, double Curve) {
  ReleaseTimecents = Timecents;
  ReleaseCurve = Curve;
  ApplyRelease();
}

void TVoiceEnvelope::ApplyDecay() {
  SteadyEnd = 0;
  TEnvData& d = Envelope.Data[esDecay];
  const double level = SustainLevel;
  d.Count = static_cast<int32_t>(static_cast<double>(DecaySamples) / Synth.ModulationSamples + 0.5);
  d.Coef = 1.0;
  d.Increment = d.Count != 0 ? -1.0 / d.Count : 0.0;
  d.Min = level;
  d.Max = 2.0;
  d.Mode = static_cast<int32_t>(DecayCurve);
  if (d.Mode != 0) {
    d.ScaleMin = level;
    d.ScaleMax = 1.0;
    d.Scale = 1.0 - level;
    d.InvScale = std::fabs(d.Scale) <= ScaleEpsilon ? 1.0 : 1.0 / d.Scale;
    TEnvData& s = Envelope.Data[esSustain];
    s.ScaleMin = d.ScaleMin;
    s.ScaleMax = d.ScaleMax;
    s.Scale = d.Scale;
    s.InvScale = d.InvScale;
  }
}

void TVoiceEnvelope::ApplyRelease() {
  SteadyEnd = 0;
  TEnvData& d = Envelope.Data[esRelease];
  const double level = SustainLevel;
  d.Count = TimecentsToSteps(Clamp(ReleaseTimecents, -12000.0, 8000.0)) + 1;
  d.Coef = 1.0;
  d.Increment = -1.0 / d.Count;
  d.Min = 0.0;
  d.Max = 2.0;
  d.Mode = static_cast<int32_t>(ReleaseCurve);
  if (d.Mode != 0) {
    d.ScaleMin = 0.0;
    d.ScaleMax = level;
    d.Scale = level;
    d.InvScale = std::fabs(level) <= ScaleEpsilon ? 1.0 : 1.0 / level;
  }
}

}  // namespace kelvane
