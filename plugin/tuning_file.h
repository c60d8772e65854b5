#pragma once

// Channel tunings from files: Scala scales (".scl") and lists of 128 pitches
// (".mtd"); any other extension gives standard tuning.

#include <cstdint>
#include <string>
#include <string_view>

#include "plugin/vsti_program.h"
#include "synth/exceptions.h"
#include "synth/tuning_table.h"

namespace kelvane {

class EKelvaneTuningFileError : public EKelvane {
 public:
  using EKelvane::EKelvane;
};

// Parses the leading number of text: optional sign, "Infinity", "NaN", and
// with base 0 the prefixes "0b", "0o" and "0x"; stops at the first character
// that does not fit. No digits gives NaN (and *ok false). Rounds to nearest.
double ConvertStringToDouble(std::string_view text, bool* ok = nullptr, int32_t base = 0);

// Decodes file bytes to UTF-8: a byte-order mark selects UTF-8 or UTF-16,
// otherwise the bytes are taken as they are.
std::string DecodeTuningText(std::string_view bytes);

// Builds the table from decoded text; extension chooses the reader
// (compared case-insensitively, with or without the dot). Throws
// EKelvaneTuningFileError rather than put a pitch that is no finite number
// into the table: a line that holds no number, a Scala degree that is no
// positive ratio, a Scala file without degrees.
TTuningTable ParseTuningText(std::string_view text, std::string_view extension);

// Reads a tuning file; EKelvaneTuningFileError, naming the file, when it
// cannot be read or parsed.
TTuningTable ReadTuningFile(const std::string& fileName);

// Reads a tuning file into a channel assignment: table, name without
// directory, and the active flag. The channel is untouched on failure.
void LoadChannelTuningFile(TVSTiMIDIChannel& channel, const std::string& fileName);

}  // namespace kelvane
