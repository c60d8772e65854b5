#include "editor/editor_model.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "banks/attached_sound_font.h"
#include "banks/preset_layer.h"
#include "synth/channel.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

// A synthesizer with two attached banks built in memory:
// bank 1: presets 0:00 "Piano" and 0:01 "Organ"; bank 2: 0:00 "Harp" and 0:05 "Flute".
struct TEditorFixture : ::testing::Test {
  TSynth Synth;
  TCriticalSectionLock Lock;
  TVSTiProgram Program;
  int ChangeProgramCalls = 0;
  TAttachedSoundFont* First = nullptr;
  TAttachedSoundFont* Second = nullptr;

  void AddPreset(TAttachedSoundFont* font, int32_t bank, int32_t program, const char* name) {
    TPresetLayer* root = Synth.RootPresetLayer.get();
    auto* preset = new TPresetLayer(&Synth, root);
    preset->Name = name;
    preset->AttachedSoundFont = font;
    TPresetLayerSelector* b = preset->AddSelector();
    b->SetSelectorType(lstBANKRANGE);
    b->SetRange(bank, bank);
    TPresetLayerSelector* p = preset->AddSelector();
    p->SetSelectorType(lstPROGRAMRANGE);
    p->SetRange(program, program);
    auto* leaf = new TPresetLayer(&Synth, preset);
    leaf->Name = "zone";
    leaf->AttachedSoundFont = font;
    preset->Layers.Add(leaf);
    root->Layers.Add(preset);
  }

  void SetUp() override {
    for (TAttachedSoundFont** font : {&First, &Second}) {
      *font = new TAttachedSoundFont(&Synth);
      (*font)->SoundBankType = sbtSF2;
      Synth.AttachedSoundFonts.Add(*font);
    }
    AddPreset(First, 0, 0, "Piano");
    AddPreset(First, 0, 1, "Organ");
    AddPreset(Second, 0, 0, "Harp");
    AddPreset(Second, 0, 5, "Flute");
    for (TAttachedSoundFont* font : {First, Second}) {
      auto bank = std::make_unique<TBank>();
      bank->FileName = font == First ? "/banks/one.sf2" : "/banks/two.sf2";
      bank->AttachedSoundFont = font;
      Program.Banks.push_back(std::move(bank));
    }
    for (auto& bank : Program.Banks) bank->Sync();
    Synth.Recache();
  }

  TEditorModel Make() {
    return TEditorModel(Lock, Program, Synth, [this] { ++ChangeProgramCalls; });
  }
};

TEST(EditorEntryText, FormatsAndParsesTheFixedWidthPrefix) {
  EXPECT_EQ(PresetEntryText(0, 0, "Piano 1"), "[0000:00] Piano 1");
  EXPECT_EQ(PresetEntryText(16384, 127, "Drums"), "[4000:7F] Drums");
  struct {
    const char* text;
    bool ok;
    int32_t bank, program;
  } cases[] = {{"[4000:7F] Drums", true, 16384, 127}, {"[00a0:0f]x", true, 160, 15},
               {"[0000:00]", true, 0, 0},             {"[0000:00", false, 0, 0},
               {"(Host controlled)", false, 0, 0},    {"[00G0:00] x", false, 0, 0},
               {"[0000-00] x", false, 0, 0},          {"[0000:00) x", false, 0, 0}};
  for (const auto& c : cases) {
    int32_t bank = -1, program = -1;
    EXPECT_EQ(ParsePresetEntry(c.text, bank, program), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(bank, c.bank) << c.text;
      EXPECT_EQ(program, c.program) << c.text;
    }
  }
}

TEST_F(TEditorFixture, NoBankSelectedLeavesProgramsEmptyAndDisabled) {
  TEditorModel model = Make();
  EXPECT_EQ(model.Banks, (std::vector<std::string>{"/banks/one.sf2", "/banks/two.sf2"}));
  EXPECT_TRUE(model.Programs.empty());
  EXPECT_FALSE(model.ProgramsEnabled);
  EXPECT_FALSE(model.AllEnabled);
  EXPECT_FALSE(model.AllChecked);
  // Nothing enabled yet: only the host entry.
  EXPECT_EQ(model.ChannelPrograms, (std::vector<std::string>{"(Host controlled)"}));
  EXPECT_EQ(model.Channels[15].Title, "MIDI channel 16");
  EXPECT_EQ(model.Channels[0].UpDownMax, 0);
}

