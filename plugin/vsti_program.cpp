#include "plugin/vsti_program.h"

namespace kelvane {

void TBank::Sync() {
  if (AttachedSoundFont == nullptr) return;
  AttachedSoundFont->ActiveBankProgramBitmap = *ActiveBankProgramBitmap;
  AttachedSoundFont->ActiveAllBankPrograms = ActiveAllBankPrograms != SwitchOff;
}

}  // namespace kelvane
