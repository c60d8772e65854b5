#include "synth/channel.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>

#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "banks/stream.h"
#include "synth/mixing.h"
#include "synth/synth.h"
#include "synth/voice.h"

namespace kelvane {

namespace {

// The next NoteID or VoiceID: counters keep the sign bit clear and wrap to 0
// (computed unsigned, so INT64_MAX + 1 does not overflow).
int64_t NextID(int64_t ID) { return static_cast<int64_t>((static_cast<uint64_t>(ID) + 1) & INT64_MAX); }

int32_t SetMSB(int32_t Field, uint8_t Value) { return ((Value & 127) << 7) | (Field & 127); }
int32_t SetLSB(int32_t Field, uint8_t Value) { return (Field & (127 << 7)) | (Value & 127); }

enum TGeneralMIDIMode : int32_t { gmmSF2 = 0, gmmGM1 = 1, gmmGM2 = 2 };

// ProcClickRemoval's flush: a decayed residue below this (in double) becomes a
// zero of its sign.
constexpr double ResidueFlushBelow = 0x1.ffffffp-127;

// ProcClickRemoval at unity gain for three residues at once, each into its
// own buffer: per residue the same steps (frame by frame from the previous
// frame, rounded to float, flushed, added, ended after the frame both sides
// reach zero), but the three chains of dependent operations overlap. An
// ended residue adds its frames to scratch frames instead.
void DecayThreeResidues(TBufferSample* const (&Residues)[3], TBufferSample* const (&Buffers)[3], int32_t Count,
                        double Factor) {
  const __m128d factor = _mm_set1_pd(Factor);
  const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
  const __m128d flushBelow = _mm_set1_pd(ResidueFlushBelow);
  alignas(16) float scratch[8] = {};
  __m128d wide[3];
  float* data[3];
  int32_t step[3];  // floats per frame: 2, or 0 into the scratch frames
  int32_t live = 0;
  for (int32_t j = 0; j < 3; j++) {
    const TBufferSample& r = *Residues[j];
    wide[j] = _mm_cvtps_pd(_mm_setr_ps(r.Left, r.Right, 0.0f, 0.0f));
    const bool on = r.Left != 0.0f || r.Right != 0.0f;
    data[j] = on ? reinterpret_cast<float*>(Buffers[j]) : scratch;
    step[j] = on ? 2 : 0;
    live += on ? 1 : 0;
  }
  auto addOne = [](float* frame, __m128 a) {
    const __m128 sum = _mm_add_ps(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(frame))), a);
    _mm_store_sd(reinterpret_cast<double*>(frame), _mm_castps_pd(sum));
  };
  int32_t i = 0;
  while (i < Count && live > 0) {
    // Four frames without the flush test where no live side comes near the
    // flush (as in ProcClickRemoval: |residue| is monotonic).
    if (i + 4 <= Count) {
      __m128 f[3][4];  // the four residues of each, as floats in the low half
      bool clear = true;
      for (int32_t j = 0; j < 3; j++) {
        const int32_t zero = _mm_movemask_pd(_mm_cmpeq_pd(wide[j], _mm_setzero_pd()));
        __m128d w = wide[j];
        for (int32_t t = 0; t < 3; t++) {
          f[j][t] = _mm_cvtpd_ps(_mm_mul_pd(w, factor));
          w = _mm_cvtps_pd(f[j][t]);
        }
        const __m128d p4 = _mm_mul_pd(w, factor);
        const __m128d least = _mm_min_pd(_mm_and_pd(wide[j], magnitude), _mm_and_pd(p4, magnitude));
        clear = clear && (_mm_movemask_pd(_mm_cmpge_pd(least, flushBelow)) | zero) == 3;
        f[j][3] = _mm_cvtpd_ps(p4);
      }
      if (clear) {
        // Two frames per add; an ended residue's four frames land in the
        // eight scratch floats.
        for (int32_t j = 0; j < 3; j++) {
          float* frames = data[j] + i * step[j];
          _mm_storeu_ps(frames, _mm_add_ps(_mm_loadu_ps(frames), _mm_movelh_ps(f[j][0], f[j][1])));
          _mm_storeu_ps(frames + 4, _mm_add_ps(_mm_loadu_ps(frames + 4), _mm_movelh_ps(f[j][2], f[j][3])));
          wide[j] = _mm_cvtps_pd(f[j][3]);
        }
        i += 4;
        continue;
      }
    }
    // Near the end: one frame with the flush.
    for (int32_t j = 0; j < 3; j++) {
      if (step[j] == 0) continue;
      __m128d p = _mm_mul_pd(wide[j], factor);
      const __m128d tiny = _mm_cmplt_pd(_mm_and_pd(p, magnitude), flushBelow);
      p = _mm_andnot_pd(_mm_and_pd(tiny, magnitude), p);  // keeps the sign bit
      const __m128 residue = _mm_cvtpd_ps(p);
      wide[j] = _mm_cvtps_pd(residue);
      addOne(data[j] + i * step[j], residue);
      if (_mm_movemask_ps(_mm_cmpneq_ps(residue, _mm_setzero_ps())) == 0) {
        data[j] = scratch;
        step[j] = 0;
        live--;
      }
    }
    i++;
  }
  for (int32_t j = 0; j < 3; j++) {
    alignas(16) float r[4];
    _mm_store_ps(r, _mm_cvtpd_ps(wide[j]));
    Residues[j]->Left = r[0];
    Residues[j]->Right = r[1];
  }
}

}  // namespace

