// TVoice rendering: modulation steps, loop handling, resampling set-up, gain
// ramps and mixing. Everything here runs on the thread that renders the voice
// and allocates nothing.

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

#include "banks/preset_layer.h"
#include "synth/channel.h"
#include "synth/exp10.h"
#include "synth/mixing.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "synth/voice_buffers.h"
#include "synth/voice_envelope.h"
#include "synth/voice_group.h"
#include "synth/loop_work_data.h"
#include "synth/resampler.h"

namespace kelvane {

namespace {

constexpr int64_t FixedOne = int64_t{1} << 32;  // one frame in 32.32
constexpr double NonEMUAttenuationFactor = 0.0018814356859432296;

int64_t Frames(int64_t frames) { return frames * FixedOne; }

// Attenuation in centibels to a linear gain; the curve depends on the EMU10K1 switch.
double AttenuationGain(double centibels, bool emu) {
  if (centibels < 0.0) return 1.0;
  if (centibels >= 1441.0) return 0.0;
  return emu ? Exp10(-0.005 * centibels) : Exp10(-NonEMUAttenuationFactor * centibels);
}

// Shared read hold of a sample's lock for one FillBuffer call.
class TSampleReadHold {
 public:
  explicit TSampleReadHold(TMultipleReaderSingleWriterLock& lock) : fLock(lock) { fLock.AcquireRead(); }
  ~TSampleReadHold() { fLock.ReleaseRead(); }
  TSampleReadHold(const TSampleReadHold&) = delete;
  TSampleReadHold& operator=(const TSampleReadHold&) = delete;

