#pragma once

// Stand-in for synth/voice_envelope.h while that file is not in this tree:
// a linear segment envelope with the same interface (no curves, no point
// lists). Only voice.cpp includes it, and only when the real header is absent.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "synth/synth.h"
#include "synth/synth_class.h"

namespace kelvane {

class TVoice;

struct TEnvelopePoint {
  int32_t Mode = 0;
  int32_t Time = 0;
  int32_t Value = 0;
};

struct TEnvelopePointList {
  bool Active = false;
  std::vector<TEnvelopePoint> Points;
  int32_t LoopStart = -1;
  int32_t LoopEnd = -1;
  int32_t SustainLoopStart = -1;
  int32_t SustainLoopEnd = -1;
};

struct TEnvData {
  int32_t Count = 0;
  double Coef = 0.0, Increment = 0.0, Min = 0.0, Max = 0.0;
};

struct TEnvelope {
  TEnvData Data[8];
  int32_t State = 0;
  double Value = 0.0;
  double RealValue = 0.0;
  int32_t Counter = 0;
};

class TVoiceEnvelope : public TSynthClass {
 public:
  TVoiceEnvelope(TSynth& OwnerSynth, TVoice& OwnerVoice, bool AIsVolumeEnvelope)
      : Synth(OwnerSynth), Voice(OwnerVoice), IsVolumeEnvelope(AIsVolumeEnvelope) {
    Envelope.Data[4] = {2147483647, 1, 0, -1, 2};
    Envelope.Data[6] = {2147483647, 0, 0, 0, 1};
    Envelope.Data[7] = {1, 0, 0, 0, 1};
  }
  void Reset() {
    IsKeyOff = false;
    Envelope.State = 0;
    Envelope.Value = Envelope.RealValue = 0.0;
    Envelope.Counter = 0;
  }
  void KeyOn() { Reset(); }
  void KeyOff(double VolumeModulation = 0.0) {
    IsKeyOff = true;
    TEnvelope& e = Envelope;
    if (e.State >= 5) return;
    if (IsVolumeEnvelope && e.State == 1) {
      const double m = VolumeModulation;
      const double amp = std::pow(10.0, m / -200.0) * e.RealValue;
      e.Value = amp > 0 ? std::clamp(1.0 - ((-200.0 * std::log10(amp) - m) / 960.0), 0.0, 1.0) : 0.0;
    }
    e.State = 5;
    e.Counter = 0;
  }
  double Process() {
    TEnvelope& e = Envelope;
    while (e.Counter >= e.Data[e.State].Count && e.State != 6) {
      if (e.State == 3 && IsVolumeEnvelope) e.Value = e.Data[3].Min * e.Data[3].Coef;
      e.State++;
      e.Counter = 0;
    }
    const TEnvData& d = e.Data[e.State];
    double v = d.Coef * e.Value + d.Increment;
    if (v < d.Min) {
      v = d.Min;
      if (e.State != 6) e.State++;
      e.Counter = 0;
    } else if (v > d.Max) {
      v = d.Max;
      if (e.State != 6) e.State++;
      e.Counter = 0;
    }
    e.Counter++;
    e.Value = v;
    e.RealValue = v;
    return v;
  }
  bool Finished() const { return Envelope.State >= 6; }
  double Output() const { return Envelope.RealValue; }
  int32_t Segment() const { return Envelope.State; }

  void SetDelay(double Timecents) { Envelope.Data[0] = {TimecentsToSteps(std::clamp(Timecents, -12000.0, 5000.0)), 0, 0, -1, 1}; }
  void SetAttack(double Timecents, double) {
    const int32_t count = TimecentsToSteps(std::clamp(Timecents, -12000.0, 8000.0)) + 1;
    Envelope.Data[1] = {count, 1, 1.0 / count, -1, 1};
  }
  void SetHold(double Timecents, double KeyToTimecents, int32_t Key) {
    const int32_t samples = CalculateHoldDelayCount(Timecents, KeyToTimecents, Key, false, Synth.SampleRate);
    Envelope.Data[2] = {static_cast<int32_t>(samples / static_cast<double>(Synth.ModulationSamples) + 0.5), 1, 0, -1, 2};
  }
  void SetDecay(double Timecents, double KeyToTimecents, int32_t Key, double) {
    DecaySamples = CalculateHoldDelayCount(Timecents, KeyToTimecents, Key, true, Synth.SampleRate);
    ApplyDecay();
  }
  void SetSustain(double Generator) {
    SustainLevel = static_cast<float>(std::clamp(1.0 - Generator / 1000.0, 0.0, 1.0));
    ApplyDecay();
  }
  void SetRelease(double Timecents, double) {
    const int32_t count = TimecentsToSteps(std::clamp(Timecents, -12000.0, 8000.0)) + 1;
    Envelope.Data[5] = {count, 1, -1.0 / count, 0, 2};
  }
  void SetLayerEnvelope(const TEnvelopePointList*) {}

  int32_t TimecentsToSteps(double Timecents) const {
    return static_cast<int32_t>(Synth.SampleRate * std::exp2(Timecents / 1200.0) / Synth.ModulationSamples);
  }
  static int32_t CalculateHoldDelayCount(double Timecents, double KeyToTimecents, int32_t Key, bool IsDecay,
                                         int32_t SampleRate) {
    double tc = Timecents + KeyToTimecents * (60 - Key);
    if (IsDecay) {
      tc = std::min(tc, 8000.0);
    } else {
      if (tc <= -32768) return 0;
      tc = std::min(tc, 5000.0);
    }
    tc = std::max(tc, -12000.0);
    return static_cast<int32_t>(SampleRate * std::exp2(tc / 1200.0));
  }

  bool IsKeyOff = false;
  TSynth& Synth;
  TVoice& Voice;
  bool IsVolumeEnvelope;
  TEnvelope Envelope;

 private:
  void ApplyDecay() {
    const int32_t count = static_cast<int32_t>(DecaySamples / static_cast<double>(Synth.ModulationSamples) + 0.5);
    Envelope.Data[3] = {count, 1, count != 0 ? -1.0 / count : 0.0, SustainLevel, 2};
  }
  float SustainLevel = 1.0f;
  int32_t DecaySamples = 0;
};

}  // namespace kelvane
