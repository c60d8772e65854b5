#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "banks/attached_sound_font.h"
#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "synth/synth.h"
#include "synth/voice.h"

namespace kelvane {
namespace {

// A synthesizer with one SF2-like bank whose samples are one frame each,
// read from a memory stream, and presets built by the test.
class SynthBanksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Bank = new TAttachedSoundFont(&Synth);
    Bank->SoundBankType = sbtSF2;
    Bank->SmplOfs = 2;
    Bank->Stream = std::make_unique<TMemoryStream>(std::vector<uint8_t>(2 + 2 * 64, 0x10));
    Synth.AttachedSoundFonts.Add(Bank);
  }

  TSample* NewSample(const std::string& name) {
    auto* sample = new TSample(&Synth);
    sample->Name = name;
    sample->AttachedSoundFont = Bank;
    sample->Length = 1;
    sample->SFSample.lwStart = static_cast<uint32_t>(Synth.Samples.Count());
    sample->SFSample.SampleType = 1;
    sample->Index = static_cast<int32_t>(Synth.Samples.Add(sample));
    SamplesByName[name] = sample;
    return sample;
  }

  TPresetLayer* AddPreset(int32_t bank, int32_t program) {
    auto* preset = new TPresetLayer(&Synth, Synth.RootPresetLayer.get());
    preset->AttachedSoundFont = Bank;
    TPresetLayerSelector* b = preset->AddSelector();
    b->SetSelectorType(lstBANKRANGE);
    b->SetRange(bank, bank);
    TPresetLayerSelector* p = preset->AddSelector();
    p->SetSelectorType(lstPROGRAMRANGE);
    p->SetRange(program, program);
    Synth.RootPresetLayer->Layers.Add(preset);
    return preset;
  }

  // A zone playing a new sample named name, optionally with one selector.
  TPresetLayer* AddZone(TPresetLayer* preset, const std::string& name, TPresetLayerSelectorType type = lstNONE,
                        int32_t lo = 0, int32_t hi = 127, int16_t cc = 0) {
    auto* zone = new TPresetLayer(&Synth, preset);
    zone->AttachedSoundFont = Bank;
    zone->Name = name;
    zone->Sample = NewSample(name);
    if (type != lstNONE) {
      TPresetLayerSelector* selector = zone->AddSelector();
      selector->SetSelectorType(type);
      selector->SetRange(lo, hi);
      selector->SetCCLo(cc);
    }
    preset->Layers.Add(zone);
    return zone;
  }

  std::set<std::string> LoadedNames() {
    std::set<std::string> names;
    for (TSample* sample : Synth.Samples)
      if (sample->Loaded) names.insert(sample->Name);
    return names;
  }

  TSynth Synth;
  TAttachedSoundFont* Bank = nullptr;
  std::map<std::string, TSample*> SamplesByName;
};

TEST_F(SynthBanksTest, ClearReplacesRootAndDropsBanksSamplesAndLookup) {
  AddZone(AddPreset(0, 0), "piano");
  Synth.SoundBankInfo.BankName = "bank";
  Synth.Recache();
  ASSERT_NE(Synth.PresetLayers.Get(0, 0), nullptr);
  TPresetLayer* oldRoot = Synth.RootPresetLayer.get();
  Synth.Clear();
  ASSERT_NE(Synth.RootPresetLayer, nullptr);
  EXPECT_NE(Synth.RootPresetLayer.get(), oldRoot);
  EXPECT_EQ(Synth.RootPresetLayer->Name, "Root");
  EXPECT_EQ(Synth.RootPresetLayer->Parent, nullptr);
  EXPECT_EQ(Synth.RootPresetLayer->Layers.Count(), 0);
  EXPECT_EQ(Synth.PresetLayers.Get(0, 0), nullptr);
  EXPECT_EQ(Synth.Samples.Count(), 0);
  EXPECT_EQ(Synth.AttachedSoundFonts.Count(), 0);
  EXPECT_TRUE(Synth.SoundBankInfo.BankName.empty());
}

