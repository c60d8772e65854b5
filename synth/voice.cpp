#include "synth/voice.h"

#include <algorithm>
#include <cmath>

#include "banks/attached_sound_font.h"
#include "banks/preset_layer.h"
#include "synth/channel.h"
#include "synth/math_helpers.h"
#include "synth/synth.h"
#include "synth/synth_thread.h"
#include "synth/voice_envelope.h"
#include "synth/resampler.h"

namespace kelvane {

namespace {

// 20/(ln 10 * 1000 / 2.3...): 10^(-x * this) is the attenuation curve outside EMU10K1 mode.
constexpr double NonEMUAttenuationFactor = 0.0018814356859432296;

double Clamp(double value, double lo, double hi) { return value < lo ? lo : (value > hi ? hi : value); }

int32_t Trunc(double value) { return static_cast<int32_t>(value); }

}  // namespace

TVoice::TVoice(TSynth& OwnerSynth, int32_t Number) : Synth(OwnerSynth), Number(Number) {
  // Link sums fit here without allocating on the event thread; a layer with
  // more modulators grows the array once at its first key-on.
  ModulatorSourceValues.reserve(ModulatorSourceValuesReserve);
  VolEnvelope = std::make_unique<TVoiceEnvelope>(Synth, *this, true);
  ModEnvelope = std::make_unique<TVoiceEnvelope>(Synth, *this, false);
  Mod2Envelope = std::make_unique<TVoiceEnvelope>(Synth, *this, false);
  Reset();
}

TVoice::~TVoice() {
  Reset();
  Mod2Envelope.reset();
  ModEnvelope.reset();
  VolEnvelope.reset();
}

void TVoice::UpdateResamplingProc() {
  ResamplingProc = ResamplerForMethod(Synth.ResamplingMethod);
}

void TVoice::ReleaseVoiceNotify() {
  if (Synth.OnReleaseVoice) Synth.OnReleaseVoice(Synth, *this);
}

void TVoice::ResidueTargets(TBufferSample*& Dry, TBufferSample*& Chorus, TBufferSample*& Reverb) {
  // On a render thread the residues wait in the voice's slot until it merges.
  if (Thread != nullptr && Thread->CurrentSlot != nullptr) {
    Dry = &Thread->CurrentSlot->Last;
    Chorus = &Thread->CurrentSlot->ChorusLast;
    Reverb = &Thread->CurrentSlot->ReverbLast;
    return;
  }
  Dry = &Channel->Last;
  Chorus = &Channel->ChorusLast;
  Reverb = &Channel->ReverbLast;
}

void TVoice::HandOffClickResidue() {
  TBufferSample *dry, *chorus, *reverb;
  ResidueTargets(dry, chorus, reverb);
  const float ampChorus = static_cast<float>(AmpChorus);
  const float ampReverb = static_cast<float>(AmpReverb);
  dry->Left += Last.Left;
  dry->Right += Last.Right;
  chorus->Left += Last.Left * ampChorus;
  chorus->Right += Last.Right * ampChorus;
  reverb->Left += Last.Left * ampReverb;
  reverb->Right += Last.Right * ampReverb;
}

void TVoice::KeyOn(TChannel* AChannel, int32_t ANote, int32_t AVelocity, TPresetLayer* APresetLayer,
                   TSample* ASample) {
  Reset();
  Channel = AChannel;
  ProgramNumber = Channel != nullptr ? Channel->ProgramNumber : 0;
  PresetLayer = APresetLayer;
  PortamentoTime = 0;
  PortamentoPosition = 0;
  Sample = ASample;
  if (Sample != nullptr && !Sample->Loaded) Sample->Load(false);

  if (PresetLayer != nullptr) {
    PresetLayer->FillGeneratorValues(GenValues);
  } else {
    for (int32_t gen = GenFirst; gen <= GenLast; gen++) GenValues[gen] = GeneratorInfoTable[gen].Default;
  }
  for (int32_t gen = GenFirst; gen <= GenLast; gen++) GenWorkValues[gen] = GenValues[gen];

  const TPresetLayerEnvelope* volRecord = nullptr;
  const TPresetLayerEnvelope* modRecord = nullptr;
  const TPresetLayerEnvelope* mod2Record = nullptr;
  for (const TPresetLayer* layer = PresetLayer; layer != nullptr; layer = layer->Parent) {
    if (volRecord == nullptr && layer->VolEnvelope.Active) volRecord = &layer->VolEnvelope;
    if (modRecord == nullptr && layer->ModEnvelope.Active) modRecord = &layer->ModEnvelope;
    if (mod2Record == nullptr && layer->Mod2Envelope.Active) mod2Record = &layer->Mod2Envelope;
  }

  Note = ANote;
  Key = ANote;
  Velocity = AVelocity;
  PortamentoFromKey = ANote;
  PortamentoToKey = ANote;
  ActualPitchKey = ANote;
  Phase = 0.0;

  InitParameters();

  VolEnvelope->SetLayerEnvelope(volRecord);
  ModEnvelope->SetLayerEnvelope(modRecord);
  Mod2Envelope->SetLayerEnvelope(mod2Record);
  for (TVoiceEnvelope* envelope : {VolEnvelope.get(), ModEnvelope.get(), Mod2Envelope.get()}) {
    envelope->Reset();
    envelope->KeyOn();
  }

  ModulationSamplesRemain = 0;

  Position = 0;
  for (const TPresetLayer* layer = PresetLayer; layer != nullptr; layer = layer->Parent) {
    const TPresetLayerCuePoints& cues = layer->CuePoints;
    if (!cues.Active || cues.Points.empty()) continue;
    // A note below the cue root counts down from the last point.
    const int32_t count = static_cast<int32_t>(cues.Points.size());
    const int32_t index = (((ANote - cues.RootKey) % count) + count) % count;
    Position = static_cast<int64_t>(cues.Points[static_cast<size_t>(index)]) << 32;
    break;
  }
  SampleStartBaseOffset = static_cast<int32_t>(Position >> 32);
  Position = static_cast<int64_t>(SampleStartBaseOffset + SampleStartOffset) << 32;

  SawKeyOff = false;
  IsKeyOff = false;
  Holding = false;
  Sostenutoing = false;
  Active = true;
}

double TVoice::VolumeModulationCentibels() const {
  return -(Mod2LFOVal * Mod2LFOToVol + ModLFOVal * ModLFOToVol + ModEnvelope->Output() * ModEnvToVol +
           Mod2Envelope->Output() * Mod2EnvToVol);
}

void TVoice::KeyOff(int32_t AKeyOffVelocity) {
  SawKeyOff = true;
  if (Channel != nullptr && Channel->HoldPedal) {
    Holding = true;
    return;
  }
  if (Sostenutoing) return;
  IsKeyOff = true;
  KeyOffVelocity = AKeyOffVelocity;
  VolEnvelope->KeyOff(VolumeModulationCentibels());
  ModEnvelope->KeyOff();
  Mod2Envelope->KeyOff();
}

void TVoice::Update() {
  if (Channel == nullptr) return;
  if (Holding && !Channel->HoldPedal) {
    KeyOff(127);
  } else if ((SawKeyOff || IsKeyOff) && Sostenutoing && !Channel->SostenutoPedal) {
    // The pedal went up: the voice is no longer held by it, so the key-off can act.
    Sostenutoing = false;
    KeyOff(127);
  }
}

void TVoice::Kill() {
  if (Channel == nullptr || !Active) {
    if (Channel != nullptr) HandOffClickResidue();
    Last = TBufferSample{};
    return;
  }
  ReleaseVoiceNotify();
  HandOffClickResidue();
  Last = TBufferSample{};
  Active = false;
}

void TVoice::KillExclusive() {
  if (!Active || Channel == nullptr) return;
  ReleaseVoiceNotify();
  SetGen(gen::exclusiveClass, 0);
  VolEnvelope->KeyOff(VolumeModulationCentibels());
  ModEnvelope->KeyOff();
  Mod2Envelope->KeyOff();
  SetGen(gen::releaseVolEnv, -200);
  UpdateParameter(gen::releaseVolEnv);
  SetGen(gen::releaseModEnv, -200);
  UpdateParameter(gen::releaseModEnv);
  EventNoteID = 0;
}

void TVoice::Reset() {
  LifeTime = 0;
  PresetLayer = nullptr;
  Sample = nullptr;
  if (Channel != nullptr) {
    if (Active) ReleaseVoiceNotify();
    HandOffClickResidue();
  }
  Last = TBufferSample{};
  VolAbs = 0.0;
  EndVolLeft = EndVolRight = 0.0;
  VolLeft = VolRight = 0.0;
  VolIncLeft = VolIncRight = 0.0;
  VolRemain = 0;
  Active = false;
  Position = 0;
  PositionIncrement = 0;
  Backwards = false;
  LoopEntered = false;
  LoopIndexLimitTouched = false;
  ModulationSamplesRemain = 0;
  Ticks = 0;
  LFOStepsPending = 0;
  Filter.Reset(1);
  Filter2.Reset(0);
  Filter3.Reset(0);
  ++ParameterGeneration;
  FilterStepInputs = TFilterStepInputs{};
  for (TVoiceEnvelope* envelope : {VolEnvelope.get(), ModEnvelope.get(), Mod2Envelope.get()}) {
    if (envelope != nullptr) envelope->Reset();
  }
  ModLFOPhase = ModLFOVal = ModLFOIncr = 0.0;
  VibLFOPhase = VibLFOVal = VibLFOIncr = 0.0;
  Mod2LFOPhase = Mod2LFOVal = Mod2LFOIncr = 0.0;
  ModLFODelay = VibLFODelay = Mod2LFODelay = 0;
  ModLFOToPitch = ModLFOToVol = VibLFOToPitch = 0.0;
  Mod2LFOToVol = Mod2LFOToPitch = Mod2LFOToReverbSend = Mod2LFOToChorusSend = 0.0;
  ModEnvToPitch = Mod2EnvToVol = Mod2EnvToPitch = Mod2EnvToReverbSend = Mod2EnvToChorusSend = 0.0;
  ModEnvToVol = ModEnvToReverbSend = ModEnvToChorusSend = ModLFOToReverbSend = ModLFOToChorusSend = 0.0;
  VibLFOWaveType = ModLFOWaveType = Mod2LFOWaveType = 0;
  ModLFOUsed = VibLFOUsed = Mod2LFOUsed = false;
  ModEnvUsed = Mod2EnvUsed = false;
  FilterModLFOUsed = FilterMod2LFOUsed = FilterModEnvUsed = FilterMod2EnvUsed = false;
  ModLFOSkippedWave = VibLFOSkippedWave = Mod2LFOSkippedWave = -1;
  SendsModulated = false;
  LoopCrossFadeSamples = 0;
  LoopCrossFadeType = 0;
  LoopCrossFadeRemainSamples = 0;
  DoLoopCrossFade = false;
  ChorusSend = AmpChorus = 0.0;
  ReverbSend = AmpReverb = 0.0;
  Amp = 0.0;
  EventNoteID = 0;
}

void TVoice::InitParameters() {
  GenModValues.Fill(0.0);
  ModulateAll();
  static constexpr int32_t firstOrder[] = {0, 1, 2, 3, 5, 6, 7, 8, 9, 100, 101, 102, 103, 104, 105, 106, 107, 108,
                                           109, 10, 11, 151, 144, 152, 145, 153, 146, 154, 147, 13, 15, 16, 17,
                                           21, 22, 23, 24, 25, 26, 27, 28, 30, 33, 34, 35, 36, 38, 111, 110, 112,
                                           113, 114, 115, 117, 120, 121, 122, 123, 124, 125, 126, 127, 128, 129,
                                           130, 131, 132, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142, 143,
                                           148, 149, 150, 155, 156, 157, 158, 159, 46};
  for (int32_t gen : firstOrder) UpdateParameter(gen);
  UpdatePitch();
  for (int32_t gen : {47, 48, 58, -1}) UpdateParameter(gen);
  CalculateLowestBoundaryForAttenuation();
}

double TVoice::GetGen(int32_t Gen, double Scale) const {
  const int32_t override = Synth.GenGlobalOverrideValues[Gen];
  const double base = override != GenNoOverride ? static_cast<double>(override) : GenWorkValues[Gen];
  double value = base * Scale + GenModValues[Gen];
  if (Channel != nullptr) value += Channel->GenNRPNValues[Gen];
  return value;
}

void TVoice::SetGen(int32_t Gen, double Value) {
  GenValues[Gen] = Trunc(Value);
  GenWorkValues[Gen] = Value;
}

void TVoice::ApplyEnvelopeGenerator(int32_t Gen) {
  // Rows: volume / modulation / second modulation envelope.
  struct TRow {
    int32_t Delay, Attack, Hold, Decay, Sustain, Release, KeyToHold, KeyToDecay, AttackCurve, DecayCurve,
        ReleaseCurve;
  };
  static constexpr TRow rows[3] = {{33, 34, 35, 36, 37, 38, 39, 40, 160, 161, 162},
                                   {25, 26, 27, 28, 29, 30, 31, 32, 163, 164, 165},
                                   {112, 113, 114, 115, 116, 117, 118, 119, 166, 167, 168}};
  TVoiceEnvelope* envelopes[3] = {VolEnvelope.get(), ModEnvelope.get(), Mod2Envelope.get()};
  for (int32_t i = 0; i < 3; i++) {
    const TRow& r = rows[i];
    TVoiceEnvelope& e = *envelopes[i];
    if (Gen == r.Delay) {
      e.SetDelay(GetGen(r.Delay));
    } else if (Gen == r.Attack || Gen == r.AttackCurve) {
      e.SetAttack(GetGen(r.Attack), GetGen(r.AttackCurve));
    } else if (Gen == r.Hold || Gen == r.KeyToHold) {
      e.SetHold(GetGen(r.Hold), GetGen(r.KeyToHold), Key);
    } else if (Gen == r.Decay || Gen == r.KeyToDecay || Gen == r.DecayCurve) {
      e.SetDecay(GetGen(r.Decay), GetGen(r.KeyToDecay), Key, GetGen(r.DecayCurve));
    } else if (Gen == r.Sustain) {
      e.SetSustain(GetGen(r.Sustain));
    } else if (Gen == r.Release || Gen == r.ReleaseCurve) {
      e.SetRelease(GetGen(r.Release), GetGen(r.ReleaseCurve));
    } else {
      continue;
    }
    return;
  }
}

void TVoice::UpdateParameter(int32_t Gen) {
  if (!TGenWorkValues::IsValid(Gen)) return;
  CatchUpLFOs();  // rates, delays, wave types and depths apply from the next step
  ++ParameterGeneration;
  auto g = [this](int32_t gen) { return GetGen(gen); };
  auto offset = [&](int32_t fine, int32_t coarse) { return Trunc(g(fine) + 32768.0 * g(coarse)); };
  const int32_t length = Sample != nullptr ? Sample->Length : 0;
  auto clampFrames = [length](int64_t frames) { return static_cast<int32_t>(std::clamp<int64_t>(frames, 0, length)); };
  auto filterGain = [this](double gain) {
    const double v = Clamp(gain, -1440.0, 1440.0);
    if (std::fabs(v) <= 1e-12) return 1.0;
    return Synth.EMU10K1Mode ? std::pow(10.0, -v / 200.0) : std::pow(10.0, -v * NonEMUAttenuationFactor);
  };
  auto lfoDelay = [this](double tc) {
    return Trunc(Synth.SampleRate * std::exp2(Clamp(tc, -12000.0, 5000.0) / 1200.0));
  };
  auto lfoIncrement = [this](double cents) {
    return Synth.ModulationSamples * 8.176 * std::exp2(Clamp(cents, -16000.0, 4500.0) / 1200.0) / Synth.SampleRate;
  };
  auto pitchDepth = [&](int32_t gen) { return Clamp(g(gen), -12000.0, 12000.0); };
  auto volDepth = [&](int32_t gen) { return Clamp(g(gen), -960.0, 960.0); };

  switch (Gen) {
    case 0:
    case 4:
      SampleStartOffset = Sample != nullptr ? clampFrames(offset(0, 4)) : 0;
      break;
    case 1:
    case 12:
      SampleEnd = clampFrames(static_cast<int64_t>(length) + offset(1, 12));
      break;
    case 2:
    case 45:
      SampleStartLoop = clampFrames(static_cast<int64_t>(Sample != nullptr ? Sample->LoopStart : 0) + offset(2, 45));
      break;
    case 3:
    case 50:
      SampleEndLoop = clampFrames(static_cast<int64_t>(Sample != nullptr ? Sample->LoopEnd : 0) + offset(3, 50));
      break;
    case 5: ModLFOToPitch = pitchDepth(5); break;
    case 6: VibLFOToPitch = pitchDepth(6); break;
    case 7: ModEnvToPitch = pitchDepth(7); break;
    case 121: Mod2EnvToPitch = pitchDepth(121); break;
    case 133: Mod2LFOToPitch = pitchDepth(133); break;
    case 13: ModLFOToVol = volDepth(13); break;
    case 132: Mod2LFOToVol = volDepth(132); break;
    case 142: ModEnvToVol = volDepth(142); break;
    case 120: Mod2EnvToVol = volDepth(120); break;
    case 155: ModLFOToReverbSend = volDepth(155); break;
    case 156: ModLFOToChorusSend = volDepth(156); break;
    case 148: ModEnvToReverbSend = volDepth(148); break;
    case 149: ModEnvToChorusSend = volDepth(149); break;
    case 140: Mod2LFOToReverbSend = volDepth(140); break;
    case 141: Mod2LFOToChorusSend = volDepth(141); break;
    case 128: Mod2EnvToReverbSend = volDepth(128); break;
    case 129: Mod2EnvToChorusSend = volDepth(129); break;
    case 8:
    case 102:
    case 106: {
      TFilter& f = Gen == 8 ? Filter : (Gen == 102 ? Filter2 : Filter3);
      f.FilterFc = g(Gen);
      f.LastFilterFc = -1.0;
      break;
    }
    case 9:
    case 103:
    case 107: {
      TFilter& f = Gen == 9 ? Filter : (Gen == 103 ? Filter2 : Filter3);
      f.FilterQ = static_cast<float>(g(Gen));
      f.LastFilterQ = -1.0;
      break;
    }
    case 100: Filter.FilterType = ClipInt(Trunc(g(100)), 1, 7); break;
    case 104: Filter2.FilterType = ClipInt(Trunc(g(104)), 1, 7); break;
    case 108: Filter3.FilterType = ClipInt(Trunc(g(108)), 1, 7); break;
    case 101: Filter.FilterGain = filterGain(g(101)); break;
    case 105: Filter2.FilterGain = filterGain(g(105)); break;
    case 109: Filter3.FilterGain = filterGain(g(109)); break;
    case 10: Filter.ModLFOToFilterFC = pitchDepth(10); break;
    case 11: Filter.ModEnvToFilterFC = pitchDepth(11); break;
    case 134: Filter.Mod2LFOToFilterFC = pitchDepth(134); break;
    case 122: Filter.Mod2EnvToFilterFC = pitchDepth(122); break;
    case 150: Filter.ModLFOToFilterQ = volDepth(150); break;
    case 143: Filter.ModEnvToFilterQ = volDepth(143); break;
    case 135: Filter.Mod2LFOToFilterQ = volDepth(135); break;
    case 123: Filter.Mod2EnvToFilterQ = volDepth(123); break;
    case 151: Filter2.ModLFOToFilterFC = pitchDepth(151); break;
    case 144: Filter2.ModEnvToFilterFC = pitchDepth(144); break;
    case 136: Filter2.Mod2LFOToFilterFC = pitchDepth(136); break;
    case 124: Filter2.Mod2EnvToFilterFC = pitchDepth(124); break;
    case 152: Filter2.ModLFOToFilterQ = volDepth(152); break;
    case 145: Filter2.ModEnvToFilterQ = volDepth(145); break;
    case 137: Filter2.Mod2LFOToFilterQ = volDepth(137); break;
    case 125: Filter2.Mod2EnvToFilterQ = volDepth(125); break;
    case 153: Filter3.ModLFOToFilterFC = pitchDepth(153); break;
    case 146: Filter3.ModEnvToFilterFC = pitchDepth(146); break;
    case 138: Filter3.Mod2LFOToFilterFC = pitchDepth(138); break;
    case 126: Filter3.Mod2EnvToFilterFC = pitchDepth(126); break;
    case 154: Filter3.ModLFOToFilterQ = volDepth(154); break;
    case 147: Filter3.ModEnvToFilterQ = volDepth(147); break;
    case 139: Filter3.Mod2LFOToFilterQ = volDepth(139); break;
    case 127: Filter3.Mod2EnvToFilterQ = volDepth(127); break;
    case 15:
      ChorusSend = std::clamp(static_cast<float>(g(15) / 1000.0), 0.0f, 1.0f);
      AmpChorus = ChorusSend;
      break;
    case 16:
      ReverbSend = std::clamp(static_cast<float>(g(16) / 1000.0), 0.0f, 1.0f);
      AmpReverb = ReverbSend;
      break;
    case 17: {
      Pan = g(17);
      const double angle = (Pan + 500.0) * 0.0015707963267948967;  // pi/2000 per 0.1 %
      AmpRight = std::sin(angle);
      AmpLeft = std::cos(angle);
      break;
    }
    case 21: ModLFODelay = lfoDelay(g(21)); break;
    case 23: VibLFODelay = lfoDelay(g(23)); break;
    case 130: Mod2LFODelay = lfoDelay(g(130)); break;
    case 22: ModLFOIncr = lfoIncrement(g(22)); break;
    case 24: VibLFOIncr = lfoIncrement(g(24)); break;
    case 131: Mod2LFOIncr = lfoIncrement(g(131)); break;
    case 157: VibLFOWaveType = ClipInt(Trunc(g(157)), 0, 4); break;
    case 158: ModLFOWaveType = ClipInt(Trunc(g(158)), 0, 4); break;
    case 159: Mod2LFOWaveType = ClipInt(Trunc(g(159)), 0, 4); break;
    case 46: {
      const int32_t key = Trunc(g(46));
      if (key >= 0) Key = key;
      break;
    }
    case 47: {
      const int32_t velocity = Trunc(g(47));
      if (velocity >= 0) Velocity = velocity;
      break;
    }
    case 48: {
      // In EMU10K1 mode only the layer's base value is scaled, not modulators or NRPN
      // offsets; DLS gains are true decibels and are never scaled.
      const bool dls = PresetLayer != nullptr && PresetLayer->AttachedSoundFont != nullptr &&
                       PresetLayer->AttachedSoundFont->SoundBankType == sbtDLS;
      Attenuation = Clamp(GetGen(48, Synth.EMU10K1Mode && !dls ? 0.4 : 1.0), 0.0, 1440.0);
      break;
    }
    case -1:
    case 51:
    case 52:
      Pitch = g(-1) + 100.0 * g(51) + g(52);
      break;
    case 58:
      if (Sample != nullptr) {
        const int32_t layerRoot = GenValues[58];
        const double root = layerRoot >= 0 ? layerRoot : Sample->OriginalPitch;
        RootPitch = 100.0 * root - Sample->PitchCorrection;
        RootKey = RootPitch / 100.0;
        const double rootHz = 440.0 * std::exp2((Clamp(RootPitch, 1500.0, 13500.0) - 6900.0) / 1200.0);
        RootPitchPhaseIncrementScale = 1.0 / (rootHz * Synth.SampleRate / Sample->SampleRate);
      }
      break;
    case 110: LoopCrossFadeType = Trunc(g(110) + 0.5); break;
    case 111: LoopCrossFadeSamples = Trunc(g(111) + 0.5); break;
    default:
      if ((Gen >= 25 && Gen <= 40) || (Gen >= 112 && Gen <= 119) || (Gen >= 160 && Gen <= 168)) {
        ApplyEnvelopeGenerator(Gen);
      }
      break;
  }
  switch (Gen) {
    case 5: case 6: case 10: case 13: case 128: case 129: case 132: case 133: case 134: case 135: case 136:
    case 137: case 138: case 139: case 140: case 141: case 148: case 149: case 150: case 151: case 152:
    case 153: case 154: case 155: case 156:
      UpdateModulationUse();
      break;
    default:
      break;
  }
}

double TVoice::TuningValue(int32_t AKey) const {
  if (Channel->UseForcedTuningTable) return Channel->ForcedTuningTable[static_cast<size_t>(AKey)];
  const double pitch = Synth.TuningTables->Pitch(static_cast<size_t>(Channel->TuningBank & 127),
                                                 static_cast<size_t>(Channel->TuningProgram & 127),
                                                 static_cast<size_t>(AKey));
  return pitch + Channel->TuningTable[static_cast<size_t>(AKey)];
}

double TVoice::GetTuningPitch(int32_t AKey) const {
  if (Channel == nullptr || AKey < 0 || AKey > 127) return 6000.0;
  return 100.0 * TuningValue(AKey);
}

double TVoice::GetTuningPitchFine(double AKey) const {
  const int32_t k = Trunc(AKey);
  if (Channel == nullptr || k < 0 || k > 127) return 6000.0;
  double t = TuningValue(k);
  const double frac = AKey - k;
  if (k < 126 && frac != 0.0) t = t * (1.0 - frac) + TuningValue(k + 1) * frac;
  return 100.0 * t;
}

void TVoice::UpdatePitch() {
  const double root = GetTuningPitchFine(RootKey);
  double key;
  if (PortamentoTime <= 0) {
    ActualPitchKey = Key;
    key = GetTuningPitch(Key);
  } else {
    const double a = static_cast<double>(PortamentoPosition) / PortamentoTime;
    double k;
    if (a <= 0.0) {
      k = PortamentoFromKey;
    } else if (a >= 1.0) {
      k = PortamentoToKey;
    } else {
      k = PortamentoFromKey * (1.0 - a) + PortamentoToKey * a;
    }
    ActualPitchKey = k;
    key = GetTuningPitchFine(k);
  }
  // Scale tuning comes from the work value: modulators on it do not act.
  GenWorkValues[-1] = root + (GenWorkValues[56] / 100.0) * (key - root) + 100.0 * Synth.MasterCoarseTuning +
                      Synth.MasterFineTuning;
}

int32_t TVoice::CalculateHoldDelayCount(int32_t GenBase, int32_t GenKeyToBase, bool IsDecay) {
  return TVoiceEnvelope::CalculateHoldDelayCount(GetGen(GenBase), GetGen(GenKeyToBase), Key, IsDecay,
                                                 Synth.SampleRate);
}

void TVoice::CalculateLowestBoundaryForAttenuation() {
  double total = 0.0;
  for (const TPresetLayer* layer = PresetLayer; layer != nullptr; layer = layer->Parent) {
    for (const TPresetLayerModulator* m : layer->Modulators) {
      if (m->fDest != gen::initialAttenuation || ((m->fFlags1 | m->fFlags2) & mfController) == 0) continue;
      const double v = GetModulatorValue(*m);
      const bool canLower = m->fSrc1 == msPitchWheel || ((m->fFlags1 | m->fFlags2) & mfBipolar) != 0 || m->fAmount < 0;
      const double b = canLower ? -std::fabs(m->fAmount) : 0.0;
      if (v > b && std::fabs(v - b) > 1e-10) total += v - b;
    }
  }
  UseLowestBoundaryForAttenuation = std::fabs(total) > 1e-10;
  LowestBoundaryForAttenuation = std::max(0.0, Attenuation - total);
}

}  // namespace kelvane
