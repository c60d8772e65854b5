#pragma once

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "synth/channel.h"
#include "synth/synth.h"
#include "synth/voice.h"

namespace kelvane::test {

// A synthesizer with presets built in memory: every zone plays its own loaded
// sine sample, so the sample a voice plays names the zone that started it.
class TChannelFixture {
 public:
  explicit TChannelFixture(int32_t generalMIDIMode = 0) {
    Synth = std::make_unique<TSynth>();
    SetMode(generalMIDIMode);
  }

  void SetMode(int32_t mode) {
    Synth->GeneralMIDIMode = mode;
    Synth->Reset();
  }

  TPresetLayer* AddPreset(int32_t bank, int32_t program) {
    auto* preset = new TPresetLayer(Synth.get(), Synth->RootPresetLayer.get());
    TPresetLayerSelector* b = preset->AddSelector();
    b->SetSelectorType(lstBANKRANGE);
    b->SetRange(bank, bank);
    TPresetLayerSelector* p = preset->AddSelector();
    p->SetSelectorType(lstPROGRAMRANGE);
    p->SetRange(program, program);
    Synth->RootPresetLayer->Layers.Add(preset);
    return preset;
  }

  TSample* NewSample(const std::string& name) {
    auto* sample = new TSample(Synth.get());
    sample->Name = name;
    sample->Length = 1000;
    sample->LoopStart = 0;
    sample->LoopEnd = 1000;
    sample->SampleRate = 44100;
    sample->OriginalPitch = 69;
    const int64_t elements = sample->BufferElements();
    sample->Data = std::make_unique<float[]>(static_cast<size_t>(elements));
    sample->WorkData = std::make_unique<float[]>(static_cast<size_t>(elements));
    for (int64_t i = 0; i < elements; i++) {
      const int64_t k = std::clamp<int64_t>(i - SampleGuardFrames, 0, sample->Length - 1);
      const float value = static_cast<float>(std::sin(2.0 * std::numbers::pi * static_cast<double>(k) / 100.0));
      sample->Data[static_cast<size_t>(i)] = value;
      sample->WorkData[static_cast<size_t>(i)] = value;
    }
    sample->Loaded = true;
    sample->Index = static_cast<int32_t>(Synth->Samples.Add(sample));
    return sample;
  }

  // A zone under parent playing a new sample named name, with an optional selector.
  TPresetLayer* AddZone(TPresetLayer* parent, const std::string& name, TPresetLayerSelectorType type = lstNONE,
                        int32_t lo = 0, int32_t hi = 127, int16_t ccLo = 0, int16_t ccHi = 0) {
    auto* zone = new TPresetLayer(Synth.get(), parent);
    zone->Name = name;
    zone->Sample = NewSample(name);
    if (type != lstNONE) AddSelector(zone, type, lo, hi, ccLo, ccHi);
    parent->Layers.Add(zone);
    return zone;
  }

  static void AddSelector(TPresetLayer* layer, TPresetLayerSelectorType type, int32_t lo, int32_t hi,
                          int16_t ccLo = 0, int16_t ccHi = 0) {
    TPresetLayerSelector* selector = layer->AddSelector();
    selector->SetSelectorType(type);
    selector->SetRange(lo, hi);
    selector->SetCCLo(ccLo);
    selector->SetCCHi(ccHi);
  }

  TChannel& Channel(int32_t index = 0) { return *Synth->Channels[static_cast<size_t>(index)]; }

  void Send(int32_t channel, uint8_t status, uint8_t data1, uint8_t data2 = 0, uintptr_t noteID = 0) {
    TMIDIEvent event;
    event.Command = static_cast<uint8_t>(status | channel);
    event.Data[0] = data1;
    event.Data[1] = data2;
    event.EventNoteID = noteID;
    Channel(channel).ProcessEvent(event);
  }
  void NoteOn(int32_t channel, uint8_t key, uint8_t velocity = 100, uintptr_t noteID = 0) {
    Send(channel, 0x90, key, velocity, noteID);
  }
  void NoteOff(int32_t channel, uint8_t key, uint8_t velocity = 64, uintptr_t noteID = 0) {
    Send(channel, 0x80, key, velocity, noteID);
  }
  void CC(int32_t channel, uint8_t controller, uint8_t value) { Send(channel, 0xB0, controller, value); }

  // Active voices in pool order.
  std::vector<TVoice*> ActiveVoices() const {
    std::vector<TVoice*> voices;
    for (int32_t i = 0; i < Synth->NumberOfVoices; i++) {
      TVoice* voice = Synth->Voices[static_cast<size_t>(i)];
      if (voice->Active) voices.push_back(voice);
    }
    return voices;
  }
  // Names of the samples the active voices play, in pool order.
  std::vector<std::string> Playing() const {
    std::vector<std::string> names;
    for (TVoice* voice : ActiveVoices()) names.push_back(voice->Sample != nullptr ? voice->Sample->Name : "?");
    return names;
  }
  // Pedal and release follow-up of the next rendered block.
  void UpdateVoices() {
    for (TVoice* voice : ActiveVoices()) voice->Update();
  }

  std::unique_ptr<TSynth> Synth;
};

}  // namespace kelvane::test