TChannel::TChannel(TSynth& Synth, int32_t ChannelIndex, TVoice* const* Voices)
    : Synth(Synth), ChannelIndex(ChannelIndex), Voices(Voices) {
  DrumMode = false;
  TuningTableChanged = true;
  ForcedTuningTable.fill(0.0);
  Reset();
}

template <typename F>
void TChannel::ForEachVoice(F&& Action) {
  const int32_t count = Synth.NumberOfVoices;
  for (int32_t i = 0; i < count; i++) {
    TVoice* voice = Voices[static_cast<size_t>(i)];
    if (voice != nullptr && voice->Channel == this) Action(*voice);
  }
}

bool TChannel::ImplicitDrumMode() const { return Synth.GeneralMIDIMode == gmmGM2 && (Bank >> 7) == 120; }

void TChannel::Reset() {
  Last = TBufferSample{};
  ChorusLast = TBufferSample{};
  ReverbLast = TBufferSample{};
  PolyMode = true;
  Balance = 64;
  Panning = 64;
  Expression = 127;
  MainVolume = 100;
  Modulation = 0;
  Breath = 0;
  PitchBendDepthSemitones = 2;
  PitchBendDepthCents = 0;
  PitchBend = 8192;
  PortamentoTime = 0;
  FootPedal = 0;
  HoldPedal = PortamentoPedal = SostenutoPedal = SoftPedal = LegatoPedal = Hold2Pedal = false;
  ProgramNumber = 0;
  FineTuning = 8192;
  CoarseTuning = 8192;
  LastNoteID = -1;

  if (Synth.GeneralMIDIMode == gmmGM2) {
    // IsInDrumMode still sees the previous bank here.
    Bank = (ChannelIndex == 9 || IsInDrumMode()) ? 120 << 7 : 121 << 7;
  } else {
    Bank = 0;
  }

  TuningBank = 0;
  TuningProgram = 0;
  bool changed = true;
  if (TuningTableChanged.compare_exchange_strong(changed, false)) TuningTable.fill(0.0);
  if (UseForcedTuningTable) {
    ForcedTuningTable.fill(0.0);
    UseForcedTuningTable = false;
  }

  GenNRPNValues.Fill(0.0);
  RPN = TRPN{};
  NRPNSelect = 0;

  ResetControllers(true);
}

