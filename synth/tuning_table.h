#pragma once

#include <array>

namespace kelvane {

// One pitch (or pitch offset) in semitones per MIDI key.
using TTuningTable = std::array<double, 128>;
// [tuning bank][tuning program][key], absolute pitches in semitones.
using TTuningTables = std::array<std::array<TTuningTable, 128>, 128>;

}  // namespace kelvane
