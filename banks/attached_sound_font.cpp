#include "banks/attached_sound_font.h"

namespace kelvane {

TAttachedSoundFont::TAttachedSoundFont(TSynth* ownerSynth) : Synth(ownerSynth) {}

TAttachedSoundFont::~TAttachedSoundFont() = default;

}  // namespace kelvane