void TChannel::ResetControllers(bool All) {
  const int32_t mode = Synth.GeneralMIDIMode;
  const uint8_t kept[] = {7, 39, 10, 42, 91};
  TControllers saved = Controllers;
  Controllers.fill(0);
  if (!All) {
    for (uint8_t controller : kept) Controllers[controller] = saved[controller];
  }
  PitchBendDepthSemitones = 2;
  PitchBendDepthCents = 0;
  PitchBend = 8192;
  GenNRPNValues.Fill(0.0);
  RPN = TRPN{};
  ChannelPressure = 0;

  if (mode == gmmGM2) {
    for (uint8_t controller = 71; controller <= 78; controller++) ProcessControlChange(controller, 64);
  }
  ProcessControlChange(1, 0);
  ProcessControlChange(33, 0);
  if (mode == gmmGM1 || mode == gmmGM2) {
    ProcessControlChange(8, 64);
    ProcessControlChange(40, 0);
  }
  ProcessControlChange(11, 127);
  ProcessControlChange(43, 0);
  // Null RPN: afterwards no parameter is selected.
  for (uint8_t controller : {98, 99, 100, 101}) ProcessControlChange(controller, 127);

  KeyPressure = 0;
  ChannelPressure = 0;
  NRPNSelect = 0;
  HoldPedal = PortamentoPedal = SostenutoPedal = SoftPedal = LegatoPedal = Hold2Pedal = false;

  ForEachVoice([](TVoice& voice) {
    voice.KeyPressure = 0;
    if (voice.Active) voice.Recalculate();
  });

  if (All) {
    Controllers[7] = mode == gmmSF2 ? 127 : 100;
    Controllers[39] = 0;
    Controllers[10] = 64;
    Controllers[42] = 0;
    if (mode == gmmGM1 || mode == gmmGM2) {
      if (mode == gmmGM2) Controllers[91] = 40;
      ProcessRPN(0, 256);
      ProcessRPN(1, 8192);
      ProcessRPN(2, 8192);
      ProcessRPN(5, 64);
      TuningBank = 0;
      TuningProgram = 0;
    }
  }

  ForEachVoice([this](TVoice& voice) { voice.Controllers = Controllers; });
  ModulateAll();
}

void TChannel::AllNotesOff() {
  ForEachVoice([](TVoice& voice) {
    if (voice.Active) voice.KeyOff(127);
  });
}

void TChannel::AllSoundsOff() {
  ForEachVoice([](TVoice& voice) {
    if (!voice.Active) return;
    voice.KeyOff(127);
    if (voice.Active) {
      voice.Kill();
      voice.Reset();
    }
  });
}

void TChannel::Modulate(bool aController, int32_t aSrc) {
  ForEachVoice([=](TVoice& voice) {
    if (voice.Active) voice.Modulate(aController, aSrc);
  });
}

void TChannel::ModulateAll() {
  ForEachVoice([](TVoice& voice) {
    if (voice.Active) voice.ModulateAll();
  });
}

void TChannel::ProcessEvent(const TMIDIEvent& Event) {
  switch (Event.Command & 0xF0) {
    case 0x80: ProcessEventNoteOff(Event); break;
    case 0x90: ProcessEventNoteOn(Event); break;
    case 0xA0: ProcessEventKeyPressure(Event); break;
    case 0xB0: ProcessEventControlChange(Event); break;
    case 0xC0: ProcessEventProgramChange(Event); break;
    case 0xD0: ProcessEventChannelPressure(Event); break;
    case 0xE0: ProcessEventPitchBend(Event); break;
    default: break;
  }
}

void TChannel::ProcessEventControlChange(const TMIDIEvent& Event) {
  ProcessControlChange(Event.Data[0] & 127, Event.Data[1] & 127);
}

void TChannel::ProcessEventProgramChange(const TMIDIEvent& Event) { ProgramNumber = Event.Data[0] & 127; }

void TChannel::ProcessEventChannelPressure(const TMIDIEvent& Event) {
  ChannelPressure = Event.Data[0] & 127;
  Modulate(false, 13);
}

void TChannel::ProcessEventPitchBend(const TMIDIEvent& Event) {
  PitchBend = (Event.Data[0] & 127) + 128 * (Event.Data[1] & 127);
  Modulate(false, 14);
}

void TChannel::ProcessEventKeyPressure(const TMIDIEvent& Event) {
  const int32_t note = Event.Data[0] & 127;
  const int32_t pressure = Event.Data[1] & 127;
  KeyPressure = pressure;
  ForEachVoice([=](TVoice& voice) {
    voice.KeyPressure = 0;
    if (voice.Active && voice.Note == note) {
      voice.KeyPressure = pressure;
      voice.Modulate(false, 10);
    }
  });
}

