#include "editor/editor_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <strings.h>

#include "banks/preset_layer.h"
#include "banks/stream.h"
#include "plugin/tuning_file.h"
#include "synth/channel.h"
#include "synth/chorus.h"
#include "synth/reverb.h"
#include "synth/synth.h"

namespace kelvane {

namespace {
constexpr int32_t BankCount = 16385;
constexpr size_t TableSize = static_cast<size_t>(BankCount) * 128;

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

void SortEntries(std::vector<std::string>& list) {
  std::stable_sort(list.begin(), list.end(),
                   [](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) < 0; });
}

int32_t RoundToInt(double value) { return static_cast<int32_t>(std::lround(value)); }
}  // namespace

const std::array<const char*, 20> ResamplingMethodItems = {
    "NEAREST",    "LINEAR",      "CUBICSPLINE", "POLYPHASEFIR", "FASTSINC8", "FASTSINC16", "FASTSINC32",
    "FASTSINC64", "FASTSINC128", "FASTSINC256", "FASTSINC512",  "FASTSINC1024", "SINC8",  "SINC16",
    "SINC32",     "SINC64",      "SINC128",     "SINC256",      "SINC512",   "SINC1024"};
const std::array<const char*, 3> ResamplingInterpolationItems = {"Nearest", "Linear", "Bilinear"};
const std::array<const char*, 3> GeneralMIDIModeItems = {"SF2", "GM1", "GM2"};
const std::array<const char*, 3> VoiceAllocationItems = {"0", "1", "2"};
const std::array<const char*, 10> SettingsItems = {
    "AGC",     "Resample loop wrapping", "EMU10K1 emulation",     "Vel\xE2\x9E\x9E" "fc mod",
    "Chorus",  "Reverb",                 "Multithreaded",         "Skinned user interface",
    "Ignore sample links", "Lower volume by -6dB"};

std::string PresetEntryText(int32_t bank, int32_t program, const std::string& name) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "[%04X:%02X] ", static_cast<unsigned>(bank) & 0xFFFFu,
                static_cast<unsigned>(program) & 0xFFu);
  return prefix + name;
}

bool ParsePresetEntry(const std::string& text, int32_t& bank, int32_t& program) {
  if (text.size() <= 8 || text[0] != '[' || text[5] != ':' || text[8] != ']') return false;
  for (size_t i : {1, 2, 3, 4, 6, 7})
    if (!IsHex(text[i])) return false;
  bank = static_cast<int32_t>(std::stoul(text.substr(1, 4), nullptr, 16));
  program = static_cast<int32_t>(std::stoul(text.substr(6, 2), nullptr, 16));
  return true;
}

TEditorModel::TEditorModel(TCriticalSectionLock& lock, TVSTiProgram& program, TSynth& synth,
                           std::function<void()> changeProgram0)
    : Bars{{{"Voices", 1, 1024}, {"Volume", 0, 200}, {"Balance", -100, 100}, {"Coarse tune", -100, 100},
            {"Fine tune", -100, 100}}},
      fLock(lock),
      fProgram(program),
      fSynth(synth),
      fChangeProgram0(std::move(changeProgram0)),
      fBankPrgPresetLayers(TableSize, nullptr),
      fMIDIBankProgramToItemIndex(TableSize, -1) {
  for (size_t i = 0; i < Channels.size(); ++i) Channels[i].Title = "MIDI channel " + std::to_string(i + 1);
  SelectBank(-1);
  EditorUpdate();
}

void TEditorModel::EditorUpdate() {
  InChange = true;
  {
    std::lock_guard guard(fLock);
    MIDIChannelProgramsDirty = true;
    Banks.clear();
    for (auto& bank : fProgram.Banks) Banks.push_back(bank->FileName);
    BankSelection = -1;
    const TVSTiData& data = fProgram.Data;
    const std::array<int32_t, 5> values = {data.Voices, static_cast<int32_t>(data.Volume),
                                           static_cast<int32_t>(data.Balance), data.CoarseTuning, data.FineTuning};
    for (int32_t i = 0; i < 5; ++i) {
      Bars[i].Value = std::clamp(values[i], Bars[i].Min, Bars[i].Max);
      ApplyBarPosition(static_cast<TEditorBar>(i));
    }
    DropDowns = {data.ResamplingMethod, data.ResamplingInterpolationMode, data.GeneralMIDIMode,
                 data.VoiceAllocationAlgorithm};
    const std::array<TSwitch, 10> switches = {data.AGC, data.ResampleLoopWrapping, data.EMU10K1Mode,
                                              data.ModulateVelocityToFilterCutOff, data.Chorus, data.Reverb,
                                              data.MultiThreaded, data.SkinnedUserInterface,
                                              data.IgnoreSampleLinks, data.LowerVolumeByMinus6dB};
    for (size_t i = 0; i < switches.size(); ++i) Settings[i] = switches[i] != SwitchOff;
  }
  SelectBank(BankSelection);
  UpdateMIDIChannels();
  InChange = false;
}