 private:
  TMultipleReaderSingleWriterLock& fLock;
};


}  // namespace

void TVoice::UpdateLoopRange() {
  LoopStart = SampleStartLoop;
  LoopEnd = SampleEndLoop;
  LoopType = ltNONE;
  if (LoopEnd - LoopStart >= 9) {
    switch (static_cast<int32_t>(GetGen(gen::sampleModes))) {
      case 1: LoopType = ltFORWARD; break;
      case 2:
      case 3: LoopType = IsKeyOff ? ltNONE : ltFORWARD; break;
      case 1000: LoopType = ltBACKWARD; break;
      case 1001: LoopType = IsKeyOff ? ltNONE : ltBACKWARD; break;
      case 1002: LoopType = ltBIDI; break;
      case 1003: LoopType = IsKeyOff ? ltNONE : ltBIDI; break;
      default: break;
    }
  }
  ClampLoopRange();
}

void TVoice::ClampLoopRange() {
  if (LoopType != ltNONE) {
    LoopStart = std::clamp(LoopStart, 0, std::max(SampleEnd, 0));
    LoopEnd = std::clamp(LoopEnd, 0, std::max(SampleEnd, 0));
    if (LoopEnd < LoopStart) std::swap(LoopStart, LoopEnd);
    if (LoopEnd - LoopStart < 3) LoopType = ltNONE;
  }
  if (LoopType == ltNONE) {
    LoopStart = SampleStartBaseOffset + SampleStartOffset;
    LoopEnd = SampleEnd;
  }
  LoopEndEx = std::max(0, LoopEnd - 1);
}

int32_t TVoice::GetSampleLength(int32_t Samples) { return SampleLength(Samples, RunLimits()); }

TVoice::TRunLimits TVoice::RunLimits() const {
  TRunLimits limits;
  const int64_t increment = PositionIncrement;
  limits.Forward = LoopType == ltFORWARD && increment > 0;
  // Samples * (whole frames per step + 1) <= 2^30.
  limits.MostSamples = limits.Forward ? (int64_t{1} << 30) / ((increment >> 32) + 1) : 0;
  limits.Stop = Frames(LoopEnd);
  limits.Below = std::min(limits.Stop, Frames(SampleEnd));
  limits.StartMargin = Frames(LoopStart) + Frames(Synth.ResamplingLoopStartOffset);
  return limits;
}

// Inlined into the render loop, which calls it once per chunk.
[[gnu::always_inline]] inline int32_t TVoice::SampleLength(int32_t Samples, const TRunLimits& Limits) {
  // The usual case first: a forward loop played forwards, short of the loop
  // end, a run well inside the 32-bit frame range. Nothing wraps, and steps 4
  // to 6 below reduce to this.
  if (Limits.Forward && !Backwards && Samples >= 1 && Samples <= Limits.MostSamples) {
    const int64_t position = Position, stop = Limits.Stop, increment = PositionIncrement;
    if (position >= 0 && position < Limits.Below) {
      const int64_t last = position + static_cast<int64_t>(Samples - 1) * increment;
      int64_t result = Samples;
      if (last >= stop) result = (stop - position - 1) / increment + 1;
      const int64_t startMargin = Limits.StartMargin;
      if (!LoopEntered && position <= startMargin) {
        LoopIndexLimitTouched = false;
        if (last > startMargin) result = std::min<int64_t>(result, (startMargin - position) / increment + 1);
      } else {
        LoopIndexLimitTouched = Synth.ResampleLoopWrapping;
      }
      return static_cast<int32_t>(std::clamp<int64_t>(result, 1, Samples));
    }
  }
  return GetSampleLengthWrapping(Samples);
}

int32_t TVoice::GetSampleLengthWrapping(int32_t Samples) {
  const int64_t end = Frames(SampleEnd);
  int64_t start, stop;
  if (LoopType == ltNONE) {
    start = Frames(static_cast<int64_t>(SampleStartBaseOffset) + SampleStartOffset);
    stop = end;
  } else {
    start = Frames(LoopStart);
    stop = Frames(LoopEnd);
  }

  // 1./2. Wrap at the range boundaries.
  if (Position < start) {
    if (Backwards) {
      LoopEntered = true;
      switch (LoopType) {
        case ltBIDI:
          Position = 2 * start - Position;
          Backwards = false;
          if (Position < start || Position >= (start + stop) / 2) Position = start;
          break;
        case ltFORWARD:
        case ltBACKWARD:  // a backward loop plays from its end down to its start, again and again
          Position = std::min(stop + Position - start, stop);
          break;
        default:
          return 0;
      }
    } else if (LoopType == ltNONE) {
      Position = start;
    } else if (Position < 0) {
      Position %= FixedOne;  // signed remainder: still negative, so it ends the voice below
    }
  } else if (Position >= stop) {
    LoopEntered = true;
    switch (LoopType) {
      case ltBIDI:
        Position = 2 * stop - Position;
        Backwards = true;
        // The turn point itself (a position exactly at the loop end) is played
        // once; only an overshoot beyond the loop goes to the sample's end.
        if (Position < start || Position > stop) Position = (end - FixedOne) + (Position & (FixedOne - 1));
        break;
      case ltFORWARD:
        Position = std::max(start + Position - stop, start);
        Backwards = false;
        break;
      case ltBACKWARD:
        Position = std::max(2 * stop - Position, start);
        Backwards = true;
        break;
      default:
        return 0;
    }
  }

  // 3.
  if (Position < 0 || Position >= end || (Position < start && Backwards)) return 0;

  // 4. Keep every position of the run inside the 32-bit frame range.
  LoopIndexLimitTouched = false;
  const int64_t increment = PositionIncrement;
  // The division is slow and rarely decides: a run that fits needs only the product.
  const int64_t whole = (increment >> 32) + 1;
  const int32_t limited =
      whole >= 0 && static_cast<int64_t>(Samples) * whole <= (int64_t{1} << 30)
          ? Samples
          : static_cast<int32_t>(std::min<int64_t>(Samples, std::max<int64_t>((int64_t{1} << 30) / whole, 2)));
  const int64_t reach = static_cast<int64_t>(limited - 1) * increment;

  // 5. Which data the kernel reads. Before the loop is first entered, the
  // frames ahead of its start are the sample's own: such a run reads the plain
  // data and ends where the kernel stops reaching back before the loop start.
  // Everywhere else the loop-wrapped copy serves (it equals the plain data
  // away from the loop's ends), so the choice depends on the position alone,
  // never on how many frames the block has left.
  int64_t preLoopEnd = -1;
  if (LoopType != ltNONE) {
    const int64_t startMargin = start + Frames(Synth.ResamplingLoopStartOffset);
    if (!LoopEntered && !Backwards && Position <= startMargin) {
      preLoopEnd = startMargin;
    } else {
      LoopIndexLimitTouched = Synth.ResampleLoopWrapping;
    }
  }

  // 6.
  int64_t result = Samples;
  if (increment > 0) {
    if (Backwards) {
      if (Position - reach < start) result = (Position - start - 1) / increment + 1;
    } else if (Position + reach >= stop) {
      result = (stop - Position - 1) / increment + 1;
    }
    if (preLoopEnd >= 0 && Position + reach > preLoopEnd) {
      result = std::min<int64_t>(result, (preLoopEnd - Position) / increment + 1);
    }
  }
  return static_cast<int32_t>(std::clamp<int64_t>(result, 1, limited));
}

void TVoice::ResamplingSetUp() {
  // Held notes repeat the inputs step after step. The resampler choice may
  // move once more when the previous method is an input, so the key holds
  // the method before the set-up.
  const TSetUpInputs inputs{std::bit_cast<uint64_t>(PhaseInc), ResamplingMethod, ParameterGeneration, IsKeyOff, true};
  if (inputs == SetUpInputs) return;
  SetUpInputs = inputs;
  const double whole = std::floor(PhaseInc);
  PositionIncrement = (static_cast<int64_t>(whole) << 32) + static_cast<int64_t>((PhaseInc - whole) * 4294967296.0);
  const TResamplerChoice choice = ChooseResampler(PositionIncrement, PhaseInc, ResamplingMethod, Synth.ResamplingMethod,
                                                  Synth.FastSINCActive, ResamplingProc);
  ResamplingMethod = choice.Method;
  FastSINCActive = choice.FastSINCActive;
  ResamplingProcToUse = choice.Proc;
  const TSINCCutOff cutOff = ComputeSINCCutOff(PositionIncrement, FastSINCActive);
  SINCCutOffLevel = cutOff.Level;
  SINCCutOffNextLevel = cutOff.NextLevel;
  SINCCutOffFrac = cutOff.Frac;
  UpdateLoopRange();
}

void TVoice::Resample(float* Buffer, int32_t Samples, int64_t Increment, int64_t& APosition) {
  SINCCutOffCurrentLevel = SINCCutOffLevel;
  TResampleContext context;
  context.SampleData = CurrentSampleData;
  context.CutOffLevel = SINCCutOffLevel;
  context.Points = Synth.ResamplingPoints;
  // The verbatim copy reads forwards only; playing backwards at unity the
  // nearest-sample routine reads the same frames in reverse.
  const TResampleProc proc =
      (ResamplingProcToUse == ResampleNone && Increment < 0) ? ResampleNearest : ResamplingProcToUse;
  // Without blending between table phases the routine runs as it is.
  if (Synth.ResamplingInterpolationMode == 0 || Synth.ResamplingFracMask == 0 || ResamplingMethod < rmCubicSpline ||
      ResamplingMethod >= rmSINC8) {
    proc(context, Buffer, Samples, Increment, APosition);
    return;
  }
  TResampleInterpolation interpolation;
  interpolation.ProcToUse = proc;
  interpolation.Method = ResamplingMethod;
  interpolation.FastSINCActive = FastSINCActive;
  interpolation.CutOff = {SINCCutOffLevel, SINCCutOffNextLevel, SINCCutOffFrac};
  interpolation.InterpolationMode = Synth.ResamplingInterpolationMode;
  interpolation.FracMask = Synth.ResamplingFracMask;
  interpolation.FracFactor = Synth.ResamplingFracFactor;
  const TResampleScratch scratch{VoiceBuffers->VoiceMonoBufferResamplingInterpolationA0.data(),
                                 VoiceBuffers->VoiceMonoBufferResamplingInterpolationA1.data(),
                                 VoiceBuffers->VoiceMonoBufferResamplingInterpolationB0.data(),
                                 VoiceBuffers->VoiceMonoBufferResamplingInterpolationB1.data()};
  ResampleInterpolated(context, interpolation, scratch, Buffer, Samples, Increment, APosition);
}

double TVoice::CrossFadeValue(double Value, double FullScale, const TPresetLayerCrossFade& Record) {
  const double v = std::max(Value, static_cast<double>(Record.Threshold));
  double x;
  if (Record.OutEnd != 0) {
    if (v < Record.InEnd) {
      x = (Record.InStart < v && Record.InEnd != Record.InStart)
              ? (v - Record.InStart) / static_cast<double>(Record.InEnd - Record.InStart)
              : 0.0;
    } else {
      x = 1.0;
      if (Record.OutStart < v) {
        x = (v >= Record.OutEnd || Record.OutEnd == Record.OutStart)
                ? 0.0
                : (Record.OutEnd - v) / static_cast<double>(Record.OutEnd - Record.OutStart);
      }
    }
  } else {
    x = std::fabs(FullScale) > 1e-10 ? v / FullScale : 0.0;
  }
  return Record.Invert != 0 ? 1.0 - x : x;
}

double TVoice::LayerCrossFadeGain() const {
  double gain = 1.0;
  double value = 0.0;
  double fullScale = 127.0;
  for (const TPresetLayer* layer = PresetLayer; layer != nullptr; layer = layer->Parent) {
    for (const TPresetLayerCrossFade& record : layer->Crossfades) {
      auto controller = [this](int32_t number) { return static_cast<double>(Controllers[static_cast<size_t>(number & 127)] & 127); };
      switch (record.CrossFadeType) {
        case 0: continue;
        case 1: value = Note; fullScale = 127; break;
        case 2: value = Velocity; fullScale = 127; break;
        case 3: value = controller(record.CCLo); fullScale = 127; break;
        case 4: value = controller(record.CCHi) * 128 + controller(record.CCLo); fullScale = 16383; break;
        case 5: value = KeyPressure; fullScale = 127; break;
        case 6: value = Channel != nullptr ? Channel->ChannelPressure : 0; fullScale = 127; break;
        case 7: value = Channel != nullptr ? Channel->PitchBend : 0; fullScale = 16383; break;
        case 8: value = Channel != nullptr ? Channel->ProgramNumber : 0; fullScale = 127; break;
        case 9: value = Channel != nullptr ? Channel->Bank : 0; fullScale = 16383; break;
        default: break;  // keeps the previous record's value and scale
      }
      const double o = CrossFadeValue(std::clamp(value, 0.0, fullScale), fullScale, record);
      double shaped;
      switch (record.CurveType) {
        case 1: shaped = o * o; break;
        case 2: shaped = std::sqrt(o); break;
        case 3: shaped = std::sin(o * std::numbers::pi / 2); break;
        case 4: shaped = std::cos(o * std::numbers::pi / 2); break;
        default: shaped = o; break;
      }
      gain *= shaped;
    }
  }
  return gain;
}

[[gnu::always_inline]] inline TVoice::TStepResult TVoice::ModulationStep(bool HasCrossfades, bool Gains) {
  // 1.
  if (VolEnvelope->Finished()) {
    Active = false;
    return srEnded;
  }
  // 8., 10. and 11. below, which a repeated step takes as well.
  auto rampGains = [&] {
    if (Gains && (std::fabs(EndVolLeft - VolLeft) > 1e-18 || std::fabs(EndVolRight - VolRight) > 1e-18)) {
      VolRemain = Synth.ModulationSamples;
      VolIncLeft = (EndVolLeft - VolLeft) / VolRemain;
      VolIncRight = (EndVolRight - VolRight) / VolRemain;
    }
  };
  auto settleFilters = [this] {
    auto settle = [this](TFilter& f, TDoubleMemo& memo) {
      if (f.FilterType == 0) {
        f.FilterActive = false;
      } else if (!f.SteadyValid) {
        RecalculateFilter(f, memo);
      } else if (f.FilterCoefIncrCount == 0 || f.NextFilterActive || f.FilterStartup) {
        // A filter switches off only once its ramp has run out (SettleActive).
        f.FilterActive = f.NextFilterActive;
      }
    };
    settle(Filter, FilterCutoffMemo[0]);
    settle(Filter2, FilterCutoffMemo[1]);
    settle(Filter3, FilterCutoffMemo[2]);
  };
  auto countStep = [this] {
    Ticks += Synth.ModulationSamples;
    ModulationSamplesRemain = Synth.ModulationSamples;
    // Wraps to negative after 2^31 steps instead of overflowing; allocation skips such voices.
    LifeTime = static_cast<int32_t>(static_cast<uint32_t>(LifeTime) + 1u);
  };
  // The last step repeated every output with idle LFOs and no portamento,
  // and the envelopes in use hold their values (the parameters change only
  // between blocks): every input stays as it was, and the comparisons below
  // would all find repeats again.
  if (StepRepeated && VolEnvelope->HoldsValue() && (!ModEnvUsed || ModEnvelope->HoldsValue()) &&
      (!Mod2EnvUsed || Mod2Envelope->HoldsValue())) {
    VolEnvelope->Process();
    ModEnvelope->Process();
    Mod2Envelope->Process();
    if (LFOStepsPending++ == 0) LFOPendingTicks = Ticks;
    rampGains();
    // Once no filter runs a ramp or waits for its computation, settling
    // changes nothing until a step computes a filter again.
    if (!FiltersSettled) {
      settleFilters();
      auto settled = [](const TFilter& f) { return f.FilterType == 0 || (f.SteadyValid && f.FilterCoefIncrCount == 0); };
      FiltersSettled = settled(Filter) && settled(Filter2) && settled(Filter3);
    }
    countStep();
    return srPitchKept;
  }
  const bool lfosIdle = !(ModLFOUsed || Mod2LFOUsed || VibLFOUsed);
  // 2. Portamento.
  if (PortamentoPosition < PortamentoTime) {
    PortamentoPosition++;
    if (PortamentoPosition >= PortamentoTime) {
      Note = Key = PortamentoToKey;
      ActualPitchKey = PortamentoFromKey = Key;
    }
    UpdatePitch();
    UpdateParameter(gen::initialPitch);
  }
  // 3.
  const double volEnv = VolEnvelope->Process();
  const double modEnv = ModEnvelope->Process();
  const double mod2Env = Mod2Envelope->Process();
  // 4. LFOs; during the delay the value is taken at the resting phase.
  auto advance = [this](double& phase, double increment, int32_t delay) {
    if (Ticks < delay) return;
    phase = StepPhase(phase, increment);
  };
  // An LFO without a depth only keeps its phase (see ModLFOUsed).
  auto value = [](bool used, double& val, int32_t& skippedWave, int32_t wave, double phase) {
    if (used) {
      val = LFOValue(wave, phase);
    } else {
      skippedWave = wave;
    }
  };
  if (!lfosIdle) {
    CatchUpLFOs();
    advance(ModLFOPhase, ModLFOIncr, ModLFODelay);
    value(ModLFOUsed, ModLFOVal, ModLFOSkippedWave, ModLFOWaveType, ModLFOPhase);
    advance(Mod2LFOPhase, Mod2LFOIncr, Mod2LFODelay);
    value(Mod2LFOUsed, Mod2LFOVal, Mod2LFOSkippedWave, Mod2LFOWaveType, Mod2LFOPhase);
    advance(VibLFOPhase, VibLFOIncr, VibLFODelay);
    value(VibLFOUsed, VibLFOVal, VibLFOSkippedWave, VibLFOWaveType, VibLFOPhase);
  } else if (LFOStepsPending++ == 0) {
    // No value to compute: the phases wait (see LFOStepsPending).
    LFOPendingTicks = Ticks;
  }

  // Each output whose inputs all repeat the last step's stays as it is (see
  // TStepInputs); the synthesizer's inputs were compared before the block.
  const bool emu = Synth.EMU10K1Mode;
  const int32_t state = VolEnvelope->Envelope.State;
  TStepInputs& last = StepInputs;
  // An envelope without a depth feeds signed zeros only (see ModEnvUsed).
  const uint64_t modEnvBits = ModEnvUsed ? std::bit_cast<uint64_t>(modEnv) : 0;
  const uint64_t mod2EnvBits = Mod2EnvUsed ? std::bit_cast<uint64_t>(mod2Env) : 0;
  const uint64_t modLFOBits = std::bit_cast<uint64_t>(ModLFOVal), mod2LFOBits = std::bit_cast<uint64_t>(Mod2LFOVal);
  const uint64_t volEnvBits = std::bit_cast<uint64_t>(volEnv), vibLFOBits = std::bit_cast<uint64_t>(VibLFOVal);
  bool shared = last.Valid && last.Generation == ParameterGeneration && last.ModEnv == modEnvBits &&
                last.Mod2Env == mod2EnvBits && last.ModLFO == modLFOBits && last.Mod2LFO == mod2LFOBits;
  const bool gainsRepeat =
      shared && last.GainValid && last.VolEnv == volEnvBits && last.VolState == state && last.KeyOff == IsKeyOff;
  bool pitchRepeat = shared && last.VibLFO == vibLFOBits;
  if (!shared) {
    last.ModEnv = modEnvBits;
    last.Mod2Env = mod2EnvBits;
    last.ModLFO = modLFOBits;
    last.Mod2LFO = mod2LFOBits;
    last.Generation = ParameterGeneration;
    last.Valid = true;
  }

  if (!gainsRepeat) {
    last.VolEnv = volEnvBits;
    last.VolState = state;
    last.KeyOff = IsKeyOff;
    // The cross-fade weights follow controllers without a parameter change.
    last.GainValid = !HasCrossfades;
    // 5. Linear amplitude during the attack, 0..96 dB afterwards.
    auto volumeGain = [&](double x) {
      const double b = x - Mod2LFOVal * Mod2LFOToVol - modEnv * ModEnvToVol - mod2Env * Mod2EnvToVol;
      if (b < 0.0) return 1.0;
      if (b >= 961.0) return 0.0;
      return VolumeMemo(b, [](double v) { return Exp10(-v / 200.0); });
    };
    auto attenuationGain = [emu](double centibels) { return AttenuationGain(centibels, emu); };
    // The curve switch changes the function: forget what the memos hold.
    if (emu != MemoEMU10K1Mode) {
      AttenuationMemo = LowestBoundaryMemo = TDoubleMemo{};
      MemoEMU10K1Mode = emu;
    }
    const double attenuation = AttenuationMemo(Attenuation, attenuationGain);
    double gain;
    if (state == 1) {
      gain = attenuation * volumeGain(-ModLFOVal * ModLFOToVol) * volEnv;
    } else {
      gain = attenuation * volumeGain((1.0 - volEnv) * 960.0 - ModLFOVal * ModLFOToVol);
    }

    // 6. Release a voice that can no longer be heard.
    if (state > 1 && !IsKeyOff) {
      const double level = UseLowestBoundaryForAttenuation
                               ? LowestBoundaryMemo(LowestBoundaryForAttenuation, attenuationGain) * volEnv *
                                     Synth.MasterVolume
                               : gain * Synth.MasterVolume;
      if (std::fabs(level) < 3e-5) {
        KeyOff(127);
        // The release moves the loop range: everything is worked out
        // again now and at the next step.
        last.Valid = last.GainValid = false;
        shared = pitchRepeat = false;
      }
    }

    // 7. Gains.
    VolAbs = gain * (HasCrossfades ? LayerCrossFadeGain() : 1.0);
    EndVolLeft = AmpLeft * Sample->AmpLeft * VolAbs * Synth.MasterVolume;
    EndVolRight = AmpRight * Sample->AmpRight * VolAbs * Synth.MasterVolume;
    if (Synth.MasterBalance > 0.5) {
      EndVolLeft *= (1.0 - Synth.MasterBalance) * 2.0;
    } else {
      EndVolRight *= Synth.MasterBalance * 2.0;
    }
  }
  // 8. Their ramp over the next step.
  rampGains();

  // 9. Pitch.
  if (!pitchRepeat) {
    last.VibLFO = vibLFOBits;
    const double cents = Pitch + ModLFOVal * ModLFOToPitch + Mod2LFOVal * Mod2LFOToPitch + VibLFOVal * VibLFOToPitch +
                         modEnv * ModEnvToPitch + mod2Env * Mod2EnvToPitch;
    PhaseInc = 440.0 * PitchMemo(cents, [](double c) { return std::exp2((c - 6900.0) / 1200.0); }) *
               RootPitchPhaseIncrementScale;
    if (PhaseInc == 0.0) PhaseInc = 1.0;
  }

  // 10. With the shared inputs as at the last step, a filter whose last
  // computation left steady inputs only settles its active flag (see
  // RecalculateFilters); one that is off stays off.
  if (shared) {
    settleFilters();
  } else {
    RecalculateFilters(modEnv, mod2Env);
  }

  // 11.
  countStep();

  // 12. Sends, in centibels of send gain.
  const TStepResult result = pitchRepeat ? srPitchKept : srPitchMoved;
  StepRepeated = gainsRepeat && pitchRepeat && lfosIdle && PortamentoPosition >= PortamentoTime;
  FiltersSettled = false;
  if (shared) return result;
  auto sendGain = [emu](double c) {
    if (std::fabs(c) <= 1e-12) return 1.0;
    const double v = std::clamp(c, -1440.0, 1440.0);
    return emu ? Exp10(-v / 200.0) : Exp10(-v * NonEMUAttenuationFactor);
  };
  // Without a depth every term is a signed zero and the gain exactly 1.
  if (!SendsModulated) {
    AmpChorus = ChorusSend;
    AmpReverb = ReverbSend;
  } else {
    AmpChorus = ChorusSend * sendGain(-(ModLFOVal * ModLFOToChorusSend + Mod2LFOVal * Mod2LFOToChorusSend +
                                        modEnv * ModEnvToChorusSend + mod2Env * Mod2EnvToChorusSend));
    AmpReverb = ReverbSend * sendGain(-(ModLFOVal * ModLFOToReverbSend + Mod2LFOVal * Mod2LFOToReverbSend +
                                        modEnv * ModEnvToReverbSend + mod2Env * Mod2EnvToReverbSend));
  }
  return result;
}

void TVoice::StartLoopCrossFade() {
  if (LoopCrossFadeType == 0 || LoopType == ltNONE || !LoopEntered || LoopCrossFadeSamples <= 0 ||
      LoopCrossFadeRemainSamples > 0) {
    return;
  }
  if (LoopType != ltFORWARD && LoopType != ltBACKWARD) return;
  const int64_t increment = PositionIncrement;
  if (increment <= 0) return;
  const int64_t s = Frames(LoopStart);
  const int64_t f = Frames(LoopCrossFadeSamples);
  if (Position < s || Position > s + f) return;
  LoopCrossFadePosition = Frames(LoopEnd) + (Position - s);
  int64_t remain = ((s + f) - Position) / increment + 1;
  const int64_t end = Frames(SampleEnd);
  if (LoopCrossFadePosition + (remain - 1) * increment >= end) remain = (end - LoopCrossFadePosition - 1) / increment + 1;
  LoopCrossFadeRemainSamples = static_cast<int32_t>(std::clamp<int64_t>(remain, 0, MaxBlockSamples));
  LoopCrossFadeMin = s;
  LoopCrossFadeMax = s + f;
}

void TVoice::ProcessLoopCrossFade(const float* VoiceMonoBufferCrossFadeA, const float* VoiceMonoBufferCrossFadeB,
                                  float* WorkMonoBuffer, int64_t ALoopCrossFadePos, int32_t SamplesToWork) {
  const double direction = Backwards ? -1.0 : 1.0;
  const double span = static_cast<double>(LoopCrossFadeMax - LoopCrossFadeMin) / 4294967296.0;
  const double start = static_cast<double>(ALoopCrossFadePos - LoopCrossFadeMin) / 4294967296.0;
  const double step = direction * static_cast<double>(PositionIncrement) / 4294967296.0;
  for (int32_t d = 0; d < SamplesToWork; d++) {
    const double e = (start + d * step) / span;
    const double a = VoiceMonoBufferCrossFadeA[d];
    const double b = VoiceMonoBufferCrossFadeB[d];
    if (LoopCrossFadeType == 1) {
      WorkMonoBuffer[d] = static_cast<float>(a * (1.0 - e) + b * e);
    } else if (LoopCrossFadeType == 2) {
      WorkMonoBuffer[d] = static_cast<float>(a * std::cos(e * std::numbers::pi / 2) + b * std::sin(e * std::numbers::pi / 2));
    }
  }
}

void TVoice::MixToTargets(const float* WorkMonoBuffer, int32_t SamplesToWork, TBufferSample* Buffer,
                          TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer) {
  TVoiceMixGain gain{static_cast<float>(VolLeft), static_cast<float>(VolRight), static_cast<float>(VolIncLeft),
                     static_cast<float>(VolIncRight), VolRemain};
  // A send of zero adds only zeros (the buffers never hold -0 before the
  // first voice), and a send to an effect that is off goes nowhere.
  TVoiceMixTargets targets;
  targets.Dry = Buffer;
  targets.AmpChorus = static_cast<float>(AmpChorus);
  targets.AmpReverb = static_cast<float>(AmpReverb);
  if (Synth.ChorusMixActive && targets.AmpChorus != 0.0f) targets.Chorus = ChorusBuffer;
  if (Synth.ReverbMixActive && targets.AmpReverb != 0.0f) targets.Reverb = ReverbBuffer;
  Last = MixVoice(WorkMonoBuffer, SamplesToWork, gain, targets);
  if (VolRemain > 0) {
    VolRemain = gain.Ramp;
    VolLeft = gain.Left;
    VolRight = gain.Right;
  }
}

void TVoice::FillBuffer(TBufferSample* Buffer, TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer,
                        int32_t Samples) {
  if (!Active) {
    RenderClickResidue(Buffer, ChorusBuffer, ReverbBuffer, Samples);
    return;
  }
  Update();
  RenderChunks(Buffer, ChorusBuffer, ReverbBuffer, Samples, nullptr);
}

[[gnu::always_inline]] inline void TVoice::RecordChunk(TVoiceLane& Lane, int32_t Offset, int32_t Count,
                                                      bool RunsSteady) {
  // The filters' coefficients advance as filtering would advance them: the
  // next modulation step starts from there.
  auto record = [&](int32_t f, TFilter& F) {
    if (RunsSteady) {
      // No ramp and the coefficients of the last run, which ends here.
      if (F.FilterActive) Lane.Runs[f][Lane.RunCount[f] - 1].Count += Count;
      return;
    }
    if (!F.FilterActive && F.FilterCoefIncrCount <= 0) return;
    const int32_t ramp = std::min(Count, F.FilterCoefIncrCount);
    if (ramp <= 0 && Lane.ExtendFilterRun(f, Offset, Count, F)) return;
    Lane.AddFilterRun(f, TVoiceLaneFilterRun{Offset, Count, ramp, F.FilterActive, F.a1, F.a2, F.b0, F.b1, F.b2,
                                             F.a1incr, F.a2incr, F.b0incr, F.b1incr, F.b2incr});
    F.AdvanceRamp(ramp);
  };
  record(0, Filter);
  record(1, Filter2);
  record(2, Filter3);
  TVoiceLaneChunk& chunk = Lane.Chunks[Lane.ChunkCount++];
  chunk.Offset = Offset;
  chunk.Count = Count;
  chunk.Stepped = Lane.Stepped;
  Lane.Stepped = false;
  chunk.EndVolLeft = EndVolLeft;
  chunk.EndVolRight = EndVolRight;
  chunk.AmpChorus = static_cast<float>(AmpChorus);
  chunk.AmpReverb = static_cast<float>(AmpReverb);
}

void TVoice::MixLaneResidue(const TVoiceLane& Lane, int32_t From, int32_t To, const TBufferSample* Decayed,
                            int32_t Added) {
  auto at = [From](bool active, TBufferSample* target) { return active && target != nullptr ? target + From : nullptr; };
  TBufferSample* const dry = Lane.Dry + From;
  TBufferSample* const chorusBuffer = at(Synth.ChorusMixActive, Lane.Chorus);
  TBufferSample* const reverbBuffer = at(Synth.ReverbMixActive, Lane.Reverb);
  if (Decayed == nullptr) {
    RenderClickResidue(dry, chorusBuffer, reverbBuffer, To - From);
    return;
  }
  // The frames as RenderClickResidue adds them.
  TBufferSample* chorus = std::fabs(AmpChorus) > 1e-10 ? chorusBuffer : nullptr;
  TBufferSample* reverb = std::fabs(AmpReverb) > 1e-10 ? reverbBuffer : nullptr;
  if (chorus != dry && reverb != dry && (chorus != reverb || chorus == nullptr)) {
    AddClickResidue(Decayed, Added, dry, 1.0, chorus, AmpChorus, reverb, AmpReverb);
    return;
  }
  AddClickResidue(Decayed, Added, dry, 1.0);
  if (chorus != nullptr) AddClickResidue(Decayed, Added, chorus, AmpChorus);
  if (reverb != nullptr) AddClickResidue(Decayed, Added, reverb, AmpReverb);
}

bool TVoice::LaneResidueSends(const TVoiceLane& Lane) const {
  // RenderClickResidue's choice of sends.
  return (Synth.ChorusMixActive && Lane.Chorus != nullptr && std::fabs(AmpChorus) > 1e-10) ||
         (Synth.ReverbMixActive && Lane.Reverb != nullptr && std::fabs(AmpReverb) > 1e-10);
}

void TVoice::DecayLaneResidue(TBufferSample* Dry, int32_t Count) { RenderClickResidue(Dry, nullptr, nullptr, Count); }

void TVoice::RenderChunks(TBufferSample* Buffer, TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer,
                          int32_t Samples, TVoiceLane* Lane) {
  if (!Active || Note < 0 || Note > 127 || Sample == nullptr || VoiceBuffers == nullptr || Samples <= 0) return;
  TSampleReadHold hold(Sample->MultipleReaderSingleWriterLock);
  // With a lane the gain ramp is worked out while mixing (see TVoiceGroup): until
  // then the voice's ramp fields are only the first pass's guesses, which can
  // cut the chunks elsewhere but change no frame.
  if (Lane != nullptr) {
    Lane->GainSaved = true;
    Lane->VolLeft = VolLeft;
    Lane->VolRight = VolRight;
    Lane->VolIncLeft = VolIncLeft;
    Lane->VolIncRight = VolIncRight;
    Lane->VolRemain = VolRemain;
  }
  if (!Sample->Data || Sample->SampleRate == 0) return;

  bool hasCrossfades = false;
  for (const TPresetLayer* layer = PresetLayer; layer != nullptr && !hasCrossfades; layer = layer->Parent) {
    hasCrossfades = !layer->Crossfades.empty();
  }
  LoopStart = LoopEnd = LoopEndEx = 0;
  LoopType = ltNONE;
  SetUpInputs.Valid = false;
  // Parameters, the release and the modulation depths may have moved since the last block.
  StepRepeated = FiltersSettled = false;
  bool setUpDue = true;
  const TSynthStepInputs synthInputs{std::bit_cast<uint64_t>(Synth.MasterVolume),
                                     std::bit_cast<uint64_t>(Synth.MasterBalance), Synth.SampleRate,
                                     Synth.EMU10K1Mode, true};
  if (!(synthInputs == SynthStepInputs)) {
    SynthStepInputs = synthInputs;
    StepInputs.Valid = false;
  }
  // Depths move only between blocks, with parameter changes (which bump
  // ParameterGeneration): these stay right for the whole block.
  auto filterDepth = [this](double TFilter::*fc, double TFilter::*q) {
    return Filter.*fc != 0.0 || Filter.*q != 0.0 || Filter2.*fc != 0.0 || Filter2.*q != 0.0 || Filter3.*fc != 0.0 ||
           Filter3.*q != 0.0;
  };
  FilterModEnvUsed = filterDepth(&TFilter::ModEnvToFilterFC, &TFilter::ModEnvToFilterQ);
  FilterMod2EnvUsed = filterDepth(&TFilter::Mod2EnvToFilterFC, &TFilter::Mod2EnvToFilterQ);
  ModEnvUsed = ModEnvToPitch != 0.0 || ModEnvToVol != 0.0 || ModEnvToReverbSend != 0.0 || ModEnvToChorusSend != 0.0 ||
               FilterModEnvUsed;
  Mod2EnvUsed = Mod2EnvToPitch != 0.0 || Mod2EnvToVol != 0.0 || Mod2EnvToReverbSend != 0.0 ||
                Mod2EnvToChorusSend != 0.0 || FilterMod2EnvUsed;
  // The loop the sample's WorkData was last found prepared for in this call:
  // nobody else can change it while this voice holds its read lock (which
  // it lets go only to prepare the data itself).
  TLoopType preparedType = ltNONE;
  int32_t preparedStart = 0, preparedEnd = 0;
  const bool loopWrapping = Synth.ResampleLoopWrapping;
  bool loopCheckDue = true;  // the loop range may have moved since the last check
  const int64_t readReach = WorkWindowReach(Synth.ResamplingPoints);  // frames the kernel reads either side
  TResampleProc directProc = nullptr;
  TRunLimits runLimits;  // of the loop range and increment the set-up left
  bool runsSteady = false;  // the last chunk was recorded with the filters settled

  TVoiceBuffers& buffers = *VoiceBuffers;
  int32_t offset = 0;
  int32_t remaining = Samples;
  while (remaining > 0 && Active) {
    if (ModulationSamplesRemain < 1) {
      // A lane's mix works out the gain ramp itself (see MixLane).
      const TStepResult step = ModulationStep(hasCrossfades, Lane == nullptr);
      if (step == srEnded) break;
      // The set-up's inputs are the pitch, the parameters and the release.
      if (step == srPitchMoved) setUpDue = true;
      if (Lane != nullptr) Lane->Stepped = true;
    }
    // The set-up clamps the loop range, and nothing moves it between steps:
    // clamping again would change nothing.
    if (setUpDue) {
      ResamplingSetUp();
      runLimits = RunLimits();
      setUpDue = false;
      loopCheckDue = true;
      // The routine Resample would call as it is, without blending table phases.
      directProc = Synth.ResamplingInterpolationMode == 0 || Synth.ResamplingFracMask == 0 ||
                           ResamplingMethod < rmCubicSpline || ResamplingMethod >= rmSINC8
                       ? ResamplingProcToUse
                       : nullptr;
    }

    int32_t n = SampleLength(std::min(remaining, ModulationSamplesRemain), runLimits);
    if (n == 0) {
      Active = false;
      break;
    }
    n = std::min({n, ModulationSamplesRemain, remaining});
    // A lane's mix follows the ramp within a chunk: cutting there changes no frame.
    if (VolRemain != 0 && Lane == nullptr) n = std::min(n, VolRemain);

    if (LoopCrossFadeType != 0) StartLoopCrossFade();
    if (LoopCrossFadeRemainSamples > 0) n = std::min(n, LoopCrossFadeRemainSamples);
    DoLoopCrossFade = LoopCrossFadeRemainSamples > 0;

    if (n > 0) {
      // WorkData follows this voice's loop; the write hold it may need is
      // turned back into a read hold once the chunk is resampled.
      bool writeHold = false;
      if (loopCheckDue) {
        if (loopWrapping && LoopType != ltNONE &&
            (LoopType != preparedType || LoopStart != preparedStart || LoopEnd != preparedEnd)) {
          writeHold = PrepareSampleWorkData(*Sample, LoopType, LoopStart, LoopEnd, Synth.ResamplingPoints);
          if (!writeHold) {
            preparedType = LoopType;
            preparedStart = LoopStart;
            preparedEnd = LoopEnd;
          }
        }
        // The lock is let go for a moment on the way back to reading.
        loopCheckDue = writeHold;
      }
      const bool useWorkData = loopWrapping && LoopIndexLimitTouched && !DoLoopCrossFade;
      const int64_t increment = Backwards ? -PositionIncrement : PositionIncrement;
      int32_t served = n;
      CurrentSampleData = Sample->Data.get();
      if (useWorkData) {
        // A run that reads only frames strictly inside the prepared loop
        // reads no rewritten frame: Data serves it as any window would.
        const int64_t lastPosition = Position + static_cast<int64_t>(n - 1) * increment;
        const int64_t first = (std::min(Position, lastPosition) >> 32) - readReach;
        const int64_t last = (std::max(Position, lastPosition) >> 32) + readReach;
        if (first <= Sample->IndexLookupLoopStart || last >= Sample->IndexLookupLoopEnd) {
          CurrentSampleData = LoopReadData(*Sample, Position, increment, n, Synth.ResamplingPoints, served);
        }
      }
      float* mono = buffers.VoiceMonoBuffer.data();
      if (Lane != nullptr) {
        mono = Lane->Mono + offset;
        // Since the previous chunk no filter moved (see FiltersSettled), and
        // that chunk left every active filter's run ending here.
        RecordChunk(*Lane, offset, n, runsSteady && FiltersSettled);
        runsSteady = FiltersSettled;
      }
      if (DoLoopCrossFade) {
        LoopIndexLimitTouched = false;
        LoopCrossFadePos = LoopCrossFadePosition;
        Resample(buffers.VoiceMonoBufferCrossFadeA.data(), n, increment, LoopCrossFadePosition);
        Resample(buffers.VoiceMonoBufferCrossFadeB.data(), n, increment, Position);
        ProcessLoopCrossFade(buffers.VoiceMonoBufferCrossFadeA.data(), buffers.VoiceMonoBufferCrossFadeB.data(), mono,
                             LoopCrossFadePos, n);
      } else {
        // A run striding past one window of the loop-wrapped data goes on from the next.
        for (int32_t done = 0; done < n; done += served) {
          if (done > 0)
            CurrentSampleData = LoopReadData(*Sample, Position, increment, n - done, Synth.ResamplingPoints, served);
          if (directProc != nullptr && (increment >= 0 || directProc != ResampleNone)) {
            SINCCutOffCurrentLevel = SINCCutOffLevel;
            const TResampleContext context{CurrentSampleData, SINCCutOffLevel, Synth.ResamplingPoints};
            directProc(context, mono + done, served, increment, Position);
          } else {
            Resample(mono + done, served, increment, Position);
          }
        }
      }
      if (writeHold) Sample->MultipleReaderSingleWriterLock.WriteToRead();
      if (Lane == nullptr) {
        // A bypassed filter without a running ramp has nothing to do.
        for (TFilter* filter : {&Filter, &Filter2, &Filter3}) {
          if (filter->FilterActive || filter->FilterCoefIncrCount > 0) ApplyFilterToBuffer(*filter, mono, n);
        }
        MixToTargets(mono, n, Buffer + offset, ChorusBuffer + offset, ReverbBuffer + offset);
      }
    }

    ModulationSamplesRemain -= n;
    offset += n;
    remaining -= n;
    if (LoopCrossFadeRemainSamples > 0) LoopCrossFadeRemainSamples -= n;
  }

  if (Lane != nullptr && Lane->Stepped) {
    Lane->TrailingStep = true;
    Lane->TrailingEndVolLeft = EndVolLeft;
    Lane->TrailingEndVolRight = EndVolRight;
  }
  // Click removal: the last frame decays over the frames left unrendered.
  if (!Active) {
    if (Lane != nullptr) {
      Lane->ResidueOffset = offset;
    } else {
      RenderClickResidue(Buffer + offset, ChorusBuffer + offset, ReverbBuffer + offset, remaining);
    }
  }
}

void TVoice::RenderClickResidue(TBufferSample* Buffer, TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer,
                                int32_t Samples) {
  // The residue stays with the voice, frame by frame in the voice's own place
  // in the mix, until it reaches zero or the voice is used again (which hands
  // what is left to the channel at that event). Handing it over at the end of
  // the block would make the sum's rounding depend on where the block ends.
  if (Channel == nullptr || !HasClickResidue() || Samples <= 0) return;
  const double factor = Synth.ClickRemovalFactor;
  TBufferSample* chorus = std::fabs(AmpChorus) > 1e-10 ? ChorusBuffer : nullptr;
  TBufferSample* reverb = std::fabs(AmpReverb) > 1e-10 ? ReverbBuffer : nullptr;
  // The sends decay from the same residue: one decay for all three, unless
  // the buffers are one and the same (then the order of the sums matters).
  if (chorus != Buffer && reverb != Buffer && (chorus != reverb || chorus == nullptr)) {
    ProcClickRemoval(Last, Buffer, Samples, factor, 1.0, chorus, AmpChorus, reverb, AmpReverb);
    return;
  }
  const TBufferSample start = Last;
  ProcClickRemoval(Last, Buffer, Samples, factor, 1.0);
  if (chorus != nullptr) {
    TBufferSample residue = start;
    ProcClickRemoval(residue, ChorusBuffer, Samples, factor, AmpChorus);
  }
  if (reverb != nullptr) {
    TBufferSample residue = start;
    ProcClickRemoval(residue, ReverbBuffer, Samples, factor, AmpReverb);
  }
}

}  // namespace kelvane
