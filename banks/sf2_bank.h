#pragma once

// Turns a read SF2 file into the synthesizer's samples and preset layers.

#include <vector>

#include "banks/sf2_reader.h"
#include "banks/sample.h"

namespace kelvane {

class TSynth;
class TPresetLayer;
class TAttachedSoundFont;

// Creates one sample per shdr record (the terminal one included), appends it
// to samples (its Index) and returns the bank's own list (BankIndex = shdr
// index). Names, lengths, loop points, rate and pitch come from the headers.
std::vector<TSample*> CreateSF2Samples(TSynth* synth, TSampleList& samples, const TSF2File& file);

// One layer per preset header below root, one leaf per (preset zone,
// instrument zone) pair below it.
void BuildSF2PresetLayers(TSynth* synth, TPresetLayer& root, TAttachedSoundFont* bank, const TSF2File& file,
                          const std::vector<TSample*>& bankSamples);

// Binds the samples to their bank, sets their type flags and stereo links
// (links only when handleLinkedSamples) and forces broken stereo chains to mono.
void LinkSF2Samples(const std::vector<TSample*>& bankSamples, TAttachedSoundFont* bank, bool handleLinkedSamples);

}  // namespace kelvane