TEST_F(TEditorFixture, TickingPresetsAndAllFillsTheChannelListsFirstLeafWins) {
  TEditorModel model = Make();
  model.BankSelection = 1;
  model.SelectBank(1);
  ASSERT_EQ(model.Programs.size(), 2u);
  EXPECT_EQ(model.Programs[0].Text, "[0000:00] Harp");
  EXPECT_EQ(model.Programs[1].Text, "[0000:05] Flute");
  EXPECT_FALSE(model.Programs[0].Checked);

  model.SetProgramChecked(1, true);
  EXPECT_TRUE(Program.Banks[1]->ActiveBankProgramBitmap->TestIndex(5));
  EXPECT_EQ(model.ChannelPrograms, (std::vector<std::string>{"(Host controlled)", "[0000:05] Flute"}));

  model.BankSelection = 0;
  model.SelectBank(0);
  model.SetAllChecked(true);
  EXPECT_EQ(Program.Banks[0]->ActiveAllBankPrograms, SwitchOn);
  model.SetProgramChecked(0, false);  // "All" still enables it
  model.BankSelection = 1;
  model.SelectBank(1);
  model.SetAllChecked(true);
  // 0:00 exists in both banks: the first in tree order (Piano) is listed.
  EXPECT_EQ(model.ChannelPrograms, (std::vector<std::string>{"(Host controlled)", "[0000:00] Piano",
                                                             "[0000:01] Organ", "[0000:05] Flute"}));
  EXPECT_EQ(model.Channels[3].UpDownMax, 3);
}

TEST_F(TEditorFixture, ChannelAssignmentHostControlledAndUnlistedPreset) {
  TEditorModel model = Make();
  model.BankSelection = 0;
  model.SelectBank(0);
  model.SetAllChecked(true);
  ASSERT_EQ(model.ChannelPrograms.size(), 3u);

  model.ChannelProgramSelected(2, 2);  // Organ
  EXPECT_EQ(Program.MIDIChannels[2].BankIndex, 0);
  EXPECT_EQ(Program.MIDIChannels[2].ProgramIndex, 1);
  EXPECT_TRUE(Program.MIDIChannels[2].HasFlag(mcfHasNewBankOrProgram));
  model.ChannelUpDown(4, 99);  // limited to the last item
  EXPECT_EQ(model.Channels[4].ItemIndex, 2);

  // The preset is no longer enabled: the frame shows the host entry, the assignment stays.
  model.SetAllChecked(false);
  EXPECT_EQ(model.Channels[2].ItemIndex, 0);
  EXPECT_EQ(Program.MIDIChannels[2].ProgramIndex, 1);

  // An assignment outside the lookup table (a damaged state) shows the host entry.
  Program.MIDIChannels[9].BankIndex = 20000;
  Program.MIDIChannels[9].ProgramIndex = 200;
  model.UpdateMIDIChannels();
  EXPECT_EQ(model.Channels[9].ItemIndex, 0);

  model.ChannelProgramSelected(2, 0);
  EXPECT_EQ(Program.MIDIChannels[2].BankIndex, -1);
  EXPECT_EQ(Program.MIDIChannels[2].ProgramIndex, -1);
}

TEST_F(TEditorFixture, AudioThreadUpdateIsPickedUpInIdle) {
  TEditorModel model = Make();
  model.BankSelection = 0;
  model.SelectBank(0);
  model.SetAllChecked(true);
  Program.MIDIChannels[7].BankIndex = 0;
  Program.MIDIChannels[7].ProgramIndex = 1;
  model.PostUpdateBankOrPrograms();
  EXPECT_EQ(model.Channels[7].ItemIndex, 0);
  model.Idle();
  EXPECT_EQ(model.Channels[7].ItemIndex, 2);
}

TEST_F(TEditorFixture, BankAddAndRemove) {
  TEditorModel model = Make();
  // A missing file is listed, unattached, with no programs.
  model.AddBank("/nonexistent/bank.sf2");
  ASSERT_EQ(model.Banks.size(), 3u);
  EXPECT_EQ(Program.Banks[2]->AttachedSoundFont, nullptr);
  model.BankSelection = 2;
  model.SelectBank(2);
  EXPECT_TRUE(model.Programs.empty());
  EXPECT_TRUE(model.ProgramsEnabled);
  model.AddBank("");  // dialog cancelled
  EXPECT_EQ(model.Banks.size(), 3u);

  model.RemoveBank();
  EXPECT_EQ(model.Banks.size(), 2u);
  EXPECT_EQ(ChangeProgramCalls, 0);
  model.BankSelection = 0;
  model.RemoveBank();
  model.BankSelection = 0;
  model.RemoveBank();
  EXPECT_TRUE(Program.Banks.empty());
  EXPECT_EQ(ChangeProgramCalls, 1);  // the last bank gone: the program is applied again
  model.RemoveBank();  // nothing selected: nothing happens
  EXPECT_EQ(ChangeProgramCalls, 1);
}

