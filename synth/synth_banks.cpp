// TSynth's sound-bank operations: lookup rebuild, preset listing, the bulk
// sample loading and handing banks over to another synthesizer. Run under
// the owner's lock, never inside a block.
#include <cstdint>
#include <unordered_set>
#include <utility>

#include "banks/attached_sound_font.h"
#include "banks/preset_layer.h"
#include "banks/preset_lookup.h"
#include "banks/sample.h"
#include "synth/synth.h"
#include "synth/voice.h"

namespace kelvane {

namespace {

constexpr int32_t DrumChannel = 9;

// Whether every selector of the leaf and of its ancestors accepts the note.
// Bank and program selectors were applied when the lookup table was built.
bool LeafAcceptsNote(const TPresetLayer& leaf, int32_t channel, int32_t key, int32_t velocity,
                     const uint8_t* controllers) {
  for (const TPresetLayer* layer = &leaf; layer; layer = layer->Parent) {
    for (const TPresetLayerSelector* selector : layer->Selectors) {
      switch (selector->fSelectorType) {
        case lstNOTERANGE:
          if (!selector->Accepts(key)) return false;
          break;
        case lstVELOCITYRANGE:
          if (!selector->Accepts(velocity)) return false;
          break;
        case lstCONTROLLER7BITRANGE:
        case lstCONTROLLER14BITRANGE:
          if (!selector->Accepts(selector->ControllerValue(controllers))) return false;
          break;
        case lstCHANNELRANGE:
          if (!selector->Accepts(channel)) return false;
          break;
        default:
          break;
      }
    }
  }
  return true;
}

// Calls Visit(sample) for the sample of every leaf that a note-on of the
// queued events can start, in event order, unless Done(sample) says the
// sample needs no selector test any more. Visit must make Done true, or
// have no effect when repeated: a note-on that repeats an earlier one (same
// channel, bank, program, key and velocity, no controller changed between)
// is skipped.
template <typename TDone, typename TVisit>
void ForEachNeededSample(TSynth& Synth, TDone&& Done, TVisit&& Visit) {
  const TPresetLayers& table = Synth.PresetLayers;
  int32_t programs[16] = {};
  int32_t banks[16] = {};  // 14-bit bank select per channel
  uint8_t controllers[128] = {};  // shared by all channels
  std::unordered_set<uint64_t> seen;
  auto chainOrFallback = [&table](int32_t bank, int32_t program) {
    TPresetLayer* head = table.Get(bank, program);
    return head ? head : table.Get(0, 0);
  };
  for (const TMIDIEvent* event = Synth.EventFirst; event; event = event->Next) {
    const int32_t channel = event->Command & 0x0F;
    switch (event->Command & 0xF0) {
      case 0xB0: {
        const int32_t controller = event->Data[0] & 127;
        const int32_t value = event->Data[1] & 127;
        if (controllers[controller] != value) seen.clear();
        controllers[controller] = static_cast<uint8_t>(value);
        if (controller == 0) banks[channel] = (banks[channel] & 127) | (value << 7);
        if (controller == 32) banks[channel] = (banks[channel] & ~127) | value;
        break;
      }
      case 0xC0:
        programs[channel] = event->Data[0] & 127;
        break;
      case 0x90: {
        const int32_t key = event->Data[0] & 127;
        const int32_t velocity = event->Data[1] & 127;
        if (velocity == 0) break;
        const int32_t program = programs[channel] & 127;
        const int32_t bank = banks[channel] & 16383;
        const uint64_t note = static_cast<uint64_t>(channel) | static_cast<uint64_t>(key) << 4 |
                              static_cast<uint64_t>(velocity) << 11 | static_cast<uint64_t>(program) << 18 |
                              static_cast<uint64_t>(bank) << 25;
        if (!seen.insert(note).second) break;
        TPresetLayer* chains[2] = {nullptr, nullptr};
        if (channel == DrumChannel && table.Get(PercussionBank, program)) {
          chains[0] = table.Get(PercussionBank, program);
        } else {
          if (channel == DrumChannel) {
            chains[0] = table.Get(PercussionBank, 0);
            if (!chains[0]) chains[0] = table.Get(0, program);
            if (!chains[0]) chains[0] = table.Get(0, 0);
          } else {
            chains[0] = chainOrFallback(0, program);
          }
          chains[1] = chainOrFallback(bank, program);
        }
        if (chains[1] == chains[0]) chains[1] = nullptr;
        for (TPresetLayer* head : chains) {
          for (TPresetLayer* leaf = head; leaf; leaf = leaf->NextLayer) {
            if (leaf->Active && !leaf->HasChildren() && leaf->Sample && !Done(*leaf->Sample) &&
                LeafAcceptsNote(*leaf, channel, key, velocity, controllers))
              Visit(*leaf->Sample);
          }
        }
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace

void TSynth::Recache() { RebuildPresetLayers(*RootPresetLayer, PresetLayers); }

TPresetInfos TSynth::GetPresetInfos(TAttachedSoundFont* aSoundFont, int32_t aBankLo, int32_t aBankHi,
                                    int32_t aPrgLo, int32_t aPrgHi) {
  return CollectPresetInfos(*RootPresetLayer, aSoundFont, aBankLo, aBankHi, aPrgLo, aPrgHi);
}

void TSynth::ClearSoundBanks() {
  // Voices only point at samples; drop those pointers before the samples go.
  for (int32_t i = 0; i < NumberOfVoices; ++i)
    if (Voices[i]) Voices[i]->Sample = nullptr;
  RootPresetLayer = std::make_unique<TPresetLayer>(this, nullptr);
  RootPresetLayer->Name = "Root";
  PresetLayers.Clear();
  Samples.Clear();
  AttachedSoundFonts.Clear();
  SoundBankInfo = TSFSoundBankInfo{};
}

void TSynth::LoadUnloadSamples() {
  for (TSample* sample : Samples) sample->Needed = false;
  for (int32_t index = 0; index < TPresetLayers::Count; ++index) {
    for (TPresetLayer* layer = PresetLayers[index]; layer; layer = layer->NextLayer)
      if (layer->Active && !layer->HasChildren() && layer->Sample) layer->Sample->MarkAsNeeded(false);
  }
  for (TSample* sample : Samples) {
    if (sample->Needed) {
      sample->Load(false);
      sample->Active = true;
    } else {
      for (int32_t i = 0; i < NumberOfVoices; ++i) {
        TVoice* voice = Voices[i];
        if (voice && voice->Sample == sample) {
          voice->Kill();
          voice->Sample = nullptr;
        }
      }
      // A sample whose bank keeps no stream (DLS, or a bank read whole)
      // could never be loaded again: it stays in memory, inactive.
      const TAttachedSoundFont* bank = sample->AttachedSoundFont;
      if (!bank || bank->Stream) sample->Unload(false);
      sample->Active = false;
    }
  }
}

void TSynth::LoadAllSamples() {
  for (TSample* sample : Samples) sample->Load(false);
}

void TSynth::LoadNeededSamples() {
  // A loaded sample needs no selector test: loading it again does nothing.
  ForEachNeededSample(
      *this, [](const TSample& sample) { return sample.Loaded.load(std::memory_order_relaxed); },
      [](TSample& sample) { sample.Load(false); });
}

void TSynth::KeepNeededSamples() {
  for (TSample* sample : Samples) {
    sample->Shelve();
    sample->Needed = false;
  }
  // The marks follow links as loading does; the frames of unmarked samples go
  // before anything is read, so that memory holds no frames the song does not need.
  ForEachNeededSample(
      *this, [](const TSample& sample) { return sample.Needed; }, [](TSample& sample) { sample.MarkAsNeeded(false); });
  for (TSample* sample : Samples)
    if (!sample->Needed) sample->DropShelved();
  LoadNeededSamples();
  for (TSample* sample : Samples) sample->DropShelved();
}

namespace {

void SetLayerOwner(TPresetLayer& Layer, TSynth* Owner) {
  Layer.Synth = Owner;
  for (TPresetLayer* child : Layer.Layers) SetLayerOwner(*child, Owner);
}

// Banks, samples and layers of Set (a TSynth or a TSoundBankSet) now belong to Owner.
template <typename TSet>
void SetSoundBankOwner(TSet& Set, TSynth* Owner) {
  for (TAttachedSoundFont* bank : Set.AttachedSoundFonts) bank->Synth = Owner;
  for (TSample* sample : Set.Samples) sample->Synth = Owner;
  if (Set.RootPresetLayer) SetLayerOwner(*Set.RootPresetLayer, Owner);
}

}  // namespace

void TSynth::ReleaseSoundBanks(TSoundBankSet& Into) {
  Into.Clear();
  // The voices keep no pointer into what moves.
  for (int32_t i = 0; i < NumberOfVoices; ++i) {
    if (Voices[i]) {
      Voices[i]->Kill();
      Voices[i]->Sample = nullptr;
      Voices[i]->PresetLayer = nullptr;
    }
  }
  Into.AttachedSoundFonts.Swap(AttachedSoundFonts);
  Into.Samples.Swap(Samples);
  Into.RootPresetLayer = std::move(RootPresetLayer);
  Into.SoundBankInfo = SoundBankInfo;
  SetSoundBankOwner(Into, nullptr);
  ClearSoundBanks();
}

void TSynth::AdoptSoundBanks(TSoundBankSet& From) {
  if (From.Empty()) return;
  ClearSoundBanks();
  AttachedSoundFonts.Swap(From.AttachedSoundFonts);
  Samples.Swap(From.Samples);
  RootPresetLayer = std::move(From.RootPresetLayer);
  SoundBankInfo = From.SoundBankInfo;
  From.Clear();
  SetSoundBankOwner(*this, this);
  Recache();
}

}  // namespace kelvane