TEST_F(SynthBanksTest, GetPresetInfosListsTheTree) {
  TPresetLayer* piano = AddPreset(0, 0);
  piano->Name = "Piano";
  TPresetLayer* zone = AddZone(piano, "piano zone");
  const TPresetInfos infos = Synth.GetPresetInfos(nullptr, 0, 0, 0, 127);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].Layer, zone);
  EXPECT_EQ(infos[0].Name, "Piano");
}

TEST_F(SynthBanksTest, LoadUnloadSamplesFollowsTheEnableBitmap) {
  TSample* linked = NewSample("right half");
  TPresetLayer* on = AddZone(AddPreset(0, 0), "on");
  on->Sample->SampleTypeFlags.Include(stfLeft);
  on->Sample->LinkSample = linked;
  TPresetLayer* off = AddZone(AddPreset(0, 1), "off");
  Bank->ActiveAllBankPrograms = false;
  Bank->ActiveBankProgramBitmap.Set(0, 0, true);

  // A voice playing the sample that is about to be unloaded.
  off->Sample->Load(false);
  TVoice* voice = Synth.Voices[3];
  voice->Channel = Synth.Channels[0].get();
  voice->Active = true;
  voice->Sample = off->Sample;

  Synth.Recache();
  Synth.LoadUnloadSamples();
  EXPECT_EQ(LoadedNames(), (std::set<std::string>{"on", "right half"}));
  EXPECT_TRUE(on->Sample->Active);
  EXPECT_TRUE(linked->Active);
  EXPECT_FALSE(off->Sample->Active);
  EXPECT_FALSE(voice->Active);
  EXPECT_EQ(voice->Sample, nullptr);

  Bank->ActiveBankProgramBitmap.Clear();
  Synth.Recache();
  Synth.LoadUnloadSamples();
  EXPECT_TRUE(LoadedNames().empty());
  for (TSample* sample : Synth.Samples) EXPECT_FALSE(sample->Active) << sample->Name;

  Bank->ActiveAllBankPrograms = true;
  Synth.DoHandleLinkedSamples = false;
  Synth.Recache();
  Synth.LoadUnloadSamples();
  EXPECT_EQ(LoadedNames(), (std::set<std::string>{"on", "off"}));
}

TEST_F(SynthBanksTest, LoadAllSamplesLoadsEverySample) {
  NewSample("a");
  NewSample("b");
  Synth.LoadAllSamples();
  EXPECT_EQ(LoadedNames(), (std::set<std::string>{"a", "b"}));
}

