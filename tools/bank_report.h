#pragma once

#include <cstdio>
#include <string>

namespace kelvane {

class TSynth;
class TAttachedSoundFont;

// The presets of one attached bank, one line per (bank, program) in the
// editor's entry text "[BBBB:PP] Name" (14-bit bank, so SF2 bank 128 is 4000),
// sorted by bank, then program.
void PrintPresetList(std::FILE* To, TSynth& Synth, TAttachedSoundFont& Bank);

// What the synthesizer knows of one attached bank: its texts, format, and the
// preset, sample and sample-data figures. Path is the file it was read from.
void PrintBankInfo(std::FILE* To, TSynth& Synth, TAttachedSoundFont& Bank, const std::string& Path);

}  // namespace kelvane
