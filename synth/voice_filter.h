#pragma once

#include <cstdint>

#include "synth/math_helpers.h"

namespace kelvane {

// One biquad filter of a voice. Coefficients are single precision, the
// feedback coefficients stored negated. Audio thread once the voice sounds.
struct TFilter {
  int32_t FilterType = 0;  // 0 off, 1 low-pass, 2 high-pass, 3 band-pass, 4 notch, 5 peaking, 6 low shelf, 7 high shelf
  double FilterFc = 0.0;   // absolute cents
  float FilterQ = 0.0f;    // centibels
  double FilterGain = 1.0;     // linear
  double LastFilterFc = -1.0;  // Hz of the last coefficient computation; -1 = none
  double LastFilterQ = -1.0;   // centibels of the last computation; -1 = none
  bool FilterStartup = true;   // next computation sets the coefficients without a ramp
  int32_t FilterCoefIncrCount = 0;  // samples left in the coefficient ramp
  float a1 = 0.0f, a2 = 0.0f, b0 = 0.0f, b1 = 0.0f, b2 = 0.0f;
  float a1incr = 0.0f, a2incr = 0.0f, b0incr = 0.0f, b1incr = 0.0f, b2incr = 0.0f;
  float hista1 = 0.0f, hista2 = 0.0f, histb1 = 0.0f, histb2 = 0.0f;
  bool FilterActive = false;
  bool NextFilterActive = false;
  // Modulation depths: cents for the cutoff, centibels for the resonance.
  double ModLFOToFilterFC = 0.0;
  double ModLFOToFilterQ = 0.0;
  double Mod2LFOToFilterFC = 0.0;
  double Mod2LFOToFilterQ = 0.0;
  double ModEnvToFilterFC = 0.0;
  double ModEnvToFilterQ = 0.0;
  double Mod2EnvToFilterFC = 0.0;
  double Mod2EnvToFilterQ = 0.0;
  // Inputs of the last computation that left nothing to redo: the same
  // inputs again can change only the active flag.
  bool SteadyValid = false;
  bool SteadyStartup = false;
  int32_t SteadyType = 0;
  float SteadyQ = 0.0f;
  float SteadyFilterQ = 0.0f;
  double SteadyCents = 0.0;
  double SteadyRate = 0.0;
  double SteadyLastFc = 0.0;
  double SteadyLastQ = 0.0;
  // The modulation sources with a depth to the cutoff or resonance, as
  // ModulationSources() gave them at the voice's last parameter change.
  uint32_t StepSources = 0;
  // The resonance's linear gain 10^((cB / 10 - 3.01) / 20) of the last design:
  // the resonance seldom moves while the cutoff does.
  TDoubleMemo ResonanceMemo;

  // Bit 0 the mod LFO, 1 the mod2 LFO, 2 the mod envelope, 3 the mod2 envelope.
  uint32_t ModulationSources() const {
    return (ModLFOToFilterFC != 0.0 || ModLFOToFilterQ != 0.0 ? 1u : 0u) |
           (Mod2LFOToFilterFC != 0.0 || Mod2LFOToFilterQ != 0.0 ? 2u : 0u) |
           (ModEnvToFilterFC != 0.0 || ModEnvToFilterQ != 0.0 ? 4u : 0u) |
           (Mod2EnvToFilterFC != 0.0 || Mod2EnvToFilterQ != 0.0 ? 8u : 0u);
  }

  // All a computation does when its inputs repeat the steady ones: settle
  // the active flag.
  void SettleActive() {
    if (NextFilterActive || FilterStartup) FilterActive = NextFilterActive;
  }

  // Frames of the coefficient ramp passed without filtering: one increment
  // per frame, as the running filter adds them, so the coefficients do not
  // depend on where blocks end.
  void AdvanceRamp(int32_t Frames) {
    for (int32_t i = 0; i < Frames; i++) {
      a1 += a1incr;
      a2 += a2incr;
      b0 += b0incr;
      b1 += b1incr;
      b2 += b2incr;
    }
    FilterCoefIncrCount -= Frames;
  }

  // The state after a voice reset: everything zero, no last computation,
  // unity gain, the given type.
  void Reset(int32_t Type) {
    *this = TFilter{};
    FilterType = Type;
  }
};

namespace detail {
// sin and cos of X for the designs' angles, 0 <= X <= 4 (2 pi cutoff / rate
// is at most 0.9 pi): within one unit in the last place of std::sin and
// std::cos. Other arguments go to those.
void FilterSinCos(double X, double& Sin, double& Cos);

// The running filter one sample after the other: the plain C++ reference of
// TVoice::ApplyFilterToBuffer on an active filter (the two agree bit for bit).
void ApplyActiveFilterScalar(TFilter& F, float* Buffer, int32_t Count);
}  // namespace detail

}  // namespace kelvane