TEST_F(SynthBanksTest, LoadNeededSamplesFromQueuedEvents) {
  AddZone(AddPreset(0, 0), "p0");
  TPresetLayer* p1 = AddPreset(0, 1);
  AddZone(p1, "low keys", lstNOTERANGE, 0, 63);
  AddZone(p1, "high keys", lstNOTERANGE, 64, 127);
  AddZone(p1, "loud", lstVELOCITYRANGE, 100, 127);
  AddZone(p1, "channel 2", lstCHANNELRANGE, 2, 2);
  AddZone(p1, "modwheel", lstCONTROLLER7BITRANGE, 64, 127, 1);
  AddZone(p1, "pitch bend", lstPITCHBENDRANGE, 200, 300);  // not tested here: passes
  AddZone(AddPreset(128, 1), "bank 128");
  AddZone(AddPreset(PercussionBank, 0), "drums");
  TPresetLayer* disabled = AddZone(AddPreset(0, 3), "disabled");
  Synth.Recache();
  disabled->Active = false;

  struct Event {
    uint8_t command, data0, data1;
  };
  const struct {
    const char* what;
    std::vector<Event> events;
    std::set<std::string> loaded;
  } cases[] = {
      {"program 0 by default", {{0x90, 60, 50}}, {"p0"}},
      {"key and velocity selectors",
       {{0xC0, 1, 0}, {0x90, 60, 50}},
       {"low keys", "pitch bend"}},
      {"high loud key", {{0xC0, 1, 0}, {0x90, 70, 110}}, {"high keys", "loud", "pitch bend"}},
      {"channel selector", {{0xC2, 1, 0}, {0x92, 10, 1}}, {"low keys", "channel 2", "pitch bend"}},
      {"controller shared by all channels",
       {{0xB5, 1, 64}, {0xC0, 1, 0}, {0x90, 10, 1}},
       {"low keys", "modwheel", "pitch bend"}},
      {"bank select MSB",
       {{0xB0, 0, 1}, {0xC0, 1, 0}, {0x90, 10, 1}},
       {"low keys", "pitch bend", "bank 128"}},
      {"bank select LSB then MSB", {{0xB0, 32, 0}, {0xB0, 0, 1}, {0xC0, 1, 0}, {0x90, 10, 1}},
       {"low keys", "pitch bend", "bank 128"}},
      {"empty entries fall back to 0/0", {{0xB0, 0, 1}, {0xC0, 2, 0}, {0x90, 10, 1}}, {"p0"}},
      {"drum channel percussion entry", {{0x99, 36, 100}}, {"drums"}},
      {"drum channel without the program", {{0xC9, 5, 0}, {0x99, 36, 100}}, {"drums", "p0"}},
      {"velocity 0 is a note-off", {{0x90, 60, 0}}, {}},
      {"program change of another channel", {{0xC1, 1, 0}, {0x90, 60, 50}}, {"p0"}},
      {"inactive leaf", {{0xC0, 3, 0}, {0x90, 60, 50}}, {}},
      {"no note", {{0xC0, 1, 0}, {0x80, 60, 50}}, {}},
  };
  for (const auto& c : cases) {
    for (TSample* sample : Synth.Samples) sample->Unload(false);
    Synth.ClearEvents();
    for (const Event& e : c.events) {
      TMIDIEvent event;
      event.Command = e.command;
      event.Data[0] = e.data0;
      event.Data[1] = e.data1;
      Synth.AddEvent(event);
    }
    Synth.LoadNeededSamples();
    EXPECT_EQ(LoadedNames(), c.loaded) << c.what;
  }
}

// Events of a song: (command, data 0, data 1).
void QueueSong(TSynth& synth, std::initializer_list<std::array<uint8_t, 3>> events) {
  synth.ClearEvents();
  for (const auto& e : events) {
    TMIDIEvent event;
    event.Command = e[0];
    event.Data[0] = e[1];
    event.Data[1] = e[2];
    synth.AddEvent(event);
  }
}

TEST_F(SynthBanksTest, KeepNeededSamplesLeavesTheSetOfAFreshLoadAndReusesFrames) {
  TPresetLayer* stereo = AddZone(AddPreset(0, 0), "left");
  TSample* right = NewSample("right");
  stereo->Sample->SampleTypeFlags.Include(stfLeft);
  stereo->Sample->LinkSample = right;
  AddZone(AddPreset(0, 1), "p1");
  AddZone(AddPreset(0, 2), "p2");
  // A sample of a bank without a stream cannot be read again: it stays.
  auto* resident = new TAttachedSoundFont(&Synth);
  Synth.AttachedSoundFonts.Add(resident);
  TPresetLayer* dls = AddZone(AddPreset(0, 3), "resident");
  dls->Sample->Load(false);
  dls->Sample->AttachedSoundFont = resident;
  Synth.Recache();

  QueueSong(Synth, {{0x90, 60, 100}, {0xC1, 1, 0}, {0x91, 60, 100}});
  Synth.LoadNeededSamples();
  ASSERT_EQ(LoadedNames(), (std::set<std::string>{"left", "right", "p1", "resident"}));
  const float* leftFrames = stereo->Sample->Data.get();
  SamplesByName["p1"]->AllocateWorkData(8);  // as a voice's loop would leave it

  // The next song plays programs 0 and 2: p1 goes, p2 comes, the pair stays.
  QueueSong(Synth, {{0xC0, 2, 0}, {0x90, 60, 100}, {0xC1, 0, 0}, {0x91, 60, 100}});
  Synth.KeepNeededSamples();
  EXPECT_EQ(LoadedNames(), (std::set<std::string>{"left", "right", "p2", "resident"}));
  EXPECT_EQ(stereo->Sample->Data.get(), leftFrames);
  for (TSample* sample : Synth.Samples) {
    EXPECT_FALSE(sample->Shelved()) << sample->Name;
    if (sample->Loaded) continue;
    EXPECT_EQ(sample->Data, nullptr) << sample->Name;
    EXPECT_EQ(sample->WorkData, nullptr) << sample->Name;
  }

  // The same as loading the song into a synthesizer with nothing loaded.
  std::set<std::string> kept = LoadedNames();
  for (TSample* sample : Synth.Samples)
    if (sample->AttachedSoundFont == Bank) sample->Unload(false);
  Synth.LoadNeededSamples();
  EXPECT_EQ(LoadedNames(), kept);
}