void TEditorModel::Idle() {
  if (fUpdatePending.exchange(false, std::memory_order_acq_rel)) UpdateMIDIChannels();
}

void TEditorModel::Walk(const TPresetLayer& layer, int32_t bankLo, int32_t bankHi, int32_t prgLo, int32_t prgHi,
                        const TLeafTest& test, std::vector<std::string>& out) {
  for (const TPresetLayerSelector* selector : layer.Selectors) {
    const TPresetLayerSelectorRange& range = selector->Range();
    if (selector->SelectorType() == lstBANKRANGE) {
      bankLo = std::max(bankLo, range.Lo);
      bankHi = std::min(bankHi, range.Hi);
    } else if (selector->SelectorType() == lstPROGRAMRANGE) {
      prgLo = std::max(prgLo, range.Lo);
      prgHi = std::min(prgHi, range.Hi);
    }
  }
  if (layer.HasChildren()) {
    for (const TPresetLayer* child : layer.Layers) Walk(*child, bankLo, bankHi, prgLo, prgHi, test, out);
    return;
  }
  if (!test(layer)) return;
  // The preset is the ancestor right below the root for SF2 and DLS banks.
  const TPresetLayer* named = &layer;
  const TAttachedSoundFont* attached = layer.AttachedSoundFont;
  if (attached != nullptr &&
      (attached->SoundBankType == sbtSF2 || attached->SoundBankType == sbtDLS)) {
    while (named->Parent != nullptr && named->Parent->Parent != nullptr) named = named->Parent;
  }
  for (int32_t b = std::max(bankLo, 0); b <= std::min(bankHi, BankCount - 1); ++b)
    for (int32_t p = std::max(prgLo, 0); p <= std::min(prgHi, 127); ++p) {
      const TPresetLayer*& slot = fBankPrgPresetLayers[static_cast<size_t>(b) * 128 + static_cast<size_t>(p)];
      if (slot != nullptr) continue;
      slot = &layer;
      out.push_back(PresetEntryText(b, p, named->Name));
    }
}

void TEditorModel::SelectBank(int32_t index) {
  if (index == CurrentBankIndex) return;
  const bool wasInChange = InChange;
  InChange = true;
  CurrentBankIndex = index;
  Programs.clear();
  if (index < 0) {
    AllChecked = false;
    AllEnabled = false;
    ProgramsEnabled = false;
  } else {
    AllEnabled = true;
    ProgramsEnabled = true;
    std::lock_guard guard(fLock);
    if (static_cast<size_t>(index) < fProgram.Banks.size() && fProgram.Banks[index]->AttachedSoundFont != nullptr) {
      TBank& bank = *fProgram.Banks[index];
      std::fill(fBankPrgPresetLayers.begin(), fBankPrgPresetLayers.end(), nullptr);
      std::vector<std::string> texts;
      const TAttachedSoundFont* attached = bank.AttachedSoundFont;
      if (fSynth.RootPresetLayer)
        Walk(*fSynth.RootPresetLayer, 0, BankCount - 1, 0, 127,
             [attached](const TPresetLayer& leaf) { return leaf.AttachedSoundFont == attached; }, texts);
      SortEntries(texts);
      for (auto& text : texts) {
        int32_t b = 0, p = 0;
        ParsePresetEntry(text, b, p);
        Programs.push_back({text, bank.ActiveBankProgramBitmap->TestIndex(b * 128 + p)});
      }
      AllChecked = bank.ActiveAllBankPrograms != SwitchOff;
    } else {
      AllChecked = false;
    }
  }
  InChange = wasInChange;
}

