#pragma once

// The editor window's state and handlers without any toolkit: the window
// layer only draws what this holds and feeds user events into it.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plugin/vsti_program.h"
#include "sync/critical_section_lock.h"

namespace kelvane {

class TSynth;
class TPresetLayer;

inline constexpr const char* EditorProductLabel = "Kelvane";
inline constexpr const char* EditorVersionLabel = "Version 2021.08.12.02.46.00";
inline constexpr const char* HostControlledText = "(Host controlled)";
inline constexpr const char* AddBankFilter =
    "Sound banks (*.sf2;*.sfx)|*.sf2;*.sfx|Downloadable sound banks (importquality) (*.dls)|*.dls|"
    "SoundFont 2.xx|*.sf2|SoundFont eXtended|*.sfx|All files|*.*";
inline constexpr const char* ImportTuningFilter =
    "All supported files (*.scl;*.mtd)|*.scl;*.mtd|Scala scale files (*.scl)|*.scl|"
    "MIDI tuning dump ASCII files (*.mtd)|*.mtd|All files (*.*)|*.*";
inline constexpr const char* ImportTuningDefaultExt = ".scl";

extern const std::array<const char*, 20> ResamplingMethodItems;
extern const std::array<const char*, 3> ResamplingInterpolationItems;
extern const std::array<const char*, 3> GeneralMIDIModeItems;
extern const std::array<const char*, 3> VoiceAllocationItems;
extern const std::array<const char*, 10> SettingsItems;

// "[BBBB:PP] name"
std::string PresetEntryText(int32_t bank, int32_t program, const std::string& name);
// False unless the text has the fixed-width prefix.
bool ParsePresetEntry(const std::string& text, int32_t& bank, int32_t& program);

struct TCheckItem {
  std::string Text;
  bool Checked = false;
};

// One of the five bar-over-edit groups.
enum TEditorBar : int32_t { ebVoices = 0, ebVolume, ebBalance, ebCoarseTune, ebFineTune };
struct TBarEdit {
  const char* Title;
  int32_t Min, Max;     // bar range
  int32_t Position = 0; // bar position (counts from the top)
  int32_t Value = 0;    // edit value
  bool BarFocused = false;
  bool EditFocused = false;
};

struct TChannelFrameState {
  std::string Title;          // "MIDI channel n"
  int32_t ItemIndex = 0;      // selected item of the shared list
  int32_t UpDownMax = 0;
};

class TEditorModel {
 public:
  // Everything the handlers touch; ChangeProgram0 re-applies program 0.
  TEditorModel(TCriticalSectionLock& lock, TVSTiProgram& program, TSynth& synth,
               std::function<void()> changeProgram0);

  // Reload every control from the program.
  void EditorUpdate();
  void SelectBank(int32_t index);
  void UpdateMIDIChannels();

  // Audio thread: never waits; the UI picks the request up in Idle.
  void PostUpdateBankOrPrograms() { fUpdatePending.store(true, std::memory_order_release); }
  void Idle();

  // Bank handlers.
  void AddBank(const std::string& fileName);  // the dialog's result, empty when cancelled
  void RemoveBank();
  void SetProgramChecked(int32_t item, bool checked);
  void SetAllChecked(bool checked);

  // Settings handlers.
  void EditChanged(TEditorBar bar, int32_t value);
  void BarMoved(TEditorBar bar, int32_t position);
  void DropDownChanged(int32_t list, int32_t index);  // 0..3 in display order
  void SettingChecked(int32_t item, bool checked);

  // Channel frame handlers.
  void ChannelProgramSelected(int32_t channel, int32_t item);
  void ChannelUpDown(int32_t channel, int32_t value);
  void UpdateMIDIChannelToProgramItemIndex(int32_t channel, int32_t item);
  std::string GetMIDIChannelTuningName(int32_t channel);
  std::string TuningLoadedText(int32_t channel);  // "Loaded: ..."
  bool LoadMIDIChannelTuning(int32_t channel, const std::string& fileName);
  void ClearMIDIChannelTuning(int32_t channel);
  bool GetMIDIChannelFlagEnforceBankAndProgram(int32_t channel);
  void SetMIDIChannelFlagEnforceBankAndProgram(int32_t channel, bool on);

  // What the window draws.
  std::vector<std::string> Banks;
  int32_t BankSelection = -1;
  std::vector<TCheckItem> Programs;
  bool ProgramsEnabled = false;
  bool AllChecked = false;
  bool AllEnabled = false;
  std::array<TBarEdit, 5> Bars;
  std::array<int32_t, 4> DropDowns{};
  std::array<bool, 10> Settings{};
  std::vector<std::string> ChannelPrograms;  // shared by the 16 frames
  std::array<TChannelFrameState, 16> Channels;
  int32_t CurrentBankIndex = -2;
  bool InChange = false;
  bool MIDIChannelProgramsDirty = true;

  struct TBankPrg {
    int16_t Bank, Prg;
  };
  std::vector<TBankPrg> ItemIndexToMIDIBankProgram{{-1, -1}};

 private:
  using TLeafTest = std::function<bool(const TPresetLayer&)>;
  void Walk(const TPresetLayer& layer, int32_t bankLo, int32_t bankHi, int32_t prgLo, int32_t prgHi,
            const TLeafTest& test, std::vector<std::string>& out);
  void ResyncBank(TBank& bank);
  void ApplyBarPosition(TEditorBar bar);
  void StoreSettingsToSynth();

  TCriticalSectionLock& fLock;
  TVSTiProgram& fProgram;
  TSynth& fSynth;
  std::function<void()> fChangeProgram0;
  std::atomic<bool> fUpdatePending{false};
  std::vector<const TPresetLayer*> fBankPrgPresetLayers;  // 16385 * 128
  std::vector<int32_t> fMIDIBankProgramToItemIndex;       // 16385 * 128
};

}  // namespace kelvane
