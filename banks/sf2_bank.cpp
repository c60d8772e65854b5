#include "banks/sf2_bank.h"

#include <algorithm>
#include <limits>

#include "banks/attached_sound_font.h"
#include "banks/preset_layer.h"
#include "banks/sf2_samples.h"
#include "banks/sf2_zones.h"

namespace kelvane {

std::vector<TSample*> CreateSF2Samples(TSynth* synth, TSampleList& samples, const TSF2File& file) {
  const int64_t smplFrames = file.SmplOfs != 0 ? file.SmplSize / 2 : 0;
  std::vector<TSample*> bankSamples;
  bankSamples.reserve(file.SampleHeaders.size());
  for (const TSFSample& h : file.SampleHeaders) {
    auto* s = new TSample(synth);
    s->Index = static_cast<int32_t>(samples.Add(s));
    s->BankIndex = static_cast<int32_t>(bankSamples.size());
    bankSamples.push_back(s);
    s->Name = SFName(h.SampleName);
    s->SFSample = h;
    const TSF2SampleGeometry g = SF2SampleGeometry(h, file.IsVersion1(), smplFrames);
    s->Length = g.Length;
    s->LoopStart = g.LoopStart;
    s->LoopEnd = g.LoopEnd;
    s->SampleRate = static_cast<int32_t>(std::min<uint32_t>(h.SampleRate, std::numeric_limits<int32_t>::max()));
    s->OriginalPitch = h.OriginalPitch;
    s->PitchCorrection = h.PitchCorrection;
  }
  return bankSamples;
}

namespace {

void AddRangeSelector(TPresetLayer& layer, TPresetLayerSelectorType type, int32_t lo, int32_t hi) {
  TPresetLayerSelector* selector = layer.AddSelector();
  selector->SetSelectorType(type);
  selector->SetRange(lo, hi);
}

// An instrument-level record replaces the amount of a modulator with the same
// routing (the default ones included), a preset-level one adds to it.
void AddSF2Modulator(TPresetLayer& layer, const TSF2Modulator& m) {
  const TPresetLayerModulatorList& list = layer.Modulators;
  for (int64_t i = 0; i < list.Count(); ++i) {
    const TPresetLayerModulator* existing = list[i];
    if (existing->Dest() == m.Dest && existing->Src1() == m.Src1 && existing->Flags1() == m.Flags1 &&
        existing->Src2() == m.Src2 && existing->Flags2() == m.Flags2) {
      // Writing copies a shared default modulator into the layer first.
      layer.Modulators[i]->SetAmount(m.PresetLevel ? existing->Amount() + m.Amount : m.Amount);
      return;
    }
  }
  layer.AddModulator(m.Dest, m.Src1, m.Flags1, m.Src2, m.Flags2, m.Amount, m.ID, m.IDGroup);
}

}  // namespace

void BuildSF2PresetLayers(TSynth* synth, TPresetLayer& root, TAttachedSoundFont* bank, const TSF2File& file,
                          const std::vector<TSample*>& bankSamples) {
  TPresetLayer* preset = nullptr;
  const bool sf204 = file.IsSF204();
  ConvertSF2Presets(
      file,
      [&](const TSFPresetHeader& h) {
        preset = new TPresetLayer(synth, &root);
        root.Layers.Add(preset);
        preset->AttachedSoundFont = bank;
        preset->Name = SFName(h.Name);
        // SF2 bank n is 14-bit bank n * 128, so bank 128 (percussion) lands on 16384.
        AddRangeSelector(*preset, lstBANKRANGE, h.Bank * 128, h.Bank * 128);
        AddRangeSelector(*preset, lstPROGRAMRANGE, h.Preset, h.Preset);
      },
      [&](const TSF2Leaf& leaf) {
        auto* layer = new TPresetLayer(synth, preset);
        preset->Layers.Add(layer);
        layer->AttachedSoundFont = bank;
        layer->Name = leaf.Name;
        AddRangeSelector(*layer, lstNOTERANGE, leaf.KeyRange.Lo, leaf.KeyRange.Hi);
        AddRangeSelector(*layer, lstVELOCITYRANGE, leaf.VelRange.Lo, leaf.VelRange.Hi);
        layer->Sample = bankSamples[leaf.SampleIndex];
        layer->Generators.Reserve(static_cast<uint32_t>(leaf.Generators.size()));
        for (const TSF2LeafGenerator& g : leaf.Generators) layer->AddGenerator(g.Generator, g.Value);
        layer->AddDefaultModulators(sf204);
        for (const TSF2Modulator& m : leaf.Modulators) AddSF2Modulator(*layer, m);
        layer->SetupLinkedModulators();
      });
}

void LinkSF2Samples(const std::vector<TSample*>& bankSamples, TAttachedSoundFont* bank, bool handleLinkedSamples) {
  const size_t count = bankSamples.size();
  std::vector<uint8_t> flags(count);
  std::vector<int32_t> links(count, -1);
  for (size_t i = 0; i < count; ++i) {
    const uint16_t type = bankSamples[i]->SFSample.SampleType;
    flags[i] = SF2SampleTypeBits(type);
    const uint16_t link = bankSamples[i]->SFSample.SampleLink;
    if (handleLinkedSamples && (type & 1) == 0 && (type & (2 | 4 | 8)) != 0 && link < count) links[i] = link;
  }
  CheckSF2SampleLinks(flags, links);
  for (size_t i = 0; i < count; ++i) {
    TSample* s = bankSamples[i];
    s->AttachedSoundFont = bank;
    s->SampleTypeFlags.Bits = flags[i];  // same bit order as TSampleTypeFlag
    s->LinkSample = links[i] >= 0 ? bankSamples[static_cast<size_t>(links[i])] : nullptr;
  }
}

}  // namespace kelvane