void TEditorModel::UpdateMIDIChannels() {
  std::lock_guard guard(fLock);
  const bool rebuilt = MIDIChannelProgramsDirty;
  if (rebuilt) {
    ChannelPrograms.clear();
    std::fill(fBankPrgPresetLayers.begin(), fBankPrgPresetLayers.end(), nullptr);
    std::fill(fMIDIBankProgramToItemIndex.begin(), fMIDIBankProgramToItemIndex.end(), -1);
    if (fSynth.RootPresetLayer)
      Walk(*fSynth.RootPresetLayer, 0, BankCount - 1, 0, 127,
           [](const TPresetLayer& leaf) { return leaf.Active && leaf.AttachedSoundFont != nullptr; },
           ChannelPrograms);
    SortEntries(ChannelPrograms);
    ChannelPrograms.insert(ChannelPrograms.begin(), HostControlledText);
    ItemIndexToMIDIBankProgram.assign(ChannelPrograms.size(), {-1, -1});
    for (size_t i = 1; i < ChannelPrograms.size(); ++i) {
      int32_t b = 0, p = 0;
      if (!ParsePresetEntry(ChannelPrograms[i], b, p)) continue;
      ItemIndexToMIDIBankProgram[i] = {static_cast<int16_t>(b), static_cast<int16_t>(p)};
      fMIDIBankProgramToItemIndex[static_cast<size_t>(b) * 128 + p] = static_cast<int32_t>(i);
    }
  }
  for (size_t c = 0; c < Channels.size(); ++c) {
    if (rebuilt) Channels[c].UpDownMax = std::max<int32_t>(0, static_cast<int32_t>(ChannelPrograms.size()) - 1);
    const TVSTiMIDIChannel& channel = fProgram.MIDIChannels[c];
    int32_t item = 0;
    if (channel.IsSet() && channel.BankIndex < BankCount && channel.ProgramIndex < 128)
      item = std::max(0, fMIDIBankProgramToItemIndex[static_cast<size_t>(channel.BankIndex) * 128 +
                                                     static_cast<size_t>(channel.ProgramIndex)]);
    Channels[c].ItemIndex = item;
  }
  MIDIChannelProgramsDirty = false;
}

void TEditorModel::ResyncBank(TBank& bank) {
  if (bank.AttachedSoundFont == nullptr) return;
  bank.Sync();
  fSynth.Recache();
  fSynth.LoadUnloadSamples();
  MIDIChannelProgramsDirty = true;
}

void TEditorModel::AddBank(const std::string& fileName) {
  CurrentBankIndex = -3;
  if (!fileName.empty()) {
    std::lock_guard guard(fLock);
    auto bank = std::make_unique<TBank>();
    bank->FileName = fileName;
    bank->ActiveAllBankPrograms = SwitchOff;
    TBank& added = *bank;
    fProgram.Banks.push_back(std::move(bank));
    std::error_code error;
    if (std::filesystem::is_regular_file(FileNamePath(fileName), error)) {
      added.AttachedSoundFont = fSynth.AttachSoundFont(std::make_unique<TFileStream>(fileName), true);
      ResyncBank(added);
    }
    Banks.clear();
    for (auto& b : fProgram.Banks) Banks.push_back(b->FileName);
  }
  SelectBank(BankSelection);
  UpdateMIDIChannels();
}

void TEditorModel::RemoveBank() {
  CurrentBankIndex = -3;
  {
    std::lock_guard guard(fLock);
    if (BankSelection >= 0 && static_cast<size_t>(BankSelection) < fProgram.Banks.size()) {
      TBank& bank = *fProgram.Banks[BankSelection];
      if (bank.AttachedSoundFont != nullptr) fSynth.DetachSoundFont(bank.AttachedSoundFont, true);
      bank.AttachedSoundFont = nullptr;
      fProgram.Banks.erase(fProgram.Banks.begin() + BankSelection);
      Banks.clear();
      for (auto& b : fProgram.Banks) Banks.push_back(b->FileName);
      BankSelection = -1;
      fSynth.Recache();
      fSynth.LoadUnloadSamples();
      MIDIChannelProgramsDirty = true;
      if (fProgram.Banks.empty() && fChangeProgram0) fChangeProgram0();
    }
  }
  SelectBank(BankSelection);
  UpdateMIDIChannels();
}