TEST_F(TEditorFixture, BarAndEditInversionsAndRounding) {
  TEditorModel model = Make();
  model.EditChanged(ebFineTune, 37);
  EXPECT_EQ(Program.Data.FineTuning, 37);
  EXPECT_EQ(Synth.MasterFineTuning, 37.0);
  EXPECT_EQ(model.Bars[ebFineTune].Position, -37);

  model.Bars[ebVolume].BarFocused = true;
  model.BarMoved(ebVolume, 50);  // a gain of 1.5 shows and stores 1
  EXPECT_EQ(model.Bars[ebVolume].Value, 1);
  EXPECT_EQ(Program.Data.Volume, 1.0f);
  EXPECT_EQ(model.Bars[ebVolume].Position, 50);  // focused bar stays where the user put it

  model.Bars[ebBalance].BarFocused = true;
  model.BarMoved(ebBalance, -50);
  EXPECT_EQ(Program.Data.Balance, 0.0f);
  EXPECT_EQ(Synth.MasterBalance, 0.5);

  model.Bars[ebVoices].BarFocused = true;
  model.BarMoved(ebVoices, 1);  // top of the bar = most voices
  EXPECT_EQ(Program.Data.Voices, 1024);
  model.EditChanged(ebVoices, 64);
  EXPECT_EQ(model.Bars[ebVoices].Position, 1025 - 64);

  // Not focused: moving the bar programmatically stores nothing.
  model.BarMoved(ebCoarseTune, 12);
  EXPECT_EQ(Program.Data.CoarseTuning, 0);

  model.Bars[ebVolume].BarFocused = false;
  Program.Data.Volume = 0.456f;
  model.EditorUpdate();
  EXPECT_EQ(model.Bars[ebVolume].Value, 0);
  EXPECT_EQ(model.Bars[ebVolume].Position, 200 - 46);
}

TEST_F(TEditorFixture, SettingsAndDropDownsReachProgramAndSynth) {
  TEditorModel model = Make();
  model.DropDownChanged(2, 1);
  EXPECT_EQ(Program.Data.GeneralMIDIMode, 1);
  EXPECT_EQ(Synth.GeneralMIDIMode, 1);
  model.DropDownChanged(0, 7);
  EXPECT_EQ(Program.Data.ResamplingMethod, 7);
  model.SettingChecked(0, true);
  EXPECT_EQ(Program.Data.AGC, SwitchOn);
  EXPECT_TRUE(Synth.DoAGC);
  model.SettingChecked(8, true);
  EXPECT_TRUE(Synth.IgnoreSampleLinks);
  EXPECT_STREQ(SettingsItems[3], "Vel\xE2\x9E\x9E" "fc mod");
}

TEST_F(TEditorFixture, TuningLoadClearAndEnforceFlag) {
  TEditorModel model = Make();
  EXPECT_EQ(model.TuningLoadedText(3), "Loaded: (none)");
  const std::string path = ::testing::TempDir() + "editor_quarter.scl";
  {
    std::ofstream out(path);
    out << "! quarter\nQuarter tones\n1\n50.0\n";
  }
  ASSERT_TRUE(model.LoadMIDIChannelTuning(3, path));
  EXPECT_EQ(model.TuningLoadedText(3), "Loaded: editor_quarter.scl");
  EXPECT_TRUE(Program.MIDIChannels[3].HasFlag(mcfTuningTableActive));
  EXPECT_TRUE(Synth.Channels[3]->UseForcedTuningTable);

  model.ClearMIDIChannelTuning(3);
  EXPECT_EQ(model.TuningLoadedText(3), "Loaded: (none)");
  EXPECT_FALSE(Program.MIDIChannels[3].HasFlag(mcfTuningTableActive));
  EXPECT_FALSE(Synth.Channels[3]->UseForcedTuningTable);
  EXPECT_EQ(Synth.Channels[3]->ForcedTuningTable[69], 0.0);
  std::remove(path.c_str());

  EXPECT_THROW(model.LoadMIDIChannelTuning(3, "/nonexistent.scl"), std::exception);
  EXPECT_EQ(model.TuningLoadedText(3), "Loaded: (none)");

  EXPECT_TRUE(model.GetMIDIChannelFlagEnforceBankAndProgram(0));
  model.SetMIDIChannelFlagEnforceBankAndProgram(0, false);
  EXPECT_FALSE(Program.MIDIChannels[0].HasFlag(mcfEnforceBankAndProgram));
}

}  // namespace
}  // namespace kelvane