TEST_F(SynthBanksTest, ReleasedBanksPlayInTheSynthesizerThatAdoptsThem) {
  TPresetLayer* zone = AddZone(AddPreset(0, 0), "piano");
  zone->AddGenerator(gen::sampleModes, 1);
  Synth.SoundBankInfo.BankName = "bank";
  Synth.Recache();
  QueueSong(Synth, {{0x90, 60, 100}});
  Synth.LoadNeededSamples();
  TMIDIEvent noteOn;
  noteOn.Command = 0x90;
  noteOn.Data[0] = 60;
  noteOn.Data[1] = 100;
  Synth.ProcessEvent(noteOn);
  std::vector<TBufferSample> block(64);
  Synth.FillBuffer(block.data(), 64);
  TSample* piano = SamplesByName["piano"];

  TSoundBankSet set;
  Synth.ReleaseSoundBanks(set);
  ASSERT_FALSE(set.Empty());
  EXPECT_EQ(set.Samples.Count(), 1);
  EXPECT_EQ(piano->Synth, nullptr);
  EXPECT_EQ(zone->Synth, nullptr);
  EXPECT_EQ(Synth.AttachedSoundFonts.Count(), 0);
  EXPECT_EQ(Synth.Samples.Count(), 0);
  EXPECT_EQ(Synth.RootPresetLayer->Layers.Count(), 0);
  EXPECT_EQ(Synth.PresetLayers.Get(0, 0), nullptr);
  for (int32_t i = 0; i < Synth.NumberOfVoices; i++) {
    EXPECT_FALSE(Synth.Voices[i]->Active);
    EXPECT_EQ(Synth.Voices[i]->Sample, nullptr);
    EXPECT_EQ(Synth.Voices[i]->PresetLayer, nullptr);
  }
  Synth.ProcessEvent(noteOn);  // nothing left to play
  Synth.FillBuffer(block.data(), 64);

  auto next = std::make_unique<TSynth>();
  next->AdoptSoundBanks(set);
  EXPECT_TRUE(set.Empty());
  EXPECT_EQ(set.Samples.Count(), 0);
  ASSERT_EQ(next->AttachedSoundFonts.Count(), 1);
  EXPECT_EQ(next->AttachedSoundFonts[0], Bank);
  EXPECT_EQ(Bank->Synth, next.get());
  ASSERT_EQ(next->Samples.Count(), 1);
  EXPECT_EQ(next->Samples[0], piano);
  EXPECT_EQ(piano->Synth, next.get());
  EXPECT_TRUE(piano->Loaded);
  EXPECT_EQ(next->PresetLayers.Get(0, 0), zone);
  EXPECT_EQ(zone->Parent->Synth, next.get());
  EXPECT_EQ(next->SoundBankInfo.BankName, "bank");
  next->ProcessEvent(noteOn);
  next->FillBuffer(block.data(), 64);
  int32_t active = 0;
  for (int32_t i = 0; i < next->NumberOfVoices; i++) active += next->Voices[i]->Active;
  EXPECT_EQ(active, 1);
}

}  // namespace
}  // namespace kelvane