void TEditorModel::SetProgramChecked(int32_t item, bool checked) {
  if (InChange || item < 0 || static_cast<size_t>(item) >= Programs.size()) return;
  Programs[item].Checked = checked;
  {
    std::lock_guard guard(fLock);
    int32_t b = 0, p = 0;
    if (CurrentBankIndex < 0 || static_cast<size_t>(CurrentBankIndex) >= fProgram.Banks.size() ||
        !ParsePresetEntry(Programs[item].Text, b, p))
      return;
    TBank& bank = *fProgram.Banks[CurrentBankIndex];
    bank.ActiveBankProgramBitmap->SetIndex(b * 128 + p, checked);
    ResyncBank(bank);
  }
  UpdateMIDIChannels();
}

void TEditorModel::SetAllChecked(bool checked) {
  if (InChange || !AllEnabled) return;
  AllChecked = checked;
  {
    std::lock_guard guard(fLock);
    if (CurrentBankIndex < 0 || static_cast<size_t>(CurrentBankIndex) >= fProgram.Banks.size()) return;
    TBank& bank = *fProgram.Banks[CurrentBankIndex];
    bank.ActiveAllBankPrograms = checked ? SwitchOn : SwitchOff;
    ResyncBank(bank);
  }
  UpdateMIDIChannels();
}

void TEditorModel::ApplyBarPosition(TEditorBar bar) {
  TBarEdit& e = Bars[bar];
  const TVSTiData& data = fProgram.Data;
  int32_t position = e.Position;
  switch (bar) {
    case ebVoices: position = std::max(1, e.Max + e.Min - data.Voices); break;
    case ebVolume: position = 200 - RoundToInt(data.Volume * 100.0); break;
    case ebBalance: position = -RoundToInt(data.Balance * 100.0); break;
    case ebCoarseTune: position = -data.CoarseTuning; break;
    case ebFineTune: position = -data.FineTuning; break;
  }
  if (bar == ebVoices || !e.BarFocused) e.Position = std::clamp(position, e.Min, e.Max);
}

void TEditorModel::EditChanged(TEditorBar bar, int32_t value) {
  TBarEdit& e = Bars[bar];
  std::lock_guard guard(fLock);
  if (!InChange) {
    // The edits show Volume and Balance in whole numbers; the bar keeps the fraction.
    value = std::clamp(value, bar == ebVolume ? 0 : bar == ebBalance ? -1 : e.Min,
                       bar == ebVolume ? 2 : bar == ebBalance ? 1 : e.Max);
    e.Value = value;
    TVSTiData& data = fProgram.Data;
    switch (bar) {
      case ebVoices: data.Voices = value; fSynth.SetNumberOfVoices(value); break;
      case ebVolume: data.Volume = static_cast<float>(value); fSynth.MasterVolume = value; break;
      case ebBalance:
        data.Balance = static_cast<float>(value);
        fSynth.MasterBalance = value * 0.5 + 0.5;
        break;
      case ebCoarseTune: data.CoarseTuning = value; fSynth.MasterCoarseTuning = value; break;
      case ebFineTune: data.FineTuning = value; fSynth.MasterFineTuning = value; break;
    }
  }
  ApplyBarPosition(bar);
}

void TEditorModel::BarMoved(TEditorBar bar, int32_t position) {
  TBarEdit& e = Bars[bar];
  position = std::clamp(position, e.Min, e.Max);
  e.Position = position;
  if (!e.BarFocused || e.EditFocused) return;
  int32_t value = 0;
  switch (bar) {
    case ebVoices: value = e.Max + e.Min - position; break;
    case ebVolume: value = static_cast<int32_t>((200 - position) * 0.01); break;
    case ebBalance: value = static_cast<int32_t>(-position * 0.01); break;
    case ebCoarseTune:
    case ebFineTune: value = -position; break;
  }
  EditChanged(bar, value);
}

void TEditorModel::DropDownChanged(int32_t list, int32_t index) {
  if (InChange || list < 0 || list > 3) return;
  DropDowns[list] = index;
  std::lock_guard guard(fLock);
  TVSTiData& data = fProgram.Data;
  switch (list) {
    case 0: data.ResamplingMethod = index; break;
    case 1: data.ResamplingInterpolationMode = index; break;
    case 2: data.GeneralMIDIMode = index; fSynth.GeneralMIDIMode = index; break;
    case 3: data.VoiceAllocationAlgorithm = index; fSynth.VoiceAllocationAlgorithm = index; break;
  }
}