void TChannel::StoreController(uint8_t Controller, uint8_t Value) {
  Controllers[Controller] = Value;
  ForEachVoice([=](TVoice& voice) { voice.Controllers[Controller] = Value; });
}

void TChannel::DataEntryChanged() {
  if (RPNSelected()) ProcessRPN(RPN.Parameter, RPN.Data);
  if (NRPNSelected()) ProcessNRPN(RPN.NParameter, RPN.Data);
}

void TChannel::ProcessControlChange(uint8_t Controller, uint8_t Value) {
  StoreController(Controller, Value);
  const bool gm = Synth.GeneralMIDIMode == gmmGM1 || Synth.GeneralMIDIMode == gmmGM2;
  switch (Controller) {
    case 0: Bank = SetMSB(Bank, Value); break;
    case 32: Bank = SetLSB(Bank, Value); break;
    case 1: if (gm) Modulation = SetMSB(Modulation, Value); break;
    case 33: if (gm) Modulation = SetLSB(Modulation, Value); break;
    case 2: if (gm) Breath = SetMSB(Breath, Value); break;
    case 34: if (gm) Breath = SetLSB(Breath, Value); break;
    case 4: if (gm) FootPedal = SetMSB(FootPedal, Value); break;
    case 36: if (gm) FootPedal = SetLSB(FootPedal, Value); break;
    case 5: if (gm) PortamentoTime = SetMSB(PortamentoTime, Value); break;
    case 37: if (gm) PortamentoTime = SetLSB(PortamentoTime, Value); break;
    case 7: if (gm) MainVolume = SetMSB(MainVolume, Value); break;
    case 39: if (gm) MainVolume = SetLSB(MainVolume, Value); break;
    case 8: if (gm) Balance = SetMSB(Balance, Value); break;
    case 40: if (gm) Balance = SetLSB(Balance, Value); break;
    case 10: if (gm) Panning = SetMSB(Panning, Value); break;
    case 42: if (gm) Panning = SetLSB(Panning, Value); break;
    case 11: if (gm) Expression = SetMSB(Expression, Value); break;
    case 43: if (gm) Expression = SetLSB(Expression, Value); break;
    case 6: {
      RPN.Data = SetMSB(RPN.Data, Value);
      // SoundFont NRPN: MSB 120 addresses generators, NRPNSelect accumulated by controller 98.
      if (RPN.Selected == rsNRPN && Controllers[99] == 120 && Controllers[98] < 100 && NRPNSelect >= 0 &&
          NRPNSelect <= GenLast) {
        const int32_t gen = NRPNSelect;
        const double data = std::clamp(RPN.Data - 8192, -8192, 8192);
        GenNRPNValues[gen] = data * GeneratorInfoTable[gen].NRPNScale;
        // Sounding voices re-derive the generator with the new offset at once.
        ForEachVoice([gen](TVoice& voice) {
          if (voice.Active) voice.UpdateParameter(gen);
        });
      }
      DataEntryChanged();
      break;
    }
    case 38:
      RPN.Data = SetLSB(RPN.Data, Value);
      DataEntryChanged();
      break;
    case 96:
    case 97: {
      const bool coarse = RPNSelected() && RPN.Parameter >= 2 && RPN.Parameter <= 4;
      const int32_t step = coarse ? 128 : 1;
      RPN.Data = std::clamp(RPN.Data + (Controller == 96 ? step : -step), 0, 16383);
      DataEntryChanged();
      break;
    }
    case 64: HoldPedal = Value >= 64; break;
    case 65: if (gm) PortamentoPedal = Value >= 64; break;
    case 66: {
      const bool down = Value >= 64;
      if (down && !SostenutoPedal) {
        // Only the notes active now are held; later ones are not.
        ForEachVoice([](TVoice& voice) {
          if (voice.Active) voice.Sostenutoing = true;
        });
      }
      SostenutoPedal = down;
      break;
    }
    case 67: SoftPedal = Value >= 64; break;
    case 68: if (gm) LegatoPedal = Value >= 64; break;
    case 69: if (gm) Hold2Pedal = Value >= 64; break;
    case 98:
      RPN.NParameter = SetLSB(RPN.NParameter, Value);
      RPN.Selected = rsNRPN;
      if (Controllers[99] == 120) {
        if (Value == 100) {
          NRPNSelect += 100;
        } else if (Value == 101) {
          NRPNSelect += 1000;
        } else if (Value == 102) {
          NRPNSelect += 10000;
        } else if (Value < 100) {
          NRPNSelect += Value;
        }
      }
      break;
    case 99:
      RPN.NParameter = SetMSB(RPN.NParameter, Value);
      RPN.Selected = rsNRPN;
      Controllers[98] = 0;
      NRPNSelect = 0;
      break;
    case 100:
      RPN.Parameter = SetLSB(RPN.Parameter, Value);
      RPN.Selected = rsRPN;
      break;
    case 101:
      RPN.Parameter = SetMSB(RPN.Parameter, Value);
      RPN.Selected = rsRPN;
      Controllers[98] = 0;
      Controllers[99] = 0;
      NRPNSelect = 0;
      break;
    case 120: AllSoundsOff(); break;
    case 121: ResetControllers(Value == 127 || Synth.GeneralMIDIMode == gmmSF2 || Synth.GeneralMIDIMode == gmmGM1); break;
    case 123: AllNotesOff(); break;
    case 124:
    case 125:
      if (gm) {
        AllNotesOff();
        Synth.OmniChannel = Controller == 124 ? ChannelIndex : -1;
      }
      break;
    case 126:
    case 127:
      if (gm) {
        AllNotesOff();
        PolyMode = Controller == 127;
      }
      break;
    default: break;
  }
  Modulate(true, Controller);
}

