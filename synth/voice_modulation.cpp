// Modulator evaluation of a voice and the LFO wave shapes. Modulate and
// ModulateAll run on the event thread between render passes; LFOValue also
// runs in the rendering loop.
#include <algorithm>
#include <bit>
#include <bitset>
#include <cmath>
#include <numbers>

#include "banks/preset_layer.h"
#include "synth/channel.h"
#include "synth/synth.h"
#include "synth/voice.h"

namespace kelvane {

double LFOValue(int32_t WaveType, double Phase) {
  auto frac = [](double x) { return x - std::floor(x); };
  switch (WaveType) {
    case 0:
      return 1.0 - std::fabs(4.0 * (frac(Phase + 0.25) - 0.5));
    case 1:
      return std::sin(2.0 * std::numbers::pi * frac(Phase));
    case 2:
      return frac(Phase) < 0.5 ? -1.0 : 1.0;
    case 3:
      return 2.0 * (frac(Phase + 0.5) - 0.5);
    case 4:
      return -2.0 * (frac(Phase + 0.5) - 0.5);
    default:
      return 0.0;
  }
}

double TVoice::GetModulatorSrcValue(int32_t ModulatorIndex, int32_t Src, int32_t Flags, bool IsAmountSource) const {
  TModulatorSourceInputs inputs;
  inputs.Velocity = Velocity;
  inputs.Key = Key;
  inputs.PolyPressure = KeyPressure;
  if (Channel != nullptr) {
    inputs.ChannelPressure = Channel->ChannelPressure;
    inputs.PitchWheel = Channel->PitchBend;
    inputs.PitchWheelSensitivity = Channel->PitchBendDepthSemitones + Channel->PitchBendDepthCents / 100.0;
  }
  inputs.Controllers = Controllers.data();
  inputs.LinkValues = ModulatorSourceValues;
  return GetModulatorSourceValue(inputs, ModulatorIndex, Src, Flags, IsAmountSource);
}

double TVoice::GetModulatorValue(const TPresetLayerModulator& AModulator) const {
  const TPresetLayerModulator& m = AModulator;
  if (m.fAmount == 0.0) return 0.0;
  // Velocity to cutoff as older banks define it: a fixed shape instead of the
  // product of the two sources.
  if (m.fSrc1 == msVelocity && m.fSrc2 == msVelocity && m.fFlags1 == 1 && (m.fFlags2 == 13 || m.fFlags2 == 12) &&
      m.fDest == gen::initialFilterFc) {
    if (!Synth.ModulateVelocityToFilterCutOff) return 0.0;
    return m.fAmount * (Velocity >= 64 ? (127.0 - Velocity) / 127.0 : 0.5);
  }
  if (m.fSrc1 == msVelocity && m.fSrc2 == msNone && m.fFlags1 == 1 && m.fFlags2 == 0 &&
      m.fDest == gen::initialFilterFc && !Synth.ModulateVelocityToFilterCutOff) {
    return 0.0;
  }
  const double a = GetModulatorSrcValue(m.fIndex, m.fSrc1, m.fFlags1, false);
  if (a == 0.0) return 0.0;
  const double b = GetModulatorSrcValue(m.fIndex, m.fSrc2, m.fFlags2, true);
  return m.fAmount * a * b;
}

// Each step as the modulation step plays it (see ModulationStep), at the
// Ticks that step saw.
void TVoice::PlayPendingLFOSteps() {
  const int32_t steps = LFOStepsPending;
  LFOStepsPending = 0;
  const int32_t stride = Synth.ModulationSamples;
  auto play = [&](double& phase, double increment, int32_t delay, int32_t& skippedWave, int32_t wave) {
    int32_t ticks = LFOPendingTicks;
    for (int32_t i = 0; i < steps; i++, ticks += stride) {
      if (ticks < delay) continue;
      phase = StepPhase(phase, increment);
    }
    skippedWave = wave;
  };
  play(ModLFOPhase, ModLFOIncr, ModLFODelay, ModLFOSkippedWave, ModLFOWaveType);
  play(Mod2LFOPhase, Mod2LFOIncr, Mod2LFODelay, Mod2LFOSkippedWave, Mod2LFOWaveType);
  play(VibLFOPhase, VibLFOIncr, VibLFODelay, VibLFOSkippedWave, VibLFOWaveType);
}

void TVoice::UpdateModulationUse() {
  CatchUpLFOs();
  SendsModulated = ModLFOToReverbSend != 0.0 || ModLFOToChorusSend != 0.0 || Mod2LFOToReverbSend != 0.0 ||
                   Mod2LFOToChorusSend != 0.0 || ModEnvToReverbSend != 0.0 || ModEnvToChorusSend != 0.0 ||
                   Mod2EnvToReverbSend != 0.0 || Mod2EnvToChorusSend != 0.0;
  ModLFOUsed = ModLFOToPitch != 0.0 || ModLFOToVol != 0.0 || ModLFOToReverbSend != 0.0 ||
               ModLFOToChorusSend != 0.0;
  Mod2LFOUsed = Mod2LFOToPitch != 0.0 || Mod2LFOToVol != 0.0 || Mod2LFOToReverbSend != 0.0 ||
                Mod2LFOToChorusSend != 0.0;
  FilterModLFOUsed = FilterMod2LFOUsed = false;
  for (const TFilter* f : {&Filter, &Filter2, &Filter3}) {
    FilterModLFOUsed = FilterModLFOUsed || f->ModLFOToFilterFC != 0.0 || f->ModLFOToFilterQ != 0.0;
    FilterMod2LFOUsed = FilterMod2LFOUsed || f->Mod2LFOToFilterFC != 0.0 || f->Mod2LFOToFilterQ != 0.0;
  }
  ModLFOUsed = ModLFOUsed || FilterModLFOUsed;
  Mod2LFOUsed = Mod2LFOUsed || FilterMod2LFOUsed;
  VibLFOUsed = VibLFOToPitch != 0.0;
  // The phase has not moved since that step, so this is the value it would have computed.
  auto catchUp = [](bool used, double& value, int32_t& skippedWave, double phase) {
    if (used && skippedWave >= 0) {
      value = LFOValue(skippedWave, phase);
      skippedWave = -1;
    }
  };
  catchUp(ModLFOUsed, ModLFOVal, ModLFOSkippedWave, ModLFOPhase);
  catchUp(Mod2LFOUsed, Mod2LFOVal, Mod2LFOSkippedWave, Mod2LFOPhase);
  catchUp(VibLFOUsed, VibLFOVal, VibLFOSkippedWave, VibLFOPhase);
}

void TVoice::RecalculateFilters(double ModEnv, double Mod2Env, bool Repeat) {
  // A filter reads its own fields (set by UpdateParameter and by its own
  // computations), the LFO values and envelope outputs it has depths for, and
  // the rate. With all of them as at the last step, a filter whose last
  // computation left steady inputs would take its steady path again: a source
  // it has no depth for adds only signed zeros, which change no cutoff
  // (clamped to at least MinCutoffCents) and no design.
  uint32_t moved = 0;  // bit i: source i of TFilter::ModulationSources moved
  bool fresh = false;  // parameters or rate changed: every filter computes
  if (!Repeat) {
    TFilterStepInputs inputs;
    inputs.ModLFO = std::bit_cast<uint64_t>(ModLFOVal);
    inputs.Mod2LFO = std::bit_cast<uint64_t>(Mod2LFOVal);
    inputs.ModEnv = std::bit_cast<uint64_t>(ModEnv);
    inputs.Mod2Env = std::bit_cast<uint64_t>(Mod2Env);
    inputs.Rate = Synth.SampleRate;
    inputs.Generation = ParameterGeneration;
    inputs.Valid = true;
    const TFilterStepInputs& last = FilterStepInputs;
    fresh = !last.Valid || last.Rate != inputs.Rate || last.Generation != inputs.Generation;
    moved = (inputs.ModLFO != last.ModLFO ? 1u : 0u) | (inputs.Mod2LFO != last.Mod2LFO ? 2u : 0u) |
            (inputs.ModEnv != last.ModEnv ? 4u : 0u) | (inputs.Mod2Env != last.Mod2Env ? 8u : 0u);
    FilterStepInputs = inputs;
  }
  auto step = [&](TFilter& f, TDoubleMemo& memo) {
    if (f.FilterType == 0) {
      f.FilterActive = false;
      return;
    }
    if (fresh) f.StepSources = f.ModulationSources();
    if (fresh || (moved & f.StepSources) != 0 || !f.SteadyValid) {
      RecalculateFilter(f, memo);
    } else {
      if (f.FilterCoefIncrCount == 0) f.FilterActive = f.NextFilterActive;
      f.SettleActive();
    }
  };
  step(Filter, FilterCutoffMemo[0]);
  step(Filter2, FilterCutoffMemo[1]);
  step(Filter3, FilterCutoffMemo[2]);
}

void TVoice::AddLayerModulators(const TPresetLayer& ALayer, const std::bitset<GenCount>* Marked) {
  const bool linked = ALayer.HasLinkedModulators;
  const TPresetLayerModulatorList& order = linked ? ALayer.OrderedModulators : ALayer.Modulators;
  if (linked) {
    const auto count = static_cast<size_t>(order.Count());
    // Grows past the reserve only for a layer with more modulators than any
    // this voice has played.
    if (ModulatorSourceValues.size() < count) ModulatorSourceValues.resize(count);
    std::fill(ModulatorSourceValues.begin(), ModulatorSourceValues.end(), 0.0);
  }
  // A modulator comes after all that feed it, so its link sum is complete
  // when it is evaluated.
  for (const TPresetLayerModulator* m : order) {
    const int32_t dest = m->fDest;
    if (IsModulatorLinkDestination(dest)) {
      const int32_t target = m->fLinkedDestinationModulator;
      if (linked && target >= 0 && static_cast<size_t>(target) < ModulatorSourceValues.size()) {
        ModulatorSourceValues[static_cast<size_t>(target)] += GetModulatorValue(*m);
      }
    } else if (TGenWorkValues::IsValid(dest)) {
      if (Marked == nullptr || Marked->test(static_cast<size_t>(dest - GenFirst))) {
        GenModValues[dest] += GetModulatorValue(*m);
      }
    }
  }
}

void TVoice::ModulateAll() {
  GenModValues.Fill(0.0);
  // Link sums of an earlier note must not leak into this one; clear() keeps
  // the capacity, so this does not free.
  ModulatorSourceValues.clear();
  for (const TPresetLayer* layer = PresetLayer; layer != nullptr; layer = layer->Parent) {
    AddLayerModulators(*layer, nullptr);
  }
  for (int32_t gen = GenFirst; gen <= GenLast; gen++) UpdateParameter(gen);
}

void TVoice::Modulate(bool AController, int32_t ASrc) {
  std::bitset<GenCount> marked;
  auto matches = [&](int32_t src, int32_t flags) { return src == ASrc && ((flags & mfController) != 0) == AController; };
  for (const TPresetLayer* layer = PresetLayer; layer != nullptr; layer = layer->Parent) {
    for (const TPresetLayerModulator* m : layer->Modulators) {
      if (!TGenWorkValues::IsValid(m->fDest)) continue;
      if (matches(m->fSrc1, m->fFlags1) || matches(m->fSrc2, m->fFlags2)) {
        marked.set(static_cast<size_t>(m->fDest - GenFirst));
      }
    }
  }
  if (marked.none()) return;
  for (int32_t gen = GenFirst; gen <= GenLast; gen++) {
    if (marked.test(static_cast<size_t>(gen - GenFirst))) GenModValues[gen] = 0.0;
  }
  for (const TPresetLayer* layer = PresetLayer; layer != nullptr; layer = layer->Parent) {
    AddLayerModulators(*layer, &marked);
  }
  for (int32_t gen = GenFirst; gen <= GenLast; gen++) {
    if (marked.test(static_cast<size_t>(gen - GenFirst))) UpdateParameter(gen);
  }
}

}  // namespace kelvane