void TEditorModel::SettingChecked(int32_t item, bool checked) {
  if (InChange || item < 0 || item >= 10) return;
  Settings[item] = checked;
  std::lock_guard guard(fLock);
  TVSTiData& data = fProgram.Data;
  TSwitch* switches[10] = {&data.AGC, &data.ResampleLoopWrapping, &data.EMU10K1Mode,
                           &data.ModulateVelocityToFilterCutOff, &data.Chorus, &data.Reverb,
                           &data.MultiThreaded, &data.SkinnedUserInterface, &data.IgnoreSampleLinks,
                           &data.LowerVolumeByMinus6dB};
  for (int32_t i = 0; i < 10; ++i) *switches[i] = Settings[i] ? SwitchOn : SwitchOff;
  fSynth.DoAGC = Settings[0];
  fSynth.ResampleLoopWrapping = Settings[1];
  fSynth.EMU10K1Mode = Settings[2];
  fSynth.ModulateVelocityToFilterCutOff = Settings[3];
  fSynth.IgnoreSampleLinks = Settings[8];
  if (fSynth.Chorus) fSynth.Chorus->Active = Settings[4];
  if (fSynth.Reverb) fSynth.Reverb->Active = Settings[5];
  fSynth.SetNumberOfThreads(Settings[6] ? -1 : 0);
}

void TEditorModel::ChannelProgramSelected(int32_t channel, int32_t item) {
  if (channel < 0 || channel > 15) return;
  const int32_t limited = std::clamp(item, 0, std::max(0, static_cast<int32_t>(ChannelPrograms.size()) - 1));
  Channels[channel].ItemIndex = limited;
  UpdateMIDIChannelToProgramItemIndex(channel, limited);
}

void TEditorModel::ChannelUpDown(int32_t channel, int32_t value) { ChannelProgramSelected(channel, value); }

void TEditorModel::UpdateMIDIChannelToProgramItemIndex(int32_t channel, int32_t item) {
  if (channel < 0 || channel > 15 || item < 0 || static_cast<size_t>(item) >= ItemIndexToMIDIBankProgram.size())
    return;
  std::lock_guard guard(fLock);
  TVSTiMIDIChannel& c = fProgram.MIDIChannels[channel];
  c.BankIndex = ItemIndexToMIDIBankProgram[item].Bank;
  c.ProgramIndex = ItemIndexToMIDIBankProgram[item].Prg;
  if (c.IsSet()) c.SetFlag(mcfHasNewBankOrProgram, true);
}

std::string TEditorModel::GetMIDIChannelTuningName(int32_t channel) {
  std::lock_guard guard(fLock);
  return fProgram.MIDIChannels[channel & 15].TuningTableName;
}

std::string TEditorModel::TuningLoadedText(int32_t channel) {
  const std::string name = GetMIDIChannelTuningName(channel);
  return "Loaded: " + (name.empty() ? std::string("(none)") : name);
}

bool TEditorModel::LoadMIDIChannelTuning(int32_t channel, const std::string& fileName) {
  if (fileName.empty()) return false;
  std::lock_guard guard(fLock);
  TVSTiMIDIChannel& c = fProgram.MIDIChannels[channel & 15];
  LoadChannelTuningFile(c, fileName);  // throws, leaving the channel untouched
  TChannel& synthChannel = *fSynth.Channels[channel & 15];
  synthChannel.ForcedTuningTable = c.TuningTable;
  synthChannel.UseForcedTuningTable = c.HasFlag(mcfTuningTableActive);
  return true;
}

void TEditorModel::ClearMIDIChannelTuning(int32_t channel) {
  std::lock_guard guard(fLock);
  TVSTiMIDIChannel& c = fProgram.MIDIChannels[channel & 15];
  c.TuningTableName.clear();
  c.SetFlag(mcfTuningTableActive, false);
  c.TuningTable.fill(0.0);
  TChannel& synthChannel = *fSynth.Channels[channel & 15];
  synthChannel.ForcedTuningTable.fill(0.0);
  synthChannel.UseForcedTuningTable = false;
}

bool TEditorModel::GetMIDIChannelFlagEnforceBankAndProgram(int32_t channel) {
  std::lock_guard guard(fLock);
  return fProgram.MIDIChannels[channel & 15].HasFlag(mcfEnforceBankAndProgram);
}

void TEditorModel::SetMIDIChannelFlagEnforceBankAndProgram(int32_t channel, bool on) {
  std::lock_guard guard(fLock);
  fProgram.MIDIChannels[channel & 15].SetFlag(mcfEnforceBankAndProgram, on);
}

}  // namespace kelvane