void TChannel::ProcessRPN(int32_t Parameter, int32_t Data) {
  switch (Parameter & 127) {
    case 0:
      PitchBendDepthSemitones = Data >> 7;
      PitchBendDepthCents = Data & 127;
      Modulate(false, 16);
      break;
    case 1: FineTuning = Data; break;
    case 2: CoarseTuning = Data; break;
    case 3: TuningProgram = (Data >> 7) & 127; break;
    case 4: TuningBank = (Data >> 7) & 127; break;
    default: break;
  }
}

void TChannel::ProcessNRPN(int32_t Parameter, int32_t Data) {
  if (Synth.GeneralMIDIMode != gmmSF2) return;
  const int32_t msb = (Parameter >> 7) & 127;
  const int32_t lsb = Parameter & 127;
  const uint8_t value = static_cast<uint8_t>((Data >> 7) & 127);
  if (msb == 1) {
    int32_t controller = -1;
    switch (lsb) {
      case 8: controller = 76; break;    // vibrato rate
      case 9: controller = 77; break;    // vibrato depth
      case 10: controller = 78; break;   // vibrato delay
      case 32: controller = 74; break;   // filter cutoff
      case 33: controller = 71; break;   // filter resonance
      case 99: controller = 73; break;   // attack time
      case 100: controller = 75; break;  // decay time
      case 102: controller = 72; break;  // release time
      default: break;
    }
    if (controller >= 0) ProcessControlChange(static_cast<uint8_t>(controller), value);
    return;
  }
  int32_t perNote = -1;
  switch (msb) {
    case 24: perNote = 120; break;  // drum pitch
    case 26: perNote = 7; break;    // drum level
    case 28: perNote = 10; break;   // drum pan
    case 29: perNote = 91; break;   // drum reverb send
    case 30: perNote = 93; break;   // drum chorus send
    default: break;
  }
  if (perNote >= 0) ProcessControlChangePerNote(static_cast<uint8_t>(lsb), static_cast<uint8_t>(perNote), value);
}

void TChannel::ProcessControlChangePerNote(uint8_t Note, uint8_t Controller, uint8_t Value) {
  ForEachVoice([=](TVoice& voice) {
    if (voice.Active && voice.Note == Note) {
      voice.Controllers[Controller] = Value;
      voice.Modulate(true, Controller);
    }
  });
}

