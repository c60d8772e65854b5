#include "banks/dls_bank.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "banks/attached_sound_font.h"
#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "synth/generators.h"
#include "synth/synth.h"

namespace kelvane {

namespace {

// The wave as a region without sample info of its own plays it: its own
// "wsmp" tuning and loop, if any. Regions share it; their differences become
// generators.
struct TDLSSampleEntry {
  TSample* Sample = nullptr;
  int32_t SampleModes = 0;
};

TDLSSampleEntry CreateSample(TSynth& synth, TAttachedSoundFont* bank, const TWAVSample& wave,
                             const TDLSRegion& region) {
  auto* s = new TSample(&synth);
  s->Index = static_cast<int32_t>(synth.Samples.Add(s));
  // The bank owns its samples, so detaching it removes them; with no stream
  // they are never reloaded.
  s->AttachedSoundFont = bank;
  s->Length = wave.length;
  s->SampleRate = wave.SampleRate;
  s->OriginalPitch = region.UnityNote;
  s->PitchCorrection = region.FineTune;
  s->AmpLeft = s->AmpRight = 1.0;
  TDLSSampleEntry entry{s, 0};
  if (wave.Loop.LoopType != 0) {
    entry.SampleModes = 1;
    s->LoopStart = wave.Loop.LoopStart;
    s->LoopEnd = wave.Loop.LoopEnd;
  } else if (wave.SustainLoop.LoopType != 0) {
    entry.SampleModes = 3;
    s->LoopStart = wave.SustainLoop.LoopStart;
    s->LoopEnd = wave.SustainLoop.LoopEnd;
  }
  const int64_t count = wave.length;
  const int64_t elements = count + SampleGuardElements;
  std::unique_ptr<float[]> data(new float[static_cast<size_t>(elements)]);
  float* frames = data.get() + SampleGuardFrames;
  std::copy_n(wave.Data.data(), count, frames);
  std::fill_n(data.get(), SampleGuardFrames, count > 0 ? frames[0] : 0.0f);
  std::fill_n(frames + count, SampleGuardFrames, count > 0 ? frames[count - 1] : 0.0f);
  s->Data = std::move(data);
  s->AllocateLoopWorkData();
  s->Loaded = true;
  return entry;
}

void AddRangeSelector(TPresetLayer& layer, TPresetLayerSelectorType type, int32_t lo, int32_t hi) {
  TPresetLayerSelector* selector = layer.AddSelector();
  selector->SetSelectorType(type);
  selector->SetRange(lo, hi);
}

// As an instrument-level SF2 record: the same routing replaces the amount.
void AddDLSModulator(TPresetLayer& layer, const TSF2Modulator& m) {
  const TPresetLayerModulatorList& list = layer.Modulators;
  for (int64_t i = 0; i < list.Count(); ++i) {
    const TPresetLayerModulator* existing = list[i];
    if (existing->Dest() == m.Dest && existing->Src1() == m.Src1 && existing->Flags1() == m.Flags1 &&
        existing->Src2() == m.Src2 && existing->Flags2() == m.Flags2) {
      // Writing copies a shared default modulator into the layer first.
      layer.Modulators[i]->SetAmount(m.Amount);
      return;
    }
  }
  layer.AddModulator(m.Dest, m.Src1, m.Flags1, m.Src2, m.Flags2, m.Amount, -1, 0);
}

// A region's own tuning and loop against its wave's sample, as generators.
void ApplyRegionSample(const TDLSRegion& region, const TWAVSample& resolved, const TDLSSampleEntry& entry,
                       TDLSLeafValues& values) {
  auto& gens = values.Generators;
  const TSample& sample = *entry.Sample;
  gens[gen::sampleModes] = entry.SampleModes;
  if ((region.Options & DLSRegionHasWSMP) == 0) return;  // the wave's own info applies
  if (region.UnityNote != sample.OriginalPitch) gens[gen::overridingRootKey] = region.UnityNote;
  if (region.FineTune != sample.PitchCorrection) {
    const int32_t cents = 100 * gens[gen::coarseTune] + gens[gen::fineTune] + region.FineTune - sample.PitchCorrection;
    gens[gen::coarseTune] = std::clamp(cents / 100, -120, 120);
    gens[gen::fineTune] = cents - 100 * (cents / 100);
  }
  const TSampleLoop& loop = resolved.Loop.LoopType != 0 ? resolved.Loop : resolved.SustainLoop;
  gens[gen::sampleModes] = resolved.Loop.LoopType != 0 ? 1 : resolved.SustainLoop.LoopType != 0 ? 3 : 0;
  if (gens[gen::sampleModes] == 0) return;
  auto offset = [&gens](int32_t fine, int32_t coarse, int64_t delta) {
    gens[coarse] = static_cast<int32_t>(delta / 32768);
    gens[fine] = static_cast<int32_t>(delta % 32768);
  };
  offset(gen::startloopAddrsOffset, gen::startloopAddrsCoarseOffset,
         static_cast<int64_t>(loop.LoopStart) - sample.LoopStart);
  offset(gen::endloopAddrsOffset, gen::endloopAddrsCoarseOffset, static_cast<int64_t>(loop.LoopEnd) - sample.LoopEnd);
}

void BuildDLSLayers(TSynth& synth, TAttachedSoundFont* bank, const TDLS& dls) {
  // Decoded waves by wave link; a null sample marks a wave that failed.
  std::vector<std::optional<TDLSSampleEntry>> waves(dls.Waveforms.size() + 1);
  TDLSInst inst;
  for (uint32_t i = 0; i < dls.CountInstruments; ++i) {
    if (!dls.ExtractInstrument(inst, i, false)) continue;
    auto* preset = new TPresetLayer(&synth, synth.RootPresetLayer.get());
    synth.RootPresetLayer->Layers.Add(preset);
    preset->AttachedSoundFont = bank;
    preset->Name = inst.Name.substr(0, inst.Name.find('\0'));
    AddRangeSelector(*preset, lstBANKRANGE, inst.Bank, inst.Bank);
    AddRangeSelector(*preset, lstPROGRAMRANGE, inst.Preset, inst.Preset);
    for (uint32_t r = 0; r < inst.Layers.size(); ++r) {
      TDLSInstLayer& layer = inst.Layers[r];
      const uint16_t link = layer.Region.WaveLink;
      if (link == 0 || link >= waves.size()) continue;  // no wave: the region plays nothing
      std::optional<TDLSSampleEntry>& entry = waves[link];
      if (!entry) {
        TDLSInstLayer plain;
        plain.Region = TDLSRegion{};
        entry = TDLSSampleEntry{};
        if (dls.ExtractSample(plain.Sample, plain, i, r)) *entry = CreateSample(synth, bank, plain.Sample, plain.Region);
      }
      if (!entry->Sample) continue;  // the wave cannot be decoded
      // The region's own loop and tuning, resolved without decoding again.
      TWAVSample resolved;
      dls.ResolveRegionSample(resolved, layer);

      auto* leaf = new TPresetLayer(&synth, preset);
      preset->Layers.Add(leaf);
      leaf->AttachedSoundFont = bank;
      leaf->Name = preset->Name;
      AddRangeSelector(*leaf, lstNOTERANGE, layer.Region.KeyMin, layer.Region.KeyMax);
      AddRangeSelector(*leaf, lstVELOCITYRANGE, layer.Region.VelocityMin, layer.Region.VelocityMax);
      leaf->Sample = entry->Sample;
      leaf->AddDefaultModulators(false);
      TDLSLeafValues values = ConvertDLSRegion(layer.Region, layer.Connection);
      ApplyRegionSample(layer.Region, resolved, *entry, values);
      for (int32_t g = 0; g < SFGeneratorCount; ++g) {
        const int32_t v = values.Generators[static_cast<size_t>(g)];
        if (v != GeneratorInfoTable[g].Default) leaf->AddGenerator(g, v);
      }
      for (const TSF2Modulator& m : values.Modulators) AddDLSModulator(*leaf, m);
      leaf->SetupLinkedModulators();
    }
  }
}

}  // namespace

TAttachedSoundFont* AttachDLSBank(TSynth& Synth, TStreamPtr& Stream) {
  if (!Stream || !Synth.RootPresetLayer) return nullptr;
  try {
    if (!TDLS::IsBank(*Stream)) return nullptr;
  } catch (const EKelvane&) {
    return nullptr;
  }
  auto dls = std::make_unique<TDLS>();
  const int64_t samplesBefore = Synth.Samples.Count();
  const int64_t layersBefore = Synth.RootPresetLayer->Layers.Count();
  TAttachedSoundFont* bank = nullptr;
  bool ok = true;
  try {
    if (!dls->Open(*Stream)) return nullptr;
    bank = new TAttachedSoundFont(&Synth);
    Synth.AttachedSoundFonts.Add(bank);
    bank->SoundBankType = sbtDLS;
    TSFSoundBankInfo& info = bank->SoundBankInfo;
    info.BankName = dls->BankInfo.BankName;
    info.Author = dls->BankInfo.Engineer;
    info.Copyright = dls->BankInfo.Copyright;
    info.Comment = dls->BankInfo.Comments;
    info.Software = dls->BankInfo.Software;
    info.Description = dls->BankInfo.Description;
    BuildDLSLayers(Synth, bank, *dls);
  } catch (const std::bad_alloc&) {
    ok = false;
  } catch (const EKelvane&) {
    ok = false;
  }
  if (!ok) {
    // A failed read leaves the synthesizer as it found it.
    TPresetLayerList& layers = Synth.RootPresetLayer->Layers;
    while (layers.Count() > layersBefore) layers.Delete(layers.Count() - 1);
    while (Synth.Samples.Count() > samplesBefore) Synth.Samples.Delete(Synth.Samples.Count() - 1);
    if (bank) Synth.AttachedSoundFonts.Remove(bank);
    return nullptr;
  }
  Stream.reset();
  return bank;
}

}  // namespace kelvane
