#include "plugin/vsti_program.h"

namespace kelvane {

void TBank::Sync() {
  if (AttachedSoundFont == nullptr) return;
  AttachedSoundFont->ActiveBankProgramBitmap = *ActiveBankProgramBitmap;
  AttachedSoundFont->ActiveAllBankPrograms = ActiveAllBankPrograms != SwitchOff;
}

TVSTiProgram CloneProgram(const TVSTiProgram& program) {
  TVSTiProgram copy;
  copy.Name = program.Name;
  copy.Skin = program.Skin;
  copy.Banks.reserve(program.Banks.size());
  for (const auto& bank : program.Banks) {
    auto& target = *copy.Banks.emplace_back(std::make_unique<TBank>());
    target.FileName = bank->FileName;
    target.AttachedSoundFont = bank->AttachedSoundFont;
    *target.ActiveBankProgramBitmap = *bank->ActiveBankProgramBitmap;
    target.ActiveAllBankPrograms = bank->ActiveAllBankPrograms;
  }
  copy.Parameters = program.Parameters;
  copy.MIDIChannels = program.MIDIChannels;
  copy.Data = program.Data;
  return copy;
}

}  // namespace kelvane
