#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "banks/attached_sound_font.h"
#include "synth/tuning_table.h"

namespace kelvane {

// Switches are stored as 32-bit booleans: any non-zero value means on, the
// plug-in writes -1 for on and 0 for off.
using TSwitch = int32_t;
inline constexpr TSwitch SwitchOn = -1;
inline constexpr TSwitch SwitchOff = 0;

// The global settings of a program.
struct TVSTiData {
  int32_t Voices = 64;
  float Volume = 1.0f;   // master gain factor, 1 = unity
  float Balance = 0.0f;  // -1 left .. +1 right
  int32_t CoarseTuning = 0;  // semitones
  int32_t FineTuning = 0;    // cents
  int32_t ResamplingMethod = 3;
  int32_t ResamplingInterpolationMode = 0;
  TSwitch AGC = SwitchOff;
  TSwitch ResampleLoopWrapping = SwitchOn;
  int32_t GeneralMIDIMode = 0;
  int32_t VoiceAllocationAlgorithm = 0;
  TSwitch EMU10K1Mode = SwitchOn;
  TSwitch ModulateVelocityToFilterCutOff = SwitchOn;
  TSwitch Chorus = SwitchOn;
  TSwitch Reverb = SwitchOn;
  TSwitch MultiThreaded = SwitchOn;
  TSwitch SkinnedUserInterface = SwitchOn;
  TSwitch IgnoreSampleLinks = SwitchOff;
  TSwitch LowerVolumeByMinus6dB = SwitchOff;
};

// The automatable parameters, indexed from 1; parameter 1 is "Volume".
struct TVSTiParameters {
  static constexpr int32_t First = 1;
  static constexpr int32_t Last = 1;
  std::array<float, Last - First + 1> Values{1.0f};

  float& operator[](int32_t index) { return Values[static_cast<size_t>(index - First)]; }
  float operator[](int32_t index) const { return Values[static_cast<size_t>(index - First)]; }
};

enum TVSTiMIDIChannelFlag : uint8_t {
  mcfTuningTableActive = 1,
  mcfEnforceBankAndProgram = 2,
  mcfHasNewBankOrProgram = 4,
};
using TVSTiMIDIChannelFlags = uint8_t;

// One MIDI channel's assignment.
struct TVSTiMIDIChannel {
  int32_t BankIndex = -1;     // MSB*128+LSB, 16384 = percussion, -1 = none
  int32_t ProgramIndex = -1;  // 0..127, -1 = none
  TVSTiMIDIChannelFlags Flags = mcfEnforceBankAndProgram;
  std::string TuningTableName;  // UTF-8
  TTuningTable TuningTable{};

  bool IsSet() const { return BankIndex >= 0 && ProgramIndex >= 0; }
  bool HasFlag(TVSTiMIDIChannelFlag flag) const { return (Flags & flag) != 0; }
  void SetFlag(TVSTiMIDIChannelFlag flag, bool on) {
    Flags = static_cast<TVSTiMIDIChannelFlags>(on ? (Flags | flag) : (Flags & ~flag));
  }
};

// One sound-bank file of a program.
struct TBank {
  std::string FileName;  // UTF-8 path
  TAttachedSoundFont* AttachedSoundFont = nullptr;  // owned by the synthesizer
  std::unique_ptr<TActiveBankProgramBitmap> ActiveBankProgramBitmap =
      std::make_unique<TActiveBankProgramBitmap>();  // 256 KiB: kept off the stack
  TSwitch ActiveAllBankPrograms = SwitchOff;

  // Copies the enabled presets into the attached bank.
  void Sync();
};

struct TVSTiProgram {
  std::string Name = "Kelvane VSTi";  // 8-bit text
  std::string Skin;
  std::vector<std::unique_ptr<TBank>> Banks;
  TVSTiParameters Parameters;
  std::array<TVSTiMIDIChannel, 16> MIDIChannels;
  TVSTiData Data;
};

// A deep copy: the banks are new records naming the same files and
// attachments, so the copy can be changed while the original stays in use.
TVSTiProgram CloneProgram(const TVSTiProgram& program);

}  // namespace kelvane