void TChannel::ProcessEventNoteOff(const TMIDIEvent& Event) {
  const int32_t key = Event.Data[0] & 127;
  const int32_t velocity = Event.Data[1] & 127;
  if ((Synth.GeneralMIDIMode == gmmGM1 || Synth.GeneralMIDIMode == gmmGM2) && ChannelIndex == 9 && key != 72 &&
      key != 74) {
    return;
  }
  if (Event.EventNoteID == 0) {
    ForEachVoice([=](TVoice& voice) {
      if (voice.Active && !voice.IsKeyOff && voice.Note == key) voice.KeyOff(velocity);
    });
  } else {
    const uintptr_t id = Event.EventNoteID;
    ForEachVoice([=](TVoice& voice) {
      if (voice.Active && !voice.IsKeyOff && voice.EventNoteID == id) {
        voice.KeyOff(velocity);
        voice.EventNoteID = 0;
      }
    });
    Synth.FreeEventNoteID(id);
  }
}

void TChannel::ProcessEventNoteOn(const TMIDIEvent& Event) {
  const int32_t key = Event.Data[0] & 127;
  int32_t velocity = Event.Data[1] & 127;
  if (velocity == 0) {
    TMIDIEvent noteOff = Event;
    noteOff.Command = static_cast<uint8_t>(0x80 | (Event.Command & 0x0F));
    noteOff.Data[1] = 127;
    ProcessEventNoteOff(noteOff);
    return;
  }
  if (SoftPedal) velocity = std::max(1, velocity / 2);

  if (PortamentoPedal) {
    bool glided = false;
    const int32_t steps = std::max(
        1, static_cast<int32_t>(std::lround(PortamentoTime * 0.001 * Synth.SampleRate * Synth.InvModulationSamples)));
    ForEachVoice([&](TVoice& voice) {
      if (!voice.Active || voice.IsKeyOff || voice.NoteID != LastNoteID) return;
      voice.PortamentoTime = steps;
      voice.PortamentoPosition = 0;
      voice.PortamentoFromKey = voice.ActualPitchKey;
      voice.PortamentoToKey = key;
      voice.Note = key;
      if (voice.Velocity != velocity) {
        voice.Velocity = velocity;
        voice.ModulateAll();
        voice.UpdateParameter(gen::velocity);
        voice.Recalculate();
      }
      glided = true;
    });
    if (glided) return;
  }

  Synth.NoteID = NextID(Synth.NoteID);
  LastNoteID = Synth.NoteID;
  const int64_t noteID = Synth.NoteID;
  ForEachVoice([=](TVoice& voice) {
    if (voice.Active && !voice.IsKeyOff && voice.Note == key && voice.NoteID != noteID) voice.KeyOff(127);
  });

  const TPresetLayers& table = Synth.PresetLayers;
  TPresetLayer* chain = nullptr;
  if (IsPercussionChannel()) {
    chain = table.Get(PercussionBank, ProgramNumber);
    if (chain == nullptr) chain = table.Get(PercussionBank, 0);
  }
  if (chain == nullptr) {
    if (Synth.GeneralMIDIMode != gmmGM1) chain = table.Get(Bank, ProgramNumber);
    if (chain == nullptr) chain = table.Get(0, ProgramNumber);
  }
  if (chain == nullptr) chain = table.Get(0, 0);

  for (TPresetLayer* layer = chain; layer != nullptr; layer = layer->NextLayer) {
    if (layer->Active && ProcessLayer(layer, key, velocity) && !layer->HasChildren()) {
      StartVoice(layer, key, velocity, Event.EventNoteID);
    }
  }
}

bool TChannel::ProcessLayer(TPresetLayer* Layer, int32_t Key, int32_t Velocity) {
  for (const TPresetLayer* layer = Layer; layer != nullptr; layer = layer->Parent) {
    for (const TPresetLayerSelector* selector : layer->Selectors) {
      int32_t value = 0;
      switch (selector->SelectorType()) {
        case lstNOTERANGE: value = Key; break;
        case lstVELOCITYRANGE: value = Velocity; break;
        case lstCHANNELRANGE: value = ChannelIndex; break;
        case lstCONTROLLER7BITRANGE:
        case lstCONTROLLER14BITRANGE: value = selector->ControllerValue(Controllers.data()); break;
        case lstPITCHBENDRANGE: value = PitchBend; break;
        case lstCHANNELPRESSURERANGE: value = ChannelPressure; break;
        case lstKEYPRESSURERANGE: value = KeyPressure; break;
        default: continue;  // bank and program ranges place the layer in the lookup table
      }
      if (!selector->Accepts(value)) return false;
    }
  }
  return true;
}

bool TChannel::EnsureLoaded(TSample* Sample) {
  if (!Sample->Loaded) {
    try {
      Sample->Load(false);
    } catch (const EKelvaneStreamError&) {
      // A damaged bank: the note stays silent instead of ending the render pass.
      return false;
    }
  }
  return Sample->Loaded;
}

void TChannel::StartVoiceWithSample(TVoice* Voice, TPresetLayer* Layer, TSample* Sample, int32_t Key,
                                    int32_t Velocity, uintptr_t EventNoteID, bool ResetVoice) {
  Voice->Kill();
  if (ResetVoice) Voice->Reset();
  Voice->Controllers = Controllers;
  Voice->NoteID = Synth.NoteID;
  Voice->VoiceID = Synth.VoiceID;
  Synth.VoiceID = NextID(Synth.VoiceID);
  Voice->KeyOn(this, Key, Velocity, Layer, Sample);
  Voice->EventNoteID = EventNoteID;
  Synth.KillByExclusiveClass(Voice);
}

void TChannel::StartVoice(TPresetLayer* Layer, int32_t Key, int32_t Velocity, uintptr_t EventNoteID) {
  TSample* sample = nullptr;
  for (TPresetLayer* layer = Layer; layer != nullptr && sample == nullptr; layer = layer->Parent) {
    sample = layer->Sample;
  }
  if (sample == nullptr || !sample->Active || !EnsureLoaded(sample)) return;

  const uint8_t key = static_cast<uint8_t>(Key);
  TVoice* voice = FindFreeVoice(key, Synth.NoteID, Layer);
  if (voice == nullptr) return;
  StartVoiceWithSample(voice, Layer, sample, Key, Velocity, EventNoteID, true);

  if (!Synth.DoHandleLinkedSamples || Synth.IgnoreSampleLinks) return;
  TSample* linked = sample->LinkSample;
  for (int32_t step = 0; step < MaxSampleLinks && linked != nullptr && linked != sample; step++) {
    if (linked->Active && EnsureLoaded(linked)) {
      TVoice* linkedVoice = FindFreeVoice(key, Synth.NoteID, Layer);
      if (linkedVoice != nullptr) {
        StartVoiceWithSample(linkedVoice, Layer, linked, Key, Velocity, EventNoteID, false);
      }
    }
    linked = linked->LinkSample;
  }
}

void TChannel::FillBuffer(TBufferSample* Buffer, TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer,
                          int32_t Samples) {
  const double factor = Synth.ClickRemovalFactor;
  auto live = [](const TBufferSample& r) { return r.Left != 0.0f || r.Right != 0.0f; };
  const int32_t count = live(Last) + live(ChorusLast) + live(ReverbLast);
  if (count == 0 || Samples <= 0) return;
  // Two or three residues decay faster together; distinct buffers only, as
  // the order of the sums would matter otherwise.
  if (count >= 2 && Buffer != ChorusBuffer && Buffer != ReverbBuffer && ChorusBuffer != ReverbBuffer) {
    DecayThreeResidues({&Last, &ChorusLast, &ReverbLast}, {Buffer, ChorusBuffer, ReverbBuffer}, Samples, factor);
    return;
  }
  ProcClickRemoval(Last, Buffer, Samples, factor, 1.0);
  ProcClickRemoval(ChorusLast, ChorusBuffer, Samples, factor, 1.0);
  ProcClickRemoval(ReverbLast, ReverbBuffer, Samples, factor, 1.0);
}

}  // namespace kelvane
